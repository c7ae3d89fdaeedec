"""The two I/O engines of the stage walk (CERTWRIGHT_IO=classic|uring) give the same certificate
and the same warnings, in the same order, on a stage that holds every kind of entry."""

import os
import re
import socket

from conftest import TEST_SEED_B64, base_env, load_certificate, make_run, run, sha256_hex, unprivileged

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


def test_engines_give_the_same_certificate_and_warnings(shared_tmp):
    binary, prefix = unprivileged(shared_tmp)
    run_dir, large = every_kind_of_entry(shared_tmp)
    outcomes = {}
    for engine in ("classic", "uring"):
        out = run_dir / f"certificate-{engine}.json"
        env = base_env(ZEM_SIGNING_KEY=TEST_SEED_B64, CERTWRIGHT_IO=engine)
        result = run(["build-certificate", str(run_dir), "--out", str(out)], env=env,
                     binary=binary, prefix=prefix)
        assert result.returncode == 0, result
        certificate = load_certificate(out)
        outcomes[engine] = (result.stderr, SEALED_BY_TIME.sub(b"", out.read_bytes()), certificate)

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
