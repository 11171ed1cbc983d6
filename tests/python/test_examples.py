"""The demos in examples/ run as a new user runs them."""

import json
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import SAMPLES, command_env, run_command

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


@pytest.mark.parametrize("sample", ["pywb/example.warc.gz", "warcat/at.warc"])
def test_placeholder_store_serves_the_binding_workflow(tmp_path, sample):
    """The README's workflow, command by command, on archives other tools wrote (WARC/1.0)."""
    pytest.importorskip("cbor2", reason="the example writes its CBOR with cbor2")
    archive = tmp_path / pathlib.Path(sample).name
    shutil.copy(SAMPLES / sample, archive)
    signed = tmp_path / archive.name.replace(".warc", ".c2pa.warc")
    placeholder, final = tmp_path / "placeholder.c2pa", tmp_path / "final.c2pa"
    assert run(str(EXAMPLES / "placeholder_store.py"), "placeholder", str(placeholder)).returncode == 0
    assert run_command("sign", archive, "--manifest", placeholder).returncode == 0
    first = run_command("hash", signed).stdout
    written = subprocess.run([sys.executable, str(EXAMPLES / "placeholder_store.py"), "final", str(final)], input=first,
                             capture_output=True, timeout=60, env=command_env())
    assert written.returncode == 0 and final.stat().st_size == placeholder.stat().st_size
    line = run_command("sign", signed, "--manifest", final).stdout.decode()
    assert "binding matches" in line and "moved" not in line
    assert run_command("hash", signed).stdout == first  # the same range and hash
    checked = run_command("check", "-v", signed)
    assert checked.returncode == 0 and "binding matches" in checked.stdout.decode()
    assert json.loads(first)["exclusions"][0]["start"] + json.loads(first)["exclusions"][0]["length"] == signed.stat().st_size
