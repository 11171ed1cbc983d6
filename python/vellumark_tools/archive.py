"""WARC archives on disk, read one record at a time: .warc and .warc.gz, WARC/1.1
and the versions before it that share its record grammar (1.0, which most
crawlers write, and the drafts 0.17 and 0.18).

An uncompressed archive is read in blocks and handed to the module a batch of
whole records at a time (splitter.py); a .warc.gz, one gzip member at a time
(members.py), and members that hold exactly one record each, as crawlers
write them, a few at once. Memory follows the largest record, never the
archive, whatever the layout.
"""

from __future__ import annotations

import contextlib
import os
import re
import stat
from typing import IO, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

import vellumark

from .errors import ArchiveError, PathLike, shown
from .members import DEFAULT_MEMBER_LIMIT, GZIP_MAGIC, MemberReader
from .splitter import NO_LIMIT, PRESENTED, VERSIONS_READ, Limits, RecordError, Splitter, version_of

Source = Union[PathLike, IO[bytes]]

READ = 512 << 10  # bytes of an uncompressed archive read at a time: small enough to reuse memory, not fault in new pages
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"

class Record(NamedTuple):
    """One record of an archive on disk, and where it stands in the file."""

    warc: "vellumark.WarcRecord"
    """The module's record dict: "headers", "body", and "offset" and "length" in
    the (uncompressed) archive, length counting the separator after the body."""
    offset: int
    """Where the record stands in the file: in a .warc.gz, the compressed offset
    of its gzip member (of the member it starts in, when it shares one)."""
    length: Optional[int]
    """The bytes it takes in the file from `offset`: in a .warc.gz, its gzip
    member's compressed length, or None when it shares its member with others
    (no byte range of the file holds it alone); in a .warc, the record's own
    length, separator included."""
    version: str
    """The WARC version its first line names: "1.1", "1.0", "0.18" or "0.17"."""
    own_member: bool
    """In a .warc.gz, whether it is the only record of its gzip member, as
    indexes and signing in place need; False in a .warc."""
    raw: Optional[bytes] = None
    """Its bytes as they stand in the uncompressed archive, when asked for
    (iter_records(..., raw=True)) and it does not have a gzip member of its own."""

    @property
    def headers(self) -> Dict[str, str]:
        headers: Dict[str, str] = self.warc["headers"]
        return headers

    @property
    def body(self) -> bytes:
        body: bytes = self.warc["body"]
        return body


# ---------------------------------------------------------------------------- messages


def describe_refusal(head: bytes, at_start: bool) -> str:
    """What stands where a record should start, for a message."""
    version = re.match(rb"WARC/(\S+)", head)
    if version:
        shown_version = version.group(1).decode("utf-8", "backslashreplace")
        return f"a WARC/{shown_version} record, a version this tool does not read (it reads {', '.join(VERSIONS_READ)})"
    if head.startswith(GZIP_MAGIC):
        return "gzip-compressed data in the middle of an uncompressed archive"
    if head.startswith(ZSTD_MAGIC):
        return "zstd-compressed data, which this tool does not read: decompress it first (zstd -d)"
    if at_start:
        return f"not a WARC archive (it starts with {head[:8]!r})"
    return f"bytes that are not a WARC record ({head[:8]!r})"


def _hint(record_start: bytes, message: str) -> str:
    if "unterminated header" in message or "missing Content-Length" in message:
        line = re.match(rb"WARC/[0-9.]+(\r*)\n", record_start)
        if line and line.group(1) == b"":
            return ": header lines end in a bare LF, and WARC needs CR LF"
        if line and len(line.group(1)) > 1:
            return ": header lines end in CR CR LF, and WARC needs CR LF"
    return ""


# ---------------------------------------------------------------------------- the reader


class _Prefixed:
    """A read function that first hands back bytes already read."""

    def __init__(self, head: bytes, read: Callable[[int], bytes]) -> None:
        self._head, self._read = head, read

    def __call__(self, size: int) -> bytes:
        if self._head:
            head, self._head = self._head, b""
            return head if len(head) >= size else head + self._read(size - len(head))
        return self._read(size)


@contextlib.contextmanager
def open_source(source: Source) -> Iterator[Tuple[IO[bytes], str]]:
    """A binary stream for a path or an open binary file (left open), and its name for messages."""
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(source, "rb") as stream:
            yield stream, shown(source)
    else:
        name = getattr(source, "name", "<stream>")
        yield source, shown(name) if isinstance(name, (str, bytes)) else "<stream>"


class ArchiveReader:
    """The records of one archive, in order, from a binary stream. After the
    iteration: `compressed`, `members` (gzip members), `size` (uncompressed
    bytes) and `data_end`, where the archive's data ends in the file (trailing
    zero padding after the last gzip member is not part of it)."""

    def __init__(
        self,
        stream: IO[bytes],
        name: str = "<stream>",
        *,
        inflater: Any = None,
        member_limit: int = DEFAULT_MEMBER_LIMIT,
        raw: bool = False,
    ) -> None:
        self.name = name
        self._file_size = _regular_size(stream)
        head = stream.read(2)
        self.compressed = head == GZIP_MAGIC
        self._read = _Prefixed(head, stream.read)
        self._inflater = inflater
        self._member_limit = member_limit
        self._raw = raw
        self.members = 0
        self.size = 0
        self.data_end = 0
        self.gaps: List[Tuple[int, int]] = []  # (offset, length) of stray bytes stepped over, in the uncompressed archive

    def records(self) -> Iterator[Record]:
        """Raises ArchiveError, naming the offset, at the first record that does
        not parse; "empty archive" for a file without data."""
        yield from (self._gzip_records() if self.compressed else self._plain_records())
        if self.size == 0:
            raise ArchiveError("empty archive")

    def _plain_records(self) -> Iterator[Record]:
        splitter = Splitter(raw=self._raw, gaps=self.gaps, limits=Limits(data_end=self._file_size))
        final = False
        while not final:
            block = self._read(READ)
            final = not block
            self.size += len(block)
            splitter.feed(block)
            try:
                batch = splitter.batch(final)
            except RecordError as error:
                raise _refusal(error, splitter, f"offset {error.offset}") from None
            for record, version, raw in batch:
                yield Record(record, record["offset"], record["length"], version, False, raw)
        self.data_end = self.size

    def _gzip_records(self) -> Iterator[Record]:
        members = MemberReader(self._read, self._inflater, self._member_limit)
        limits = Limits(record=self._member_limit, record_reason=f"more than {self._member_limit:,} bytes, the limit for one gzip member")
        records = _GzipRecords(self._raw, self.gaps, limits)
        queue, queued, size = records.queue, 0, 0
        pieces = members.pieces()
        while True:
            try:
                piece = next(pieces, None)
            except ArchiveError:
                yield from records.flush()  # the records before a bad member first, as warcio gives them
                raise
            if piece is None:
                break
            data, offset, length = piece
            base, size = size, size + len(data)
            # Once a member: the common case, a member that holds one record, stays inline.
            if records.splitter is None and length is not None and data.startswith(b"WARC/"):
                queue.append((data, base, offset, length))
                queued += len(data)
                if len(queue) < QUEUED_MEMBERS and queued < QUEUED_BYTES:
                    continue
                queued = 0
                yield from records.flush()
            else:
                queued = 0
                yield from records.flush()
                yield from records.shared(data, base, offset, length)
        self.size = size
        yield from records.finish()
        self.members, self.data_end = members.members, members.end


QUEUED_MEMBERS = 16  # members that each hold a record, parsed in one call of the module
QUEUED_BYTES = 1 << 20

_Member = Tuple[bytes, int, int, int]  # data, its uncompressed offset, the member's compressed offset and length
_new_record = tuple.__new__  # a Record without NamedTuple's slower constructor, once a record


class _GzipRecords:
    """Records from the inflated pieces of gzip members, in order. A member
    that holds exactly one record, as crawlers write them, is parsed on its
    own, a few such members in one call (the module is faster on a run of
    records than on each alone). Records that span or share members go through
    a Splitter, with the compressed offset of the member each starts in."""

    def __init__(self, raw: bool, gaps: List[Tuple[int, int]], limits: Limits) -> None:
        self._raw = raw
        self._gaps = gaps
        self._limits = limits
        self.queue: List[_Member] = []  # members that may each hold one record, not parsed yet
        self.splitter: Optional[Splitter] = None  # while records span or share members
        self._starts: List[Tuple[int, int]] = []  # (uncompressed, compressed) offsets of the members it has had
        self._ends: Dict[int, Tuple[int, int]] = {}  # compressed offset -> (uncompressed end, compressed length)
        self._mid_member = False  # an earlier piece of the member at hand went to the splitter

    def finish(self) -> Iterator[Record]:
        yield from self.flush()
        if self.splitter is not None:
            yield from self._batch(final=True)

    def flush(self) -> Iterator[Record]:
        queue = self.queue
        if not queue:
            return
        records = _alone_together(queue)
        if records is not None:
            queue.clear()
            yield from records
            return
        members = list(queue)  # one of them is not a lone record: each on its own, in order
        queue.clear()  # the same list: the reader appends to it
        for member in members:
            alone = None if self.splitter is not None else _alone_together([member])
            yield from alone if alone is not None else self.shared(*member)

    def shared(self, data: bytes, base: int, offset: int, length: Optional[int]) -> Iterator[Record]:
        if self.splitter is None:
            if length is not None and not data.strip(b"\r\n"):
                return  # an empty member, or one of line breaks only: no record
            self.splitter, self._starts, self._ends = Splitter(base, self._raw, self._gaps, self._limits), [], {}
        if not self._mid_member:
            self._starts.append((base, offset))
        self._mid_member = length is None
        if length is not None:
            self._ends[offset] = (base + len(data), length)
        self.splitter.feed(data)
        yield from self._batch(final=False)
        if not len(self.splitter) and not self._mid_member:
            self.splitter = None  # back to one record a member

    def _batch(self, final: bool) -> List[Record]:
        splitter, starts = self.splitter, self._starts
        assert splitter is not None
        try:
            batch = splitter.batch(final=final, exact=not self._mid_member)
        except RecordError as error:
            member = _member_at(starts, error.offset)[1]
            where = f"offset {error.offset} of the inflated data (in the gzip member at compressed offset {member})"
            raise _refusal(error, splitter, where) from None
        return [self._placed(record, version, raw) for record, version, raw in batch]

    def _placed(self, record: "vellumark.WarcRecord", version: str, raw: Optional[bytes]) -> Record:
        """A record of the splitter, with its member: its own, with its length,
        when it fills it (a member too large to come in one piece)."""
        start, member = _member_at(self._starts, record["offset"])
        end = self._ends.get(member)
        if start == record["offset"] and end is not None and end[0] == start + record["length"]:
            return Record(record, member, end[1], version, True, raw)
        return Record(record, member, None, version, False, raw)


def _alone_together(members: List[_Member]) -> Optional[List[Record]]:
    """The records of members that each hold exactly one, parsed in one call;
    None when any of them does not."""
    parts: List[Any] = []
    versions: List[str] = []
    for data, _, _, _ in members:
        if data.startswith(b"WARC/1.1"):
            parts.append(data)
            versions.append("1.1")
            continue
        found = version_of(data)
        if found is None or found[1] is None:
            return None
        parts += (PRESENTED[found[1]], memoryview(data)[len(found[1]) :])
        versions.append(found[0])
    try:
        records = vellumark.read_records(parts[0] if len(parts) == 1 else b"".join(parts))
    except ValueError:
        return None
    if len(records) != len(members):
        return None
    out = []
    at = 0
    for record, (data, base, offset, length), version in zip(records, members, versions):
        if record["offset"] != at:  # each record must start its own member
            return None
        at += len(data)
        record["offset"] = base
        out.append(_new_record(Record, (record, offset, length, version, True, None)))
    return out


def _regular_size(stream: IO[bytes]) -> int:
    """The size of a regular file at its current position's end, or no limit (a pipe, a socket, a stream in memory)."""
    try:
        status = os.fstat(stream.fileno())
        return status.st_size - stream.tell() if stat.S_ISREG(status.st_mode) else NO_LIMIT
    except (OSError, AttributeError, ValueError):
        return NO_LIMIT


def _member_at(starts: List[Tuple[int, int]], offset: int) -> Tuple[int, int]:
    """(uncompressed, compressed) offsets of the member that holds uncompressed `offset`."""
    found = starts[0] if starts else (0, 0)
    for start in starts:
        if start[0] > offset:
            break
        found = start
    return found


def _refusal(error: RecordError, splitter: Splitter, where: str) -> ArchiveError:
    """The module's refusal as one line, told by what stands at the record's start."""
    at = max(error.offset - splitter.base, 0)
    return ArchiveError(_record_message(error, bytes(splitter.buf[at : at + 64]), where))


def _record_message(error: RecordError, head: bytes, where: str) -> str:
    if "expected WARC/1.1" in error.message:
        return f"{describe_refusal(head, at_start=error.offset == 0)}, at {where}"
    message = error.message.replace("invalid WARC record: ", "")
    return f"invalid WARC record at {where}: {message}{_hint(head, message)}"


def iter_records(
    source: Source,
    *,
    inflater: Any = None,
    member_limit: int = DEFAULT_MEMBER_LIMIT,
    raw: bool = False,
) -> Iterator[Record]:
    """The records of a .warc or .warc.gz file (a path or an open binary file),
    one at a time, each with where it stands in the file.

    Raises ArchiveError at the first record that does not parse, and for an
    empty archive. Memory follows the largest record, not the archive."""
    with open_source(source) as (stream, name):
        yield from ArchiveReader(stream, name, inflater=inflater, member_limit=member_limit, raw=raw).records()


