"""Count the records of every archive under a directory, on every core.

    python examples/parallel.py DIRECTORY

The same as `vellumark census DIRECTORY`, through the Python API: the
module holds the interpreter lock for a whole call, so a machine's cores are
used by processes, not threads. (The command also survives a worker the
system kills and stops its workers on Ctrl-C; this demo stays short.)
"""

from __future__ import annotations

import concurrent.futures
import os
import sys
from typing import List, Tuple

from vellumark_tools import ArchiveError, census


def count(path: str) -> Tuple[str, str]:
    try:
        result = census(path)
    except (ArchiveError, OSError) as error:
        return path, f"failed: {error}"
    kinds = ", ".join(f"{n} {kind}" for kind, n in sorted(result.by_type.items()))
    return path, f"{result.records} records ({kinds}), {result.bytes:,} bytes uncompressed"


def archives(directory: str) -> List[str]:
    return sorted(
        os.path.join(root, name)
        for root, _, names in os.walk(directory)
        for name in names
        if name.endswith((".warc", ".warc.gz"))
    )


def main(argv: List[str]) -> int:
    if len(argv) != 2 or not os.path.isdir(argv[1]):
        print(__doc__, file=sys.stderr)
        return 2
    paths = archives(argv[1])
    with concurrent.futures.ProcessPoolExecutor(max_workers=max(1, min(len(paths), os.cpu_count() or 1))) as pool:
        for path, line in pool.map(count, paths):
            print(f"{path}: {line}")
    print(f"{len(paths)} archives")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
