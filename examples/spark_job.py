"""Census of, or manifest embedding in, every .warc and .warc.gz under a directory, as an Apache Spark job.

    python examples/spark_job.py INPUT_DIR [--json census.json] [--master local[4]]
    python examples/spark_job.py INPUT_DIR --append store.c2pa --output OUT_DIR
    spark-submit --master spark://HOST:7077 examples/spark_job.py hdfs:///crawls/2026-12/

The driver lists the archives once; each is one task, read as a stream by
vellumark_tools on an executor (pip install 'vellumark[spark]' there; Spark
needs Java 17). INPUT_DIR is a local directory (a path or a file: URI; on a
cluster, one every executor mounts) or a URL Spark lists (hdfs://, s3a://...),
read through fsspec where the executors have it. Files are chosen as the
vellumark command chooses them: names starting with "." or "_", which Spark
hides, are read; partial outputs (.NAME.xxxx.partial) and, with --append,
signed archives are skipped. Listed names are never taken as glob patterns.
A census prints a line per archive and the totals (--json: as `vellumark
census --json`). --append writes INPUT_DIR/sub/NAME.warc[.gz] signed to
OUT_DIR/sub/NAME.c2pa.warc[.gz] in a local OUT_DIR, not read if inside INPUT_DIR.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import pathlib
import posixpath
import re
import sys
from typing import IO, Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

import vellumark_tools
from vellumark_tools.errors import ArchiveError, shown
from vellumark_tools.inputs import why_not
from vellumark_tools.output import atomic_output, check_target
from vellumark_tools.signing import signed_name
from vellumark_tools.survey import census_totals

PROG = "spark_job.py"
URL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")  # a scheme needs "//": "a:b.warc" is a file name

# ---------------------------------------------------------------------------- names (no Spark needed)


def local_path(location: str) -> Optional[str]:
    """The local path of a plain path or a file: URI (taken literally, as Hadoop
    takes it), or None for a URL of another scheme."""
    if location.startswith("file:"):
        return re.sub(r"^//[^/]*", "", location[len("file:") :]) or "/"
    return None if URL.match(location) else location


def url_path(location: str) -> str:
    """The path of a URL, without its scheme and authority; a local path as it is."""
    scheme = URL.match(location)
    return location if scheme is None else "/" + location[scheme.end() :].partition("/")[2]


def relative_name(path: str, root: str) -> str:
    """A listed file's name under the listed root. URLs compare by path alone,
    since Hadoop lists hdfs:///crawls as hdfs://namenode:8020/crawls."""
    path, prefix = url_path(path), url_path(root).rstrip("/") + "/"
    return path[len(prefix) :] if path.startswith(prefix) else posixpath.basename(path)


def output_path(path: str, root: str, out_dir: str, compressed: bool) -> str:
    return os.path.join(out_dir, signed_name(relative_name(path, root), compressed))


def pick(files: Iterable[str], root: str, out_dir: Optional[str], signing: bool) -> Tuple[List[str], List[Tuple[str, str]]]:
    """The archives among the listed files, and the others with the reason, as
    the command decides. An OUT_DIR inside INPUT_DIR holds outputs, not inputs."""
    nested = out_dir if out_dir and out_dir.startswith(root.rstrip("/") + "/") else None
    archives, skipped = [], []
    for path in sorted(files):
        if nested and path.startswith(nested.rstrip("/") + "/"):
            continue
        reason = why_not(posixpath.basename(path), skip_signed=signing)
        if reason is None:
            archives.append(path)
        else:
            skipped.append((path, reason))
    return archives, skipped


# ---------------------------------------------------------------------------- the tasks (on the executors)


def open_archive(path: str) -> IO[bytes]:
    local = local_path(path)
    if local is not None:
        return open(local, "rb")
    scheme = path.split("://")[0]
    try:
        fsspec: Any = importlib.import_module("fsspec")  # optional: only executors that read URLs need it
    except ImportError:
        raise ArchiveError(f"reading {scheme}:// needs fsspec on the executors: pip install fsspec") from None
    try:
        kind = fsspec.get_filesystem_class(scheme)
    except (ImportError, ValueError) as error:  # its driver for the scheme is missing, or there is none
        raise ArchiveError(f"fsspec cannot read {scheme}://: {error}") from None
    # Not fsspec.open(): it reads "::" in a name as a chain of file systems, and may expand globs.
    stream: IO[bytes] = kind(**kind._get_kwargs_from_urls(path)).open(kind._strip_protocol(path), "rb")
    return stream


def plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def work(path: str, root: str, store: Optional[bytes], out_dir: Optional[str]) -> Dict[str, Any]:
    """One archive's result; its failure, whatever it is, is that archive's alone."""
    name = shown(path)
    result: Dict[str, Any] = {"name": name, "ok": False, "warnings": []}
    try:
        with open_archive(path) as stream:
            if store is None:
                found = result["census"] = vellumark_tools.census(stream)
                versions = ", ".join(f"WARC/{v}" for v in sorted(found.versions))
                carries = ", carries a manifest store" if found.manifest else ""
                line = f"{name}: {plural(found.records, 'record')} ({versions}), {found.bytes:,} bytes uncompressed{carries}"
                result["warnings"] = found.warnings
            else:
                assert out_dir is not None
                compressed = stream.read(2) == b"\x1f\x8b"
                stream.seek(0)
                target = output_path(path, root, out_dir, compressed)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                signed = vellumark_tools.sign_archive(stream, store, target)
                result["records"] = signed.records
                dropped = f"; replaced {len(signed.dropped)} manifest store record(s)" if signed.dropped else ""
                line = f"{name} -> {shown(target)}: {plural(signed.records, 'record')} (WARC/{signed.version}){dropped}; {signed.index_advice()}"
        result.update(ok=True, line=line)
    except ArchiveError as error:
        result["error"] = str(error)
    except OSError as error:  # fsspec raises some with the path as their only argument
        result["error"] = f"{shown(error.filename)}: {error.strerror}" if error.filename else f"{type(error).__name__}: {error}"
    except Exception as error:  # a bug: still this archive's failure, not the job's
        result["error"] = f"internal error: {type(error).__name__}: {error}"
    return result


# ---------------------------------------------------------------------------- the driver


def list_local(root: str) -> Tuple[List[str], List[Tuple[str, str]]]:
    """Every file under a local root. Listed here, not by the JVM, whose listing
    leaves out names that are not UTF-8."""
    files: List[str] = []
    failed: List[Tuple[str, str]] = []
    for directory, _, names in os.walk(root, onerror=lambda e: failed.append((e.filename, f"cannot list it: {e.strerror}"))):
        files += [os.path.join(directory, name) for name in names]
    return files, failed


def list_hadoop(context: Any, root: str) -> List[str]:
    """Every file under a URL, through Spark's Hadoop file systems (PySpark has no
    Python API for listing): listFiles lists, and never expands glob characters."""
    try:
        path = context._jvm.org.apache.hadoop.fs.Path(root)
        system = path.getFileSystem(context._jsc.hadoopConfiguration())
        if not system.exists(path) or not system.getFileStatus(path).isDirectory():
            raise SystemExit(f"{PROG}: error: {root}: no such directory")
        found, files = system.listFiles(path, True), []
        while found.hasNext():
            files.append(found.next().getPath().toString())
        return files
    except Exception as error:  # from the JVM: a scheme without its connector, a name node that is down
        raise SystemExit(f"{PROG}: error: {root}: cannot list it: {getattr(error, 'java_exception', error)}") from None


def spark_context(master: Optional[str]) -> Any:
    try:
        pyspark: Any = importlib.import_module("pyspark")  # optional: pip install 'vellumark[spark]'
    except ImportError:
        raise SystemExit(f"{PROG}: error: pyspark is not installed: pip install 'vellumark[spark]' (and Java 17)") from None
    SparkConf, SparkContext = pyspark.SparkConf, pyspark.SparkContext
    conf = SparkConf().setAppName("vellumark").set("spark.ui.enabled", "false").set("spark.ui.showConsoleProgress", "false")
    if master is None and "PYSPARK_GATEWAY_PORT" not in os.environ:  # run with python, not spark-submit
        master = "local[*]"
    if master is not None:
        conf.setMaster(master)
    if master is not None and master.startswith("local"):
        os.environ["PYSPARK_PYTHON"] = sys.executable  # workers import what this interpreter imports
        os.environ["SPARK_LOCAL_IP"] = "127.0.0.1"  # a local job needs no network
        conf.set("spark.driver.host", "127.0.0.1").set("spark.driver.bindAddress", "127.0.0.1")
    return SparkContext.getOrCreate(conf)


def totals(results: List[Dict[str, Any]]) -> Dict[str, Any]:
    """The shape of `vellumark census --json`: archives counts failed ones too."""
    errors = {r["name"]: r["error"] for r in results if not r["ok"]}
    return census_totals([r["census"] for r in results if r["ok"]], errors)


def prepared(parser: argparse.ArgumentParser, args: argparse.Namespace) -> Tuple[Optional[str], Optional[str], Optional[bytes]]:
    """The local INPUT_DIR (None for a URL), OUT_DIR and store; whatever can be
    refused is refused here, before Spark starts."""
    if (args.append is None) != (args.output is None):
        parser.error("--append and --output go together")
    root, out_dir, store = local_path(args.input_dir), None, None
    if root is not None:
        root = os.path.realpath(root)
        if not os.path.isdir(root):
            parser.error(f"{shown(args.input_dir)}: no such directory")
    if args.output is not None:
        out_dir = local_path(args.output)
        if out_dir is None:
            parser.error("--output must be a local directory (on a cluster, one every executor mounts)")
        out_dir = os.path.realpath(out_dir)
        if os.path.exists(out_dir) and not os.path.isdir(out_dir):
            parser.error(f"--output {shown(args.output)}: not a directory")
    if args.json is not None:
        try:
            check_target(args.json)
        except ArchiveError as error:
            parser.error(f"--json {error}")
    if args.append is not None:
        try:
            store = pathlib.Path(args.append).read_bytes()
        except OSError as error:
            parser.error(f"--append {shown(args.append)}: {error.strerror}")
        if not store:
            parser.error(f"--append {shown(args.append)}: the manifest store file is empty")
    return root, out_dir, store


def run(context: Any, archives: List[str], root: str, store: Optional[bytes], out_dir: Optional[str]) -> List[Dict[str, Any]]:
    shared = context.broadcast(store) if store is not None else None

    def partition(paths: Iterator[str]) -> Iterator[Dict[str, Any]]:
        given = shared.value if shared is not None else None  # fetched once per partition
        return (work(path, root, given, out_dir) for path in paths)

    # One partition per archive: one task each, however large, as cc-pyspark does with its list.
    results: List[Dict[str, Any]] = context.parallelize(archives, numSlices=len(archives)).mapPartitions(partition).collect()
    return results


def report(results: List[Dict[str, Any]], signing: bool, json_path: Optional[str]) -> int:
    """A line per archive (failures on standard error), then the summary."""
    results.sort(key=lambda r: r["name"])
    for r in results:
        for warning in r["warnings"]:
            print(f"{PROG}: {r['name']}: warning: {warning}", file=sys.stderr)
        print(r["line"] if r["ok"] else f"{PROG}: {r['name']}: {r['error']}", file=sys.stdout if r["ok"] else sys.stderr)
    bad = sum(1 for r in results if not r["ok"])
    outcome = f"{bad} failed" if bad else "none failed"
    if signing:
        records = sum(r["records"] for r in results if r["ok"])
        print(f"signed {plural(len(results) - bad, 'archive')} ({records:,} records); {outcome}")
    else:
        census = totals(results)
        print(f"{plural(census['archives'], 'archive')}, {census['records']:,} records, {census['bytes']:,} bytes uncompressed, {outcome}")
        if json_path is not None:
            with atomic_output(json_path) as out:
                out.write(json.dumps(census, indent=2).encode() + b"\n")
    return 1 if bad else 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input_dir", metavar="INPUT_DIR", help="a local directory, or a URL Spark lists (hdfs://, s3a://...)")
    census_or_sign = parser.add_mutually_exclusive_group()
    census_or_sign.add_argument("--append", metavar="STORE", help="embed the manifest store in this file in each archive")
    parser.add_argument("--output", metavar="OUT_DIR", help="with --append: the local directory the signed copies go to")
    parser.add_argument("--master", help="the Spark master URL (default: local[*], or what spark-submit says)")
    census_or_sign.add_argument("--json", metavar="FILE", help="also write the census totals as JSON")
    args = parser.parse_args(argv)
    root, out_dir, store = prepared(parser, args)
    files, failed = list_local(root) if root is not None else ([], [])
    context = spark_context(args.master)
    try:
        context.setLogLevel("ERROR")
        if root is None:
            root = args.input_dir
            files = list_hadoop(context, root)
        archives, skipped = pick(files, root, out_dir, signing=store is not None)
        for path, reason in skipped:
            print(f"{PROG}: skipped {shown(path)}: {reason}", file=sys.stderr)
        results = run(context, archives, root, store, out_dir) if archives else []
    finally:
        context.stop()
    results += [{"name": shown(path), "ok": False, "error": why, "warnings": []} for path, why in failed]
    if not results:
        print(f"{PROG}: no archives to work on", file=sys.stderr)
        return 1
    return report(results, store is not None, args.json)


if __name__ == "__main__":
    sys.exit(main())
