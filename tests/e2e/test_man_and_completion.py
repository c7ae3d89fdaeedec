"""The man page and the bash completion agree with the parser's option table, so neither can
drift from the command line."""

import pathlib
import re
import subprocess

import pytest

from conftest import ROOT, program_binary, run

MAN_PAGE = ROOT / "docs" / "certwright.1"
COMPLETION = ROOT / "share" / "bash-completion" / "completions" / "certwright"
BASH_COMPLETION = pathlib.Path("/usr/share/bash-completion/bash_completion")


def c_literals(text):
    return "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', text)).replace('\\"', '"').replace("\\\\", "\\")


def option_table(table="build_certificate_options", args="BuildCertificateArgs"):
    """(name, value name, help text) of every row of one table of cli/option_table.cpp, in
    table order."""
    source = (ROOT / "cli" / "option_table.cpp").read_text(encoding="utf-8")
    table = source.split(f"{table} = ", 1)[1].split("});", 1)[0]
    rows = re.findall(r'\{"([a-z-]+)", "([A-Z_0-9]*)", OptionKind::\w+,\s*&' + args + r'::\w+,'
                      r'\s*((?:"(?:[^"\\]|\\.)*"\s*)+)(?:,[^}]*)?\}', table)
    assert len(rows) == table.count(f"&{args}::") > 0, "a row the pattern missed"
    return [(name, value, c_literals(help_text)) for name, value, help_text in rows]


def about_texts():
    """The top-level and subcommand about texts and the RUN_DIR help, from the table's sources."""
    header = (ROOT / "cli" / "option_table.h").read_text(encoding="utf-8")
    source = (ROOT / "cli" / "option_table.cpp").read_text(encoding="utf-8")
    tool = re.search(r"tool_about =\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+);", header).group(1)
    command = re.search(r"\.about =\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+),", source).group(1)
    run_dir = re.search(r"\.positional = \{\"RUN_DIR\", [^,]+,\s*((?:\"(?:[^\"\\]|\\.)*\"\s*)+)\}",
                        source).group(1)
    return [c_literals(tool), c_literals(command), c_literals(run_dir)]


@pytest.fixture(scope="module")
def rendered():
    """The man page as a reader sees it, on one very long line per paragraph."""
    result = subprocess.run(
        ["groff", "-man", "-Tutf8", "-P-cbou", "-rLL=20000n", str(MAN_PAGE)],
        capture_output=True, text=True, check=True)
    return " ".join(result.stdout.split())


def test_man_page_documents_every_option_with_its_help_text(rendered):
    for name, value, help_text in option_table():
        heading = f"--{name} {value}".rstrip()
        assert heading in rendered, heading
        assert " ".join(help_text.split()) in rendered, name
    for text in about_texts():
        assert " ".join(text.split()) in rendered, text
    help_output = run(["build-certificate", "--help"])
    assert help_output.returncode == 0
    for option in set(re.findall(r"^\s+(?:-\w, )?(--[a-z-]+)", help_output.stdout, re.M)):
        assert option in rendered, option


def test_man_page_renders_cleanly_with_every_section(rendered):
    warnings = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", str(MAN_PAGE)],
                              capture_output=True, text=True)
    assert warnings.returncode == 0 and warnings.stderr == "", warnings.stderr
    for section in ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "ENVIRONMENT", "FILES",
                    "EXIT STATUS", "SECURITY", "EXAMPLES", "SEE ALSO"]:
        assert re.search(rf"^\.SH {section}$", MAN_PAGE.read_text(encoding="utf-8"), re.M), section
    for word in ["ZEM_SIGNING_KEY", "ZEM_SIGNING_KEY_PATH", "ZEM_CORPUS_ATTESTATION_PATH",
                 "ZEM_SBOM_DIR", "governance-certificate.json", "-h, --help", "-V, --version",
                 "certwright 0.3.0"]:
        assert word in rendered, word


def test_each_man_page_sees_also_the_other_programs():
    programs = ["certwright", "certwright-verify", "certwright-keygen", "certwright-attest",
                "certwright-countersign", "certwright-index"]
    for program in programs:
        page = (ROOT / "docs" / f"{program}.1").read_text(encoding="utf-8").replace("\\-", "-")
        see_also = page.split("\n.SH SEE ALSO\n", 1)[1].split("\n.SH ", 1)[0]
        named = set(re.findall(r"^\.BR ([\w-]+) \(1\)", see_also, re.M))
        assert named == set(programs) - {program}, (program, named)


@pytest.fixture(params=["standalone", "bash-completion"])
def complete(request, tmp_path):
    """Runs the completion function in bash, in a directory holding the directories runs and
    sbom and the files req.md and key.json; returns the candidates for `words`, the last of
    which is the word under the cursor."""
    if request.param == "bash-completion" and not BASH_COMPLETION.exists():
        pytest.skip("bash-completion is not installed")
    (tmp_path / "runs").mkdir()
    (tmp_path / "sbom").mkdir()
    (tmp_path / "req.md").write_text("r")
    (tmp_path / "key.json").write_text("{}")
    loader = f"source {BASH_COMPLETION}\n" if request.param == "bash-completion" else ""
    script = loader + f"""source {COMPLETION}
complete -p certwright >/dev/null || exit 3
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${{#COMP_LINE}}
_certwright certwright "${{COMP_WORDS[COMP_CWORD]}}" "${{COMP_WORDS[COMP_CWORD - 1]}}"
printf '%s\\n' "${{COMPREPLY[@]}}"
"""

    def candidates(*words):
        result = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash", "certwright", *words],
                                cwd=tmp_path, capture_output=True, text=True, timeout=30)
        assert result.returncode == 0, result.stderr
        return {line for line in result.stdout.split("\n") if line}

    return candidates


ALL_OPTIONS = {f"--{name}" for name, _, _ in option_table()} | {"--help"}

COMPLETIONS = [
    ([""], {"build-certificate", "help"}),
    (["-"], {"-h", "--help", "-V", "--version"}),
    (["help", ""], {"build-certificate", "help"}),
    (["build-certificate", ""], {"runs", "sbom"}),
    (["build-certificate", "--"], ALL_OPTIONS),  # the table's options, no more, no fewer
    (["build-certificate", "--req"], {"--requirements-hash", "--require-operator-key",
                                      "--require-corpus-binding", "--require-sbom-binding"}),
    (["build-certificate", "--tenant-mode", "--business-docs", "req.md", "--t"], set()),
    (["build-certificate", "--business-docs", "req.md", "--bus"], {"--business-docs"}),
    (["build-certificate", "--out", ""], {"runs", "sbom", "req.md", "key.json"}),
    (["build-certificate", "--out", "=", "r"], {"runs", "req.md"}),
    (["build-certificate", "--corpus-attestation", "k"], {"key.json"}),
    (["build-certificate", "--business-docs", "req.md", "k"], {"key.json"}),
    (["build-certificate", "--sbom-dir", ""], {"runs", "sbom"}),
    (["build-certificate", "--repo-root", "=", ""], {"runs", "sbom"}),
    (["build-certificate", "--stage-ids", ""], {"auto"}),
    (["build-certificate", "--signer-subject", ""], set()),
    (["build-certificate", "runs", "--out", "x", ""], ALL_OPTIONS - {"--out"} | {"-h"}),
    (["build-certificate", "--", ""], {"runs", "sbom"}),
]


@pytest.mark.parametrize("words, expected", COMPLETIONS, ids=[" ".join(w) for w, _ in COMPLETIONS])
def test_bash_completion(complete, words, expected):
    assert complete(*words) == expected


PROGRAMS = {
    # program: (option table, its record, the environment variables its page names)
    "certwright-verify": ("verify_options", "VerifyArgs", []),
    "certwright-keygen": ("keygen_options", "KeygenArgs", ["ZEM_SIGNING_KEY", "ZEM_SIGNING_KEY_PATH"]),
    "certwright-attest": ("attest_options", "AttestArgs", ["ZEM_SIGNING_KEY", "ZEM_SIGNING_KEY_PATH"]),
    "certwright-countersign": ("countersign_options", "CountersignArgs",
                               ["CERTWRIGHT_PLATFORM_KEY", "CERTWRIGHT_PLATFORM_KEY_PATH"]),
}


@pytest.mark.parametrize("program", PROGRAMS)
def test_program_man_pages_document_their_option_tables(program):
    page = ROOT / "docs" / f"{program}.1"
    table, args, variables = PROGRAMS[program]
    warnings = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", str(page)],
                              capture_output=True, text=True)
    assert warnings.returncode == 0 and warnings.stderr == "", warnings.stderr
    rendered = " ".join(subprocess.run(
        ["groff", "-man", "-Tutf8", "-P-cbou", "-rLL=20000n", str(page)],
        capture_output=True, text=True, check=True).stdout.split())
    for name, value, help_text in option_table(table, args):
        assert f"--{name}" in rendered and value in rendered, name
        assert " ".join(help_text.split()) in rendered, name
    help_output = run(["--help"], binary=program_binary(program))
    assert help_output.returncode == 0
    about = help_output.stdout.split("\n\n", 1)[0]
    assert " ".join(about.split()) in rendered
    for option in set(re.findall(r"^\s+(?:-\w, )?(--[a-z-]+)", help_output.stdout, re.M)):
        assert option in rendered, option
    for word in ["EXIT STATUS", f"{program} 0.3.0", *variables]:
        assert word in rendered, word


@pytest.mark.parametrize("program, words, expected", [
    ("certwright-verify", ["--require-"], {"--require-operator-key", "--require-corpus-binding",
                                            "--require-sbom-binding", "--require-posture-binding",
                                            "--require-stage", "--require-full-coverage",
                                            "--require-countersign", "--require-timestamp"}),
    ("certwright-verify", ["--format", ""], {"text", "json", "jsonl"}),
    ("certwright-verify", ["--run-dir", ""], {"runs", "sbom"}),
    ("certwright-verify", ["--"], None),
    ("certwright-keygen", ["-"], {"--out", "--public", "--format", "--help", "-h", "--version", "-V"}),
    ("certwright-keygen", ["--public", "k"], {"key.json"}),
    ("certwright-attest", ["-"], {"--out", "--envelope-out", "--subjects", "--timestamp-url",
                                  "--timestamp-timeout",
                                  "--help", "-h", "--version", "-V"}),
    ("certwright-attest", ["--timestamp-url", ""], set()),
    ("certwright-attest", ["--subjects", "b"], {"both"}),
    ("certwright-attest", ["--out", "k"], {"key.json"}),
    ("certwright-countersign", ["--re"], {"--replace", "--revoked-keys", "--require-operator-key",
                                          "--require-corpus-binding", "--require-sbom-binding",
                                          "--require-posture-binding", "--require-stage",
                                          "--require-full-coverage"}),
    ("certwright-countersign", ["--out", "k"], {"key.json"}),
])
def test_program_completions(tmp_path, program, words, expected):
    completion = ROOT / "share" / "bash-completion" / "completions" / program
    (tmp_path / "runs").mkdir()
    (tmp_path / "sbom").mkdir()
    (tmp_path / "key.json").write_text("{}")
    function = "_" + program.replace("-", "_")
    script = f"""source {completion}
COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
{function} {program} "${{COMP_WORDS[COMP_CWORD]}}"
printf '%s\\n' "${{COMPREPLY[@]}}"
"""
    result = subprocess.run(["bash", "--norc", "--noprofile", "-c", script, "bash", program, *words],
                            cwd=tmp_path, capture_output=True, text=True, timeout=30)
    assert result.returncode == 0, result.stderr
    got = {line for line in result.stdout.split("\n") if line}
    if expected is None:  # every long option of the table
        table, args, _ = PROGRAMS[program]
        expected = {f"--{name}" for name, _, _ in option_table(table, args)} | {"--help", "--version"}
    assert got == expected
