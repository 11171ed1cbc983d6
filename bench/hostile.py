"""Hostile inputs in linear time: each case at two sizes, with its result checked.
The larger size is the one to judge: a 100 MiB header block, a million tiny
records, 100,000 header lines, 100 MiB behind a Content-Length of 2^64-1; then
hostile manifest stores, as the binding reads them (vellumark_tools), with the
peak of the memory allocated on the way as a multiple of the store's size.

    python bench/hostile.py

A time that grows much faster than the size between the two rows of a case
points at a super-linear step.
"""

import io
import statistics
import struct
import time
import tracemalloc

import vellumark

MIB = 1 << 20


def record(header_lines: bytes, body: bytes) -> bytes:
    return b"WARC/1.1\r\n" + header_lines + b"Content-Length: %d\r\n\r\n" % len(body) + body + b"\r\n\r\n"


def header_lines(count: int) -> bytes:
    return b"".join(b"X-%d: %d\r\n" % (i, i) for i in range(count))


CASES = {
    # name: (make(scale), expected result or error text)
    "header block without terminator": (lambda n: b"WARC/1.1\r\n" + b"a: b\r\n" * (n * 50 * MIB // 6), "unterminated header"),
    "tiny records": (lambda n: record(b"", b"x") * (n * 500_000), None),
    "header block of many lines": (lambda n: record(header_lines(n * 50_000), b""), None),
    "Content-Length of 2^64-1": (
        lambda n: b"WARC/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n" + bytes(n * 50 * MIB),
        "body extends past end of data",
    ),
    "deep runs of CR LF": (lambda n: (b"\r\n" * (n * 25 * MIB) + record(b"", b"x")) * 2, None),
}


def run(data: bytes, expected_error):
    try:
        result = vellumark.read_records(data)
    except ValueError as error:
        assert expected_error and str(error) == "invalid WARC record: " + expected_error, error
        return
    assert expected_error is None, f"expected {expected_error!r}"
    assert result


# ---------------------------------------------------------------------------- manifest stores

TAIL = bytes.fromhex("00110010800000aa00389b71")


def box(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def superbox(fourcc: bytes, label: bytes, *boxes: bytes) -> bytes:
    return box(b"jumb", box(b"jumd", fourcc + TAIL + b"\x03" + label + b"\x00") + b"".join(boxes))


def manifest(claim: bytes, data_hash: bytes = b"\xa0", *more: bytes) -> bytes:
    assertion = superbox(b"cbor", b"c2pa.hash.data", box(b"cbor", data_hash))
    return superbox(b"c2ma", b"urn:c2pa:x", superbox(b"c2as", b"c2pa.assertions", assertion, *more),
                    superbox(b"c2cl", b"c2pa.claim.v2", box(b"cbor", claim)))


def c2pa_store(*manifests: bytes) -> bytes:
    return superbox(b"c2pa", b"c2pa", *manifests)


def array(count: int, item: bytes) -> bytes:
    return b"\x9a" + struct.pack(">I", count) + item * count


DATA_HASH = (b"\xa4\x6aexclusions\x81\xa2\x65start\x00\x66length\x00\x63alg\x66sha256"
             b"\x64hash\x58\x20" + bytes(32) + b"\x63pad\x40")  # a placeholder
REFERENCE = b"\xa2\x63url\x61x\x64hash\x40"  # a hashed URI of another assertion
RANGE = b"\xa2\x65start\x00\x66length\x00"

STORE_CASES = {
    # name: (make(scale), the verdict, its reason's start)
    "claim: items stepped over": (lambda n: c2pa_store(manifest(b"\xa2\x63alg\x66sha256\x63big" + array(n * 8 << 20, b"\x00"),
                                                                DATA_HASH)), "malformed", "the store's CBOR: more than 1,000,000 items"),
    "claim: references read one by one": (lambda n: c2pa_store(manifest(b"\xa1\x72created_assertions" + array(n << 20, REFERENCE),
                                                                        DATA_HASH)),
                                          "malformed", "the store's CBOR: more than 1,000,000 items"),
    "data hash: too many ranges": (lambda n: c2pa_store(manifest(b"\xa0", b"\xa1\x6aexclusions" + array(n << 20, RANGE))),
                                   "malformed", "the store's CBOR: more than 100,000 items in one value"),
    "boxes: empty ones in the assertion store": (lambda n: c2pa_store(manifest(b"\xa0", DATA_HASH, box(b"free", b"") * (n << 20))),
                                                 "placeholder, not signed yet", ""),
    "boxes: tiny assertions, walked not kept": (lambda n: c2pa_store(manifest(b"\xa0", DATA_HASH, *[superbox(b"cbor", b"x")] * (n << 18))),
                                                "placeholder, not signed yet", ""),
    "boxes: manifests, the last one active": (lambda n: c2pa_store(*[manifest(b"\xa0", DATA_HASH)] * (n << 14)),
                                              "placeholder, not signed yet", ""),
    "boxes: nested deep": (lambda n: c2pa_store(manifest(b"\xa0", DATA_HASH, _nested(n * 200_000))),
                           "malformed", "the store's boxes: superboxes nested more than 16 deep"),
    "CBOR: a string longer than the store": (lambda n: c2pa_store(manifest(b"\xa0", b"\x5b" + b"\x7f" * 8 + bytes(n * 16 << 20))),
                                             "malformed", "the store's CBOR: a string of"),
}


def _nested(depth: int) -> bytes:
    """Superboxes each holding the next, built from the inside out without quadratic copies."""
    head = box(b"jumd", b"xxxx" + TAIL + b"\x00")
    parts, size = [], 0
    for _ in range(depth):
        size += 8 + len(head)
        parts.append(head)
    out = bytearray()
    for n in range(depth):  # the outermost first: its length counts every one inside it
        out += struct.pack(">I", size - n * (8 + len(head))) + b"jumb" + head
    return bytes(out)


def bind(store: bytes):
    from vellumark_tools.binding import verify

    return verify(io.BytesIO(bytes(1000)), (900, 100), store)


def stores() -> None:
    print(f"\n{'manifest store':40}{'MB':>8}{'ms':>10}{'MB/s':>9}{'peak/size':>11}  verdict")
    bind(b"")  # imports done before memory is traced
    for name, (make, verdict, reason) in STORE_CASES.items():
        for scale in (1, 2):
            store = make(scale)
            tracemalloc.start()
            binding = bind(store)
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            assert binding.verdict.value == verdict and binding.reason.startswith(reason), binding.line()
            times = []
            for _ in range(3):
                start = time.perf_counter()
                bind(store)
                times.append(time.perf_counter() - start)
            seconds = statistics.median(times)
            print(f"{name:40}{len(store) / 1e6:8.1f}{seconds * 1e3:10.1f}{len(store) / seconds / 1e6:9.0f}"
                  f"{peak / len(store):11.2f}  {binding.verdict.value}")


def main() -> None:
    print(f"{'case':34}{'MB':>8}{'ms':>10}{'MB/s':>9}")
    for name, (make, expected) in CASES.items():
        for scale in (1, 2):
            data = make(scale)
            run(data, expected)
            times = []
            for _ in range(3):
                start = time.perf_counter()
                run(data, expected)
                times.append(time.perf_counter() - start)
            seconds = statistics.median(times)
            print(f"{name:34}{len(data) / 1e6:8.1f}{seconds * 1e3:10.1f}{len(data) / seconds / 1e6:9.0f}")
    stores()


if __name__ == "__main__":
    main()
