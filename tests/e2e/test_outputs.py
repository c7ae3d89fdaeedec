"""certwright-verify's outputs beside the report: JUnit read by junitparser and valid against the
Ant JUnit schema's rules, a Markdown summary, an HTML page rendered by headless Chromium, and a
signed verification summary checked by @sigstore/verify and by --vsa-check. Every text a
certificate supplies arrives as text in each format."""

import base64
import hashlib
import html.parser
import json
import os
import re
import shutil
import subprocess

import junitparser
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from lxml import etree

from certificate_shapes import peak_kib
from conftest import (ROOT, TEST_PUBLIC_B64, TEST_SEED, VERIFY, Result, base_env, encode, reseal,
                      sigstore_node)
from test_release_gate import report_schema
from test_verify import emit, verify

KEY = ["--public-key", TEST_PUBLIC_B64]
JS_CHECK = ROOT / "tests" / "js" / "verify-bundle.js"
VSA_TYPE = "https://slsa.dev/verification_summary/v1"
VSA_SEED = bytes(range(100, 132))
HOSTILE = "a</testcase>]]>|`b`<script>alert(1)</script>\u202eexe.pdf\nnext"

# The rules of the Apache Ant JUnit schema (testsuites of testsuite with package and id;
# properties, testcase*, system-out, system-err in that order; the required attributes and
# their types; a timestamp without zone), written out for lxml.
JUNIT_XSD = b"""<?xml version="1.0" encoding="UTF-8"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" elementFormDefault="qualified">
  <xs:simpleType name="timestamp">
    <xs:restriction base="xs:dateTime">
      <xs:pattern value="[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"/>
    </xs:restriction>
  </xs:simpleType>
  <xs:simpleType name="name">
    <xs:restriction base="xs:token"><xs:minLength value="1"/></xs:restriction>
  </xs:simpleType>
  <xs:complexType name="problem">
    <xs:simpleContent>
      <xs:extension base="xs:string">
        <xs:attribute name="message" type="xs:string"/>
        <xs:attribute name="type" type="xs:string" use="required"/>
      </xs:extension>
    </xs:simpleContent>
  </xs:complexType>
  <xs:complexType name="testsuite">
    <xs:sequence>
      <xs:element name="properties">
        <xs:complexType><xs:sequence>
          <xs:element name="property" minOccurs="0" maxOccurs="unbounded">
            <xs:complexType>
              <xs:attribute name="name" type="name" use="required"/>
              <xs:attribute name="value" type="xs:string" use="required"/>
            </xs:complexType>
          </xs:element>
        </xs:sequence></xs:complexType>
      </xs:element>
      <xs:element name="testcase" minOccurs="0" maxOccurs="unbounded">
        <xs:complexType>
          <xs:choice minOccurs="0">
            <xs:element name="skipped"/>
            <xs:element name="error" type="problem"/>
            <xs:element name="failure" type="problem"/>
          </xs:choice>
          <xs:attribute name="name" type="xs:token" use="required"/>
          <xs:attribute name="classname" type="xs:token" use="required"/>
          <xs:attribute name="time" type="xs:decimal" use="required"/>
        </xs:complexType>
      </xs:element>
      <xs:element name="system-out" type="xs:string"/>
      <xs:element name="system-err" type="xs:string"/>
    </xs:sequence>
    <xs:attribute name="name" type="name" use="required"/>
    <xs:attribute name="timestamp" type="timestamp" use="required"/>
    <xs:attribute name="hostname" type="name" use="required"/>
    <xs:attribute name="tests" type="xs:int" use="required"/>
    <xs:attribute name="failures" type="xs:int" use="required"/>
    <xs:attribute name="errors" type="xs:int" use="required"/>
    <xs:attribute name="skipped" type="xs:int"/>
    <xs:attribute name="time" type="xs:decimal" use="required"/>
  </xs:complexType>
  <xs:element name="testsuites">
    <xs:complexType><xs:sequence>
      <xs:element name="testsuite" minOccurs="0" maxOccurs="unbounded">
        <xs:complexType><xs:complexContent>
          <xs:extension base="testsuite">
            <xs:attribute name="package" type="xs:token" use="required"/>
            <xs:attribute name="id" type="xs:int" use="required"/>
          </xs:extension>
        </xs:complexContent></xs:complexType>
      </xs:element>
    </xs:sequence></xs:complexType>
  </xs:element>
</xs:schema>
"""


def junit_valid(path):
    schema = etree.XMLSchema(etree.fromstring(JUNIT_XSD))
    document = etree.parse(str(path))
    return schema.validate(document) or schema.error_log.last_error


def outputs(tmp_path, *names):
    return {name: tmp_path / f"out.{name}" for name in names}


def output_options(paths):
    return [arg for name, path in paths.items() for arg in (f"--{name}", str(path))]


@pytest.fixture(scope="module")
def gate(tmp_path_factory):
    return emit(tmp_path_factory.mktemp("outputs"))


@pytest.fixture(scope="module")
def hostile(tmp_path_factory, gate):
    """A certificate whose run id, a stage id and an artifact name are hostile texts, and an
    artifact file that the hostile name records."""
    tmp = tmp_path_factory.mktemp("hostile")
    certificate = json.loads(gate[1].read_text())
    certificate["pipelineRunId"] = HOSTILE
    certificate["stages"][0]["stageId"] = HOSTILE
    artifact = tmp / "artifact.bin"
    artifact.write_bytes(b"hostile artifact")
    certificate["stages"][0]["artifactHashes"] = {HOSTILE: hashlib.sha256(b"hostile artifact").hexdigest()}
    path = tmp / "hostile.json"
    path.write_text(encode(reseal(certificate), pretty=True))
    return path, artifact


def run_hostile(tmp_path, hostile, *names):
    paths = outputs(tmp_path, *names)
    result = verify(hostile[0], *KEY, "--artifact", hostile[1], "--pipeline-run-id", "r-1",
                    "--require-stage", "s9", *output_options(paths))
    assert result.returncode == 1, result
    return paths


def test_junit_one_suite_per_certificate_one_case_per_check(tmp_path, gate, hostile):
    paths = outputs(tmp_path, "junit")
    missing = tmp_path / "missing.json"
    result = verify(gate[1], hostile[0], missing, *KEY, "--require-stage", "s9",
                    *output_options(paths))
    assert result.returncode == 2, result
    assert junit_valid(paths["junit"]) is True
    suites = list(junitparser.JUnitXml.fromfile(str(paths["junit"])))
    assert [suite.name for suite in suites] == [str(gate[1]), str(hostile[0]), str(missing)]
    report = json.loads(verify(gate[1], *KEY, "--require-stage", "s9", "--format", "json").stdout)
    cases = list(suites[0])
    assert [case.name for case in cases] == [check["name"] for check in report["checks"]]
    failed = {case.name: case.result[0] for case in cases if case.result}
    assert list(failed) == ["stage-policy"]
    assert isinstance(failed["stage-policy"], junitparser.Failure)
    assert failed["stage-policy"].message == 'stage "s9" is not recorded'
    assert suites[0].failures == 1 and suites[0].tests == len(cases)
    unreadable = list(suites[2])
    assert len(unreadable) == 1 and isinstance(unreadable[0].result[0], junitparser.Error)


def test_hostile_texts_arrive_as_text_in_junit(tmp_path, hostile):
    paths = run_hostile(tmp_path, hostile, "junit")
    raw = paths["junit"].read_text(encoding="utf-8")
    assert "<script>" not in raw and "]]>" not in raw and "\u202e" not in raw
    assert junit_valid(paths["junit"]) is True
    suite = next(iter(junitparser.JUnitXml.fromfile(str(paths["junit"]))))
    failures = {case.name: case.result[0].message for case in suite if case.result}
    shown = "a</testcase>]]>|`b`<script>alert(1)</script>\\u{202e}exe.pdf\\nnext"
    assert shown in failures["pipeline-run-id"]
    assert set(failures) == {"pipeline-run-id", "stage-policy"}
    passed = [case for case in suite if case.name == "artifact:" + str(hostile[1])]
    assert len(passed) == 1 and not passed[0].result


def markdown_cells(line):
    """The cells of a Markdown table row, split on pipes that no backslash escapes."""
    return re.split(r"(?<!\\)\|", line.strip())[1:-1]


def test_markdown_summary_has_checks_failed_first_and_escapes_texts(tmp_path, hostile):
    paths = run_hostile(tmp_path, hostile, "markdown")
    text = paths["markdown"].read_text(encoding="utf-8")
    assert text.startswith("## certwright-verify: NOT VERIFIED")
    for raw in ["<script>", "\u202e", "`b`", "</testcase>"]:
        assert raw not in text
    rows = [line for line in text.splitlines() if line.startswith("|")]
    widths = {len(markdown_cells(line)) for line in rows}
    assert widths <= {2, 3, 4}, rows
    checks = [markdown_cells(line) for line in rows if len(markdown_cells(line)) == 3]
    results = [cells[1].strip() for cells in checks[2:]]
    assert results == sorted(results, key=lambda result: result != "**FAIL**")
    assert "**FAIL**" in results and "ok" in results
    # Unescaped, the run id reads as the certificate wrote it, newline and bidi shown as escapes.
    unescaped = re.sub(r"\\(.)", r"\1", text)
    assert "a</testcase>]]>|`b`<script>alert(1)</script>\\u{202e}exe.pdf\\nnext" in unescaped


class DomText(html.parser.HTMLParser):
    """The text a reader sees on the page: character data of the body, a space between
    elements."""

    def __init__(self):
        super().__init__()
        self.parts, self.skipping = [], True

    def handle_starttag(self, tag, attrs):
        self.skipping = self.skipping and tag != "body"
        self.parts.append(" ")

    def handle_endtag(self, tag):
        self.parts.append(" ")

    def handle_data(self, data):
        if not self.skipping:
            self.parts.append(data)


def chromium(*args):
    browser = shutil.which("chromium")
    assert browser, "chromium is missing: scripts/deps test installs it"
    return subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu",
                           "--no-first-run", "--hide-scrollbars", *args],
                          capture_output=True, text=True, timeout=120)


def rendered_text(page):
    dumped = chromium("--dump-dom", page.as_uri())
    assert dumped.returncode == 0, dumped.stderr
    reader = DomText()
    reader.feed(dumped.stdout)
    return " ".join("".join(reader.parts).split())


def assert_self_contained(page):
    text = page.read_text(encoding="utf-8")
    assert "<script" not in text.lower() and "<link" not in text.lower()
    assert not re.search(r"""(?:src|href)\s*=\s*["']?(?!#)""", text)
    assert "http://" not in text and "https://" not in text and "url(#" in text


def test_html_page_in_a_browser_passing_and_drifted(tmp_path, gate):
    run_dir, certificate = gate[0], gate[1]
    passing = tmp_path / "passing.html"
    assert verify(certificate, *KEY, "--run-dir", run_dir, "--html", passing).returncode == 0
    drifted_dir = tmp_path / "drifted"
    shutil.copytree(run_dir, drifted_dir)
    (drifted_dir / "s0-preflight" / "report.json").write_bytes(b'{"changed": true}')
    drifted = tmp_path / "drifted.html"
    result = verify(certificate, *KEY, "--run-dir", drifted_dir, "--html", drifted)
    assert result.returncode == 1, result
    for page in (passing, drifted):
        assert_self_contained(page)
    text = rendered_text(passing)
    assert text.startswith("Verified 1 of 1 certificates verified"), text[:200]
    assert "report.json" in text and "notes.txt" in text and "FAIL" not in text
    text = rendered_text(drifted)
    assert text.startswith("NOT VERIFIED 0 of 1 certificates verified"), text[:200]
    assert "drift-stages FAIL" in text and "changed report.json" in text
    for page in (passing, drifted):
        shot = tmp_path / (page.stem + ".png")
        taken = chromium(f"--screenshot={shot}", "--window-size=1100,1400", page.as_uri())
        assert taken.returncode == 0 and shot.read_bytes().startswith(b"\x89PNG"), taken.stderr
        if os.environ.get("CERTWRIGHT_UPDATE_PICTURES"):
            shutil.copy(shot, ROOT / "docs" / f"verify-report-{page.stem}.png")


def test_hostile_texts_arrive_as_text_in_html(tmp_path, hostile):
    paths = run_hostile(tmp_path, hostile, "html")
    page = paths["html"]
    assert_self_contained(page)
    raw = page.read_text(encoding="utf-8")
    assert "<script>" not in raw and "\u202e" not in raw
    text = rendered_text(page)
    assert "a</testcase>]]>|`b`<script>alert(1)</script>\\u{202e}exe.pdf\\nnext" in text


@pytest.mark.parametrize("kind", ["symlink", "fifo", "directory"])
def test_output_path_that_is_not_a_file_is_refused_before_any_check(tmp_path, gate, kind):
    target = tmp_path / "target"
    if kind == "symlink":
        (tmp_path / "elsewhere").write_text("kept")
        target.symlink_to(tmp_path / "elsewhere")
    elif kind == "fifo":
        os.mkfifo(target)
    else:
        target.mkdir()
    junit = tmp_path / "out.xml"
    result = verify(gate[1], *KEY, "--junit", junit, "--html", target)
    assert result.returncode == 2 and result.stdout == "", result
    assert "--html" in result.stderr and "not written" in result.stderr
    assert not junit.exists()
    if kind == "symlink":
        assert (tmp_path / "elsewhere").read_text() == "kept"


def test_an_output_that_cannot_be_written_is_exit_2_and_none_is_half_written(tmp_path, gate):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    paths = outputs(tmp_path, "junit", "markdown")
    result = verify(gate[1], *KEY, *output_options(paths), "--html", blocker / "page.html")
    assert result.returncode == 2 and "--html" in result.stderr, result
    assert junit_valid(paths["junit"]) is True
    assert paths["markdown"].read_text().startswith("## certwright-verify: verified")
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")] == []


# ---- the verification summary ----

def seed_file(tmp_path, seed, name):
    path = tmp_path / name
    path.write_text(base64.b64encode(seed).decode() + "\n")
    path.chmod(0o600)
    return path


def public_b64(seed):
    key = Ed25519PrivateKey.from_private_bytes(seed).public_key()
    return base64.b64encode(key.public_bytes(serialization.Encoding.Raw,
                                             serialization.PublicFormat.Raw)).decode()


def statement_of(bundle_path):
    bundle = json.loads(bundle_path.read_text())
    return json.loads(base64.b64decode(bundle["dsseEnvelope"]["payload"]))


@pytest.fixture
def summary(tmp_path, gate):
    """A passed summary over an artifact, under a policy file; (bundle, policy, artifact)."""
    (tmp_path / "operator.pub").write_text(TEST_PUBLIC_B64 + "\n")
    policy = tmp_path / "policy.yaml"
    policy.write_text("version: 1\npublic-key-files: [operator.pub]\nmax-age: 1d\n")
    artifact = tmp_path / "build-spec.yaml"
    artifact.write_bytes((gate[0] / "s5-ui-specification" / "build-spec.yaml").read_bytes())
    bundle = tmp_path / "vsa.sigstore.json"
    result = verify(gate[1], "--policy", policy, "--artifact", artifact, "--vsa", bundle,
                    "--vsa-key-file", seed_file(tmp_path, VSA_SEED, "vsa.key"),
                    "--verifier-id", "https://ci.example/gate")
    assert result.returncode == 0, result
    return bundle, policy, artifact


def test_summary_statement_names_verifier_policy_inputs_and_subjects(summary, gate):
    bundle, policy, artifact = summary
    statement = statement_of(bundle)
    assert statement["_type"] == "https://in-toto.io/Statement/v1"
    assert statement["predicateType"] == VSA_TYPE
    assert statement["subject"] == [{"name": "build-spec.yaml",
                                     "digest": {"sha256": hashlib.sha256(artifact.read_bytes()).hexdigest()}}]
    predicate = statement["predicate"]
    assert predicate["verifier"] == {"id": "https://ci.example/gate"}
    assert predicate["policy"] == {"uri": str(policy),
                                   "digest": {"sha256": hashlib.sha256(policy.read_bytes()).hexdigest()}}
    assert predicate["inputAttestations"] == [
        {"uri": str(gate[1]), "digest": {"sha256": hashlib.sha256(gate[1].read_bytes()).hexdigest()}}]
    assert predicate["resourceUri"] == "urn:certwright:run:run-42"
    assert predicate["verificationResult"] == "PASSED"
    assert predicate["verifiedLevels"] == ["CERTWRIGHT_GOVERNED_V1"]


def test_failed_run_writes_a_failed_summary(tmp_path, gate):
    bundle = tmp_path / "vsa.json"
    result = verify(gate[1], *KEY, "--require-stage", "s9", "--pipeline-run-id", "run 42/ü",
                    "--vsa", bundle, "--vsa-key-file", seed_file(tmp_path, VSA_SEED, "k"),
                    "--verifier-id", "v")
    assert result.returncode == 1, result
    predicate = statement_of(bundle)["predicate"]
    assert predicate["verificationResult"] == "FAILED" and predicate["verifiedLevels"] == []
    assert predicate["resourceUri"] == "urn:certwright:run:run%2042%2F%C3%BC"
    assert predicate["policy"]["uri"] == "effective"
    report = json.loads(verify(gate[1], *KEY, "--require-stage", "s9", "--format", "json").stdout)
    assert predicate["policy"]["digest"]["sha256"] == report["policy"]["sha256"]


def test_summary_key_must_be_a_seed(tmp_path, gate):
    public = tmp_path / "vsa.pub"
    public.write_text(public_b64(VSA_SEED) + " certwright-ed25519-public-key\n")
    public.chmod(0o600)
    result = verify(gate[1], *KEY, "--vsa", tmp_path / "v.json", "--vsa-key-file", public,
                    "--verifier-id", "v")
    assert result.returncode == 2 and "not a seed" in result.stderr, result
    assert result.stdout == "" and not (tmp_path / "v.json").exists()


def test_sigstore_javascript_verifier_accepts_the_summary(summary, tmp_path):
    node = sigstore_node()
    pem = tmp_path / "vsa.pem"
    pem.write_bytes(Ed25519PrivateKey.from_private_bytes(VSA_SEED).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    checked = subprocess.run([node, str(JS_CHECK), str(summary[0]), str(pem)],
                             capture_output=True, timeout=60)
    assert checked.returncode == 0, checked
    other = tmp_path / "other.pem"
    other.write_bytes(Ed25519PrivateKey.from_private_bytes(TEST_SEED).public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    assert subprocess.run([node, str(JS_CHECK), str(summary[0]), str(other)],
                          capture_output=True, timeout=60).returncode == 1


def test_vsa_check_answers_for_the_subject_verifier_policy_and_age(summary, tmp_path, gate):
    bundle, policy, artifact = summary
    other_policy = tmp_path / "other.yaml"
    other_policy.write_text("version: 1\npublic-key-files: [operator.pub]\n")
    base = ["--vsa-check", bundle, "--vsa-key", public_b64(VSA_SEED), "--subject", artifact]
    cases = [
        ([], 0, None),
        (["--verifier-id", "https://ci.example/gate", "--policy", policy, "--max-age", "1h"], 0, None),
        (["--verifier-id", "https://other.example"], 1, "verifier-id"),
        (["--policy", other_policy], 1, "policy"),
        (["--max-age", "1h", "--at", "2099-01-01T00:00:00Z"], 1, "max-age"),
    ]
    for options, code, failed in cases:
        result = verify(*base, *options)
        assert result.returncode == code, (options, result)
        if failed:
            assert f"FAIL {failed}:" in result.stdout, result
    result = verify("--vsa-check", bundle, "--vsa-key", public_b64(VSA_SEED), "--subject", gate[1])
    assert result.returncode == 1 and "FAIL subject:" in result.stdout, result
    result = verify("--vsa-check", bundle, "--vsa-key", TEST_PUBLIC_B64, "--subject", artifact)
    assert result.returncode == 1 and "signed by another key" in result.stdout, result
    result = verify("--vsa-check", tmp_path / "missing.json", "--vsa-key", TEST_PUBLIC_B64,
                    "--subject", artifact)
    assert result.returncode == 2, result


def test_vsa_check_refuses_a_failed_summary(tmp_path, gate):
    bundle = tmp_path / "vsa.json"
    verify(gate[1], *KEY, "--require-stage", "s9", "--vsa", bundle,
           "--vsa-key-file", seed_file(tmp_path, VSA_SEED, "k"), "--verifier-id", "v")
    result = verify("--vsa-check", bundle, "--vsa-key", public_b64(VSA_SEED), "--subject", gate[1])
    assert result.returncode == 1 and "FAIL result:" in result.stdout, result


@pytest.mark.parametrize("options, message", [
    (["--vsa", "v.json", "--verifier-id", "v"], "needs '--vsa-key-file <SEED>'"),
    (["--vsa-key", TEST_PUBLIC_B64], "belong to '--vsa-check <FILE>'"),
    (["--resource-uri", "urn:x"], "give '--vsa <FILE>'"),
])
def test_summary_options_out_of_place_are_usage_errors(gate, options, message):
    result = verify(gate[1], *KEY, *options)
    assert result.returncode == 2 and message in result.stderr, result


def test_vsa_check_takes_no_certificate(gate):
    result = verify(gate[1], "--vsa-check", "x", "--vsa-key", TEST_PUBLIC_B64, "--subject", "y")
    assert result.returncode == 2 and "give no CERTIFICATE" in result.stderr, result


# ---- lists of certificates and JSON lines ----

def verify_listed(*args, listing=None):
    """certwright-verify with `listing` (bytes) on standard input."""
    completed = subprocess.run([VERIFY, *map(str, args)], input=listing, capture_output=True,
                               env=base_env(), timeout=120)
    return Result(completed)


def json_lines(result):
    assert result.stdout.endswith("\n"), result
    return [json.loads(line) for line in result.stdout.split("\n")[:-1]]


@pytest.fixture(scope="module")
def fleet(tmp_path_factory, gate):
    """Two good certificates (one under a name with a space, one under a name with a line
    feed), a tampered one and a name that leads nowhere."""
    root = tmp_path_factory.mktemp("fleet")
    text = gate[1].read_bytes()
    paths = {"good": root / "a b.json", "newline": root / "line\nfeed.json",
             "tampered": root / "tampered.json", "missing": root / "missing.json"}
    paths["good"].write_bytes(text)
    paths["newline"].write_bytes(text)
    paths["tampered"].write_bytes(text.replace(b"run-42", b"run-43"))
    return paths


@pytest.mark.parametrize("separator, on_stdin, names", [
    ("\n", False, ["good", "tampered", "missing", "good"]),
    ("\n", True, ["good", "good"]),
    ("\0", True, ["good", "newline", "tampered", "missing"]),
    ("\0", False, ["newline", "good"]),
])
def test_files_from_list_with_json_lines(tmp_path, gate, fleet, separator, on_stdin, names):
    listed = [fleet[name] for name in names]
    # Empty names are skipped; the last name may lack its separator.
    listing = (separator * 2).join(map(str, listed)).encode()
    source = "-"
    if not on_stdin:
        source = tmp_path / "list"
        source.write_bytes(listing)
    null = ["--null"] if separator == "\0" else []
    result = verify_listed(gate[1], "--files-from", source, *null, *KEY, "--format", "jsonl",
                           listing=listing if on_stdin else None)
    lines = json_lines(result)
    validator = report_schema()
    for line in lines:
        validator.validate(line)
    *reports, summary = lines
    named = [gate[1], *listed]
    assert [r["certificate"] for r in reports] == list(map(str, named))
    verified = [r["verified"] for r in reports]
    assert verified == [p == gate[1] or p in (fleet["good"], fleet["newline"]) for p in named]
    unreadable = sum(p == fleet["missing"] for p in named)
    assert summary == {"summary": {"certificates": len(named), "verified": all(verified),
                                   "verifiedCount": sum(verified),
                                   "failed": len(named) - sum(verified) - unreadable,
                                   "unreadable": unreadable}}
    assert result.returncode == (2 if unreadable else 0 if all(verified) else 1), result
    # Each line is the report `--format json` writes, for the certificate alone and in a run.
    alone = json.loads(verify_listed(gate[1], *KEY, "--format", "json").stdout)
    assert reports[0] == alone
    document = json.loads(verify_listed(gate[1], "--files-from", source, *null, *KEY, "--format",
                                        "json", listing=listing if on_stdin else None).stdout)
    assert reports == [{**r, "policy": document["policy"]} for r in document["reports"]]
    assert {k: v for k, v in document.items() if k not in ("reports", "policy")} == summary[
        "summary"]


def test_json_lines_for_one_certificate_and_quiet(gate, fleet):
    result = verify_listed(gate[1], *KEY, "--format", "jsonl")
    report, summary = json_lines(result)
    assert result.returncode == 0 and report["verified"] is True and "policy" in report
    assert summary["summary"]["certificates"] == 1 and summary["summary"]["verified"] is True
    quiet = verify_listed(gate[1], fleet["tampered"], *KEY, "--format", "jsonl", "-q")
    assert (quiet.returncode, quiet.stdout) == (1, "")


@pytest.mark.parametrize("options, listing, message", [
    (["CERT", "--null"], None, "'--null' needs '--files-from'"),
    (["--files-from", "-", "-"], b"x\n", "standard input ('-') can be read only once"),
    (["--files-from", "-"], b"-\n", "standard input ('-') can be read only once"),
    (["--files-from", "-"], b"\n\n", "--files-from -: no certificate named"),
    (["--files-from", "-"], b"CERT\0-other\n", "--files-from -: a name holds a NUL byte"),
    (["--files-from", "missing-list"], None, "--files-from missing-list: No such file"),
    (["--files-from", "-", "--run-dir", "."], b"CERT\nCERT\n", "give one certificate with them"),
    (["--files-from", "-", "--attestation", "CERT"], b"CERT\nCERT\n",
     "give one certificate with it"),
    (["CERT", "--format", "jsonl", "--report", "r.json"], None, "'--format jsonl' writes each"),
    (["CERT", "--format", "jsonl", "--junit", "r.xml"], None, "'--format jsonl' writes each"),
    (["CERT", "--format", "yaml"], None, "expected 'text', 'json' or 'jsonl'"),
])
def test_files_from_and_jsonl_refusals(gate, tmp_path, options, listing, message):
    options = [str(gate[1]) if o == "CERT" else o for o in options]
    if listing is not None:
        listing = listing.replace(b"CERT", bytes(gate[1]))
    result = verify_listed(*options, *KEY, listing=listing)
    assert result.returncode == 2 and result.stdout == "", result
    assert message in result.stderr


def test_a_list_of_one_takes_the_options_of_one_certificate(gate):
    result = verify_listed("--files-from", "-", *KEY, "--run-dir", gate[0],
                           listing=bytes(gate[1]) + b"\n")
    assert result.returncode == 0 and "verified: " in result.stdout, result


def test_json_lines_memory_does_not_grow_with_the_count(gate, tmp_path):
    # ASan's quarantine, 256 MiB by default, would hold on to what each certificate freed.
    env = base_env()
    env["ASAN_OPTIONS"] += ":quarantine_size_mb=1"
    peaks = []
    for count in (500, 4000):
        listing = tmp_path / f"list-{count}"
        listing.write_bytes((bytes(gate[1]) + b"\n") * count)
        code, peak = peak_kib([VERIFY, "--files-from", listing, *KEY, "--format", "jsonl"],
                              env=env)
        assert code == 0
        peaks.append(peak)
    # Keeping each report would add about 12 KiB a certificate: 40 MiB more for 3,500.
    assert peaks[1] - peaks[0] < 8 * 1024, peaks
