"""Embed a C2PA Manifest Store in a WARC archive and read it back.

    python examples/provenance.py                      # a built-in sample archive
    python examples/provenance.py crawl.warc[.gz]      # your archive
    python examples/provenance.py crawl.warc --manifest store.c2pa

Lists the archive's records, appends the manifest store as a record of its own
(replacing any earlier one), writes the new archive next to the input as
NAME.c2pa.warc, and reads the manifest store back from it. Creating and signing
the manifest store itself is the job of a C2PA tool; without --manifest a small
unsigned placeholder stands in for one.
"""

from __future__ import annotations

import argparse
import gzip
import pathlib
import sys
import tempfile
import uuid
from typing import List, Sequence

import vellumark

# Stands in for a real manifest store (a JUMBF box that a C2PA tool signs).
PLACEHOLDER_MANIFEST = b"\x00\x00\x00\x28jumb\x00\x00\x00\x20jumdc2pa" + b"\x00" * 12 + b"vellumark example"


def sample_archive() -> bytes:
    """A small crawl: a warcinfo record, then a request and its response."""
    page = b"<!doctype html><title>Example</title><p>Hello from the sample archive.</p>\n"
    response = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n\r\n%s" % (len(page), page)
    request = b"GET / HTTP/1.1\r\nHost: example.com\r\nUser-Agent: vellumark-example\r\n\r\n"
    return b"".join(
        [
            vellumark.build_record(
                "warcinfo", "application/warc-fields", f"urn:uuid:{uuid.uuid4()}", b"software: vellumark example\r\n"
            ),
            vellumark.build_record(
                "request", "application/http; msgtype=request", f"urn:uuid:{uuid.uuid4()}", request, "http://example.com/"
            ),
            vellumark.build_record(
                "response", "application/http; msgtype=response", f"urn:uuid:{uuid.uuid4()}", response, "http://example.com/"
            ),
        ]
    )


def load_archive(path: pathlib.Path) -> bytes:
    data = path.read_bytes()
    # The module reads uncompressed archives only: inflate the whole gzip stream
    # (every member of a per-record gzipped archive) first.
    return gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data


def output_path(path: pathlib.Path) -> pathlib.Path:
    name = path.name
    for suffix in (".warc.gz", ".warc"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
            break
    return path.with_name(name + ".c2pa.warc")


def table(records: List[vellumark.WarcRecord]) -> str:
    rows = [("type", "target URI", "content type", "offset", "length")]
    for record in records:
        headers = record["headers"]
        uri = headers.get("warc-target-uri", "")
        rows.append(
            (
                headers.get("warc-type", ""),
                uri if len(uri) <= 40 else uri[:37] + "...",
                headers.get("content-type", ""),
                str(record["offset"]),
                str(record["length"]),
            )
        )
    widths = [max(len(row[i]) for row in rows) for i in range(5)]
    return "\n".join(
        "  ".join(cell.rjust(w) if i >= 3 else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))).rstrip()
        for row in rows
    )


def run(archive_path: pathlib.Path | None, manifest_path: pathlib.Path | None) -> None:
    if archive_path is None:
        archive_path = pathlib.Path(tempfile.mkdtemp(prefix="vellumark-")) / "sample.warc"
        archive_path.write_bytes(sample_archive())
        print(f"built-in sample archive written to {archive_path}")
    archive = load_archive(archive_path)
    records = vellumark.read_records(archive)
    print(f"{archive_path.name}: {len(records)} records, {len(archive)} bytes\n")
    print(table(records))

    manifest = manifest_path.read_bytes() if manifest_path else PLACEHOLDER_MANIFEST
    if vellumark.read_manifest(archive) is not None:
        print("\nthe archive already carries a manifest store; it will be replaced")
    signed = vellumark.append_manifest(archive, manifest, f"urn:uuid:{uuid.uuid4()}")
    target = output_path(archive_path)
    target.write_bytes(signed)
    print(f"\nappended a {len(manifest)}-byte manifest store; new archive written to {target}")

    found = vellumark.read_manifest(target.read_bytes())
    if found != manifest:
        raise ValueError("the manifest store read back differs from the one appended")
    print(f"read the manifest store back from {target.name}: {len(found)} bytes, identical")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("archive", nargs="?", type=pathlib.Path, help="a .warc or .warc.gz file (default: a built-in sample)")
    parser.add_argument("--manifest", type=pathlib.Path, help="the manifest store to embed (default: a placeholder)")
    args = parser.parse_args(argv)
    try:
        run(args.archive, args.manifest)
    except (OSError, ValueError, EOFError) as error:  # gzip.BadGzipFile is an OSError
        print(f"provenance.py: error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
