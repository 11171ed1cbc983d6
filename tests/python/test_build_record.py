"""build_record: the layout, the clock, and the refusal of CR and LF in header texts."""

import calendar
import re
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vellumark

LAYOUT = re.compile(
    rb"WARC/1\.1\r\n"
    rb"WARC-Type: resource\r\n"
    rb"WARC-Record-ID: <urn:uuid:1>\r\n"
    rb"WARC-Date: (\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)\r\n"
    rb"Content-Type: text/plain\r\n"
    rb"Content-Length: 2\r\n"
    rb"\r\n"
    rb"hi\r\n\r\n\Z"
)


def _date(record: bytes) -> str:
    return re.search(rb"WARC-Date: (\S+)\r\n", record).group(1).decode()


def test_layout_and_timestamp_of_now():
    before = int(time.time())
    record = vellumark.build_record("resource", "text/plain", "urn:uuid:1", b"hi")
    after = int(time.time())
    match = LAYOUT.match(record)
    assert match, record
    stamped = calendar.timegm(time.strptime(match.group(1).decode(), "%Y-%m-%dT%H:%M:%SZ"))
    assert before <= stamped <= after


def test_keywords_in_any_order_give_the_same_record():
    positional = vellumark.build_record("response", "application/http", "id", b"x", "http://e/")
    keywords = vellumark.build_record(
        body=b"x", target_uri="http://e/", record_id="id", content_type="application/http", warc_type="response"
    )
    assert keywords.replace(_date(keywords).encode(), b"") == positional.replace(_date(positional).encode(), b"")


def test_none_target_uri_is_the_same_as_leaving_it_out():
    left_out = vellumark.build_record("r", "t", "i", b"")
    none = vellumark.build_record("r", "t", "i", b"", None)
    assert b"WARC-Target-URI" not in none
    assert none.replace(_date(none).encode(), b"") == left_out.replace(_date(left_out).encode(), b"")


def test_empty_target_uri_and_empty_body():
    record = vellumark.build_record("r", "t", "i", b"", "")
    assert b"\r\nWARC-Target-URI: \r\nWARC-Date: " in record
    assert record.endswith(b"\r\nContent-Length: 0\r\n\r\n\r\n\r\n")


@pytest.mark.parametrize(
    "args, field",
    [
        (("resource\r\nWARC-Type: forged", "t", "i", b""), "WARC-Type"),
        (("r", "text/plain\nContent-Length: 0", "i", b""), "Content-Type"),
        (("r", "t", "id\r", b""), "WARC-Record-ID"),
        (("r", "t", "i", b"", "http://x/\r\nWARC-Type: forged"), "WARC-Target-URI"),
        (("r", "t\n", "i\r", b"", "\n"), "Content-Type"),
    ],
)
def test_cr_or_lf_in_a_header_text_is_refused(args, field):
    with pytest.raises(ValueError) as info:
        vellumark.build_record(*args)
    assert info.value.args == (f"invalid WARC record: CR or LF in {field}",)


def test_conversion_errors_come_before_the_refusal():
    with pytest.raises(TypeError, match="argument 'body'"):
        vellumark.build_record("bad\r\n", "t", "i", bytearray())


def test_texts_are_written_unchanged_apart_from_cr_and_lf():
    record = vellumark.build_record(" r ", "", "<id>", b"", " ")
    assert b"\r\nWARC-Type:  r \r\n" in record
    assert b"\r\nWARC-Record-ID: <<id>>\r\n" in record
    assert b"\r\nContent-Type: \r\n" in record


# Texts the reader gives back exactly: no CR or LF, and no white space at the ends.
header_text = st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\r\n"), max_size=20).map(str.strip)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(
        st.tuples(header_text, header_text, header_text, st.one_of(st.none(), header_text), st.binary(max_size=300)),
        max_size=8,
    )
)
def test_built_records_read_back(specs):
    built = [vellumark.build_record(t, ct, rid, body, uri) for t, ct, rid, uri, body in specs]
    records = vellumark.read_records(b"".join(built))
    assert len(records) == len(built)
    offset = 0
    for record, raw, (warc_type, content_type, record_id, uri, body) in zip(records, built, specs):
        assert (record["offset"], record["length"], record["body"]) == (offset, len(raw), body)
        expected = {
            "warc-type": warc_type,
            "warc-record-id": f"<{record_id}>",
            "warc-date": _date(raw),
            "content-type": content_type,
            "content-length": str(len(body)),
        }
        if uri is not None:
            expected["warc-target-uri"] = uri
        assert record["headers"] == expected
        offset += len(raw)
