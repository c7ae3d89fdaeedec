"""RFC 3161 timestamps: certwright-attest --timestamp-url against a real authority on 127.0.0.1
(tsa_server.py: openssl ts -reply) and each way that authority can misbehave; the verifier's
`timestamp` check, the trusted time a token gives and the tokens' acceptance by openssl ts
-verify and the Sigstore JavaScript verifier."""

import base64
import datetime
import hashlib
import json
import os
import re
import shutil
import subprocess
import time

import pytest

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from conftest import ROOT, TEST_PUBLIC_B64, TEST_SEED, TEST_SEED_B64, base_env
from test_attest import attest, emit, verify
from test_countersign import PLATFORM, countersign
from tsa_server import Server

KEY = ["--public-key", TEST_PUBLIC_B64]
# The authority is local: no proxy of the environment may stand in between.
OPERATOR = base_env(ZEM_SIGNING_KEY=TEST_SEED_B64, NO_PROXY="127.0.0.1", no_proxy="127.0.0.1")
JS_CHECK = ROOT / "tests" / "js" / "verify-bundle.js"


@pytest.fixture(scope="module")
def authority(tmp_path_factory):
    with Server(tmp_path_factory.mktemp("tsa")) as server:
        yield server


@pytest.fixture
def served(authority):
    """The authority, answering properly unless a test says otherwise."""
    authority.mode = "ok"
    authority.queries.clear()
    yield authority
    authority.mode = "ok"


def stamp(certificate, server, out, *more):
    result = attest(certificate, "--out", out, "--timestamp-url", server.url, *more, env=OPERATOR)
    assert result.returncode == 0, result
    return json.loads(out.read_text())


@pytest.fixture(scope="module")
def stamped(tmp_path_factory, authority):
    """A certificate, its bundle with one token from the authority, and the token's bytes."""
    authority.mode = "ok"
    tmp = tmp_path_factory.mktemp("stamped")
    certificate = emit(tmp)
    bundle = stamp(certificate, authority, tmp / "stamped.sigstore.json")
    return certificate, tmp / "stamped.sigstore.json", bundle


def tokens_of(bundle):
    entries = bundle["verificationMaterial"]["timestampVerificationData"]["rfc3161Timestamps"]
    return [base64.b64decode(entry["signedTimestamp"]) for entry in entries]


def signature_of(bundle):
    return base64.b64decode(bundle["dsseEnvelope"]["signatures"][0]["sig"])


def failing(result):
    return [line.split()[1][:-1] for line in result.stdout.splitlines() if line.startswith("FAIL ")]


def check_line(result, name):
    return next(line for line in result.stdout.splitlines() if line.split()[1:2] == [name + ":"])


def with_tokens(bundle, tokens, path):
    changed = json.loads(json.dumps(bundle))
    changed["verificationMaterial"]["timestampVerificationData"]["rfc3161Timestamps"] = [
        {"signedTimestamp": base64.b64encode(token).decode()} for token in tokens]
    path.write_text(json.dumps(changed))
    return path


def test_the_request_and_the_bundle(stamped, served, tmp_path):
    certificate, path, bundle = stamped
    # Two authorities, one token each; the request as an authority sees it.
    twice = stamp(certificate, served, tmp_path / "twice.sigstore.json", "--timestamp-url", served.url)
    assert len(tokens_of(twice)) == 2
    (_, content_type, query), _ = served.queries
    assert content_type == "application/timestamp-query"
    (tmp_path / "query.tsq").write_bytes(query)
    text = subprocess.run(["openssl", "ts", "-query", "-in", tmp_path / "query.tsq", "-text"],
                          capture_output=True, text=True, check=True).stdout
    imprint = hashlib.sha256(signature_of(twice)).digest()
    assert "Hash Algorithm: sha256" in text and "Certificate required: yes" in text, text
    assert "Nonce: 0x" in text, text
    assert imprint.hex()[:32] in text.replace(" ", "").replace("-", ""), text

    # openssl ts -verify takes the token against the root and the signature's digest.
    (tmp_path / "token.tsr").write_bytes(tokens_of(bundle)[0])
    digest = hashlib.sha256(signature_of(bundle)).hexdigest()
    checked = subprocess.run(["openssl", "ts", "-verify", "-digest", digest, "-in", tmp_path / "token.tsr",
                              "-CAfile", served.authority.root], capture_output=True, text=True)
    assert checked.returncode == 0 and "Verification: OK" in checked.stdout, checked
    other = subprocess.run(["openssl", "ts", "-verify", "-digest", "00" * 32, "-in", tmp_path / "token.tsr",
                            "-CAfile", served.authority.root], capture_output=True, text=True)
    assert other.returncode != 0


def test_the_documented_openssl_recipe_checks_the_token(stamped, served, tmp_path):
    guide = (ROOT / "docs" / "attestations.md").read_text(encoding="utf-8")
    recipe = re.search(r"```sh\n(jq -r '\.verificationMaterial\.timestampVerificationData.*?)```", guide,
                       re.S).group(1)
    shutil.copy(served.authority.root, tmp_path / "tsa-roots.pem")

    def run_recipe(bundle):
        (tmp_path / "governance-certificate.sigstore.json").write_text(json.dumps(bundle))
        return subprocess.run(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c", recipe],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)

    bundle = stamped[2]
    accepted = run_recipe(bundle)
    assert accepted.returncode == 0 and "Verification: OK" in accepted.stdout, accepted
    other = json.loads(json.dumps(bundle))
    signature = bytearray(signature_of(bundle))
    signature[0] ^= 1
    other["dsseEnvelope"]["signatures"][0]["sig"] = base64.b64encode(bytes(signature)).decode()
    assert run_recipe(other).returncode != 0


CREDENTIALED = "http://user:secret@{host}/tsa?apikey=hidden"


@pytest.mark.parametrize("mode, reason", [
    ("garbage", "not a time-stamp response"),
    ("reject", "status rejection"),
    ("other_imprint", "the token's imprint is not the SHA-256 of this envelope's signature"),
    ("other_nonce", "the token's nonce is not the request's"),
    ("no_usage", "unsuitable certificate purpose"),
    ("huge", "the answer is larger than 1048576 bytes"),
    ("slow", "timed out"),
    ("closed", "Failed to connect"),
])
def test_attest_fails_cleanly_on_a_faulty_authority(stamped, served, tmp_path, mode, reason):
    certificate = stamped[0]
    host = served.url.split("/")[2]
    if mode == "closed":
        with Server(tmp_path / "gone") as gone:
            host = gone.url.split("/")[2]
    served.mode = mode
    served.delay = 4
    out = tmp_path / "bundle.json"
    started = time.monotonic()
    result = attest(certificate, "--out", out, "--envelope-out", tmp_path / "envelope.json",
                    "--timestamp-url", CREDENTIALED.format(host=host), "--timestamp-timeout", "2",
                    env=OPERATOR)
    assert time.monotonic() - started < 4
    assert result.returncode == 2, result
    assert result.stdout == ""
    assert result.stderr.startswith(f"error: timestamp authority http://{host}/tsa: "), result.stderr
    assert reason in result.stderr and result.stderr.count("\n") == 1, result.stderr
    assert "secret" not in result.stderr and "hidden" not in result.stderr
    assert sorted(os.listdir(tmp_path)) == (["gone"] if mode == "closed" else [])


@pytest.mark.parametrize("options, message", [
    (["--timestamp-timeout", "0"], "invalid value '0' for '--timestamp-timeout <DURATION>'"),
    (["--timestamp-timeout", "1y"], "invalid value '1y' for '--timestamp-timeout <DURATION>'"),
    (["--timestamp-url", "ftp://tsa.example/"], "expected an http:// or https:// URL"),
])
def test_attest_timestamp_usage_errors(stamped, options, message):
    result = attest(stamped[0], "--timestamp-url", "http://127.0.0.1:9/", *options)
    assert result.returncode == 2 and message in result.stderr, result


def test_a_timestamped_bundle_verifies_and_its_token_is_the_trusted_time(stamped, served):
    _, path, bundle = stamped
    root = served.authority.root
    result = verify(path, *KEY, "--tsa-certs", root, "--require-timestamp", "--max-age", "1h")
    assert result.returncode == 0, result
    line = check_line(result, "timestamp")
    assert line.startswith("ok   timestamp: 1 of 1 token verified; token 1: authority "
                           "\"CN=tsa timestamp authority,O=certwright tests\" at "), line
    assert "by timestamp authority \"CN=tsa timestamp authority,O=certwright tests\"'s clock" in \
        check_line(result, "max-age")
    report = json.loads(verify(path, *KEY, "--tsa-certs", root, "--format", "json").stdout)
    facts = report["facts"]
    assert facts["trustedTime"]["clock"] == "timestamp-authority"
    assert facts["trustedTime"]["authority"] == "CN=tsa timestamp authority,O=certwright tests"
    assert [token["verified"] for token in facts["timestamps"]] == [True]
    assert facts["timestamps"][0]["time"] == facts["trustedTime"]["time"]

    # Without trusted authorities the token is counted, not checked, as before.
    plain = verify(path, *KEY)
    assert plain.returncode == 0 and "1 RFC 3161 timestamp token(s) present, not checked" in plain.stdout


@pytest.fixture(scope="module")
def other_bundles(stamped, authority, tmp_path_factory):
    """Another certificate's bundle from the same authority, and one of the same certificate from
    another authority."""
    tmp = tmp_path_factory.mktemp("others")
    authority.mode = "ok"
    again = stamp(emit(tmp), authority, tmp / "again.sigstore.json")
    authority.mode = "other"
    foreign = stamp(stamped[0], authority, tmp / "foreign.sigstore.json")
    authority.mode = "ok"
    return again, foreign


@pytest.mark.parametrize("case, options, failed, reason", [
    ("truncated", [], ["timestamp"], "not a time-stamp response"),
    ("byte changed", [], ["timestamp"], "the token does not verify"),
    ("another authority", [], ["timestamp"], "the token does not verify: certificate verify error"),
    ("another bundle's token", [], ["timestamp"],
     "the token's imprint is not the SHA-256 of this envelope's signature"),
    ("two required, one given", ["--require-timestamp=2"], ["timestamp"], "1 of 1 token verified, 2 required"),
    ("no token", ["--require-timestamp"], ["timestamp"], "the bundle carries no timestamp token"),
    ("judged before the token", ["--at", "{before}"], ["timestamp"], "in the future"),
    ("signer without the timeStamping usage", [], ["timestamp"], "unsuitable certificate purpose"),
    ("a good and a bad token", [], ["timestamp"], "1 of 2 tokens verified; token 1: authority"),
])
def test_a_changed_token_fails_timestamp_with_its_reason(stamped, other_bundles, served, tmp_path, case,
                                                         options, failed, reason):
    _, _, bundle = stamped
    token = tokens_of(bundle)[0]
    again, foreign = other_bundles
    changed = bytearray(token)
    changed[-10] ^= 1  # in the signer's signature
    tokens = {"truncated": [token[:-20]], "byte changed": [bytes(changed)],
              "another authority": tokens_of(foreign), "another bundle's token": tokens_of(again),
              "no token": [], "a good and a bad token": [token, bytes(changed)]}.get(case, [token])
    roots = tmp_path / "roots.pem"
    roots.write_bytes(served.authority.root.read_bytes())
    if case == "signer without the timeStamping usage":
        # Trusted as a root, yet its signer lacks the usage: only OpenSSL's CMS would sign it.
        authority = served.authority
        query = authority.query(hashlib.sha256(signature_of(bundle)).hexdigest())
        tokens = [authority.token_without_usage(query)]
        roots.write_bytes(authority.root.read_bytes() + (authority.dir / "plain-root.pem").read_bytes())
    if case == "another bundle's token":
        assert signature_of(again) != signature_of(bundle)
    path = with_tokens(bundle, tokens, tmp_path / "changed.sigstore.json")
    before = (datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(minutes=30))
    options = [option.format(before=before.strftime("%Y-%m-%dT%H:%M:%SZ")) for option in options]
    result = verify(path, *KEY, "--tsa-certs", roots, *options)
    assert failing(result) == failed, result
    assert reason in check_line(result, "timestamp"), result.stdout


def test_tokens_need_a_bundle_and_trusted_authorities(stamped, served):
    certificate, path, _ = stamped
    alone = verify(certificate, *KEY, "--tsa-certs", served.authority.root, "--require-timestamp")
    assert failing(alone) == ["timestamp"]
    assert "a certificate alone carries no timestamp token" in alone.stdout
    beside = verify(certificate, *KEY, "--attestation", path, "--tsa-certs", served.authority.root,
                    "--require-timestamp")
    assert beside.returncode == 0, beside
    for options, message in [
        (["--require-timestamp"], "'--require-timestamp' needs the trusted timestamp authorities"),
        (["--tsa-certs", served.authority.root, "--require-timestamp=0"], "expected a whole number"),
        (["--tsa-certs", path], "no PEM CERTIFICATE block"),
    ]:
        result = verify(path, *KEY, *options)
        assert result.returncode == 2 and message in result.stderr, (options, result)


def test_revocation_is_judged_at_the_tokens_time(stamped, served, tmp_path):
    _, path, bundle = stamped
    now = datetime.datetime.now(datetime.timezone.utc)
    moment = (now + datetime.timedelta(seconds=5)).strftime("%Y-%m-%dT%H:%M:%SZ")
    earlier = (now - datetime.timedelta(days=1)).strftime("%Y-%m-%dT%H:%M:%SZ")
    later = (now + datetime.timedelta(minutes=1)).strftime("%Y-%m-%dT%H:%M:%SZ")
    for revoked_at, failed, reason in [
        (moment, [], "signed before its revocation at"),
        (earlier, ["trusted-key"], "and timestamp authority \"CN=tsa timestamp authority,O=certwright "
                                   "tests\" dated it at"),
    ]:
        revocations = tmp_path / "revoked"
        revocations.write_text(f"{TEST_PUBLIC_B64} revoked-at={revoked_at} leaked\n")
        result = verify(path, *KEY, "--revoked-keys", revocations, "--tsa-certs", served.authority.root,
                        "--at", later)
        assert failing(result) == failed, result
        assert reason in check_line(result, "trusted-key"), result.stdout
    # Without the authority's roots only the signer's clock says when.
    result = verify(path, *KEY, "--revoked-keys", revocations, "--at", later)
    assert "only the signer's clock says when it signed" in check_line(result, "trusted-key")


def test_with_a_countersignature_and_a_token_the_earlier_judges(served, tmp_path):
    certificate = emit(tmp_path)
    countersigned = tmp_path / "countersigned.json"
    assert countersign(certificate, *KEY, "--out", countersigned).returncode == 0
    time.sleep(1.2)  # the token, in whole seconds, comes strictly after the countersignature
    bundle_path = tmp_path / "countersigned.sigstore.json"
    stamp(countersigned, served, bundle_path)
    token_time = tokens_of(json.loads(bundle_path.read_text()))
    report = json.loads(verify(countersigned, *KEY, *PLATFORM, "--attestation", bundle_path, "--tsa-certs",
                               served.authority.root, "--format", "json").stdout)
    facts = report["facts"]
    assert facts["trustedTime"]["clock"] == "platform", facts
    assert facts["countersign"] is not None and len(token_time) == 1
    assert facts["timestamps"][0]["verified"] and facts["timestamps"][0]["time"] > facts["trustedTime"]["time"]
    text = verify(countersigned, *KEY, *PLATFORM, "--attestation", bundle_path, "--tsa-certs",
                  served.authority.root, "--max-age", "1h")
    assert text.returncode == 0, text
    assert "countersigned=" in text.stdout and "timestamped=" in text.stdout
    assert "by the platform's clock" in check_line(text, "max-age")


def test_sigstore_javascript_verifier_checks_the_token(stamped, served, tmp_path):
    node = shutil.which("node")
    if node is None or not (JS_CHECK.parent / "node_modules").is_dir():
        if os.environ.get("CERTWRIGHT_REQUIRE_JS"):
            pytest.fail("tests/js is not installed (npm ci in tests/js) or node is missing")
        pytest.skip("tests/js is not installed")
    _, path, bundle = stamped
    authority = served.authority
    token = bytearray(tokens_of(bundle)[0])
    token[-10] ^= 1
    changed = with_tokens(bundle, [bytes(token)], tmp_path / "changed.sigstore.json")

    key = tmp_path / "operator.pem"
    key.write_bytes(Ed25519PrivateKey.from_private_bytes(TEST_SEED).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))

    def check(bundle_path, *authorities):
        return subprocess.run([node, str(JS_CHECK), str(bundle_path), str(key), "--timestamps",
                               *[str(path) for path in authorities]], capture_output=True, text=True,
                              timeout=60)

    chain = [authority.certificate, authority.root]
    accepted = check(path, *chain)
    assert accepted.returncode == 0, accepted
    for refused in [check(changed, *chain), check(path)]:
        assert refused.returncode == 1, refused
        assert refused.stdout.startswith("rejected: "), refused
        assert "timestamp" in refused.stdout, refused
