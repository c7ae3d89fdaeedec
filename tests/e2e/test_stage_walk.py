"""Which stages a certificate records and the artifact hashes it holds for them, checked
against an independent walk of the run directory."""

import hashlib
import os
import pathlib
import re
import shutil

import pytest

from conftest import (DEFAULT_STAGES, TEST_PUBLIC_B64, TEST_SEED_B64, VERIFY, base_env,
                      load_certificate, make_run, run, unprivileged)

CERT = "governance-certificate.json"
SIGNER = ["--signer-subject", "alice", "--signer-identity-provider", "idp"]
KEY_ENV = {"ZEM_SIGNING_KEY": TEST_SEED_B64}


def expected_stage(run_dir, stage_id):
    """The record of one stage as an independent walk sees it: every regular file directly
    inside the stage directory."""
    stage_dir = pathlib.Path(run_dir) / stage_id
    hashes = {}
    if stage_dir.is_dir():
        for entry in os.scandir(stage_dir):
            if entry.is_file(follow_symlinks=False):
                hashes[entry.name] = hashlib.sha256(pathlib.Path(entry.path).read_bytes()).hexdigest()
    return {
        "stageId": stage_id,
        "status": "passed" if hashes else "skipped",
        "artifactHashes": dict(sorted(hashes.items())),
        "gateResult": None,
    }


@pytest.fixture
def run_dir(tmp_path):
    large = bytes((i * 31) % 251 for i in range(3 * 65536 + 5))
    run_dir = make_run(
        tmp_path,
        {
            "b": {"report.json": b"{}\n", ".dotfile": b"", "large.bin": large},
            "a": {"notes.md": b"# a\n"},
            ".hidden": {"x": b"x"},
            "s0-preflight": {"preflight.log": b"ok\n"},
            "s3-data-model": {"schema.sql": b"create table t (id int);\n"},
        },
    )
    (run_dir / "b" / "nested").mkdir()
    (run_dir / "b" / "nested" / "deep.txt").write_bytes(b"not an artifact")
    (run_dir / "z.txt").write_bytes(b"a file is never a stage")
    (run_dir / "alias").symlink_to("a", target_is_directory=True)
    return run_dir


DISCOVERED = [".hidden", "a", "b", "s0-preflight", "s3-data-model"]


@pytest.mark.parametrize(
    "args, stage_ids",
    [
        ([], DEFAULT_STAGES),
        (SIGNER, DEFAULT_STAGES),
        ([*SIGNER, "--tenant-mode"], DISCOVERED),
        (["--stage-ids", "AUTO"], DISCOVERED),
        (["--stage-ids", ","], DISCOVERED),
        (["--stage-ids", "s3-data-model, s0-preflight,,s3-data-model "],
         ["s3-data-model", "s0-preflight", "s3-data-model"]),
        (["--stage-ids", "b,missing"], ["b", "missing"]),
    ],
)
def test_stages_and_their_hashes(run_dir, args, stage_ids):
    result = run(["build-certificate", str(run_dir), *args], env=base_env(**KEY_ENV))
    assert result.returncode == 0, result
    assert f"stages={len(stage_ids)}," in result.stdout
    assert "skipping" not in result.stderr
    certificate = load_certificate(run_dir / CERT)
    assert certificate["stages"] == [expected_stage(run_dir, s) for s in stage_ids]


def test_stage_directories_are_reached_beneath_the_run_directory_without_links(run_dir, tmp_path):
    (tmp_path / "outside").mkdir()
    (tmp_path / "outside" / "secret").write_bytes(b"1234")
    (run_dir / "out").symlink_to(tmp_path / "outside", target_is_directory=True)
    (run_dir / "rootlink").symlink_to("/", target_is_directory=True)
    latest = tmp_path / "latest"
    latest.symlink_to(run_dir, target_is_directory=True)  # the run directory itself may be a link
    out = tmp_path / CERT
    stage_ids = ["alias", "out", "rootlink/etc", "alias/../b", "../outside", "a/../b", "/a"]
    result = run(["build-certificate", str(latest), "--stage-ids", ",".join(stage_ids),
                  "--out", str(out)], env=base_env(**KEY_ENV))
    assert result.returncode == 0, result

    def linked(stage):
        return (f"warning: skipping symlinked stage directory {stage} (stage directories reached "
                "through a symlink are not hashed into the certificate)")

    outside = ("warning: skipping stage ../outside (its directory lies outside the run directory "
               "and is not hashed into the certificate)")
    assert result.stderr.splitlines()[1:] == [linked("alias"), linked("out"), linked("rootlink/etc"),
                                              linked("alias/../b"), outside]
    stages = load_certificate(out)["stages"]
    assert [s["stageId"] for s in stages] == stage_ids
    for stage in stages[:5]:
        assert stage["status"] == "skipped" and stage["artifactHashes"] == {}, stage
    assert stages[5]["artifactHashes"] == expected_stage(run_dir, "b")["artifactHashes"]
    assert stages[6]["artifactHashes"] == expected_stage(run_dir, "a")["artifactHashes"]


def test_links_special_and_unreadable_files_are_warned_about_and_left_out(shared_tmp):
    run_dir = make_run(
        shared_tmp,
        {
            "s0-preflight": {"good.txt": b"good\n", "secret": b"hidden"},
            "s1-business-requirements": {"only-secret": b"hidden too"},
        },
    )
    s0 = run_dir / "s0-preflight"
    s1 = run_dir / "s1-business-requirements"
    (s0 / "link").symlink_to("good.txt")
    (s0 / "dir-link").symlink_to("/", target_is_directory=True)
    os.mkfifo(s0 / "pipe")
    (s1 / "link").symlink_to("only-secret")
    (s0 / "secret").chmod(0)
    (s1 / "only-secret").chmod(0)
    for directory in (run_dir, s0, s1):
        directory.chmod(0o755)
    out_dir = shared_tmp / "out"
    out_dir.mkdir(mode=0o777)
    out_dir.chmod(0o777)

    binary, prefix = unprivileged(shared_tmp)
    result = run(["build-certificate", str(run_dir), "--out", str(out_dir / CERT)],
                 env=base_env(**KEY_ENV), binary=binary, prefix=prefix)
    assert result.returncode == 0, result

    def symlink(stage, name):
        return (f"warning: skipping symlink in stage {stage}: {name} "
                "(symlinked artifacts are not hashed into the certificate)")

    def unreadable(stage, path, err):
        return f"warning: skipping unreadable artifact in stage {stage}: {path} ({err})"

    warnings = {line for line in result.stderr.splitlines() if "skipping" in line}
    assert warnings == {
        symlink("s0-preflight", "link"),
        symlink("s0-preflight", "dir-link"),
        unreadable("s0-preflight", s0 / "pipe", "not a regular file"),
        unreadable("s0-preflight", s0 / "secret", "Permission denied"),
        symlink("s1-business-requirements", "link"),
        unreadable("s1-business-requirements", s1 / "only-secret", "Permission denied"),
    }
    stages = load_certificate(out_dir / CERT)["stages"]
    assert stages[0]["status"] == "passed"
    assert stages[0]["artifactHashes"] == {"good.txt": hashlib.sha256(b"good\n").hexdigest()}
    assert stages[1]["status"] == "skipped"
    assert stages[1]["artifactHashes"] == {}


def test_a_run_directory_that_can_be_entered_but_not_listed_loses_no_stage(shared_tmp):
    """A drop-box run directory (mode 0311: search without read) still gives every named stage,
    to the emitter and to the verifier's drift check; only discovery needs to list it."""
    run_dir = make_run(shared_tmp, {"s0-preflight": {"a.txt": b"a\n"},
                                    "s3-data-model": {"schema.sql": b"create table t;\n"}})
    for stage in ("s0-preflight", "s3-data-model"):
        (run_dir / stage).chmod(0o755)
    out_dir = shared_tmp / "out"
    out_dir.mkdir(mode=0o777)
    out_dir.chmod(0o777)
    binary, prefix = unprivileged(shared_tmp)
    verifier = shared_tmp / "certwright-verify"
    shutil.copy(VERIFY, verifier)
    verifier.chmod(0o755)
    expected = [expected_stage(run_dir, stage) for stage in DEFAULT_STAGES]
    run_dir.chmod(0o311)
    try:
        result = run(["build-certificate", str(run_dir), "--out", str(out_dir / CERT)],
                     env=base_env(**KEY_ENV), binary=binary, prefix=prefix)
        assert result.returncode == 0, result
        assert "warning: no stage directory" not in result.stderr, result
        assert load_certificate(out_dir / CERT)["stages"] == expected

        checked = run([str(out_dir / CERT), "--public-key", TEST_PUBLIC_B64,
                       "--run-dir", str(run_dir)], binary=str(verifier), prefix=prefix)
        assert re.search(r"^ok +drift-stages: ", checked.stdout, re.M), checked

        # Discovery lists the run directory: without read permission it finds no stage, as before.
        result = run(["build-certificate", str(run_dir), "--stage-ids", "auto",
                      "--out", str(out_dir / CERT)], env=base_env(**KEY_ENV), binary=binary,
                     prefix=prefix)
        assert result.returncode == 0, result
        assert f"warning: no stage directory found in {run_dir}" in result.stderr
        assert load_certificate(out_dir / CERT)["stages"] == []
    finally:
        run_dir.chmod(0o755)
