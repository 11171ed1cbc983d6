"""Archives on disk, for the examples: uncompressed .warc files, and .warc.gz
files read and written gzip member by gzip member.

Crawlers gzip every record as a gzip member of its own, and indexes (CDX,
CDXJ) point into the file by the compressed offset of that member. So a
.warc.gz is split into its members with their offsets, each member is inflated
on its own, and the members of the records we keep are copied byte for byte,
never recompressed: existing index entries stay valid. Going member by member
also keeps memory to one record at a time and the time linear in the file size
(gzip.decompress copies the rest of the file once per member, which is
quadratic). python-isal inflates about twice as fast as zlib and is used when
installed: pip install 'vellumark[fast-gzip]'.

The module itself reads and writes bytes only; everything about files,
compression and messages for people lives here.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import gzip
import importlib
import os
import pathlib
import re
import tempfile
import zlib
from typing import IO, Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple

import vellumark

isal_zlib: Any
try:  # the faster inflater, when installed
    isal_zlib = importlib.import_module("isal.isal_zlib")
except ImportError:
    isal_zlib = None

# The record that carries the manifest store, as the module writes it.
MANIFEST_TYPE = "c2paprovenance"
MANIFEST_CONTENT_TYPE = "application/c2pa"

GZIP_MAGIC = b"\x1f\x8b"
ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"
BLOCK = 1 << 20  # bytes read from the file at a time
FIRST_STEP = 16 << 10  # first slice fed to an inflater; doubled while the member goes on
LAST_STEP = 1 << 20

Read = Callable[[int], bytes]


class ArchiveError(ValueError):
    """What is wrong with an archive, in one line meant for people."""


# ---------------------------------------------------------------------------- inflating


def inflaters() -> Dict[str, Any]:
    """The zlib-compatible modules at hand, fastest last: {"zlib": zlib, "isal": isal_zlib}."""
    found: Dict[str, Any] = {"zlib": zlib}
    if isal_zlib is not None:
        found["isal"] = isal_zlib
    return found


def default_inflater() -> Any:
    return isal_zlib if isal_zlib is not None else zlib


class Member(NamedTuple):
    """One gzip member of a .warc.gz file (a tuple: tens of thousands are made per file)."""

    offset: int  # of its first byte in the file: what an index entry records
    raw: bytes  # the member exactly as it stands in the file; its length is len(raw)
    data: bytes  # its inflated content


def iter_members(read: Read, inflater: Any = None) -> Iterator[Member]:
    """The gzip members of the stream `read` reads from, in order.

    Each member gets a fresh inflater, fed bounded slices of the block at hand,
    so that what it hands back as unused data after the member's end is at most
    one slice: no byte is copied more than a few times, whatever the number of
    members. Raises ArchiveError for data that is not gzip, a corrupt member or
    a file that ends inside a member.
    """
    inflater = inflater or default_inflater()
    new_inflater, inflate_error = inflater.decompressobj, inflater.error
    block, pos, offset = memoryview(b""), 0, 0
    while True:
        if pos == len(block):
            block, pos = memoryview(read(BLOCK)), 0
            if not block:
                return
        decompressor = new_inflater(wbits=31)  # 31: a gzip header and trailer
        start = pos  # of the member in the block at hand
        earlier: List[bytes] = []  # its bytes in earlier blocks
        data: List[bytes] = []
        step = FIRST_STEP
        while not decompressor.eof:
            if pos == len(block):
                earlier.append(bytes(block[start:]))
                block, pos, start = memoryview(read(BLOCK)), 0, 0
                if not block:
                    raise ArchiveError(f"truncated gzip member at compressed offset {offset}: the file ends inside it")
            piece = block[pos : pos + step]
            try:
                data.append(decompressor.decompress(piece))
            except inflate_error as error:
                raise _gzip_error(b"".join(earlier) + bytes(block[start : pos + 8]), offset, error) from None
            pos += len(piece) - len(decompressor.unused_data)
            step = min(step * 2, LAST_STEP)
        raw = bytes(block[start:pos]) if not earlier else b"".join(earlier) + block[start:pos]
        yield Member(offset, raw, data[0] if len(data) == 1 else b"".join(data))
        offset += len(raw)


def _gzip_error(member_start: bytes, offset: int, error: Exception) -> ArchiveError:
    if not member_start.startswith(GZIP_MAGIC):
        return ArchiveError(f"not gzip data at compressed offset {offset} ({member_start[:8]!r})")
    return ArchiveError(f"corrupt gzip member at compressed offset {offset}: {error}")


def gzip_member(data: "bytes | memoryview") -> bytes:
    """`data` as one gzip member; mtime 0, so the same data gives the same bytes."""
    return gzip.compress(data, compresslevel=6, mtime=0)


# ---------------------------------------------------------------------------- records


def is_manifest(record: vellumark.WarcRecord) -> bool:
    headers = record["headers"]
    return headers.get("warc-type") == MANIFEST_TYPE and headers.get("content-type") == MANIFEST_CONTENT_TYPE


def manifest_record(manifest: bytes, record_id: str) -> bytes:
    """The manifest store record, exactly as append_manifest writes it at the end of an archive."""
    return vellumark.build_record(MANIFEST_TYPE, MANIFEST_CONTENT_TYPE, record_id, manifest)


@dataclasses.dataclass
class Census:
    """What an archive holds. Bytes count the uncompressed archive."""

    name: str
    records: int = 0
    bytes: int = 0
    by_type: Dict[str, int] = dataclasses.field(default_factory=dict)
    manifest: bool = False
    error: Optional[str] = None

    def count(self, records: List[vellumark.WarcRecord], size: int) -> None:
        self.records += len(records)
        self.bytes += size
        for record in records:
            kind = record["headers"].get("warc-type", "(none)")
            self.by_type[kind] = self.by_type.get(kind, 0) + 1
            self.manifest = self.manifest or is_manifest(record)


def read_records(data: bytes, compressed: bool = False) -> List[vellumark.WarcRecord]:
    """vellumark.read_records, with its ValueError turned into an ArchiveError that says what is wrong."""
    try:
        return vellumark.read_records(data)
    except ValueError as error:
        raise ArchiveError(explain(data, str(error), compressed)) from None


def census(name: str, stream: IO[bytes], inflater: Any = None) -> Census:
    """Counts the records of a .warc or .warc.gz stream, one gzip member at a time
    when it can (a record split over members needs the whole inflated archive)."""
    result = Census(name)
    if not _is_gzip_archive(stream):
        result.count(read_records(stream.read()), stream.tell())
        return result
    try:
        for member in iter_members(stream.read, inflater):
            result.count(vellumark.read_records(member.data), len(member.data))
    except ArchiveError:
        raise
    except ValueError:  # a record split over members, or a malformed one: the whole archive tells which
        stream.seek(0)
        whole = b"".join(m.data for m in iter_members(stream.read, inflater))
        result = Census(name)
        result.count(read_records(whole, compressed=True), len(whole))
    return result


# ---------------------------------------------------------------------------- signing


@dataclasses.dataclass
class Signed:
    """What sign() did. Offsets and sizes are compressed ones for a .warc.gz."""

    compressed: bool
    records: int = 0  # records of the input, manifest store records included
    input_bytes: int = 0  # uncompressed
    output_bytes: int = 0  # as written
    members: int = 0  # gzip members of the input
    per_record: bool = True  # every member of the input held exactly one record
    not_per_record_reason: str = ""
    dropped: List[int] = dataclasses.field(default_factory=list)  # offsets of replaced manifest store records
    moved_from: Optional[int] = None  # the first dropped offset, when a kept record follows it (and so moves)
    manifest_offset: int = 0  # where the new manifest store record starts
    first: List[Tuple[vellumark.WarcRecord, int, int]] = dataclasses.field(default_factory=list)

    def keep_first(self, record: vellumark.WarcRecord, offset: int, length: int, limit: int) -> None:
        if len(self.first) < limit:
            self.first.append((record, offset, length))


class _NotPerRecord(Exception):
    pass


def is_gzip(stream: IO[bytes]) -> bool:
    """Whether a seekable stream holds gzip data; leaves it at its start."""
    head = stream.read(2)
    stream.seek(0)
    return head == GZIP_MAGIC


def _is_gzip_archive(stream: IO[bytes]) -> bool:
    """is_gzip, for an archive about to be read: an empty one is refused first."""
    if stream.read(1) == b"":
        raise ArchiveError("empty archive")
    stream.seek(0)
    return is_gzip(stream)


def sign(
    stream: IO[bytes],
    out: IO[bytes],
    manifest: bytes,
    record_id: str,
    *,
    inflater: Any = None,
    keep: int = 0,
) -> Signed:
    """Writes to `out` the archive of `stream` with every earlier manifest store
    record dropped and a new one holding `manifest` at the end.

    A per-record .warc.gz (every gzip member holds exactly one record) keeps its
    other members byte for byte and in order, and gets the new record as one new
    member at the end. Any other .warc.gz is written per-record: every record,
    the new one too, becomes a gzip member of its own. An uncompressed archive
    is rewritten by append_manifest. `keep` records (the first ones, with their
    offsets and lengths) are kept in the result for a listing.
    """
    if not _is_gzip_archive(stream):
        return _sign_plain(stream, out, manifest, record_id, keep)
    try:
        return _sign_per_record(stream, out, manifest, record_id, inflater, keep)
    except _NotPerRecord as error:
        reason = str(error)
    # Rewritten outside the handler: its traceback would keep the member that
    # failed the check (as large as the whole archive, for one member) alive.
    stream.seek(0)
    out.seek(0)
    out.truncate()
    signed = _sign_rewritten(stream, out, manifest, record_id, inflater, keep)
    signed.not_per_record_reason = reason
    return signed


def _sign_plain(stream: IO[bytes], out: IO[bytes], manifest: bytes, record_id: str, keep: int) -> Signed:
    archive = stream.read()
    records = read_records(archive)
    try:
        result = vellumark.append_manifest(archive, manifest, record_id)
    except ValueError as error:  # "empty WARC data", or a record ID holding CR or LF
        raise ArchiveError(explain(archive, str(error))) from None
    signed = Signed(compressed=False, records=len(records), input_bytes=len(archive), per_record=False)
    for record in records:
        signed.keep_first(record, record["offset"], record["length"], keep)
        if is_manifest(record):
            signed.dropped.append(record["offset"])
            continue
        if signed.dropped and signed.moved_from is None:
            signed.moved_from = signed.dropped[0]
        signed.manifest_offset += record["length"]  # the result is the kept records' ranges, then the new one
    out.write(result)
    signed.output_bytes = len(result)
    return signed


def _sign_per_record(
    stream: IO[bytes], out: IO[bytes], manifest: bytes, record_id: str, inflater: Any, keep: int
) -> Signed:
    signed = Signed(compressed=True)
    new_record = gzip_member(manifest_record(manifest, record_id))  # a bad record ID fails before any work
    members = input_bytes = written = 0
    dropped = signed.dropped
    for offset, raw, data in iter_members(stream.read, inflater):
        record = _only_record(offset, data)
        members += 1
        input_bytes += len(data)
        signed.keep_first(record, offset, len(raw), keep)
        if is_manifest(record):
            dropped.append(offset)
            continue
        if dropped and signed.moved_from is None:
            signed.moved_from = dropped[0]
        out.write(raw)
        written += len(raw)
    signed.members = signed.records = members
    signed.input_bytes = input_bytes
    signed.manifest_offset = written
    out.write(new_record)
    signed.output_bytes = written + len(new_record)
    return signed


def _only_record(offset: int, data: bytes) -> vellumark.WarcRecord:
    """The one record of a member; _NotPerRecord when it holds part of one, or not exactly one."""
    try:
        records = vellumark.read_records(data)
    except ValueError:
        raise _NotPerRecord(f"the gzip member at compressed offset {offset} holds part of a record") from None
    if len(records) != 1:
        raise _NotPerRecord(f"the gzip member at compressed offset {offset} holds {len(records)} records")
    return records[0]


def _sign_rewritten(
    stream: IO[bytes], out: IO[bytes], manifest: bytes, record_id: str, inflater: Any, keep: int
) -> Signed:
    signed = Signed(compressed=True, per_record=False)
    parts = []
    for member in iter_members(stream.read, inflater):
        signed.members += 1
        parts.append(member.data)
    whole = b"".join(parts)
    del parts
    if not whole:
        raise ArchiveError("invalid WARC record: empty WARC data")
    records = read_records(whole, compressed=True)
    signed.records, signed.input_bytes = len(records), len(whole)

    def write_member(record: vellumark.WarcRecord, data: Any) -> None:
        packed = gzip_member(data)
        signed.keep_first(record, signed.output_bytes, len(packed), keep)
        out.write(packed)
        signed.output_bytes += len(packed)

    # What append_manifest would write, one record per member: the kept records' ranges, then the new record.
    view = memoryview(whole)
    for record in records:
        if is_manifest(record):
            signed.dropped.append(record["offset"])
        else:
            write_member(record, view[record["offset"] : record["offset"] + record["length"]])
    new_record = manifest_record(manifest, record_id)
    signed.manifest_offset = signed.output_bytes
    write_member(vellumark.read_records(new_record)[0], new_record)
    return signed


def read_manifest_at(path: pathlib.Path, offset: int, compressed: bool) -> Optional[bytes]:
    """The manifest store of the record that starts at `offset` in a signed archive
    (for a .warc.gz, the member there): a check that reads one record, not the archive."""
    with open(path, "rb") as stream:
        stream.seek(offset)
        if compressed:
            data = next(iter_members(stream.read)).data
        else:
            data = stream.read()
    return vellumark.read_manifest(data)


# ---------------------------------------------------------------------------- files


def read_manifest_file(path: pathlib.Path) -> bytes:
    """A manifest store from a file, checked before any work starts: it must be
    readable and not empty (its bytes are opaque here)."""
    try:
        manifest = path.read_bytes()
    except OSError as error:
        raise ArchiveError(f"cannot read the manifest store: {error.strerror}") from None
    if not manifest:
        raise ArchiveError("the manifest store file is empty")
    return manifest


def signed_path(source: pathlib.Path, compressed: bool) -> pathlib.Path:
    """NAME.warc[.gz] -> NAME.c2pa.warc[.gz] beside it; a NAME.c2pa.warc[.gz] keeps its name."""
    name = source.name
    for suffix in (".c2pa.warc.gz", ".c2pa.warc", ".warc.gz", ".warc", ".gz"):
        if name.endswith(suffix):
            name = name[: -len(suffix)]
            break
    return source.with_name(name + (".c2pa.warc.gz" if compressed else ".c2pa.warc"))


@contextlib.contextmanager
def atomic_output(target: pathlib.Path) -> Iterator[IO[bytes]]:
    """A file that becomes `target` only when the block completes: written as a
    temporary file beside it, flushed to disk, then renamed over it. A failure or
    Ctrl-C leaves `target` (which may be the input) as it was."""
    target = target.resolve()
    if not target.parent.is_dir():
        raise FileNotFoundError(errno.ENOENT, "no such directory", str(target.parent))
    fd, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".partial")
    try:
        with os.fdopen(fd, "w+b", buffering=BLOCK) as out:  # a large buffer: one system call per MiB
            yield out
            out.flush()
            os.fsync(out.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)  # what open() would have given; mkstemp makes it private
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    with contextlib.suppress(OSError):  # the rename itself, made durable where the system allows
        directory = os.open(target.parent, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


# ---------------------------------------------------------------------------- messages


def explain(data: bytes, message: str, compressed: bool = False) -> str:
    """The module's message, and where the cause shows at the failing offset, a hint."""
    where = re.search(r"at offset (\d+)", message)
    if compressed and where:
        message += " (of the inflated data)"
    hint = _hint(data, int(where.group(1)) if where else None, message)
    return f"{message}: {hint}" if hint else message


def _hint(data: bytes, offset: Optional[int], message: str) -> str:
    if offset is not None:
        return _what_is(data[offset : offset + 16], first=offset == 0)
    if "unterminated header" in message or "missing Content-Length" in message:
        version_line = re.search(rb"WARC/[0-9.]+(\r?)\n", data)
        if version_line and not version_line.group(1):
            return "header lines end in a bare LF, and WARC needs CR LF"
    return ""


def _what_is(head: bytes, first: bool = True) -> str:
    version = re.match(rb"WARC/([0-9]+\.[0-9]+)", head)
    if version:
        return f"a WARC/{version.group(1).decode()} record, and vellumark reads WARC/1.1 only"
    if head.startswith(GZIP_MAGIC):
        return "gzip-compressed data here, in the middle of an uncompressed archive"
    if head.startswith(ZSTD_MAGIC):
        return "zstd-compressed data, which these examples do not read: decompress it first (zstd -d)"
    if first:
        return f"this is not a WARC archive (it starts with {head[:8]!r})"
    return f"bytes that are not a WARC record follow the last record ({head[:8]!r})"


def with_thousands(n: int) -> str:
    return f"{n:,}"
