"""Embed a C2PA Manifest Store in a WARC archive and read it back.

    python examples/provenance.py                          # a built-in sample archive
    python examples/provenance.py crawl.warc.gz --manifest store.c2pa
    python examples/provenance.py crawl.warc --output signed.warc

Writes NAME.c2pa.warc.gz beside NAME.warc.gz (NAME.c2pa.warc beside NAME.warc;
an input already named NAME.c2pa.warc[.gz] is replaced), with every earlier
manifest store record dropped and the new one appended at the end. A
per-record .warc.gz keeps every other gzip member byte for byte, so index
entries (CDX, CDXJ) before the first dropped member stay valid; the script
says from which offset on, if any, the archive needs re-indexing. Any other
.warc.gz is written per-record. The output is written atomically: a failure or
Ctrl-C leaves the target and the input as they were.

Creating and signing the manifest store itself is the job of a C2PA tool;
without --manifest an unsigned placeholder stands in for one.
"""

from __future__ import annotations

import argparse
import contextlib
import pathlib
import sys
import tempfile
import uuid
from typing import Iterator, List, Optional, Sequence, Tuple

import vellumark
from warcfile import (
    ArchiveError,
    Signed,
    atomic_output,
    is_gzip,
    read_manifest_at,
    read_manifest_file,
    sign,
    signed_path,
    with_thousands,
)

# Stands in for a real manifest store (a JUMBF box that a C2PA tool signs).
PLACEHOLDER_MANIFEST = b"\x00\x00\x00\x28jumb\x00\x00\x00\x20jumdc2pa" + b"\x00" * 12 + b"vellumark example"
LISTED = 20  # records listed in the table; the rest are counted


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


def table(rows: List[Tuple[vellumark.WarcRecord, int, int]], compressed: bool) -> str:
    where = ("member offset", "member length") if compressed else ("offset", "length")
    lines = [("type", "target URI", "content type") + where]
    for record, offset, length in rows:
        headers = record["headers"]
        uri = headers.get("warc-target-uri", "")
        lines.append(
            (
                headers.get("warc-type", ""),
                uri if len(uri) <= 40 else uri[:37] + "...",
                headers.get("content-type", ""),
                with_thousands(offset),
                with_thousands(length),
            )
        )
    widths = [max(len(line[i]) for line in lines) for i in range(5)]
    return "\n".join(
        "  ".join(cell.rjust(w) if i >= 3 else cell.ljust(w) for i, (cell, w) in enumerate(zip(line, widths))).rstrip()
        for line in lines
    )


def describe_input(signed: Signed, size: int) -> str:
    if not signed.compressed:
        return f"{with_thousands(signed.records)} records, {with_thousands(size)} bytes (uncompressed .warc)"
    return (
        f"{with_thousands(signed.records)} records in {with_thousands(signed.members)} gzip members, "
        f"{with_thousands(size)} bytes compressed, {with_thousands(signed.input_bytes)} bytes uncompressed"
    )


def index_advice(signed: Signed) -> str:
    if signed.compressed and not signed.per_record:
        return (
            f"the input was not gzipped per record ({signed.not_per_record_reason}), so the output is written "
            "per-record: every record is a gzip member of its own, and every index entry must be rebuilt"
        )
    unit = "compressed offset" if signed.compressed else "offset"
    if signed.moved_from is not None:
        return (
            f"index: entries before {unit} {with_thousands(signed.moved_from)} stay valid; "
            "re-index the archive from there on"
        )
    if signed.dropped:
        return "index: only the replaced manifest store record at the end went, so every other entry stays valid"
    return "index: no record moved, so every existing index entry stays valid"


def run(archive: pathlib.Path, manifest: bytes, placeholder: bool, target: pathlib.Path) -> None:
    size = archive.stat().st_size
    with open(archive, "rb") as stream, atomic_output(target) as out:
        signed = sign(stream, out, manifest, f"urn:uuid:{uuid.uuid4()}", keep=LISTED)
    print(f"{archive.name}: {describe_input(signed, size)}\n")
    print(table(signed.first, signed.compressed))
    if signed.records > len(signed.first):
        print(f"... and {with_thousands(signed.records - len(signed.first))} more records")
    print()
    if signed.dropped:
        print(f"replaced {len(signed.dropped)} earlier manifest store record(s)")
    what = "an unsigned placeholder manifest store" if placeholder else f"a {with_thousands(len(manifest))}-byte manifest store"
    unit = "bytes compressed" if signed.compressed else "bytes"
    print(f"embedded {what} as a new {'gzip member' if signed.compressed else 'record'} at the end")
    if placeholder:
        print("  (no --manifest given: the placeholder proves nothing; embed a store made by a C2PA tool)")
    print(f"wrote {target} ({with_thousands(signed.output_bytes)} {unit})")
    print(index_advice(signed))

    found = read_manifest_at(target, signed.manifest_offset, signed.compressed)
    if found != manifest:
        raise ArchiveError(f"{target}: the manifest store read back differs from the one embedded")
    print(f"read the manifest store back from {target.name}: {with_thousands(len(found))} bytes, identical")


@contextlib.contextmanager
def sample_input(output: Optional[pathlib.Path]) -> Iterator[Tuple[pathlib.Path, pathlib.Path]]:
    """The built-in sample in a temporary directory, removed afterwards, and where its signed copy goes."""
    with tempfile.TemporaryDirectory(prefix="vellumark-") as directory:
        archive = pathlib.Path(directory) / "sample.warc"
        archive.write_bytes(sample_archive())
        target = output or signed_path(archive, compressed=False)
        print(f"built-in sample archive: {archive}" + ("" if output else " (removed on exit; --output keeps the result)"))
        yield archive, target


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("archive", nargs="?", type=pathlib.Path, help="a .warc or .warc.gz file (default: a built-in sample)")
    parser.add_argument("--manifest", type=pathlib.Path, help="the manifest store to embed (default: a placeholder)")
    parser.add_argument("--output", type=pathlib.Path, help="where to write the signed archive (default: beside the input)")
    args = parser.parse_args(argv)
    prog = parser.prog
    name = args.manifest
    try:
        manifest = read_manifest_file(args.manifest) if args.manifest else PLACEHOLDER_MANIFEST
        if args.archive is None:
            with sample_input(args.output) as (archive, target):
                name = archive
                run(archive, manifest, args.manifest is None, target)
            return 0
        name = args.archive
        if not args.archive.is_file():
            raise ArchiveError("no such file" if not args.archive.exists() else "not a file")
        with open(args.archive, "rb") as stream:
            compressed = is_gzip(stream)
        run(args.archive, manifest, args.manifest is None, args.output or signed_path(args.archive, compressed))
    except ArchiveError as error:
        print(f"{prog}: error: {name}: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{prog}: error: {error.filename or name}: {error.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
