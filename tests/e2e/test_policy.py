"""certwright-verify --policy: the gate's policy as one file, added to by options and never
loosened by them, named in the report by its digest, and refused with its key and line when
malformed."""

import datetime
import hashlib
import json

import jsonschema
import pytest

from conftest import ROOT, TEST_PUBLIC_B64, VERIFY, encode, reseal, run
from test_verify import emit, verify

SCHEMA = json.loads((ROOT / "docs" / "policy.schema.json").read_text(encoding="utf-8"))


def failing(result):
    return [line.split()[1][:-1] for line in result.stdout.splitlines() if line.startswith("FAIL ")]


def checks_of(result):
    return [line.split()[1][:-1] for line in result.stdout.splitlines()
            if line.startswith(("ok ", "FAIL "))]


@pytest.fixture(scope="module")
def gate(tmp_path_factory):
    """A certificate and a directory holding the operator's public key file."""
    tmp = tmp_path_factory.mktemp("policy")
    emitted = emit(tmp)
    keys = tmp / "keys"
    keys.mkdir()
    (keys / "operator.pub").write_text(TEST_PUBLIC_B64 + " operator\n")
    return emitted[1], keys


def write_policy(directory, text, name="policy.yaml"):
    path = directory / name
    path.write_text(text, encoding="utf-8")
    return path


def later(hours):
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(hours=hours)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


YAML_POLICY = """\
version: 1
public-key-files: [operator.pub]
require-stages:
  - s0-preflight
forbid-skipped: true
max-age: 1h
"""
JSON_POLICY = json.dumps({"version": 1, "public-key-files": ["operator.pub"],
                          "require-stages": ["s0-preflight"], "forbid-skipped": True,
                          "max-age": "1h"})


@pytest.mark.parametrize("text, name", [(YAML_POLICY, "policy.yaml"), (JSON_POLICY, "policy.json")])
def test_policy_file_states_the_gate_and_the_report_names_it(gate, text, name):
    certificate, keys = gate
    policy = write_policy(keys, text, name)
    # Run from elsewhere: the key file is found beside the policy, not in the working directory.
    result = run([str(certificate), "--policy", str(policy), "--format", "json"],
                 binary=VERIFY, cwd="/")
    assert result.returncode == 0, result
    report = json.loads(result.stdout)
    names = [check["name"] for check in report["checks"]]
    assert names[0] == "policy" and {"trusted-key", "stage-policy", "max-age"} <= set(names)
    assert report["policy"] == {"path": str(policy),
                                "sha256": hashlib.sha256(policy.read_bytes()).hexdigest()}
    jsonschema.validate(json.loads(JSON_POLICY), SCHEMA)


def test_options_add_to_the_policy_and_never_loosen_it(gate):
    certificate, keys = gate
    policy = write_policy(keys, YAML_POLICY)
    # Two hours on, the policy's 1h fails even though the option allows 7d.
    result = verify(certificate, "--policy", policy, "--max-age", "7d", "--at", later(2))
    assert failing(result) == ["max-age"] and "older than 1h" in result.stdout, result
    # An option's shorter age wins, and its stage joins the policy's.
    result = verify(certificate, "--policy", policy, "--max-age", "1m", "--at", later(0.5),
                    "--require-stage", "s9-missing")
    assert failing(result) == ["stage-policy", "max-age"], result
    assert 'stage "s9-missing" is not recorded' in result.stdout
    assert "older than 1m" in result.stdout


def test_expired_policy_fails_the_policy_check(gate):
    certificate, keys = gate
    policy = write_policy(keys, YAML_POLICY + f'expires: "{later(1)}"\n')
    assert verify(certificate, "--policy", policy).returncode == 0
    result = verify(certificate, "--policy", policy, "--at", later(1.01))
    assert failing(result) == ["policy", "max-age"], result
    assert "expired at" in result.stdout


@pytest.mark.parametrize("how", ["policy", "option"])
def test_other_stages_forbidden(tmp_path, gate, how):
    """A stray directory that discovery recorded as a passed stage fails the gate."""
    certificate = json.loads(gate[0].read_text())
    certificate["stages"].append(dict(certificate["stages"][0], stageId="scratch"))
    stray = tmp_path / "stray.json"
    stray.write_text(encode(reseal(certificate), pretty=True))
    stages = ["s0-preflight", "s1-business-requirements", "s5-ui-specification"]
    if how == "policy":
        policy = write_policy(gate[1], YAML_POLICY.replace("forbid-skipped: true", "other-stages: forbid")
                              .replace("  - s0-preflight\n", "".join(f"  - {s}\n" for s in stages)))
        options = ["--policy", policy]
    else:
        options = ["--public-key", TEST_PUBLIC_B64, "--forbid-other-stages",
                   *[arg for stage in stages for arg in ("--require-stage", stage)]]
    result = verify(stray, *options)
    assert failing(result) == ["stage-policy"], result
    assert 'stage "scratch" is recorded but not required' in result.stdout
    assert verify(gate[0], *options).returncode == 0


@pytest.mark.parametrize("text, message", [
    ("version: 1\nforbid-skipped: true\nmax-ages: 1h\n", 'line 3: key "max-ages" is not a policy key'),
    ("version: 1\nmax-age: 1h\nmax-age: 2h\n", 'line 3: key "max-age" appears a second time'),
    ('{"version": 1,\n "max-age": "1h",\n "max-age": "2h"}', 'line 3: key "max-age" appears a second time'),
    ("version: 1\nforbid-skipped: 'yes'\n", 'line 2: key "forbid-skipped": expected true or false'),
    ("version: 1\nrequire-stages: s0\n", 'line 2: key "require-stages": expected a list of strings'),
    ("version: 1\nmax-age: 3 weeks\n", 'line 2: key "max-age": expected a whole number'),
    ("version: 1\nexpires: tomorrow\n", 'line 2: key "expires": expected an RFC 3339 date-time'),
    ("version: 1\nother-stages: deny\n", 'line 2: key "other-stages": expected "allow" or "forbid"'),
    ("version: 1\npublic-keys: [not-a-key]\n", 'line 2: key "public-keys": "not-a-key"'),
    ("version: 2\n", 'line 1: key "version": version 2 is not known'),
    ("max-age: 1h\n", 'key "version" is required'),
    ("- version: 1\n", "the policy is not one mapping"),
    (f"version: 1\npublic-keys: ['{TEST_PUBLIC_B64}']\nrequire-timestamp: 1\n",
     "'--require-timestamp' needs the trusted timestamp authorities"),
    (f"version: 1\npublic-keys: ['{TEST_PUBLIC_B64}']\ntsa-certs-files: [missing.pem]\n",
     "missing.pem: No such file or directory"),
    ("version: 1\nmax-age: 1h\n", "trust must be stated"),
])
def test_malformed_policy_is_a_usage_error_naming_key_and_line(gate, text, message):
    policy = write_policy(gate[1], text, "bad.yaml")
    result = verify(gate[0], "--policy", policy)
    assert result.returncode == 2 and result.stdout == "", result
    assert message in result.stderr, result.stderr


def test_policy_schema_is_printed_and_is_the_shipped_one():
    result = verify("--policy-schema")
    assert result.returncode == 0, result
    assert json.loads(result.stdout) == SCHEMA
    assert result.stdout == (ROOT / "docs" / "policy.schema.json").read_text(encoding="utf-8")
    jsonschema.Draft202012Validator.check_schema(SCHEMA)


def test_without_a_policy_file_the_report_carries_the_effective_policy(gate):
    result = verify(gate[0], "--public-key", TEST_PUBLIC_B64, "--require-stage", "s0-preflight",
                    "--max-age", "24h", "--format", "json")
    assert result.returncode == 0, result
    policy = json.loads(result.stdout)["policy"]
    assert set(policy) == {"effective", "sha256"}
    assert hashlib.sha256(policy["effective"].encode()).hexdigest() == policy["sha256"]
    effective = json.loads(policy["effective"])
    assert policy["effective"] == json.dumps(effective, sort_keys=True, separators=(",", ":"))
    jsonschema.validate(effective, SCHEMA)
    assert effective["public-keys"] == [TEST_PUBLIC_B64] and effective["max-age"] == "24h"
    assert "policy" not in checks_of(verify(gate[0], "--public-key", TEST_PUBLIC_B64))
