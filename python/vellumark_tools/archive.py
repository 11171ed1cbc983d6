"""WARC archives on disk, read one record at a time: .warc and .warc.gz of any
gzip layout, WARC/1.1 and the versions before it that share its record
grammar (1.0, which most crawlers write, and the drafts 0.17 and 0.18).

The reading is native (vellumark_tools._reader): gzip members are inflated
and records scanned on a read-ahead thread, without the interpreter lock,
while Python handles the records before. A record comes with its headers and
where it stands; its body is read only when asked for. This file turns what
the reader says into records, warnings and one-line errors.
"""

from __future__ import annotations

import contextlib
import errno
import io
import os
import re
import stat
from operator import itemgetter
from typing import IO, Any, Dict, Iterator, List, Optional, Tuple, Union

from . import _reader
from .errors import ArchiveError, PathLike, shown

Source = Union[PathLike, IO[bytes]]

DEFAULT_MEMBER_LIMIT = 4 << 30  # far above any real record; a gzip bomb stops here
VERSIONS_READ = ("1.1", "1.0", "0.18", "0.17")
GZIP_MAGIC = b"\x1f\x8b"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
SEPARATORS = {0: b"", 2: b"\n\n", 4: b"\r\n\r\n"}

_new = tuple.__new__  # a Record straight from the reader's tuple, once a record


class Record(tuple):  # type: ignore[type-arg]
    """One record of an archive on disk, and where it stands in the file.

    Everything but the body is at hand at once; the body is read when asked
    for: `body` (bytes), or `body_reader()` (read(n) in pieces, for a body of
    any size). A body larger than the reader's window (4 MiB) must be read
    before the next record is asked for."""

    __slots__ = ()

    headers: Dict[str, str] = property(itemgetter(0))  # type: ignore[assignment]
    """Header names lower-cased; where a name stands twice, the last value."""
    version: str = property(itemgetter(1))  # type: ignore[assignment]
    """The WARC version its first line names: "1.1", "1.0", "0.18" or "0.17"."""
    data_offset: int = property(itemgetter(2))  # type: ignore[assignment]
    """Where it starts in the (uncompressed) archive."""
    header_length: int = property(itemgetter(3))  # type: ignore[assignment]
    """Its version line and header block, through the blank line."""
    body_length: int = property(itemgetter(4))  # type: ignore[assignment]
    offset: int = property(itemgetter(5))  # type: ignore[assignment]
    """Where it stands in the file: in a .warc.gz, the compressed offset of its
    gzip member (of the member it starts in, when it shares one)."""

    @property
    def header_block(self) -> bytes:
        """Its version line and header block as they stand, the blank line included."""
        return self[7].header()  # type: ignore[no-any-return]

    def _placement(self) -> Tuple[Optional[int], bool, int]:
        placement = self[6]
        return placement if placement is not None else self[7].placement()  # type: ignore[no-any-return]

    @property
    def length(self) -> Optional[int]:
        """The bytes it takes in the file from `offset`: in a .warc.gz, its gzip
        member's compressed length, or None when it shares or spans members;
        in a .warc, its own length, separator included."""
        return self._placement()[0]

    @property
    def undecided(self) -> bool:
        """Whether `own_member` is known only once the body has been passed (a
        large body) while the record starts a gzip member: it may or may not
        have the member to itself."""
        return self[6] is None and bool(self[8])

    @property
    def own_member(self) -> bool:
        """In a .warc.gz, whether it is the only record of its gzip member, as
        indexes and signing in place need; False in a .warc."""
        return self._placement()[1]

    @property
    def separator(self) -> int:
        """Bytes of the blank line after the body: 4 (CR LF CR LF), 2 (LF LF) or 0."""
        return self._placement()[2]

    @property
    def data_length(self) -> int:
        """Its bytes in the uncompressed archive: header block, body, separator."""
        return self.header_length + self.body_length + self.separator

    @property
    def body(self) -> bytes:
        """The body, Content-Length bytes of it."""
        return self[7].tobytes()  # type: ignore[no-any-return]

    def body_reader(self) -> Any:
        """The body as a reader: read(n) gives the next n bytes (b"" at its end)."""
        return self[7]

    @property
    def warc(self) -> Dict[str, Any]:
        """The record as the module's read_records gives it: "headers", "body",
        and "offset" and "length" in the uncompressed archive."""
        return {"headers": self.headers, "body": self.body, "offset": self.data_offset, "length": self.data_length}

    def __repr__(self) -> str:
        return f"Record(offset={self.offset}, version={self.version!r}, type={self.headers.get('warc-type')!r})"


# ---------------------------------------------------------------------------- messages


def describe_refusal(head: bytes, at_start: bool) -> str:
    """What stands where a record should start, for a message."""
    version = re.match(rb"WARC/(\S+)", head, re.IGNORECASE)
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


# The reader's errors, by kind, as one line each. {where} is "offset N", with
# the gzip member it stands in for a .warc.gz; {hint} says which line ends a
# header used where WARC needs CR LF.
_ERRORS = {
    "non-utf8-header": "invalid WARC record at {where}: non-UTF-8 header",
    "missing-length": "invalid WARC record at {where}: missing Content-Length{hint}",
    "invalid-length": "invalid WARC record at {where}: invalid Content-Length",
    "header-too-long": "invalid WARC record at {where}: unterminated header (no CR LF CR LF within 16 MiB)",
    "unterminated-header": "invalid WARC record at {where}: unterminated header{hint}",
    "differing-lengths": ("invalid WARC record at {where}: two Content-Length fields with different values, {detail}: "
                          "readers would disagree on where the record ends"),
    "truncated-body": "invalid WARC record at {where}: body extends past end of data (the archive is truncated)",
    "record-too-large": ("invalid WARC record at {where}: more than {limit:,} bytes, the limit for one gzip member "
                         "(it declares {declared:,} bytes)"),
    "not-gzip": "not gzip data at compressed offset {offset} ({head!r})",
    "corrupt-member": "corrupt gzip member at compressed offset {offset}: {detail}",
    "truncated-member": "truncated gzip member at compressed offset {offset}: the file ends inside it",
    "member-too-large": ("the gzip member at compressed offset {offset} inflates to more than {limit:,} bytes, "
                         "the limit for one member (a gzip bomb; the limit can be raised)"),
    "read-failed": "cannot be read: {reason}",
}
_LINE_ENDS = {
    "bare-lf": ": header lines end in a bare LF, and WARC needs CR LF",
    "cr-cr-lf": ": header lines end in CR CR LF, and WARC needs CR LF",
}

# What the reader stepped over, by kind; {inflated} places an offset in the inflated data.
_WARNINGS = {
    "stray": ("{count} stray bytes at offset {offset} {inflated}after a record's body, which warcio steps over too "
              "(that record's Content-Length may be short)"),
    "trailing": "{count} bytes of white space at offset {offset} {inflated}after the last record, which warcio steps over too",
    "trailing-line-end": "a line end at compressed offset {offset}, after the last gzip member, which gzip readers step over",
    "padded-name": ("the record at offset {offset} {inflated}has a header name with white space around it, "
                    "which warcio and FastWARC do not read as that field"),
    "folded": "the record at offset {offset} {inflated}continues a header field on a folded line",
    "lower-case-version": "the record at offset {offset} {inflated}starts with {detail!r}, not 'WARC/'",
}


def _where(offset: int, member: Optional[int]) -> str:
    if member is None:
        return f"offset {offset}"
    return f"offset {offset} of the inflated data (in the gzip member at compressed offset {member})"


def error_message(error: Any, member_limit: int) -> str:
    """The reader's error as one line."""
    kind: str
    kind, offset, member, head, detail, number = error.args
    where = _where(offset, member)
    if kind == "bad-version":
        return f"{describe_refusal(head, at_start=offset == 0)}, at {where}"
    truncated = ": the archive is truncated inside it" if kind == "unterminated-header" else ""
    return _ERRORS.get(kind, kind).format(
        where=where, offset=offset, head=head, detail=detail, limit=member_limit,
        declared=int(detail) if detail.isdigit() else 0, hint=_LINE_ENDS.get(detail, truncated),
        reason=os.strerror(number) if number > 0 else detail,
    )


def warning_text(warning: Tuple[str, int, int, str], compressed: bool) -> str:
    """Something unusual the reader stepped over, as one line."""
    kind, offset, count, detail = warning
    inflated = "of the inflated data " if compressed else ""
    return _WARNINGS.get(kind, "{kind} at offset {offset}").format(
        kind=kind, offset=offset, count=count, detail=detail, inflated=inflated
    )


# ---------------------------------------------------------------------------- the reader


@contextlib.contextmanager
def open_source(source: Source) -> Iterator[Tuple[IO[bytes], str]]:
    """A binary stream for a path or an open binary file (left open), and its
    name for messages. A path that is not a regular file (a pipe, /dev/stdin)
    is opened unbuffered, so that the reader can take its descriptor over."""
    if isinstance(source, (str, bytes, os.PathLike)):
        fd = os.open(source, os.O_RDONLY | os.O_CLOEXEC)
        try:
            mode = os.fstat(fd).st_mode
            if stat.S_ISDIR(mode):  # as open() says it, naming the path
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), source)
            stream = open(fd, "rb", buffering=-1 if stat.S_ISREG(mode) else 0)
        except BaseException:
            os.close(fd)
            raise
        with stream:
            yield stream, shown(source)
    else:
        name = getattr(source, "name", "<stream>")
        yield source, shown(name) if isinstance(name, (str, bytes)) else "<stream>"


def _window_of(stream: Any) -> Optional[Tuple[int, int, int]]:
    """(descriptor, start, length) when the stream is a regular file (or a window
    of one) the reader can read by position itself; None for anything else (a
    pipe, a stream in memory), which the reader reads through read()."""
    window = getattr(stream, "window", None)
    if window is not None:
        return window()  # type: ignore[no-any-return]  # a window of a file: a STORED entry of a WACZ package
    try:
        fd = stream.fileno()
        status = os.fstat(fd)
        if stat.S_ISREG(status.st_mode):
            start = stream.tell()
            return fd, start, max(0, status.st_size - start)
    except (OSError, AttributeError, ValueError):
        pass
    return None


def _first_bytes(stream: io.FileIO, size: int) -> bytes:
    """Up to `size` bytes: a pipe's read may return fewer than there will be."""
    head = b""
    while len(head) < size:
        more = stream.read(size - len(head))
        if not more:
            break
        head += more
    return head


class _Prefixed:
    """A stream that first hands back bytes already read from it."""

    def __init__(self, head: bytes, stream: Any) -> None:
        self._head, self._stream = head, stream

    def read(self, size: int = -1) -> bytes:
        if self._head:
            head, self._head = self._head, b""
            return head if len(head) >= size >= 0 else head + self._stream.read(size - len(head) if size >= 0 else -1)
        data: bytes = self._stream.read(size)
        return data


def default_threads() -> int:
    """Threads that inflate one .warc.gz at once: the cores this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every system
        return os.cpu_count() or 1


class ArchiveReader:
    """The records of one archive, in order, from a binary stream. After the
    iteration: `members` (gzip members), `size` (uncompressed bytes) and
    `data_end`, where the archive's data ends in the file (trailing zero
    padding after the last gzip member is not part of it); `warnings` lists
    what was unusual, one line each, and `gaps` (offset, length) of the stray
    bytes stepped over. `threads` inflate the gzip members of a per-record
    .warc.gz at once (default: the cores); the records are the same, in the
    same order, however many."""

    def __init__(self, stream: IO[bytes], name: str = "<stream>", *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None) -> None:
        self.name = name
        self._member_limit = member_limit
        self._stream = stream  # the reader reads its descriptor: it must stay open
        window = _window_of(stream)
        if window is not None:
            fd, start, length = window
            self.compressed = length >= 2 and os.pread(fd, 2, start) == GZIP_MAGIC
            self._reader = _reader.Reader(fd, start, length, member_limit, threads or default_threads())
        elif isinstance(stream, io.FileIO):  # a pipe: read by the reader itself, which Ctrl-C can stop while it waits
            head = _first_bytes(stream, 2)
            self.compressed = head == GZIP_MAGIC
            self._reader = _reader.Reader(stream.fileno(), 0, None, member_limit, threads or default_threads(), head)
        else:
            head = stream.read(2)
            self.compressed = head == GZIP_MAGIC
            self._reader = _reader.Reader(_Prefixed(head, stream), 0, None, member_limit, threads or default_threads())
        self.members = 0
        self.size = 0
        self.data_end = 0
        self.warnings: List[str] = []
        self.gaps: List[Tuple[int, int]] = []

    def records(self) -> Iterator[Record]:
        """Raises ArchiveError, naming the offset, at the first record that does
        not parse; "empty archive" for a file without data."""
        reader, compressed = self._reader, self.compressed
        next_record, take_warnings = reader.next, reader.warnings
        try:
            while True:
                try:
                    found = next_record()
                except _reader.ReadError as error:
                    self._note(take_warnings() or [])
                    raise ArchiveError(error_message(error, self._member_limit)) from None
                if found is None:
                    break
                warnings = take_warnings()
                if warnings is not None:
                    self._note(warnings)
                yield _new(Record, found)
            self._note(take_warnings() or [])
        finally:
            end = reader.end()
            reader.close()
        _, self.members, self.size, self.data_end = end if end is not None else (compressed, 0, 0, 0)
        if self.size == 0:
            raise ArchiveError("empty archive")

    def _note(self, warnings: List[Tuple[str, int, int, str]]) -> None:
        for warning in warnings:
            self.warnings.append(warning_text(warning, self.compressed))
            if warning[0] == "stray":
                self.gaps.append((warning[1], warning[2]))


def iter_records(source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None) -> Iterator[Record]:
    """The records of a .warc or .warc.gz file (a path or an open binary file),
    one at a time, each with where it stands in the file.

    Raises ArchiveError at the first record that does not parse, and for an
    empty archive. Memory follows the reader's window, not the archive."""
    with open_source(source) as (stream, name):
        yield from ArchiveReader(stream, name, member_limit=member_limit, threads=threads).records()
