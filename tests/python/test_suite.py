"""The suite's own rules: with CI=true, a test that skips for a dependency CI
installs fails instead, and every skip is written down for the run's summary."""

import subprocess
import sys

import pytest

from conftest import command_env

NEEDS = """
import sys
from conftest import importorskip

def test_needs():
    sys.modules["{module}"] = None  # as if it were not installed
    importorskip("{module}.x", "{module} is missing")
"""

CI_RUNS = [
    # (why, CI, extras installed, the dependency missing, the outcome)
    ("not CI", "", "test", "fastwarc", "skipped"),
    ("CI installs FastWARC with the test extra", "true", "test", "fastwarc",
     "failed" if sys.version_info >= (3, 10) else "skipped"),  # no wheel for 3.9
    ("CI installs Spark with the spark extra", "true", "test spark", "pyspark", "failed"),
    ("without the spark extra", "true", "test", "pyspark", "skipped"),
    ("CI installs no fsspec", "true", "test spark", "fsspec", "skipped"),
]


@pytest.mark.parametrize("why, ci, extras, module, outcome", CI_RUNS, ids=[c[0] for c in CI_RUNS])
def test_a_skip_for_what_ci_installs_fails_a_ci_run(tmp_path, why, ci, extras, module, outcome):
    (tmp_path / "test_needs.py").write_text(NEEDS.format(module=module))
    env = dict(command_env(), CI=ci, VELLUMARK_EXTRAS=extras, VELLUMARK_SKIPPED_FILE=str(tmp_path / "skipped.txt"))
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "conftest", "-p", "no:cacheprovider", str(tmp_path / "test_needs.py")],
                         capture_output=True, text=True, cwd=tmp_path, env=env, timeout=120)
    assert f"1 {outcome}" in run.stdout, run.stdout
    written = (tmp_path / "skipped.txt").read_text() if (tmp_path / "skipped.txt").exists() else ""
    assert (f"1 skipped ({module} is missing): test_needs.py::test_needs" in written) == (outcome == "skipped"), written
