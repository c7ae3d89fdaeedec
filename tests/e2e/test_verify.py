"""certwright-verify against certificates the emitter wrote, tampered with member by member,
reformatted, sealed by other keys, and run directories that changed since; the Python recipe
shipped in scripts/ must reach the same verdict on every tampered certificate."""

import base64
import copy
import hashlib
import importlib.util
import json
import pathlib

import pytest

from test_bindings import ATTESTATION
from conftest import (
    VERIFY,
    ROOT,
    TEST_PUBLIC_B64,
    TEST_SEED_B64,
    base_env,
    encode,
    make_run,
    public_key_of,
    reseal,
    run,
    sha256_hex,
)

RECIPE = ROOT / "scripts" / "verify-certificate.py"
SIGNER = ["--signer-subject", "alice@example.org", "--signer-identity-provider", "idp"]
OTHER_SEED_B64 = base64.b64encode(bytes(range(32))).decode()

# Where the emitter never writes, the certificate still may: these records are added to the
# emitted certificate, in their place in the key order, and the certificate sealed again.
EXTRA_MEMBERS = {
    "compliance": {"frameworks": ["soc2"],
                   "mappings": [{"control": "c1", "mechanism": "m1", "status": "met"}]},
    "interStageChain": {
        "keyChain": {"runId": "run-42", "rootPublicKeyB64": "root",
                     "stageKeys": {"s0": {"stageId": "s0", "ephemeralPublicKeyB64": "epk",
                                          "keyFingerprint": "fp"}}},
        "manifests": [{"runId": "run-42", "fromStage": "s0", "toStage": "s1",
                       "producedAt": "2026-01-05T09:30:00.123456Z", "artifactHashes": {"x": "h"},
                       "metadata": {"d": 0.5, "list": [True, None], "n": 1},
                       "signer": {"agentId": "agent", "ephemeralKeyId": "kid"},
                       "signature": "sig"}]},
    "admittedEnvelopeHash": "aeh",
    "goalId": "g",
    "intentCapsuleHash": "ich",
    "consumedOverrides": [{"artifactId": "a1", "path": "p", "contentHash": "ch", "author": "bob",
                           "modifiedAt": "yesterday", "verified": True, "verifiedBy": "carol"}],
}
KEY_ORDER = [
    "certificateVersion", "pipelineRunId", "timestamp", "status", "intent", "buildSpec", "stages",
    "verification", "proofChain", "compliance", "signer", "interStageChain",
    "admittedEnvelopeHash", "goalId", "intentCapsuleHash", "consumedOverrides", "corpusBinding",
    "sbomArtifactBinding", "agenticPostureBinding", "certificateHash", "signingPublicKey",
    "certSignature", "signingAttestation", "platformCountersign",
]
# Members a record may leave out; every other member is required.
OPTIONAL = {"specId", "specHash", "approvalRecord", "approvedBy", "durationMs", "sandboxExecution",
            "firstRecordHash", "lastRecordHash", "mappings", "compliance", "signer", "sessionId",
            "interStageChain", "admittedEnvelopeHash", "goalId", "intentCapsuleHash",
            "consumedOverrides", "author", "modifiedAt", "verifiedBy", "corpusBinding",
            "sbomArtifactBinding", "agenticPostureBinding", "metadata", "surfaces", "description",
            "governanceEnvelope", "note"}
ENUMERATIONS = {"status", "compile", "test", "lint", "typecheck", "securityScan", "chainIntegrity",
                "kind"}
DATE_TIMES = {"timestamp", "approvedAt", "producedAt", "countersignedAt"}
# Values that are maps or free-form JSON: their entries are data, not record members.
OPEN_VALUES = {"artifactHashes", "inputArtifactHashes", "outputArtifactHashes", "stageKeys",
               "metadata", "governanceEnvelope"}
BUILD_SPEC = b"""\
agentic_posture:
  posture: governed
  surfaces:
    - kind: tool-surface
      description: shell
      governance_envelope: {max: 3, ratio: 0.25}
"""


def verify(*args, env=None):
    return run([str(arg) for arg in args], binary=VERIFY, env=env)


def load_recipe():
    spec = importlib.util.spec_from_file_location("verify_certificate", RECIPE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


RECIPE_MODULE = load_recipe()


def recipe_accepts(path, key=TEST_PUBLIC_B64):
    """The shipped recipe's verdict, run in this process (its messages are not looked at)."""
    try:
        return RECIPE_MODULE.check(str(path), key) is None
    except (RECIPE_MODULE.Rejected, OSError, ValueError, KeyError, TypeError, AttributeError):
        return False


def emit(tmp, *options, env=None):
    """A run directory and the tenant certificate the emitter writes for it, with both bindings
    and a posture; returns (run_dir, certificate path, attestation, sbom_dir, docs)."""
    run_dir = make_run(tmp, {
        "s0-preflight": {"report.json": b"{}", "notes.txt": b"n"},
        "s1-business-requirements": {"req.md": b"r"},
        "s5-ui-specification": {"build-spec.yaml": BUILD_SPEC},
    })
    attestation = tmp / "attestation.json"
    attestation.write_bytes(ATTESTATION)
    sbom_dir = tmp / "sbom"
    (sbom_dir / ".factory").mkdir(parents=True)
    (sbom_dir / ".factory" / "sbom.cdx.json").write_bytes(b'{"metadata": {}}')
    (sbom_dir / ".factory" / "audit.json").write_bytes(b"audit")
    docs = [tmp / "a.md", tmp / "b.md"]
    for doc in docs:
        doc.write_bytes(doc.name.encode())
    out = tmp / "governance-certificate.json"
    result = run(["build-certificate", str(run_dir), "--stage-ids",
                  "s0-preflight,s1-business-requirements,s5-ui-specification", *SIGNER,
                  "--corpus-attestation", str(attestation), "--sbom-dir", str(sbom_dir),
                  "--business-docs", *map(str, docs), "--out", str(out), *options],
                 env=env or base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    return run_dir, out, attestation, sbom_dir, docs


@pytest.fixture(scope="module")
def emitted(tmp_path_factory):
    return emit(tmp_path_factory.mktemp("emitted"))


@pytest.fixture(scope="module")
def full(emitted):
    """The emitted certificate with every record of the model present, sealed again."""
    certificate = json.loads(emitted[1].read_text(encoding="utf-8"))
    certificate["stages"][0]["gateResult"] = {"passed": True, "checksRun": 3, "checksFailed": 1}
    certificate["stages"][0]["durationMs"] = 42
    certificate["stages"][0]["sandboxExecution"] = {
        "command": ["make"], "inputArtifactHashes": {"in": "h"}, "outputArtifactHashes": {},
        "resourcePeak": {"cpuMilliPeak": 1, "memoryBytesPeak": 2, "pidPeak": 3},
        "isolationTier": 2, "runtimeDescriptor": "gvisor", "deadlineHit": False, "exitCode": -1}
    certificate["intent"].update(specId="spec-7", specHash="sh")
    certificate["buildSpec"]["approvalRecord"] = {
        "approvedBy": "ana", "approvedAt": "2026-01-05T09:30:00Z", "gateType": "manual"}
    certificate["proofChain"].update(firstRecordHash="f", lastRecordHash="l")
    certificate["proofChain"]["chainIntegrity"] = certificate["proofChain"].pop("chainIntegrity")
    certificate["signer"]["sessionId"] = "sess"
    merged = {**certificate, **EXTRA_MEMBERS}
    ordered = {key: merged[key] for key in KEY_ORDER if key in merged}
    return reseal(ordered)


def members(value, path=()):
    """(path, key, value) of every member of every record below `value`."""
    if isinstance(value, list):
        for index, element in enumerate(value):
            yield from members(element, path + (index,))
    elif isinstance(value, dict):
        for key, element in value.items():
            yield path, key, element
            if key not in OPEN_VALUES:
                yield from members(element, path + (key,))


def records(value, path=()):
    """The path of every record object below and including `value`."""
    if isinstance(value, dict):
        yield path
        for key, element in value.items():
            if key not in OPEN_VALUES:
                yield from records(element, path + (key,))
    elif isinstance(value, list):
        for index, element in enumerate(value):
            yield from records(element, path + (index,))


def at(value, path):
    for step in path:
        value = value[step]
    return value


def encode_with(value, edit_path, edit):
    """The pretty encoding of `value`, with `edit(parts)` applied to the member texts of the
    object at `edit_path`: the one way to write what a dict cannot hold (a duplicate key)."""
    def walk(node, path, depth):
        if isinstance(node, (dict, list)) and node:
            indent = "  " * (depth + 1)
            if isinstance(node, dict):
                parts = [encode(k) + ": " + walk(v, path + (k,), depth + 1) for k, v in node.items()]
                if path == edit_path:
                    parts = edit(parts)
                open_, close = "{", "}"
            else:
                parts = [walk(v, path + (i,), depth + 1) for i, v in enumerate(node)]
                open_, close = "[", "]"
            return open_ + "\n" + ",\n".join(indent + p for p in parts) + "\n" + "  " * depth + close
        return encode(node, pretty=True, depth=depth)
    return walk(value, (), 0)


def changed(value):
    if isinstance(value, bool):
        return not value
    if isinstance(value, int):
        return value + 1
    if isinstance(value, str):
        return value + "x"
    return None


def tampered_rows(full):
    """(label, certificate text, expected failing check or None for a certificate that still
    verifies)."""
    rows = []
    for path, key, value in members(full):
        in_countersign = path[:1] == ("platformCountersign",)
        name = ".".join(map(str, path + (key,)))
        new_value = changed(value)
        if new_value is not None and key not in OPEN_VALUES:
            certificate = copy.deepcopy(full)
            at(certificate, path)[key] = new_value
            # A mapping's "status" and a surface's "kind" are free text, not enumerations.
            free_text = path[:1] in (("compliance",), ("agenticPostureBinding",))
            if (key == "certificateVersion" or (key in ENUMERATIONS and not free_text) or
                    key in DATE_TIMES):
                expected = "well-formed"
            elif key == "certSignature":
                expected = "signature"
            else:
                expected = "hash"
            if in_countersign and key not in DATE_TIMES:
                expected = None
            rows.append((f"changed {name}", encode(certificate, pretty=True), expected))
        certificate = copy.deepcopy(full)
        del at(certificate, path)[key]
        # The certificate's signer may be left out, a manifest's may not.
        optional = key in OPTIONAL and not (key == "signer" and path)
        expected = "hash" if optional else "well-formed"
        if key == "platformCountersign":
            expected = None
        rows.append((f"removed {name}", encode(certificate, pretty=True), expected))
        rows.append((f"duplicated {name}",
                     encode_with(full, path, lambda parts, k=key: parts + [
                         p for p in parts if p.startswith(encode(k) + ": ")]),
                     "well-formed"))
    for path in records(full):
        rows.append((f"unknown key in {'.'.join(map(str, path)) or 'certificate'}",
                     encode_with(full, path, lambda parts: parts + ['"unknownKey": 1']),
                     "well-formed"))
    return rows


def failing_checks(stdout):
    return [line.split()[1].rstrip(":") for line in stdout.splitlines() if line.startswith("FAIL ")]


def test_emitted_certificate_verifies_with_every_check_named(emitted):
    run_dir, out, attestation, sbom_dir, docs = emitted
    result = verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir,
                    "--business-docs", *docs, "--corpus-attestation", attestation,
                    "--sbom-dir", sbom_dir, *SIGNER, "--require-corpus-binding",
                    "--require-sbom-binding", "--require-posture-binding")
    assert result.returncode == 0, result
    names = [line.split()[1].rstrip(":") for line in result.stdout.splitlines()
             if line.startswith("ok ")]
    assert names == ["well-formed", "hash", "signature", "trusted-key", "operator-key", "signer",
                     "corpus-binding", "sbom-binding", "posture-binding", "drift-stages",
                     "drift-build-spec", "drift-requirements", "drift-corpus", "drift-sbom"]
    assert "info: the file is byte for byte the certificate's own encoding\n" in result.stdout
    certificate = json.loads(out.read_text(encoding="utf-8"))
    fingerprint = "SHA256:" + base64.b64encode(
        hashlib.sha256(base64.b64decode(TEST_PUBLIC_B64)).digest()).decode().rstrip("=")
    assert result.stdout.endswith(
        f"verified: {out} (run=\"run-42\", timestamp={certificate['timestamp']}, "
        f"status={certificate['status']}, "
        f"signer=\"alice@example.org\" via \"idp\", key={fingerprint}, kind=operator, "
        f"hash={certificate['certificateHash'][:16]}..., stages=3)\n"), result.stdout
    assert result.stderr == ""


def test_every_tampering_fails_its_check_and_the_recipe_agrees(full, tmp_path):
    genuine = tmp_path / "genuine.json"
    genuine.write_text(encode(full, pretty=True), encoding="utf-8")
    assert verify(genuine, "--public-key", TEST_PUBLIC_B64).returncode == 0
    assert recipe_accepts(genuine)
    rows = tampered_rows(full)
    assert len(rows) > 300
    disagreements = []
    for label, text, expected in rows:
        path = tmp_path / "tampered.json"
        path.write_text(text, encoding="utf-8")
        result = verify(path, "--public-key", TEST_PUBLIC_B64)
        if expected is None:
            if result.returncode != 0:
                disagreements.append((label, "expected to verify", result.stdout))
        elif result.returncode != 1 or expected not in failing_checks(result.stdout):
            disagreements.append((label, expected, result.returncode, result.stdout))
        if recipe_accepts(path) != (result.returncode == 0):
            disagreements.append((label, "recipe disagrees", result.returncode))
    assert disagreements == []


def test_other_forgeries_fail(emitted, full, tmp_path):
    out = emitted[1]
    text = out.read_text(encoding="utf-8")
    certificate = json.loads(text)
    other = reseal(copy.deepcopy(certificate), OTHER_SEED_B64)
    borrowed = dict(certificate, certSignature=reseal(copy.deepcopy(full))["certSignature"])
    cases = [
        ("truncated", text[: len(text) // 2], "well-formed"),
        ("trailing bytes", text + "\n{}", "well-formed"),
        ("byte-order mark", "\ufeff" + text, "well-formed"),
        ("another certificate's signature", encode(borrowed, pretty=True), "signature"),
        ("sealed by an untrusted key", encode(other, pretty=True), "trusted-key"),
        ("signature not Base64", text.replace(certificate["certSignature"],
                                              "-" + certificate["certSignature"][1:]), "signature"),
    ]
    for label, body, expected in cases:
        path = tmp_path / "forged.json"
        path.write_text(body, encoding="utf-8")
        result = verify(path, "--public-key", TEST_PUBLIC_B64)
        assert result.returncode == 1, (label, result)
        assert expected in failing_checks(result.stdout), (label, result.stdout)
        assert result.stdout.endswith(" failed)\n") and "not verified: " in result.stdout, label
        assert recipe_accepts(path) is False, label


def test_benign_changes_still_verify(emitted, tmp_path):
    out = emitted[1]
    certificate = json.loads(out.read_text(encoding="utf-8"))
    countersigned = dict(certificate, platformCountersign={
        "countersignJws": "eyJ..c2ln", "kid": "platform-1",
        "countersignedAt": "2026-01-05T09:30:00.250Z"})
    reordered = dict(reversed(list(certificate.items())))
    reordered["stages"] = [dict(reversed(list(stage.items()))) for stage in certificate["stages"]]
    cases = {
        "compact": (encode(certificate), False),
        "reindented": (json.dumps(certificate, indent=4, ensure_ascii=False), False),
        "members reordered": (json.dumps(reordered), False),
        "escaped differently": (json.dumps(certificate, ensure_ascii=True), False),
        "countersignature added": (encode(countersigned, pretty=True), True),
        "as written": (out.read_text(encoding="utf-8"), True),
    }
    for label, (body, canonical) in cases.items():
        path = tmp_path / "benign.json"
        path.write_text(body, encoding="utf-8")
        result = verify(path, "--public-key", TEST_PUBLIC_B64, "--format", "json")
        assert result.returncode == 0, (label, result)
        report = json.loads(result.stdout)
        assert report["verified"] is True and report["canonical"] is canonical, label
    path.with_name("countersigned.json").write_text(encode(countersigned, pretty=True))
    result = verify(path.with_name("countersigned.json"), "--integrity-only")
    assert result.returncode == 0, result
    assert "info: platformCountersign is shape-checked only, not authenticated\n" in result.stdout
    assert "info: nothing is trusted (--integrity-only)" in result.stdout


def test_drift_is_named_per_stage_and_input(tmp_path):
    run_dir, out, attestation, sbom_dir, docs = emit(tmp_path)
    (run_dir / "s0-preflight" / "notes.txt").write_bytes(b"changed")
    (run_dir / "s0-preflight" / "added.txt").write_bytes(b"new")
    (run_dir / "s1-business-requirements" / "req.md").unlink()
    (run_dir / "s1-business-requirements" / "req.md").symlink_to("/etc/hostname")
    (run_dir / "s5-ui-specification" / "build-spec.yaml").write_bytes(b"other: 1\n")
    docs[0].write_bytes(b"edited")
    (sbom_dir / ".factory" / "audit.json").write_bytes(b"edited")
    result = verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir, "--business-docs",
                    *docs, "--sbom-dir", sbom_dir, "--corpus-attestation", attestation,
                    "--format", "json")
    assert result.returncode == 1, result
    report = json.loads(result.stdout)
    assert report["verified"] is False
    failed = {check["name"] for check in report["checks"] if not check["ok"]}
    assert failed == {"drift-stages", "drift-build-spec", "drift-requirements", "drift-sbom"}
    stages = report["drift"]["stages"]
    assert stages["s0-preflight"] == {"missing": False, "added": ["added.txt"], "removed": [],
                                      "changed": ["notes.txt"]}
    # A link swapped in for an artifact is never followed: the artifact is gone.
    assert stages["s1-business-requirements"]["removed"] == ["req.md"]
    inputs = report["drift"]["inputs"]
    assert inputs["buildSpec"]["found"] == sha256_hex(b"other: 1\n")
    assert inputs["requirements"]["certified"] != inputs["requirements"]["found"]
    assert "skipping symlink in stage s1-business-requirements: req.md" in result.stderr
    text = verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir).stdout
    assert [line for line in text.splitlines() if line.startswith("drift: ")] == [
        'drift: "s0-preflight" changed "notes.txt"', 'drift: "s0-preflight" added "added.txt"',
        'drift: "s1-business-requirements" removed "req.md"',
        'drift: "s5-ui-specification" changed "build-spec.yaml"']

    import shutil
    shutil.rmtree(run_dir / "s0-preflight")
    result = verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir)
    assert result.returncode == 1
    assert 'FAIL drift-stages: stage "s0-preflight" missing: 2 removed' in result.stdout
    assert 'drift: "s0-preflight" missing\n' in result.stdout


def test_names_that_reorder_text_are_shown_escaped(tmp_path):
    run_dir, out, *_ = emit(tmp_path)
    bidi = "invoice\u202efdp.sh"
    (run_dir / "s0-preflight" / bidi).write_bytes(b"added")
    (run_dir / "s0-preflight" / ("zero\u200bwidth")).symlink_to("notes.txt")
    result = verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir)
    assert result.returncode == 1
    assert 'drift: "s0-preflight" added "invoice\\u{202e}fdp.sh"\n' in result.stdout
    assert "skipping symlink in stage s0-preflight: zero\\u{200b}width" in result.stderr
    report = verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir,
                    "--format", "json").stdout
    assert "invoice\\u202efdp.sh" in report and "\u202e" not in report
    assert json.loads(report)["drift"]["stages"]["s0-preflight"]["added"] == [bidi]
    for text in (result.stdout, result.stderr, report):
        assert not any(c in text for c in "\u202e\u200b\ufeff")


def test_drift_is_not_looked_at_for_a_forged_certificate_nor_outside_the_run(emitted, tmp_path):
    certificate = json.loads(emitted[1].read_text(encoding="utf-8"))
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret").write_bytes(b"s")
    run_dir = tmp_path / "run"
    run_dir.mkdir()
    certificate["stages"] = [dict(certificate["stages"][0], stageId=stage_id)
                             for stage_id in ("../outside", "/etc", "", "a/../../outside")]
    forged = tmp_path / "forged.json"
    forged.write_text(encode(certificate, pretty=True), encoding="utf-8")
    result = verify(forged, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir)
    assert result.returncode == 1
    assert "drift" not in " ".join(failing_checks(result.stdout))
    assert ("info: drift not checked: the certificate is not intact and sealed by a trusted key\n"
            in result.stdout)

    sealed = tmp_path / "sealed.json"
    sealed.write_text(encode(reseal(certificate), pretty=True), encoding="utf-8")
    result = verify(sealed, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir)
    assert result.returncode == 1
    assert failing_checks(result.stdout) == ["drift-stages", "drift-build-spec"]
    assert result.stdout.count("is unsafe, not walked") == 4
    assert "outside" not in result.stderr


KEY_POLICY = [
    # (options, kind of key that sealed, expected exit, failing check)
    (["--public-key", TEST_PUBLIC_B64], "operator", 0, None),
    (["--public-key", public_key_of(OTHER_SEED_B64)], "operator", 1, "trusted-key"),
    (["--integrity-only"], "ephemeral", 0, None),
    (["--integrity-only", "--require-operator-key"], "ephemeral", 1, "operator-key"),
    (["--public-key", "EPHEMERAL"], "ephemeral", 1, "operator-key"),
    (["--public-key", "EPHEMERAL", "--allow-ephemeral"], "ephemeral", 0, None),
    (["--public-key", TEST_PUBLIC_B64, "--signer-subject", "Alice@example.org"], "operator", 1,
     "signer"),
    (["--public-key", TEST_PUBLIC_B64, "--signer-identity-provider", "idp "], "operator", 1,
     "signer"),
    (["--public-key", TEST_PUBLIC_B64, "--signer-subject", "alice@example.org"], "operator", 0,
     None),
]


@pytest.mark.parametrize("options, kind, code, check", KEY_POLICY,
                         ids=[" ".join(row[0]) for row in KEY_POLICY])
def test_key_policy(emitted, tmp_path, options, kind, code, check):
    out = emitted[1]
    if kind == "ephemeral":
        _, out, *_ = emit(tmp_path, env=base_env())
    ephemeral_key = json.loads(out.read_text(encoding="utf-8"))["signingPublicKey"]
    options = [ephemeral_key if option == "EPHEMERAL" else option for option in options]
    result = verify(out, *options)
    assert result.returncode == code, result
    assert failing_checks(result.stdout) == ([check] if check else [])


def test_key_files_and_quiet(emitted, tmp_path):
    out = emitted[1]
    keys = tmp_path / "trusted.pub"
    keys.write_text(f"# operators\r\n\r\n  {public_key_of(OTHER_SEED_B64)}\r\n{TEST_PUBLIC_B64}\n")
    result = verify(out, "--public-key-file", keys, "-q")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "")
    assert verify(out, "--public-key-file", keys, "--quiet", "--require-sbom-binding",
                  "--signer-subject", "bob").returncode == 1


USAGE_ERRORS = [
    ([], "<CERTIFICATE>"),
    (["CERT"], "trust must be stated"),
    (["CERT", "--integrity-only", "--public-key", TEST_PUBLIC_B64], "--integrity-only"),
    (["CERT", "--integrity-only", "--allow-ephemeral", "--require-operator-key"],
     "--allow-ephemeral"),
    (["CERT", "--public-key", TEST_PUBLIC_B64[:-1]], "base64: Invalid padding"),
    (["CERT", "--public-key", base64.b64encode(b"x" * 16).decode()], "public key length 16"),
    (["CERT", "--public-key", "A" * 43 + "="], "small order"),
    (["CERT", "--public-key", base64.b64encode(b"\x01" + bytes(31)).decode()], "small order"),
    (["CERT", "--integrity-only", "--format", "yaml"], "--format <FORMAT>"),
    (["CERT", "--integrity-only", "--run-dir="], "is empty"),
    (["CERT", "--integrity-only", "--bogus"], "'--bogus'"),
]


@pytest.mark.parametrize("args, named", USAGE_ERRORS, ids=[" ".join(a) for a, _ in USAGE_ERRORS])
def test_usage_errors(args, named):
    result = verify(*args)
    assert result.returncode == 2, result
    assert result.stdout == ""
    assert result.stderr.startswith("error: ") and named in result.stderr.splitlines()[0], result
    assert "Usage: certwright-verify [OPTIONS] <CERTIFICATE>" in result.stderr


def test_unreadable_inputs_exit_2(emitted, tmp_path):
    run_dir, out, attestation, sbom_dir, docs = emitted
    bad_keys = tmp_path / "bad.pub"
    bad_keys.write_text("# nothing but comments\n")
    malformed_keys = tmp_path / "malformed.pub"
    malformed_keys.write_text(TEST_PUBLIC_B64 + "\nnot-a-key\n")
    key = ["--public-key", TEST_PUBLIC_B64]
    cases = [
        ([tmp_path / "missing.json", *key], "unreadable"),
        ([tmp_path, *key], "unreadable"),
        ([out, "--public-key-file", tmp_path / "missing.pub"], "--public-key-file"),
        ([out, "--public-key-file", bad_keys], "no public key"),
        ([out, "--public-key-file", malformed_keys], "line 2"),
        ([out, *key, "--run-dir", tmp_path / "nowhere"], "run directory"),
        ([out, *key, "--business-docs", tmp_path / "missing.md"], "requirement document"),
        ([out, *key, "--corpus-attestation", tmp_path / "missing.json"], "--corpus-attestation"),
        ([out, *key, "--sbom-dir", tmp_path / "nowhere"], "--sbom-dir"),
        # 2 wins over 1: the certificate would not verify under this key either.
        ([out, "--public-key", public_key_of(OTHER_SEED_B64), "--run-dir", tmp_path / "x"],
         "run directory"),
    ]
    for args, named in cases:
        result = verify(*args)
        assert result.returncode == 2, (args, result)
        assert result.stdout == ""
        assert result.stderr.splitlines()[-1].startswith("error: ") and named in result.stderr, (
            args, result.stderr)


def test_json_report_matches_its_schema(emitted, tmp_path):
    import jsonschema
    schema = json.loads((ROOT / "docs" / "verify-report.schema.json").read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    run_dir, out, *_ = emitted
    for args in (["--integrity-only"], ["--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir]):
        result = verify(out, *args, "--format", "json")
        report = json.loads(result.stdout)
        jsonschema.validate(report, schema)
        names = [check["name"] for check in report["checks"]]
        assert len(names) == len(set(names))
        assert report["verified"] == all(check["ok"] for check in report["checks"])
    broken = tmp_path / "broken.json"
    broken.write_text("{")
    report = json.loads(verify(broken, "--integrity-only", "--format", "json").stdout)
    jsonschema.validate(report, schema)
    assert report["checks"] == [{"name": "well-formed", "ok": False,
                                 "detail": "certificate: not JSON: " + report["checks"][0][
                                     "detail"].split("not JSON: ", 1)[1]}]


def test_names_are_escaped_in_text_and_raw_in_json(tmp_path):
    run_dir = make_run(tmp_path, {"s0-preflight": {"a\x1b[31mred\n.txt": b"a"}})
    out = tmp_path / "cert.json"
    assert run(["build-certificate", str(run_dir), "--out", str(out)],
               env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64)).returncode == 0
    (run_dir / "s0-preflight" / "a\x1b[31mred\n.txt").write_bytes(b"b")
    text = verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir)
    assert "\x1b" not in text.stdout and text.returncode == 1
    report = json.loads(verify(out, "--public-key", TEST_PUBLIC_B64, "--run-dir", run_dir,
                               "--format", "json").stdout)
    assert report["drift"]["stages"]["s0-preflight"]["changed"] == ["a\x1b[31mred\n.txt"]


def test_recipe_runs_as_a_program(emitted, tmp_path):
    import subprocess
    import sys
    out = emitted[1]
    result = subprocess.run([sys.executable, str(RECIPE), str(out), TEST_PUBLIC_B64,
                             "alice@example.org", "idp"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    certificate = json.loads(out.read_text(encoding="utf-8"))
    assert result.stdout == f"verified: {certificate['certificateHash']}\n"
    duplicated = tmp_path / "duplicated.json"
    text = out.read_text(encoding="utf-8")
    duplicated.write_text(text.replace('"status": "complete",',
                                       '"status": "failed",\n  "status": "complete",', 1))
    result = subprocess.run([sys.executable, str(RECIPE), str(duplicated), TEST_PUBLIC_B64],
                            capture_output=True, text=True)
    assert result.returncode == 1 and "duplicate key 'status'" in result.stderr


def test_memory_bound_for_every_shape(emitted, tmp_path):
    """Reading any text up to the cap, of any shape, peaks at 4 times its size plus 64 MiB at
    most, and under address-space limits ends in a verdict or one error line."""
    import resource
    import subprocess
    import certificate_shapes
    if b"__asan_init" in pathlib.Path(VERIFY).read_bytes():
        pytest.skip("AddressSanitizer's own memory would be measured; scripts/test runs this "
                    "test with an uninstrumented build")
    base = json.loads(emitted[1].read_text(encoding="utf-8"))
    path = tmp_path / "shape.json"
    for size in (8 << 20, certificate_shapes.MAX_BYTES):
        for name, text in certificate_shapes.shapes(base, size):
            path.write_text(text, encoding="utf-8")
            file_size = path.stat().st_size
            code, peak = certificate_shapes.peak_kib([VERIFY, path, "--integrity-only"])
            assert code == 1, (name, size)
            assert peak * 1024 <= 4 * file_size + (64 << 20), (name, file_size, peak)
            for limit in (32 << 20, 128 << 20):
                completed = subprocess.run(
                    [VERIFY, str(path), "--integrity-only"], capture_output=True,
                    stdin=subprocess.DEVNULL, timeout=120,
                    preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
                assert completed.returncode in (1, 2), (name, limit, completed.stderr)
                if completed.returncode == 2:
                    assert completed.stderr.count(b"\n") == 1, (name, limit, completed.stderr)
                    assert completed.stderr.startswith(b"error: "), (name, limit)


def test_memory_shortage_is_one_error_line_never_an_abort(tmp_path):
    """A certificate of 30 MiB read under tight address-space limits: the verifier answers, or ends
    with one error line and exit 2, never with the runtime's abort."""
    import resource
    import subprocess
    if b"__asan_init" in pathlib.Path(VERIFY).read_bytes():
        pytest.skip("AddressSanitizer ends the process on a failed allocation itself; "
                    "scripts/test runs this test with an uninstrumented build")
    certificate = tmp_path / "c.json"
    certificate.write_bytes(b"{" + b" " * (30 << 20) + b"}")
    codes = set()
    for limit in (16 << 20, 96 << 20, 256 << 20, 1 << 30):
        completed = subprocess.run(
            [VERIFY, str(certificate), "--integrity-only"], capture_output=True,
            stdin=subprocess.DEVNULL, timeout=120,
            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        assert completed.returncode in (1, 2), completed
        if completed.returncode == 2:
            lines = completed.stderr.splitlines()
            assert len(lines) == 1 and lines[0].startswith(b"error: "), completed.stderr
        else:  # refused for what it holds, never for want of memory
            assert b"missing key" in completed.stdout and b"out of memory" not in completed.stdout
        codes.add(completed.returncode)
    assert codes == {1, 2}, codes
