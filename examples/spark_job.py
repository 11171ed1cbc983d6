"""Census of, or manifest embedding in, every .warc and .warc.gz under a directory, as an Apache Spark job.

    python examples/spark_job.py INPUT_DIR                          # local[*], a table of the census
    python examples/spark_job.py INPUT_DIR --json census.json --master local[4]
    python examples/spark_job.py INPUT_DIR --append store.c2pa --output OUT_DIR

On a cluster, ship the two helper modules with the job:

    spark-submit --master spark://HOST:7077 \\
        --py-files examples/parallel.py,examples/warcfile.py \\
        examples/spark_job.py hdfs:///crawls/2026-12/ --json census.json

INPUT_DIR is any path Spark reads (local, HDFS, or object storage with its
connector); every archive under it, in subdirectories too, is one task, run by
the same worker functions as examples/parallel.py. Each task holds its archive
in memory (Spark reads a file whole, up to 2 GB). With --append, each task
writes its archive's signed copy into OUT_DIR as examples/provenance.py does,
so OUT_DIR must be a directory that every executor sees (on a cluster, a shared
mount). The census counts archives (failed ones too), records, uncompressed
bytes and records per WARC-Type over the archives that were read, the archives
that carry a manifest store, and the reason each failed archive failed.
Needs pyspark (pip install 'vellumark[spark]') and Java 17 or later.
"""

from __future__ import annotations

import argparse
import importlib
import io
import json
import os
import pathlib
import posixpath
import sys
from typing import Any, Dict, List, Optional, Sequence, Tuple

import parallel
import warcfile
from warcfile import Census, with_thousands

ARCHIVE_SUFFIXES = (".warc", ".warc.gz")


def census_task(item: Tuple[str, bytes], prefix: str) -> Census:
    path, content = item
    return parallel.census_archive(relative(path, prefix), io.BytesIO(content))


def sign_task(item: Tuple[str, bytes], prefix: str, manifest: bytes, output: str) -> Census:
    path, content = item
    name = relative(path, prefix)
    stream = io.BytesIO(content)
    target = warcfile.signed_path(pathlib.Path(output) / name, warcfile.is_gzip(stream))
    target.parent.mkdir(parents=True, exist_ok=True)
    return parallel.sign_archive(name, stream, manifest, target)


def relative(path: str, prefix: str) -> str:
    return path[len(prefix) :].lstrip("/") if path.startswith(prefix) else path


def combined(results: List[Census]) -> Dict[str, Any]:
    """The job's census: `archives` counts every archive found, failed ones too;
    `records`, `bytes` (uncompressed) and `by_type` count the archives that were read."""
    read = [r for r in results if r.error is None]
    by_type: Dict[str, int] = {}
    for result in read:
        for kind, count in result.by_type.items():
            by_type[kind] = by_type.get(kind, 0) + count
    return {
        "archives": len(results),
        "records": sum(r.records for r in read),
        "bytes": sum(r.bytes for r in read),
        "by_type": dict(sorted(by_type.items())),
        "manifests": sum(1 for r in read if r.manifest),
        "errors": {r.name: r.error for r in sorted(results, key=lambda r: r.name) if r.error is not None},
    }


def table(census: Dict[str, Any]) -> str:
    failed = len(census["errors"])
    rows = [
        ("archives", f"{with_thousands(census['archives'])}" + (f" ({failed} failed)" if failed else "")),
        ("records", with_thousands(census["records"])),
        ("bytes", f"{with_thousands(census['bytes'])} (uncompressed)"),
        ("manifest stores", f"carried by {with_thousands(census['manifests'])} archives"),
    ]
    rows += [(f"  {kind}", with_thousands(count)) for kind, count in census["by_type"].items()]
    width = max(len(name) for name, _ in rows)
    lines = [f"{name.ljust(width)}  {value}" for name, value in rows[:4]]
    if census["by_type"]:
        lines.append("records by WARC-Type:")
        lines += [f"{name.ljust(width)}  {value}" for name, value in rows[4:]]
    if census["errors"]:
        lines.append("failed:")
        lines += [f"  {name}: {message}" for name, message in census["errors"].items()]
    return "\n".join(lines)


def spark_session(master: Optional[str]) -> Any:
    try:
        sql = importlib.import_module("pyspark.sql")
    except ImportError:
        raise SystemExit("spark_job.py: error: pyspark is not installed: pip install 'vellumark[spark]' (and Java 17)")
    # spark-submit chooses the master itself; run with python, the job runs locally.
    if master is None and "PYSPARK_GATEWAY_PORT" not in os.environ:
        master = "local[*]"
    builder = (
        sql.SparkSession.builder.appName("vellumark census")
        .config("spark.ui.enabled", "false")
        .config("spark.ui.showConsoleProgress", "false")  # its carriage returns garble logs
    )
    if master is not None:
        builder = builder.master(master)
    if master is not None and master.startswith("local"):
        # Workers must import vellumark: in local mode they run this interpreter, on loopback.
        os.environ.setdefault("PYSPARK_PYTHON", sys.executable)
        os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
        builder = builder.config("spark.driver.host", "127.0.0.1").config("spark.driver.bindAddress", "127.0.0.1")
    return builder.getOrCreate()


def archive_paths(spark: Any, input_dir: str) -> List[str]:
    """Every archive under `input_dir`, empty ones too, listed through Spark's own
    Hadoop file system layer (PySpark has no Python API for listing), so any
    path Spark reads works."""
    jvm, conf = spark.sparkContext._jvm, spark.sparkContext._jsc.hadoopConfiguration()
    root = jvm.org.apache.hadoop.fs.Path(input_dir)
    filesystem = root.getFileSystem(conf)
    if not filesystem.exists(root):
        raise SystemExit(f"spark_job.py: error: {input_dir}: no such directory")
    found = filesystem.listFiles(root, True)  # recursive
    paths = []
    while found.hasNext():
        path = found.next().getPath().toString()
        if path.endswith(ARCHIVE_SUFFIXES):
            paths.append(path)
    return sorted(paths)


def run(spark: Any, input_dir: str, manifest: Optional[bytes], output: Optional[str]) -> Dict[str, Any]:
    context = spark.sparkContext
    for helper in (parallel.__file__, warcfile.__file__):
        context.addPyFile(helper)
    paths = archive_paths(spark, input_dir)
    if not paths:
        raise SystemExit(f"spark_job.py: error: {input_dir}: no .warc or .warc.gz files under it")
    prefix = posixpath.dirname(paths[0]) if len(paths) == 1 else posixpath.commonpath(paths)
    # One RDD per archive, each a single partition: one task per archive, whatever its size.
    archives = context.union([context.binaryFiles(path) for path in paths])
    if manifest is None:
        results = archives.map(lambda item: census_task(item, prefix)).collect()
    else:
        assert output is not None
        results = archives.map(lambda item: sign_task(item, prefix, manifest, output)).collect()
    return combined(results)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input_dir", help="a directory (any path Spark reads) holding .warc and .warc.gz files")
    parser.add_argument("--append", type=pathlib.Path, metavar="MANIFEST", help="embed this manifest store in each")
    parser.add_argument("--output", metavar="OUT_DIR", help="with --append: where the signed copies go")
    parser.add_argument("--master", help="the Spark master URL (default: local[*], or what spark-submit says)")
    parser.add_argument("--json", type=pathlib.Path, metavar="FILE", help="also write the census as JSON")
    args = parser.parse_args(argv)
    if (args.append is None) != (args.output is None):
        parser.error("--append and --output go together")
    manifest = None
    if args.append is not None:
        try:
            manifest = warcfile.read_manifest_file(args.append)
        except warcfile.ArchiveError as error:
            print(f"{parser.prog}: error: {args.append}: {error}", file=sys.stderr)
            return 1
    spark = spark_session(args.master)
    try:
        spark.sparkContext.setLogLevel("ERROR")
        census = run(spark, args.input_dir, manifest, args.output)
    finally:
        spark.stop()
    print(table(census))
    if args.json is not None:
        with warcfile.atomic_output(args.json) as out:
            out.write(json.dumps(census, indent=2).encode() + b"\n")
    return 1 if census["errors"] else 0


if __name__ == "__main__":
    sys.exit(main())
