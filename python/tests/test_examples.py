"""The examples in examples/python run against the small set-up and say what they should."""
import pathlib
import shutil
import subprocess
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples" / "python"


def run(*args):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True)


def test_check(setup):
    passed = run(EXAMPLES / "check.py", setup.archive, setup.rule, "--component", setup.filecheck)
    assert passed.returncode == 0 and passed.stdout == "passed\n", passed.stderr
    missing = run(EXAMPLES / "check.py", setup.folder / "none.zip", setup.rule)
    assert missing.returncode == 2 and "none.zip" in missing.stderr


def test_sweep(setup, tmp_path):
    out = run(EXAMPLES / "sweep.py", setup.total, setup.subject, "JSJ01", "--component", setup.filecheck,
              "--jobs", "2", "--json", tmp_path / "result.json")
    assert out.returncode == 1, out.stderr
    assert "DOC-03" in out.stdout and "module Word: 3 questions, 2 passed, 1 failed" in out.stdout
    assert (tmp_path / "result.json").exists()


def test_check_banks(setup, tmp_path):
    for code in ("JSJ01", "JSJ02"):
        (tmp_path / code).mkdir()
        shutil.copy(setup.total, tmp_path / code / "total.db")
        shutil.copy(setup.subject, tmp_path / code / "subject.db")
    out = run(EXAMPLES / "check_banks.py", tmp_path, "--rate", "1", "--component", setup.filecheck)
    assert out.returncode in (0, 1), out.stderr
    assert "JSJ01:" in out.stdout
    # JSJ02 is listed in no total bank: its check fails, naming no record.
    assert "JSJ02: NOT PASSED" in out.stdout
    assert out.stdout.rstrip().endswith("subjects passed")
