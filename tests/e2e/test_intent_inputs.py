"""The intent inputs of a certificate: the requirements hash, the build-spec hash and the
agentic posture projected from the build spec."""

import hashlib
import math
import os
import struct
import subprocess
import time

import pytest

from conftest import BIN, TEST_SEED_B64, base_env, load_certificate, make_run, run, unprivileged

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
    """Emits with an operator key, so that standard error holds only what the inputs cause."""
    kwargs.setdefault("env", base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
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
         'a string at line 2, column 12'),
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


def peak_rss_mib(argv, env):
    """Runs `argv` in a child of a fresh interpreter and gives its exit code and the child's peak
    resident set size in MiB, which counts nothing of this test process."""
    probe = ("import resource, subprocess, sys\n"
             "code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, "
             "stderr=subprocess.DEVNULL).returncode\n"
             "print(code, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    completed = subprocess.run(["/usr/bin/python3", "-c", probe, *argv], env=env,
                               capture_output=True, text=True, timeout=300)
    code, kib = completed.stdout.split()
    return int(code), int(kib) / 1024


def test_aliases_of_a_long_scalar_stay_small_and_fast(tmp_path):
    # 81 KB that would expand to 262 MB: one 64 KiB anchored scalar and 4,000 aliases of it.
    content = (b"big: &big " + b"x" * (64 * 1024) + b"\nagentic_posture: {posture: declared, "
               b"surfaces: [{kind: model-api, governance_envelope: ["
               + b", ".join([b"*big"] * 4000) + b"]}]}\n")
    run_dir = run_with_build_spec(tmp_path, content)
    started = time.monotonic()
    result, certificate = emit(run_dir, *SIGNER, "--requirements-hash", "r")
    assert time.monotonic() - started < 5
    assert "agenticPostureBinding" not in certificate
    assert result.stderr == (
        f"warning: Build Spec at {build_spec_of(run_dir)} did not parse for agentic_posture: the "
        "document holds more than 33554432 bytes of scalar text with aliases expanded at line 2, "
        "column 3149 (posture unstated)\n")
    assert (run_dir / CERT).stat().st_size < 64 * 1024
    code, peak = peak_rss_mib([BIN, "build-certificate", str(run_dir), *SIGNER, "--requirements-hash",
                               "r", "--out", str(tmp_path / "again.json")], base_env())
    assert code == 0
    assert peak < 64, f"peak RSS {peak:.0f} MiB"


def test_business_documents_are_streamed_not_held(tmp_path):
    run_dir = make_run(tmp_path)
    sparse = tmp_path / "huge.md"
    with open(sparse, "wb") as out:
        out.truncate(1 << 30)
    code, peak = peak_rss_mib([BIN, "build-certificate", str(run_dir), "--business-docs", str(sparse),
                               "--out", str(tmp_path / "cert.json")], base_env())
    assert code == 0
    assert peak < 128, f"peak RSS {peak:.0f} MiB for a 1 GiB document"
    expected = hashlib.sha256(struct.pack("<Q", 1 << 30))
    zeros = bytes(1 << 20)
    for _ in range(1 << 10):
        expected.update(zeros)
    assert load_certificate(tmp_path / "cert.json")["intent"] == {
        "requirementsHash": expected.hexdigest()}


def test_build_spec_fifo_is_not_waited_on(tmp_path):
    run_dir = run_with_build_spec(tmp_path, None)
    (run_dir / "s5-ui-specification").mkdir()
    os.mkfifo(build_spec_of(run_dir))
    result, certificate = emit(run_dir, *SIGNER, "--requirements-hash", "r")
    assert "build-spec" not in result.stderr.replace("build-spec.yaml (not a regular file)", "")
    assert "Build Spec" not in result.stderr
    assert certificate["buildSpec"] == {"hash": ""}
    assert "agenticPostureBinding" not in certificate


def test_floats_too_small_for_a_double_are_signed_zeros(tmp_path):
    content = (b"agentic_posture:\n  posture: declared\n  surfaces:\n    - kind: model-api\n"
               b"      governance_envelope: {a: 1e-400, b: -1e-330, c: 1e-5}\n")
    run_dir = run_with_build_spec(tmp_path, content)
    result, certificate = emit(run_dir, *SIGNER, "--requirements-hash", "r")
    assert result.stderr == ""
    envelope = certificate["agenticPostureBinding"]["surfaces"][0]["governanceEnvelope"]
    assert envelope == {"a": 0.0, "b": 0.0, "c": 1e-5}
    assert math.copysign(1, envelope["a"]) == 1 and math.copysign(1, envelope["b"]) == -1
    assert b'"b": -0.0' in (run_dir / CERT).read_bytes()
