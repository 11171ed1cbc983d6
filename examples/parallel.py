"""Count the records of, or embed a manifest store in, every archive of a directory, on every core.

    python examples/parallel.py DIRECTORY                        # census of each .warc and .warc.gz
    python examples/parallel.py DIRECTORY --append store.c2pa    # NAME.c2pa.warc[.gz] beside each
    python examples/parallel.py DIRECTORY --workers 4

The module's functions hold the interpreter lock for the whole call, so threads
would take turns; separate processes are how one machine uses all of its cores.
With --append, each archive is written as examples/provenance.py writes it
(per-record .warc.gz members kept byte for byte, atomically); archives already
named NAME.c2pa.warc[.gz] are outputs of an earlier run and are left out.
The worker functions take a name and a stream, so examples/spark_job.py runs
the very same ones inside Spark tasks.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import importlib
import os
import pathlib
import sys
import uuid
from typing import IO, Any, Iterable, List, Optional, Sequence

from warcfile import (
    ArchiveError,
    Census,
    atomic_output,
    census,
    is_gzip,
    read_manifest_file,
    sign,
    signed_path,
    with_thousands,
)


def census_archive(name: str, stream: IO[bytes]) -> Census:
    """The census of one archive; a failure is recorded in it, as one line, not raised."""
    try:
        return census(name, stream)
    except ArchiveError as error:
        return Census(name, error=str(error))


def sign_archive(name: str, stream: IO[bytes], manifest: bytes, target: pathlib.Path) -> Census:
    """Writes the archive with `manifest` embedded to `target`, atomically, and
    returns the census of the input; a failure is recorded in it, not raised."""
    result = Census(name)
    try:
        with atomic_output(target) as out:
            signed = sign(stream, out, manifest, f"urn:uuid:{uuid.uuid4()}")
        result.records, result.bytes = signed.records, signed.input_bytes
        result.manifest = bool(signed.dropped)
    except ArchiveError as error:
        result.error = str(error)
    except OSError as error:
        result.error = f"{error.filename or target}: {error.strerror}"
    return result


def census_path(path: pathlib.Path) -> Census:
    try:
        with open(path, "rb") as stream:
            return census_archive(path.name, stream)
    except OSError as error:
        return Census(path.name, error=error.strerror)


def sign_path(path: pathlib.Path, manifest: bytes) -> Census:
    try:
        with open(path, "rb") as stream:
            target = signed_path(path, is_gzip(stream))
            return sign_archive(path.name, stream, manifest, target)
    except OSError as error:
        return Census(path.name, error=error.strerror)


def is_archive(name: str) -> bool:
    return name.endswith((".warc", ".warc.gz"))


def is_output(name: str) -> bool:
    return name.endswith((".c2pa.warc", ".c2pa.warc.gz"))


def archives_in(directory: pathlib.Path, appending: bool) -> List[pathlib.Path]:
    return sorted(
        p for p in directory.iterdir() if p.is_file() and is_archive(p.name) and not (appending and is_output(p.name))
    )


def summary(results: Iterable[Census]) -> str:
    results = list(results)
    failures = sum(1 for r in results if r.error)
    records = sum(r.records for r in results)
    size = sum(r.bytes for r in results)
    return (
        f"{len(results)} archives, {with_thousands(records)} records, {with_thousands(size)} bytes uncompressed, "
        f"{failures} failed"
    )


def line(result: Census) -> str:
    if result.error:
        return f"{result.name}: error: {result.error}"
    carried = ", carries a manifest store" if result.manifest else ""
    return f"{result.name}: {with_thousands(result.records)} records, {with_thousands(result.bytes)} bytes uncompressed{carried}"


def progress_bar(total: int) -> Any:
    """A tqdm bar on a terminal, when tqdm is installed; otherwise None, and one
    line per archive instead (a bar's carriage returns would garble a log)."""
    if not sys.stderr.isatty():
        return None
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="archive", file=sys.stderr)


def run(directory: pathlib.Path, manifest: Optional[bytes], workers: int) -> int:
    paths = archives_in(directory, appending=manifest is not None)
    if not paths:
        print(f"no .warc or .warc.gz files in {directory}", file=sys.stderr)
        return 1
    results: List[Census] = []
    bar = progress_bar(len(paths))
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        if manifest is None:
            futures = [pool.submit(census_path, p) for p in paths]
        else:
            futures = [pool.submit(sign_path, p, manifest) for p in paths]
        for future in concurrent.futures.as_completed(futures):
            result = future.result()
            results.append(result)
            if bar is not None:
                bar.update(1)
                if result.error:
                    bar.write(line(result), file=sys.stderr)
            else:
                print(line(result), flush=True)
    if bar is not None:
        bar.close()
    verb = "signed" if manifest is not None else "read"
    print(f"{verb}: {summary(results)}")
    return 1 if any(r.error for r in results) else 0


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("directory", type=pathlib.Path, help="a directory of .warc and .warc.gz files")
    parser.add_argument("--append", type=pathlib.Path, metavar="MANIFEST", help="embed this manifest store in each")
    parser.add_argument("--workers", type=positive, default=os.cpu_count() or 1, help="processes (default: one per core)")
    args = parser.parse_args(argv)
    if not args.directory.is_dir():
        print(f"{parser.prog}: error: {args.directory}: no such directory", file=sys.stderr)
        return 1
    try:
        manifest = read_manifest_file(args.append) if args.append else None
    except ArchiveError as error:
        print(f"{parser.prog}: error: {args.append}: {error}", file=sys.stderr)
        return 1
    return run(args.directory, manifest, args.workers)


if __name__ == "__main__":
    sys.exit(main())
