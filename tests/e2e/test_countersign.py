"""certwright-countersign and the verifier's countersign, key-window and revocation checks: the
platform's JWS as JOSE libraries read it, the certificate byte for byte the emitter's plus the
member, and the trusted time every judgement of time rests on."""

import base64
import datetime
import hashlib
import json
import pathlib
import shutil
import subprocess

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from jwcrypto import jwk, jws

from conftest import (COUNTERSIGN, ROOT, TEST_PUBLIC_B64, TEST_SEED_B64, base_env, encode,
                      load_certificate, make_run, public_key_of, run)
from test_verify import emit, verify

PLATFORM_SEED_B64 = base64.b64encode(bytes(range(100, 132))).decode()
PLATFORM_PUBLIC_B64 = public_key_of(PLATFORM_SEED_B64)
KEY = ["--public-key", TEST_PUBLIC_B64]
PLATFORM = ["--platform-key", PLATFORM_PUBLIC_B64]
JS = ROOT / "tests" / "js"


def fingerprint(key_b64):
    digest = hashlib.sha256(base64.b64decode(key_b64)).digest()
    return "SHA256:" + base64.b64encode(digest).decode().rstrip("=")


def countersign(*args, seed=PLATFORM_SEED_B64, env=None):
    environment = env or base_env(CERTWRIGHT_PLATFORM_KEY=seed)
    return run([str(arg) for arg in args], binary=COUNTERSIGN, env=environment)


def b64url(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


def unb64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def failing(result):
    return [line.split()[1][:-1] for line in result.stdout.splitlines() if line.startswith("FAIL ")]


def check_line(result, name):
    return next(line for line in result.stdout.splitlines() if line.split()[1:2] == [name + ":"])


@pytest.fixture(scope="module")
def signed(tmp_path_factory):
    """An emitted certificate and its countersigned copy."""
    tmp = tmp_path_factory.mktemp("countersign")
    certificate = emit(tmp)[1]
    out = tmp / "countersigned.json"
    result = countersign(certificate, *KEY, "--out", out, "--platform-id", "ci.example")
    assert result.returncode == 0, result
    assert result.stdout.splitlines()[-1].startswith(f"countersigned: {out} (kid \"")
    return certificate, out


def test_countersigned_certificate_is_the_emitters_encoding_plus_the_member(signed):
    original, out = signed
    before = json.loads(original.read_text())
    after = load_certificate(out)  # canonical bytes, hash and signature as the emitter's
    record = after.pop("platformCountersign")
    assert after == before
    assert set(record) == {"countersignJws", "kid", "countersignedAt"}
    assert record["kid"] == fingerprint(PLATFORM_PUBLIC_B64)
    # The independent recipe still verifies the operator's seal.
    recipe = subprocess.run(["/usr/bin/python3", ROOT / "scripts" / "verify-certificate.py",
                             out, TEST_PUBLIC_B64], capture_output=True, text=True)
    assert recipe.returncode == 0, recipe.stderr


def test_jose_libraries_verify_the_countersignature(signed):
    _, out = signed
    certificate = json.loads(out.read_text())
    token = certificate["platformCountersign"]["countersignJws"]
    key = jwk.JWK(kty="OKP", crv="Ed25519", x=b64url(base64.b64decode(PLATFORM_PUBLIC_B64)))
    checked = jws.JWS()
    checked.deserialize(token)
    checked.verify(key, alg="EdDSA")
    header = json.loads(unb64url(token.split(".")[0]))
    assert header == {"alg": "EdDSA", "kid": fingerprint(PLATFORM_PUBLIC_B64),
                      "typ": "certwright-countersign+jwt"}
    payload = json.loads(checked.payload)
    at = certificate["platformCountersign"]["countersignedAt"]
    assert payload == {"certificateHash": certificate["certificateHash"],
                       "certSignature": certificate["certSignature"],
                       "runId": certificate["pipelineRunId"], "countersignedAt": at,
                       "iat": int(datetime.datetime.fromisoformat(at.replace("Z", "+00:00")).timestamp()),
                       "iss": "ci.example"}
    if shutil.which("node") is None or not (JS / "node_modules" / "jose").exists():
        pytest.skip("the jose package is not installed (npm ci in tests/js)")
    node = subprocess.run(["node", JS / "verify-countersign.mjs", token, PLATFORM_PUBLIC_B64],
                          capture_output=True, text=True, timeout=60)
    assert node.returncode == 0, node.stdout + node.stderr
    assert json.loads(node.stdout)["payload"] == payload
    other = subprocess.run(["node", JS / "verify-countersign.mjs", token, TEST_PUBLIC_B64],
                           capture_output=True, text=True, timeout=60)
    assert other.returncode == 1


def test_verifier_accepts_a_countersignature_jwcrypto_made(signed, tmp_path):
    _, out = signed
    certificate = json.loads(out.read_text())
    record = certificate["platformCountersign"]
    payload = json.loads(unb64url(record["countersignJws"].split(".")[1]))
    seed = base64.b64decode(PLATFORM_SEED_B64)
    private = jwk.JWK(kty="OKP", crv="Ed25519", d=b64url(seed),
                      x=b64url(base64.b64decode(PLATFORM_PUBLIC_B64)))
    token = jws.JWS(json.dumps(payload, separators=(",", ":")).encode())
    token.add_signature(private, alg="EdDSA", protected=json.dumps(
        {"typ": "certwright-countersign+jwt", "kid": record["kid"], "alg": "EdDSA"}))
    record["countersignJws"] = token.serialize(compact=True)
    path = tmp_path / "jwcrypto.json"
    path.write_text(encode(certificate, pretty=True))
    result = verify(path, *KEY, *PLATFORM, "--require-countersign")
    assert result.returncode == 0, result
    assert "countersigned=" in result.stdout


def test_trusted_time_is_the_platforms_and_every_judgement_says_whose_clock(signed, tmp_path):
    original, out = signed
    countersigned = verify(out, *KEY, *PLATFORM, "--max-age", "1h", "--format", "json")
    assert countersigned.returncode == 0, countersigned
    facts = json.loads(countersigned.stdout)["facts"]
    assert facts["trustedTime"]["clock"] == "platform"
    assert facts["countersign"]["issuer"] == "ci.example"
    assert facts["countersign"]["fingerprint"] == fingerprint(PLATFORM_PUBLIC_B64)
    text = verify(out, *KEY, *PLATFORM, "--max-age", "1h")
    assert "by the platform's clock" in check_line(text, "max-age")
    plain = verify(original, *KEY, "--max-age", "1h")
    assert "by the signer's own clock" in check_line(plain, "max-age")
    # Without platform keys the member is only noted, and the signer's clock is the one used.
    unjudged = verify(out, *KEY, "--max-age", "1h")
    assert unjudged.returncode == 0
    assert "info: platformCountersign is shape-checked only, not authenticated" in unjudged.stdout
    assert "by the signer's own clock" in check_line(unjudged, "max-age")
    # --at moves "now": an hour-old limit judged a day later fails.
    later = (datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1))
    stale = verify(out, *KEY, *PLATFORM, "--max-age", "1h", "--at", later.strftime("%Y%m%d%H%M%SZ"))
    assert failing(stale) == ["max-age"]


def test_require_countersign(signed):
    original, out = signed
    assert failing(verify(original, *KEY, *PLATFORM, "--require-countersign")) == ["countersign"]
    foreign = verify(out, *KEY, "--platform-key", public_key_of(base64.b64encode(bytes(32)).decode()),
                     "--require-countersign")
    assert failing(foreign) == ["countersign"]
    assert "names no trusted platform key" in check_line(foreign, "countersign")
    usage = verify(out, *KEY, "--require-countersign")
    assert usage.returncode == 2 and "'--require-countersign' needs" in usage.stderr


def day(offset):
    when = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=offset)
    return when.strftime("%Y%m%dZ")


@pytest.mark.parametrize("name, signers_suffix, revoked, countersigned, failed, reason", [
    ("in window", f" valid-after={day(-2)}", None, False, [], None),
    ("before window", f" valid-after={day(2)}", None, False, ["trusted-key"], "and the certificate was signed at"),
    ("after window", f" valid-before={day(-2)}", None, False, ["trusted-key"], "by the signer's own clock"),
    ("revoked for good", "", "{key} leaked", True, ["trusted-key"], "is revoked (leaked)"),
    ("revoked, signer's clock only", "", "{key} revoked-at={later}", False, ["trusted-key"],
     "only the signer's clock says when it signed"),
    ("revoked after the countersignature", "", "{key} revoked-at={later}", True, [],
     "signed before its revocation at"),
    ("revoked before the countersignature", "", "{fingerprint} revoked-at={earlier}", True,
     ["trusted-key"], "and the platform countersigned it at"),
    ("revocation after --at", "", "{key} revoked-at={future}", False, [], None),
])
def test_key_windows_and_revocation(signed, tmp_path, name, signers_suffix, revoked, countersigned,
                                    failed, reason):
    original, out = signed
    path = out if countersigned else original
    now = datetime.datetime.now(datetime.timezone.utc)
    moments = {"later": (now + datetime.timedelta(seconds=2)).strftime("%Y-%m-%dT%H:%M:%SZ"),
               "earlier": (now - datetime.timedelta(days=1)).strftime("%Y-%m-%dT%H:%M:%SZ"),
               "future": (now + datetime.timedelta(days=3)).strftime("%Y%m%dZ")}
    signers = tmp_path / "allowed-signers"
    signers.write_text(f"* * {TEST_PUBLIC_B64}{signers_suffix}\n")
    options = ["--allowed-signers", signers, *PLATFORM]
    if revoked:
        revocations = tmp_path / "revoked"
        revocations.write_text(revoked.format(key=TEST_PUBLIC_B64, fingerprint=fingerprint(TEST_PUBLIC_B64),
                                              **moments) + "\n")
        options += ["--revoked-keys", revocations]
    if "revoked-at={later}" in (revoked or ""):
        # Judged once the revocation is in force, with the countersignature made before it.
        options += ["--at", (now + datetime.timedelta(minutes=1)).strftime("%Y-%m-%dT%H:%M:%SZ")]
    result = verify(path, *options)
    assert failing(result) == failed, result
    if reason:
        assert reason in check_line(result, "trusted-key"), result.stdout


@pytest.mark.parametrize("content, message", [
    ("kid\n", "--platform-keys {path} line 1: expected KID KEY"),
    ("# platform\n\nkid AAAA\n", "--platform-keys {path} line 3: KEY:"),
    (f"kid {PLATFORM_PUBLIC_B64} valid-after=tomorrow\n", "--platform-keys {path} line 1: valid-after: not a time"),
])
def test_malformed_platform_keys_file_is_a_usage_error(signed, tmp_path, content, message):
    path = tmp_path / "platform-keys"
    path.write_text(content)
    result = verify(signed[1], *KEY, "--platform-keys", path)
    assert result.returncode == 2
    assert message.format(path=path) in result.stderr


def test_countersign_refuses_what_it_must_not_sign(signed, tmp_path):
    original, out = signed
    work = tmp_path / "certificate.json"
    shutil.copy(original, work)
    before = work.read_bytes()
    cases = [
        # (arguments, environment, exit code, error text)
        ([work, "--public-key", public_key_of(PLATFORM_SEED_B64)], None, 2, "is a key the options trust"),
        ([work, "--public-key", public_key_of(base64.b64encode(bytes(32)).decode())], None, 1,
         "does not verify (failed: trusted-key)"),
        ([work, *KEY, "--require-stage", "s3-data-model"], None, 1, "failed: stage-policy"),
        ([work, *KEY], base_env(), 2, "no platform key is configured"),
        ([work, *KEY], base_env(CERTWRIGHT_PLATFORM_KEY=f"{PLATFORM_PUBLIC_B64} certwright-ed25519-public-key"),
         2, "CERTWRIGHT_PLATFORM_KEY is set but malformed: this is"),
        ([work, *KEY], base_env(ZEM_SIGNING_KEY=PLATFORM_SEED_B64), 2, "no platform key is configured"),
        ([work, "--integrity-only"], None, 2, "--integrity-only"),
    ]
    for args, env, code, text in cases:
        result = countersign(*args, env=env)
        assert result.returncode == code, (args, result)
        assert text in result.stderr, (args, result)
        assert work.read_bytes() == before, args
    # A countersigned certificate is refused unless --replace, which writes it in place.
    shutil.copy(out, work)
    before = work.read_bytes()
    again = countersign(work, *KEY)
    assert again.returncode == 1 and "carries a countersignature already" in again.stderr
    assert work.read_bytes() == before
    replaced = countersign(work, *KEY, "--replace", "--kid", "platform-2026", "--platform-id", "other")
    assert replaced.returncode == 0, replaced
    assert load_certificate(work)["platformCountersign"]["kid"] == "platform-2026"
    keys = tmp_path / "platform-keys"
    keys.write_text(f'"platform-2026" {PLATFORM_PUBLIC_B64} valid-after={day(-1)}\n')
    assert verify(work, *KEY, "--platform-keys", keys, "--require-countersign").returncode == 0
    assert failing(verify(work, *KEY, *PLATFORM, "--require-countersign")) == ["countersign"]
