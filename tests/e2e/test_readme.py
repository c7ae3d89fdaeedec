"""The README's verification recipe works on a real certificate and rejects a tampered one."""

import json
import re
import subprocess
import sys

import pytest

from conftest import ROOT, TEST_SEED_B64, base_env, make_run, run


def readme_recipe():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Verifying a certificate", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@pytest.fixture
def certificate(tmp_path):
    run_dir = make_run(tmp_path, {"s0-preflight": {"a.txt": b"a", "quote\"and\\back.txt": b"b"}})
    result = run(["build-certificate", str(run_dir), "--signer-subject", "alice",
                  "--signer-identity-provider", "idp"], env=base_env(ZEM_SIGNING_KEY=TEST_SEED_B64))
    assert result.returncode == 0, result
    return run_dir / "governance-certificate.json"


def verify(recipe_path, certificate_path):
    return subprocess.run([sys.executable, str(recipe_path), str(certificate_path)],
                          capture_output=True, text=True)


def test_recipe_accepts_the_certificate_and_rejects_tampering(tmp_path, certificate):
    recipe = tmp_path / "verify.py"
    recipe.write_text(readme_recipe(), encoding="utf-8")
    accepted = verify(recipe, certificate)
    assert accepted.returncode == 0, accepted.stderr
    assert accepted.stdout == "ok: operator alice\n"

    tampered = json.loads(certificate.read_text(encoding="utf-8"))
    tampered["stages"][0]["status"] = "failed"
    tampered_path = tmp_path / "tampered.json"
    tampered_path.write_text(json.dumps(tampered, indent=2, ensure_ascii=False), encoding="utf-8")
    assert verify(recipe, tampered_path).returncode != 0
