from conftest import run


def test_version_line():
    result = run(["--version"])
    assert (result.returncode, result.stdout, result.stderr) == (0, "certwright 0.3.0\n", "")
