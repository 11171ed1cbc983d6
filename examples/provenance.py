"""Embed a C2PA Manifest Store in an archive on disk and read it back.

    python examples/provenance.py                 # a small sample archive, built here
    python examples/provenance.py crawl.warc.gz   # your own; writes crawl.c2pa.warc.gz

The same as `vellumark sign ARCHIVE --manifest STORE`, through the Python API.
Creating and signing the manifest store is a C2PA tool's job: an unsigned
placeholder stands in for one here.
"""

from __future__ import annotations

import gzip
import os
import sys
import tempfile
import uuid

import vellumark
from vellumark_tools import iter_records, read_manifest, sign_archive

# Bytes shaped like a JUMBF superbox, as a real store is; they prove nothing.
PLACEHOLDER_STORE = b"\x00\x00\x00\x28jumb\x00\x00\x00\x20jumdc2pa" + b"\x00" * 12 + b"vellumark example"


def sample_archive(path: str) -> None:
    """A small crawl, a gzip member per record as crawlers write it: warcinfo, request, response."""
    page = b"<!doctype html><title>Example</title><p>Hello from the sample archive.</p>\n"
    response = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n\r\n%s" % (len(page), page)
    records = [
        vellumark.build_record("warcinfo", "application/warc-fields", f"urn:uuid:{uuid.uuid4()}", b"software: vellumark example\r\n"),
        vellumark.build_record("request", "application/http; msgtype=request", f"urn:uuid:{uuid.uuid4()}",
                               b"GET / HTTP/1.1\r\nHost: example.com\r\n\r\n", "http://example.com/"),
        vellumark.build_record("response", "application/http; msgtype=response", f"urn:uuid:{uuid.uuid4()}", response,
                               "http://example.com/"),
    ]
    with open(path, "wb") as out:
        for record in records:
            out.write(gzip.compress(record, mtime=0))


def show(archive: str, store: bytes) -> None:
    signed = sign_archive(archive, store)  # sign() also takes a WACZ package, and then says so in its result
    print(f"signed {archive}: {signed.records} records (WARC/{signed.version}) -> {signed.output}")
    print(f"  {signed.index_advice()}")
    print(f"  {'offset':>8} {'length':>7}  type")
    for record in iter_records(signed.output):
        print(f"  {record.offset:>8} {record.length or 0:>7}  {record.headers.get('warc-type')}")
    found = read_manifest(signed.output)
    assert found is not None and found.store == store
    print(f"read back: a {len(found.store)}-byte manifest store at offset {found.offset}, identical to the one embedded")


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        show(argv[1], PLACEHOLDER_STORE)
        return 0
    with tempfile.TemporaryDirectory(prefix="vellumark-") as directory:
        archive = os.path.join(directory, "sample.warc.gz")
        sample_archive(archive)
        show(archive, PLACEHOLDER_STORE)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
