"""examples/spark_job.py: the names it gives without Spark, what it refuses before
Spark starts, and one census and one signing run in local mode."""

import collections
import dataclasses
import gzip
import importlib.util
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest
import vellumark
import vellumark_tools
from vellumark_tools.errors import shown

from conftest import SAMPLES, missing

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "examples" / "spark_job.py"
_spec = importlib.util.spec_from_file_location("spark_job", SCRIPT)
job = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(job)

STORE = b"\x00\x00\x00\x20jumb" + b"x" * 24
NOT_UTF8 = os.fsdecode(b"caf\xe9")


@pytest.mark.parametrize(
    "root, path, compressed, expected",
    [
        ("/in/", "/in/sub/deeper/x.warc.gz", True, "sub/deeper/x.c2pa.warc.gz"),
        ("/in", "/in/x.warc", True, "x.c2pa.warc.gz"),  # the data decides .gz, not the name
        ("/in", "/in/x.c2pa.warc", False, "x.c2pa.warc"),  # signed again: the same name
        ("/in", "/in/2026-01-01T00:00:00Z[1]{a,b}*?.warc", False, "2026-01-01T00:00:00Z[1]{a,b}*?.c2pa.warc"),
        ("/in", f"/in/{NOT_UTF8}.warc", False, f"{NOT_UTF8}.c2pa.warc"),
        ("hdfs:///crawls/2026", "hdfs://nn:8020/crawls/2026/sub/x.warc.gz", True, "sub/x.c2pa.warc.gz"),
        ("hdfs://nn:8020/crawls/", "hdfs://nn:8020/crawls/a:b.warc", False, "a:b.c2pa.warc"),
        ("s3a://bucket/crawls", "s3a://bucket/crawls/2026/[x].warc.gz", True, "2026/[x].c2pa.warc.gz"),
    ],
)
def test_output_names(root, path, compressed, expected):
    assert job.output_path(path, root, "/out", compressed) == "/out/" + expected


@pytest.mark.parametrize(
    "location, expected",
    [("run/2026-01-01T00:00:00Z", "run/2026-01-01T00:00:00Z"), ("file:///data/x", "/data/x"), ("file:/data/x", "/data/x"),
     ("file://localhost/data/x", "/data/x"), ("hdfs:///crawls", None), ("s3a://bucket/x", None)],
)
def test_local_paths(location, expected):
    assert job.local_path(location) == expected


@pytest.mark.parametrize(
    "path, out_dir, signing, expected",
    [
        ("/in/.dot.warc", None, False, "taken"),  # Spark's readers hide it; the command reads it
        ("/in/_under.warc.gz", None, False, "taken"),
        ("/in/.x.warc.0a1b2c3d.partial", None, False, "a temporary output"),
        ("/in/x.cdxj", None, False, "an index"),
        ("/in/x.c2pa.warc", "/elsewhere", True, "already signed"),
        ("/in/out/x.warc", "/in/out", True, "left out"),  # OUT_DIR inside INPUT_DIR holds outputs
        ("/in/output.warc", "/in/out", True, "taken"),
        ("/in/sub/x.warc", "/in", True, "taken"),  # OUT_DIR is INPUT_DIR: outputs beside inputs
        ("hdfs://nn/in/out/x.warc", "/in/out", True, "taken"),
    ],
)
def test_files_picked(path, out_dir, signing, expected):
    root = "hdfs://nn/in" if path.startswith("hdfs:") else "/in"
    archives, skipped = job.pick([path], root, out_dir, signing)
    if expected in ("taken", "left out"):
        assert (archives, skipped) == ([path] if expected == "taken" else [], [])
    else:
        assert archives == [] and expected in skipped[0][1]


@pytest.mark.parametrize(
    "args, message",
    [
        (["{tmp}", "--append", "{store}", "--output", "{store}"], "not a directory"),
        (["{tmp}", "--json", "{tmp}/missing/census.json"], "no such directory"),
        (["{tmp}", "--append", "{store}"], "--append and --output go together"),
        (["{tmp}", "--append", "{store}", "--output", "hdfs:///signed"], "must be a local directory"),
        (["{tmp}/nowhere"], "no such directory"),
    ],
)
def test_refused_before_spark_starts(tmp_path, monkeypatch, capsys, args, message):
    (tmp_path / "store").write_bytes(STORE)
    monkeypatch.setattr(job, "spark_context", lambda master: pytest.fail("Spark was started"))
    with pytest.raises(SystemExit) as stopped:
        job.main([a.format(tmp=tmp_path, store=tmp_path / "store") for a in args])
    assert stopped.value.code == 2 and message in capsys.readouterr().err


def test_a_url_without_fsspec_fails_that_archive_in_one_line(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    result = job.work("hdfs://nn:8020/crawls/a.warc", "hdfs://nn:8020/crawls", None, None)
    assert not result["ok"] and "needs fsspec" in result["error"] and "\n" not in result["error"]


def test_a_url_read_through_fsspec_is_taken_literally(tmp_path):
    fsspec = pytest.importorskip("fsspec", reason="fsspec is optional, and not installed")
    fsspec.filesystem("memory").pipe("/crawls/a:b[1]?.warc", (SAMPLES / "example.com.warc").read_bytes())
    url = "memory://crawls/a:b[1]?.warc"
    counted = job.work(url, "memory://crawls", None, None)
    signed = job.work(url, "memory://crawls", STORE, str(tmp_path))
    expected = vellumark_tools.census(SAMPLES / "example.com.warc")
    assert dataclasses.replace(counted["census"], name=expected.name) == expected and signed["ok"], signed
    assert vellumark_tools.read_manifest(tmp_path / "a:b[1]?.c2pa.warc").store == STORE


def require_spark() -> None:
    """Skips (or under CI=true, where CI installs it, fails) a test that needs Spark and what it needs."""
    if os.environ.get("VELLUMARK_SANITIZED"):
        pytest.skip("the JVM cannot start with the sanitizer runtime preloaded")
    if importlib.util.find_spec("pyspark") is None:
        missing("pyspark", "pyspark is not installed (pip install '.[spark]')")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        missing("java", "Spark needs Java 17, and none is installed")


def test_census_and_append_in_local_mode(tmp_path):
    require_spark()
    inputs = tmp_path.resolve() / "in"
    (inputs / "sub").mkdir(parents=True)
    sample = (SAMPLES / "example.com.warc").read_bytes()
    members = [gzip.compress(sample[r["offset"] : r["offset"] + r["length"]]) for r in vellumark.read_records(sample)]
    files = {"sub/per-record.warc.gz": b"".join(members), "example.com.warc": sample, f"{NOT_UTF8}.warc": sample,
             "pywb-1.0.warc": (SAMPLES / "pywb" / "example.warc").read_bytes(), "empty.warc": b"", "notes.txt": b"text"}
    for name, data in files.items():
        (inputs / name).write_bytes(data)
    special = "crawl:2026-01-01T00:00:00Z[1].warc"  # carries a store for --append to replace
    vellumark_tools.sign(SAMPLES / "example.com.warc", b"an earlier store", inputs / special)
    signed_names = {"sub/per-record.warc.gz": "sub/per-record.c2pa.warc.gz", "example.com.warc": "example.com.c2pa.warc",
                    f"{NOT_UTF8}.warc": f"{NOT_UTF8}.c2pa.warc", "pywb-1.0.warc": "pywb-1.0.c2pa.warc",
                    special: "crawl:2026-01-01T00:00:00Z[1].c2pa.warc"}

    expected = {"archives": 0, "records": 0, "bytes": 0, "by_type": collections.Counter(),
                "versions": collections.Counter(), "manifests": 0, "errors": {}}
    for path in sorted(inputs.rglob("*.warc*")):
        expected["archives"] += 1
        try:
            found = vellumark_tools.census(path)
        except vellumark_tools.ArchiveError as error:
            expected["errors"][shown(path)] = str(error)
            continue
        expected["records"] += found.records
        expected["bytes"] += found.bytes
        expected["by_type"].update(found.by_type)
        expected["versions"].update(found.versions)
        expected["manifests"] += found.manifest

    here = [pathlib.Path(vellumark.__file__).parent, pathlib.Path(vellumark_tools.__file__).parent.parent]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, here)))
    command = [sys.executable, str(SCRIPT), str(inputs), "--master", "local[2]"]
    census = subprocess.run(command + ["--json", str(tmp_path / "census.json")], capture_output=True, text=True, env=env, timeout=600)
    assert census.returncode == 1, census.stderr[-3000:]  # the empty archive fails
    assert json.loads((tmp_path / "census.json").read_text()) == expected
    assert f"{shown(inputs / 'notes.txt')}: not a .warc" in census.stderr

    out_dir = inputs / "signed"  # inside INPUT_DIR: what is there is not read
    (out_dir / "earlier").mkdir(parents=True)
    (out_dir / "earlier" / "run.warc").write_bytes(sample)
    (tmp_path / "store").write_bytes(STORE)
    signed = subprocess.run(command + ["--append", str(tmp_path / "store"), "--output", str(out_dir)],
                            capture_output=True, text=True, env=env, timeout=600)
    assert signed.returncode == 1, signed.stderr[-3000:]
    written = {str(p.relative_to(out_dir)) for p in out_dir.rglob("*") if p.is_file()}
    assert written == set(signed_names.values()) | {"earlier/run.warc"}
    for source, output in signed_names.items():
        before = vellumark_tools.census(inputs / source)
        assert vellumark_tools.read_manifest(out_dir / output).store == STORE
        assert vellumark_tools.census(out_dir / output).records == before.records + (not before.manifest)
        assert f"{shown(inputs / source)} -> {shown(out_dir / output)}: " in signed.stdout
    assert "signed 5 archives" in signed.stdout and f"{shown(inputs / 'empty.warc')}: empty archive" in signed.stderr
