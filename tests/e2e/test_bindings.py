"""The corpus-attestation and SBOM bindings: where the files come from, the hashes bound on the
tenant path, the warnings when a file does not resolve, and the two refusals."""

import json
import os

import pytest

from conftest import ROOT, TEST_SEED_B64, base_env, load_certificate, make_run, run, sha256_hex

CERT = "governance-certificate.json"
SIGNER = ["--signer-subject", "alice", "--signer-identity-provider", "idp"]

CORPUS_REFUSAL = (
    "error: --require-corpus-binding was set but no corpus binding could be applied (a corpus "
    "attestation must resolve AND a signer must be present); refusing to emit a certificate "
    "without the required corpus binding.\n"
)
SBOM_REFUSAL = (
    "error: --require-sbom-binding was set but no SBOM artifact binding could be applied (the "
    "BOM/audit artifacts must resolve AND a signer must be present); refusing to emit a "
    "certificate without the required SBOM binding.\n"
)
CORPUS_DROPPED = (
    "warning: a corpus attestation was supplied but no signer; corpus binding is applied only on "
    "the tenant (signer) build path (spec 220 FR-007). Emitting without corpus binding.\n"
)
SBOM_DROPPED = (
    "warning: an SBOM directory was supplied but no signer; the SBOM binding is applied only on "
    "the tenant (signer) build path (spec 203 FR-003). Emitting without SBOM binding.\n"
)

# Unordered, spaced, with keys the binding ignores, escapes, and "couple" present.
ATTESTATION = (
    b'{ "verdicts": { "lint": {"findingsHash": "fh", "ok": false, "notes": [1, 2]},\n'
    b'                "couple": {"joinHash": "j\\/h", "indexHash": "ih", "ok": true},\n'
    b'                "compile": {"ok": false} },\n'
    b'  "registryHash": "rh", "extra": {"x": null}, "extra": 2,\n'
    b'  "tool": {"version": "0.4.2", "name": "varrow"},\n'
    b'  "schemaVersion": "1.0-\\u00e9\\u0001", "inputsManifestHash": "im" }\n'
)
# CycloneDX 1.5 tools form; the serial is an integer beyond 64 bits, which is still JSON.
BOM = (
    b'{"bomFormat": "CycloneDX", "serialNumber": 123456789012345678901234567890,\n'
    b' "metadata": {"tools": {"components": [{"name": "lister", "version": "1.0"},\n'
    b'   {"name": "Site-CycloneDX-Writer", "version": "2.7.9"}]}}}\n'
)
AUDIT = b"audit log\x00\xff\n"

LISTED = {
    "schemaVersion": None,
    "tool": {"name": None, "version": None},
    "inputsManifestHash": None,
    "registryHash": None,
    "verdicts": {
        "compile": {"ok": None},
        "lint": {"ok": None, "findingsHash": None},
        "couple": {"ok": None, "indexHash": None, "joinHash": None},
    },
}


def canonical_attestation(raw):
    """The listed fields only, "couple" dropped when null, keys sorted, two-space pretty layout
    and one final line feed."""

    def keep(value, shape):
        if shape is None:
            return value
        return {key: keep(value[key], shape[key]) for key in shape if value.get(key) is not None}

    record = keep(json.loads(raw), LISTED)
    return (json.dumps(record, indent=2, sort_keys=True, ensure_ascii=False) + "\n").encode()


def write_sbom_dir(path, bom=BOM, audit=AUDIT):
    factory = path / ".factory"
    factory.mkdir(parents=True)
    if bom is not None:
        (factory / "sbom.cdx.json").write_bytes(bom)
    if audit is not None:
        (factory / "audit.json").write_bytes(audit)
    return path


@pytest.fixture
def run_dir(tmp_path):
    return make_run(tmp_path, {"s0-preflight": {"report.json": b"{}"}})


@pytest.fixture
def attestation(tmp_path):
    path = tmp_path / "attestation.json"
    path.write_bytes(ATTESTATION)
    return path


@pytest.fixture
def sbom_dir(tmp_path):
    return write_sbom_dir(tmp_path / "sbom")


def binding_lines(stderr):
    return [line for line in stderr.splitlines(keepends=True)
            if "cert unbound" in line or "no signer" in line]


def test_canonical_text_is_not_the_file_bytes():
    text = canonical_attestation(ATTESTATION)
    assert text.startswith(b'{\n  "inputsManifestHash": "im",\n  "registryHash": "rh",\n')
    assert '"schemaVersion": "1.0-é\\u0001"'.encode() in text
    assert sha256_hex(text) != sha256_hex(ATTESTATION)


def test_tenant_path_binds_both_artifacts_by_hash(run_dir, attestation, sbom_dir):
    result = run(["build-certificate", str(run_dir), "--corpus-attestation", str(attestation),
                  "--sbom-dir", str(sbom_dir), *SIGNER])
    assert result.returncode == 0, result
    assert binding_lines(result.stderr) == []
    certificate = load_certificate(run_dir / CERT)
    assert certificate["corpusBinding"] == {
        "corpusAttestationHash": sha256_hex(canonical_attestation(ATTESTATION)),
        "varrowVersion": "0.4.2",
    }
    assert certificate["sbomArtifactBinding"] == {
        "bomHash": sha256_hex(BOM),
        "auditHash": sha256_hex(AUDIT),
        "bomToolVersion": "2.7.9",
    }


def test_without_signer_both_bindings_are_dropped_with_warnings(run_dir, attestation, sbom_dir):
    result = run(["build-certificate", str(run_dir), "--corpus-attestation", str(attestation),
                  "--sbom-dir", str(sbom_dir)])
    assert result.returncode == 0, result
    assert binding_lines(result.stderr) == [CORPUS_DROPPED, SBOM_DROPPED]
    certificate = load_certificate(run_dir / CERT)
    assert "corpusBinding" not in certificate
    assert "sbomArtifactBinding" not in certificate


def test_options_beat_the_environment(tmp_path, run_dir, attestation, sbom_dir):
    # The variables name files that would each give a warning if they were read.
    malformed = tmp_path / "malformed.json"
    malformed.write_bytes(b"{not json")
    empty_dir = tmp_path / "empty"
    empty_dir.mkdir()
    env = base_env(ZEM_CORPUS_ATTESTATION_PATH=str(malformed), ZEM_SBOM_DIR=str(empty_dir))
    result = run(["build-certificate", str(run_dir), "--corpus-attestation", str(attestation),
                  "--sbom-dir", str(sbom_dir), *SIGNER], env=env)
    assert result.returncode == 0, result
    assert binding_lines(result.stderr) == []
    certificate = load_certificate(run_dir / CERT)
    assert certificate["corpusBinding"]["varrowVersion"] == "0.4.2"
    assert certificate["sbomArtifactBinding"]["bomHash"] == sha256_hex(BOM)


def test_environment_fallbacks_and_empty_sbom_dir_is_the_working_directory(run_dir, attestation,
                                                                            sbom_dir):
    env = base_env(ZEM_CORPUS_ATTESTATION_PATH=str(attestation), ZEM_SBOM_DIR="")
    result = run(["build-certificate", str(run_dir), *SIGNER], env=env, cwd=sbom_dir)
    assert result.returncode == 0, result
    certificate = load_certificate(run_dir / CERT)
    assert certificate["corpusBinding"]["corpusAttestationHash"] == sha256_hex(
        canonical_attestation(ATTESTATION))
    assert certificate["sbomArtifactBinding"]["auditHash"] == sha256_hex(AUDIT)


@pytest.mark.parametrize("variable", ["ZEM_CORPUS_ATTESTATION_PATH", "ZEM_SBOM_DIR"])
def test_a_variable_that_is_not_utf8_counts_as_unset(tmp_path, run_dir, variable):
    env = base_env()
    env[variable] = os.fsencode(tmp_path) + b"/\xff"
    result = run(["build-certificate", str(run_dir), *SIGNER], env=env)
    assert result.returncode == 0, result
    assert binding_lines(result.stderr) == []


@pytest.mark.parametrize(
    "bom, expected_version",
    [
        (b"this is not JSON", "unknown"),
        (b'{"metadata": {"tools": [{"name": "lister", "version": "0.98.0"}]}}', "0.98.0"),
    ],
)
def test_any_bom_is_bound_by_its_bytes(tmp_path, run_dir, bom, expected_version):
    sbom_dir = write_sbom_dir(tmp_path / "sbom", bom=bom)
    result = run(["build-certificate", str(run_dir), "--sbom-dir", str(sbom_dir), *SIGNER])
    assert result.returncode == 0, result
    assert load_certificate(run_dir / CERT)["sbomArtifactBinding"] == {
        "bomHash": sha256_hex(bom),
        "auditHash": sha256_hex(AUDIT),
        "bomToolVersion": expected_version,
    }


def test_sbom_dir_is_opened_by_its_bytes(tmp_path, run_dir):
    sbom_dir = write_sbom_dir(tmp_path / "sbom-\udcff")
    result = run(["build-certificate", str(run_dir), "--sbom-dir", os.fsencode(sbom_dir), *SIGNER])
    assert result.returncode == 0, result
    assert load_certificate(run_dir / CERT)["sbomArtifactBinding"]["bomHash"] == sha256_hex(BOM)


def test_attestation_path_is_opened_by_its_bytes(tmp_path, run_dir):
    path = tmp_path / "attestation-\udcff.json"
    path.write_bytes(ATTESTATION)
    result = run(["build-certificate", str(run_dir), "--corpus-attestation", os.fsencode(path),
                  "--require-corpus-binding", *SIGNER])
    assert result.returncode == 0, result
    assert load_certificate(run_dir / CERT)["corpusBinding"]["corpusAttestationHash"] == sha256_hex(
        canonical_attestation(ATTESTATION))


# RFC 8259 bounds no number: values beyond 64 bits or a double, under keys the record does not
# list, at any level, leave the binding as it is.
@pytest.mark.parametrize("extra", [b"18446744073709551616", b"1e400", b"-9223372036854775809",
                                   b'{"deep": [1, {"x": 123456789012345678901234567890}]}'])
def test_attestation_binds_whatever_numbers_its_ignored_keys_hold(tmp_path, run_dir, extra):
    path = tmp_path / "attestation.json"
    path.write_bytes(ATTESTATION.replace(b'"extra": 2', b'"extra": ' + extra)
                     .replace(b'"notes": [1, 2]', b'"notes": [' + extra + b"]"))
    result = run(["build-certificate", str(run_dir), "--corpus-attestation", str(path),
                  "--require-corpus-binding", *SIGNER])
    assert result.returncode == 0, result
    assert binding_lines(result.stderr) == []
    assert load_certificate(run_dir / CERT)["corpusBinding"]["corpusAttestationHash"] == sha256_hex(
        canonical_attestation(ATTESTATION))


def test_missing_audit_file_leaves_the_binding_out(tmp_path, run_dir):
    sbom_dir = write_sbom_dir(tmp_path / "sbom", audit=None)
    result = run(["build-certificate", str(run_dir), "--sbom-dir", str(sbom_dir), *SIGNER])
    assert result.returncode == 0, result
    assert binding_lines(result.stderr) == [
        f"warning: audit artifact {sbom_dir}/.factory/audit.json unreadable: "
        "No such file or directory (cert unbound)\n"
    ]
    assert "sbomArtifactBinding" not in load_certificate(run_dir / CERT)


@pytest.mark.parametrize(
    "case, args, warning, refusal",
    [
        ("attestation missing", ["--corpus-attestation", "{tmp}/absent.json"],
         "warning: corpus attestation {tmp}/absent.json unreadable: No such file or directory "
         "(cert unbound)\n", CORPUS_REFUSAL),
        ("attestation a directory", ["--corpus-attestation", "{tmp}"],
         "warning: corpus attestation {tmp} unreadable: Is a directory (cert unbound)\n",
         CORPUS_REFUSAL),
        ("attestation not UTF-8", ["--corpus-attestation", "{tmp}/latin1.json"],
         "warning: corpus attestation {tmp}/latin1.json unreadable: stream did not contain "
         "valid UTF-8 (cert unbound)\n", CORPUS_REFUSAL),
        ("attestation path not UTF-8", ["--corpus-attestation", b"{tmp}/\xff.json"],
         "warning: corpus attestation {tmp}/\ufffd.json unreadable: No such file or directory "
         "(cert unbound)\n", CORPUS_REFUSAL),
        ("attestation with a number for a string", ["--corpus-attestation", "{tmp}/numeric.json"],
         "warning: {tmp}/numeric.json is not a CorpusAttestation: invalid type for "
         "`schemaVersion`: expected a string (cert unbound)\n", CORPUS_REFUSAL),
        ("attestation with a listed key twice", ["--corpus-attestation", "{tmp}/twice.json"],
         "warning: {tmp}/twice.json is not a CorpusAttestation: duplicate field `version` "
         "(cert unbound)\n", CORPUS_REFUSAL),
        ("BOM missing", ["--sbom-dir", "{tmp}/no-bom"],
         "warning: SBOM {tmp}/no-bom/.factory/sbom.cdx.json unreadable: No such file or directory "
         "(cert unbound)\n", SBOM_REFUSAL),
        ("BOM under a directory that is not UTF-8", ["--sbom-dir", b"{tmp}/\xff"],
         "warning: SBOM {tmp}/\ufffd/.factory/sbom.cdx.json unreadable: No such file or directory "
         "(cert unbound)\n", SBOM_REFUSAL),
        ("audit missing", ["--sbom-dir", "{tmp}/no-audit"],
         "warning: audit artifact {tmp}/no-audit/.factory/audit.json unreadable: No such file or "
         "directory (cert unbound)\n", SBOM_REFUSAL),
    ],
)
def test_unresolved_binding_warns_then_required_binding_refuses(tmp_path, run_dir, case, args,
                                                                warning, refusal):
    (tmp_path / "latin1.json").write_bytes(ATTESTATION.replace(b"varrow", b"v\xe9rrow"))
    (tmp_path / "numeric.json").write_bytes(ATTESTATION.replace(b'"1.0-\\u00e9\\u0001"', b"1"))
    (tmp_path / "twice.json").write_bytes(ATTESTATION.replace(b'"version": "0.4.2"',
                                                              b'"version": "0.4.2", "version": "1"'))
    write_sbom_dir(tmp_path / "no-bom", bom=None)
    write_sbom_dir(tmp_path / "no-audit", audit=None)
    require = "--require-corpus-binding" if refusal == CORPUS_REFUSAL else "--require-sbom-binding"

    def fill(arg):
        if isinstance(arg, bytes):
            return arg.replace(b"{tmp}", os.fsencode(tmp_path))
        return arg.format(tmp=tmp_path)

    result = run(["build-certificate", str(run_dir), *map(fill, args), require, *SIGNER])
    assert result.returncode == 2, (case, result)
    assert result.stderr.endswith(fill(warning) + refusal), (case, result.stderr)
    assert binding_lines(result.stderr) == [fill(warning)], case
    assert not (run_dir / CERT).exists()


def test_required_corpus_binding_needs_a_signer(run_dir, attestation):
    result = run(["build-certificate", str(run_dir), "--corpus-attestation", str(attestation),
                  "--require-corpus-binding"])
    assert result.returncode == 2, result
    assert result.stderr.endswith(CORPUS_REFUSAL)
    assert binding_lines(result.stderr) == []
    assert not (run_dir / CERT).exists()


def test_the_documented_example_attestation_binds(tmp_path):
    """examples/corpus-attestation.json, the minimal file docs/corpus-attestation.md shows."""
    example = ROOT / "examples" / "corpus-attestation.json"
    out = tmp_path / "c.json"
    result = run(["build-certificate", str(ROOT / "examples" / "runs" / "demo-run-0001"),
                  "--corpus-attestation", str(example), "--require-corpus-binding",
                  "--signer-subject", "s", "--signer-identity-provider", "p", "--out", str(out)],
                 env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    binding = json.loads(out.read_text())["corpusBinding"]
    assert binding["varrowVersion"] == "0.4.2"
