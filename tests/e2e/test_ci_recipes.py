"""The pipeline recipes of docs/ci.md, run as the CI systems would run them, emit an
operator-signed tenant certificate with both bindings, and fail the job instead of emitting a
weaker one."""

import base64
import datetime
import json
import os
import re
import shutil
import subprocess

import jsonschema
import pytest
import yaml

from conftest import BIN, KEYGEN, ROOT, VERIFY, base_env, load_certificate

GUIDE = ROOT / "docs" / "ci.md"
DEMO_RUN = ROOT / "examples" / "runs" / "demo-run-0001"
SEED_B64 = (ROOT / "examples" / "demo-signing-key.b64").read_text().strip()
CERTIFICATE = "governance-certificate.json"


def recipe(section):
    text = GUIDE.read_text(encoding="utf-8").split(f"## {section}\n", 1)[1]
    return yaml.safe_load(re.search(r"```yaml\n(.*?)```", text, re.S).group(1))


def github_steps():
    steps = recipe("GitHub Actions")["jobs"]["factory"]["steps"]
    emit = next(step for step in steps if "certwright build-certificate" in step.get("run", ""))
    keep = next(step for step in steps if step.get("uses", "").startswith("actions/upload-artifact@"))
    install = next(step for step in steps if "certwright_" in step.get("run", ""))
    return install, emit, keep


def gitlab_job():
    return recipe("GitLab CI")["governance-certificate"]


def make_workspace(tmp_path):
    """A checked-out repository after the factory ran: a run directory, requirement documents,
    a corpus attestation, a BOM with its audit file, and certwright on the PATH."""
    shutil.copytree(DEMO_RUN, tmp_path / ".factory" / "runs" / "r-77")
    (tmp_path / "docs" / "requirements").mkdir(parents=True)
    (tmp_path / "docs" / "requirements" / "orders.md").write_text("# Orders\n")
    (tmp_path / ".factory" / "corpus-attestation.json").write_text(
        '{"schemaVersion": "1", "tool": {"name": "varrow", "version": "0.9.1"},'
        ' "inputsManifestHash": "m", "registryHash": "r",'
        ' "verdicts": {"compile": {"ok": true}, "lint": {"ok": true, "findingsHash": "f"}}}')
    (tmp_path / ".factory" / "sbom.cdx.json").write_text(
        '{"metadata": {"tools": {"components": [{"name": "cyclonedx-npm", "version": "1.19.0"}]}}}')
    (tmp_path / ".factory" / "audit.json").write_text("{}")
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "certwright").symlink_to(BIN)
    return tmp_path


@pytest.fixture
def workspace(tmp_path):
    return make_workspace(tmp_path)


def run_script(script, workspace, variables):
    env = base_env(**variables)
    env["PATH"] = f"{workspace / 'bin'}:{env['PATH']}"
    return subprocess.run(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c", script],
                          cwd=workspace, env=env, capture_output=True, text=True, timeout=300)


def github(workspace, secret=SEED_B64):
    _, emit, _ = github_steps()
    expressions = {"${{ secrets.CERTWRIGHT_SIGNING_KEY }}": secret,
                   "${{ steps.factory.outputs.run-dir }}": ".factory/runs/r-77"}
    step_env = {name: expressions[value] for name, value in emit["env"].items()}
    return run_script(emit["run"], workspace, {
        "GITHUB_ACTOR": "octocat", "GITHUB_REPOSITORY": "example/orders",
        "GITHUB_RUN_ID": "4242", "GITHUB_RUN_ATTEMPT": "1", **step_env})


def gitlab(workspace, key_file=None):
    if key_file is None:
        key_file = workspace / "seed-file"
        key_file.write_text(SEED_B64 + "\n")
    return run_script("\n".join(gitlab_job()["script"]), workspace, {
        "CERTWRIGHT_SIGNING_KEY": str(key_file), "FACTORY_RUN_DIR": ".factory/runs/r-77",
        "GITLAB_USER_LOGIN": "octocat", "CI_PROJECT_PATH": "example/orders",
        "CI_PIPELINE_ID": "4242", "CI_JOB_ID": "1"})


def kept_paths(system):
    if system == "github":
        return [github_steps()[2]["with"]["path"]]
    return gitlab_job()["artifacts"]["paths"]


@pytest.mark.parametrize("system, provider", [("github", "github-actions@example/orders"),
                                              ("gitlab", "gitlab-ci@example/orders")])
def test_recipe_emits_a_bound_operator_signed_tenant_certificate(workspace, system, provider):
    result = (github if system == "github" else gitlab)(workspace)
    assert result.returncode == 0, result.stderr
    assert kept_paths(system) == [CERTIFICATE]
    certificate = load_certificate(workspace / CERTIFICATE)
    assert certificate["signer"]["subject"] == "octocat"
    assert certificate["signer"]["identityProvider"] == provider
    assert certificate["signingAttestation"]["kind"] == "operator"
    assert {"corpusBinding", "sbomArtifactBinding", "agenticPostureBinding"} <= certificate.keys()
    assert [stage["stageId"] for stage in certificate["stages"]] == sorted(
        path.name for path in DEMO_RUN.iterdir() if path.is_dir())


@pytest.mark.parametrize("system", ["github", "gitlab"])
def test_recipe_fails_the_job_without_key_or_binding(workspace, system):
    if system == "github":
        missing_key = github(workspace, secret="")  # an unset secret expands to ""
    else:
        missing_key = gitlab(workspace, key_file=workspace / "absent")
    (workspace / ".factory" / "audit.json").unlink()
    missing_binding = (github if system == "github" else gitlab)(workspace)
    for result in (missing_key, missing_binding):
        assert result.returncode == 2, result.stderr
    assert not (workspace / CERTIFICATE).exists()


def test_recipes_install_the_package_that_cpack_builds():
    version = re.search(r"project\(certwright VERSION ([0-9.]+)",
                        (ROOT / "CMakeLists.txt").read_text()).group(1)
    package = f"./certwright_{version}_amd64.deb"
    assert package in github_steps()[0]["run"]
    assert any(package in line for line in gitlab_job()["before_script"])


def test_key_recipe_makes_a_seed_only_its_owner_can_read(tmp_path):
    before_first_run = GUIDE.read_text(encoding="utf-8").split("## Before the first run\n", 1)[1]
    snippet = re.search(r"```sh\n(.*?)```", before_first_run, re.S).group(1)
    keygen_dir = os.path.dirname(KEYGEN)
    completed = subprocess.run(["bash", "--noprofile", "--norc", "-ec", f"umask 022\n{snippet}"],
                               cwd=tmp_path, capture_output=True, text=True, timeout=60,
                               env={**os.environ, "PATH": keygen_dir + ":" + os.environ["PATH"]})
    assert completed.returncode == 0, completed.stderr
    key, public = sorted(tmp_path.iterdir())
    assert key.stat().st_mode & 0o777 == 0o600
    assert len(base64.b64decode(key.read_text().strip(), validate=True)) == 32
    assert public.name == key.name + ".pub" and public.read_text().split()[0] in completed.stdout


def consuming_gate():
    """The gate step of "After the run", its policy file and its allowed-signers file."""
    text = GUIDE.read_text(encoding="utf-8").split("## After the run\n", 1)[1]
    blocks = re.findall(r"```yaml\n(.*?)```", text, re.S)
    step = yaml.safe_load(blocks[0])[0]
    signers = re.search(r"```\n(#.*?)```", text, re.S).group(1)
    return step, blocks[1], signers


def test_gate_policy_is_valid_against_its_schema():
    schema = json.loads((ROOT / "docs" / "policy.schema.json").read_text(encoding="utf-8"))
    jsonschema.validate(yaml.safe_load(consuming_gate()[1]), schema)


def test_consuming_gate_pins_the_run(workspace):
    """The gate of "After the run" accepts the certificate of the run it consumes; a gate that
    consumes another run refuses that certificate though the same key sealed it, and so does one
    whose run directory drifted."""
    step, policy, signers = consuming_gate()
    assert step["env"] == {"FACTORY_RUN_DIR": "${{ needs.factory.outputs.run-dir }}"}
    # The example's expiry is a date; the gate here runs against a policy that has not expired.
    tomorrow = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)
    policy = re.sub(r'expires: "[^"]*"', f'expires: "{tomorrow:%Y-%m-%dT%H:%M:%SZ}"', policy)
    (workspace / "certwright-gate.yaml").write_text(policy)
    (workspace / "certwright-allowed-signers").write_text(signers)
    (workspace / "bin" / "certwright-verify").symlink_to(VERIFY)
    shutil.copytree(workspace / ".factory" / "runs" / "r-77", workspace / ".factory" / "runs" / "r-78")
    assert github(workspace).returncode == 0

    def gate(run_dir):
        return run_script(step["run"], workspace, {"FACTORY_RUN_DIR": run_dir})

    result = gate(".factory/runs/r-77")
    assert result.returncode == 0, result.stdout + result.stderr
    for report in ["verify-report.json", "verify-junit.xml", "verify-summary.md", "verify-report.html"]:
        assert (workspace / report).exists(), report
    another_run = gate(".factory/runs/r-78")
    assert another_run.returncode == 1 and "FAIL pipeline-run-id" in another_run.stdout, another_run
    artifact = next(path for path in (workspace / ".factory" / "runs" / "r-77").rglob("*")
                    if path.is_file())
    artifact.write_bytes(artifact.read_bytes() + b"changed")
    drifted = gate(".factory/runs/r-77")
    assert drifted.returncode == 1 and "drift" in drifted.stdout, drifted
