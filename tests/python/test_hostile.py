"""Hostile inputs give the right result or error (their timing is measured by bench/hostile.py)."""

import pytest

import vellumark
from conftest import raw_record

MIB = 1 << 20


@pytest.mark.parametrize(
    "data, message",
    [
        (b"WARC/1.1\r\n" + b"x" * (16 * MIB), "unterminated header"),
        (b"WARC/1.1\r\n" + b"a: b\r\n" * MIB, "unterminated header"),
        (b"WARC/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n" + b"x" * MIB, "body extends past end of data"),
        (raw_record("", b"x") * 1000 + b"WARC/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "invalid Content-Length"),
    ],
)
def test_errors(data, message):
    for function in (vellumark.read_records, vellumark.read_manifest):
        with pytest.raises(ValueError) as info:
            function(data)
        assert info.value.args == ("invalid WARC record: " + message,)


def test_a_header_block_of_100000_lines():
    lines = "".join(f"X-{i}: {i}\r\n" for i in range(100_000)) + "x-7: last\r\n"
    [record] = vellumark.read_records(raw_record(lines, b"body"))
    assert len(record["headers"]) == 100_001
    assert record["headers"]["x-7"] == "last" and record["headers"]["x-99999"] == "99999"


def test_deep_runs_of_line_breaks():
    data = b"\r\n" * MIB + raw_record("", b"x") + b"\r\n" * MIB + raw_record("", b"y") + b"\n" * MIB
    records = vellumark.read_records(data)
    assert [r["offset"] for r in records] == [2 * MIB, 4 * MIB + len(raw_record("", b"x"))]
    assert vellumark.read_records(b"\r\n" * MIB) == []
