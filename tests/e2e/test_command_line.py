"""The command line as a user meets it: streams, exit codes, help and usage errors."""

import pytest

from conftest import TEST_SEED_B64, base_env, make_run, run

TOOL_ABOUT = (
    "Emit a factory's run-side governance certificate from a finished run directory. "
    "Post-hoc, identity-bearing, never a verifier (spec 220)."
)
COMMAND_ABOUT = (
    "Build a signed governance certificate from a factory run directory "
    "(spec 102 FR-003; spec 168 FR-002; spec 220)"
)
TOP_USAGE = "Usage: certwright <COMMAND>"
COMMAND_USAGE = "Usage: certwright build-certificate [OPTIONS] <RUN_DIR>"
HINT = "For more information, try '--help'.\n"

# Every argument of build-certificate with its help text, in the order help must list them.
ARGUMENT_HELP = [
    ('<RUN_DIR>', 'Path to the factory run directory (`.factory/runs/<run_id>`)'),
    ('--adapter', 'Adapter name. Defaults to `unknown` if not supplied'),
    ('--requirements-hash', 'SHA-256 of the input requirements documents. If `--business-docs` is supplied, the hash is computed from those files and this flag is ignored'),
    ('--business-docs', 'Optional requirement document paths. When supplied, their concatenated SHA-256 is recorded as `intent.requirementsHash`'),
    ('--out', 'Full output file path (including the file name) for the emitted certificate. Parent directories are created as needed. Defaults to `<run-dir>/governance-certificate.json` when omitted'),
    ('--repo-root', "Repository root used to locate the committed spec registry for `intent.spec_id` resolution validation. Defaults to the current working directory. A tenant certificate carries no `spec_id`, so this is a no-op on the emit path (kept for parity with ZEM's emitter)"),
    ('--tenant-mode', 'Spec 168 §FR-007 -- when set, the binary halts before emission if no signer is provided. Required for certwright runs'),
    ('--signer-subject', 'Spec 168 §FR-003 -- principal identifier (typically a Rauthy JWT subject for human-driven tenant runs)'),
    ('--signer-identity-provider', 'Spec 168 §FR-003 -- system that attested the subject (e.g. `rauthy@<tenant-org>` or `github-actions@<repo>`)'),
    ('--signer-session-id', 'Spec 168 §FR-003 -- optional run-scoped session id'),
    ('--stage-ids', "Spec 168 §2.4 -- comma-separated stage IDs to record in the certificate, in the given order. Use `auto` to trigger filesystem discovery (every subdirectory of `<run-dir>`, lexicographic). Omit to use ZEM's default s0..s5 list"),
    ('--require-operator-key', 'Spec 220 FR-003: refuse the ephemeral signing-key fallback. When set, the binary exits non-zero (code 2) if signing material resolves to an ephemeral key rather than an operator-supplied one (ZEM_SIGNING_KEY / ZEM_SIGNING_KEY_PATH). A production tenant emission must pass this so it can never silently emit an untrusted certificate'),
    ('--corpus-attestation', 'Spec 220 FR-007: path to a varrow CorpusAttestation JSON to bind into the certificate by hash (read, never recompute). Falls back to the ZEM_CORPUS_ATTESTATION_PATH env var. Applied on the tenant (signer) build path'),
    ('--require-corpus-binding', 'Refuse to emit unless a corpus binding is actually applied. When set, the binary exits 2 if no corpus attestation resolved (missing, unreadable, or malformed) or if there is no signer to bind it onto, so a production emission can never silently drop the binding behind a warning. Mirrors `--require-operator-key`'),
    ('--sbom-dir', "Spec 203 FR-003: produced-app root whose `.factory/sbom.cdx.json` and `.factory/audit.json` are bound into the certificate by content hash (read, never recompute). Falls back to the ZEM_SBOM_DIR env var. Applied on the tenant (signer) build path. The BOM tool version is read from the BOM's own `metadata.tools`. When unset (or a file is unreadable) the cert is emitted unbound, exactly like the corpus binding"),
    ('--require-sbom-binding', 'Refuse to emit unless an SBOM artifact binding is actually applied. When set, the binary exits 2 if the BOM/audit artifacts did not resolve or if there is no signer to bind them onto. Mirrors `--require-corpus-binding`'),
]


def check_top_help(text):
    assert text.startswith(TOOL_ABOUT + "\n")
    assert TOP_USAGE in text
    assert COMMAND_ABOUT in text
    for word in ("help", "-h, --help", "-V, --version"):
        assert word in text


def check_command_help(text):
    assert text.startswith(COMMAND_ABOUT + "\n")
    assert COMMAND_USAGE in text
    position = 0
    for argument, help_text in ARGUMENT_HELP:
        found = text.find(argument, position)
        assert found >= 0, f"{argument} missing or out of order"
        position = text.find("\n" + " " * 10 + help_text + "\n", found)
        assert position >= 0, f"help of {argument} not shown verbatim under it"
    adapter = text.find("--adapter <ADAPTER>")
    assert text.find("[default: unknown]", adapter) < text.find("--requirements-hash")


@pytest.mark.parametrize(
    "args, code, stream, check",
    [
        ([], 2, "stderr", check_top_help),
        (["help"], 0, "stdout", check_top_help),
        (["-h"], 0, "stdout", check_top_help),
        (["--help"], 0, "stdout", check_top_help),
        (["help", "build-certificate"], 0, "stdout", check_command_help),
        (["build-certificate", "--help"], 0, "stdout", check_command_help),
        (["build-certificate", "-h"], 0, "stdout", check_command_help),
    ],
)
def test_help_goes_to_its_stream(args, code, stream, check):
    result = run(args)
    other = "stdout" if stream == "stderr" else "stderr"
    assert result.returncode == code, result
    assert getattr(result, other) == ""
    check(getattr(result, stream))


@pytest.mark.parametrize("flag", ["-V", "--version"])
def test_version_line(flag):
    result = run([flag])
    assert (result.returncode, result.stdout, result.stderr) == (0, "certwright 0.3.0\n", "")


@pytest.mark.parametrize(
    "args, named, usage",
    [
        (["build-certificate"], "<RUN_DIR>", COMMAND_USAGE),
        (["build-certificate", "--business-docs", "a", "b", "RUN"], "<RUN_DIR>", COMMAND_USAGE),
        (["build-certificate", "RUN", "--version"], "'--version'", COMMAND_USAGE),
        (["build-certificate", "RUN", "OTHER"], "'OTHER'", COMMAND_USAGE),
        (["build-certificate", "--adapter", "x", "--adapter=y", "RUN"], "'--adapter <ADAPTER>'", COMMAND_USAGE),
        (["build-certificate", "--tenant-mode=true", "RUN"], "'--tenant-mode'", COMMAND_USAGE),
        (["build-certificate", "--adapter", "--tenant-mode", "RUN"], "'--adapter <ADAPTER>'", COMMAND_USAGE),
        ([b"build-certificate", b"--signer-subject", b"\xff", b"RUN"], "--signer-subject", COMMAND_USAGE),
        (["build-certificate", "--run-dir", "RUN"], "'--run-dir'", COMMAND_USAGE),
        # An empty output path names no file: a usage error, not a failure to write.
        (["build-certificate", "RUN", "--out="], "'--out <OUT>' is empty", COMMAND_USAGE),
        (["frobnicate"], "'frobnicate'", TOP_USAGE),
        (["--adapter", "x"], "'--adapter'", TOP_USAGE),
        (["help", "frobnicate"], "'frobnicate'", TOP_USAGE),
        (["--version=2"], "'--version'", TOP_USAGE),
        (["--"], "<COMMAND>", TOP_USAGE),
    ],
)
def test_usage_errors(args, named, usage):
    result = run(args)
    assert result.returncode == 2, result
    assert result.stdout == ""
    error_line, _, rest = result.stderr.partition("\n")
    assert error_line.startswith("error: ") and named in error_line, result
    assert rest == "\n" + usage + "\n\n" + HINT


def test_parsed_record_reaches_the_driver(tmp_path):
    # A run directory that looks like an option, behind "--", with a document list before it.
    run_dir = make_run(tmp_path, {"s0-preflight": {"a.txt": b"a"}}, name="-run")
    doc = tmp_path / "req.md"
    doc.write_bytes(b"# requirements\n")
    env = base_env(ZEM_SIGNING_KEY=TEST_SEED_B64)
    result = run(["build-certificate", "--business-docs", str(doc), "--", run_dir.name], env=env, cwd=tmp_path)
    assert result.returncode == 0, result
    assert result.stdout.startswith("governance certificate written: -run/governance-certificate.json ")
    assert (run_dir / "governance-certificate.json").is_file()


def test_driver_refusal_is_the_exit_code(tmp_path):
    missing = tmp_path / "missing"
    result = run(["build-certificate", str(missing)])
    assert result.returncode == 2, result
    assert result.stderr == f"error: run directory does not exist: {missing}\n"
