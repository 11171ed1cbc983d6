"""Read, or embed a manifest store in, every archive of a directory on every core.

    python examples/parallel.py DIRECTORY                        # list: records and bytes per archive
    python examples/parallel.py DIRECTORY --append store.c2pa    # write NAME.c2pa.warc beside each
    python examples/parallel.py DIRECTORY --workers 4

The functions hold the interpreter lock for the whole call, so threads would
take turns; separate processes are how one machine uses all of its cores. The
functions are pure (bytes in, new bytes out, no state), so the same worker
function runs unchanged inside Spark or Dask tasks.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import pathlib
import sys
import time
import uuid
from typing import List, Optional, Sequence, Tuple

import vellumark

Outcome = Tuple[str, int, int, Optional[str]]  # name, records, bytes, error


def list_archive(path: pathlib.Path) -> Outcome:
    try:
        data = path.read_bytes()
        return path.name, len(vellumark.read_records(data)), len(data), None
    except (OSError, ValueError) as error:
        return path.name, 0, 0, str(error)


def sign_archive(path: pathlib.Path, manifest: bytes) -> Outcome:
    try:
        data = path.read_bytes()
        signed = vellumark.append_manifest(data, manifest, f"urn:uuid:{uuid.uuid4()}")
        path.with_name(path.name[: -len(".warc")] + ".c2pa.warc").write_bytes(signed)
        return path.name, len(vellumark.read_records(signed)), len(signed), None
    except (OSError, ValueError) as error:
        return path.name, 0, 0, str(error)


def archives_in(directory: pathlib.Path) -> List[pathlib.Path]:
    return sorted(p for p in directory.glob("*.warc") if not p.name.endswith(".c2pa.warc"))


def run(directory: pathlib.Path, manifest: Optional[bytes], workers: int) -> int:
    paths = archives_in(directory)
    if not paths:
        raise OSError(f"no .warc files in {directory}")
    done = records = size = failures = 0
    start = time.perf_counter()
    with concurrent.futures.ProcessPoolExecutor(max_workers=workers) as pool:
        if manifest is None:
            futures = [pool.submit(list_archive, p) for p in paths]
        else:
            futures = [pool.submit(sign_archive, p, manifest) for p in paths]
        for future in concurrent.futures.as_completed(futures):
            name, count, length, error = future.result()
            done += 1
            records += count
            size += length
            if error is not None:
                failures += 1
                print(f"\n{name}: {error}", file=sys.stderr)
            elapsed = time.perf_counter() - start
            print(f"\r[{done}/{len(paths)}] {records} records, {size / 1e6:.1f} MB, "
                  f"{size / 1e6 / max(elapsed, 1e-9):.0f} MB/s", end="", file=sys.stderr, flush=True)
    print(file=sys.stderr)
    verb = "signed" if manifest is not None else "read"
    print(f"{verb} {len(paths) - failures} of {len(paths)} archives: {records} records, {size / 1e6:.1f} MB")
    return 1 if failures else 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("directory", type=pathlib.Path, help="a directory of uncompressed .warc files")
    parser.add_argument("--append", type=pathlib.Path, metavar="MANIFEST", help="embed this manifest store in each")
    parser.add_argument("--workers", type=int, default=os.cpu_count(), help="processes (default: one per core)")
    args = parser.parse_args(argv)
    try:
        manifest = args.append.read_bytes() if args.append else None
        return run(args.directory, manifest, args.workers)
    except OSError as error:
        print(f"parallel.py: error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
