"""The two I/O engines of the stage walk (CERTWRIGHT_IO=classic|uring) give the same certificate
and the same warnings, in the same order, on a stage that holds every kind of entry."""

import os
import pathlib
import re
import resource
import socket
import subprocess

import pytest

from conftest import (BIN, TEST_SEED_B64, Result, base_env, load_certificate, make_run, run,
                      sha256_hex, unprivileged)

# What differs between two emissions at different times: the time and what it seals.
SEALED_BY_TIME = re.compile(rb'"(timestamp|certificateHash|certSignature)": "[^"]*"')


def every_kind_of_entry(root):
    large = bytes((i * 31 + i // 4093) % 256 for i in range(3 * 1024 * 1024 + 5))
    run_dir = make_run(root, {
        "s0-preflight": {"regular.txt": b"ok\n", "empty": b"", "large.bin": large,
                         "unreadable": b"secret"},
        "s1-business-requirements": {"only.md": b"# one\n"},
    })
    stage = run_dir / "s0-preflight"
    (stage / "unreadable").chmod(0)
    (stage / "link").symlink_to("regular.txt")
    os.mkfifo(stage / "pipe")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(stage / "socket"))
    listener.close()
    (stage / "directory").mkdir()
    (stage / "directory" / "inner").write_bytes(b"not an artifact")
    for name in (b"name-\xff", b"name-\xfe", b"other-\xc0"):  # two of them become one key
        with open(os.path.join(os.fsencode(stage), name), "wb") as file:
            file.write(name)
    for directory in (run_dir, *run_dir.iterdir()):
        if directory.is_dir() and not directory.is_symlink():
            directory.chmod(0o777)
    return run_dir, large


def emit_in(run_dir, label, binary, prefix, **variables):
    """Emits `run_dir` into itself as certificate-LABEL.json with the test key and `variables`;
    gives the standard error, the certificate with what time seals masked, and the certificate."""
    out = run_dir / f"certificate-{label}.json"
    env = base_env(ZEM_SIGNING_KEY=TEST_SEED_B64, **variables)
    result = run(["build-certificate", str(run_dir), "--out", str(out)], env=env,
                 binary=binary, prefix=prefix)
    assert result.returncode == 0, result
    certificate = load_certificate(out)
    return result.stderr, SEALED_BY_TIME.sub(b"", out.read_bytes()), certificate


def test_engines_give_the_same_certificate_and_warnings(shared_tmp):
    binary, prefix = unprivileged(shared_tmp)
    run_dir, large = every_kind_of_entry(shared_tmp)
    outcomes = {engine: emit_in(run_dir, engine, binary, prefix, CERTWRIGHT_IO=engine)
                for engine in ("classic", "uring")}

    classic, uring = outcomes["classic"], outcomes["uring"]
    assert uring[0] == classic[0]
    assert uring[1] == classic[1]
    hashes = classic[2]["stages"][0]["artifactHashes"]
    assert hashes["large.bin"] == sha256_hex(large)
    assert hashes["empty"] == sha256_hex(b"")
    assert set(hashes) == {"regular.txt", "empty", "large.bin", "name-\ufffd", "other-\ufffd"}
    warnings = classic[0].splitlines()
    stage_dir = str(run_dir / "s0-preflight")
    for expected in (
        "warning: skipping symlink in stage s0-preflight: link (symlinked artifacts are not "
        "hashed into the certificate)",
        f"warning: skipping unreadable artifact in stage s0-preflight: {stage_dir}/pipe "
        "(not a regular file)",
        f"warning: skipping unreadable artifact in stage s0-preflight: {stage_dir}/socket "
        "(not a regular file)",
        f"warning: skipping unreadable artifact in stage s0-preflight: {stage_dir}/unreadable "
        "(Permission denied)",
        "warning: artifact names collide in stage s0-preflight: name-\ufffd (names that are not "
        "UTF-8 became the same text; the file listed last is recorded)",
    ):
        assert expected in warnings


def test_a_run_directory_without_stage_directories_is_warned_about_once(tmp_path):
    run_dir = make_run(tmp_path)
    for engine in ("classic", "uring"):
        env = base_env(ZEM_SIGNING_KEY=TEST_SEED_B64, CERTWRIGHT_IO=engine)
        result = run(["build-certificate", str(run_dir)], env=env)
        assert result.returncode == 0, result
        assert result.stderr.count("warning: no stage directory found in ") == 1
        assert f"warning: no stage directory found in {run_dir} (the certificate records no " \
               "artifacts)\n" in result.stderr


TWO_HUNDRED_FILES = {f"f{i:03}": bytes([i]) * (i * 37) for i in range(200)}


def emit_with_open_files(run_dir, out, engine, open_files, **variables):
    """One emission under a limit of `open_files` descriptors (ulimit -n)."""
    def limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (open_files, open_files))
    completed = subprocess.run(
        [BIN, "build-certificate", str(run_dir), "--out", str(out), "--requirements-hash", "r"],
        env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64, CERTWRIGHT_IO=engine, **variables),
        preexec_fn=limit, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    return Result(completed)


@pytest.mark.parametrize("engine", ["classic", "uring"])
def test_a_low_descriptor_limit_still_records_every_file(tmp_path, engine):
    run_dir = make_run(tmp_path, {"s0-preflight": TWO_HUNDRED_FILES})
    out = tmp_path / "certificate.json"
    result = emit_with_open_files(run_dir, out, engine, 48)
    assert (result.returncode, result.stderr) == (0, ""), result
    assert load_certificate(out)["stages"][0]["artifactHashes"] == {
        name: sha256_hex(content) for name, content in TWO_HUNDRED_FILES.items()}


@pytest.mark.parametrize("engine", ["classic", "uring"])
def test_descriptor_shortage_fails_the_emission_and_never_drops_a_file(tmp_path, engine):
    """From a limit too low to open one artifact up to one that the batched engine must retry
    with fewer files open: every emission records all 200 files or writes nothing and fails."""
    if b"__asan_init" in pathlib.Path(BIN).read_bytes():
        pytest.skip("the sanitizers' own checks need descriptors (UBSan's vptr check opens a "
                    "pipe); scripts/test runs this test with an uninstrumented build")
    run_dir = make_run(tmp_path, {"s0-preflight": TWO_HUNDRED_FILES})
    out = tmp_path / "certificate.json"
    expected = {name: sha256_hex(content) for name, content in TWO_HUNDRED_FILES.items()}
    exit_codes = []
    for open_files in range(4, 17):
        result = emit_with_open_files(run_dir, out, engine, open_files)
        exit_codes.append(result.returncode)
        if result.returncode == 0:
            assert result.stderr == "", result
            assert load_certificate(out)["stages"][0]["artifactHashes"] == expected
            out.unlink()
        else:
            assert result.returncode == 2, result
            assert re.fullmatch(r"error: cannot (open|walk) .*: Too many open files \(.*\)\n",
                                result.stderr), result
            assert not out.exists()
    assert exit_codes[0] == 2 and exit_codes[-1] == 0, exit_codes
