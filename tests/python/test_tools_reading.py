"""Reading archives on disk: gzip members with their offsets, records one at a
time whatever the layout, the older WARC versions, what readers must agree on,
and one-line diagnoses."""

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
from conftest import (SAMPLES, command_env, gzip_members, inflated, linux_only, manifest_record, per_record_gz, record,
                      shown_as_1_1)
from vellumark_tools import ArchiveError, ArchiveReader, check, data_hash, iter_records, read_manifest, sign

KEPT = [record("warcinfo", b"software: test\r\n", 0), record("response", os.urandom(5000), 1),
        record("request", b"GET / HTTP/1.1\r\n\r\n", 2), record("resource", b"", 3)]
N0 = len(gzip.compress(KEPT[0]))  # where the second member of per_record_gz(KEPT) starts


def read(data: bytes, **kwargs):
    return list(iter_records(io.BytesIO(data), **kwargs))


class Counting(io.RawIOBase):
    """A stream (no file descriptor) that counts what was read of it."""

    def __init__(self, data: bytes) -> None:
        self._inner, self.taken = io.BytesIO(data), 0

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        data = self._inner.read(size)
        self.taken += len(data)
        return data


# ---------------------------------------------------------------------------- gzip members


def test_members_come_back_with_their_offsets_and_lengths():
    bodies = [b"", b"a" * 10, os.urandom(3 << 20), b"text " * 50_000] + [b"%d" % i for i in range(3000)]
    data = per_record_gz([record("resource", body, i) for i, body in enumerate(bodies)])
    got = []
    for r in iter_records(io.BytesIO(data)):
        got.append((r.offset, r.length, r.own_member, r.body))  # a body is read before the next record
    assert [(o, n, True) for o, n, _, _ in got] == [(o, n, True) for o, n in gzip_members(data)]
    assert [b for *_, b in got] == bodies


GZIP_FAULTS = [
    # (why, data, message)
    ("truncated", gzip.compress(KEPT[0]) + gzip.compress(KEPT[1])[:-5], f"truncated gzip member at compressed offset {N0}"),
    ("cut one byte into a member", gzip.compress(KEPT[0]) + b"\x1f", f"truncated gzip member at compressed offset {N0}"),
    ("garbage after a member", gzip.compress(KEPT[0]) + b"WARC/1.1 plain", f"not gzip data at compressed offset {N0} (b'WARC/1.1')"),
    ("corrupt deflate data", b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff" + b"\xff" * 20, "corrupt gzip member at compressed offset 0"),
    ("zeros, then garbage", gzip.compress(KEPT[0]) + bytes(8) + b"x", f"not gzip data at compressed offset {N0}"),
    ("two line ends after the last member", gzip.compress(KEPT[0]) + b"\n\n", f"not gzip data at compressed offset {N0}"),
]


@pytest.mark.parametrize("why, data, message", GZIP_FAULTS, ids=[f[0] for f in GZIP_FAULTS])
def test_faulty_gzip_is_named_with_its_compressed_offset(why, data, message):
    with pytest.raises(ArchiveError) as info:
        read(data)
    assert str(info.value).startswith(message)


def test_trailing_zero_padding_is_accepted_and_is_not_data():
    data = per_record_gz(KEPT[:2])
    reader = ArchiveReader(io.BytesIO(data + bytes((1 << 20) + 7)))
    assert [r.headers["warc-type"] for r in reader.records()] == ["warcinfo", "response"]
    assert (reader.data_end, reader.members, reader.warnings) == (len(data), 2, [])


def test_a_member_inflating_past_the_limit_is_refused():
    # Each record is under the limit; the member holding both is not.
    big = [record("resource", bytes(600_000), i) for i in range(2)]
    with pytest.raises(ArchiveError, match="the gzip member at compressed offset 0 inflates to more than 1,048,576 bytes"):
        read(gzip.compress(b"".join(big)), member_limit=1 << 20)


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


SHUTDOWN_READERS = {
    "a thread still reading": "threading.Thread(target=lambda: list(iter_records(Slow(), threads=THREADS)), daemon=True).start()",
    "an iterator left open": "records = iter_records(Slow(), threads=THREADS); next(records)",
}


def built_with_libcxx() -> bool:
    with open("/proc/self/maps") as maps:  # the reader, imported here, brought its C++ runtime
        return "libc++abi" in maps.read()


@linux_only("/proc/self/maps")
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("reader", list(SHUTDOWN_READERS))
def test_the_interpreter_ends_cleanly_with_a_reader_still_reading_a_stream(reader, threads):
    # The read-ahead thread, waiting for the interpreter lock to read the stream,
    # is ended by the ending interpreter (pthread_exit, which unwinds the thread):
    # our catch-all stopped that unwinding, and the process aborted ("exception
    # not rethrown").
    if reader == "a thread still reading" and built_with_libcxx():
        pytest.skip("Debian's libc++abi unwinds with LLVM's libunwind, glibc's pthread_exit with libgcc's: "
                    "the two crash together on any C++ frame of a thread so ended")
    code = f"""
import gzip, io, threading, time
import vellumark
from vellumark_tools import iter_records
DATA = gzip.compress(vellumark.build_record("resource", "text/plain", "urn:x", b"x" * 100, "http://e.com/") * 50)
THREADS = {threads}

class Slow(io.RawIOBase):
    at = 0
    def readable(self):
        return True
    def read(self, size=-1):
        time.sleep(0.01)
        self.at += 7
        return DATA[self.at - 7:self.at]

{SHUTDOWN_READERS[reader]}
time.sleep(0.2)
print("leaving")
"""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=command_env(), timeout=120)
    assert (child.returncode, child.stdout) == (0, "leaving\n"), child.stderr[-2000:]


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


# Pieces that reach the grammar's corners: separators, line ends, version
# lines (read and not), length fields and gzip magic, in bodies and between records.
CORNERS = [b"\r\n", b"\r\n\r\n", b"\n\n", b"\r", b"\n", b"WARC/1.1\r\n", b"WARC/1.0\r\n", b"warc/1.0\r\n", b"WARC/0.18 ",
           b"WARC/1.2\r\n", b"Content-Length: 3\r\n", b"\x1f\x8b\x08\x00", b" ", b"\x00", b"abc"]
corner_bytes = st.lists(st.sampled_from(CORNERS) | st.binary(max_size=12), max_size=8).map(b"".join)


@settings(max_examples=80, deadline=None)
@given(
    bodies=st.lists(corner_bytes, min_size=1, max_size=6),
    separators=st.lists(st.sampled_from([b"", b"\r\n", b"\r\n\r\n", b"\n\n", b"\r\n\r\n\r\n"]), min_size=6, max_size=6),
    cuts=st.lists(st.integers(min_value=1, max_value=400), max_size=6),
    compressed=st.booleans(),
    versions=st.lists(st.sampled_from(["1.1", "1.0", "0.18"]), min_size=6, max_size=6),
)
def test_any_split_into_members_reads_as_the_whole(bodies, separators, cuts, compressed, versions):
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
    presented = bytearray(whole)  # each record's own version line shown to the module as 1.1
    at = 0
    for part, version in zip(parts, versions):
        presented[at + 5 : at + 5 + len(version)] = b"1.1" + b" " * (len(version) - 3)
        at += len(part)
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
def test_a_record_larger_than_the_window_streams(compressed):
    big = os.urandom(5 << 20) + b"\r\nWARC/1.1 inside the body\r\n" + os.urandom(1000)
    records = [KEPT[0], record("resource", big, 9), KEPT[2]]
    data = per_record_gz(records) if compressed else b"".join(records)
    got = []
    for r in iter_records(io.BytesIO(data)):
        reader, pieces = r.body_reader(), []
        for piece in iter(lambda: reader.read(1 << 20), b""):
            pieces.append(piece)
        got.append((b"".join(pieces), r.own_member, r.length))
    assert [body for body, _, _ in got] == [vellumark.read_records(r)[0]["body"] for r in records]
    if compressed:
        assert [(own, length) for _, own, length in got] == [(True, n) for _, n in gzip_members(data)]


def test_a_large_body_passed_unread_cannot_be_read_later():
    records = [record("resource", bytes(5 << 20), 0), KEPT[0]]
    got = read(per_record_gz(records))
    assert got[0].own_member and got[1].headers["warc-type"] == "warcinfo"
    with pytest.raises(ValueError, match="was passed|is gone"):
        got[0].body


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
    ("CR CR LF line ends", b"WARC/1.1\r\r\nContent-Length: 1\r\r\n\r\r\nx", "unterminated header: header lines end in CR CR LF"),
    ("not WARC at all", b"<html>hello</html>", "not a WARC archive (it starts with b'<html>he'), at offset 0"),
    ("junk after a whole record", KEPT[0] + b"junk\r\n", f"bytes that are not a WARC record (b'junk\\r\\n'), at offset {len(KEPT[0])}"),
    ("a record cut short", KEPT[1][:-100], "invalid WARC record at offset 0: body extends past end of data (the archive is truncated)"),
    ("cut right after its version line", b"WARC/1.0\r\n", "invalid WARC record at offset 0: unterminated header: the archive is truncated"),
    ("cut inside its version line", b"WARC/1.0", "invalid WARC record at offset 0: unterminated header: the archive is truncated"),
    ("a bad Content-Length", b"WARC/1.0\r\nContent-Length: 12a\r\n\r\n", "invalid WARC record at offset 0: invalid Content-Length"),
    ("the last of many records bad", KEPT[0] * 50 + b"WARC/1.1\r\n\r\n\r\n", f"invalid WARC record at offset {50 * len(KEPT[0])}: missing Content-Length"),
    ("bad in a gzip member", per_record_gz([KEPT[0], b"WARC/1.1\r\nContent-Length: x\r\n\r\n"]),
     f"invalid WARC record at offset {len(KEPT[0])} of the inflated data (in the gzip member at compressed offset {N0}): invalid Content-Length"),
    # Other readers take the first Content-Length, the module the last: a record could hide another from one of them.
    ("two Content-Length values", b"WARC/1.1\r\nContent-Length: 3\r\nContent-Length: 40\r\n\r\nabc" + b"x" * 37,
     "invalid WARC record at offset 0: two Content-Length fields with different values, 3 and 40"),
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


# ---------------------------------------------------------------------------- what readers must agree on

SHORT = KEPT[1].replace(b"Content-Length: 5000", b"Content-Length: 4997")
SHORT = SHORT[: SHORT.index(b"\r\n\r\n") + 4 + 4997] + b"m\r\n" + b"\r\n\r\n"
LOWER = b"warc/1.0" + KEPT[0][8:]
FOLDED = KEPT[0].replace(b"WARC-Type: warcinfo\r\n", b"WARC-Type: warc\r\n info\r\n")
PADDED = KEPT[0].replace(b"WARC-Type: warcinfo", b"  WARC-Type  : warcinfo")

READ_WITH_A_WARNING = [
    # (why, file bytes, warc-types read, the warning)
    ("one stray line after a body, as warcio steps over", KEPT[0] + SHORT + KEPT[2],
     ["warcinfo", "response", "request"], f"3 stray bytes at offset {len(KEPT[0]) + len(SHORT) - 7}"),
    ("a lower-case version line (warcio reads it)", LOWER + KEPT[1], ["warcinfo", "response"], "starts with 'warc/', not 'WARC/'"),
    ("a field folded onto a continuation line (WARC 1.0 allows it)", FOLDED, ["warc info"], "continues a header field on a folded line"),
    ("a plain .warc ending in one space", KEPT[0] + b" ", ["warcinfo"], f"1 bytes of white space at offset {len(KEPT[0])}"),
    ("one stray newline after the last gzip member", per_record_gz(KEPT[:1]) + b"\n", ["warcinfo"],
     f"a line end at compressed offset {N0}, after the last gzip member"),
    ("a header name with white space around it (warcio and FastWARC do not read it)", PADDED, ["warcinfo"],
     "has a header name with white space around it"),
]


# Each as it stands and, unless it is one already, gzipped: the same records, inflated.
UNUSUAL = [(f"{why} ({kind})", data if kind == "as it stands" else gzip.compress(data), types, warning)
           for why, data, types, warning in READ_WITH_A_WARNING
           for kind in (["as it stands"] if data[:2] == b"\x1f\x8b" else ["as it stands", "gzipped"])]


@pytest.mark.parametrize("why, data, types, warning", UNUSUAL, ids=[c[0] for c in UNUSUAL])
def test_unusual_archives_are_read_with_a_warning_that_check_reports(tmp_path, why, data, types, warning):
    reader = ArchiveReader(io.BytesIO(data))
    assert [r.headers.get("warc-type") for r in reader.records()] == types
    assert any(warning in w for w in reader.warnings), reader.warnings
    path = tmp_path / ("a.warc.gz" if data[:2] == b"\x1f\x8b" else "a.warc")
    path.write_bytes(data)
    assert any(warning in p for p in check(path).problems)


def test_differing_content_lengths_fail_check_naming_both_and_are_not_signed_hashed_or_read(tmp_path):
    # Other readers take the first value: the record could hide a manifest store record from us.
    hidden = b"WARC/1.1\r\nWARC-Type: resource\r\nContent-Length: 0\r\nContent-Length: %d\r\n\r\n" % len(KEPT[0])
    path = tmp_path / "a.warc"
    path.write_bytes(hidden + KEPT[0] + b"\r\n\r\n" + manifest_record(1))
    assert any("different values, 0 and %d" % len(KEPT[0]) in p for p in check(path).problems)
    for refused in (lambda: sign(path, b"store", tmp_path / "out.warc"), lambda: data_hash(path), lambda: read_manifest(path)):
        with pytest.raises(ArchiveError, match="different values"):
            refused()
    assert not (tmp_path / "out.warc").exists()


def test_a_directory_given_as_an_archive_is_named_in_its_error(tmp_path):
    with pytest.raises(IsADirectoryError) as raised:  # it read "Is a directory: 3", the descriptor, once
        list(iter_records(tmp_path))
    assert os.fspath(raised.value.filename) == str(tmp_path)


def test_a_stray_line_after_a_separator_is_refused():
    with pytest.raises(ArchiveError, match="bytes that are not a WARC record"):
        read(KEPT[0] + b"m\r\n" + KEPT[1])


# ---------------------------------------------------------------------------- the grammar, for boundaries


@pytest.mark.parametrize(
    "header, length",
    [
        (b"WARC/1.1\r\nContent-Length: 12", 12),
        (b"WARC/1.1\r\ncontent-LENGTH:+007 \t", 7),
        (b"WARC/1.1\r\n\xc2\xa0Content-Length\xc2\xa0: 3\xe3\x80\x80", 3),  # Unicode white space is trimmed
        (b"WARC/1.1\r\nContent-Length: 00000000000000000000012", 12),
        (b"WARC/1.1\r\nContent-Length: -0", None),
        (b"WARC/1.1\r\nContent-Length: 1 2", None),
        (b"WARC/1.1\r\nContent-Length: \xd9\xa3", None),  # an Arabic-Indic digit is not a digit here
        (b"WARC/1.1\r\nContent-Length: 18446744073709551616", None),
        (b"WARC/1.1\r\nContent-Length: 1\x1c", None),  # U+001C is white space to Python, not to the module
        (b"WARC/1.1\r\nContent-Length: 1\r\nX: \xff", None),  # not UTF-8
    ],
)
def test_content_length_is_read_as_the_module_reads_it(header, length):
    data = header + b"\r\n\r\n" + b"x" * (length or 0) + b"\r\n\r\n"
    try:
        module = [len(r["body"]) for r in vellumark.read_records(data)]
    except ValueError:
        module = None
    try:
        tools = [r.body_length for r in read(data)]
    except ArchiveError:
        tools = None
    assert module == tools == (None if length is None else [length])


# ---------------------------------------------------------------------------- found by an adversarial run


def test_a_record_whose_member_inflates_past_the_window_is_still_its_members_own():
    # Used to count as "not per-record", and signing recompressed it: every later offset moved.
    big = record("resource", os.urandom(3 << 20), 7)
    data = per_record_gz([KEPT[0], big, KEPT[2]])
    got = read(data)
    assert [r.own_member for r in got] == [True, True, True]
    assert (got[1].offset, got[1].length) == gzip_members(data)[1]


BY_THEIR_HEADER = [
    ("a header block without end", b"WARC/1.1\r\nX: " + b"a" * (20 << 20), "unterminated header (no CR LF CR LF within 16 MiB)", 18 << 20),
    ("a body declared past the member limit",
     gzip.compress(b"WARC/1.1\r\nContent-Length: 18446744073709551615\r\n\r\n" + bytes(3 << 20)),
     "more than 2,097,152 bytes, the limit for one gzip member", 2 << 20),
]


@pytest.mark.parametrize("why, data, message, most", BY_THEIR_HEADER, ids=[c[0] for c in BY_THEIR_HEADER])
def test_what_cannot_be_a_record_is_refused_by_its_header_not_after_gathering_it(why, data, message, most):
    stream = Counting(data)
    with pytest.raises(ArchiveError, match=re.escape(message)):
        list(iter_records(stream, member_limit=2 << 20))
    assert stream.taken < most  # refused before the rest was read


def test_a_body_declared_past_the_end_of_a_file_is_refused_by_its_header(tmp_path):
    path = tmp_path / "a.warc"
    path.write_bytes(b"WARC/1.1\r\nContent-Length: 999999999\r\n\r\n" + bytes(3 << 20))
    reader = ArchiveReader(open(path, "rb"))
    with pytest.raises(ArchiveError, match="body extends past end of data"):
        next(reader.records())


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


# ---------------------------------------------------------------------------- gzip members, fuzzed


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.binary(max_size=300), members=st.lists(st.binary(max_size=200), max_size=3), cut=st.integers(0, 400),
       flip=st.integers(0, 4000))
def test_any_bytes_in_or_around_gzip_members_give_records_or_one_line(data, members, cut, flip):
    # A damaged .warc.gz (cut, a byte flipped, junk around members) reads to
    # records or fails with an ArchiveError of one line: never a crash or a hang.
    archive = bytearray(b"".join(gzip.compress(KEPT[0] + m) for m in members) + gzip.compress(data))
    if archive:
        archive[flip % len(archive)] ^= 0x55
        if cut % 3 == 0:
            del archive[len(archive) - cut % len(archive) :]
    try:
        for r in read(bytes(archive)):
            assert r.body_length == len(r.body)
    except ArchiveError as error:
        assert "\n" not in str(error) and str(error)


# ---------------------------------------------------------------------------- against other readers, and across threads


def _records_of(data: bytes, threads: int):
    """What iter_records gives, as comparable rows, or its error."""
    rows = []
    try:
        for r in iter_records(io.BytesIO(data), threads=threads):
            rows.append((r.headers, r.body, r.version, r.data_offset, r.offset, r.length, r.own_member))
    except ArchiveError as error:
        rows.append(str(error))
    return rows


LAYOUT_OF = {
    "per-record": per_record_gz,
    "pairs in a member": lambda rs: b"".join(gzip.compress(b"".join(rs[i : i + 2])) for i in range(0, len(rs), 2)),
    "cut into pieces": lambda rs: b"".join(gzip.compress(p) for p in re.split(b"(?<=WARC-Type)", b"".join(rs))),
    "a member damaged": lambda rs: per_record_gz(rs)[:-40] + bytes(40) + per_record_gz(rs[:1]),
}


@settings(max_examples=60, deadline=None)
@given(bodies=st.lists(corner_bytes, min_size=1, max_size=14), layout=st.sampled_from(sorted(LAYOUT_OF)),
       threads=st.integers(2, 4), versions=st.lists(st.sampled_from(["1.1", "1.0"]), min_size=14, max_size=14))
def test_several_threads_give_the_same_records_in_the_same_order_as_one(bodies, layout, threads, versions):
    data = LAYOUT_OF[layout]([record("resource", body, i, versions[i]) for i, body in enumerate(bodies)])
    assert _records_of(data, threads) == _records_of(data, 1)


@settings(max_examples=60, deadline=None)
@given(bodies=st.lists(corner_bytes, min_size=1, max_size=8), compressed=st.booleans(),
       versions=st.lists(st.sampled_from(["1.1", "1.0"]), min_size=8, max_size=8), fold=st.booleans())
def test_records_read_as_warcio_reads_them(bodies, compressed, versions, fold):
    warcio = pytest.importorskip("warcio")
    assert warcio
    records = [record("resource", body, i, versions[i]) for i, body in enumerate(bodies)]
    if fold:  # a field folded onto a continuation line, as WARC 1.0 allows
        records = [r.replace(b"Content-Type: ", b"Content-Type:\r\n ", 1) for r in records]
    data = per_record_gz(records) if compressed else b"".join(records)
    ours = [(r.headers, r.body) for r in read(data)]
    from conftest import peers_read

    # warcio keeps the white space a folded value starts its line with; values are trimmed here, as every field's is
    theirs = [({k: v.strip() for k, v in headers.items()}, body) for headers, body in peers_read(data)["warcio"]]
    assert theirs == ours
