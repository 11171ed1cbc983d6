"""Stretches of archive data turned into records by the module, a batch of
whole records at a time, with the older WARC versions shown to it as 1.1.

The module parses; this file only finds where a run of whole records ends
and feeds it. The module reads WARC/1.1 only: a record of an older version
that shares its grammar (1.0, which most crawlers write, and the drafts 0.17
and 0.18) is shown to it with its version line reading 1.1, the same number
of bytes, so every offset and length stays true, and its own bytes are what
is handed back.
"""

from __future__ import annotations

import re
from typing import Any, List, NamedTuple, Optional, Tuple, Union

import vellumark

# How a version line of each version read is shown to the module, the line
# break included so that WARC/1.05 is not taken for 1.0. The module tests
# only the first 8 bytes, "WARC/1.1", so "WARC/1.18" passes as the draft 0.18.
PRESENTED = {
    b"WARC/%s%s" % (version, end): b"WARC/%s%s" % (shown, end)
    for version, shown in ((b"1.0", b"1.1"), (b"0.18", b"1.18"), (b"0.17", b"1.17"))
    for end in (b"\r", b"\n", b" ", b"\t")  # white space after the version is the module's business
}
VERSIONS_READ = ("1.1", "1.0", "0.18", "0.17")
MAX_HEADER_BLOCK = 16 << 20  # real ones are kilobytes; past this, the data is not a record

# White space as the module trims it (str.strip would also take U+001C to U+001F).
_WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a\u2028\u2029\u202f\u205f\u3000"
_CR_LF_RUN = re.compile(rb"[\r\n]*")
_DECIMAL = re.compile(r"\+?[0-9]+")


def _skip_line_breaks(buf: Union[bytes, bytearray], pos: int) -> int:
    run = _CR_LF_RUN.match(buf, pos)
    return run.end() if run else pos
_EXPECTED_AT = re.compile(r"invalid WARC record: expected WARC/1\.1 at offset (\d+)")


def version_of(data: Union[bytes, bytearray], offset: int = 0) -> Optional[Tuple[str, Optional[bytes]]]:
    """The version of the record starting at `offset` and the version line
    prefix to show as 1.1 (None for 1.1 itself); None for a version not read."""
    if data.startswith(b"WARC/1.1", offset):
        return "1.1", None
    for line in PRESENTED:
        if data.startswith(line, offset):
            return line[5:-1].decode(), line
    return None


def content_length(header_block: bytes) -> Optional[int]:
    """The Content-Length of a header block (without its closing CR LF CR LF)
    as the module reads it, or None where the module would refuse the block.
    Used only to find where a record ends; the module validates every record."""
    try:
        text = header_block.decode("utf-8")
    except UnicodeDecodeError:
        return None
    value = None
    for line in text.split("\n")[1:]:  # the version line is skipped
        name, colon, rest = line.partition(":")
        name = name.strip(_WHITE_SPACE)
        if colon and name.isascii() and name.lower() == "content-length":
            value = rest.strip(_WHITE_SPACE)  # the last one counts
    if value is None or not _DECIMAL.fullmatch(value):
        return None
    length = int(value)
    return length if length < 1 << 64 else None


class _Extent(NamedTuple):
    starts: List[int]  # where each whole record at the start of the buffer begins
    complete: int  # bytes of the buffer that hold those records (and the line breaks between them)
    needed: int  # when nothing is complete: the buffer length the first record needs; 0 when it is malformed


NO_LIMIT = 1 << 64


class Limits(NamedTuple):
    """What lets a record be refused by its header, before it is gathered:
    where the data ends (a regular file's size), and the most one record may
    hold (a .warc.gz: the limit for one member), with why."""

    data_end: int = NO_LIMIT
    record: int = NO_LIMIT
    record_reason: str = ""


def whole_records(buf: Union[bytes, bytearray], final: bool, limits: Limits = Limits(), base: int = 0) -> _Extent:
    """Which records at the start of `buf` (a record boundary) are whole, by the
    module's rules: the first CR LF CR LF ends a header block, Content-Length
    bytes of body follow, then CR LF CR LF or LF LF if present. Before
    `final`, a record is whole only once what follows its body decides its
    separator. A record past the `limits` is refused at once, by its header,
    rather than gathered in memory first (`base`: the offset of `buf` in the
    data); RecordError offsets are in `buf`."""
    n, pos = len(buf), 0
    starts: List[int] = []
    while True:
        start = _skip_line_breaks(buf, pos)
        if start == n:
            return _Extent(starts, n, 0)
        if n - start < 5 and not final:
            return _Extent(starts, start, n + 1)
        if not buf.startswith(b"WARC/", start):
            return _Extent(starts, start, 0)
        header_end = buf.find(b"\r\n\r\n", start)
        if header_end < 0:
            if n - start > MAX_HEADER_BLOCK:
                raise RecordError(start, f"invalid WARC record: unterminated header (no CR LF CR LF within {MAX_HEADER_BLOCK >> 20} MiB)")
            # Wait for twice as much before scanning again: a huge header costs linear time, not quadratic.
            return _Extent(starts, start, 0 if final else 2 * n - start + 1)
        length = content_length(bytes(buf[start:header_end]))
        if length is None:
            return _Extent(starts, start, 0)
        body_end = header_end + 4 + length
        if body_end - start > limits.record:
            raise RecordError(start, f"invalid WARC record: {limits.record_reason} (it declares {body_end - start:,} bytes)")
        if base + body_end > limits.data_end:
            raise RecordError(start, "invalid WARC record: body extends past end of data")
        if body_end + 4 > n and not final:
            return _Extent(starts, start, body_end + 4)
        if body_end > n:
            return _Extent(starts, start, 0)
        starts.append(start)
        if buf[body_end : body_end + 4] == b"\r\n\r\n":
            pos = body_end + 4
        elif buf[body_end : body_end + 2] == b"\n\n":
            pos = body_end + 2
        else:
            pos = body_end


class RecordError(Exception):
    """A record the module refused: its offset (in the data parsed, or in the
    archive once the splitter has placed it; -1 when not known) and the
    module's message."""

    def __init__(self, offset: int, message: str) -> None:
        super().__init__(message)
        self.offset = offset
        self.message = message


class Parsed(NamedTuple):
    records: List["vellumark.WarcRecord"]
    versions: Optional[List[str]]  # None: every record is 1.1


def parse(data: bytes) -> Parsed:
    """vellumark.read_records, with the older versions shown to it as 1.1.

    A version line the module refuses is replaced throughout the data in one
    pass, so a whole archive of an older version costs one copy. That is
    exact when every line replaced started a record; otherwise (a body that
    quotes such a line) the data is shown again, patched at the records'
    starts only. Raises RecordError."""
    try:
        return Parsed(vellumark.read_records(data), None)
    except ValueError as error:
        refused = _refused_version(data, str(error))
    shown_data, patterns = data, [refused]
    while True:
        shown_data = shown_data.replace(refused, PRESENTED[refused])
        try:
            records = vellumark.read_records(shown_data)
            break
        except ValueError as error:
            refused = _refused_version(shown_data, str(error))
            patterns.append(refused)
    versions = []
    for record in records:
        found = version_of(data, record["offset"])
        versions.append(found[0] if found else "1.1")
    if sum(1 for v in versions if v != "1.1") != sum(data.count(p) for p in patterns):
        records = vellumark.read_records(_patched_at_starts(data, records))
    return Parsed(records, versions)


def _refused_version(data: bytes, message: str) -> bytes:
    """The version line prefix of a version we read that the module refused;
    any other refusal is raised as a RecordError."""
    where = _EXPECTED_AT.fullmatch(message)
    if where is None:
        raise RecordError(-1, message)
    offset = int(where.group(1))
    found = version_of(data, offset)
    if found is None or found[1] is None:
        raise RecordError(offset, message)
    return found[1]


def _patched_at_starts(data: bytes, records: List[Any]) -> bytes:
    patched = bytearray(data)
    for record in records:
        offset = record["offset"]
        found = version_of(data, offset)
        if found is not None and found[1] is not None:
            patched[offset : offset + len(found[1])] = PRESENTED[found[1]]
    return bytes(patched)


def _copy(buf: bytearray, end: int) -> bytes:
    """The first `end` bytes of `buf` as bytes, copied once (a slice of a
    bytearray would be copied twice); the view is gone before `buf` changes."""
    with memoryview(buf) as view:
        return bytes(view[:end])


Batch = List[Tuple["vellumark.WarcRecord", str, Optional[bytes]]]


class Splitter:
    """Gathers stretches of archive data and hands back whole records. `base`
    is the offset of its first byte in the (uncompressed) archive; the
    records handed back carry their offsets in the archive.

    Like warcio, it steps over one line of stray bytes straight after a
    record's body (a Content-Length a few bytes short leaves them), when a
    record or the end of the data follows; `gaps` lists (offset, length) of
    each, for a warning."""

    def __init__(
        self,
        base: int = 0,
        raw: bool = False,
        gaps: Optional[List[Tuple[int, int]]] = None,
        limits: Limits = Limits(),
    ) -> None:
        self.buf = bytearray()
        self.base = base
        self.gaps = gaps if gaps is not None else []
        self._limits = limits
        self._pending: Optional[RecordError] = None  # raised once the records before it are handed back
        self._raw = raw
        self._needed = 0  # not worth another try before the buffer holds this much
        self._after_bare_body = False  # the last record handed back ended with its body, no separator

    def feed(self, data: bytes) -> None:
        self.buf += data

    def __len__(self) -> int:
        return len(self.buf)

    def batch(self, final: bool = False, exact: bool = False) -> Batch:
        """(record, version, raw bytes or None) of the whole records at hand. At
        `final`, every byte left must parse. `exact` takes every whole record
        (at the end of a gzip member, where the next may start afresh)."""
        if self._pending is not None:
            raise self._pending
        out: Batch = []
        while self.buf and (final or len(self.buf) >= self._needed):
            before = len(self.buf)
            try:
                out += self._batch_once(final, exact)
            except RecordError as error:
                if not out:
                    raise
                self._pending = error  # the records before it first, as a reader one record at a time would
                break
            if len(self.buf) == before:
                break
        return out

    def _batch_once(self, final: bool, exact: bool) -> Batch:
        buf = self.buf
        if self._after_bare_body and not self._step_over_stray_line(final):
            return []
        if not buf:
            return []
        if not exact:
            # Usually the last record start in the buffer ends a run of whole
            # records, and the module's parse of the run checks that guess.
            cut = len(buf) if final else buf.rfind(b"\nWARC/") + 1
            if cut > 0:
                data = _copy(buf, cut)
                try:
                    return self._take(data, parse(data))
                except RecordError:
                    pass  # a guess inside a body, or a bad record: look record by record
        extent = self._whole_records(final)
        if extent.complete:
            data = _copy(buf, extent.complete)
            try:
                return self._take(data, parse(data))
            except RecordError:
                self._raise_first_refused(data, extent.starts)
        if extent.needed and not final:
            self._needed = extent.needed
            return []
        self._raise_first_refused(_copy(buf, len(buf)), [0])
        return []  # not reached

    def _whole_records(self, final: bool) -> _Extent:
        try:
            return whole_records(self.buf, final, self._limits, self.base)
        except RecordError as error:
            raise RecordError(self.base + error.offset, error.message) from None

    def _step_over_stray_line(self, final: bool) -> bool:
        """Drops one line of stray bytes at the start of the buffer when a
        record or the end of the data follows it. False: wait for more data."""
        buf = self.buf
        if not buf or buf[0] in b"\r\n" or buf.startswith(b"WARC/"):
            self._after_bare_body = not buf
            return True
        line_end = buf.find(b"\n")
        if line_end < 0 and not final:
            self._needed = len(buf) + 1
            return False
        stray = len(buf) if line_end < 0 else line_end + 1
        after = _skip_line_breaks(buf, stray)
        if len(buf) - after < 5 and not final:
            self._needed = len(buf) + 5
            return False
        self._after_bare_body = False
        if after == len(buf) or buf.startswith(b"WARC/", after):
            self.gaps.append((self.base, stray))
            del buf[:stray]
            self.base += stray
        return True  # anything else: the parse refuses it and says why

    def _raise_first_refused(self, data: bytes, starts: List[int]) -> None:
        """Raises the module's refusal of the first record in `starts` it
        refuses (or of what follows them), with its offset in the archive."""
        bounds = starts[1:] + [len(data)]
        for start, end in zip(starts, bounds):
            try:
                parse(data[start:end])
            except RecordError as error:
                offset = error.offset if error.offset >= 0 else 0
                raise RecordError(self.base + start + offset, error.message) from None
        raise RecordError(self.base + bounds[-1], "invalid WARC record: the data ends inside a record")

    def _take(self, data: bytes, parsed: Parsed) -> Batch:
        base, raw = self.base, self._raw
        out: Batch = []
        versions = parsed.versions
        for i, record in enumerate(parsed.records):
            offset = record["offset"]
            piece = data[offset : offset + record["length"]] if raw else None
            if base:
                record["offset"] = base + offset
            out.append((record, "1.1" if versions is None else versions[i], piece))
        if parsed.records:
            self._after_bare_body = _ends_with_body(data, parsed.records[-1], base)
        del self.buf[: len(data)]
        self.base += len(data)
        self._needed = 0
        return out


def _ends_with_body(data: bytes, record: Any, base: int) -> bool:
    """Whether a record of `data` ends right after its body (no separator) at the end of `data`."""
    start = record["offset"] - base
    end = start + record["length"]
    if end != len(data):
        return False
    header_end = data.find(b"\r\n\r\n", start) + 4
    return bool(header_end + len(record["body"]) == end)
