"""read_manifest and append_manifest: properties over generated archives, and the exact failures."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vellumark
from conftest import is_manifest, raw_record

PLAIN = vellumark.build_record("resource", "text/plain", "urn:uuid:plain", b"plain body")


def manifest_record(body: bytes) -> bytes:
    return vellumark.build_record("c2paprovenance", "application/c2pa", "urn:uuid:old", body)


def test_read_manifest_none_without_a_manifest_record():
    assert vellumark.read_manifest(b"") is None
    assert vellumark.read_manifest(b"\r\n") is None
    assert vellumark.read_manifest(PLAIN) is None


def test_read_manifest_takes_the_last_one():
    assert vellumark.read_manifest(manifest_record(b"first") + PLAIN + manifest_record(b"second")) == b"second"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vellumark.read_manifest(b"abcdefg"), "expected WARC/1.1 at offset 0"),
        (lambda: vellumark.read_manifest(manifest_record(b"m") + b"WARC/1.1\r\n\r\n"), "missing Content-Length"),
        (lambda: vellumark.append_manifest(b"", b"m", "id"), "empty WARC data"),
        (lambda: vellumark.append_manifest(b"", b"m", "id\r\n"), "empty WARC data"),
        (lambda: vellumark.append_manifest(PLAIN, b"m", "id\nWARC-Type: x"), "CR or LF in WARC-Record-ID"),
        (lambda: vellumark.append_manifest(b"junk", b"m", "\r"), "CR or LF in WARC-Record-ID"),
        (lambda: vellumark.append_manifest(b"WARC/1.1\r\n\r\n", b"m", "id"), "missing Content-Length"),
    ],
)
def test_failures(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert info.value.args == ("invalid WARC record: " + message,)


def test_append_to_line_breaks_only_gives_the_manifest_record_alone():
    out = vellumark.append_manifest(b"\r\n\r\n", b"m", "urn:uuid:new")
    [record] = vellumark.read_records(out)
    assert record["offset"] == 0 and is_manifest(record)
    assert record["headers"]["warc-record-id"] == "<urn:uuid:new>"
    assert "warc-target-uri" not in record["headers"]


def test_empty_manifest():
    out = vellumark.append_manifest(PLAIN, b"", "id")
    assert vellumark.read_manifest(out) == b""
    assert vellumark.read_records(out)[-1]["headers"]["content-length"] == "0"


# Archives as crawlers leave them: records of several writers, manifest store
# records among them, and stray line breaks between.
records = st.one_of(
    st.builds(
        lambda t, body: vellumark.build_record(t, "application/http", "urn:uuid:r", body, "http://example.com/"),
        st.sampled_from(["request", "response", "metadata", "warcinfo"]),
        st.binary(max_size=200),
    ),
    st.binary(max_size=50).map(manifest_record),
    st.builds(raw_record, st.just("WARC-Type: resource\r\n"), st.binary(max_size=50), st.sampled_from([b"", b"\n\n", b"\r\n\r\n"])),
)
gaps = st.sampled_from([b"", b"", b"\r\n", b"\n", b"\r\n\r\n\r\n"])
archives = st.lists(st.tuples(gaps, records), max_size=8).map(lambda parts: b"".join(g + r for g, r in parts))


def _separated(archive: bytes) -> bytes:
    # A record without its own separator must not run into the next one.
    return archive if archive.endswith(b"\r\n\r\n") or not archive else archive + b"\r\n\r\n"


@settings(max_examples=80, deadline=None)
@given(archives, st.binary(max_size=500), st.text(st.characters(exclude_categories=("Cs",), exclude_characters="\r\n"), max_size=30))
def test_append_then_read(archive, manifest, record_id):
    archive = _separated(archive) or b"\r\n"
    out = vellumark.append_manifest(archive, manifest, record_id)
    assert vellumark.read_manifest(out) == manifest

    before = vellumark.read_records(archive)
    after = vellumark.read_records(out)
    kept = [archive[r["offset"] : r["offset"] + r["length"]] for r in before if not is_manifest(r)]
    assert [out[r["offset"] : r["offset"] + r["length"]] for r in after[:-1]] == kept
    assert out.startswith(b"".join(kept))
    assert [is_manifest(r) for r in after].count(True) == 1 and is_manifest(after[-1])
    assert after[-1]["headers"]["warc-record-id"] == f"<{record_id}>"

    again = vellumark.append_manifest(out, b"second", "id2")
    assert vellumark.read_manifest(again) == b"second"
    assert len(vellumark.read_records(again)) == len(after)
