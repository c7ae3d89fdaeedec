"""certwright-verify as a release gate: stage policy, coverage of the run directory, keys bound to
signers, freshness and run binding, artifacts, key forms, several certificates and pipes."""

import base64
import datetime
import hashlib
import json
import os
import subprocess

import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

from conftest import (ATTEST, ROOT, TEST_PUBLIC_B64, TEST_SEED_B64, VERIFY, base_env, encode,
                      make_run, public_key_of, reseal, run)
from test_verify import OTHER_SEED_B64, emit, verify

KEY = ["--public-key", TEST_PUBLIC_B64]


def failing(result):
    return [line.split()[1][:-1] for line in result.stdout.splitlines() if line.startswith("FAIL ")]


def lines_of(result, prefix):
    return [line for line in result.stdout.splitlines() if line.startswith(prefix)]


def fingerprint(key_b64):
    digest = hashlib.sha256(base64.b64decode(key_b64)).digest()
    return "SHA256:" + base64.b64encode(digest).decode().rstrip("=")


@pytest.fixture(scope="module")
def gate(tmp_path_factory):
    return emit(tmp_path_factory.mktemp("gate"))


def resealed(tmp_path, certificate, name="edited.json", seed=None):
    path = tmp_path / name
    path.write_text(encode(reseal(certificate, seed), pretty=True))
    return path


@pytest.mark.parametrize("options, failed, named", [
    (["--require-stage", "s0-preflight"], [], None),
    (["--require-stage", "s3-data-model"], ["stage-policy"], 'stage "s3-data-model" is not recorded'),
    (["--forbid-skipped"], ["stage-policy"], 'stage "s1-business-requirements" is skipped'),
    (["--pipeline-run-id", "run-42"], [], None),
    (["--pipeline-run-id", "r-9999"], ["pipeline-run-id"], 'expected "r-9999"'),
    (["--signer-session-id", "s-1"], ["signer-session-id"], "names no signer session"),
    (["--max-age", "1h"], [], None),
])
def test_policy_checks(gate, tmp_path, options, failed, named):
    certificate = json.loads(gate[1].read_text())
    certificate["stages"][1]["status"] = "skipped"
    certificate["stages"][1]["artifactHashes"] = {}
    path = resealed(tmp_path, certificate)
    result = verify(path, *KEY, *options)
    assert failing(result) == failed, result
    assert result.returncode == (1 if failed else 0)
    if named:
        assert named in result.stdout


@pytest.mark.parametrize("options, failed", [
    (["--forbid-skipped"], True),
    (["--require-stage", "s0-preflight"], True),
    (["--require-stage", "s0-preflight", "--forbid-skipped"], True),
    (["--require-stage", "s1-business-requirements"], False),
])
def test_every_record_of_a_stage_is_judged(gate, tmp_path, options, failed):
    certificate = json.loads(gate[1].read_text())
    again = dict(certificate["stages"][0], status="skipped", artifactHashes={})
    certificate["stages"].insert(1, again)
    result = verify(resealed(tmp_path, certificate), *KEY, *options)
    assert failing(result) == (["stage-policy"] if failed else []), result
    if failed:
        assert 'stage "s0-preflight" is skipped' in result.stdout


def test_max_age_at_its_edges(gate, tmp_path):
    certificate = json.loads(gate[1].read_text())
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    cases = [(datetime.timedelta(minutes=-89), "90m", True),
             (datetime.timedelta(minutes=-91), "90m", False),
             (datetime.timedelta(days=-6, hours=-23), "7d", True),
             (datetime.timedelta(minutes=4), "1h", True),
             (datetime.timedelta(minutes=6), "1h", False)]
    for offset, age, accepted in cases:
        certificate["timestamp"] = (now + offset).strftime("%Y-%m-%dT%H:%M:%SZ")
        result = verify(resealed(tmp_path, certificate), *KEY, "--max-age", age)
        assert (result.returncode == 0) == accepted, (offset, age, result)
    assert verify(gate[1], *KEY, "--max-age", "soon").returncode == 2


def test_artifact_found_and_not_found(gate, tmp_path):
    notes = gate[0] / "s0-preflight" / "notes.txt"
    result = verify(gate[1], *KEY, "--artifact", notes)
    assert result.returncode == 0, result
    assert f'ok   artifact:{notes}: is stage "s0-preflight" artifact "notes.txt"\n' in result.stdout
    stranger = tmp_path / "stranger\nbin"
    stranger.write_bytes(b"not produced by the run")
    result = verify(gate[1], *KEY, "--artifact", notes, "--artifact", stranger,
                    "--artifact", notes, "--format", "json")
    assert result.returncode == 1
    checks = {c["name"]: c["ok"] for c in json.loads(result.stdout)["checks"]
              if c["name"].startswith("artifact")}
    assert checks == {f"artifact:{notes}": True, f"artifact:{stranger}": False}
    text = verify(gate[1], *KEY, "--artifact", stranger).stdout
    assert f"FAIL artifact:{tmp_path}/stranger\\nbin: sha256 " in text
    assert "is recorded in no stage" in text


def test_run_shapes_against_coverage(tmp_path):
    run_dir, out, *_ = emit(tmp_path)
    assert verify(out, *KEY, "--run-dir", run_dir, "--require-full-coverage").returncode == 0
    (run_dir / "s0-preflight" / "src" / "main").mkdir(parents=True)
    (run_dir / "s0-preflight" / "src" / "main" / "f0001.java").write_bytes(b"class F {}")
    (run_dir / "s0-preflight" / "latest").symlink_to("notes.txt")
    os.mkfifo(run_dir / "s1-business-requirements" / "pipe")
    for name in ["u5", "s6-codegen", "u4", "u3", "u1", "u2"]:
        (run_dir / name).mkdir()
    (run_dir / ".cache").mkdir()
    result = verify(out, *KEY, "--run-dir", run_dir)
    assert result.returncode == 0, result  # reported, not failed
    lines = lines_of(result, "uncovered: ")
    head, paths = lines[0].split(": ", 1)[1].split(":")
    assert head == '"s0-preflight" 1 nested files 1 links'
    assert sorted(paths.split()) == ['"latest"', '"src/main/f0001.java"']  # in listing order
    assert lines[1:] == [
        'uncovered: "s1-business-requirements" 1 special files: "pipe"',
        'uncovered: run directory 6 unrecorded directories: "s6-codegen" "u1" "u2" "u3" "u4" ...']
    assert 'start with "."' in result.stdout
    strict = verify(out, *KEY, "--run-dir", run_dir, "--require-full-coverage", "--format", "json")
    assert strict.returncode == 1
    report = json.loads(strict.stdout)
    assert [c["name"] for c in report["checks"] if not c["ok"]] == ["coverage"]
    assert report["coverage"]["stages"]["s0-preflight"]["nestedFiles"] == 1
    assert report["coverage"]["unrecordedDirectories"] == 6
    assert report["coverage"]["unrecordedPaths"] == ["s6-codegen", "u1", "u2", "u3", "u4"]


def emit_nested(tmp_path):
    """A run whose certificate records s0-preflight and the nested stage s2/inner."""
    run_dir = make_run(tmp_path, {"s0-preflight": {"a.txt": b"a"}, "s2/inner": {"b.txt": b"b"}})
    out = tmp_path / "certificate.json"
    result = run(["build-certificate", str(run_dir), "--stage-ids", "s0-preflight,s2/inner",
                  "--out", str(out)], env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    return run_dir, out


def make_fifo(path):
    os.mkfifo(path)


# What each entry placed in the run directory gives; none is followed, opened or entered.
UNCOVERED = [
    ("regular file", {"notes.txt": lambda p: p.write_bytes(b"n")}, '1 files: "notes.txt"'),
    ("link to /etc", {"etc": lambda p: p.symlink_to("/etc")}, '1 links: "etc"'),
    ("fifo", {"pipe": make_fifo}, '1 special files: "pipe"'),
    ("link to a stage", {"latest": lambda p: p.symlink_to("s0-preflight")}, '1 links: "latest"'),
    ("entries beside a nested stage",
     {"s2/other.txt": lambda p: p.write_bytes(b"o"), "s2/sub": lambda p: p.mkdir(),
      "s2/up": lambda p: p.symlink_to(".."), "s2/inner-fifo": make_fifo},
     '1 unrecorded directories 1 files 1 links 1 special files: '
     '"s2/inner-fifo" "s2/other.txt" "s2/sub" "s2/up"'),
    ("an unrecorded directory", {"s3": lambda p: p.mkdir()}, '1 unrecorded directories: "s3"'),
    ("dot entries", {".cache": lambda p: p.mkdir(), ".env": lambda p: p.write_bytes(b"e")}, None),
]


@pytest.mark.parametrize("entries, shown", [row[1:] for row in UNCOVERED],
                         ids=[row[0] for row in UNCOVERED])
def test_run_directory_entries_against_coverage(tmp_path, entries, shown):
    run_dir, out = emit_nested(tmp_path)
    for name, make in entries.items():
        make(run_dir / name)
    result = verify(out, *KEY, "--run-dir", run_dir, "--require-full-coverage")
    assert lines_of(result, "uncovered: ") == ([f"uncovered: run directory {shown}"] if shown else [])
    assert failing(result) == (["coverage"] if shown else []), result


def test_allowed_signers_bind_keys_to_signers(gate, tmp_path):
    certificate = json.loads(gate[1].read_text())
    plain = dict(certificate)
    del plain["signer"]
    plain_path = resealed(tmp_path, plain, "plain.json")
    other = public_key_of(OTHER_SEED_B64)
    cases = [
        (f"alice@example.org idp {TEST_PUBLIC_B64}", gate[1], True),
        (f"bob@example.org idp {TEST_PUBLIC_B64}", gate[1], False),
        (f"alice@example.org other {TEST_PUBLIC_B64}", gate[1], False),
        (f'"*@example.org" "i*" {TEST_PUBLIC_B64}', gate[1], True),
        (f"alice@example.org idp {other}", gate[1], False),
        (f"- - {TEST_PUBLIC_B64}", plain_path, True),
        (f"* * {TEST_PUBLIC_B64}", plain_path, False),
        (f"- - {TEST_PUBLIC_B64}", gate[1], False),
    ]
    signers = tmp_path / "allowed_signers"
    for line, path, accepted in cases:
        signers.write_text(f"# release keys\n\n{line}\n")
        result = verify(path, "--allowed-signers", signers)
        assert (result.returncode == 0) == accepted, (line, result)
        if not accepted:
            assert failing(result) == ["trusted-key"], (line, result)
    signers.write_text("alice idp\n")
    result = verify(gate[1], "--allowed-signers", signers)
    assert result.returncode == 2 and "line 1" in result.stderr, result


def test_key_forms(gate, tmp_path):
    raw = base64.b64decode(TEST_PUBLIC_B64)
    pem = Ed25519PublicKey.from_public_bytes(raw).public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo).decode()
    ssh = Ed25519PublicKey.from_public_bytes(raw).public_bytes(
        serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH).decode()
    cases = [(TEST_PUBLIC_B64, None), (TEST_PUBLIC_B64 + " operator@ci", None), (pem, None),
             (ssh, "an OpenSSH public key line")]
    keys = tmp_path / "keys.pub"
    for text, refused in cases:
        keys.write_text("# trusted\n" + text + "\n")
        result = verify(gate[1], "--public-key-file", keys)
        if refused:
            assert result.returncode == 2 and refused in result.stderr, result
        else:
            assert result.returncode == 0, (text, result)
            assert fingerprint(TEST_PUBLIC_B64) in result.stdout
    result = verify(gate[1], "--public-key=" + pem)
    assert result.returncode == 0, result


def test_several_certificates_and_standard_input(gate, tmp_path):
    certificate = json.loads(gate[1].read_text())
    other = resealed(tmp_path, certificate, "other.json", seed=OTHER_SEED_B64)
    result = verify(gate[1], other, gate[1], *KEY)
    assert result.returncode == 1
    assert result.stdout.count("\nverified: ") == 2 and result.stdout.endswith("2 verified, 1 failed\n")
    result = verify(gate[1], tmp_path / "missing.json", *KEY)
    assert result.returncode == 2 and result.stdout.endswith("1 verified, 0 failed, 1 unreadable\n")
    report = tmp_path / "report.json"
    result = verify(gate[1], other, *KEY, "--report", report)
    document = json.loads(report.read_text())
    assert document["verified"] is False
    assert document["reports"][0]["facts"]["fingerprint"] == fingerprint(TEST_PUBLIC_B64)
    assert "verified: " in result.stdout  # the text report still goes to standard output
    assert verify(gate[1], other, *KEY, "--run-dir", gate[0]).returncode == 2
    piped = subprocess.run([VERIFY, "-", *KEY], input=gate[1].read_bytes(), capture_output=True)
    assert piped.returncode == 0, piped
    shell = subprocess.run(["bash", "-c", f'"{VERIFY}" <(cat "{gate[1]}") --public-key {TEST_PUBLIC_B64}'],
                           capture_output=True)
    assert shell.returncode == 0, shell


def test_integrity_only_never_says_verified(gate, tmp_path):
    result = verify(gate[1], "--integrity-only")
    assert result.returncode == 0
    assert "verified:" not in result.stdout
    assert result.stdout.splitlines()[-1].startswith("intact, not trusted: ")
    broken = tmp_path / "broken.json"
    broken.write_text(gate[1].read_text(encoding="utf-8").replace("run-42", "run-43"))
    result = verify(broken, "--integrity-only")
    assert result.returncode == 1 and "verified:" not in result.stdout, result.stdout
    assert result.stdout.splitlines()[-1].startswith("failed, not trusted: ")


def test_help_is_grouped_and_short_on_h():
    whole = subprocess.run([VERIFY, "--help"], capture_output=True, text=True)
    brief = subprocess.run([VERIFY, "-h"], capture_output=True, text=True)
    assert whole.returncode == brief.returncode == 0
    headings = ["Trust (one of these is required):", "Signer:", "Policy:",
                "Run directory and inputs (read only once the seal is trusted):", "Output:"]
    for text in (whole.stdout, brief.stdout):
        positions = [text.index(heading + "\n") for heading in headings]
        assert positions == sorted(positions)
    assert "Exit codes:\n  0  every certificate verified" in whole.stdout
    assert "Example, a release gate:" in whole.stdout and "Exit codes" not in brief.stdout
    assert len(brief.stdout) < len(whole.stdout)


def report_schema():
    import jsonschema
    return jsonschema.Draft202012Validator(
        json.loads((ROOT / "docs" / "verify-report.schema.json").read_text(encoding="utf-8")))


@pytest.mark.parametrize("names, counts, errors", [
    (["gate", "gate"], (2, True, 2, 0, 0), [None, None]),
    (["gate", "other", "gate"], (3, False, 2, 1, 0), [None, None, None]),
    (["gate", "gate", "directory"], (3, False, 2, 0, 1), [None, None, "Is a directory"]),
    (["missing", "gate"], (2, False, 1, 0, 1), ["No such file or directory", None]),
    (["gate"], None, [None]),
    (["missing"], None, ["No such file or directory"]),
])
def test_json_report_names_every_certificate(gate, tmp_path, names, counts, errors):
    other = resealed(tmp_path, json.loads(gate[1].read_text()), "other.json", seed=OTHER_SEED_B64)
    paths = {"gate": gate[1], "other": other, "directory": tmp_path,
             "missing": tmp_path / "missing.json"}
    report = tmp_path / "report.json"
    result = verify(*[paths[name] for name in names], *KEY, "--format", "json", "--report", report)
    assert result.returncode == (2 if any(errors) else 0 if all(n == "gate" for n in names) else 1)
    document = json.loads(result.stdout)
    assert json.loads(report.read_text()) == document
    report_schema().validate(document)
    if counts is None:  # one certificate: its report alone
        reports = [document]
    else:
        assert (document["certificates"], document["verified"], document["verifiedCount"],
                document["failed"], document["unreadable"]) == counts
        reports = document["reports"]
    assert [r["certificate"] for r in reports] == [str(paths[name]) for name in names]
    assert [r.get("error") for r in reports] == errors
    for r, error in zip(reports, errors):
        assert r["verified"] is (error is None and r["checks"] != [] and
                                 all(c["ok"] for c in r["checks"]))


# Texts the certificate supplies, each shown quoted with `"` and `\` escaped.
QUOTED = [
    ("pipelineRunId", lambda c: c.update(pipelineRunId='r", signer=x'),
     'verified: {path} (run="r\\", signer=x", '),
    ("signer", lambda c: c["signer"].update(subject="a@example.org via x, key=SHA256:k",
                                            identityProvider="i\\"),
     'signer="a@example.org via x, key=SHA256:k" via "i\\\\", key=SHA256:'),
    ("stage id", lambda c: c["stages"][0].update(stageId='s0 passed 9 artifacts\nstage: "x'),
     'stage: "s0 passed 9 artifacts\\nstage: \\"x" passed 2 artifacts\n'),
]


@pytest.mark.parametrize("edit, shown", [row[1:] for row in QUOTED], ids=[row[0] for row in QUOTED])
def test_certificate_texts_are_quoted(gate, tmp_path, edit, shown):
    certificate = json.loads(gate[1].read_text())
    edit(certificate)
    path = resealed(tmp_path, certificate)
    result = verify(path, *KEY)
    assert result.returncode == 0, result
    assert shown.format(path=path) in result.stdout


def test_quoted_drift_and_uncovered_names(tmp_path):
    run_dir, out = emit_nested(tmp_path)
    (run_dir / "s0-preflight" / 'b" added "c').write_bytes(b"x")
    (run_dir / "s2" / "back\\slash").write_bytes(b"x")
    result = verify(out, *KEY, "--run-dir", run_dir)
    assert lines_of(result, "drift: ") == ['drift: "s0-preflight" added "b\\" added \\"c"']
    assert lines_of(result, "uncovered: ") == ['uncovered: run directory 1 files: "s2/back\\\\slash"']


def attested(tmp_path, certificate):
    result = run([str(certificate), "--out", str(tmp_path / "bundle.json")], binary=ATTEST,
                 env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    return tmp_path / "bundle.json"


def test_bundle_trusts_the_allowed_signers_keys(gate, tmp_path):
    bundle = attested(tmp_path, gate[1])
    signers = tmp_path / "allowed_signers"
    for line, accepted in [(f"alice@example.org idp {TEST_PUBLIC_B64}", True),
                           (f"bob@example.org idp {TEST_PUBLIC_B64}", False),
                           (f"alice@example.org idp {public_key_of(OTHER_SEED_B64)}", False)]:
        signers.write_text(line + "\n")
        result = verify(bundle, "--allowed-signers", signers)
        assert (result.returncode == 0) == accepted, (line, result)
        if not accepted:
            assert "trusted-key" in failing(result), result


def test_a_positional_bundle_may_exceed_the_certificate_cap(gate, tmp_path):
    """White space is valid JSON: each file is padded past 64 MiB rather than certified big."""
    bundle = attested(tmp_path, gate[1])
    padding = b" " * ((64 << 20) + 1)
    for source, accepted in [(bundle, True), (gate[1], False)]:
        padded = tmp_path / ("padded-" + source.name)
        padded.write_bytes(source.read_bytes() + padding)
        result = verify(padded, *KEY)
        if accepted:
            assert result.returncode == 0, result
        else:
            assert result.returncode == 2 and result.stderr.endswith("File too large\n"), result
