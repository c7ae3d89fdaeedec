"""The README's links lead somewhere, the options it names exist, and its usage examples work as
printed. (Its verification pointer leads to docs/verifying.md, whose recipes test_verifying.py
runs.)"""

import os
import re
import subprocess

import pytest

from conftest import BIN, ROOT, load_certificate, run
from test_ci_recipes import SEED_B64, make_workspace, run_script

README = (ROOT / "README.md").read_text(encoding="utf-8")


def section(title):
    return README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def test_links_resolve():
    links = re.findall(r"\]\(([^)#]+)\)", README)
    assert links
    for link in links:
        assert (ROOT / link).exists(), link


def test_links_resolve_in_the_installed_documentation(tmp_path):
    """Installed flat, the pages' links are rewritten to lead to what is installed beside them
    (or to the man pages); none may lead nowhere."""
    subprocess.run(["cmake", "--install", os.path.dirname(BIN), "--prefix", tmp_path],
                   capture_output=True, check=True)
    doc = tmp_path / "share" / "doc" / "certwright"
    pages = sorted(doc.glob("*.md"))
    assert {page.name for page in pages} >= {"README.md", "verifying.md", "ci.md"}
    checked = 0
    for page in pages:
        for link in re.findall(r"\]\(([^)#:]+)\)", page.read_text(encoding="utf-8")):
            assert (doc / link).resolve().is_file(), f"{page.name}: {link}"
            checked += 1
    assert checked >= 10
    # The paths the man pages and pages name under the documentation directory are installed.
    named = set()
    for page in [*(ROOT / "docs").glob("*.1"), *(ROOT / "docs").glob("*.md"), ROOT / "README.md"]:
        text = page.read_text(encoding="utf-8").replace("\\-", "-")
        named |= set(re.findall(r"/usr/share/doc/certwright/([\w.-]+\w)", text))
    assert named and all((doc / name).is_file() for name in named), named
    assert "](../../man/man1/certwright.1.gz)" in (doc / "README.md").read_text(encoding="utf-8")


def test_every_option_named_exists():
    help_text = run(["build-certificate", "--help"]).stdout
    for program in ("certwright-verify", "certwright-keygen"):
        help_text += (ROOT / "docs" / f"{program}.1").read_text(encoding="utf-8").replace("\\-", "-")
    known = set(re.findall(r"--[a-z][a-z-]+", help_text)) | {"--version"}
    user_guide = "".join(section(title) for title in ["Usage", "Exit codes", "Environment"])
    named = set(re.findall(r"--[a-z][a-z-]+", user_guide))
    assert named and named <= known, named - known


def test_usage_examples_emit_what_they_promise(tmp_path):
    workspace = make_workspace(tmp_path)
    (workspace / "docs" / "requirements.md").write_text("# Requirements\n")
    key_file = workspace / "certwright.key"
    key_file.write_text(SEED_B64 + "\n")
    plain, tenant = re.findall(r"```sh\n(.*?)```", section("Usage"), re.S)
    env = {"OPERATOR_SEED_B64": SEED_B64, "CI_USER": "octocat"}
    for example in (plain.replace("/run/secrets/certwright.key", str(key_file)), tenant):
        result = run_script(example.replace("r-1234", "r-77"), workspace, env)
        assert result.returncode == 0, result.stderr

    plain_certificate = load_certificate(workspace / ".factory/runs/r-77/governance-certificate.json")
    assert "signer" not in plain_certificate
    assert plain_certificate["signingAttestation"]["note"] == "source=ZEM_SIGNING_KEY_PATH"
    tenant_certificate = load_certificate(workspace / "governance-certificate.json")
    assert tenant_certificate["signer"]["subject"] == "octocat"
    assert {"corpusBinding", "sbomArtifactBinding"} <= tenant_certificate.keys()


def packages_installed_by(tmp_path, *args):
    """What `scripts/deps ARGS` would ask apt-get to install on a machine that has nothing."""
    stubs = tmp_path / "stubs"
    stubs.mkdir(exist_ok=True)
    log = tmp_path / "apt-get.log"
    (stubs / "dpkg-query").write_text("#!/bin/sh\nexit 1\n")
    (stubs / "apt-get").write_text(f'#!/bin/sh\n[ "$1" = install ] && echo "$@" >> {log}\nexit 0\n')
    (stubs / "sudo").write_text('#!/bin/sh\nexec "$@"\n')
    for stub in stubs.iterdir():
        stub.chmod(0o755)
    log.write_text("")
    env = {**os.environ, "PATH": f"{stubs}:{os.environ['PATH']}"}
    completed = subprocess.run([str(ROOT / "scripts" / "deps"), *args], env=env,
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 0, completed.stderr
    return {word for word in log.read_text().split() if not word.startswith("-")} - {"install"}


def test_demo_installs_only_what_building_needs_and_test_installs_the_rest(tmp_path):
    assert "\nscripts/deps build\n" in (ROOT / "scripts" / "demo").read_text(encoding="utf-8")
    build = packages_installed_by(tmp_path, "build")
    test = packages_installed_by(tmp_path, "test")
    assert {"cmake", "g++", "libssl-dev", "libyaml-dev", "libsimdjson-dev"} <= build
    assert not build & {"clang-16", "llvm", "gdb", "valgrind", "hyperfine", "in-toto", "rhash",
                        "gnuplot-nox", "libgtest-dev", "libbenchmark-dev"}
    assert build < test and {"clang-16", "gdb", "strace", "libgtest-dev"} <= test


def test_pictures_are_rendered_from_the_sources_beside_them():
    """Each picture the README shows is its Graphviz source as rendered now (compared by the
    texts it draws, which do not depend on the fonts installed)."""
    shown = re.findall(r"!\[[^\]]*\]\((docs/pictures/[^)]+\.svg)\)", README)
    assert len(shown) == 2
    for picture in shown:
        source = (ROOT / picture).with_suffix(".dot")
        rendered = subprocess.run(["dot", "-Tsvg", source], capture_output=True, text=True,
                                  check=True).stdout
        texts = lambda svg: re.findall(r"<text[^>]*>([^<]*)</text>", svg)
        committed = (ROOT / picture).read_text(encoding="utf-8")
        assert texts(committed) == texts(rendered), f"{picture}: run scripts/render-pictures"


@pytest.mark.parametrize("state", ["installed 0.2.0", "config-files 0.2.0", "half-installed 0.2.0"])
def test_check_package_leaves_an_installed_certwright_alone(tmp_path, state):
    """scripts/check-package installs and removes its own package; where dpkg already knows a
    certwright package it could not put that one back, so it stops before changing anything."""
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    log = tmp_path / "calls.log"
    log.write_text("")
    (stubs / "dpkg-query").write_text(
        f'#!/bin/sh\nfor a; do [ "$a" = certwright ] && {{ printf "{state}"; exit 0; }}; done\nexit 1\n')
    for program in ("sudo", "apt-get", "dpkg", "cmake", "cpack"):
        (stubs / program).write_text(f'#!/bin/sh\necho "{program} $*" >> {log}\nexit 0\n')
    for stub in stubs.iterdir():
        stub.chmod(0o755)
    env = {**os.environ, "PATH": f"{stubs}:{os.environ['PATH']}"}
    completed = subprocess.run([str(ROOT / "scripts" / "check-package")], env=env,
                               capture_output=True, text=True, timeout=60)
    assert completed.returncode == 1, completed
    assert completed.stderr.startswith(
        f"check-package: a certwright package is on this machine ({state.split()[0]}, version "
        "0.2.0)"), completed.stderr
    assert log.read_text() == ""
