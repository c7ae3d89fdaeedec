"""Faults while the certificate is written and while a stage is walked: every one ends with its
documented exit code and message, leaves no partial or wrong certificate and never hangs."""

import hashlib
import os
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


def plant_at_temporary_path(target_dir, victim, make_link):
    """Runs in the child before exec, so its pid is the tool's: the entry sits exactly where the
    tool's temporary file goes."""
    def plant():
        make_link(victim, target_dir / f".{CERT}.{os.getpid()}.tmp")
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


@pytest.mark.parametrize("fault", [
    fault_file_size,
    fault_read_only_dir,
    fault_target_is_non_empty_dir,
    fault_parent_is_a_file,
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
    assert not [p for p in out_dir.iterdir() if p.name.endswith(".tmp")]


def certified_run(root):
    run_dir = make_run(root, {"s0-preflight": {"report.json": b"{}"}})
    for path in (run_dir, run_dir / "s0-preflight"):
        path.chmod(0o755)
    return run_dir


def emit(run_dir, target, **popen):
    return subprocess.run([*popen.pop("prefix", ()), popen.pop("binary", BIN), "build-certificate",
                           str(run_dir), *QUIET, "--out", str(target)],
                          env=base_env(**KEY_ENV), capture_output=True, stdin=subprocess.DEVNULL,
                          timeout=120, **popen)


@pytest.mark.parametrize("make_link", [os.symlink, os.link], ids=["symlink", "hard link"])
def test_entry_planted_at_the_temporary_path_is_replaced_not_written_through(tmp_path, make_link):
    run_dir = certified_run(tmp_path)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    victim = tmp_path / "victim"
    victim.write_bytes(b"not yours")
    completed = emit(run_dir, out_dir / CERT, preexec_fn=plant_at_temporary_path(out_dir, victim, make_link))
    assert completed.returncode == 0, completed
    assert victim.read_bytes() == b"not yours"
    load_certificate(out_dir / CERT)
    assert [p.name for p in out_dir.iterdir()] == [CERT]


def make_fifo(path):
    os.mkfifo(path)


def make_device(path):
    if os.geteuid() != 0:
        pytest.skip("mknod needs root")
    os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))


@pytest.mark.parametrize("make_target", [
    lambda path: path.symlink_to(path.parent / "elsewhere"),
    lambda path: path.symlink_to(path.parent / "nowhere"),
    make_fifo,
    make_device,
], ids=["link to a file", "dangling link", "fifo", "device"])
def test_out_onto_something_not_a_regular_file_is_refused_untouched(tmp_path, make_target):
    run_dir = certified_run(tmp_path)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    (out_dir / "elsewhere").write_bytes(b"linked")
    target = out_dir / CERT
    make_target(target)
    before = os.lstat(target)
    link = os.readlink(target) if target.is_symlink() else None

    completed = emit(run_dir, target)

    assert completed.returncode == 1, completed
    assert completed.stdout == b""
    assert completed.stderr.decode() == f"error: failed to persist certificate at {target}: not a regular file\n"
    after = os.lstat(target)
    assert (after.st_ino, after.st_mode, after.st_rdev) == (before.st_ino, before.st_mode, before.st_rdev)
    assert (os.readlink(target) if target.is_symlink() else None) == link
    assert (out_dir / "elsewhere").read_bytes() == b"linked"
    assert sorted(p.name for p in out_dir.iterdir()) == sorted([CERT, "elsewhere"])


def test_write_only_output_directory_keeps_the_certificate_and_warns(shared_tmp):
    """A directory the user may write but not read (mode 0300): the rename succeeds, then the
    directory cannot be opened to sync it. The certificate is in place, so the run succeeds."""
    run_dir = certified_run(shared_tmp)
    out_dir = shared_tmp / "out"
    out_dir.mkdir()
    target = out_dir / CERT
    target.write_bytes(b"old certificate")
    binary, prefix = unprivileged(shared_tmp)
    if prefix:
        os.chown(out_dir, 65534, 65534)
        os.chown(target, 65534, 65534)
    out_dir.chmod(0o300)
    try:
        completed = emit(run_dir, target, binary=binary, prefix=prefix)
    finally:
        out_dir.chmod(0o700)
    assert completed.returncode == 0, completed
    assert completed.stderr.decode() == (
        f"warning: certificate written to {target} but its directory could not be synced: "
        "Permission denied (a crash soon after may lose it)\n")
    assert completed.stdout.decode().startswith(f"governance certificate written: {target} ")
    load_certificate(target)
    assert [p.name for p in out_dir.iterdir()] == [CERT]


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
