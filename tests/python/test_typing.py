"""The installed type stubs: documented usage passes mypy --strict, misuse fails it."""

import importlib.metadata
import pathlib
import re
import subprocess
import sys

import pytest
from conftest import importorskip

ROOT = pathlib.Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"


def mypy(*paths: pathlib.Path) -> subprocess.CompletedProcess:
    """mypy --strict over `paths`, or over the installed vellumark_tools when none are given."""
    importorskip("mypy", "mypy is a test extra: pip install '.[test]'")
    try:
        files = importlib.metadata.files("vellumark") or []
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("vellumark is not installed as a distribution, so its stubs are not either")
    if not any(str(f).replace("\\", "/") == "vellumark-stubs/__init__.pyi" for f in files):
        pytest.fail("the installed distribution does not ship vellumark-stubs/__init__.pyi")
    targets = [str(p) for p in paths] if paths else ["-p", "vellumark_tools"]
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-version",
               f"{sys.version_info.major}.{sys.version_info.minor}", *targets]
    return subprocess.run(command, capture_output=True, text=True, cwd=ROOT, timeout=300)


def test_examples_and_documented_usage_type_check():
    result = mypy(TYPING / "usage_ok.py", *sorted((ROOT / "examples").glob("*.py")))
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_tools_package_type_checks():
    result = mypy()  # the installed package, as a user's mypy sees it
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_caught_line_by_line():
    bad = TYPING / "usage_bad.py"
    expected = {n for n, line in enumerate(bad.read_text().splitlines(), 1) if line.endswith("# E")}
    result = mypy(bad)
    flagged = {int(n) for n in re.findall(r"usage_bad\.py:(\d+): error", result.stdout)}
    assert flagged == expected, result.stdout
