"""Hostile inputs in linear time: each case at two sizes, with its result checked.
The larger size is the one to judge: a 100 MiB header block, a million tiny
records, 100,000 header lines, 100 MiB behind a Content-Length of 2^64-1.

    python bench/hostile.py

A time that grows much faster than the size between the two rows of a case
points at a super-linear step.
"""

import statistics
import time

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


if __name__ == "__main__":
    main()
