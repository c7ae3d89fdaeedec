"""The ways docs/verifying.md gives to check a certificate (certwright-verify, and the Python
script as the independent way) accept genuine certificates and reject tampered, forged or
untrusted ones."""

import base64
import hashlib
import re
import subprocess
import sys

import pytest

from conftest import (
    VERIFY,
    ROOT,
    TEST_PUBLIC_B64,
    TEST_SEED_B64,
    base_env,
    encode,
    hash_view,
    load_certificate,
    make_run,
    public_key_of,
    reseal,
    run,
)

GUIDE = ROOT / "docs" / "verifying.md"
DEMO_RUN = ROOT / "examples" / "runs" / "demo-run-0001"
DEMO_DOCS = [ROOT / "examples" / "docs" / name
             for name in ("business-requirements.md", "service-requirements.md")]
DEMO_KEY_PATH = ROOT / "examples" / "demo-signing-key.b64"
SUBJECT = "demo-operator@example.org"
IDENTITY_PROVIDER = "github-actions@example/orders"
RECIPES = ["verify-certificate.py"]
SCRIPT = ROOT / "scripts" / "verify-certificate.py"


DEMO_PUBLIC_KEY = public_key_of(DEMO_KEY_PATH.read_text())


def guide_block(name):
    """The one fenced block of the guide whose leading comment names `name`."""
    text = GUIDE.read_text(encoding="utf-8")
    blocks = re.findall(r"^```(?:python|bash)\n(.*?)^```", text, re.S | re.M)
    found = [b for b in blocks if any(line.startswith(f"# {name}") for line in b.splitlines()[:2])]
    assert len(found) == 1, f"{name}: {len(found)} blocks"
    return found[0]


@pytest.fixture(scope="module")
def recipes():
    return {"verify-certificate.py": [sys.executable, str(SCRIPT)]}


def verify(recipes, recipe, certificate, key=DEMO_PUBLIC_KEY, signer=(SUBJECT, IDENTITY_PROVIDER)):
    return subprocess.run([*recipes[recipe], str(certificate), key, *signer],
                          capture_output=True, text=True, timeout=60)


def emit(run_dir, out, key_env, *signer_options):
    result = run(["build-certificate", str(run_dir), "--business-docs", *map(str, DEMO_DOCS),
                  *signer_options, "--out", str(out)], env=base_env(**key_env))
    assert result.returncode == 0, result
    return load_certificate(out)


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    """The certificate scripts/demo emits: the bundled run, the demo key, a tenant signer."""
    out = tmp_path_factory.mktemp("demo") / "governance-certificate.json"
    emit(DEMO_RUN, out, {"ZEM_SIGNING_KEY_PATH": str(DEMO_KEY_PATH)},
         "--signer-subject", SUBJECT, "--signer-identity-provider", IDENTITY_PROVIDER,
         "--tenant-mode", "--require-operator-key")
    return out


ENVELOPE_YAML = """\
agentic_posture:
  posture: declared
  surfaces:
    - kind: tool-surface
      governance_envelope:
        zeta: [0.000001, 0.00001, 1.0e+16, 100.0, -0.0, 1.5e-7, 123.45, 7]
        alpha: {max: 18446744073709551615, min: -9223372036854775808, text: "q\\"b\\\\s/\\u00e9"}
"""


@pytest.fixture(scope="module")
def awkward(tmp_path_factory):
    """A certificate whose strings need every kind of escape and whose governance envelope holds
    numbers that Python's json would write differently."""
    root = tmp_path_factory.mktemp("awkward")
    names = ['quote"and\\back.txt', "tab\there", "ctl\x01\x1f", "del\x7f", "é–ü\u2028.md"]
    run_dir = make_run(root, {
        "s0-preflight": {name: name.encode() for name in names},
        "s5-ui-specification": {"build-spec.yaml": ENVELOPE_YAML.encode()},
    })
    out = root / "governance-certificate.json"
    certificate = emit(run_dir, out, {"ZEM_SIGNING_KEY": TEST_SEED_B64},
                       "--signer-subject", " ünïcode \"subject\"", "--signer-identity-provider", "idp")
    envelope = certificate["agenticPostureBinding"]["surfaces"][0]["governanceEnvelope"]
    assert isinstance(envelope["zeta"][0], float), envelope
    text = out.read_text(encoding="utf-8")
    assert all(number in text for number in ("1e-6,", "0.00001,", "1e+16,", "100.0,", "-0.0,")), text
    return out


@pytest.mark.parametrize("recipe", RECIPES)
def test_recipes_accept_genuine_certificates(recipes, recipe, demo, awkward):
    for certificate, key, signer in [
        (demo, DEMO_PUBLIC_KEY, (SUBJECT, IDENTITY_PROVIDER)),
        (demo, DEMO_PUBLIC_KEY, ()),
        (awkward, TEST_PUBLIC_B64, (' ünïcode "subject"', "idp")),
    ]:
        result = verify(recipes, recipe, certificate, key, signer)
        assert result.returncode == 0, result.stderr
        expected_hash = load_certificate(certificate)["certificateHash"]
        assert result.stdout == f"verified: {expected_hash}\n"


def set_status_and_rehash(certificate):
    certificate["stages"][0]["status"] = "failed"
    certificate["certificateHash"] = hashlib.sha256(encode(hash_view(certificate)).encode()).hexdigest()


TAMPERINGS = {
    "stage status": lambda c: c["stages"][0].update(status="failed"),
    "artifact dropped": lambda c: c["stages"][1]["artifactHashes"].popitem(),
    "signer swapped": lambda c: c["signer"].update(subject="mallory@example.org"),
    "certificate hash": lambda c: c.update(certificateHash="0" * 64),
    "hash recomputed, signature kept": set_status_and_rehash,
    "resealed with another key": lambda c: reseal(c, TEST_SEED_B64),
}


@pytest.mark.parametrize("recipe", RECIPES)
@pytest.mark.parametrize("tampering", TAMPERINGS)
def test_recipes_reject_tampered_certificates(recipes, recipe, tampering, demo, tmp_path):
    certificate = load_certificate(demo)
    TAMPERINGS[tampering](certificate)
    tampered = tmp_path / "tampered.json"
    tampered.write_text(encode(certificate, pretty=True), encoding="utf-8")  # same layout
    result = verify(recipes, recipe, tampered)
    assert result.returncode == 1, result
    assert result.stderr.startswith("certificate rejected: "), result.stderr


@pytest.mark.parametrize("recipe", RECIPES)
def test_recipes_cover_number_text_and_keep_countersignatures_out(recipes, recipe, demo, tmp_path):
    text = demo.read_text(encoding="utf-8")
    assert '"temperature": 0.2\n' in text
    respelled = tmp_path / "respelled.json"
    respelled.write_text(text.replace('"temperature": 0.2\n', '"temperature": 0.20\n'),
                         encoding="utf-8")
    assert verify(recipes, recipe, respelled).returncode == 1

    certificate = load_certificate(demo)
    certificate["platformCountersign"] = {
        "countersignJws": "eyJhbGciOiJFZERTQSJ9..c2ln", "kid": "platform-1",
        "countersignedAt": "2026-01-05T09:30:00.250Z"}
    countersigned = tmp_path / "countersigned.json"
    countersigned.write_text(encode(certificate, pretty=True), encoding="utf-8")
    result = verify(recipes, recipe, countersigned)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("recipe", RECIPES)
def test_recipes_reject_untrusted_keys_and_signers(recipes, recipe, demo, tmp_path):
    ephemeral_out = tmp_path / "ephemeral.json"
    ephemeral = emit(DEMO_RUN, ephemeral_out, {}, "--signer-subject", SUBJECT,
                     "--signer-identity-provider", IDENTITY_PROVIDER)
    assert ephemeral["signingAttestation"]["kind"] == "ephemeral"
    cases = [
        (ephemeral_out, ephemeral["signingPublicKey"], (SUBJECT, IDENTITY_PROVIDER), "not an operator key"),
        (demo, TEST_PUBLIC_B64, (SUBJECT, IDENTITY_PROVIDER), "not by the trusted key"),
        (demo, DEMO_PUBLIC_KEY, ("mallory@example.org", IDENTITY_PROVIDER), "signer is not"),
        (demo, DEMO_PUBLIC_KEY, (SUBJECT, "rauthy@example"), "signer is not"),
    ]
    for certificate, key, signer, reason in cases:
        result = verify(recipes, recipe, certificate, key, signer)
        assert result.returncode == 1, result
        assert reason in result.stderr, result.stderr


def test_weak_keys_are_refused_even_when_trusted(recipes, demo, tmp_path):
    """The identity point signs anything with R = identity and S = 0; no trust in such a key,
    nor in a non-canonical encoding of it, may make a certificate verify."""
    for weak in [b"\x01" + bytes(31), (2**255 - 18).to_bytes(32, "little")]:
        certificate = load_certificate(demo)
        certificate["signingPublicKey"] = base64.b64encode(weak).decode()
        certificate["certificateHash"] = hashlib.sha256(
            encode(hash_view(certificate)).encode()).hexdigest()
        certificate["certSignature"] = base64.b64encode(b"\x01" + bytes(63)).decode()
        forged = tmp_path / "forged.json"
        forged.write_text(encode(certificate, pretty=True), encoding="utf-8")
        result = verify(recipes, "verify-certificate.py", forged, certificate["signingPublicKey"])
        assert result.returncode == 1, result
        assert "weak Ed25519 key" in result.stderr, result.stderr


def test_public_key_recipe_derives_the_demo_key(tmp_path):
    script = tmp_path / "public-key-from-seed.sh"
    script.write_text(guide_block("public-key-from-seed.sh"), encoding="utf-8")
    result = subprocess.run(["bash", str(script), str(DEMO_KEY_PATH)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == DEMO_PUBLIC_KEY + " certwright-ed25519-public-key\n"
    assert result.stdout.strip() in GUIDE.read_text(encoding="utf-8")
    # A bad seed file fails the recipe rather than printing a key.
    result = subprocess.run(["bash", str(script), str(tmp_path / "missing")], capture_output=True,
                            text=True)
    assert result.returncode != 0 and result.stdout == ""


def forgeries(demo):
    """Certificates that an earlier shell recipe, reading the file line by line, accepted."""
    text = demo.read_text(encoding="utf-8")
    certificate = load_certificate(demo)
    signature_line = f'  "certSignature": "{certificate["certSignature"]}",'
    assert signature_line in text
    countersigned = dict(certificate, platformCountersign={
        "countersignJws": "jws", "kid": "k", "countersignedAt": "2026-01-05T09:30:00Z"})
    countersigned_text = encode(countersigned, pretty=True)
    return {
        "text after the signature on its line": text.replace(
            signature_line, signature_line[:-1] + ', "status": "failed",'),
        "members hidden in a countersignature": countersigned_text.replace(
            '"kid": "k",', '"kid": "k",\n    "signer": {"subject": "mallory"},'),
        "duplicate status": text.replace('"status": "complete",',
                                         '"status": "failed",\n  "status": "complete",', 1),
        "unknown member": text.replace('"status": "complete",',
                                       '"status": "complete",\n  "approved": true,', 1),
    }


def test_forged_certificates_are_refused_by_both_ways(recipes, demo, tmp_path):
    for label, body in forgeries(demo).items():
        forged = tmp_path / "forged.json"
        forged.write_text(body, encoding="utf-8")
        result = verify(recipes, "verify-certificate.py", forged)
        assert result.returncode == 1, (label, result)
        checked = run([str(forged), "--public-key", DEMO_PUBLIC_KEY], binary=VERIFY)
        assert checked.returncode == 1, (label, checked)
        assert "FAIL well-formed: " in checked.stdout, (label, checked.stdout)


def test_guide_leads_with_the_command_and_it_verifies_the_demo(demo):
    text = GUIDE.read_text(encoding="utf-8")
    first_block = re.search(r"^```sh\n(.*?)^```", text, re.S | re.M).group(1)
    assert first_block.startswith("certwright-verify ")
    arguments = first_block.replace("\\\n", " ").split()[1:]
    arguments[0] = str(demo)
    arguments = [str(ROOT / a) if a.startswith("examples/") else a for a in arguments]
    result = run(arguments, binary=VERIFY)
    assert result.returncode == 0, result
    assert result.stdout.startswith("ok   well-formed: ")
