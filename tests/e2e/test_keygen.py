"""certwright-keygen: new seed files that only their owner can read and that are never
overwritten, and the public key of a seed, checked with independent code."""

import base64
import hashlib
import stat

import pytest
from cryptography.hazmat.primitives import serialization

from conftest import KEYGEN, TEST_PUBLIC_B64, TEST_SEED_B64, VERIFY, base_env, public_key_of, run



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
    assert result.stdout == (
        f"{key}\nfingerprint: SHA256:{base64.b64encode(digest).decode().rstrip('=')}\n"
        f"public key written to {public_file}\n"
        f"verify with: certwright-verify CERTIFICATE --public-key-file {public_file}\n")
    assert public_file.read_text() == f"{key} certwright-ed25519-public-key\n"
    assert text.strip() not in result.stdout + result.stderr
    assert result.stderr == ""


def test_a_public_key_is_never_taken_for_a_seed(tmp_path):
    seed_file = tmp_path / "operator.key"
    assert keygen("--out", seed_file).returncode == 0
    public_file = tmp_path / "operator.key.pub"
    cases = [
        (["--public", public_file], "this is a public key"),
        (["--out", "-"], "never written to standard output"),
        (["--out", seed_file], "exists"),
        (["--public", seed_file, "--format", "der"], "'--format <FORMAT>'"),
    ]
    for args, named in cases:
        result = keygen(*args)
        assert result.returncode == 2 and named in result.stderr, (args, result)
    run_dir = tmp_path / "run"
    (run_dir / "s0-preflight").mkdir(parents=True)
    emitted = run(["build-certificate", str(run_dir), "--out", str(tmp_path / "c.json")],
                  env=base_env(ZEM_SIGNING_KEY_PATH=str(public_file)))
    assert emitted.returncode == 2 and "this is a public key" in emitted.stderr, emitted
    pem = keygen("--public", seed_file, "--format", "pem")
    assert pem.returncode == 0 and pem.stdout.startswith("-----BEGIN PUBLIC KEY-----\n")
    loaded = serialization.load_pem_public_key(pem.stdout.encode())
    assert base64.b64encode(loaded.public_bytes(serialization.Encoding.Raw,
                                                serialization.PublicFormat.Raw)).decode() == \
        public_file.read_text().split()[0]
    assert run([str(tmp_path / "c.json"), "--public-key-file", str(public_file)],
               binary=VERIFY).returncode == 2  # no certificate was written


def test_two_seeds_differ_and_feed_the_emitter_and_the_verifier(tmp_path):
    first, second = tmp_path / "a.b64", tmp_path / "b.b64"
    assert keygen("--out", first).returncode == 0
    assert keygen("--out", second).returncode == 0
    assert first.read_text() != second.read_text()
    public = tmp_path / "operator.pub"
    result = keygen("--public", first)
    public.write_text(result.stdout)
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
    ({"ZEM_SIGNING_KEY": TEST_SEED_B64 + "\n"}, None, TEST_PUBLIC_B64),
    ({"ZEM_SIGNING_KEY_PATH": "SEEDFILE"}, f"  {TEST_SEED_B64}\r\n", TEST_PUBLIC_B64),
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
    assert result.stdout == TEST_PUBLIC_B64 + "\n"
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
