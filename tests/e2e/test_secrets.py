"""Secrets stay secret. Messages never quote what a run directory links to, key files readable
by others draw a warning that never shows the key, and key material does not outlive its use: the tool runs under gdb to the moment it exits, an
image of its memory is taken there, and no 16-byte piece of the seed, of the expanded Ed25519
key (SHA-512 of the seed) or of a key file's text is anywhere in it. Under AddressSanitizer
freed memory sits in quarantine, so a secret freed without being wiped first is still there to
be found."""

import base64
import hashlib
import shutil
import subprocess
import textwrap

import pytest

from conftest import BIN, TEST_SEED, TEST_SEED_B64, base_env, load_certificate, make_run, run

# Written at the exit_group system call: every readable mapping of the process, in address
# order. Mappings over 1 GiB are left out: those are AddressSanitizer's shadow and reserved
# address space, which hold no program data (and would make the image terabytes long).
IMAGE_SCRIPT = textwrap.dedent("""
    import gdb
    inferior = gdb.selected_inferior()
    with open(IMAGE, "wb") as image, open(f"/proc/{inferior.pid}/maps") as maps:
        for line in maps:
            fields = line.split()
            start, end = (int(x, 16) for x in fields[0].split("-"))
            if "r" not in fields[1] or end - start > 1 << 30:
                continue
            try:
                image.write(bytes(inferior.read_memory(start, end - start)))
            except gdb.MemoryError:
                pass
""")


def memory_image_at_exit(tmp_path, args, env):
    if shutil.which("gdb") is None:
        pytest.fail("gdb is required for the secret scan (scripts/deps installs it)")
    image = tmp_path / "memory.img"
    script = tmp_path / "image.py"
    script.write_text(f"IMAGE = {str(image)!r}\n" + IMAGE_SCRIPT)
    # LeakSanitizer cannot run under ptrace; the leak check is the rest of the suite's job.
    env = {**env, "ASAN_OPTIONS": "detect_leaks=0"}
    completed = subprocess.run(
        ["gdb", "-nx", "-batch", "-ex", "set pagination off", "-ex", "catch syscall exit_group",
         "-ex", "run", "-ex", f"source {script}", "-ex", "kill", "--args", BIN, *args],
        env=env, capture_output=True, stdin=subprocess.DEVNULL, timeout=300)
    assert image.exists(), completed.stdout.decode() + completed.stderr.decode()
    return image.read_bytes(), completed.stdout.decode()


@pytest.mark.parametrize("source", ["ZEM_SIGNING_KEY", "ZEM_SIGNING_KEY_PATH"])
def test_no_key_material_remains_in_memory_at_exit(tmp_path, source):
    run_dir = make_run(tmp_path, {"s0-preflight": {"a": b"a"}})
    key_file = tmp_path / "seed.b64"
    key_file.write_text(TEST_SEED_B64 + "\n")
    env = base_env(**({"ZEM_SIGNING_KEY": TEST_SEED_B64} if source == "ZEM_SIGNING_KEY"
                      else {"ZEM_SIGNING_KEY_PATH": str(key_file)}))
    out = tmp_path / "cert.json"
    image, gdb_output = memory_image_at_exit(
        tmp_path, ["build-certificate", str(run_dir), "--requirements-hash", "r", "--out", str(out)], env)

    assert "governance certificate written" in gdb_output, gdb_output
    certificate = load_certificate(out)
    assert certificate["signingAttestation"]["note"] == f"source={source}"  # the key was used
    assert base64.b64decode(certificate["signingPublicKey"]).hex().startswith("d75a9801")

    # The image does hold the process's own data: the Base64 text sits in the environment block,
    # which belongs to whoever started the process and is not the tool's to wipe.
    assert (TEST_SEED_B64.encode() in image) == (source == "ZEM_SIGNING_KEY")
    secrets = {"seed": TEST_SEED, "expanded key": hashlib.sha512(TEST_SEED).digest()}
    if source == "ZEM_SIGNING_KEY_PATH":
        secrets["key file text"] = TEST_SEED_B64.encode()
    for name, secret in secrets.items():
        leaked = leaked_fragments(image, secret)
        assert not leaked, f"{name} found in memory at exit (pieces at offsets {leaked})"


def leaked_fragments(image, secret, width=16, stride=4):
    """The offsets in `secret` of its `width`-byte pieces, taken every `stride` bytes, that occur
    in `image`: any run of 20 or more bytes of the secret contains one. A freed block may have
    its first bytes reused by the allocator, so a piece is evidence enough; 16 bytes of key
    material do not occur by chance."""
    return [at for at in range(0, len(secret) - width + 1, stride) if secret[at:at + width] in image]


TOKEN = "tok_4f9a8b7c6d5e4f3a2b1c0d9e8f7a6b5c"


# A build spec may be a link, and may be linked to the operator's key or a credentials file: the
# link is followed and the file hashed, but no message repeats its text.
@pytest.mark.parametrize("content", [
    TEST_SEED_B64 + "\n",
    f"[default]\naws_secret_access_key = {TOKEN}\n",
    f"machine api.example login ci password {TOKEN}\n",
    f'{{"token": "{TOKEN}", "expires": 1e400,\n',
    f"agentic_posture:\n  posture: {TOKEN}\n",
    f"agentic_posture: {{posture: none, surfaces: [{{kind: model-api, governance_envelope: "
    f"!!int {TOKEN}}}]}}\n",
    f"agentic_posture: *{TOKEN}\n",
    f"{TOKEN}: [\n",
])
def test_messages_never_quote_a_linked_build_spec(tmp_path, content):
    secret = tmp_path / "secret"
    secret.write_text(content)
    secret.chmod(0o600)
    run_dir = make_run(tmp_path, {"s0-preflight": {"a": b"a"}})
    (run_dir / "s5-ui-specification").mkdir()
    (run_dir / "s5-ui-specification" / "build-spec.yaml").symlink_to(secret)
    result = run(["build-certificate", str(run_dir), "--requirements-hash", "r", "--signer-subject",
                  "a", "--signer-identity-provider", "p", "--out", str(tmp_path / "cert.json")],
                 env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    assert "did not parse for agentic_posture" in result.stderr
    for piece in (TEST_SEED_B64[:12], TOKEN[:12], TOKEN[-12:]):
        assert piece not in result.stderr + result.stdout
    certificate = load_certificate(tmp_path / "cert.json")
    assert certificate["buildSpec"]["hash"] == hashlib.sha256(content.encode()).hexdigest()


@pytest.mark.parametrize("mode, warns", [(0o600, False), (0o400, False), (0o640, True),
                                         (0o604, True), (0o644, True)])
def test_key_file_readable_by_others_draws_one_warning(tmp_path, mode, warns):
    run_dir = make_run(tmp_path, {"s0-preflight": {"a": b"a"}})
    key_file = tmp_path / "seed.b64"
    key_file.write_text(TEST_SEED_B64 + "\n")
    key_file.chmod(mode)
    # The tenant path resolves the key three times; the warning comes once.
    result = run(["build-certificate", str(run_dir), "--requirements-hash", "r", "--signer-subject",
                  "a", "--signer-identity-provider", "p"],
                 env=base_env(ZEM_SIGNING_KEY_PATH=str(key_file)))
    assert result.returncode == 0, result
    expected = (f"warning: ZEM_SIGNING_KEY_PATH={key_file} is readable by group or others; "
                "restrict it to its owner (chmod 600)\n")
    assert result.stderr == (expected if warns else "")
    assert load_certificate(run_dir / "governance-certificate.json")["signingAttestation"][
        "note"] == "source=ZEM_SIGNING_KEY_PATH"
