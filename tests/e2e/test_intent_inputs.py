"""The intent inputs of a certificate: the requirements hash, the build-spec hash and the
agentic posture projected from the build spec."""

import hashlib
import struct
import time

import pytest

from conftest import base_env, load_certificate, make_run, run, unprivileged

CERT = "governance-certificate.json"
SIGNER = ["--signer-subject", "alice", "--signer-identity-provider", "idp"]
NO_REQUIREMENTS_WARNING = (
    "warning: neither --requirements-hash nor --business-docs supplied; "
    "intent.requirementsHash will be empty\n"
)
DEFAULTED = {"posture": "none", "defaulted": True}

FULL_SPEC = b"""\
service: orders
agentic_posture:
  posture: governed
  owner: platform-team
  surfaces:
    - kind: tool-surface
      description: shell tools
    - kind: model-api
      extra: ignored
      governance_envelope:
        max_tokens: 2048
        temperature: 0.2
        scale: 100.0
        huge: 1e16
        tiny: -.inf
        offset: -3
        models: [small, 'true', true, ~]
        max_tokens: 4096
    - kind: tool-surface
"""
FULL_BINDING = {
    "posture": "governed",
    "defaulted": False,
    "surfaces": [
        {"kind": "tool-surface", "description": "shell tools"},
        {
            "kind": "model-api",
            "governanceEnvelope": {
                "huge": 1e16,
                "max_tokens": 4096,
                "models": ["small", "true", True, None],
                "offset": -3,
                "scale": 100.0,
                "temperature": 0.2,
                "tiny": None,
            },
        },
        {"kind": "tool-surface"},
    ],
}


def run_with_build_spec(root, content):
    """A run directory whose build spec holds `content` (no build spec when None)."""
    stages = ({"s0-preflight": {}} if content is None
              else {"s5-ui-specification": {"build-spec.yaml": content}})
    return make_run(root, stages)


def build_spec_of(run_dir):
    return run_dir / "s5-ui-specification" / "build-spec.yaml"


def emit(run_dir, *args, **kwargs):
    result = run(["build-certificate", str(run_dir), *map(str, args)], **kwargs)
    assert result.returncode == 0, result
    return result, load_certificate(run_dir / CERT)


def requirements_hash(*documents):
    sha = hashlib.sha256()
    for document in documents:
        sha.update(struct.pack("<Q", len(document)) + document)
    return sha.hexdigest()


@pytest.mark.parametrize(
    "content, binding",
    [
        (b"", DEFAULTED),
        (b"# nothing stated yet\n", DEFAULTED),
        (b"service: orders\n", DEFAULTED),
        (b"agentic_posture:\n", DEFAULTED),
        (b"agentic_posture: null\n", DEFAULTED),
        (b"agentic_posture:\n  posture: none\n", {"posture": "none", "defaulted": False}),
        (FULL_SPEC, FULL_BINDING),
    ],
)
def test_tenant_certificate_carries_the_build_spec_hash_and_posture(tmp_path, content, binding):
    run_dir = run_with_build_spec(tmp_path, content)
    result, certificate = emit(run_dir, *SIGNER)
    assert certificate["buildSpec"] == {"hash": hashlib.sha256(content).hexdigest()}
    assert certificate["agenticPostureBinding"] == binding
    assert "Build Spec" not in result.stderr
    # Doubles keep their double form: 100.0 and 1e16 are written as such, not as integers.
    if content == FULL_SPEC:
        raw = (run_dir / CERT).read_text()
        assert '"scale": 100.0' in raw and '"huge": 1e+16' in raw and '"offset": -3' in raw


def test_posture_is_bound_only_on_the_tenant_path(tmp_path):
    run_dir = run_with_build_spec(tmp_path, FULL_SPEC)
    result, certificate = emit(run_dir)
    assert "agenticPostureBinding" not in certificate
    assert "signer" not in certificate
    assert certificate["buildSpec"] == {"hash": hashlib.sha256(FULL_SPEC).hexdigest()}
    assert result.stderr == NO_REQUIREMENTS_WARNING  # the posture is dropped silently


@pytest.mark.parametrize(
    "content, hashed",
    [
        (None, False),  # no build spec at all
        (b"agentic_posture:\n  posture: \xff\n", True),  # not UTF-8: hashed, never projected
    ],
)
def test_build_spec_that_cannot_be_read_as_text_gives_no_binding_silently(tmp_path, content, hashed):
    run_dir = run_with_build_spec(tmp_path, content)
    result, certificate = emit(run_dir, *SIGNER)
    expected_hash = hashlib.sha256(content).hexdigest() if hashed else ""
    assert certificate["buildSpec"] == {"hash": expected_hash}
    assert "agenticPostureBinding" not in certificate
    assert result.stderr == NO_REQUIREMENTS_WARNING


@pytest.mark.parametrize(
    "content, error",
    [
        (b"agentic_posture:\n  posture: Declared\n",
         'agentic_posture.posture: expected one of "none", "declared", "governed", found '
         '"Declared" at line 2, column 12'),
        (b"agentic_posture:\n  posture: none\n  surfaces:\n    kind: model-api\n",
         "agentic_posture.surfaces: expected a sequence, found a mapping at line 4, column 5"),
        (b"a: 1\n---\nb: 2\n", "a second document starts at line 2, column 1; only one is allowed"),
        (b"a: [1, 2\n", "did not find expected ',' or ']' at line 2, column 1 "
                        "(while parsing a flow sequence at line 1, column 4)"),
    ],
)
def test_build_spec_that_does_not_parse_warns_and_gives_no_binding(tmp_path, content, error):
    run_dir = run_with_build_spec(tmp_path, content)
    result, certificate = emit(run_dir, *SIGNER, "--requirements-hash", "r")
    assert result.stderr == (
        f"warning: Build Spec at {build_spec_of(run_dir)} did not parse for agentic_posture: "
        f"{error} (posture unstated)\n"
    )
    assert "agenticPostureBinding" not in certificate
    assert certificate["buildSpec"] == {"hash": hashlib.sha256(content).hexdigest()}


def test_alias_bomb_in_the_build_spec_fails_fast(tmp_path):
    lines = ["l0: &l0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]"]
    for level in range(1, 10):
        lines.append(f"l{level}: &l{level} [" + ", ".join([f"*l{level - 1}"] * 10) + "]")
    lines += ["agentic_posture:", "  posture: governed", "  surfaces:",
              "    - {kind: model-api, governance_envelope: *l9}"]
    run_dir = run_with_build_spec(tmp_path, "\n".join(lines).encode() + b"\n")
    started = time.monotonic()
    result, certificate = emit(run_dir, *SIGNER)
    assert time.monotonic() - started < 5
    assert "agenticPostureBinding" not in certificate
    assert "did not parse for agentic_posture: aliases expand to more than 100000 nodes" in result.stderr


def test_unreadable_build_spec_gives_the_hash_warning_and_no_binding(shared_tmp):
    run_dir = run_with_build_spec(shared_tmp, b"agentic_posture:\n  posture: governed\n")
    build_spec_of(run_dir).chmod(0)
    for directory in (run_dir, run_dir / "s5-ui-specification"):
        directory.chmod(0o755)
    out = shared_tmp / "out"
    out.mkdir()
    out.chmod(0o777)
    binary, prefix = unprivileged(shared_tmp)
    result = run(["build-certificate", str(run_dir), *SIGNER, "--requirements-hash", "r",
                  "--out", str(out / CERT)], binary=binary, prefix=prefix)
    assert result.returncode == 0, result
    # The stage walk warns about the same file on its own account, after this.
    assert result.stderr.startswith(
        f"warning: could not hash build-spec at {build_spec_of(run_dir)}: Permission denied\n"
    )
    assert "Build Spec" not in result.stderr
    certificate = load_certificate(out / CERT)
    assert certificate["buildSpec"] == {"hash": ""}
    assert "agenticPostureBinding" not in certificate


@pytest.mark.parametrize(
    "docs, given, expected, warns",
    [
        ([b"ab", b"c"], None, requirements_hash(b"ab", b"c"), False),
        ([b"c", b"ab"], "ignored", requirements_hash(b"c", b"ab"), False),
        ([b""], None, requirements_hash(b""), False),
        ([], "not-a-hash", "not-a-hash", False),
        ([], "", "", True),
        ([], None, "", True),
    ],
)
def test_requirements_hash(tmp_path, docs, given, expected, warns):
    run_dir = make_run(tmp_path, {"s0-preflight": {}})
    paths = []
    for index, content in enumerate(docs):
        paths.append(tmp_path / f"doc-{index}.md")
        paths[-1].write_bytes(content)
    args = (["--business-docs", *paths] if paths else []) + (
        [f"--requirements-hash={given}"] if given is not None else [])
    result, certificate = emit(run_dir, *args)
    assert certificate["intent"] == {"requirementsHash": expected}
    assert result.stderr == (NO_REQUIREMENTS_WARNING if warns else "")


def test_unreadable_business_doc_stops_before_the_key_check(tmp_path):
    run_dir = run_with_build_spec(tmp_path, b"agentic_posture: {posture: none}\n")
    (tmp_path / "first.md").write_bytes(b"first")
    missing = tmp_path / "missing.md"
    result = run(["build-certificate", str(run_dir), *SIGNER, "--business-docs",
                  str(tmp_path / "first.md"), str(missing)],
                 env=base_env(ZEM_SIGNING_KEY="garbage"))
    assert result.returncode == 2, result
    assert result.stdout == ""
    assert result.stderr == f"error: could not read --business-docs file {missing}: No such file or directory\n"
    assert not (run_dir / CERT).exists()
