"""Embedding a manifest store in an archive on disk.

The output is the input with every earlier manifest store record dropped and
a new one at the end, streamed: the bytes kept are copied from the input by
range (inside the kernel where it can), never rebuilt, so every byte between
records stays where it was and memory follows the largest record.

In a .warc.gz each record that has a gzip member of its own keeps it byte for
byte, so index entries (CDX, CDXJ) before the first dropped member stay valid,
and the new record is one new member at the end. A record that shares or
spans members is written as a member of its own: the output is per-record
from the first such record on, which is what indexes and a later signing need.
"""

from __future__ import annotations

import dataclasses
import io
import os
import tempfile
import uuid
import zlib
from typing import IO, Iterator, List, Optional, Tuple, Union, cast

import vellumark

from .archive import DEFAULT_MEMBER_LIMIT, SEPARATORS, ArchiveReader, Record, Source, open_source
from .binding import Binding, shown_range, stored_member, stored_member_length, verify
from .errors import ArchiveError, PathLike, shown
from .output import Output, atomic_output, read_at

MANIFEST_TYPE = "c2paprovenance"
MANIFEST_CONTENT_TYPE = "application/c2pa"


def is_manifest(record: Record) -> bool:
    headers = record.headers
    return headers.get("warc-type") == MANIFEST_TYPE and headers.get("content-type") == MANIFEST_CONTENT_TYPE


def manifest_record(store: bytes, record_id: str, version: str = "1.1") -> bytes:
    """The manifest store record as the module builds it, with the version line
    of the archive it goes into (a WARC/1.0 archive gets a WARC/1.0 record)."""
    try:
        built = vellumark.build_record(MANIFEST_TYPE, MANIFEST_CONTENT_TYPE, record_id, store)
    except ValueError as error:  # a record ID holding CR or LF
        raise ArchiveError(f"the record ID cannot be used: {error}") from None
    line = b"WARC/1.1\r\n"
    return built if version == "1.1" else b"WARC/%s\r\n" % version.encode() + built[len(line) :]


def record_as_member(record: Record, body: Optional[IO[bytes]] = None) -> Iterator[bytes]:
    """A record's bytes as one gzip member of its own (mtime 0), in pieces: its
    body (from `body` when given, a spooled copy) is read a piece at a time,
    never whole."""
    deflate = zlib.compressobj(6, zlib.DEFLATED, 31)
    yield deflate.compress(record.header_block)
    reader = body if body is not None else record.body_reader()
    for chunk in iter(lambda: reader.read(1 << 20), b""):
        yield deflate.compress(chunk)
    yield deflate.compress(SEPARATORS[record.separator]) + deflate.flush()


def signed_name(source: PathLike, compressed: bool) -> str:
    """NAME.warc[.gz] -> NAME.c2pa.warc[.gz] beside it; NAME.c2pa.warc[.gz] keeps
    its name, so that signing again replaces the store instead of adding one."""
    directory, name = os.path.split(os.fsdecode(source))
    lower = name.lower()
    if lower.endswith((".c2pa.warc", ".c2pa.warc.gz")):
        return os.fsdecode(source)
    for suffix in (".warc.gz", ".warc", ".gz"):
        if lower.endswith(suffix):
            name = name[: -len(suffix)]
            break
    return os.path.join(directory, name + (".c2pa.warc.gz" if compressed else ".c2pa.warc"))


def is_gzip_file(path: PathLike) -> bool:
    with open(path, "rb") as stream:
        return stream.read(2) == b"\x1f\x8b"


@dataclasses.dataclass
class Signed:
    """What sign() did. Offsets are in the files: compressed ones in a .warc.gz."""

    source: str
    output: str
    compressed: bool
    version: str  # of the new record: the archive's own
    records: int = 0  # of the input, earlier manifest store records included
    size: int = 0  # uncompressed bytes of the input
    dropped: List[int] = dataclasses.field(default_factory=list)  # offsets of replaced manifest store records
    rewritten: int = 0  # records that shared or spanned gzip members, now members of their own
    moved_from: Optional[int] = None  # records from here on stand elsewhere in the output: re-index from here
    manifest_offset: int = 0  # where the new record (its member, in a .warc.gz) stands in the output
    manifest_length: int = 0
    output_bytes: int = 0
    replaced: Optional[Tuple[int, int]] = None  # offset and length of the input's last manifest store record
    binding: Optional[Binding] = None  # the new store's binding to the output, where the output could be read back

    def range_moved(self) -> Optional[str]:
        """What to tell a signer whose binding was written for the range of the
        record this one replaced, when the new record stands elsewhere."""
        new = (self.manifest_offset, self.manifest_length)
        if self.replaced is None or self.replaced == new:
            return None
        return (f"the manifest store record moved from {shown_range(self.replaced)} to {shown_range(new)}: "
                "a binding written for the old range no longer holds")

    def index_advice(self) -> str:
        unit = "compressed offset" if self.compressed else "offset"
        if self.moved_from is not None:
            return f"index entries before {unit} {self.moved_from:,} stay valid; re-index from there on"
        if self.dropped:
            return "only the replaced manifest store record at the end went: every other index entry stays valid"
        return "no record moved: every existing index entry stays valid"


class _Signer:
    """Copies the kept stretches of the input to the output as the records go by."""

    def __init__(self, stream: IO[bytes], out: Output, reader: ArchiveReader, signed: Signed) -> None:
        self._stream, self._out, self._reader, self._signed = stream, out, reader, signed
        self._copied_to: Optional[int] = 0  # the input is copied or skipped up to here; None inside a rewritten stretch
        self._last_copied = 0  # where the last stretch copied ended
        self._last_body_end: Optional[int] = None  # of the last record kept, in an uncompressed archive
        self._kept_version: Optional[str] = None
        self._first_version: Optional[str] = None
        self._spool_directory = os.path.dirname(os.path.abspath(out.target)) if out.target != "<stream>" else None

    def take(self, record: Record) -> None:
        spool = self._spool_if_undecided(record)
        try:
            self._take(record, spool)
        finally:
            if spool is not None:
                spool.close()

    def _spool_if_undecided(self, record: Record) -> Optional[IO[bytes]]:
        """A body too large to be held is passed before the reader knows whether
        its record has a gzip member of its own; when it might, the body is
        kept in a temporary file on the way, in case it must be rewritten."""
        if not self._reader.compressed or not record.undecided:
            return None
        spool = tempfile.TemporaryFile(dir=self._spool_directory)
        reader = record.body_reader()
        for chunk in iter(lambda: reader.read(1 << 20), b""):
            spool.write(chunk)
        spool.seek(0)
        return spool

    def _take(self, record: Record, spool: Optional[IO[bytes]]) -> None:
        signed = self._signed
        signed.records += 1
        self._first_version = self._first_version or record.version
        manifest = is_manifest(record)
        if not manifest:
            self._kept_version = record.version
        if not self._reader.compressed or record.own_member:
            if self._copied_to is None:  # the first whole member after a rewritten stretch
                self._copied_to = record.offset
            if manifest:
                assert record.length is not None
                self._copy_to(record.offset)
                self._copied_to = record.offset + record.length
                signed.dropped.append(record.offset)
                signed.replaced = (record.offset, record.length)
            else:
                if signed.dropped and signed.moved_from is None:
                    signed.moved_from = signed.dropped[0]
                if not self._reader.compressed:
                    self._last_body_end = record.offset + record.header_length + record.body_length
            return
        # Shares or spans gzip members: written as a member of its own.
        if self._copied_to is not None:
            self._copy_to(record.offset)
            self._copied_to = None
        if signed.moved_from is None:
            signed.moved_from = signed.dropped[0] if signed.dropped else record.offset
        if manifest:
            signed.dropped.append(record.offset)
            signed.replaced = None  # it shared a gzip member: no range of its own
        else:
            for piece in record_as_member(record, spool):
                self._out.write(piece)
            signed.rewritten += 1

    def finish(self, store: bytes, record_id: str) -> None:
        signed = self._signed
        if self._copied_to is not None:
            self._copy_to(self._reader.data_end)
        signed.version = self._kept_version or self._first_version or "1.1"
        record = manifest_record(store, record_id, signed.version)
        if not signed.compressed:
            self._out.write(self._blank_line_before_new_record())
        signed.manifest_offset = self._out.written
        # Stored deflate blocks: the member's length follows from the record's, so a
        # store of the same size, whatever its bytes, gives the record the same range.
        for part in stored_member(record) if signed.compressed else [record]:
            self._out.write(part)
        signed.manifest_length = stored_member_length(len(record)) if signed.compressed else len(record)
        signed.output_bytes = self._out.written
        signed.size = self._reader.size

    def _copy_to(self, end: int) -> None:
        start = self._copied_to or 0
        if end > start:
            self._out.copy_from(self._stream, start, end - start)
            self._last_copied = end

    def _blank_line_before_new_record(self) -> bytes:
        """What keeps the new record from being glued to the last one kept: a
        record ends with a blank line after its body, and readers such as
        warcio take a line right after a body for stray bytes."""
        if self._last_body_end is None:
            return b""
        after_body = read_at(self._stream, self._last_body_end, max(0, self._last_copied - self._last_body_end))
        if after_body.endswith(b"\n\n") or after_body.endswith(b"\n\r\n"):
            return b""
        if after_body.endswith(b"\r\n"):
            return b"\r\n"
        if after_body.endswith(b"\n"):
            return b"\n"
        return b"\r\n\r\n"


def sign_archive(
    source: Source,
    store: bytes,
    output: Union[PathLike, IO[bytes], None] = None,
    record_id: Optional[str] = None,
    *,
    member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None,
) -> Signed:
    """Writes the archive `source` (a .warc or .warc.gz, never a package) with
    every earlier manifest store record dropped and a new one holding `store`
    (opaque bytes) at the end.

    `output` defaults to NAME.c2pa.warc[.gz] beside a path `source`; a path
    output is written atomically (only a regular file or a new name is
    replaced, and a failure leaves it as it was: nothing is written), an open
    binary file is written as it goes. `record_id` (without angle brackets:
    the record gets them) defaults to a new urn:uuid. Raises ArchiveError for
    an archive that does not parse, an empty one, one that changes while it
    is read, or an output that cannot be written."""
    record_id = record_id if record_id is not None else f"urn:uuid:{uuid.uuid4()}"
    manifest_record(store, record_id)  # a bad record ID fails before any work
    if output is None:
        if not isinstance(source, (str, bytes, os.PathLike)):
            raise ArchiveError("an output is needed when the archive is an open file")
        output = signed_name(source, is_gzip_file(source))
    with open_source(source) as (stream, name):
        before = identity(stream)
        if isinstance(output, (str, bytes, os.PathLike)):
            with atomic_output(output) as out:
                signed = _sign_into(stream, name, out, store, record_id, member_limit, threads)
                signed.output = shown(output)
                _check_read_back(out, signed, store)
                check_unchanged(stream, before, f"{name}: the archive changed while it was being signed; nothing was written")
                signed.binding = output_binding(cast(IO[bytes], out), signed, store)
        else:
            out = Output.over(output)
            signed = _sign_into(stream, name, out, store, record_id, member_limit, threads)
            out.flush()
            signed.output = out.target
            if _readable(output) and output.tell() == signed.output_bytes:  # it holds the output from its start
                signed.binding = output_binding(output, signed, store)
    return signed


def output_binding(output: IO[bytes], signed: Signed, store: bytes) -> Binding:
    """The new store's binding to the output, as check will find it."""
    return verify(output, (signed.manifest_offset, signed.manifest_length), store, signed.output_bytes)


def _readable(stream: IO[bytes]) -> bool:
    try:
        return bool(stream.readable() and stream.seekable())
    except (AttributeError, OSError, ValueError):
        return False


def _sign_into(
    stream: IO[bytes], name: str, out: Output, store: bytes, record_id: str, member_limit: int, threads: Optional[int]
) -> Signed:
    reader = ArchiveReader(stream, name, member_limit=member_limit, threads=threads)
    signed = Signed(source=name, output="", compressed=reader.compressed, version="1.1")
    signer = _Signer(stream, out, reader, signed)
    for record in reader.records():
        signer.take(record)
    signer.finish(store, record_id)
    return signed


def identity(stream: IO[bytes]) -> Optional[Tuple[int, int, int, int]]:
    """What tells a file rewritten while it is read: inode, size, modification and change times."""
    try:
        status = os.fstat(stream.fileno())
    except (OSError, AttributeError, ValueError):
        return None
    return (status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)


def check_unchanged(stream: IO[bytes], before: Optional[Tuple[int, int, int, int]], message: str) -> None:
    """An archive is read twice (parsed, then copied or hashed): bytes another
    program rewrote in between would give a result nobody checked."""
    if before is not None and identity(stream) != before:
        raise ArchiveError(message)


def _check_read_back(out: Output, signed: Signed, store: bytes) -> None:
    """The new record, read back from the output by the reader before it replaces anything."""
    out.flush()
    data = os.pread(out.fileno(), signed.manifest_length, signed.manifest_offset)
    try:
        found = [(is_manifest(r), r.body) for r in ArchiveReader(io.BytesIO(data), threads=1).records()]
    except ArchiveError:
        found = []
    if found != [(True, store)]:
        raise ArchiveError(f"{signed.output}: the manifest store read back differs from the one written")
