"""Shared helpers for the end-to-end suite: run the real binary, build run directories, and
check certificates with code that shares nothing with the tool."""

import base64
import functools
import hashlib
import json
import math
import os
import pathlib
import shutil
import subprocess
import tempfile

import jsonschema
import pytest
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey

ROOT = pathlib.Path(__file__).resolve().parents[2]


def program_binary(program):
    """The binary under test: $CERTWRIGHT_BIN, $CERTWRIGHT_VERIFY_BIN, ... or the dev build's."""
    variable = program.upper().replace("-", "_") + "_BIN"
    return os.path.abspath(os.environ.get(variable, str(ROOT / "build" / "dev" / program)))


BIN = program_binary("certwright")
VERIFY = program_binary("certwright-verify")
KEYGEN = program_binary("certwright-keygen")
ATTEST = program_binary("certwright-attest")
COUNTERSIGN = program_binary("certwright-countersign")
INDEX = program_binary("certwright-index")

DEFAULT_STAGES = [
    "s0-preflight",
    "s1-business-requirements",
    "s2-service-requirements",
    "s3-data-model",
    "s4-api-specification",
    "s5-ui-specification",
]

# RFC 8032 section 7.1, test 1.
TEST_SEED = bytes.fromhex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60")
TEST_SEED_B64 = base64.b64encode(TEST_SEED).decode()
TEST_PUBLIC_B64 = base64.b64encode(
    bytes.fromhex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a")
).decode()

ENV_VARS = ("ZEM_SIGNING_KEY", "ZEM_SIGNING_KEY_PATH", "ZEM_CORPUS_ATTESTATION_PATH", "ZEM_SBOM_DIR")


class Result:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout.decode("utf-8", "surrogateescape")
        self.stderr = completed.stderr.decode("utf-8", "surrogateescape")

    def __repr__(self):
        return f"Result(rc={self.returncode}, stdout={self.stdout!r}, stderr={self.stderr!r})"


def base_env(**overrides):
    """The test process's environment without any ZEM_ variable, plus `overrides`
    (a value of None removes the variable)."""
    env = {k: v for k, v in os.environ.items() if k not in ENV_VARS}
    env.setdefault("ASAN_OPTIONS", "detect_leaks=1")
    for key, value in overrides.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run(args, env=None, cwd=None, binary=BIN, prefix=()):
    """Runs certwright with `args` (str or bytes each) and returns its Result."""
    completed = subprocess.run(
        [*prefix, binary, *args],
        env=base_env() if env is None else env,
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        timeout=120,
    )
    return Result(completed)


def sigstore_node():
    """The node binary for the JavaScript checks in tests/js; the test is skipped when they are
    not installed, and fails instead under CERTWRIGHT_REQUIRE_JS."""
    node = shutil.which("node")
    if node is None or not (ROOT / "tests" / "js" / "node_modules").is_dir():
        if os.environ.get("CERTWRIGHT_REQUIRE_JS"):
            pytest.fail("tests/js is not installed (npm ci in tests/js) or node is missing")
        pytest.skip("tests/js is not installed")
    return node


def make_run(root, stages=None, name="run-42"):
    """Creates a run directory under `root`: {stage: {file name: bytes}}; returns its path."""
    run_dir = pathlib.Path(root) / name
    run_dir.mkdir(parents=True)
    for stage, files in (stages or {}).items():
        stage_dir = run_dir / stage
        stage_dir.mkdir(parents=True, exist_ok=True)
        for file_name, content in files.items():
            (stage_dir / file_name).write_bytes(content)
    return run_dir


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


# ---- an independent encoder ----

def _encode_double(value):
    if not math.isfinite(value):
        return "null"
    if value == 0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign = "-" if value < 0 else ""
    mantissa, _, exponent = repr(abs(value)).partition("e")
    digits_with_point = mantissa
    int_part, _, frac_part = digits_with_point.partition(".")
    digits = (int_part + frac_part).lstrip("0")
    # Decimal exponent of the first significant digit.
    lead_zeros = len(int_part + frac_part) - len((int_part + frac_part).lstrip("0"))
    e = len(int_part) - 1 - lead_zeros + (int(exponent) if exponent else 0)
    digits = digits.rstrip("0") or "0"
    n = len(digits)
    if -5 <= e <= 15:
        if e >= n - 1:
            text = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            text = digits[: e + 1] + "." + digits[e + 1 :]
        else:
            text = "0." + "0" * (-e - 1) + digits
    else:
        text = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("+" if e > 0 else "-") + str(abs(e))
    return sign + text


def _encode_string(text):
    out = ['"']
    for ch in text:
        code = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ch in "\b\t\n\f\r":
            out.append({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}[ch])
        elif code < 0x20:
            out.append("\\u%04x" % code)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def encode(value, pretty=False, depth=0):
    """Encodes a parsed certificate (dicts keep file order) by the certificate's JSON rules."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return _encode_double(value)
    if isinstance(value, str):
        return _encode_string(value)
    if isinstance(value, (list, dict)):
        items = list(value.items()) if isinstance(value, dict) else list(value)
        open_, close = ("{", "}") if isinstance(value, dict) else ("[", "]")
        if not items:
            return open_ + close
        parts = []
        for item in items:
            if isinstance(value, dict):
                key, member = item
                parts.append(_encode_string(key) + (": " if pretty else ":") + encode(member, pretty, depth + 1))
            else:
                parts.append(encode(item, pretty, depth + 1))
        if not pretty:
            return open_ + ",".join(parts) + close
        indent = "  " * (depth + 1)
        return open_ + "\n" + ",\n".join(indent + p for p in parts) + "\n" + "  " * depth + close
    raise TypeError(type(value))


def hash_view(certificate):
    view = dict(certificate)
    view["certificateHash"] = ""
    view["certSignature"] = ""
    view.pop("platformCountersign", None)
    return view


def signing_view(certificate):
    view = dict(certificate)
    view["certSignature"] = ""
    view.pop("platformCountersign", None)
    return view


def public_key_of(seed_b64):
    """The Base64 public key of a Base64 seed."""
    key = Ed25519PrivateKey.from_private_bytes(base64.b64decode(seed_b64.strip(), validate=True))
    raw = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    return base64.b64encode(raw).decode()


def reseal(certificate, seed_b64=None):
    """Seals `certificate` (in place) with the seed's key (the test seed's by default), as the
    emitter does: its key, its hash, its signature."""
    seed_b64 = seed_b64 or TEST_SEED_B64
    certificate["signingPublicKey"] = public_key_of(seed_b64)
    certificate["certificateHash"] = sha256_hex(encode(hash_view(certificate)).encode())
    key = Ed25519PrivateKey.from_private_bytes(base64.b64decode(seed_b64.strip()))
    signature = key.sign(encode(signing_view(certificate)).encode())
    certificate["certSignature"] = base64.b64encode(signature).decode()
    return certificate


@functools.cache
def certificate_schema_validator():
    """A validator for docs/certificate.schema.json, the published certificate schema."""
    schema = json.loads((ROOT / "docs" / "certificate.schema.json").read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def load_certificate(path):
    """Reads a certificate file, checks that its bytes are the canonical pretty encoding of its
    content, its hash and its signature, and that it satisfies the published schema; returns the
    parsed certificate."""
    raw = pathlib.Path(path).read_bytes()
    certificate = json.loads(raw.decode("utf-8"))
    certificate_schema_validator().validate(certificate)
    assert encode(certificate, pretty=True).encode("utf-8") == raw, "pretty bytes do not re-encode"
    compact_hash_view = encode(hash_view(certificate)).encode("utf-8")
    assert hashlib.sha256(compact_hash_view).hexdigest() == certificate["certificateHash"]
    public_key = Ed25519PublicKey.from_public_bytes(base64.b64decode(certificate["signingPublicKey"], validate=True))
    signature = base64.b64decode(certificate["certSignature"], validate=True)
    public_key.verify(signature, encode(signing_view(certificate)).encode("utf-8"))
    return certificate


@pytest.fixture
def cli():
    return run


@pytest.fixture
def shared_tmp():
    """A temporary directory that an unprivileged user can traverse, removed afterwards."""
    path = pathlib.Path(tempfile.mkdtemp(prefix="certwright_e2e."))
    path.chmod(0o755)
    yield path
    shutil.rmtree(path)


def unprivileged(shared_tmp):
    """The binary and the prefix that run it as a user that file modes apply to: root reads
    files whatever their mode, so as root it runs as nobody from a copy it can reach."""
    if os.geteuid() != 0:
        return BIN, ()
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv is needed to drop root")
    binary = shared_tmp / "certwright"
    shutil.copy(BIN, binary)
    binary.chmod(0o755)
    return str(binary), ("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups")
