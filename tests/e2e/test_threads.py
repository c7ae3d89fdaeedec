"""The number of threads (CERTWRIGHT_THREADS, capped by the CPUs the process may use) changes
neither the certificate nor the warnings or their order, with either read engine."""

import os
import re

from conftest import TEST_SEED_B64, base_env, load_certificate, make_run, run, sha256_hex, \
    unprivileged

# What differs between two emissions at different times: the time and what it seals.
SEALED_BY_TIME = re.compile(rb'"(timestamp|certificateHash|certSignature)": "[^"]*"')


def hostile_run(root):
    """10,000 files over three stages: small and large ones, with unreadable files, links and
    FIFOs spread among them, so that every thread's share of the listing holds some."""
    stages = {}
    for stage, count in (("s0-preflight", 6000), ("s1-business-requirements", 3000),
                         ("s2-service-requirements", 991)):
        stages[stage] = {f"f{i:05}": f"{stage} {i}\n".encode() * (i % 7) for i in range(count)}
    large = {f"large-{i}.bin": bytes((j * (i + 3)) % 251 for j in range(1024 * 1024 + i * 4099))
             for i in range(3)}
    stages["s0-preflight"].update(large)
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


def test_threads_change_neither_the_certificate_nor_the_warnings(shared_tmp):
    binary, prefix = unprivileged(shared_tmp)
    run_dir, large = hostile_run(shared_tmp)
    outcomes = {}
    for engine in ("classic", "uring"):
        for threads in ("1", "2", "8"):
            out = run_dir / f"certificate-{engine}-{threads}.json"
            env = base_env(ZEM_SIGNING_KEY=TEST_SEED_B64, CERTWRIGHT_IO=engine,
                           CERTWRIGHT_THREADS=threads)
            result = run(["build-certificate", str(run_dir), "--out", str(out)], env=env,
                         binary=binary, prefix=prefix)
            assert result.returncode == 0, result
            load_certificate(out)
            outcomes[engine, threads] = (result.stderr, SEALED_BY_TIME.sub(b"", out.read_bytes()))

    first = outcomes["classic", "1"]
    for key, outcome in outcomes.items():
        assert outcome[0] == first[0], key
        assert outcome[1] == first[1], key
    warnings = first[0].splitlines()
    assert sum("(Permission denied)" in line for line in warnings) == 15
    assert sum("(not a regular file)" in line for line in warnings) == 15
    assert sum("skipping symlink" in line for line in warnings) == 15
    hashes = load_certificate(run_dir / "certificate-uring-8.json")["stages"][0]
    for name, content in large.items():
        assert hashes["artifactHashes"][name] == sha256_hex(content)
