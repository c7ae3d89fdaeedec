"""The emission's fixed order, its error lines and exit codes, the summary line and the
certificate file."""

import os
import pathlib
import re
import resource
import shutil
import signal
import subprocess

import pytest

from conftest import BIN, DEFAULT_STAGES, TEST_SEED_B64, base_env, load_certificate, make_run, run

CERT = "governance-certificate.json"
SIGNER = ["--signer-subject", "alice", "--signer-identity-provider", "idp"]

TENANT_MODE_TEXT = (
    "error: --tenant-mode requires --signer-subject and --signer-identity-provider (spec 168 "
    "FR-007: anonymous signing forbidden -- a run with no identifiable signer halts before "
    "emitting)\n"
)
OPERATOR_KEY_TEXT = (
    "error: --require-operator-key was set but the signing material resolved to an ephemeral key "
    "(spec 220 FR-003). A production tenant emission must supply an operator key via "
    "ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH; refusing to emit an untrusted certificate.\n"
)
CORPUS_TEXT = (
    "error: --require-corpus-binding was set but no corpus binding could be applied (a corpus "
    "attestation must resolve AND a signer must be present); refusing to emit a certificate "
    "without the required corpus binding.\n"
)
SBOM_TEXT = (
    "error: --require-sbom-binding was set but no SBOM artifact binding could be applied (the "
    "BOM/audit artifacts must resolve AND a signer must be present); refusing to emit a "
    "certificate without the required SBOM binding.\n"
)


@pytest.fixture
def run_dir(tmp_path):
    return make_run(tmp_path, {"s0-preflight": {"report.json": b"{}"}})


def written_files(directory):
    return sorted(p.name for p in pathlib.Path(directory).iterdir() if p.is_file())


@pytest.mark.parametrize(
    "case, args, env, expected_stderr_end",
    [
        ("missing run dir", ["{tmp}/absent"], {}, "error: run directory does not exist: {tmp}/absent\n"),
        ("run dir is a file", ["{run}/s0-preflight/report.json"], {},
         "error: run directory does not exist: {run}/s0-preflight/report.json\n"),
        ("second business doc unreadable", ["{run}", "--business-docs", "{run}/s0-preflight/report.json",
                                            "{tmp}/nope.md"],
         {"ZEM_SIGNING_KEY": "garbage"},
         "error: could not read --business-docs file {tmp}/nope.md: No such file or directory\n"),
        ("provider without subject beats tenant mode", ["{run}", "--signer-identity-provider", "idp",
                                                        "--tenant-mode"], {},
         "error: --signer-identity-provider requires --signer-subject (spec 168 FR-003)\n"),
        ("subject without provider", ["{run}", "--signer-subject", "alice"], {},
         "error: --signer-subject requires --signer-identity-provider (spec 168 FR-003)\n"),
        ("blank subject", ["{run}", "--signer-subject", "   ", "--signer-identity-provider", "idp"], {},
         "error: signer subject is empty or whitespace (FR-007); anonymous signing forbidden\n"),
        ("tenant mode without signer", ["{run}", "--tenant-mode"], {}, TENANT_MODE_TEXT),
        ("malformed key stops before bindings", ["{run}", "--corpus-attestation", "{tmp}/absent.json"],
         {"ZEM_SIGNING_KEY": TEST_SEED_B64[:-1]},
         "error: ZEM_SIGNING_KEY is set but malformed: base64: Invalid padding\n"),
        ("ephemeral key refused", ["{run}", "--require-operator-key"], {}, OPERATOR_KEY_TEXT),
        ("corpus binding without signer", ["{run}", "--require-corpus-binding"], {}, CORPUS_TEXT),
        ("sbom binding with signer but no sbom", ["{run}", "--require-sbom-binding", *SIGNER], {},
         SBOM_TEXT),
    ],
)
def test_refusals_print_one_error_and_write_nothing(tmp_path, run_dir, case, args, env, expected_stderr_end):
    def fill(text):
        return text.format(tmp=tmp_path, run=run_dir)

    before = written_files(run_dir)
    result = run(["build-certificate", *map(fill, args)], env=base_env(**env))
    assert result.returncode == 2, (case, result)
    assert result.stdout == ""
    assert result.stderr.endswith(fill(expected_stderr_end)), (case, result.stderr)
    assert result.stderr.count("error: ") == 1
    assert written_files(run_dir) == before


def test_summary_line_and_default_certificate(run_dir):
    result = run(["build-certificate", str(run_dir)], env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    certificate = load_certificate(run_dir / CERT)
    assert result.stdout == (
        f"governance certificate written: {run_dir / CERT} "
        f"(status=Complete, stages=6, hash={certificate['certificateHash'][:16]}...)\n"
    )
    assert [stage["stageId"] for stage in certificate["stages"]] == DEFAULT_STAGES
    assert certificate["pipelineRunId"] == "run-42"
    assert certificate["certificateVersion"] == "1.5.0"
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?Z", certificate["timestamp"])
    for absent in ("signer", "corpusBinding", "sbomArtifactBinding", "agenticPostureBinding",
                   "compliance", "platformCountersign", "consumedOverrides"):
        assert absent not in certificate
    assert written_files(run_dir) == [CERT]  # no temporary file left behind


@pytest.mark.parametrize(
    "typed, cwd, expected",
    [
        ("run-42", "{tmp}", "run-42"),
        ("run-42/", "{tmp}", "run-42"),
        ("run-42/.", "{tmp}", "run-42"),
        ("./run-42//", "{tmp}", "run-42"),
        (".", "{run}", "unknown"),
        ("run-42/..", "{tmp}", "unknown"),
    ],
)
def test_pipeline_run_id_from_the_typed_path(tmp_path, run_dir, typed, cwd, expected):
    out = tmp_path / "out.json"
    result = run(["build-certificate", typed, "--out", str(out)],
                 cwd=cwd.format(tmp=tmp_path, run=run_dir))
    assert result.returncode == 0, result
    assert load_certificate(out)["pipelineRunId"] == expected


def test_session_id_alone_is_ignored(run_dir):
    result = run(["build-certificate", str(run_dir), "--signer-session-id", "s-1"])
    assert result.returncode == 0, result
    assert "signer" not in load_certificate(run_dir / CERT)


def test_out_creates_missing_parents_and_bare_name_uses_cwd(tmp_path, run_dir):
    nested = tmp_path / "a" / "b" / "cert.json"
    assert run(["build-certificate", str(run_dir), "--out", str(nested)]).returncode == 0
    load_certificate(nested)
    workdir = tmp_path / "work"
    workdir.mkdir()
    assert run(["build-certificate", str(run_dir), "--out", "bare.json"], cwd=workdir).returncode == 0
    assert written_files(workdir) == ["bare.json"]
    assert not (tmp_path / "bare.json").exists()


def test_out_naming_a_directory_fails_with_exit_1(tmp_path, run_dir):
    target = tmp_path / "taken"
    (target / "inner").mkdir(parents=True)
    result = run(["build-certificate", str(run_dir), "--out", str(target)])
    assert result.returncode == 1, result
    assert result.stdout == ""
    assert re.search(rf"error: failed to persist certificate at {re.escape(str(target))}: .+\n$", result.stderr)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["run-42", "taken"]  # no temporary file


def test_failed_write_keeps_the_old_certificate(tmp_path, run_dir):
    target = tmp_path / "cert.json"
    assert run(["build-certificate", str(run_dir), "--out", str(target)]).returncode == 0
    old = target.read_bytes()

    def limit_file_size():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))

    completed = subprocess.run([BIN, "build-certificate", str(run_dir), "--out", str(target)],
                               env=base_env(), capture_output=True, preexec_fn=limit_file_size)
    assert completed.returncode == 1, completed
    assert completed.stderr.decode().endswith(f"failed to persist certificate at {target}: File too large\n")
    assert target.read_bytes() == old
    assert sorted(p.name for p in tmp_path.iterdir()) == ["cert.json", "run-42"]


def test_file_is_pretty_without_final_newline(run_dir):
    assert run(["build-certificate", str(run_dir)]).returncode == 0
    raw = (run_dir / CERT).read_bytes()
    assert raw.startswith(b'{\n  "certificateVersion": "1.5.0",\n  "pipelineRunId": "run-42",\n')
    assert raw.endswith(b"\n}")


def test_names_with_control_characters_stay_on_one_line_in_messages(tmp_path):
    evil = "evil\n\x1b[31mred\r"
    run_dir = make_run(tmp_path, {"s0-preflight": {evil: b"content"}})
    (run_dir / "s0-preflight" / ("link" + evil)).symlink_to(run_dir / "s0-preflight" / evil)
    result = run(["build-certificate", str(run_dir)])
    assert result.returncode == 0, result
    assert result.stderr.splitlines()[-1] == (
        "warning: skipping symlink in stage s0-preflight: linkevil\\n\\x1b[31mred\\r "
        "(symlinked artifacts are not hashed into the certificate)")
    certificate = load_certificate(run_dir / CERT)
    assert list(certificate["stages"][0]["artifactHashes"]) == [evil]  # the name itself, exactly

    missing = run(["build-certificate", str(tmp_path / "gone\nerror: forged")])
    assert missing.returncode == 2
    assert missing.stderr == f"error: run directory does not exist: {tmp_path}/gone\\nerror: forged\n"


def test_core_dumps_are_disabled_before_the_key_file_is_opened(tmp_path, run_dir):
    if shutil.which("strace") is None:
        pytest.fail("strace is required (scripts/deps test installs it)")
    if os.geteuid() != 0:
        pytest.skip("strace shows a non-dumpable process's file names only to root")
    key = tmp_path / "seed.b64"
    key.write_text(TEST_SEED_B64)
    trace = tmp_path / "trace"
    # LeakSanitizer cannot run under ptrace.
    env = base_env(ZEM_SIGNING_KEY_PATH=str(key), ASAN_OPTIONS="detect_leaks=0")
    completed = subprocess.run(
        ["strace", "-f", "-s", "4096", "-e", "trace=prctl,open,openat", "-o", str(trace),
         BIN, "build-certificate", str(run_dir), "--out", str(tmp_path / "cert.json")],
        env=env, capture_output=True, stdin=subprocess.DEVNULL, timeout=120)
    assert completed.returncode == 0, completed
    calls = trace.read_text().splitlines()
    disabled = [i for i, call in enumerate(calls) if "prctl(PR_SET_DUMPABLE, SUID_DUMP_DISABLE" in call]
    key_opened = [i for i, call in enumerate(calls) if f'"{key}"' in call]
    assert disabled and key_opened, calls
    assert disabled[0] < key_opened[0]


def test_memory_shortage_at_any_point_is_one_error_line_never_an_abort(tmp_path):
    """A 30 MiB build spec is held while the run goes on; under a range of address-space limits
    the run either succeeds or ends with exactly "error: out of memory" and exit 2, nothing
    written, and some of the limits must make it fail that way."""
    if b"__asan_init" in pathlib.Path(BIN).read_bytes():
        pytest.skip("AddressSanitizer ends the process on a failed allocation itself; "
                    "scripts/test runs this test with an uninstrumented build")
    run_dir = make_run(tmp_path, {"s0-preflight": {"a.txt": b"a"}})
    spec = run_dir / "s5-ui-specification" / "build-spec.yaml"
    spec.parent.mkdir(exist_ok=True)
    with open(spec, "wb") as sparse:
        sparse.truncate(30 << 20)
    outcomes = set()
    for limit in (16 << 20, 24 << 20, 32 << 20, 48 << 20, 96 << 20):
        out = tmp_path / f"out-{limit}"
        completed = subprocess.run(
            [BIN, "build-certificate", str(run_dir), "--requirements-hash", "r", "--out",
             str(out / "c.json")], env=base_env(), capture_output=True, stdin=subprocess.DEVNULL,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)), timeout=120)
        if completed.returncode == 0:
            assert load_certificate(out / "c.json")["pipelineRunId"] == "run-42"
        else:
            assert (completed.returncode, completed.stdout) == (2, b""), completed
            assert completed.stderr.endswith(b"error: out of memory\n"), completed.stderr
            assert not out.exists()
        outcomes.add(completed.returncode)
    assert 2 in outcomes, "no limit was tight enough to make the run fail"


def test_running_out_of_memory_is_one_error_line_and_exit_2(tmp_path, run_dir):
    if b"__asan_init" in pathlib.Path(BIN).read_bytes():
        pytest.skip("AddressSanitizer ends the process on a failed allocation itself; "
                    "scripts/test runs this test with an uninstrumented build")
    key = tmp_path / "sparse.key"
    with open(key, "wb") as sparse:
        sparse.truncate(1 << 40)  # 1 TiB

    def limit_address_space():
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))

    completed = subprocess.run([BIN, "build-certificate", str(run_dir), "--requirements-hash", "r"],
                               env=base_env(ZEM_SIGNING_KEY_PATH=str(key)), capture_output=True,
                               stdin=subprocess.DEVNULL, preexec_fn=limit_address_space, timeout=120)
    assert completed.returncode == 2, completed
    assert completed.stdout == b""
    errors = completed.stderr.decode().splitlines()
    assert len(errors) == 1 and errors[0].startswith("error: "), completed.stderr
    assert written_files(run_dir) == []
