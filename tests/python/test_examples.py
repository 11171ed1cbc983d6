"""The demos in examples/ run as a new user runs them."""

import pathlib
import subprocess
import sys

from conftest import SAMPLES, command_env

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=300, env=command_env())


def test_provenance_signs_its_sample_and_leaves_nothing_behind():
    result = run(str(EXAMPLES / "provenance.py"))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("signed ") and "no record moved" in lines[1]
    assert [line.split()[-1] for line in lines[3:7]] == ["warcinfo", "request", "response", "c2paprovenance"]
    assert "identical to the one embedded" in lines[-1]
    sample = pathlib.Path(lines[0].split()[1].rstrip(":"))
    assert not sample.parent.exists()


def test_parallel_counts_every_archive_of_a_directory():
    result = run(str(EXAMPLES / "parallel.py"), str(SAMPLES / "warcat"))
    assert result.returncode == 0, result.stderr
    assert "at.warc.gz: 8 records (2 request, 3 resource, 2 response, 1 warcinfo), 29,884 bytes uncompressed" in result.stdout
    assert result.stdout.splitlines()[-1] == "6 archives"
