"""Reading archives on disk: gzip members with their offsets, records one at a
time whatever the layout, the older WARC versions, and one-line diagnoses."""

import gzip
import io
import os
import re
import subprocess
import sys
import zlib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vellumark
from conftest import SAMPLES, command_env, inflated, linux_only, manifest_record, per_record_gz, record, shown_as_1_1
from vellumark_tools import ArchiveError, ArchiveReader, iter_records
from vellumark_tools import archive, members, splitter

INFLATERS = list(members.inflaters().values())
KEPT = [record("warcinfo", b"software: test\r\n", 0), record("response", os.urandom(5000), 1),
        record("request", b"GET / HTTP/1.1\r\n\r\n", 2), record("resource", b"", 3)]


def pieces_of(data: bytes, inflater=None, **kwargs):
    return list(members.iter_members(io.BytesIO(data).read, inflater, **kwargs))


def read(data: bytes, **kwargs):
    return list(iter_records(io.BytesIO(data), **kwargs))


# ---------------------------------------------------------------------------- gzip members


@pytest.mark.parametrize("inflater", INFLATERS, ids=lambda m: m.__name__)
def test_members_come_back_with_their_offsets_lengths_and_contents(inflater):
    contents = [b"", b"a" * 10, os.urandom(3 << 20), b"text " * 50_000, b""] + [b"%d" % i for i in range(3000)]
    packed = [gzip.compress(c) for c in contents]
    got, data = [], b""
    for piece in pieces_of(b"".join(packed), inflater):  # a member larger than a piece comes in several
        data += piece.data
        if piece.length is not None:
            got.append((piece.offset, piece.length, data))
            data = b""
    offsets = [sum(map(len, packed[:i])) for i in range(len(packed))]
    assert got == list(zip(offsets, map(len, packed), contents))


def test_a_member_larger_than_a_piece_comes_in_pieces(monkeypatch):
    monkeypatch.setattr(members, "PIECE", 1000)
    content = os.urandom(5500)
    got = pieces_of(gzip.compress(content) + gzip.compress(b"next"))
    assert b"".join(p.data for p in got[:-1]) == content and got[-1].data == b"next"
    assert all(len(p.data) <= 1000 for p in got) and [p.length is not None for p in got].count(True) == 2


GZIP_FAULTS = [
    # (why, data, message)
    ("truncated", gzip.compress(b"one") + gzip.compress(b"two" * 100)[:-5], "truncated gzip member at compressed offset 23"),
    ("garbage after a member", gzip.compress(b"one") + b"WARC/1.1 plain", "not gzip data at compressed offset 23 (b'WARC/1.1')"),
    ("corrupt deflate data", b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff" + b"\xff" * 20, "corrupt gzip member at compressed offset 0"),
    ("zeros, then garbage", gzip.compress(b"one") + bytes(8) + b"x", "not gzip data at compressed offset 23"),
    ("one stray byte at the end", gzip.compress(b"one") + b"\x1f", "not gzip data at compressed offset 23"),
]


@pytest.mark.parametrize("inflater", INFLATERS, ids=lambda m: m.__name__)
@pytest.mark.parametrize("why, data, message", GZIP_FAULTS, ids=[f[0] for f in GZIP_FAULTS])
def test_faulty_gzip_is_named_with_its_compressed_offset(why, data, message, inflater):
    # isal used to call trailing garbage "truncated"; zlib and isal must agree
    assert len(gzip.compress(b"one")) == 23
    with pytest.raises(ArchiveError) as info:
        pieces_of(data, inflater)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("inflater", INFLATERS, ids=lambda m: m.__name__)
def test_trailing_zero_padding_is_accepted_and_is_not_data(inflater):
    data = gzip.compress(b"one") + gzip.compress(b"two")
    reader = members.MemberReader(io.BytesIO(data + bytes(members.BLOCK + 7)).read, inflater)
    assert [p.data for p in reader.pieces()] == [b"one", b"two"]
    assert reader.end == len(data)


def test_inflating_feeds_each_byte_a_bounded_number_of_times():
    # Feeding whole blocks would hand back the rest of the block as unused data
    # after every member, which is quadratic; bounded slices keep it linear.
    fed = []

    class Counting:
        error = zlib.error

        @staticmethod
        def decompressobj(wbits):
            inner = zlib.decompressobj(wbits=wbits)

            class Wrapper:
                def decompress(self, data, max_length=0):
                    fed.append(len(data))
                    return inner.decompress(data, max_length)

                eof = property(lambda self: inner.eof)
                unused_data = property(lambda self: inner.unused_data)
                unconsumed_tail = property(lambda self: inner.unconsumed_tail)

            return Wrapper()

    data = per_record_gz([b"%05d" % i for i in range(2000)])
    assert len(pieces_of(data, Counting)) == 2000
    assert sum(fed) <= 3 * len(data) + 2000 * members.FIRST_SLICE


def test_a_member_inflating_past_the_limit_is_refused():
    bomb = gzip.compress(b"WARC/1.1\r\nContent-Length: 3000000\r\n\r\n" + bytes(3_000_000))
    with pytest.raises(ArchiveError, match="the gzip member at compressed offset 0 inflates to more than 1,048,576 bytes"):
        read(bomb, member_limit=1 << 20)


@linux_only("RLIMIT_AS")
def test_a_gzip_bomb_is_diagnosed_within_bounded_memory(tmp_path):
    # 256 MiB of zeros in one member of about 256 KB: inflated whole, or gathered
    # and joined, it would not fit under the limit the child sets.
    bomb = tmp_path / "bomb.warc.gz"
    with open(bomb, "wb") as out:
        compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
        for _ in range(256):
            out.write(compressor.compress(bytes(1 << 20)))
        out.write(compressor.flush())
    assert bomb.stat().st_size < 1 << 20
    code = f"""
import resource, sys
from vellumark_tools import iter_records, ArchiveError
vm = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (vm + (160 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
try:
    list(iter_records({str(bomb)!r}))
except ArchiveError as error:
    print(error)
"""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=command_env(), timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert "not a WARC archive (it starts with b'\\x00" in child.stdout


# ---------------------------------------------------------------------------- records, every layout

LAYOUTS = {
    # name: (records -> file bytes, every record alone in its member)
    "plain": (lambda rs: b"".join(rs), False),
    "per-record gzip": (per_record_gz, True),
    "one gzip member": (lambda rs: gzip.compress(b"".join(rs)), False),
    "a record split over members": (lambda rs: gzip.compress(rs[0][:30]) + per_record_gz([rs[0][30:]] + rs[1:]), False),
    "two records in a member": (lambda rs: gzip.compress(rs[0] + rs[1]) + per_record_gz(rs[2:]), False),
    "empty members between": (lambda rs: b"".join(gzip.compress(r) + gzip.compress(b"") for r in rs), True),
    "line breaks in members of their own": (lambda rs: b"".join(gzip.compress(r) + gzip.compress(b"\r\n") for r in rs), True),
}


@pytest.mark.parametrize("version", ["1.1", "1.0"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_records_are_the_modules_records_of_the_whole_archive(layout, version):
    records = [record("warcinfo", b"software: test\r\n", 0, version), record("response", os.urandom(5000), 1, version),
               manifest_record(2, version), record("resource", b"", 3, version)]
    make, alone = LAYOUTS[layout]
    data = make(records)
    whole = inflated(data) if data[:2] == b"\x1f\x8b" else data
    expected = vellumark.read_records(shown_as_1_1(whole))
    got = read(data)
    assert [r.warc for r in got] == expected
    assert {r.version for r in got} == {version}
    if data[:2] != b"\x1f\x8b":
        assert [(r.offset, r.length) for r in got] == [(e["offset"], e["length"]) for e in expected]
    elif alone:
        # each record's gzip member, exactly
        for r in got:
            member = data[r.offset : r.offset + r.length]
            assert r.own_member and gzip.decompress(member).startswith(b"WARC/")
    else:
        assert not all(r.own_member for r in got)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])  # the patch is the same for every input
@given(
    bodies=st.lists(st.binary(max_size=300), min_size=1, max_size=8),
    separators=st.lists(st.sampled_from([b"", b"\r\n", b"\r\n\r\n", b"\n\n", b"\r\n\r\n\r\n"]), min_size=8, max_size=8),
    cuts=st.lists(st.integers(min_value=1, max_value=400), max_size=6),
    compressed=st.booleans(),
    versions=st.lists(st.sampled_from(["1.1", "1.0", "0.18"]), min_size=8, max_size=8),
)
def test_any_split_into_members_or_blocks_reads_as_the_whole(bodies, separators, cuts, compressed, versions, monkeypatch):
    monkeypatch.setattr(archive, "READ", 97)  # many small blocks, as a large archive has many large ones
    parts = []
    for i, body in enumerate(bodies):
        head = b"WARC/%s\r\nWARC-Type: resource\r\nContent-Length: %d\r\n\r\n" % (versions[i].encode(), len(body))
        parts.append(head + body + (separators[i] if i < len(bodies) - 1 else b"\r\n\r\n"))
    whole = b"".join(parts)
    if compressed:
        points = sorted({min(c * 7, len(whole)) for c in cuts} | {0, len(whole)})
        data = b"".join(gzip.compress(whole[a:b]) for a, b in zip(points, points[1:]))
    else:
        data = whole
    presented = bytearray(whole)
    for r in vellumark.read_records(shown_as_1_1(whole)):
        presented[r["offset"] + 5 : r["offset"] + 8] = b"1.1"
    expected = vellumark.read_records(bytes(presented))
    got = read(data)
    assert [r.warc for r in got] == expected
    assert [r.version for r in got] == [versions[i] for i in range(len(bodies))]


def test_a_body_quoting_an_old_version_line_comes_back_as_it_was():
    quoting = b"WARC/1.0\r\nWARC-Type: response\r\nContent-Length: 0\r\n\r\n" * 3
    records = [record("resource", quoting, i, "1.0") for i in range(3)]
    for data in (b"".join(records), per_record_gz(records), gzip.compress(b"".join(records))):
        assert [r.body for r in read(data)] == [quoting] * 3


@pytest.mark.parametrize("compressed", [False, True])
def test_a_record_larger_than_what_is_read_at_once_streams(compressed, monkeypatch):
    monkeypatch.setattr(archive, "READ", 4096)
    monkeypatch.setattr(members, "PIECE", 4096)
    big = os.urandom(100_000) + b"\r\nWARC/1.1 inside the body\r\n" + os.urandom(1000)
    records = [KEPT[0], record("resource", big, 9), KEPT[2]]
    data = per_record_gz(records) if compressed else b"".join(records)
    got = read(data)
    assert [r.body for r in got] == [vellumark.read_records(r)[0]["body"] for r in records]


def test_the_sample_archive_reads_as_the_module_reads_it(sample_archive):
    assert [r.warc for r in iter_records(SAMPLES / "example.com.warc")] == vellumark.read_records(sample_archive)


# ---------------------------------------------------------------------------- refusals

REFUSALS = [
    # (why, file bytes, message)
    ("empty file", b"", "empty archive"),
    ("only empty gzip members", gzip.compress(b"") * 3, "empty archive"),
    ("a version not read", b"WARC/1.2\r\nContent-Length: 0\r\n\r\n", "a WARC/1.2 record, a version this tool does not read"),
    ("gzip inside plain data", KEPT[0] + gzip.compress(KEPT[1]), f"gzip-compressed data in the middle of an uncompressed archive, at offset {len(KEPT[0])}"),
    ("zstd", b"\x28\xb5\x2f\xfd" + bytes(20), "zstd-compressed data"),
    ("bare LF line ends", b"WARC/1.1\nContent-Length: 1\n\nx\n\n", "unterminated header: header lines end in a bare LF"),
    ("not WARC at all", b"<html>hello</html>", "not a WARC archive (it starts with b'<html>he'), at offset 0"),
    ("junk after a whole record", KEPT[0] + b"junk\r\n", f"bytes that are not a WARC record (b'junk\\r\\n'), at offset {len(KEPT[0])}"),
    ("a record cut short", KEPT[1][:-100], "invalid WARC record at offset 0: body extends past end of data"),
    ("a bad Content-Length", b"WARC/1.0\r\nContent-Length: 12a\r\n\r\n", "invalid WARC record at offset 0: invalid Content-Length"),
    ("the last of many records bad", KEPT[0] * 50 + b"WARC/1.1\r\n\r\n\r\n", f"invalid WARC record at offset {50 * len(KEPT[0])}: missing Content-Length"),
    ("bad in a gzip member", per_record_gz([KEPT[0], b"WARC/1.1\r\nContent-Length: x\r\n\r\n"]),
     f"invalid WARC record at offset {len(KEPT[0])} of the inflated data (in the gzip member at compressed offset {len(gzip.compress(KEPT[0]))}): invalid Content-Length"),
]


@pytest.mark.parametrize("why, data, message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_refused_archives_get_a_one_line_diagnosis(why, data, message):
    with pytest.raises(ArchiveError) as info:
        read(data)
    assert message in str(info.value) and "\n" not in str(info.value)


def test_the_last_record_of_many_members_is_diagnosed_by_its_member():
    # used to inflate the whole archive into memory to find out
    data = per_record_gz([KEPT[0]] * 10_000)
    bad = gzip.compress(b"WARC/1.1\r\nWARC-Type: x\r\n\r\n")
    with pytest.raises(ArchiveError, match=f"in the gzip member at compressed offset {len(data)}\\): missing Content-Length"):
        read(data + bad)


@pytest.mark.parametrize("compressed", [False, True])
def test_one_stray_line_after_a_body_is_stepped_over_as_warcio_does(compressed):
    # A Content-Length 3 bytes short leaves "m\r\n" after the body; warcio warns and goes on.
    short = KEPT[1].replace(b"Content-Length: 5000", b"Content-Length: 4997")
    short = short[: short.index(b"\r\n\r\n") + 4 + 4997] + b"m\r\n" + b"\r\n\r\n"
    whole = KEPT[0] + short + KEPT[2]
    data = gzip.compress(whole) if compressed else whole
    reader = ArchiveReader(io.BytesIO(data))
    got = list(reader.records())
    assert [r.headers["warc-type"] for r in got] == ["warcinfo", "response", "request"]
    assert reader.gaps == [(len(KEPT[0]) + len(short) - 7, 3)]


def test_a_stray_line_after_a_separator_is_refused():
    with pytest.raises(ArchiveError, match="bytes that are not a WARC record"):
        read(KEPT[0] + b"m\r\n" + KEPT[1])


# ---------------------------------------------------------------------------- the grammar, for boundaries


@pytest.mark.parametrize(
    "header, length",
    [
        (b"WARC/1.1\r\nContent-Length: 12", 12),
        (b"WARC/1.1\r\ncontent-LENGTH:+007 \t", 7),
        (b"WARC/1.1\r\n Content-Length : 5\r\nContent-Length: 6", 6),  # the last one counts
        (b"WARC/1.1\r\n\xc2\xa0Content-Length\xc2\xa0: 3\xe3\x80\x80", 3),  # Unicode white space is trimmed
        (b"Content-Length: 4\r\nX: y", None),  # the version line is never a field
        (b"WARC/1.1\r\nContent-Length: -0", None),
        (b"WARC/1.1\r\nContent-Length: 1 2", None),
        (b"WARC/1.1\r\nContent-Length: \xd9\xa3", None),  # an Arabic-Indic digit is not a digit here
        (b"WARC/1.1\r\nContent-Length: 18446744073709551616", None),
        (b"WARC/1.1\r\nContent-Length: 1\x1c", None),  # U+001C is white space to Python, not to the module
        (b"WARC/1.1\r\nContent-Length: 1\r\nX: \xff", None),  # not UTF-8
    ],
)
def test_content_length_is_read_as_the_module_reads_it(header, length):
    assert splitter.content_length(header) == length
    record = header + b"\r\n\r\n" + b"x" * (length or 0)
    try:
        parsed = vellumark.read_records(record.replace(b"WARC/1.1", b"WARC/1.1", 1))
    except ValueError:
        parsed = None
    if header.startswith(b"WARC/"):
        assert (parsed is not None) == (length is not None)


# ---------------------------------------------------------------------------- found by an adversarial run


def test_a_record_whose_member_inflates_past_a_piece_is_still_its_members_own(monkeypatch):
    # Used to count as "not per-record", and signing recompressed it: every later offset moved.
    monkeypatch.setattr(members, "PIECE", 4096)
    big = record("resource", os.urandom(50_000), 7)
    data = per_record_gz([KEPT[0], big, KEPT[2]])
    got = read(data)
    assert [r.own_member for r in got] == [True, True, True]
    start = len(gzip.compress(KEPT[0], mtime=0))
    assert (got[1].offset, got[1].length) == (start, len(gzip.compress(big, mtime=0)))


BY_THEIR_HEADER = [
        ("a header block without end", lambda: b"WARC/1.1\r\nX: " + b"a" * (3 << 20),
         "unterminated header (no CR LF CR LF within 1 MiB)"),
        ("a body declared past the member limit", lambda: gzip.compress(b"WARC/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n" + bytes(1 << 20)),
         "more than 2,097,152 bytes, the limit for one gzip member"),
        ("a body declared past the end of the file", lambda: b"WARC/1.1\r\nContent-Length: 999999999\r\n\r\n" + bytes(3 << 20),
         "body extends past end of data"),
]


@pytest.mark.parametrize("why, make, message", BY_THEIR_HEADER, ids=[c[0] for c in BY_THEIR_HEADER])
def test_what_cannot_be_a_record_is_refused_by_its_header_not_after_gathering_it(tmp_path, monkeypatch, why, make, message):
    monkeypatch.setattr(splitter, "MAX_HEADER_BLOCK", 1 << 20)
    monkeypatch.setattr(archive, "READ", 1 << 16)
    path = tmp_path / "a.warc"
    path.write_bytes(make())
    reader = ArchiveReader(open(path, "rb"), member_limit=2 << 20)
    with pytest.raises(ArchiveError, match=re.escape(message)):
        list(reader.records())
    assert reader.size < 3 << 20  # refused before the rest was read


BEFORE_AN_ERROR = [
        ("a corrupt member after good ones", per_record_gz(KEPT * 5) + b"\x1f\x8b\x08\x00" + bytes(20), 20),
        ("garbage after good members", per_record_gz(KEPT * 2) + b"junk", 8),
        ("a bad record after many plain ones", b"".join(KEPT) * 100 + b"WARC/1.1\r\nX: \xff\r\n\r\n", 400),
]


@pytest.mark.parametrize("why, data, good", BEFORE_AN_ERROR, ids=[c[0] for c in BEFORE_AN_ERROR])
def test_the_records_before_an_error_come_first(why, data, good):
    got = []
    with pytest.raises(ArchiveError):
        for r in iter_records(io.BytesIO(data)):
            got.append(r)
    assert len(got) == good


@pytest.mark.parametrize("line", [b"WARC/1.0 ", b"WARC/1.0\t", b"WARC/0.18 "])
def test_white_space_after_an_old_version_is_read_as_the_module_reads_it_after_1_1(line):
    old = line + KEPT[0][len(b"WARC/1.1"):]
    assert [r.version for r in read(old + KEPT[1])] == [line[5:].strip().decode(), "1.1"]
