"""The number of threads (CERTWRIGHT_THREADS, capped by the CPUs the process may use) changes
neither the certificate nor the warnings or their order, with either read engine, nor what a
batch of certificates verified in one call prints."""

import base64
import json
import os
import pathlib

import pytest

from conftest import BIN, VERIFY, TEST_PUBLIC_B64, TEST_SEED_B64, base_env, DEFAULT_STAGES, \
    load_certificate, make_run, reseal, run, sha256_hex, unprivileged
from test_io_engines import emit_in, emit_with_open_files


def hostile_run(root):
    """10,000 files over three stages: small and large ones, with unreadable files, links and
    FIFOs spread among them, so that every thread's share of the listing holds some. Two stages
    are large enough to be split between readers; the third, with two of the large files, is read
    by one reader that hashes large files side by side."""
    stages = {}
    for stage, count in (("s0-preflight", 6000), ("s1-business-requirements", 3000),
                         ("s2-service-requirements", 991)):
        stages[stage] = {f"f{i:05}": f"{stage} {i}\n".encode() * (i % 7) for i in range(count)}
    large = {}
    for i, stage in enumerate(("s0-preflight", "s2-service-requirements",
                               "s2-service-requirements")):
        content = bytes((j * (i + 3)) % 251 for j in range(1024 * 1024 + i * 4099))
        stages[stage][f"large-{i}.bin"] = large[stage, f"large-{i}.bin"] = content
    run_dir = make_run(root, stages)
    for number, stage in enumerate(sorted(stages)):
        stage_dir = run_dir / stage
        for i in range(number * 7, 990, 199):
            (stage_dir / f"f{i:05}").chmod(0)
            (stage_dir / f"link-{i}").symlink_to(f"f{i + 1:05}")
            os.mkfifo(stage_dir / f"pipe-{i}")
    for directory in (run_dir, *run_dir.iterdir()):
        directory.chmod(0o777)
    return run_dir, large


def emitted_alike_at_every_thread_count(shared_tmp, run_dir):
    """Emits `run_dir` under both read engines at 1, 2 and 8 threads, checks that the standard
    error and the certificate (time and seal masked) are alike each time, and gives the first
    outcome (emit_in's)."""
    binary, prefix = unprivileged(shared_tmp)
    outcomes = {(engine, threads): emit_in(run_dir, f"{engine}-{threads}", binary, prefix,
                                           CERTWRIGHT_IO=engine, CERTWRIGHT_THREADS=threads)
                for engine in ("classic", "uring") for threads in ("1", "2", "8")}
    first = outcomes["classic", "1"]
    for key, outcome in outcomes.items():
        assert outcome[0] == first[0], key
        assert outcome[1] == first[1], key
    return first


def test_threads_change_neither_the_certificate_nor_the_warnings(shared_tmp):
    run_dir, large = hostile_run(shared_tmp)
    first = emitted_alike_at_every_thread_count(shared_tmp, run_dir)
    warnings = first[0].splitlines()
    assert sum("(Permission denied)" in line for line in warnings) == 15
    assert sum("(not a regular file)" in line for line in warnings) == 15
    assert sum("skipping symlink" in line for line in warnings) == 15
    hashes = {stage["stageId"]: stage["artifactHashes"] for stage in first[2]["stages"]}
    for (stage, name), content in large.items():
        assert hashes[stage][name] == sha256_hex(content)


def stages_of_one_large_file(root):
    """The six default stages, each but two with one large file (sizes about the 1 MiB at which
    files are hashed side by side) among entries that warn: a link, an unreadable file, a FIFO,
    names that collide; one stage is missing and one is a link, between the others."""
    mib = 1024 * 1024
    stages = {stage: {} for stage in DEFAULT_STAGES}
    for i, (stage, size) in enumerate(zip(stages, (mib, mib - 1, 0, 0, 3 * mib + 1, mib + 1))):
        if size:
            stages[stage]["large.bin"] = bytes((j * (i + 5)) % 253 for j in range(size))
            stages[stage]["small.txt"] = stage.encode()
    run_dir = make_run(root, {stage: files for stage, files in stages.items() if files})
    for stage in ("s0-preflight", "s1-business-requirements", "s5-ui-specification"):
        (run_dir / stage / "locked").write_bytes(b"x")
        (run_dir / stage / "locked").chmod(0)
        (run_dir / stage / "link").symlink_to("small.txt")
        os.mkfifo(run_dir / stage / "pipe")
    for name in (b"same-\xfe", b"same-\xff"):
        (run_dir / "s4-api-specification" / os.fsdecode(name)).write_bytes(name)
    (run_dir / "s3-data-model").symlink_to("s0-preflight")
    for directory in (run_dir, *run_dir.iterdir()):
        if not directory.is_symlink():
            directory.chmod(0o777)
    return run_dir, stages


def test_stages_of_one_large_file_each_are_reported_in_stage_order(shared_tmp):
    """Large files of later stages are hashed while earlier stages are still being reported:
    the certificate and the warnings, in stage order, are still those of one thread."""
    run_dir, stages = stages_of_one_large_file(shared_tmp)
    first = emitted_alike_at_every_thread_count(shared_tmp, run_dir)
    warned = [stage for line in first[0].splitlines() for stage in stages if stage in line]
    assert warned == sorted(warned) and len(warned) == 3 * 3 + 2, first[0]
    hashes = {stage["stageId"]: stage["artifactHashes"] for stage in first[2]["stages"]}
    for stage, files in stages.items():
        for name, content in files.items():
            assert hashes[stage][name] == sha256_hex(content), (stage, name)


def test_threads_need_no_more_descriptors_under_a_descriptor_shortage(tmp_path):
    """Under each descriptor limit from too low to open one artifact up to enough, a stage of
    large files and a stage large enough to be split between readers are recorded whole or fail
    alike at 1, 2 and 8 threads."""
    if any(marker in pathlib.Path(BIN).read_bytes() for marker in (b"__asan_init", b"__tsan_init")):
        pytest.skip("the sanitizers' own checks need descriptors; scripts/test runs this test "
                    "with an uninstrumented build")
    stages = {"s0-preflight": {f"large-{i}": bytes([i]) * (1024 * 1024 + i) for i in range(3)},
              "s1-business-requirements": {f"f{i:04}": bytes([i % 256]) * (i % 97 * 37)
                                           for i in range(1100)}}
    run_dir = make_run(tmp_path, stages)
    out = tmp_path / "certificate.json"
    expected = [{name: sha256_hex(content) for name, content in files.items()}
                for files in stages.values()]
    for engine in ("classic", "uring"):
        for open_files in (*range(4, 17, 2), 64):
            exit_codes = []
            for threads in ("1", "2", "8"):
                result = emit_with_open_files(run_dir, out, engine, open_files,
                                              CERTWRIGHT_THREADS=threads)
                exit_codes.append(result.returncode)
                if result.returncode == 0:
                    recorded = load_certificate(out)["stages"][:2]
                    assert [stage["artifactHashes"] for stage in recorded] == expected
                    out.unlink()
            assert len(set(exit_codes)) == 1, (engine, open_files, exit_codes)


def batch_of_certificates(tmp_path):
    """40 certificates named in one call: intact ones, ones tampered with, ones sealed by an
    untrusted key, and names that are a directory, missing or not JSON."""
    run_dir = make_run(tmp_path, {"s0-preflight": {"a.txt": b"a"}})
    source = tmp_path / "source.json"
    result = run(["build-certificate", str(run_dir), "--out", str(source)],
                 env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    intact = json.loads(source.read_bytes())
    other_seed = base64.b64encode(bytes(range(32))).decode()
    paths = []
    for i in range(40):
        path = tmp_path / f"c{i:02}.json"
        kind = i % 6
        if kind == 0:
            path.write_bytes(source.read_bytes())
        elif kind == 1:
            path.write_bytes(source.read_bytes().replace(b'"run-42"', b'"run-43"'))
        elif kind == 2:
            path.write_text(json.dumps(reseal(dict(intact, runId=f"run-{i}"), other_seed)))
        elif kind == 3:
            path.mkdir()
        elif kind == 4:
            path = tmp_path / f"missing-{i}.json"
        else:
            path.write_bytes(b"{not json" * i)
        paths.append(str(path))
    return paths


def test_a_batch_is_verified_in_argument_order_whatever_the_threads(tmp_path):
    paths = batch_of_certificates(tmp_path)
    for options in (["--public-key", TEST_PUBLIC_B64], ["--integrity-only", "--format", "json"],
                    ["--public-key", TEST_PUBLIC_B64, "--report", "REPORT"]):
        outcomes = []
        for threads in ("1", "2", "8"):
            report = tmp_path / f"report-{threads}.json"
            args = [str(report) if option == "REPORT" else option for option in options]
            result = run([*paths, *args], binary=VERIFY, env=base_env(CERTWRIGHT_THREADS=threads))
            outcomes.append((result.returncode, result.stdout, result.stderr,
                             report.read_bytes() if report.exists() else None))
        assert outcomes[0][0] == 2, outcomes[0]
        if "json" not in options:
            assert outcomes[0][1].endswith("\n7 verified, 20 failed, 13 unreadable\n")
        assert outcomes[1] == outcomes[0], options
        assert outcomes[2] == outcomes[0], options
