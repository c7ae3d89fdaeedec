"""The certificate's seal: where the signing key comes from, the refusals around it, and the
signer identity check, driven through the real binary."""

import base64

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from conftest import (
    TEST_PUBLIC_B64,
    TEST_SEED,
    TEST_SEED_B64,
    base_env,
    encode,
    load_certificate,
    make_run,
    run,
    signing_view,
    unprivileged,
)

CERTIFICATE = "governance-certificate.json"
SIGNER = ["--signer-subject", " alice", "--signer-identity-provider", "https://idp.example"]
OPERATOR_KEY_REQUIRED = (
    "error: --require-operator-key was set but the signing material resolved to an ephemeral key "
    "(spec 220 FR-003). A production tenant emission must supply an operator key via "
    "ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH; refusing to emit an untrusted certificate."
)
NO_OPERATOR_KEY = (
    "warning: no operator key configured (ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH); the "
    "certificate is signed with a one-time key that no verifier can trust"
)
SUBJECT_EMPTY = "error: signer subject is empty or whitespace (FR-007); anonymous signing forbidden"


@pytest.fixture
def run_dir(tmp_path):
    return make_run(
        tmp_path,
        {"s0-preflight": {"preflight.json": b"{}"}, "s1-business-requirements": {"brd.md": b"# BRD\n"}},
    )


def emit(run_dir, *options, **env):
    return run(["build-certificate", str(run_dir), *options], env=base_env(**env))


def assert_refused(result, run_dir, line):
    """Exit 2, the error as the last line of standard error, nothing on standard output and no
    certificate written."""
    assert result.returncode == 2, result
    assert result.stderr.splitlines()[-1] == line, result
    assert result.stdout == ""
    assert not (run_dir / CERTIFICATE).exists()


@pytest.mark.parametrize("variable", ["ZEM_SIGNING_KEY", "ZEM_SIGNING_KEY_PATH"])
def test_operator_key_seals_the_certificate(run_dir, tmp_path, variable):
    if variable == "ZEM_SIGNING_KEY":
        value = TEST_SEED_B64 + "\n"
    else:
        key_file = tmp_path / "operator.key"
        key_file.write_text(TEST_SEED_B64 + "\n   ")
        value = str(key_file)

    result = emit(run_dir, *SIGNER, "--require-operator-key", **{variable: value})

    assert result.returncode == 0, result
    certificate = load_certificate(run_dir / CERTIFICATE)
    assert certificate["signingPublicKey"] == TEST_PUBLIC_B64
    assert certificate["signingAttestation"] == {"kind": "operator", "note": f"source={variable}"}
    assert certificate["signer"] == {"subject": " alice", "identityProvider": "https://idp.example"}
    # Ed25519 is deterministic: an independent signer over the signing view gives the same bytes.
    expected = Ed25519PrivateKey.from_private_bytes(TEST_SEED).sign(
        encode(signing_view(certificate)).encode("utf-8")
    )
    assert certificate["certSignature"] == base64.b64encode(expected).decode()


def test_ephemeral_keys_differ_between_runs(run_dir, tmp_path):
    public_keys = []
    for name in ("first.json", "second.json"):
        out = tmp_path / name
        result = emit(run_dir, "--out", str(out))
        assert result.returncode == 0, result
        certificate = load_certificate(out)
        assert certificate["signingAttestation"] == {
            "kind": "ephemeral",
            "note": "auto-generated for pipeline run",
        }
        assert len(certificate["signingPublicKey"]) == 44
        assert len(certificate["certSignature"]) == 88
        public_keys.append(certificate["signingPublicKey"])
    assert public_keys[0] != public_keys[1]


def test_require_operator_key_refuses_an_ephemeral_key(run_dir):
    result = emit(run_dir, *SIGNER, "--require-operator-key")
    assert_refused(result, run_dir, OPERATOR_KEY_REQUIRED)
    assert NO_OPERATOR_KEY not in result.stderr


def test_a_missing_operator_key_is_one_warning_in_its_place(shared_tmp):
    """After the warnings about the build spec and the requirements, before those of the
    bindings and the walk; none with an operator key. Run as a user that file modes apply to,
    so that the build spec cannot be read."""
    run_dir = make_run(shared_tmp, {"s0-preflight": {"a.txt": b"a"},
                                    "s5-ui-specification": {"build-spec.yaml": b"a: 1\n"}})
    (run_dir / "s0-preflight" / "link").symlink_to("a.txt")
    (run_dir / "s5-ui-specification" / "build-spec.yaml").chmod(0)
    for directory in (run_dir, *run_dir.iterdir()):
        directory.chmod(0o777)
    binary, prefix = unprivileged(shared_tmp)
    argv = ["build-certificate", str(run_dir), "--corpus-attestation",
            str(shared_tmp / "missing.json")]
    result = run(argv, env=base_env(), binary=binary, prefix=prefix)
    assert result.returncode == 0, result
    assert [line.split(" ")[1] for line in result.stderr.splitlines()] == [
        "could", "neither", "no", "corpus", "skipping", "skipping"], result
    assert result.stderr.splitlines()[2] == NO_OPERATOR_KEY

    result = run(argv, env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64), binary=binary, prefix=prefix)
    assert result.returncode == 0, result
    assert "operator key" not in result.stderr


GOOD_FILE = TEST_SEED_B64.encode()
LINE_BREAK_FILE = (TEST_SEED_B64[:20] + "\n" + TEST_SEED_B64[20:]).encode()


@pytest.mark.parametrize(
    "inline, key_file, line",
    [
        (
            TEST_SEED_B64[:-1],
            None,
            "error: ZEM_SIGNING_KEY is set but malformed: base64: Invalid padding",
        ),
        ("", None, "error: ZEM_SIGNING_KEY is set but malformed: seed length 0 != 32"),
        (
            base64.b64encode(bytes(16)).decode(),
            None,
            "error: ZEM_SIGNING_KEY is set but malformed: seed length 16 != 32",
        ),
        (
            base64.urlsafe_b64encode(TEST_SEED).decode(),
            None,
            "error: ZEM_SIGNING_KEY is set but malformed: base64: Invalid symbol 95, offset 6.",
        ),
        # The inline variable decides alone, even when a good key file is configured too.
        (
            TEST_SEED_B64[:-1],
            GOOD_FILE,
            "error: ZEM_SIGNING_KEY is set but malformed: base64: Invalid padding",
        ),
        (None, "missing", "error: ZEM_SIGNING_KEY_PATH={path} unreadable: No such file or directory"),
        (
            None,
            b"\xff" + GOOD_FILE,
            "error: ZEM_SIGNING_KEY_PATH={path} unreadable: stream did not contain valid UTF-8",
        ),
        (
            None,
            LINE_BREAK_FILE,
            "error: ZEM_SIGNING_KEY_PATH={path} content malformed: "
            "base64: Invalid symbol 10, offset 20.",
        ),
    ],
)
def test_key_errors_refuse_the_emission(run_dir, tmp_path, inline, key_file, line):
    env = {}
    if inline is not None:
        env["ZEM_SIGNING_KEY"] = inline
    path = tmp_path / "operator.key"
    if key_file is not None:
        env["ZEM_SIGNING_KEY_PATH"] = str(path)
        if key_file != "missing":
            path.write_bytes(key_file)
    assert_refused(emit(run_dir, *SIGNER, **env), run_dir, line.replace("{path}", str(path)))


@pytest.mark.parametrize(
    "subject, provider, line",
    [
        ("   ", "https://idp.example", SUBJECT_EMPTY),
        ("", "", SUBJECT_EMPTY),
        ("alice", "\t", "error: signer identity_provider is empty"),
    ],
)
def test_blank_signer_is_refused(run_dir, subject, provider, line):
    result = emit(
        run_dir,
        "--signer-subject",
        subject,
        "--signer-identity-provider",
        provider,
        ZEM_SIGNING_KEY=TEST_SEED_B64,
    )
    assert_refused(result, run_dir, line)
