"""Hostile input, one row each: malformed and huge keys, huge, deep and self-multiplying JSON and
YAML, bytes that are not UTF-8 and control characters wherever a path or text can appear. Each
row ends with its exit code and its exact first message line; no message ever spans lines or
carries a control character, no key text is ever printed, and every certificate written is valid."""

import json
import os
import re
import subprocess

import pytest

from conftest import BIN, TEST_SEED_B64, base_env, load_certificate, make_run, run

OUT = "{tmp}/cert.json"
SIGNER = ["--signer-subject", "a", "--signer-identity-provider", "p"]
BASE = ["--requirements-hash", "r", "--out", OUT]  # no intent warning; a known output path
FIFO = object()  # a named pipe instead of a file
SPARSE_TIB = object()  # a sparse file of 1 TiB
KEY_FILE = {"ZEM_SIGNING_KEY": None, "ZEM_SIGNING_KEY_PATH": "{tmp}/key"}
BUILD_SPEC = "run/s5-ui-specification/build-spec.yaml"

OPERATOR_KEY_REFUSED = (
    "error: --require-operator-key was set but the signing material resolved to an ephemeral key "
    "(spec 220 FR-003). A production tenant emission must supply an operator key via "
    "ZEM_SIGNING_KEY or ZEM_SIGNING_KEY_PATH; refusing to emit an untrusted certificate.")
CORPUS_REQUIRED = (
    "error: --require-corpus-binding was set but no corpus binding could be applied (a corpus "
    "attestation must resolve AND a signer must be present); refusing to emit a certificate "
    "without the required corpus binding.")


def raw(data):
    """Bytes as the str that os.fsencode turns back into exactly those bytes."""
    return os.fsdecode(data)


def nested_json(depth):
    return b"[" * depth + b"]" * depth


def alias_bomb(levels=10, width=10):
    lines = ["a0: &a0 [" + ", ".join(["x"] * width) + "]"]
    lines += [f"a{i}: &a{i} [" + ", ".join([f"*a{i - 1}"] * width) + "]" for i in range(1, levels)]
    lines.append(f"agentic_posture: {{posture: declared, surfaces: [{{kind: model-api, "
                 f"governance_envelope: *a{levels - 1}}}]}}")
    return ("\n".join(lines) + "\n").encode()


def long_scalar_aliases(scalar=64 * 1024, aliases=4000):
    """An 81 KB build spec that expands to 262 MB: one long anchored scalar, many aliases."""
    return (b"big: &big " + b"x" * scalar + b"\nagentic_posture: {posture: declared, surfaces: "
            b"[{kind: model-api, governance_envelope: [" + b", ".join([b"*big"] * aliases)
            + b"]}]}\n")


def attestation(**overrides):
    record = {"schemaVersion": "1", "tool": {"name": "varrow", "version": "1"},
              "inputsManifestHash": "im", "registryHash": "rh",
              "verdicts": {"compile": {"ok": True}, "lint": {"ok": True, "findingsHash": "f"}}}
    return json.dumps({**record, **overrides}).encode()


def usage(message):
    return f"error: {message}"


# id, files under {tmp}, arguments after the run directory (or None: the run directory itself is
# in the arguments), environment, exit code, first line of standard error (None: nothing).
CASES = [
    # Signing keys.
    ("key env huge", {}, BASE, {"ZEM_SIGNING_KEY": "A" * 100_000}, 2,
     "error: ZEM_SIGNING_KEY is set but malformed: seed length 75000 != 32"),
    ("key env control characters", {}, BASE, {"ZEM_SIGNING_KEY": "AAAA\x01\x1b"}, 2,
     "error: ZEM_SIGNING_KEY is set but malformed: base64: Invalid symbol 1, offset 4."),
    ("key env valid seed plus junk", {}, BASE, {"ZEM_SIGNING_KEY": TEST_SEED_B64 + "!"}, 2,
     "error: ZEM_SIGNING_KEY is set but malformed: base64: Invalid symbol 33, offset 44."),
    ("key env not UTF-8 counts as unset", {}, [*BASE, "--require-operator-key"],
     {"ZEM_SIGNING_KEY": raw(TEST_SEED_B64.encode() + b"\xff")}, 2, OPERATOR_KEY_REFUSED),
    ("key file with NUL", {"key": TEST_SEED_B64.encode() + b"\0\n"}, BASE,
     KEY_FILE, 2,
     "error: ZEM_SIGNING_KEY_PATH={tmp}/key content malformed: base64: Invalid symbol 0, offset 44."),
    ("key file huge", {"key": b"A" * (8 << 20)}, BASE, KEY_FILE, 2,
     "error: ZEM_SIGNING_KEY_PATH={tmp}/key unreadable: File too large"),
    ("key file sparse terabyte", {"key": SPARSE_TIB}, BASE, KEY_FILE, 2,
     "error: ZEM_SIGNING_KEY_PATH={tmp}/key unreadable: File too large"),
    ("key file empty", {"key": b""}, BASE, KEY_FILE, 2,
     "error: ZEM_SIGNING_KEY_PATH={tmp}/key content malformed: seed length 0 != 32"),
    ("key file not UTF-8", {"key": b"\xff" + TEST_SEED_B64.encode()}, BASE,
     KEY_FILE, 2,
     "error: ZEM_SIGNING_KEY_PATH={tmp}/key unreadable: stream did not contain valid UTF-8"),
    ("key file is a FIFO", {"key": FIFO}, BASE, KEY_FILE, 2,
     "error: ZEM_SIGNING_KEY_PATH={tmp}/key unreadable: not a regular file"),
    ("key path with control characters", {}, BASE, {**KEY_FILE, "ZEM_SIGNING_KEY_PATH": "{tmp}/k\nerror: \x1b[2J"}, 2,
     "error: ZEM_SIGNING_KEY_PATH={tmp}/k\\nerror: \\x1b[2J unreadable: No such file or directory"),
    ("key path not UTF-8 counts as unset", {"key": TEST_SEED_B64.encode()},
     [*BASE, "--require-operator-key"], {**KEY_FILE, "ZEM_SIGNING_KEY_PATH": raw(b"{tmp}/key\xff")}, 2,
     OPERATOR_KEY_REFUSED),
    # JSON inputs.
    ("attestation nested 100000 deep", {"att.json": nested_json(100_000)},
     [*BASE, *SIGNER, "--corpus-attestation", "{tmp}/att.json"], {}, 0,
     "warning: {tmp}/att.json is not a CorpusAttestation: invalid JSON: The JSON document was too "
     "deep (too many nested objects and arrays) (cert unbound)"),
    ("attestation of 16 MiB", {"att.json": attestation(registryHash="h" * (16 << 20))},
     [*BASE, *SIGNER, "--corpus-attestation", "{tmp}/att.json", "--require-corpus-binding"], {}, 0, None),
    ("attestation not UTF-8", {"att.json": attestation().replace(b'"rh"', b'"\xff"')},
     [*BASE, *SIGNER, "--corpus-attestation", "{tmp}/att.json"], {}, 0,
     "warning: corpus attestation {tmp}/att.json unreadable: stream did not contain valid UTF-8 "
     "(cert unbound)"),
    ("attestation is a FIFO", {"att.json": FIFO}, [*BASE, *SIGNER, "--corpus-attestation", "{tmp}/att.json"],
     {}, 0, "warning: corpus attestation {tmp}/att.json unreadable: not a regular file (cert unbound)"),
    ("attestation path with control characters", {},
     [*BASE, *SIGNER, "--corpus-attestation", raw(b"{tmp}/\xff\x1bnope")], {}, 0,
     "warning: corpus attestation {tmp}/\ufffd\\x1bnope unreadable: No such file or directory (cert unbound)"),
    ("attestation path variable not UTF-8 counts as unset", {"att.json": attestation()},
     [*BASE, *SIGNER, "--require-corpus-binding"], {"ZEM_CORPUS_ATTESTATION_PATH": raw(b"{tmp}/att.json\xff")},
     2, CORPUS_REQUIRED),
    ("BOM nested 100000 deep", {"sbom/.factory/sbom.cdx.json": nested_json(100_000),
                                "sbom/.factory/audit.json": b"{}"},
     [*BASE, *SIGNER, "--sbom-dir", "{tmp}/sbom", "--require-sbom-binding"], {}, 0, None),
    ("SBOM directory with control characters", {}, [*BASE, *SIGNER, "--sbom-dir", "{tmp}/\x1bnone\r"], {}, 0,
     "warning: SBOM {tmp}/\\x1bnone\\r/.factory/sbom.cdx.json unreadable: No such file or directory "
     "(cert unbound)"),
    # The build spec.
    ("build spec nested 100000 deep", {BUILD_SPEC: b"agentic_posture: " + nested_json(100_000)}, BASE, {}, 0,
     "warning: Build Spec at {tmp}/" + BUILD_SPEC + " did not parse for agentic_posture: nesting deeper "
     "than 256 levels at line 1, column 273 (posture unstated)"),
    ("build spec alias bomb", {BUILD_SPEC: alias_bomb()}, BASE, {}, 0,
     "warning: Build Spec at {tmp}/" + BUILD_SPEC + " did not parse for agentic_posture: aliases expand "
     "to more than 100000 nodes at line 5, column 45 (posture unstated)"),
    ("build spec of 16 MiB", {BUILD_SPEC: b"pad: " + b"x" * (16 << 20) + b"\nagentic_posture: {posture: declared}\n"},
     BASE, {}, 0, None),
    ("build spec not UTF-8 is silently unstated", {BUILD_SPEC: b"agentic_posture: {posture: \"\xff\"}\n"},
     BASE, {}, 0, None),
    ("build spec value with control characters",
     {BUILD_SPEC: b'agentic_posture: {posture: "bad\\nline\\u2028\\e"}\n'}, BASE, {}, 0,
     "warning: Build Spec at {tmp}/" + BUILD_SPEC + " did not parse for agentic_posture: "
     "agentic_posture.posture: expected one of \"none\", \"declared\", \"governed\", found "
     "a string at line 1, column 28 (posture unstated)"),
    ("build spec aliases of a long scalar", {BUILD_SPEC: long_scalar_aliases()}, BASE, {}, 0,
     "warning: Build Spec at {tmp}/" + BUILD_SPEC + " did not parse for agentic_posture: the "
     "document holds more than 33554432 bytes of scalar text with aliases expanded at line 2, "
     "column 3149 (posture unstated)"),
    # Paths and option values.
    ("run dir not UTF-8 with a line break", {}, None, {}, 2,
     "error: run directory does not exist: {tmp}/r\ufffd\\n"),
    ("out not UTF-8 under a file", {"file": b"x"}, ["--requirements-hash", "r", "--out", raw(b"{tmp}/file/\xff\x1b")],
     {}, 1, "error: failed to persist certificate at {tmp}/file/\ufffd\\x1b: Not a directory"),
    ("business doc not UTF-8 with CR", {}, ["--business-docs", raw(b"{tmp}/nope\xff\r")], {}, 2,
     "error: could not read --business-docs file {tmp}/nope\ufffd\\r: No such file or directory"),
    ("signer subject not UTF-8", {}, ["--signer-subject", raw(b"a\xff"), "--signer-identity-provider", "p"], {},
     2, usage("invalid UTF-8 in the value of '--signer-subject <SIGNER_SUBJECT>'")),
    ("unknown option with control characters", {}, [raw(b"--bogus\xff\x07\n")], {}, 2,
     usage("unexpected argument '--bogus\ufffd\\x07\\n' found")),
]


def materialize(tmp, files):
    for name, content in files.items():
        path = tmp / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if content is FIFO:
            os.mkfifo(path)
        elif content is SPARSE_TIB:
            with open(path, "wb") as sparse:
                sparse.truncate(1 << 40)
        else:
            path.write_bytes(content)
            path.chmod(0o600)  # key files readable by others draw a warning of their own


def expand(value, tmp):
    return value.replace("{tmp}", str(tmp)) if isinstance(value, str) else value


def assert_one_line_messages(text):
    for line in text.splitlines():
        assert not re.search(r"[\x00-\x1f\x7f\x80-\x9f\u2028\u2029]", line), line


@pytest.mark.parametrize("case, files, args, env, code, first_line", CASES, ids=[c[0] for c in CASES])
def test_hostile_input(tmp_path, case, files, args, env, code, first_line):
    make_run(tmp_path, {"s0-preflight": {"a": b"a"}}, name="run")
    materialize(tmp_path, {expand(name, tmp_path): content for name, content in files.items()})
    argv = [raw(b"{tmp}/r\xff\n")] if args is None else [str(tmp_path / "run"), *args]
    environment = {"ZEM_SIGNING_KEY": TEST_SEED_B64, **env}
    result = run(["build-certificate", *(expand(a, tmp_path) for a in argv)],
                 env=base_env(**{k: v and expand(v, tmp_path) for k, v in environment.items()}))

    assert result.returncode == code, result
    lines = result.stderr.splitlines()
    assert lines[:1] == ([expand(first_line, tmp_path)] if first_line else []), result
    if code != 2 or not first_line.startswith("error: ") or "Usage:" not in result.stderr:
        assert len(lines) == (1 if first_line else 0), result
    assert_one_line_messages(result.stderr)
    assert_one_line_messages(result.stdout)
    assert TEST_SEED_B64[:12] not in result.stderr + result.stdout
    certificate_path = tmp_path / "cert.json"
    if code == 0:
        load_certificate(certificate_path)
    else:
        assert not certificate_path.exists()


def test_names_that_are_not_utf8_or_hold_control_characters(tmp_path):
    run_dir = make_run(tmp_path, {"s0-preflight": {}})
    (run_dir / "s0-preflight" / raw(b"n\xfe")).write_bytes(b"x")
    os.mkdir(run_dir / raw(b"s\xfd"))  # a stage name that is not UTF-8 is never discovered
    subject = "al\x1b[31mice\u2028\n"
    result = run(["build-certificate", str(run_dir), "--requirements-hash", "h\t", "--tenant-mode",
                  "--signer-subject", subject, "--signer-identity-provider", "p\x7f",
                  "--out", str(tmp_path / "cert.json")], env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    assert result.stderr == ""
    certificate = load_certificate(tmp_path / "cert.json")
    assert [s["stageId"] for s in certificate["stages"]] == ["s0-preflight"]
    assert list(certificate["stages"][0]["artifactHashes"]) == ["n\ufffd"]
    # Text options are recorded exactly; only messages escape.
    assert certificate["signer"] == {"subject": subject, "identityProvider": "p\x7f"}
    assert certificate["intent"]["requirementsHash"] == "h\t"


def test_program_name_with_control_characters_stays_escaped_in_usage():
    completed = subprocess.run(["/opt/cert\x1b[31mwright\nerror: forged", "build-certificate"],
                               executable=BIN, env=base_env(), capture_output=True,
                               stdin=subprocess.DEVNULL, timeout=60)
    assert completed.returncode == 2
    stderr = completed.stderr.decode()
    assert "Usage: cert\\x1b[31mwright\\nerror: forged build-certificate [OPTIONS] <RUN_DIR>" in stderr
    assert_one_line_messages(stderr)
