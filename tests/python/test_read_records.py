"""read_records: result shapes, the reader's rules as Python sees them, and a real archive."""

import gc
import json

import pytest

import vellumark
from conftest import SAMPLES, raw_record


def test_result_shape_and_types():
    archive = raw_record("WARC-Type: resource\r\n", b"hi")
    [record] = vellumark.read_records(archive)
    assert list(record) == ["headers", "body", "offset", "length"]
    assert record == {
        "headers": {"warc-type": "resource", "content-length": "2"},
        "body": b"hi",
        "offset": 0,
        "length": len(archive),
    }
    assert type(record["body"]) is bytes
    assert type(record["offset"]) is int and type(record["length"]) is int
    assert all(type(k) is str and type(v) is str for k, v in record["headers"].items())


@pytest.mark.parametrize("data", [b"", b"\r\n", b"\n\r\n\r\r"])
def test_no_records(data):
    assert vellumark.read_records(data) == []


def test_headers_are_lower_cased_and_a_repeated_name_keeps_the_later_value():
    [record] = vellumark.read_records(raw_record("WARC-TYPE: a\r\nX-Thing:  1 \r\nx-thing: 2\r\nÄ-Name: ü\r\n", b""))
    assert record["headers"] == {"warc-type": "a", "x-thing": "2", "Ä-name": "ü", "content-length": "0"}


def test_body_bytes_come_back_unchanged():
    body = bytes(range(256)) + b"\r\n\r\nWARC/1.1\xff\xfe"
    assert vellumark.read_records(raw_record("", body) + raw_record("", b""))[0]["body"] == body


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\r\nnot warc", "expected WARC/1.1 at offset 2"),
        (b"WARC/1.1\r\nX: \xff\r\nContent-Length: 0\r\n\r\n", "non-UTF-8 header"),
    ],
)
def test_malformed_archives_raise_value_error(data, message):
    with pytest.raises(ValueError) as info:
        vellumark.read_records(data)
    assert type(info.value) is ValueError
    assert info.value.args == ("invalid WARC record: " + message,)


def test_a_later_error_discards_the_records_before_it():
    with pytest.raises(ValueError, match="at offset"):
        vellumark.read_records(raw_record("", b"fine") + b"trailing junk")


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("tail", [b"", b"junk"])
def test_the_collector_state_is_restored(enabled, tail):
    # Enough records for the call to pause the collector, on success and on failure.
    archive = raw_record("", b"x") * 1000 + tail
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        try:
            assert len(vellumark.read_records(archive)) == 1000
        except ValueError:
            assert tail
        assert gc.isenabled() is enabled
    finally:
        gc.enable() if was else gc.disable()


def _described_headers(lines):
    """The inspector's header lines as the reader's map: later names win, keys lower-cased."""
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return headers


def test_sample_archive_matches_its_independent_description(sample_archive):
    description = json.loads((SAMPLES / "example.com.warc.inspect.json").read_text())["records"]
    records = vellumark.read_records(sample_archive)
    assert len(records) == len(description) == 9
    for record, described in zip(records, description):
        start, body_end = described["record_offsets"]
        assert record["offset"] == start
        assert record["headers"] == _described_headers(described["record_headers"])
        assert described["record_headers"][0] == "WARC/1.1"
        # the description stops at the body; the record also holds its CR LF CR LF
        assert record["length"] == body_end - start + 4
        assert sample_archive[body_end - len(record["body"]) : body_end] == record["body"]
        assert len(record["body"]) == int(record["headers"]["content-length"])
    assert records[-1]["offset"] + records[-1]["length"] == len(sample_archive)
