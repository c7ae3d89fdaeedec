"""certwright-attest's bundle and envelope, checked with independent code (cryptography,
python3-nacl, and the Sigstore JavaScript verifier when tests/js is installed), tampered with
field by field for certwright-verify, and the certificates certwright-attest must refuse."""

import base64
import json
import os
import re
import shutil
import subprocess

import nacl.exceptions
import nacl.signing
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from conftest import (
    ATTEST,
    KEYGEN,
    VERIFY,
    ROOT,
    TEST_PUBLIC_B64,
    TEST_SEED,
    TEST_SEED_B64,
    base_env,
    encode,
    load_certificate,
    make_run,
    reseal,
    run,
    sha256_hex,
    sigstore_node,
)

JS_CHECK = ROOT / "tests" / "js" / "verify-bundle.js"

PREDICATE_TYPE = "https://certwright.example/governance-certificate/v1"
PAYLOAD_TYPE = "application/vnd.in-toto+json"
OTHER_SEED = bytes(range(32))
OTHER_SEED_B64 = base64.b64encode(OTHER_SEED).decode()
OPERATOR = base_env(ZEM_SIGNING_KEY=TEST_SEED_B64)
SIGNER = ["--signer-subject", "alice@example.org", "--signer-identity-provider", "idp"]
# Numbers whose spelling a careless re-encoding would change: 1e-6 and 100.0.
BUILD_SPEC = b"""\
agentic_posture:
  posture: governed
  surfaces:
    - kind: model-api
      governance_envelope: {tiny: 1e-6, scale: 100.0}
"""


def attest(*args, env=OPERATOR):
    return run([str(arg) for arg in args], binary=ATTEST, env=env)


def verify(*args):
    return run([str(arg) for arg in args], binary=VERIFY)


def failing_checks(stdout):
    return [line.split()[1].rstrip(":") for line in stdout.splitlines() if line.startswith("FAIL ")]


def pae(payload_type, payload):
    kind = payload_type.encode()
    return b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(payload), payload)


def public_raw(seed):
    return Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw)


def emit(tmp, env=OPERATOR):
    run_dir = make_run(tmp, {"s0-preflight": {"a.txt": b"a"},
                             "s5-ui-specification": {"build-spec.yaml": BUILD_SPEC}})
    out = tmp / "governance-certificate.json"
    result = run(["build-certificate", str(run_dir), "--stage-ids", "s0-preflight,s5-ui-specification",
                  "--requirements-hash", "r", *SIGNER, "--out", str(out)], env=env)
    assert result.returncode == 0, result
    return out


@pytest.fixture(scope="module")
def attested(tmp_path_factory):
    """(certificate path, bundle path, envelope path) made with the demo key."""
    tmp = tmp_path_factory.mktemp("attested")
    certificate = emit(tmp)
    result = attest(certificate, "--envelope-out", tmp / "envelope.json")
    assert result.returncode == 0, result
    bundle = tmp / "governance-certificate.sigstore.json"
    assert result.stdout == f"attested {certificate}: bundle {bundle}\n"
    assert result.stderr == ""
    return certificate, bundle, tmp / "envelope.json"


def test_bundle_and_envelope_check_out_with_independent_code(attested):
    certificate_path, bundle_path, envelope_path = attested
    certificate_bytes = certificate_path.read_bytes()
    certificate = load_certificate(certificate_path)
    bundle = json.loads(bundle_path.read_bytes())
    envelope = json.loads(envelope_path.read_bytes())
    hint = sha256_hex(public_raw(TEST_SEED))
    assert bundle == {
        "mediaType": "application/vnd.dev.sigstore.bundle.v0.3+json",
        "verificationMaterial": {"publicKey": {"hint": hint}, "tlogEntries": []},
        "dsseEnvelope": envelope,
    }
    assert envelope["payloadType"] == PAYLOAD_TYPE
    [signature] = envelope["signatures"]
    assert signature["keyid"] == hint
    payload = base64.b64decode(envelope["payload"], validate=True)
    Ed25519PrivateKey.from_private_bytes(TEST_SEED).public_key().verify(
        base64.b64decode(signature["sig"]), pae(PAYLOAD_TYPE, payload))
    statement = json.loads(payload)
    assert statement == {
        "_type": "https://in-toto.io/Statement/v1",
        "subject": [{"name": "governance-certificate.json",
                     "digest": {"sha256": sha256_hex(certificate_bytes)}}],
        "predicateType": PREDICATE_TYPE,
        "predicate": certificate,
    }
    # Compact, and the predicate spelled exactly as the certificate spells it.
    assert payload.decode() == encode(statement)
    assert b'"tiny":1e-6' in payload and b'"scale":100.0' in payload


def test_python3_nacl_checks_the_pre_authentication_encoding(attested):
    envelope = json.loads(attested[2].read_bytes())
    payload = base64.b64decode(envelope["payload"])
    signature = base64.b64decode(envelope["signatures"][0]["sig"])
    key = nacl.signing.VerifyKey(public_raw(TEST_SEED))
    key.verify(pae(envelope["payloadType"], payload), signature)
    changed = bytearray(payload)
    changed[10] ^= 1
    with pytest.raises(nacl.exceptions.BadSignatureError):
        key.verify(pae(envelope["payloadType"], bytes(changed)), signature)


def test_sigstore_javascript_verifier(attested, tmp_path):
    node = sigstore_node()
    key = tmp_path / "operator.pem"
    key.write_bytes(Ed25519PrivateKey.from_private_bytes(TEST_SEED).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    bundle = json.loads(attested[1].read_bytes())
    payload = bytearray(base64.b64decode(bundle["dsseEnvelope"]["payload"]))
    payload[-2] ^= 1
    bundle["dsseEnvelope"]["payload"] = base64.b64encode(bytes(payload)).decode()
    changed = tmp_path / "changed.sigstore.json"
    changed.write_text(json.dumps(bundle))

    def check(path):
        return subprocess.run([node, str(JS_CHECK), str(path), str(key)], capture_output=True,
                              timeout=60)

    accepted = check(attested[1])
    assert accepted.returncode == 0, accepted
    assert check(changed).returncode == 1


def sign(envelope, seed=TEST_SEED):
    payload = base64.b64decode(envelope["payload"])
    signature = Ed25519PrivateKey.from_private_bytes(seed).sign(pae(envelope["payloadType"], payload))
    envelope["signatures"] = [{"keyid": sha256_hex(public_raw(seed)), "sig": base64.b64encode(signature).decode()}]


def edit_statement(edit, seed=TEST_SEED):
    def change(bundle):
        envelope = bundle["dsseEnvelope"]
        statement = json.loads(base64.b64decode(envelope["payload"]))
        edit(statement)
        envelope["payload"] = base64.b64encode(encode(statement).encode()).decode()
        sign(envelope, seed)
    return change


def flip_payload_byte(bundle):
    payload = bytearray(base64.b64decode(bundle["dsseEnvelope"]["payload"]))
    payload[20] ^= 1
    bundle["dsseEnvelope"]["payload"] = base64.b64encode(bytes(payload)).decode()


def flip_signature_byte(bundle):
    signature = bytearray(base64.b64decode(bundle["dsseEnvelope"]["signatures"][0]["sig"]))
    signature[5] ^= 1
    bundle["dsseEnvelope"]["signatures"][0]["sig"] = base64.b64encode(bytes(signature)).decode()


def set_payload_type(bundle):
    bundle["dsseEnvelope"]["payloadType"] = "application/vnd.in-toto+jsoN"


def set_payload_type_resigned(bundle):
    set_payload_type(bundle)
    sign(bundle["dsseEnvelope"])


def set_digest(statement):
    statement["subject"][0]["digest"]["sha256"] = "0" * 64


def set_predicate_type(statement):
    statement["predicateType"] = PREDICATE_TYPE.replace("v1", "v2")


def respell_numbers(statement):
    envelope = statement["predicate"]["agenticPostureBinding"]["surfaces"][0]["governanceEnvelope"]
    envelope["scale"] = 100


def add_chain(bundle):
    bundle["verificationMaterial"]["x509CertificateChain"] = {"certificates": []}


def set_media_type(bundle):
    bundle["mediaType"] = "application/vnd.dev.sigstore.bundle.v0.2+json"


# (case, edit of the parsed bundle, the check that must fail, extra verify options)
REFUSED = [
    ("payload byte", flip_payload_byte, "envelope-signature", []),
    ("signature byte", flip_signature_byte, "envelope-signature", []),
    ("payload type", set_payload_type, "envelope-signature", []),
    ("payload type, signed again", set_payload_type_resigned, "envelope-statement", []),
    ("predicate type", edit_statement(set_predicate_type), "envelope-statement", []),
    ("subject digest", edit_statement(set_digest), "envelope-subject", []),
    ("two subjects", edit_statement(lambda s: s["subject"].append(s["subject"][0])),
     "envelope-subject", []),
    ("numbers respelled", edit_statement(respell_numbers), "envelope-subject", []),
    ("signed by a trusted key not the certificate's", edit_statement(lambda s: None, OTHER_SEED),
     "envelope-key", ["--public-key", base64.b64encode(public_raw(OTHER_SEED)).decode()]),
    ("signed by an untrusted key", edit_statement(lambda s: None, OTHER_SEED),
     "envelope-signature", []),
    ("certificate-chain material", add_chain, "envelope-statement", []),
    ("another media type", set_media_type, "envelope-statement", []),
]


@pytest.mark.parametrize("case, edit, check, options", REFUSED, ids=[row[0] for row in REFUSED])
def test_each_change_is_refused_under_its_check(attested, tmp_path, case, edit, check, options):
    bundle = json.loads(attested[1].read_bytes())
    edit(bundle)
    changed = tmp_path / "changed.sigstore.json"
    changed.write_text(json.dumps(bundle))
    result = verify(changed, "--public-key", TEST_PUBLIC_B64, *options)
    assert result.returncode == 1, result
    assert check in failing_checks(result.stdout), result


def set_keyid(bundle):
    bundle["dsseEnvelope"]["signatures"][0]["keyid"] = "someone-else"


def set_hint(bundle):
    bundle["verificationMaterial"]["publicKey"]["hint"] = "0" * 64


ACCEPTED = [
    ("key id", set_keyid, json.dumps),
    ("hint", set_hint, json.dumps),
    ("white space", lambda bundle: None, lambda bundle: json.dumps(bundle, indent=4) + "\n"),
]


@pytest.mark.parametrize("case, edit, write", ACCEPTED, ids=[row[0] for row in ACCEPTED])
def test_hints_and_white_space_do_not_matter(attested, tmp_path, case, edit, write):
    bundle = json.loads(attested[1].read_bytes())
    edit(bundle)
    changed = tmp_path / "changed.sigstore.json"
    changed.write_text(write(bundle))
    result = verify(changed, "--public-key", TEST_PUBLIC_B64)
    assert result.returncode == 0, result


def test_verify_reads_bundle_envelope_and_certificate_with_attestation(attested, tmp_path):
    certificate, bundle, envelope = attested
    envelope_checks = ["envelope-signature", "envelope-statement", "envelope-key", "envelope-subject"]
    for args in ([bundle], [envelope], [certificate, "--attestation", bundle]):
        result = verify(*args, "--public-key", TEST_PUBLIC_B64, *SIGNER)
        assert result.returncode == 0, result
        names = [line.split()[1].rstrip(":") for line in result.stdout.splitlines()
                 if line.startswith("ok ")]
        assert names[:4] == envelope_checks
        assert names[4:] == ["well-formed", "hash", "signature", "trusted-key", "operator-key",
                             "signer"]
    # The file beside the attestation is its subject: another certificate is not.
    other = tmp_path / "other.json"
    other.write_bytes(certificate.read_bytes() + b"\n")
    result = verify(other, "--attestation", bundle, "--public-key", TEST_PUBLIC_B64)
    assert failing_checks(result.stdout) == ["envelope-subject"], result


def statement_of(bundle_path):
    return json.loads(base64.b64decode(json.loads(bundle_path.read_bytes())["dsseEnvelope"]["payload"]))


def test_a_countersignature_is_never_attested(attested, tmp_path):
    """platformCountersign lies outside the certificate's hash and signature: the operator's
    Statement neither carries it nor names it through the subject's digest, and the bundle of a
    countersigned certificate verifies alone and beside the countersigned file."""
    sealed = attested[0]
    countersigned = tmp_path / "governance-certificate.json"
    content = dict(load_certificate(sealed), platformCountersign={
        "countersignJws": "eyJhbGciOiJFZERTQSJ9..c2ln", "kid": "platform-1",
        "countersignedAt": "2026-01-05T09:30:00.250Z"})
    countersigned.write_text(encode(content, pretty=True))
    result = attest(countersigned)
    assert result.returncode == 0, result
    bundle = tmp_path / "governance-certificate.sigstore.json"
    statement = statement_of(bundle)
    assert statement["predicate"] == load_certificate(sealed)
    assert statement["subject"] == [{"name": "governance-certificate.json",
                                     "digest": {"sha256": sha256_hex(sealed.read_bytes())}}]
    for args in ([bundle], [countersigned, "--attestation", bundle], [sealed, "--attestation", bundle]):
        result = verify(*args, "--public-key", TEST_PUBLIC_B64, *SIGNER)
        assert result.returncode == 0, (args, result)
        assert "info: the file is byte for byte the certificate's own encoding\n" in result.stdout
    assert "info: platformCountersign is shape-checked only, not authenticated\n" in verify(
        countersigned, "--attestation", bundle, "--public-key", TEST_PUBLIC_B64).stdout
    # Another certificate, countersigned, is not the subject.
    other = emit(tmp_path / "other")
    other.write_text(encode(dict(load_certificate(other), platformCountersign=content[
        "platformCountersign"]), pretty=True))
    result = verify(other, "--attestation", bundle, "--public-key", TEST_PUBLIC_B64)
    assert failing_checks(result.stdout) == ["envelope-subject"], result


def test_unchecked_material_is_named_and_never_trusted(attested, tmp_path):
    bundle = json.loads(attested[1].read_bytes())
    bundle["verificationMaterial"]["tlogEntries"] = [{"logIndex": "7"}]
    changed = tmp_path / "logged.sigstore.json"
    changed.write_text(json.dumps(bundle))
    result = verify(changed, "--public-key", TEST_PUBLIC_B64)
    assert result.returncode == 0, result
    assert ("info: verificationMaterial.tlogEntries is present but not checked and not trusted; "
            "the envelope's signature is checked offline under the trusted keys alone\n"
            in result.stdout), result


def test_the_pem_and_openssl_recipes_check_the_bundle(attested, tmp_path):
    """docs/attestations.md's recipes, run as printed under `set -o pipefail`: the PEM key from
    the operator's labelled .pub file, then OpenSSL and jq over the bundle."""
    guide = (ROOT / "docs" / "attestations.md").read_text(encoding="utf-8")
    pem = re.search(r"```sh\n(certwright-keygen --public .*?)```", guide, re.S).group(1)
    openssl = re.search(r"## Checking a bundle with OpenSSL and jq\n\n```sh\n(.*?)```", guide,
                        re.S).group(1)
    shutil.copy(attested[0], tmp_path / "governance-certificate.json")
    keygen = run(["--public"], binary=KEYGEN, env=OPERATOR)
    (tmp_path / "operator.pub").write_text(keygen.stdout)
    env = {**os.environ, "PATH": f"{os.path.dirname(KEYGEN)}:{os.environ['PATH']}"}

    def recipes(bundle):
        shutil.copy(bundle, tmp_path / "governance-certificate.sigstore.json")
        return subprocess.run(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c",
                               pem + openssl], cwd=tmp_path, env=env, capture_output=True,
                              text=True, timeout=60)

    result = recipes(attested[1])
    assert result.returncode == 0, result.stderr
    assert serialization.load_pem_public_key((tmp_path / "operator.pem").read_bytes()).public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw) == public_raw(TEST_SEED)
    changed = json.loads(attested[1].read_bytes())
    flip_signature_byte(changed)
    (tmp_path / "changed.json").write_text(json.dumps(changed))
    assert recipes(tmp_path / "changed.json").returncode != 0


def test_attest_refuses_what_it_must_not_sign(attested, tmp_path):
    certificate = attested[0]
    ephemeral = emit(tmp_path / "ephemeral", env=base_env())
    tampered = tmp_path / "tampered.json"
    tampered.write_bytes(certificate.read_bytes().replace(b'"s0-preflight"', b'"s0-preflighT"', 1))
    foreign = emit(tmp_path / "foreign", env=base_env(ZEM_SIGNING_KEY=OTHER_SEED_B64))
    # Sealed by the operator key, but saying the key was ephemeral.
    relabelled = tmp_path / "relabelled.json"
    content = json.loads(certificate.read_bytes())
    content["signingAttestation"]["kind"] = "ephemeral"
    relabelled.write_text(encode(reseal(content), pretty=True))
    for path, check in [(ephemeral, "signing-key"), (tampered, "hash"), (foreign, "signing-key"),
                        (relabelled, "operator-key")]:
        result = attest(path, "--out", tmp_path / "refused.sigstore.json")
        assert result.returncode == 1, result
        assert f'error: certificate {path} refused: check "{check}" failed: ' in result.stderr
        assert not (tmp_path / "refused.sigstore.json").exists()


def test_attest_without_an_operator_key_or_certificate(attested, tmp_path):
    result = attest(attested[0], env=base_env())
    assert result.returncode == 2
    assert result.stderr.startswith("error: no operator key is configured")
    result = attest(tmp_path / "missing.json")
    assert result.returncode == 2
    assert "unreadable: No such file or directory" in result.stderr
