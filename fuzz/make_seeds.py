"""Writes the fuzzers' seed corpora: records as writers lay them out, the shared
sample archive when it is present, and truncations of each; for the reader's
harness (--reader) the same as they stand in archives of older versions and in
gzip members, each behind the two bytes that pick its check and its splits.

    python fuzz/make_seeds.py DIRECTORY [--reader]
"""

import gzip
import hashlib
import pathlib
import sys
import zlib

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "shared" / "samples" / "example.com.warc"


def record(header_lines: str, body: bytes, separator: bytes = b"\r\n\r\n") -> bytes:
    return f"WARC/1.1\r\n{header_lines}Content-Length: {len(body)}\r\n\r\n".encode() + body + separator


def built(warc_type: str, content_type: str, record_id: str, body: bytes, target_uri: str = None) -> bytes:
    """The builder's own layout, written out here so the seeds need no build."""
    uri = f"WARC-Target-URI: {target_uri}\r\n" if target_uri is not None else ""
    return record(
        f"WARC-Type: {warc_type}\r\nWARC-Record-ID: <{record_id}>\r\n{uri}"
        f"WARC-Date: 2024-03-07T05:09:01Z\r\nContent-Type: {content_type}\r\n",
        body,
    )


def seeds():
    info = built("warcinfo", "application/warc-fields", "urn:uuid:1", b"software: seeds\r\n")
    response = built("response", "application/http", "urn:uuid:2", b"HTTP/1.1 200 OK\r\n\r\nhello", "http://e/")
    manifest = built("c2paprovenance", "application/c2pa", "urn:uuid:3", b"\x00c2pa manifest\xff")
    yield info + response
    yield info + manifest + response + manifest
    yield info + b"\r\n" + response + b"\r\n\r\n\r\n"
    yield record("WARC-TYPE: c2paprovenance\r\ncontent-type:application/c2pa\r\n", b"m", b"\n\n")
    yield record("X: \xc2\xa0v\xe3\x80\x80\r\n: empty\r\nno colon\r\n".encode("latin-1").decode("utf-8").encode(), b"")
    yield b"WARC/1.1\r\nContent-Length: +007\r\nContent-Length: 3\r\n\r\nabc"
    yield b"WARC/1.1\nContent-Length: 0\n\n"
    yield b"\r\n\r\n"
    if SAMPLE.exists():
        yield SAMPLE.read_bytes()


def reader_seeds():
    for n, seed in enumerate(seeds()):
        old = seed.replace(b"WARC/1.1", b"WARC/1.0")
        yield bytes([0, n]) + old
        yield bytes([0, n]) + old.replace(b"WARC-Type:", b"X: a\r\n b\r\nWARC-Type:") + b" "
        members = b"".join(gzip.compress(part, mtime=0) for part in seed.split(b"WARC/1.1")[1:] if part)
        yield bytes([1, n]) + members + b"\n"
        yield bytes([1, n]) + gzip.compress(seed, mtime=0) + bytes(8)
        yield bytes([1, n]) + with_header_crc(gzip.compress(seed, mtime=0), wrong=n % 2 == 1)


def with_header_crc(member: bytes, wrong: bool) -> bytes:
    """The member with FHCRC set and a header CRC, right or wrong: one gzip
    library checks it, another skips it."""
    header = member[:3] + bytes([member[3] | 0x02]) + member[4:10]
    crc = (zlib.crc32(header) ^ wrong) & 0xFFFF
    return header + crc.to_bytes(2, "little") + member[10:]


def main() -> None:
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for seed in reader_seeds() if "--reader" in sys.argv[2:] else seeds():
        cuts = {len(seed), len(seed) - 1, len(seed) - 4, len(seed) // 2, 9, 40}
        for cut in sorted(c for c in cuts if 0 < c <= len(seed)):
            data = seed[:cut]
            (out / hashlib.sha1(data).hexdigest()).write_bytes(data)
            count += 1
    print(f"{count} seeds in {out}")


if __name__ == "__main__":
    main()
