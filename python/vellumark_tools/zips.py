"""ZIP files, read and written as WACZ packages need them.

Reading: zipfile reads the central directory, and each entry keeps its own
record of it as the file has it. An entry is opened only after the checks
zipfile makes in ZipFile.open: its local header stands where the record
says, names the same file, is neither encrypted nor patched, and its data
does not run into the next entry. A stored entry is then a window of the
file, whose offsets are the ones a CDXJ index gives; a compressed one,
zipfile's stream. Bytes read in order are digested on the way (CRC-32, and
a hash when asked), so an entry is checked in the pass that reads it.

Writing: entries copied byte for byte or written anew, then the central
directory, each record the input's own with only its offset, sizes, CRC,
compression and ZIP64 field changed where the entry changed: names and extra
fields (an Info-ZIP Unicode Path among them) stay as the local headers have
them, and no reader sees two names for one entry.
"""

from __future__ import annotations

import bz2
import dataclasses
import hashlib
import io
import lzma
import os
import struct
import zipfile
import zlib
from typing import IO, Any, Dict, List, Optional, Tuple, cast

from .errors import ArchiveError, shown
from .output import Output, read_at

ENCRYPTED, DATA_DESCRIPTOR, PATCHED, STRONG_ENCRYPTION, UTF8_NAME = 0x01, 0x08, 0x20, 0x40, 0x800  # flag bits
LZMA_END_MARKER = 0x02  # what zipfile's LZMA stream carries, and says so
ZIP64_FIELD = 0x0001  # extra field ID
ZIP64_VERSION = 45
LOCAL_FORMAT, LOCAL_MAGIC = "<4s2B4HL2L2H", b"PK\x03\x04"
CENTRAL_FORMAT, CENTRAL_MAGIC = "<4s4B4HL2L5H2L", b"PK\x01\x02"
END_FORMAT, END_MAGIC = "<4s4H2LH", b"PK\x05\x06"
END64_FORMAT, END64_MAGIC = "<4sQ2H2L4Q", b"PK\x06\x06"
LOCATOR_FORMAT, LOCATOR_MAGIC = "<4sLQL", b"PK\x06\x07"
DESCRIPTOR_MAGIC = b"PK\x07\x08"
LOCAL_SIZE = struct.calcsize(LOCAL_FORMAT)
CENTRAL_SIZE = struct.calcsize(CENTRAL_FORMAT)
FULL = 0xFFFFFFFF  # a 32-bit size or offset whose value is in the ZIP64 field
# Sizes and offsets past this go in ZIP64 fields: zipfile's own limit, so a
# package is laid out as py-wacz (which writes through zipfile) lays it out.
ZIP64_AT = zipfile.ZIP64_LIMIT
READ = 1 << 20

METHODS = {zipfile.ZIP_STORED: "stored", zipfile.ZIP_DEFLATED: "deflated", zipfile.ZIP_BZIP2: "bzip2-compressed",
           zipfile.ZIP_LZMA: "LZMA-compressed"}
# What zipfile raises for a damaged ZIP, or its decompressors for damaged data (bz2: OSError).
_ZIPFILE_ERRORS = (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, ValueError, NotImplementedError, struct.error,
                   OverflowError, RuntimeError, zlib.error, lzma.LZMAError, OSError, LookupError)


def method_name(method: int) -> str:
    return METHODS.get(method, f"compressed (method {method})")


# ---------------------------------------------------------------------------- entries as streams


class EntryStream(io.RawIOBase):
    """An entry's data as a stream of its own, digested as it is read in order from the start."""

    def __init__(self, name: str, size: int, algorithm: Optional[str] = None) -> None:
        super().__init__()
        self.name = name
        self.size = size
        self.crc = 0
        self._pos = 0
        self._digested = 0
        self._algorithm = algorithm
        self._hasher = hashlib.new(algorithm) if algorithm else None

    def _read_at(self, offset: int, size: int) -> bytes:
        raise NotImplementedError

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._pos

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        base = {os.SEEK_SET: 0, os.SEEK_CUR: self._pos, os.SEEK_END: self.size}[whence]
        self._pos = max(0, base + offset)
        return self._pos

    def read(self, size: Optional[int] = -1) -> bytes:
        left = max(0, self.size - self._pos)
        data = self._read_at(self._pos, left if size is None or size < 0 else min(size, left))
        if self._pos == self._digested:
            self.crc = zlib.crc32(data, self.crc)
            if self._hasher is not None:
                self._hasher.update(data)
            self._digested += len(data)
        self._pos += len(data)
        return data

    def readinto(self, buffer: Any) -> int:
        data = self.read(len(buffer))
        buffer[: len(data)] = data
        return len(data)

    def digest(self) -> Tuple[str, int]:
        """The hash ("algorithm:hex") and size of the whole entry, reading what
        the reader left unread (`crc` then holds the entry's CRC-32)."""
        self.seek(self._digested)
        while self.read(READ):
            pass
        return f"{self._algorithm}:{self._hasher.hexdigest() if self._hasher else ''}", self._digested


class Window(EntryStream):
    """Bytes of a file from `start`, read by position (the file's own position,
    which zipfile uses, is left alone): a stored entry, or a whole ZIP inside one."""

    def __init__(self, file: Any, start: int, size: int, name: str, algorithm: Optional[str] = None) -> None:
        super().__init__(name, size, algorithm)
        self._file, self._start = file, start  # anything output.read_at reads: a file, a Window, an Output

    def window(self) -> Optional[Tuple[int, int, int]]:
        """(descriptor, start, length) for a reader that reads by position itself;
        None when there is no descriptor to read (an Output is read through
        read_at, which flushes it and knows where its offset 0 stands)."""
        if isinstance(self._file, Window):
            outer = self._file.window()
            return None if outer is None else (outer[0], outer[1] + self._start, self.size)
        if isinstance(self._file, Output):
            return None
        try:
            return self._file.fileno(), self._start, self.size
        except (OSError, AttributeError, ValueError):
            return None

    def _read_at(self, offset: int, size: int) -> bytes:
        data = read_at(self._file, self._start + offset, size)
        if len(data) < size:
            raise ArchiveError(f"{shown(self.name)}: the package ends inside it")
        return data


class Inflated(EntryStream):
    """A compressed entry. Reads in order come from one inflating stream; the
    ranges signing copies after reading them (always further on than the
    last) from a second one, so the entry is inflated twice, not once per
    range as a single stream seeking back would."""

    def __init__(self, package: zipfile.ZipFile, info: zipfile.ZipInfo, algorithm: Optional[str] = None) -> None:
        super().__init__(info.filename, info.file_size, algorithm)
        self._package, self._info = package, info
        self._cursors: List[Any] = []
        self._last = (0, b"")  # the last range read: signing reads the end of a copied range again

    def _read_at(self, offset: int, size: int) -> bytes:
        start, last = self._last
        if start <= offset and offset + size <= start + len(last):
            return last[offset - start : offset - start + size]
        try:
            cursor = next((c for c in self._cursors if c.tell() == offset), None)
            if cursor is None:
                if len(self._cursors) < 2:
                    self._cursors.append(self._package.open(self._info))
                cursor = self._cursors[-1]
                cursor.seek(offset)
            data: bytes = cursor.read(size)
        except _ZIPFILE_ERRORS as error:
            raise ArchiveError(f"{shown(self.name)}: {error}") from None
        self._last = (offset, data)
        return data

    def digest(self) -> Tuple[str, int]:
        found = super().digest()
        # zipfile makes its own checks at the end of its stream (the CRC-32, the
        # compressed data well formed), which an empty entry's reading never reaches.
        self._read_at(self._digested, 1)
        return found

    def close(self) -> None:
        for cursor in self._cursors:
            cursor.close()
        super().close()


# ---------------------------------------------------------------------------- reading


@dataclasses.dataclass
class Entry:
    info: zipfile.ZipInfo
    central: bytes  # its central directory record, as the file has it
    end: int  # where the next entry or the central directory starts: nothing of it goes past

    @property
    def name(self) -> str:
        return self.info.filename

    @property
    def method(self) -> int:
        return self.info.compress_type


class Zip:
    """A ZIP file (or a ZIP stored inside one: any seekable binary stream)."""

    def __init__(self, file: IO[bytes], what: str = "a WACZ package") -> None:
        try:
            self.zip = zipfile.ZipFile(file)
            infos = self.zip.infolist()
            start_dir = self.zip.start_dir
        except _ZIPFILE_ERRORS as error:
            raise ArchiveError(f"not a ZIP file, so not {what} ({error})") from None
        self.file = file
        self.comment = self.zip.comment
        offsets = sorted(i.header_offset for i in infos)
        if min(offsets + [start_dir]) < 0:  # zipfile counts from the end record, and a damaged one counts wrong
            raise ArchiveError("its central directory puts entries before the start of the file")
        if len(set(offsets)) < len(offsets):
            raise ArchiveError("two entries of the ZIP share their bytes (as in a ZIP bomb)")
        ends = dict(zip(offsets, offsets[1:] + [start_dir]))
        records = _central_records(file, start_dir, len(infos))
        self.entries = [Entry(info, record, ends[info.header_offset]) for info, record in zip(infos, records)]

    def close(self) -> None:
        self.zip.close()

    def local_header(self, entry: Entry) -> bytes:
        """An entry's local header, once it passed zipfile's checks."""
        info, name = entry.info, shown(entry.name)
        fixed = read_at(self.file, info.header_offset, LOCAL_SIZE)
        if len(fixed) < LOCAL_SIZE or fixed[:4] != LOCAL_MAGIC:
            raise ArchiveError(f"{name}: no local header where the central directory puts it")
        flags, (name_length, extra_length) = _flags(fixed), struct.unpack_from("<HH", fixed, 26)
        header = fixed + read_at(self.file, info.header_offset + LOCAL_SIZE, name_length + extra_length)
        if len(header) < LOCAL_SIZE + name_length + extra_length:
            raise ArchiveError(f"{name}: the package ends inside its local header")
        if (info.flag_bits | flags) & (ENCRYPTED | STRONG_ENCRYPTION):
            raise ArchiveError(f"{name}: encrypted, which an entry of a WACZ package is not")
        if (info.flag_bits | flags) & PATCHED:
            raise ArchiveError(f"{name}: compressed patched data, which zipfile does not read either")
        local_name = _decoded(header[LOCAL_SIZE : LOCAL_SIZE + name_length], flags)
        if local_name != _decoded(central_name(entry.central), info.flag_bits):
            raise ArchiveError(f"{name}: its local header names another file ({shown(local_name)}), so readers would differ")
        if info.header_offset + len(header) + info.compress_size > entry.end:
            raise ArchiveError(f"{name}: its data runs into the next entry (entries that overlap, as in a ZIP bomb)")
        return header

    def open(self, entry: Entry, algorithm: Optional[str] = None) -> EntryStream:
        header = self.local_header(entry)
        info = entry.info
        if info.compress_type not in METHODS:
            raise ArchiveError(f"{shown(entry.name)}: {method_name(info.compress_type)}, which zipfile does not read")
        if info.compress_type == zipfile.ZIP_STORED:
            if info.compress_size != info.file_size:
                raise ArchiveError(f"{shown(entry.name)}: stored, and its two sizes differ")
            return Window(self.file, info.header_offset + len(header), info.file_size, entry.name, algorithm)
        return Inflated(self.zip, info, algorithm)

    def data_start(self, entry: Entry) -> int:
        return entry.info.header_offset + len(self.local_header(entry))

    def read(self, entry: Entry, limit: int) -> bytes:
        """A small entry whole, its CRC-32 checked; refused when it would be more than `limit` bytes."""
        name = shown(entry.name)
        if entry.info.file_size > limit:
            raise ArchiveError(f"{name}: {entry.info.file_size:,} bytes, more than the {limit >> 20} MiB this tool reads of it")
        with self.open(entry) as stream:
            data = stream.read(limit + 1)
            whole = stream.tell() == entry.info.file_size
        if not whole or stream.crc != entry.info.CRC:
            raise ArchiveError(f"{name}: its bytes do not match the CRC-32 the ZIP gives them (a damaged package)")
        return data

    def extent(self, entry: Entry) -> Tuple[int, int]:
        """Where an entry stands in the file: its local header, its data and its
        data descriptor, if it has one; and its local header."""
        header = self.local_header(entry)
        info = entry.info
        end = info.header_offset + len(header) + info.compress_size
        if not _flags(header) & DATA_DESCRIPTOR:
            return end, len(header)
        tail = read_at(self.file, end, 24)
        skip = 4 if tail.startswith(DESCRIPTOR_MAGIC) else 0
        # A 12-byte and a ZIP64 descriptor of an empty entry both read as zeros:
        # the ZIP64 one follows a local header with a ZIP64 field, as writers lay it out.
        wide = _extra_field(_local_extra(header), ZIP64_FIELD) is not None or max(info.file_size, info.compress_size) >= FULL
        layouts = [("<LQQ", 20), ("<LLL", 12)] if wide else [("<LLL", 12), ("<LQQ", 20)]
        for layout, length in layouts:
            if len(tail) >= skip + length and struct.unpack_from(layout, tail, skip) == (info.CRC, info.compress_size, info.file_size):
                if end + skip + length <= entry.end:
                    return end + skip + length, len(header)
        raise ArchiveError(f"{shown(entry.name)}: its data descriptor does not match the central directory")


def _central_records(file: IO[bytes], start: int, count: int) -> List[bytes]:
    """The central directory's records as the file has them, in zipfile's order."""
    records: List[bytes] = []
    buffer, pos, at = b"", 0, start  # buffer holds the file's bytes from `at`; pos: where the next record starts in it

    def have(size: int) -> bool:
        nonlocal buffer, pos, at
        while len(buffer) - pos < size:
            more = read_at(file, at + len(buffer), max(READ, size))
            if not more:
                return False
            buffer, at, pos = buffer[pos:] + more, at + pos, 0
        return True

    for _ in range(count):
        if not have(CENTRAL_SIZE) or buffer[pos : pos + 4] != CENTRAL_MAGIC:
            raise ArchiveError("its central directory ends early, or holds something else")
        size = CENTRAL_SIZE + sum(struct.unpack_from("<3H", buffer, pos + 28))
        if not have(size):
            raise ArchiveError("its central directory ends early")
        records.append(buffer[pos : pos + size])
        pos += size
    return records


def central_name(record: bytes) -> bytes:
    return record[CENTRAL_SIZE : CENTRAL_SIZE + struct.unpack_from("<H", record, 28)[0]]


def _flags(header: bytes) -> int:
    flags: int = struct.unpack_from("<H", header, 6)[0]
    return flags


def _decoded(name: bytes, flags: int) -> str:
    """A name as zipfile decodes it: UTF-8 when flagged, else CP437."""
    return name.decode("utf-8" if flags & UTF8_NAME else "cp437", "surrogateescape")


def _local_extra(header: bytes) -> bytes:
    name_length, extra_length = struct.unpack_from("<HH", header, 26)
    return header[LOCAL_SIZE + name_length : LOCAL_SIZE + name_length + extra_length]


def _extra_field(extra: bytes, kind: int) -> Optional[bytes]:
    at = 0
    while at + 4 <= len(extra):
        found, length = struct.unpack_from("<HH", extra, at)
        if found == kind:
            return extra[at + 4 : at + 4 + length]
        at += 4 + length
    return None


def _without_zip64(extra: bytes) -> bytes:
    kept, at = [], 0
    while at + 4 <= len(extra):
        kind, length = struct.unpack_from("<HH", extra, at)
        if kind != ZIP64_FIELD:
            kept.append(extra[at : at + 4 + length])
        at += 4 + length
    return b"".join(kept) + extra[at:]


# ---------------------------------------------------------------------------- writing


@dataclasses.dataclass
class Opened:
    """An entry being written whole by the caller, between begin() and finish()."""

    entry: Entry
    header: bytes  # its local header in the input
    at: int
    zip64: bool


class ZipWriter:
    """A ZIP written through an Output, entry by entry, then its central directory."""

    def __init__(self, out: Output) -> None:
        self.out = out
        self.records: List[Tuple[bytes, Dict[str, int]]] = []  # each entry's record in the input, and what changed
        self.names: List[str] = []
        self.zip64 = False

    def copy(self, source: Zip, entry: Entry) -> None:
        """An entry of the input as it stands: local header, data, descriptor."""
        end, _ = source.extent(entry)
        info = entry.info
        self._record(entry, offset=self.out.written, crc=info.CRC, compressed=info.compress_size, size=info.file_size,
                     method=info.compress_type, flags=info.flag_bits)
        self.out.copy_from(source.file, info.header_offset, end - info.header_offset)

    def add(self, source: Zip, entry: Entry, data: bytes) -> None:
        """A small entry written anew and whole, in its own compression."""
        payload, flags = _compressed(data, entry), _new_flags(entry.info.flag_bits, entry.method)
        crc = zlib.crc32(data)
        header = _local(source.local_header(entry), crc, len(payload), len(data), entry.method, flags, False)
        self._record(entry, offset=self.out.written, crc=crc, compressed=len(payload), size=len(data), method=entry.method, flags=flags)
        self.out.write(header + payload)

    def begin(self, source: Zip, entry: Entry, zip64: bool) -> Opened:
        """The local header of a stored entry whose data the caller writes next; finish() completes it."""
        opened = Opened(entry, source.local_header(entry), self.out.written, zip64)
        self.out.write(_local(opened.header, 0, 0, 0, zipfile.ZIP_STORED, _new_flags(entry.info.flag_bits, zipfile.ZIP_STORED), zip64))
        self.zip64 |= zip64
        return opened

    def finish(self, opened: Opened, crc: int, size: int) -> None:
        if not opened.zip64 and size >= FULL:
            raise ArchiveError(f"{shown(opened.entry.name)}: grew past 4 GiB, beyond the room made for its size")
        flags = _new_flags(opened.entry.info.flag_bits, zipfile.ZIP_STORED)
        self.out.patch(opened.at, _local(opened.header, crc, size, size, zipfile.ZIP_STORED, flags, opened.zip64))
        self._record(opened.entry, offset=opened.at, crc=crc, compressed=size, size=size, method=zipfile.ZIP_STORED, flags=flags)

    def _record(self, entry: Entry, **changes: int) -> None:
        self.records.append((entry.central, changes))
        self.names.append(entry.name)

    def close(self, comment: bytes) -> None:
        directory = self.out.written
        for record, changes in self.records:
            patched, wide = _patched_central(record, **changes)
            self.out.write(patched)
            self.zip64 |= wide
        end, wide = _end_records(len(self.records), directory, self.out.written - directory, comment)
        self.out.write(end)
        self.zip64 |= wide


def _new_flags(flags: int, method: int) -> int:
    """The flag bits of an entry written anew: its name's encoding kept, sizes
    in the local header (no data descriptor), no options of another compression."""
    return (flags & UTF8_NAME) | (LZMA_END_MARKER if method == zipfile.ZIP_LZMA else 0)


def _compressed(data: bytes, entry: Entry) -> bytes:
    method = entry.method
    if method == zipfile.ZIP_STORED:
        return data
    compressor: Any
    if method == zipfile.ZIP_DEFLATED:
        compressor = zlib.compressobj(6, zlib.DEFLATED, -15)
    elif method == zipfile.ZIP_BZIP2:
        compressor = bz2.BZ2Compressor()
    elif method == zipfile.ZIP_LZMA:
        compressor = zipfile.LZMACompressor()  # type: ignore[attr-defined]  # zipfile's, with the header ZIP readers expect
    else:
        raise ArchiveError(f"{shown(entry.name)}: {method_name(method)}, which this tool cannot write")
    compressed: bytes = compressor.compress(data) + compressor.flush()
    return compressed


def _local(header: bytes, crc: int, compressed: int, size: int, method: int, flags: int, zip64: bool) -> bytes:
    """A local header for new data: the input's, with its name and extra fields,
    and sizes, CRC and compression of the new data."""
    fields = list(struct.unpack_from(LOCAL_FORMAT, header))
    name_length = fields[10]
    name, extra = header[LOCAL_SIZE : LOCAL_SIZE + name_length], _without_zip64(_local_extra(header))
    if zip64:
        extra = struct.pack("<HHQQ", ZIP64_FIELD, 16, size, compressed) + extra
        compressed = size = FULL
        fields[1] = max(fields[1], ZIP64_VERSION)
    fields[3:10] = [flags, method, fields[5], fields[6], crc, compressed, size]
    fields[11] = len(extra)
    return struct.pack(LOCAL_FORMAT, *fields) + name + extra


def _patched_central(record: bytes, offset: int, crc: int, compressed: int, size: int, method: int, flags: int) -> Tuple[bytes, bool]:
    """An entry's central directory record as the input has it, with its
    offset, sizes, CRC, compression and flags set, the values past ZIP64_AT in
    a ZIP64 field; and whether it needed one."""
    fields = list(struct.unpack_from(CENTRAL_FORMAT, record))
    name_length, extra_length = fields[12], fields[13]
    name = record[CENTRAL_SIZE : CENTRAL_SIZE + name_length]
    extra = _without_zip64(record[CENTRAL_SIZE + name_length : CENTRAL_SIZE + name_length + extra_length])
    comment = record[CENTRAL_SIZE + name_length + extra_length :]
    values = [size, compressed, offset]  # in the order a ZIP64 field holds them
    wide = [v for v in values if v > ZIP64_AT]
    if wide:
        extra = struct.pack("<HH%dQ" % len(wide), ZIP64_FIELD, 8 * len(wide), *wide) + extra
        fields[1], fields[3] = max(fields[1], ZIP64_VERSION), max(fields[3], ZIP64_VERSION)
    size, compressed, offset = (FULL if v > ZIP64_AT else v for v in values)
    fields[5:7] = [flags, method]
    fields[9:12] = [crc, compressed, size]
    fields[13] = len(extra)
    fields[18] = offset
    return struct.pack(CENTRAL_FORMAT, *fields) + name + extra + comment, bool(wide)


def _end_records(count: int, directory: int, size: int, comment: bytes) -> Tuple[bytes, bool]:
    records = b""
    zip64 = count > zipfile.ZIP_FILECOUNT_LIMIT or directory > ZIP64_AT or size > ZIP64_AT
    if zip64:
        records = struct.pack(
            END64_FORMAT, END64_MAGIC, 44, ZIP64_VERSION, ZIP64_VERSION, 0, 0,
            count, count, size, directory,
        ) + struct.pack(LOCATOR_FORMAT, LOCATOR_MAGIC, 0, directory + size, 1)
        count, directory, size = min(count, 0xFFFF), min(directory, FULL), min(size, FULL)
    end = struct.pack(END_FORMAT, END_MAGIC, 0, 0, count, count, size, directory, len(comment))
    return records + end + comment, zip64


def read_back(out: Output, names: List[str], what: str) -> Zip:
    """The ZIP just written, read back whole before it replaces anything: the
    entries that were written, in order, each one's bytes against its CRC-32."""
    written = Zip(cast(IO[bytes], Window(out, 0, out.written, what)), "the package written")
    if [e.name for e in written.entries] != names:
        raise ArchiveError(f"{what}: the package read back lists other entries than were written")
    for entry in written.entries:
        with written.open(entry) as stream:
            _, size = stream.digest()
        if stream.crc != entry.info.CRC or size != entry.info.file_size:
            raise ArchiveError(f"{what}: {shown(entry.name)}: read back, its bytes differ from those written")
    return written
