"""Faults while the certificate is written and while a stage is walked: every one ends with its
documented exit code and message, leaves no partial or wrong certificate and never hangs."""

import hashlib
import os
import pathlib
import re
import resource
import signal
import socket
import stat
import subprocess
import sys
import textwrap

import pytest

from conftest import BIN, TEST_SEED_B64, base_env, load_certificate, make_run, run, unprivileged

CERT = "cert.json"
KEY_ENV = {"ZEM_SIGNING_KEY": TEST_SEED_B64}
QUIET = ["--requirements-hash", "r"]  # no warning about the missing intent


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))


def plant_link_at_temporary_path(target_dir, victim):
    """Runs in the child before exec, so its pid is the tool's: the link sits exactly where the
    tool's temporary file goes."""
    def plant():
        os.symlink(victim, target_dir / f".{CERT}.{os.getpid()}.tmp")
    return plant


def fault_file_size(tmp):
    return {"preexec_fn": limit_file_size}, "File too large"


def fault_read_only_dir(tmp):
    (tmp / "out").chmod(0o555)
    return {"unprivileged": True}, "Permission denied"


def fault_target_is_non_empty_dir(tmp):
    (tmp / "out" / CERT).unlink()
    (tmp / "out" / CERT / "inner").mkdir(parents=True)
    return {}, "Is a directory"


def fault_parent_is_a_file(tmp):
    (tmp / "blocker").write_bytes(b"a file where a directory should be")
    return {"out": tmp / "blocker" / "sub" / CERT}, "Not a directory"


def fault_link_at_temporary_path(tmp):
    return ({"preexec_fn": plant_link_at_temporary_path(tmp / "out", tmp / "victim"),
             "planted": True}, "Too many levels of symbolic links")


@pytest.mark.parametrize("fault", [
    fault_file_size,
    fault_read_only_dir,
    fault_target_is_non_empty_dir,
    fault_parent_is_a_file,
    fault_link_at_temporary_path,
])
def test_write_faults_exit_1_and_leave_everything_as_it_was(shared_tmp, fault):
    run_dir = make_run(shared_tmp, {"s0-preflight": {"report.json": b"{}"}})
    out_dir = shared_tmp / "out"
    out_dir.mkdir()
    out_dir.chmod(0o777)
    run_dir.chmod(0o755)
    (run_dir / "s0-preflight").chmod(0o755)
    target = out_dir / CERT
    assert run(["build-certificate", str(run_dir), *QUIET, "--out", str(target)]).returncode == 0
    target.chmod(0o644)
    victim = shared_tmp / "victim"
    victim.write_bytes(b"not yours")

    options, reason = fault(shared_tmp)
    before = {p: p.read_bytes() for p in (target, victim) if p.is_file()}
    target = options.get("out", target)
    binary, prefix = unprivileged(shared_tmp) if options.get("unprivileged") else (BIN, ())
    completed = subprocess.run([*prefix, binary, "build-certificate", str(run_dir), *QUIET, "--out", str(target)],
                               env=base_env(**KEY_ENV), capture_output=True, stdin=subprocess.DEVNULL,
                               preexec_fn=options.get("preexec_fn"), timeout=120)

    assert completed.returncode == 1, completed
    assert completed.stdout == b""
    assert completed.stderr.decode() == f"error: failed to persist certificate at {target}: {reason}\n"
    for path, content in before.items():
        assert path.read_bytes() == content
    # Only a planted link may remain, still pointing where it did: it is not the tool's.
    temporaries = [p for p in out_dir.iterdir() if p.name.endswith(".tmp")]
    assert all(p.is_symlink() and p.resolve() == victim for p in temporaries)
    assert len(temporaries) == (1 if options.get("planted") else 0)


SWAPPER = textwrap.dedent("""
    import os, sys
    stage, regular, link = sys.argv[1:4]
    target = os.path.join(stage, "artifact")
    while True:
        os.rename(regular, target)
        os.link(target, regular)
        os.rename(link, target)
        os.symlink(sys.argv[4], link)
""")


def test_artifact_swapped_with_a_link_never_records_the_link_target(tmp_path):
    run_dir = make_run(tmp_path, {"s0-preflight": {}})
    stage = run_dir / "s0-preflight"
    secret = tmp_path / "secret"
    secret.write_bytes(b"outside the stage")
    regular, link = tmp_path / "regular", tmp_path / "link"
    regular.write_bytes(b"inside the stage")
    link.symlink_to(secret)
    swapper = subprocess.Popen([sys.executable, "-c", SWAPPER, str(stage), str(regular), str(link),
                                str(secret)])
    seen = []
    try:
        for attempt in range(40):
            out = tmp_path / f"cert-{attempt}.json"
            result = run(["build-certificate", str(run_dir), *QUIET, "--out", str(out)], env=base_env(**KEY_ENV))
            assert result.returncode == 0, result
            hashes = load_certificate(out)["stages"][0]["artifactHashes"]
            seen.append(hashes.get("artifact"))
    finally:
        swapper.kill()
        swapper.wait()
    assert hashlib.sha256(b"outside the stage").hexdigest() not in seen
    assert set(seen) <= {None, hashlib.sha256(b"inside the stage").hexdigest()}


def test_fifo_socket_and_device_are_warned_about_without_hanging(tmp_path):
    run_dir = make_run(tmp_path, {"s0-preflight": {"good.txt": b"good"}})
    stage = run_dir / "s0-preflight"
    os.mkfifo(stage / "pipe")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(stage / "sock"))
    specials = ["pipe", "sock"]
    if os.geteuid() == 0:
        os.mknod(stage / "null", stat.S_IFCHR | 0o600, os.makedev(1, 3))
        specials.append("null")
    try:
        result = run(["build-certificate", str(run_dir), *QUIET, "--out", str(tmp_path / CERT)],
                     env=base_env(**KEY_ENV))
    finally:
        listener.close()
    assert result.returncode == 0, result
    warnings = sorted(line for line in result.stderr.splitlines() if line.startswith("warning:"))
    assert warnings == sorted(
        f"warning: skipping unreadable artifact in stage s0-preflight: {stage / name} (not a regular file)"
        for name in specials)
    hashes = load_certificate(tmp_path / CERT)["stages"][0]["artifactHashes"]
    assert hashes == {"good.txt": hashlib.sha256(b"good").hexdigest()}


def test_a_stage_of_100000_entries(tmp_path):
    run_dir = make_run(tmp_path, {"s0-preflight": {}})
    stage = run_dir / "s0-preflight"
    for index in range(100_000):
        (stage / f"f{index:06d}").write_bytes(b"%d" % index)
    result = run(["build-certificate", str(run_dir), *QUIET, "--out", str(tmp_path / CERT)], env=base_env(**KEY_ENV))
    assert result.returncode == 0, result
    hashes = load_certificate(tmp_path / CERT)["stages"][0]["artifactHashes"]
    assert len(hashes) == 100_000
    for index in (0, 54_321, 99_999):
        assert hashes[f"f{index:06d}"] == hashlib.sha256(b"%d" % index).hexdigest()


RESIZER = textwrap.dedent("""
    import os, sys
    fd = os.open(sys.argv[1], os.O_WRONLY)
    while True:
        os.ftruncate(fd, 1)
        os.ftruncate(fd, 32 << 20)
""")


def test_a_file_resized_while_hashed_gets_a_hash_or_a_warning(tmp_path):
    run_dir = make_run(tmp_path, {"s0-preflight": {"growing": b"x" * (32 << 20)}})
    resizer = subprocess.Popen([sys.executable, "-c", RESIZER, str(run_dir / "s0-preflight" / "growing")])
    try:
        for attempt in range(10):
            out = tmp_path / f"cert-{attempt}.json"
            result = run(["build-certificate", str(run_dir), *QUIET, "--out", str(out)], env=base_env(**KEY_ENV))
            assert result.returncode == 0, result
            hashes = load_certificate(out)["stages"][0]["artifactHashes"]
            warned = "skipping unreadable artifact in stage s0-preflight" in result.stderr
            assert warned or re.fullmatch(r"[0-9a-f]{64}", hashes["growing"]), result
    finally:
        resizer.kill()
        resizer.wait()
