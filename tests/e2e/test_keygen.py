"""certwright-keygen: new seed files that only their owner can read and that are never
overwritten, and the public key of a seed, checked with independent code."""

import base64
import hashlib
import stat

import pytest
from cryptography.hazmat.primitives import serialization

from conftest import (
    ATTEST,
    BIN,
    KEYGEN,
    TEST_PUBLIC_B64,
    TEST_SEED_B64,
    VERIFY,
    base_env,
    public_key_of,
    run,
)

LABEL = "certwright-ed25519-public-key"
TEST_PUBLIC_LINE = f"{TEST_PUBLIC_B64} {LABEL}"


def keygen(*args, env=None, prefix=()):
    return run([str(arg) for arg in args], binary=KEYGEN, env=env, prefix=prefix)


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o277, 0o000])
def test_out_writes_a_private_seed_and_prints_its_public_key(tmp_path, umask):
    seed_file = tmp_path / "key.b64"
    result = keygen("--out", seed_file, prefix=("sh", "-c", f'umask {umask:03o}; exec "$0" "$@"'))
    assert result.returncode == 0, result
    text = seed_file.read_text()
    assert len(text) == 45 and text.endswith("\n")
    assert stat.S_IMODE(seed_file.stat().st_mode) == 0o600
    key = public_key_of(text.strip())
    digest = hashlib.sha256(base64.b64decode(key)).digest()
    public_file = tmp_path / "key.b64.pub"
    # Standard output is the key file's line alone, so `> operator.pub` writes a key file.
    assert result.stdout == f"{key} {LABEL}\n"
    assert result.stderr == (
        f"fingerprint: SHA256:{base64.b64encode(digest).decode().rstrip('=')}\n"
        f"public key written to {public_file}\n"
        f"verify with: certwright-verify CERTIFICATE --public-key-file {public_file}\n")
    assert public_file.read_text() == result.stdout
    assert text.strip() not in result.stdout + result.stderr


def pem_of(public_b64):
    return serialization.load_der_public_key(
        bytes.fromhex("302a300506032b6570032100") + base64.b64decode(public_b64)).public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode()


def run_dir_with_a_stage(tmp_path):
    run_dir = tmp_path / "run"
    (run_dir / "s0-preflight").mkdir(parents=True, exist_ok=True)
    return run_dir


# The public key in every form the programs print or write, and PEM.
PUBLIC_FORMS = [
    ("printed by --public", lambda tmp: keygen("--public", tmp / "seed.b64").stdout),
    ("printed by --out", lambda tmp: keygen("--out", tmp / "new.b64").stdout),
    ("pem", lambda tmp: keygen("--public", tmp / "seed.b64", "--format", "pem").stdout),
]


@pytest.mark.parametrize("form, make", PUBLIC_FORMS, ids=[row[0] for row in PUBLIC_FORMS])
def test_a_printed_public_key_is_never_taken_for_a_seed(tmp_path, form, make):
    """The documented recipe `--public SEED > operator.pub` once wrote the bare key, which the
    emitter then took for a seed: a private key that anyone holding the public key could
    compute. Every seed reader refuses what the programs print as a public key."""
    seed_file = tmp_path / "seed.b64"
    seed_file.write_text(TEST_SEED_B64 + "\n")
    seed_file.chmod(0o600)
    public_file = tmp_path / "operator.pub"
    public_file.write_text(make(tmp_path))
    public_file.chmod(0o600)
    text = public_file.read_text()
    named = "PEM PUBLIC KEY block" if form == "pem" else f"public key ({LABEL})"
    refused = f"this is a {named}, not a seed"
    certificate = tmp_path / "c.json"
    for binary, args, env in [
        (BIN, ["build-certificate", run_dir_with_a_stage(tmp_path), "--out", certificate],
         {"ZEM_SIGNING_KEY_PATH": str(public_file)}),
        (BIN, ["build-certificate", run_dir_with_a_stage(tmp_path), "--out", certificate],
         {"ZEM_SIGNING_KEY": text}),
        (ATTEST, [certificate], {"ZEM_SIGNING_KEY_PATH": str(public_file)}),
        (KEYGEN, ["--public"], {"ZEM_SIGNING_KEY_PATH": str(public_file)}),
    ]:
        result = run([str(arg) for arg in args], binary=binary, env=base_env(**env))
        assert result.returncode == 2, (args, env, result)
        assert result.stderr.endswith(f"content malformed: {refused}\n") or \
            result.stderr.endswith(f"is set but malformed: {refused}\n"), (args, env, result)
        assert not certificate.exists()
    # Every key option reads it.
    assert run(["build-certificate", str(run_dir_with_a_stage(tmp_path)), "--out", str(certificate)],
               env=base_env(ZEM_SIGNING_KEY_PATH=str(seed_file))).returncode == 0
    if form != "printed by --out":
        for option in (["--public-key-file", public_file], [f"--public-key={text.strip()}"]):
            verified = run([str(certificate), *map(str, option)], binary=VERIFY)
            assert verified.returncode == 0, (option, verified)


# (what FILE holds, --format, expected standard output)
PUBLIC_FILES = [
    ("seed", None, TEST_PUBLIC_LINE + "\n"),
    ("seed", "pem", pem_of(TEST_PUBLIC_B64)),
    ("labelled", None, TEST_PUBLIC_LINE + "\n"),
    ("labelled", "pem", pem_of(TEST_PUBLIC_B64)),
    ("pem", "pem", pem_of(TEST_PUBLIC_B64)),
    ("pem", "base64", TEST_PUBLIC_LINE + "\n"),
    # Bare Base64 is a seed's form: it is read as a seed, never as the key it may be.
    ("bare", None, public_key_of(TEST_PUBLIC_B64) + f" {LABEL}\n"),
]


@pytest.mark.parametrize("holds, format_, expected", PUBLIC_FILES)
def test_public_reads_a_public_key_file_as_well_as_a_seed(tmp_path, holds, format_, expected):
    content = {"seed": TEST_SEED_B64 + "\n", "labelled": TEST_PUBLIC_LINE + "\n",
               "pem": pem_of(TEST_PUBLIC_B64), "bare": TEST_PUBLIC_B64 + "\n"}[holds]
    key_file = tmp_path / "key"
    key_file.write_text(content)
    key_file.chmod(0o644 if holds in ("labelled", "pem") else 0o600)
    result = keygen("--public", key_file, *(["--format", format_] if format_ else []))
    # A public key file readable by all draws no warning.
    assert (result.returncode, result.stdout, result.stderr) == (0, expected, ""), result


def test_public_refuses_a_public_key_file_that_holds_no_valid_key(tmp_path):
    cases = [
        (f"{'A' * 43}= {LABEL}\n", "small order"),
        ("ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIA op\n", "an OpenSSH public key line"),
        ("-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEA\n", "without its END line"),
    ]
    key_file = tmp_path / "key.pub"
    for content, named in cases:
        key_file.write_text(content)
        result = keygen("--public", key_file, "--format", "pem")
        assert result.returncode == 2 and result.stdout == "", (content, result)
        assert result.stderr.startswith(f"error: {key_file} content malformed: ") and \
            named in result.stderr, (content, result)


def test_usage_refusals(tmp_path):
    seed_file = tmp_path / "operator.key"
    assert keygen("--out", seed_file).returncode == 0
    cases = [
        (["--out", "-"], "never written to standard output"),
        (["--out", seed_file], "exists"),
        (["--public", seed_file, "--format", "der"], "'--format <FORMAT>'"),
    ]
    for args, named in cases:
        result = keygen(*args)
        assert result.returncode == 2 and named in result.stderr, (args, result)


def test_two_seeds_differ_and_feed_the_emitter_and_the_verifier(tmp_path):
    first, second = tmp_path / "a.b64", tmp_path / "b.b64"
    assert keygen("--out", first).returncode == 0
    assert keygen("--out", second).returncode == 0
    assert first.read_text() != second.read_text()
    public = tmp_path / "operator.pub"
    result = keygen("--public", first)
    public.write_text(result.stdout)
    assert result.stdout.endswith(f" {LABEL}\n")
    run_dir = tmp_path / "run"
    (run_dir / "s0-preflight").mkdir(parents=True)
    (run_dir / "s0-preflight" / "a").write_bytes(b"a")
    out = tmp_path / "cert.json"
    assert run(["build-certificate", str(run_dir), "--out", str(out)],
               env=base_env(ZEM_SIGNING_KEY_PATH=str(first))).returncode == 0
    verified = run([str(out), "--public-key-file", str(public)], binary=VERIFY)
    assert verified.returncode == 0, verified
    assert run([str(out), "--public-key", keygen("--public", second).stdout.strip()],
               binary=VERIFY).returncode == 1


def test_out_never_overwrites_nor_follows_a_link(tmp_path):
    existing = tmp_path / "key.b64"
    existing.write_text("keep")
    link = tmp_path / "link.b64"
    link.symlink_to(tmp_path / "target.b64")
    for path in (existing, link):
        result = keygen("--out", path)
        assert result.returncode == 2, result
        assert result.stdout == "" and result.stderr.startswith("error: ")
    assert existing.read_text() == "keep"
    assert not (tmp_path / "target.b64").exists()


PUBLIC_CASES = [
    # (environment, seed file content or None, expected stdout or error text)
    ({"ZEM_SIGNING_KEY": TEST_SEED_B64 + "\n"}, None, TEST_PUBLIC_LINE),
    ({"ZEM_SIGNING_KEY_PATH": "SEEDFILE"}, f"  {TEST_SEED_B64}\r\n", TEST_PUBLIC_LINE),
    ({"ZEM_SIGNING_KEY": TEST_SEED_B64[:-1]},
     None, "error: ZEM_SIGNING_KEY is set but malformed: base64: Invalid padding"),
    ({"ZEM_SIGNING_KEY": "bad", "ZEM_SIGNING_KEY_PATH": "SEEDFILE"}, TEST_SEED_B64,
     "error: ZEM_SIGNING_KEY is set but malformed"),
    ({"ZEM_SIGNING_KEY_PATH": "SEEDFILE"}, None, "unreadable: No such file or directory"),
    ({}, None, "error: no operator key is configured"),
]


@pytest.mark.parametrize("env, content, expected", PUBLIC_CASES)
def test_public_resolves_the_emitters_key_without_an_ephemeral_fallback(tmp_path, env, content,
                                                                        expected):
    seed_file = tmp_path / "seed.b64"
    if content is not None:
        seed_file.write_text(content)
        seed_file.chmod(0o600)
    env = {name: str(seed_file) if value == "SEEDFILE" else value for name, value in env.items()}
    result = keygen("--public", env=base_env(**env))
    if expected.startswith("error: ") or "unreadable" in expected:
        assert result.returncode == 2 and result.stdout == "", result
        assert expected in result.stderr
    else:
        assert (result.returncode, result.stdout, result.stderr) == (0, expected + "\n", "")


def test_public_of_a_seed_file(tmp_path):
    seed_file = tmp_path / "seed.b64"
    seed_file.write_text(TEST_SEED_B64 + "\n")
    seed_file.chmod(0o644)
    result = keygen("--public", seed_file)
    assert result.stdout == TEST_PUBLIC_LINE + "\n"
    assert result.stderr == f"warning: {seed_file} is readable by group or others; restrict it to its owner (chmod 600)\n"
    seed_file.chmod(0o600)
    seed_file.write_text(TEST_SEED_B64[:20] + "\n" + TEST_SEED_B64[20:])
    result = keygen("--public", seed_file)
    assert result.returncode == 2
    assert result.stderr == f"error: {seed_file} content malformed: base64: Invalid symbol 10, offset 20.\n"


@pytest.mark.parametrize("args, named", [
    ([], "one of '--out <FILE>' or '--public [<FILE>]' is required"),
    (["--out", "k", "--public"], "cannot be used with"),
    (["--out="], "is empty"),
    (["--out", "k", "extra"], "'extra'"),
    (["--public", "a", "b"], "'b'"),
])
def test_usage_errors(args, named):
    result = keygen(*args)
    assert result.returncode == 2 and result.stdout == "", result
    assert result.stderr.startswith("error: ") and named in result.stderr
    assert "Usage: certwright-keygen [OPTIONS]" in result.stderr


def test_out_into_a_missing_directory_is_refused(tmp_path):
    result = keygen("--out", tmp_path / "missing" / "key.b64")
    assert result.returncode == 2
    assert "No such file or directory" in result.stderr
    assert not (tmp_path / "missing").exists()


def test_help_and_version():
    for program, name in ((KEYGEN, "certwright-keygen"), (VERIFY, "certwright-verify")):
        version = run(["--version"], binary=program)
        assert (version.returncode, version.stdout) == (0, f"{name} 0.3.0\n")
        assert run(["-V"], binary=program).stdout == version.stdout
        help_text = run(["--help"], binary=program)
        assert help_text.returncode == 0 and f"Usage: {name} [OPTIONS]" in help_text.stdout
