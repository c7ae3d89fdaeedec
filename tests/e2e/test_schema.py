"""docs/certificate.schema.json: it holds every record a certificate can carry and rejects keys,
enumeration values and forms that no certificate can have. (load_certificate validates every
certificate the suite emits against it.)"""

import copy

import pytest

from conftest import ROOT, TEST_SEED_B64, base_env, certificate_schema_validator, load_certificate, run

DEMO_RUN = ROOT / "examples" / "runs" / "demo-run-0001"


@pytest.fixture(scope="module")
def emitted(tmp_path_factory):
    """A tenant certificate of the bundled run, with its posture binding."""
    out = tmp_path_factory.mktemp("schema") / "governance-certificate.json"
    result = run(["build-certificate", str(DEMO_RUN), "--signer-subject", "alice",
                  "--signer-identity-provider", "idp", "--signer-session-id", "s-1", "--out", str(out)],
                 env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    return load_certificate(out)


@pytest.fixture(scope="module")
def full(emitted):
    """The emitted certificate plus every optional record that the format defines."""
    certificate = copy.deepcopy(emitted)
    stage = certificate["stages"][0]
    stage["gateResult"] = {"passed": True, "checksRun": 4294967295, "checksFailed": 0}
    stage["durationMs"] = 18446744073709551615
    stage["sandboxExecution"] = {
        "command": ["make", "test"], "inputArtifactHashes": {"a": "x"}, "outputArtifactHashes": {},
        "resourcePeak": {"cpuMilliPeak": 1, "memoryBytesPeak": 2, "pidPeak": 3},
        "isolationTier": 2, "runtimeDescriptor": "oci", "deadlineHit": False, "exitCode": -1,
    }
    certificate["intent"].update(specId="102", specHash="h")
    certificate["buildSpec"]["approvalRecord"] = {
        "approvedBy": "bob", "approvedAt": "2026-01-05T09:30:00Z", "gateType": "human"}
    certificate["proofChain"].update(firstRecordHash="f", lastRecordHash="l", chainIntegrity="verified")
    extra = {
        "compliance": {"frameworks": [], "mappings": [
            {"control": "AC-1", "mechanism": "m", "status": "met"}]},
        "interStageChain": {
            "keyChain": {"runId": "r", "rootPublicKeyB64": "k", "stageKeys": {
                "s0": {"stageId": "s0", "ephemeralPublicKeyB64": "e", "keyFingerprint": "f"}}},
            "manifests": [{
                "runId": "r", "fromStage": "s0", "toStage": "s1",
                "producedAt": "2026-01-05T09:30:00.123456700Z", "artifactHashes": {"a": "h"},
                "metadata": {"n": 1.5, "o": {"x": [None]}},
                "signer": {"agentId": "a", "ephemeralKeyId": "k"}, "signature": "s"}]},
        "admittedEnvelopeHash": "e", "goalId": "g", "intentCapsuleHash": "i",
        "consumedOverrides": [{
            "artifactId": "a", "path": "p", "contentHash": "c", "author": "x",
            "modifiedAt": "yesterday", "verified": True, "verifiedBy": "v"}],
        "corpusBinding": {"corpusAttestationHash": "a" * 64, "varrowVersion": "0.9.1"},
        "sbomArtifactBinding": {"bomHash": "b" * 64, "auditHash": "c" * 64, "bomToolVersion": "unknown"},
    }
    seal = {key: certificate.pop(key) for key in
            ["certificateHash", "signingPublicKey", "certSignature", "signingAttestation"]}
    posture = certificate.pop("agenticPostureBinding")
    certificate.update(extra, agenticPostureBinding=posture, **seal)
    certificate["signingAttestation"]["kind"] = "sigstore-rekor"
    certificate["platformCountersign"] = {
        "countersignJws": "j", "kid": "k", "countersignedAt": "2026-01-05T23:59:60.250Z"}
    return certificate


def test_schema_accepts_every_record_the_format_defines(emitted, full):
    assert "agenticPostureBinding" in emitted and "sessionId" in emitted["signer"]
    validator = certificate_schema_validator()
    assert list(validator.iter_errors(full)) == []
    defaulted = copy.deepcopy(emitted)
    defaulted["agenticPostureBinding"] = {"posture": "none", "defaulted": True}
    assert list(validator.iter_errors(defaulted)) == []


def unknown_key(*path):
    def mutate(certificate):
        record = certificate
        for step in path:
            record = record[step]
        record["extra"] = 1
    return mutate


def set_value(value, *path):
    def mutate(certificate):
        record = certificate
        for step in path[:-1]:
            record = record[step]
        record[path[-1]] = value
    return mutate


def remove(*path):
    def mutate(certificate):
        record = certificate
        for step in path[:-1]:
            record = record[step]
        del record[path[-1]]
    return mutate


REJECTED = {
    # Keys that no record has.
    "unknown top-level key": unknown_key(),
    "unknown key in a stage": unknown_key("stages", 0),
    "unknown key in the signer": unknown_key("signer"),
    "unknown key in a stage key": unknown_key("interStageChain", "keyChain", "stageKeys", "s0"),
    "unknown key in a sandbox's resource peak": unknown_key("stages", 0, "sandboxExecution", "resourcePeak"),
    "unknown key in a surface": unknown_key("agenticPostureBinding", "surfaces", 0),
    # Enumerations.
    "certificate status": set_value("done", "status"),
    "stage status": set_value("ok", "stages", 0, "status"),
    "verification check": set_value("Passed", "verification", "lint"),
    "chain integrity": set_value("broken", "proofChain", "chainIntegrity"),
    "attestation kind": set_value("sigstore_rekor", "signingAttestation", "kind"),
    "posture": set_value("Governed", "agenticPostureBinding", "posture"),
    "surface kind": set_value("model_api", "agenticPostureBinding", "surfaces", 0, "kind"),
    # Presence rules.
    "gateResult missing instead of null": remove("stages", 1, "gateResult"),
    "required key missing": remove("signer", "identityProvider"),
    "empty consumedOverrides written": set_value([], "consumedOverrides"),
    "empty surfaces written": set_value([], "agenticPostureBinding", "surfaces"),
    "defaulted posture with a level": set_value(True, "agenticPostureBinding", "defaulted"),
    # Types and forms.
    "isolation tier as a string": set_value("2", "stages", 0, "sandboxExecution", "isolationTier"),
    "exit code beyond 32 bits": set_value(2**31, "stages", 0, "sandboxExecution", "exitCode"),
    "six fraction digits for whole milliseconds": set_value("2026-01-05T09:30:00.250000Z", "timestamp"),
    "timestamp without Z": set_value("2026-01-05T09:30:00", "timestamp"),
    "upper-case artifact hash": lambda c: c["stages"][0]["artifactHashes"].update(x="A" * 64),
    "short public key": set_value("AAAA", "signingPublicKey"),
}


@pytest.mark.parametrize("mutation", REJECTED)
def test_schema_rejects(full, mutation):
    certificate = copy.deepcopy(full)
    REJECTED[mutation](certificate)
    assert list(certificate_schema_validator().iter_errors(certificate)) != []
