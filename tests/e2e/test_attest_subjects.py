"""certwright-attest --subjects: the artifacts of the passed stages as the Statement's subjects,
so that tools which look attestations up by an artifact's digest find the bundle, and the
verifier's envelope-subject check of each form."""

import base64
import json

import pytest

from conftest import TEST_PUBLIC_B64, encode, load_certificate, make_run, reseal, run, sha256_hex
from test_attest import OPERATOR, SIGNER, attest, edit_statement, emit, failing_checks, verify
from test_countersign import PLATFORM, countersign

KEY = ["--public-key", TEST_PUBLIC_B64]


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """A certificate with artifacts in two passed stages and one that is not passed."""
    tmp = tmp_path_factory.mktemp("subjects")
    run_dir = make_run(tmp, {"s0-preflight": {"b.txt": b"b", "a.txt": b"a"},
                             "s1-business-requirements": {"req.md": b"r"},
                             "s2-service-requirements": {"x.txt": b"x"}})
    out = tmp / "governance-certificate.json"
    result = run(["build-certificate", str(run_dir), "--stage-ids",
                  "s0-preflight,s1-business-requirements,s2-service-requirements",
                  "--requirements-hash", "r", *SIGNER, "--out", str(out)], env=OPERATOR)
    assert result.returncode == 0, result
    # A stage whose gate failed keeps its artifacts; resealed with the operator's key.
    document = load_certificate(out)
    document["stages"][2]["status"] = "failed"
    out.write_text(encode(reseal(document), pretty=True))
    return out


def expected_artifacts(path):
    """The passed stages' artifacts as subjects, from the certificate's JSON alone."""
    document = load_certificate(path)
    return [{"name": f"{stage['stageId']}/{name}", "digest": {"sha256": digest}}
            for stage in document["stages"] if stage["status"] == "passed"
            for name, digest in stage["artifactHashes"].items()]


def statement_of(bundle_path):
    bundle = json.loads(bundle_path.read_text())
    return json.loads(base64.b64decode(bundle["dsseEnvelope"]["payload"]))


@pytest.mark.parametrize("form", ["certificate", "artifacts", "both"])
def test_each_form_names_its_subjects_and_verifies(certificate, tmp_path, form):
    bundle = tmp_path / "bundle.json"
    result = attest(certificate, "--out", bundle, "--subjects", form)
    assert result.returncode == 0, result
    own = {"name": certificate.name, "digest": {"sha256": sha256_hex(certificate.read_bytes())}}
    artifacts = expected_artifacts(certificate)
    assert [subject["name"] for subject in artifacts][:2] == ["s0-preflight/a.txt", "s0-preflight/b.txt"]
    assert all(not subject["name"].startswith("s2-") for subject in artifacts)
    expected = {"certificate": [own], "artifacts": artifacts, "both": [own, *artifacts]}[form]
    assert statement_of(bundle)["subject"] == expected
    for args in ([bundle], [certificate, "--attestation", bundle]):
        checked = verify(*args, *KEY)
        assert checked.returncode == 0, (args, checked)
    line = next(line for line in verify(bundle, *KEY).stdout.splitlines() if "envelope-subject" in line)
    if form != "certificate":
        assert f"{len(artifacts)} artifact subjects equal to the certificate's records" in line, line


def drop_last(statement):
    statement["subject"].pop()


def swap_two(statement):
    subjects = statement["subject"]
    subjects[1], subjects[2] = subjects[2], subjects[1]


def change_artifact_digest(statement):
    statement["subject"][-1]["digest"]["sha256"] = "0" * 64


def rename_artifact(statement):
    statement["subject"][-1]["name"] = "s0-preflight/other.txt"


def change_certificate_digest(statement):
    statement["subject"][0]["digest"]["sha256"] = "0" * 64


def add_skipped_stage_artifact(statement):
    statement["subject"].append({"name": "s2-service-requirements/x.txt",
                                 "digest": {"sha256": sha256_hex(b"x")}})


@pytest.mark.parametrize("form, edit, reason", [
    ("artifacts", drop_last, "artifact subjects, but the certificate records"),
    ("artifacts", swap_two, "subject 2 (\"s1-business-requirements/req.md\""),
    ("artifacts", change_artifact_digest, "is not the certificate's \"s1-business-requirements/req.md\""),
    ("artifacts", rename_artifact, "(\"s0-preflight/other.txt\""),
    ("artifacts", add_skipped_stage_artifact, "artifact subjects, but the certificate records"),
    ("both", change_certificate_digest, "the first subject's digest sha256 \"0000000000000000...\""),
    ("both", change_artifact_digest, "subject 4 (\"s1-business-requirements/req.md\" sha256 \"0000"),
])
def test_artifact_subjects_must_equal_the_records(certificate, tmp_path, form, edit, reason):
    bundle_path = tmp_path / "bundle.json"
    assert attest(certificate, "--out", bundle_path, "--subjects", form).returncode == 0
    bundle = json.loads(bundle_path.read_text())
    edit_statement(edit)(bundle)
    bundle_path.write_text(json.dumps(bundle))
    result = verify(bundle_path, *KEY)
    assert failing_checks(result.stdout) == ["envelope-subject"], result
    assert reason in result.stdout, result.stdout


def test_subjects_usage(certificate, tmp_path):
    bogus = attest(certificate, "--subjects", "stages")
    assert bogus.returncode == 2
    assert "invalid value 'stages' for '--subjects <SUBJECTS>'" in bogus.stderr
    run_dir = make_run(tmp_path, {"s0-preflight": {}})
    empty = tmp_path / "empty.json"
    assert run(["build-certificate", str(run_dir), "--stage-ids", "s0-preflight", "--requirements-hash",
                "r", "--out", str(empty)], env=OPERATOR).returncode == 0
    result = attest(empty, "--subjects", "artifacts", "--out", tmp_path / "b.json")
    assert result.returncode == 2 and "records no artifact of a passed stage" in result.stderr, result
    assert not (tmp_path / "b.json").exists()


def test_a_file_beside_an_artifacts_bundle_must_be_its_certificate(certificate, tmp_path):
    """Artifact subjects do not name the certificate file: the file given beside the bundle must
    be the certificate the Statement carries, a countersignature aside."""
    bundle = tmp_path / "bundle.json"
    assert attest(certificate, "--out", bundle, "--subjects", "artifacts").returncode == 0
    countersigned = tmp_path / "countersigned.json"
    assert countersign(certificate, *KEY, "--out", countersigned).returncode == 0
    result = verify(countersigned, "--attestation", bundle, *KEY, *PLATFORM, "--require-countersign")
    assert result.returncode == 0, result
    other = emit(tmp_path / "other")
    result = verify(other, "--attestation", bundle, *KEY)
    assert failing_checks(result.stdout) == ["envelope-subject"], result
    assert "the certificate file is not the certificate it carries" in result.stdout
