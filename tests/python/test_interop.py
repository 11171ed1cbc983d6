"""Interop with the peers: what we write, warcio and FastWARC read the same way,
and what warcio writes, we read the same way."""

import io

import pytest

import vellumark
from conftest import importorskip, raw_record


def with_warcio(archive: bytes):
    archiveiterator = importorskip("warcio.archiveiterator", "warcio is a test extra: pip install '.[test]'")
    rows = []
    for record in archiveiterator.ArchiveIterator(io.BytesIO(archive), no_record_parse=True):
        rows.append(({k.lower(): v for k, v in record.rec_headers.headers}, record.raw_stream.read()))
    return rows


def with_fastwarc(archive: bytes):
    warc = importorskip("fastwarc.warc", "FastWARC is a test extra, with no wheel for CPython 3.9")
    return [
        ({k.lower(): v for k, v in r.headers.items()}, r.reader.read())
        for r in warc.ArchiveIterator(io.BytesIO(archive), parse_http=False)
    ]


def with_vellumark(archive: bytes):
    return [(r["headers"], r["body"]) for r in vellumark.read_records(archive)]


def our_archive() -> bytes:
    page = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<p>\xc3\xa9t\xc3\xa9</p>\r\n\r\n"
    records = [
        vellumark.build_record("warcinfo", "application/warc-fields", "urn:uuid:1", b"software: test\r\n"),
        vellumark.build_record("response", "application/http; msgtype=response", "urn:uuid:2", page, "http://e.com/"),
        vellumark.build_record("resource", "image/png", "urn:uuid:3", bytes(range(256)) * 4, "http://e.com/i.png"),
        vellumark.build_record("metadata", "application/warc-fields", "urn:uuid:4", b"", "http://e.com/"),
    ]
    return vellumark.append_manifest(b"".join(records), b"\x00manifest\xff", "urn:uuid:5")


@pytest.mark.parametrize("peer", [with_warcio, with_fastwarc])
def test_peers_read_what_we_write(peer):
    archive = our_archive()
    assert peer(archive) == with_vellumark(archive)
    assert with_vellumark(archive)[-1] == (
        {
            "warc-type": "c2paprovenance",
            "warc-record-id": "<urn:uuid:5>",
            "warc-date": vellumark.read_records(archive)[-1]["headers"]["warc-date"],
            "content-type": "application/c2pa",
            "content-length": "10",
        },
        b"\x00manifest\xff",
    )


def test_we_read_what_warcio_writes():
    warcwriter = importorskip("warcio.warcwriter", "warcio is a test extra: pip install '.[test]'")
    statusandheaders = importorskip("warcio.statusandheaders", "warcio is a test extra: pip install '.[test]'")
    out = io.BytesIO()
    writer = warcwriter.WARCWriter(out, gzip=False, warc_version="1.1")
    http = statusandheaders.StatusAndHeaders("200 OK", [("Content-Type", "text/plain")], protocol="HTTP/1.1")
    writer.write_record(writer.create_warcinfo_record("crawl.warc", {"software": "test"}))
    writer.write_record(
        writer.create_warc_record("http://e.com/", "response", payload=io.BytesIO(b"hello\r\n\r\n"), http_headers=http)
    )
    writer.write_record(
        writer.create_warc_record("http://e.com/x", "resource", payload=io.BytesIO(bytes(300)), warc_content_type="application/octet-stream")
    )
    archive = out.getvalue()
    assert archive.startswith(b"WARC/1.1\r\n")
    ours = with_vellumark(archive)
    assert [h["warc-type"] for h, _ in ours] == ["warcinfo", "response", "resource"]
    assert ours == with_warcio(archive)
    assert ours[1][1].endswith(b"\r\n\r\nhello\r\n\r\n")
    assert vellumark.read_manifest(vellumark.append_manifest(archive, b"m", "id")) == b"m"


def test_lenient_layouts_agree_with_the_peers():
    archive = raw_record("WARC-Type: resource\r\n", b"a") + b"\r\n" + raw_record("WARC-Type: resource\r\n", b"b")
    assert with_warcio(archive) == with_vellumark(archive)


@pytest.mark.parametrize("peer", [with_warcio, with_fastwarc])
def test_the_sample_archive_reads_the_same_through_every_reader(sample_archive, peer):
    assert peer(sample_archive) == with_vellumark(sample_archive)
