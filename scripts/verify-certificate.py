#!/usr/bin/env python3
# verify-certificate.py CERTIFICATE TRUSTED_PUBLIC_KEY [SUBJECT IDENTITY_PROVIDER]
#
# An independent check of a certwright certificate with Python 3 and the `cryptography` package
# (Debian: python3-cryptography): hash, Ed25519 signature, operator key, trusted key and,
# optionally, the signer. It refuses what a re-encoding would not cover: duplicate keys at any
# level, keys a record does not have, and a certificateVersion it does not know. Numbers are
# kept as the text the certificate wrote them with. Prints "verified: <certificateHash>" and
# exits 0, or prints why the certificate was rejected and exits 1.
import base64
import hashlib
import json
import re
import sys

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

VERSION = "1.5.0"

# Keys under which a signature can be made without the private key: y coordinates at or above
# the field prime (not a canonical encoding), and those of the eight points of small order.
FIELD_PRIME = 2**255 - 19
SMALL_ORDER_Y = {0, 1, FIELD_PRIME - 1,
                 0x05fc536d880238b13933c6d305acdfd5f098eff289f4c345b027b2c28f95e826,
                 0x7a03ac9277fdc74ec6cc392cfa53202a0f67100d760b3cba4fd84d3d706a17c7}

# The keys of every record. None: a value that is no record (text, number, enumeration,
# free-form JSON or a map of texts); a dict: a record; [record]: a list of records;
# ("map", record): a map from text to records.
GATE = {"passed": None, "checksRun": None, "checksFailed": None}
SANDBOX = {"command": None, "inputArtifactHashes": None, "outputArtifactHashes": None,
           "resourcePeak": {"cpuMilliPeak": None, "memoryBytesPeak": None, "pidPeak": None},
           "isolationTier": None, "runtimeDescriptor": None, "deadlineHit": None, "exitCode": None}
STAGE = {"stageId": None, "status": None, "artifactHashes": None, "gateResult": GATE,
         "durationMs": None, "sandboxExecution": SANDBOX}
MANIFEST = {"runId": None, "fromStage": None, "toStage": None, "producedAt": None,
            "artifactHashes": None, "metadata": None,
            "signer": {"agentId": None, "ephemeralKeyId": None}, "signature": None}
CERTIFICATE = {
    "certificateVersion": None, "pipelineRunId": None, "timestamp": None, "status": None,
    "intent": {"requirementsHash": None, "specId": None, "specHash": None},
    "buildSpec": {"hash": None,
                  "approvalRecord": {"approvedBy": None, "approvedAt": None, "gateType": None}},
    "stages": [STAGE],
    "verification": {"compile": None, "test": None, "lint": None, "typecheck": None,
                     "securityScan": None},
    "proofChain": {"recordCount": None, "firstRecordHash": None, "lastRecordHash": None,
                   "chainIntegrity": None},
    "compliance": {"frameworks": None,
                   "mappings": [{"control": None, "mechanism": None, "status": None}]},
    "signer": {"subject": None, "identityProvider": None, "sessionId": None},
    "interStageChain": {
        "keyChain": {"runId": None, "rootPublicKeyB64": None,
                     "stageKeys": ("map", {"stageId": None, "ephemeralPublicKeyB64": None,
                                           "keyFingerprint": None})},
        "manifests": [MANIFEST]},
    "admittedEnvelopeHash": None, "goalId": None, "intentCapsuleHash": None,
    "consumedOverrides": [{"artifactId": None, "path": None, "contentHash": None, "author": None,
                           "modifiedAt": None, "verified": None, "verifiedBy": None}],
    "corpusBinding": {"corpusAttestationHash": None, "varrowVersion": None},
    "sbomArtifactBinding": {"bomHash": None, "auditHash": None, "bomToolVersion": None},
    "agenticPostureBinding": {"posture": None, "defaulted": None,
                              "surfaces": [{"kind": None, "description": None,
                                            "governanceEnvelope": None}]},
    "certificateHash": None, "signingPublicKey": None, "certSignature": None,
    "signingAttestation": {"kind": None, "note": None},
    "platformCountersign": {"countersignJws": None, "kid": None, "countersignedAt": None},
}


DATE_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?Z")


class Rejected(Exception):
    pass


class Number(str):
    """A JSON number, kept as the text the certificate wrote it with."""


def unique_members(pairs):
    members = dict(pairs)
    if len(members) != len(pairs):
        seen = set()
        duplicate = next(key for key, _ in pairs if key in seen or seen.add(key))
        raise Rejected(f"duplicate key {duplicate!r}")
    return members


def refuse_constant(name):
    raise Rejected(f"{name} is not JSON")


def check_keys(value, record, where):
    """Every key of `value` is one the record has, at every level below it too."""
    if record is None or value is None:
        return
    if isinstance(record, list):
        if not isinstance(value, list):
            raise Rejected(f"{where} is not a list")
        for index, element in enumerate(value):
            check_keys(element, record[0], f"{where}[{index}]")
        return
    if isinstance(record, tuple):
        if not isinstance(value, dict):
            raise Rejected(f"{where} is not an object")
        for key, element in value.items():
            check_keys(element, record[1], f"{where}.{key}")
        return
    if not isinstance(value, dict):
        raise Rejected(f"{where} is not an object")
    for key, element in value.items():
        if key not in record:
            raise Rejected(f"unknown key {key!r} in {where}")
        check_keys(element, record[key], f"{where}.{key}")


def compact(value):
    if isinstance(value, Number):
        return value
    if isinstance(value, dict):
        return "{" + ",".join(compact(k) + ":" + compact(v) for k, v in value.items()) + "}"
    if isinstance(value, list):
        return "[" + ",".join(compact(v) for v in value) + "]"
    return json.dumps(value, ensure_ascii=False)  # strings, true, false, null


def load(path):
    with open(path, encoding="utf-8") as file:
        cert = json.load(file, parse_int=Number, parse_float=Number,
                         parse_constant=refuse_constant, object_pairs_hook=unique_members)
    check_keys(cert, CERTIFICATE, "certificate")
    if cert.get("certificateVersion") != VERSION:
        raise Rejected(f"unsupported certificateVersion {cert.get('certificateVersion')!r}")
    # Neither the hash nor the signature covers a countersignature, so its shape is checked here.
    countersign = cert.get("platformCountersign")
    if countersign is not None:
        if set(countersign) != set(CERTIFICATE["platformCountersign"]) or not all(
                isinstance(value, str) for value in countersign.values()):
            raise Rejected("platformCountersign is not a countersignature")
        if not DATE_TIME.fullmatch(countersign["countersignedAt"]):
            raise Rejected("platformCountersign.countersignedAt is not a date-time")
    return cert


def check(path, trusted_key, subject=None, identity_provider=None):
    cert = load(path)
    signing_view = {key: value for key, value in cert.items() if key != "platformCountersign"}
    signing_view["certSignature"] = ""
    hash_view = {**signing_view, "certificateHash": ""}

    if hashlib.sha256(compact(hash_view).encode()).hexdigest() != cert["certificateHash"]:
        return "certificateHash does not match the content"
    key_bytes = base64.b64decode(cert["signingPublicKey"], validate=True)
    y = int.from_bytes(key_bytes, "little") & (2**255 - 1)
    if len(key_bytes) == 32 and (y >= FIELD_PRIME or y in SMALL_ORDER_Y):
        return "signingPublicKey is a weak Ed25519 key (small order or not canonical)"
    public_key = Ed25519PublicKey.from_public_bytes(key_bytes)
    signature = base64.b64decode(cert["certSignature"], validate=True)
    try:
        public_key.verify(signature, compact(signing_view).encode())
    except InvalidSignature:
        return "the signature does not verify"
    kind = cert["signingAttestation"]["kind"]
    if kind != "operator":
        return f"the signing key is {kind}, not an operator key"
    if cert["signingPublicKey"] != trusted_key:
        return f"signed by {cert['signingPublicKey']}, not by the trusted key"
    signer = cert.get("signer") or {}
    expected = (subject, identity_provider)
    if subject is not None and (signer.get("subject"), signer.get("identityProvider")) != expected:
        return f"signer is not {subject} via {identity_provider}"
    print("verified:", cert["certificateHash"])
    return None


if __name__ == "__main__":
    if len(sys.argv) not in (3, 5):
        print("usage: verify-certificate.py CERTIFICATE TRUSTED_PUBLIC_KEY"
              " [SUBJECT IDENTITY_PROVIDER]", file=sys.stderr)
        sys.exit(2)
    try:
        reason = check(*sys.argv[1:])
    except Rejected as error:
        reason = f"malformed certificate ({error})"
    except (OSError, ValueError, KeyError, TypeError, AttributeError, RecursionError) as error:
        reason = f"unreadable certificate ({error!r})"
    if reason:
        print("certificate rejected: " + reason, file=sys.stderr)
        sys.exit(1)
