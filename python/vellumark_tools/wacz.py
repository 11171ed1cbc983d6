"""WACZ packages: a ZIP of WARC files (archive/), their CDXJ indexes
(indexes/), page lists, and datapackage.json, which gives every file's hash
and size (datapackage-digest.json gives the hash of datapackage.json, and may
carry a signature over it).

Each archive is read where it stands in the ZIP, never unpacked: a STORED
entry as a window of the file, whose offsets are the ones the CDXJ indexes
give, and a deflated one through zipfile's stream. So census, check, index
and manifest run on every archive of a package as on a file, and signing
rewrites the package entry by entry: each archive signed as signing.sign
signs a file, into a STORED entry (replay reads a record by a range request
at the entry's data start plus its CDXJ offset); every other entry copied
byte for byte; datapackage.json and its digest brought up to date. Memory
follows the largest record, never the package.
"""

from __future__ import annotations

import contextlib
import dataclasses
import gzip
import hashlib
import io
import json
import os
import struct
import zipfile
import zlib
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple, cast

from .archive import DEFAULT_MEMBER_LIMIT
from .errors import ArchiveError, PathLike, shown
from .output import Output, atomic_output, read_at
from .signing import Signed, output_binding, sign_archive
from .survey import Found, read_archive_manifest

DATAPACKAGE = "datapackage.json"
DIGEST = "datapackage-digest.json"
ARCHIVE_DIR = "archive/"
INDEX_DIR = "indexes/"
CDXJ_SUFFIXES = (".cdx", ".cdxj", ".cdx.gz", ".cdxj.gz")

UTF8_NAME = 0x800  # ZIP flag bits
DATA_DESCRIPTOR = 0x08
ENCRYPTED = 0x01
ZIP64_FIELD = 1  # extra field ID
ZIP64_VERSION = 45
DEFAULT_VERSION = 20
LOCAL_FORMAT, LOCAL_MAGIC = "<4s2B4HL2L2H", b"PK\x03\x04"
CENTRAL_FORMAT, CENTRAL_MAGIC = "<4s4B4HL2L5H2L", b"PK\x01\x02"
END_FORMAT, END_MAGIC = "<4s4H2LH", b"PK\x05\x06"
END64_FORMAT, END64_MAGIC = "<4sQ2H2L4Q", b"PK\x06\x06"
LOCATOR_FORMAT, LOCATOR_MAGIC = "<4sLQL", b"PK\x06\x07"
DESCRIPTOR_MAGIC = b"PK\x07\x08"
LOCAL_HEADER = struct.calcsize(LOCAL_FORMAT)
# Sizes and offsets past this go in ZIP64 fields: zipfile's own limit, so a
# package is laid out as py-wacz (which writes through zipfile) lays it out.
ZIP64_AT = zipfile.ZIP64_LIMIT
READ = 1 << 20


# ---------------------------------------------------------------------------- entries as streams


class _Entry(io.RawIOBase):
    """A ZIP entry's data as a stream of its own. Bytes read in order from the
    start are digested on the way (CRC-32 and, when asked, a hash), so that an
    entry is checked in the same pass that reads it."""

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


class _Window(_Entry):
    """Bytes of a file from `start`, read by position (the file's own position,
    which zipfile uses, is left alone)."""

    def __init__(self, file: Any, start: int, size: int, name: str, algorithm: Optional[str] = None) -> None:
        super().__init__(name, size, algorithm)
        self._file, self._start = file, start  # anything output.read_at reads: a file, or the Output being written

    def window(self) -> Optional[Tuple[int, int, int]]:
        """(descriptor, start, length) for a reader that reads by position itself;
        None when the file has no descriptor."""
        try:
            return self._file.fileno(), self._start, self.size
        except (OSError, AttributeError, ValueError):
            return None

    def _read_at(self, offset: int, size: int) -> bytes:
        data = read_at(self._file, self._start + offset, size)
        if len(data) < size:
            raise ArchiveError(f"{self.name}: the package ends inside it")
        return data


class _Inflated(_Entry):
    """A deflated entry. Reads in order come from one inflating stream; the
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
        except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError, RuntimeError) as error:
            raise ArchiveError(f"{self.name}: {error}") from None
        self._last = (offset, data)
        return data

    def close(self) -> None:
        for cursor in self._cursors:
            cursor.close()
        super().close()


def _data_start(file: IO[bytes], info: zipfile.ZipInfo) -> int:
    """Where an entry's data starts: after its local header, whose extra
    field may differ in length from the central directory's."""
    header = read_at(file, info.header_offset, LOCAL_HEADER)
    if len(header) < LOCAL_HEADER or header[:4] != LOCAL_MAGIC:
        raise ArchiveError(f"{info.filename}: no local header where the central directory puts it")
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    return int(info.header_offset + LOCAL_HEADER + name_length + extra_length)


def _entry_end(file: IO[bytes], info: zipfile.ZipInfo, start: int) -> int:
    """Where an entry ends: after its data, and its data descriptor if it has one."""
    end = start + info.compress_size
    if not info.flag_bits & DATA_DESCRIPTOR:
        return end
    tail = read_at(file, end, 24)
    skip = 4 if tail.startswith(DESCRIPTOR_MAGIC) else 0
    expected = (info.CRC, info.compress_size, info.file_size)
    for layout, length in (("<LLL", 12), ("<LQQ", 20)):
        if len(tail) >= skip + length and struct.unpack_from(layout, tail, skip) == expected:
            return end + skip + length
    raise ArchiveError(f"{info.filename}: its data descriptor does not match the central directory")


def _open_entry(file: IO[bytes], package: zipfile.ZipFile, info: zipfile.ZipInfo, algorithm: Optional[str] = None) -> _Entry:
    if info.compress_type == zipfile.ZIP_STORED:
        return _Window(file, _data_start(file, info), info.file_size, info.filename, algorithm)
    return _Inflated(package, info, algorithm)


# ---------------------------------------------------------------------------- the package


@dataclasses.dataclass
class _Package:
    file: IO[bytes]
    zip: zipfile.ZipFile
    name: str
    datapackage: Dict[str, Any]
    datapackage_text: str
    digest: Optional[Dict[str, Any]]
    digest_text: str

    @property
    def resources(self) -> Dict[str, Dict[str, Any]]:
        return {r["path"]: r for r in self.datapackage["resources"]}

    @property
    def archives(self) -> List[zipfile.ZipInfo]:
        return _archive_entries(self.zip)


def _open_zip(file: IO[bytes]) -> zipfile.ZipFile:
    try:
        return zipfile.ZipFile(file)
    except (zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, ValueError) as error:
        raise ArchiveError(f"not a ZIP file, so not a WACZ package ({error})") from None


def _archive_entries(package: zipfile.ZipFile) -> List[zipfile.ZipInfo]:
    return [i for i in package.infolist() if i.filename.startswith(ARCHIVE_DIR) and not i.is_dir()]


def _json_entry(package: zipfile.ZipFile, name: str) -> Tuple[Dict[str, Any], str]:
    try:
        text = package.read(name).decode("utf-8")
        document = json.loads(text)
    except (zipfile.BadZipFile, zlib.error, UnicodeDecodeError, ValueError) as error:
        raise ArchiveError(f"{name} cannot be read as JSON: {error}") from None
    if not isinstance(document, dict):
        raise ArchiveError(f"{name} is not a JSON object")
    return document, text


def _load(file: IO[bytes], package: zipfile.ZipFile, name: str) -> _Package:
    """The package's datapackage.json and digest, with what a WACZ needs in them;
    ArchiveError for anything that makes it no WACZ at all."""
    names = package.namelist()
    if DATAPACKAGE not in names:
        raise ArchiveError(f"no {DATAPACKAGE} in the ZIP, so not a WACZ package")
    twice = next((n for n in names if names.count(n) > 1), None)
    if twice is not None:
        raise ArchiveError(f"the ZIP holds {twice} twice")
    if any(i.flag_bits & ENCRYPTED for i in package.infolist()):
        raise ArchiveError("the ZIP has encrypted entries, which a WACZ package does not")
    datapackage, text = _json_entry(package, DATAPACKAGE)
    resources = datapackage.get("resources")
    if not isinstance(resources, list) or not all(
        isinstance(r, dict) and isinstance(r.get("path"), str) and isinstance(r.get("hash"), str) for r in resources
    ):
        raise ArchiveError(f"{DATAPACKAGE} has no list of resources, each with a path and a hash")
    digest, digest_text = _json_entry(package, DIGEST) if DIGEST in names else (None, "")
    return _Package(file, package, name, datapackage, text, digest, digest_text)


@contextlib.contextmanager
def _opened(path: PathLike) -> Iterator[_Package]:
    with open(path, "rb") as file, _open_zip(file) as package:
        yield _load(file, package, shown(path))


def _algorithm(value: Any, what: str) -> str:
    """The hash algorithm a value "algorithm:hex" names."""
    algorithm, colon, _ = str(value).partition(":")
    if not colon or algorithm.lower() not in hashlib.algorithms_available:
        raise ArchiveError(f"{what}: {value!r} is not a hash this tool can check (say sha256:HEX)")
    return algorithm.lower()


def _hash_of(data: bytes, algorithm: str) -> str:
    return f"{algorithm}:{hashlib.new(algorithm, data).hexdigest()}"


def _resource_problem(resource: Dict[str, Any], found: str, size: int) -> Optional[str]:
    path = resource["path"]
    if str(resource["hash"]).lower() != found:
        return f"{path}: {DATAPACKAGE} gives it the hash {resource['hash']}, and its hash is {found}"
    if "bytes" in resource and resource["bytes"] != size:
        return f"{path}: {DATAPACKAGE} gives it {resource['bytes']} bytes, and it has {size:,}"
    return None


def _problems(package: _Package, archives_too: bool) -> List[str]:
    """What is false in datapackage.json and its digest: a resource missing,
    a hash or a size wrong, the digest's hash wrong, a signature over another hash."""
    problems: List[str] = []
    held = {i.filename: i for i in package.zip.infolist()}
    for path, resource in package.resources.items():
        info = held.get(path)
        if info is None:
            problems.append(f"{path}: {DATAPACKAGE} lists it, and the package does not hold it")
        elif archives_too or not path.startswith(ARCHIVE_DIR):
            problems += _read_problems(package, info, resource)
    if package.digest is not None:
        declared = package.digest.get("hash")
        actual = _hash_of(package.datapackage_text.encode("utf-8"), _algorithm(declared, DIGEST))
        if declared != actual:
            problems.append(f"{DIGEST} gives {DATAPACKAGE} the hash {declared}, and its hash is {actual}")
        signed = package.digest.get("signedData")
        if isinstance(signed, dict) and signed.get("hash") != declared:
            problems.append(f"the signedData of {DIGEST} signs the hash {signed.get('hash')}, not {declared}")
    return problems


def _bytes_problem(entry: _Entry, info: zipfile.ZipInfo, resource: Optional[Dict[str, Any]]) -> Optional[str]:
    """What is wrong with an entry's bytes, read to the end: its hash and size
    against datapackage.json (where it lists the entry), its CRC-32 against the ZIP's."""
    found, size = entry.digest()
    problem = _resource_problem(resource, found, size) if resource else None
    if problem is None and entry.crc != info.CRC:
        problem = f"{info.filename}: its bytes do not match the CRC-32 the ZIP gives them (a damaged package)"
    return problem


def _read_problems(package: _Package, info: zipfile.ZipInfo, resource: Optional[Dict[str, Any]]) -> List[str]:
    algorithm = _algorithm(resource["hash"], info.filename) if resource else None
    with _open_entry(package.file, package.zip, info, algorithm) as entry:
        problem = _bytes_problem(entry, info, resource)
    return [problem] if problem else []


# ---------------------------------------------------------------------------- reading


def is_wacz(path: PathLike) -> bool:
    """Whether a file is a WACZ package: named .wacz, or a ZIP holding
    datapackage.json (which a .warc or .warc.gz never is: they start otherwise)."""
    if os.fsdecode(path).lower().endswith(".wacz"):
        return not os.path.isdir(path)
    try:
        with open(path, "rb") as file:
            if file.read(4) != LOCAL_MAGIC:
                return False
            with zipfile.ZipFile(file) as package:
                return DATAPACKAGE in package.namelist()
    except (OSError, zipfile.BadZipFile, zipfile.LargeZipFile, EOFError, ValueError):
        return False


def wacz_archives(path: PathLike) -> Iterator[Tuple[str, IO[bytes]]]:
    """(entry name, binary stream) of every archive/ entry, in package order,
    for census, check, index_entries and read_manifest. Each stream holds
    until the next is handed out; its offsets are the entry's own, as the
    CDXJ indexes give them, and its `name` is the entry name. Raises
    ArchiveError for a file that is not a ZIP."""
    with open(path, "rb") as file, _open_zip(file) as package:
        for info in _archive_entries(package):
            if info.flag_bits & ENCRYPTED:
                raise ArchiveError(f"{info.filename}: encrypted")
            with _open_entry(file, package, info) as entry:
                yield info.filename, cast(IO[bytes], entry)


def wacz_manifests(path: PathLike, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None) -> List[Tuple[str, Optional[Found]]]:
    """Each archive's manifest store (None where it has none), by entry name;
    offsets are in the entry. Raises ArchiveError."""
    return [
        (name, read_archive_manifest(stream, member_limit=member_limit, threads=threads))
        for name, stream in wacz_archives(path)
    ]


def check_wacz(path: PathLike) -> List[str]:
    """What is wrong with the package as a WACZ (empty when nothing is): each
    archive/ entry must be STORED; every resource in datapackage.json there
    with its true hash and size, and every file listed; the digest's hash of
    datapackage.json true; a signedData over that same hash. The records of
    each archive are survey.check's, over wacz_archives()."""
    try:
        with _opened(path) as package:
            problems = [
                f"{i.filename}: deflated in the ZIP, and replay reads its records by range: it must be STORED"
                for i in package.archives
                if i.compress_type != zipfile.ZIP_STORED
            ]
            listed = set(package.resources) | {DATAPACKAGE, DIGEST}
            for info in package.zip.infolist():
                if info.filename not in listed and not info.is_dir():
                    problems += [f"{info.filename}: in the package, and not listed in {DATAPACKAGE}"]
                    problems += _read_problems(package, info, None)
            return problems + _problems(package, archives_too=True)
    except ArchiveError as error:
        return [str(error)]
    except OSError as error:
        return [f"{shown(path)}: {error.strerror or error}"]


# ---------------------------------------------------------------------------- writing a ZIP


def _name_bytes(info: zipfile.ZipInfo) -> bytes:
    """An entry's name as the ZIP stores it: UTF-8 when flagged, else CP437,
    as zipfile decodes it."""
    return info.filename.encode("utf-8" if info.flag_bits & UTF8_NAME else "cp437")


def _dos_time(info: zipfile.ZipInfo) -> Tuple[int, int]:
    year, month, day, hour, minute, second = info.date_time
    return hour << 11 | minute << 5 | second // 2, (year - 1980) << 9 | month << 5 | day


def _local_header(info: zipfile.ZipInfo, zip64: bool) -> bytes:
    name, extra = _name_bytes(info), b""
    size, compressed = info.file_size, info.compress_size
    if zip64:
        extra = struct.pack("<HHQQ", ZIP64_FIELD, 16, size, compressed)
        size = compressed = 0xFFFFFFFF
    version = ZIP64_VERSION if zip64 else max(DEFAULT_VERSION, info.extract_version)
    time, date = _dos_time(info)
    return struct.pack(
        LOCAL_FORMAT, LOCAL_MAGIC, version, 0, info.flag_bits, info.compress_type,
        time, date, info.CRC, compressed, size, len(name), len(extra),
    ) + name + extra


def _without_zip64(extra: bytes) -> bytes:
    kept, at = [], 0
    while at + 4 <= len(extra):
        kind, length = struct.unpack_from("<HH", extra, at)
        if kind != ZIP64_FIELD:
            kept.append(extra[at : at + 4 + length])
        at += 4 + length
    return b"".join(kept) + extra[at:]


def _central_record(info: zipfile.ZipInfo, offset: int) -> Tuple[bytes, bool]:
    """The central directory record of an entry whose local header is at
    `offset`, and whether it needed ZIP64 fields."""
    values = [info.file_size, info.compress_size, offset]  # in the order the ZIP64 field holds them
    wide = [v for v in values if v > ZIP64_AT]
    size, compressed, at = (0xFFFFFFFF if v > ZIP64_AT else v for v in values)
    extra = _without_zip64(info.extra)
    if wide:
        extra = struct.pack("<HH%dQ" % len(wide), ZIP64_FIELD, 8 * len(wide), *wide) + extra
    least = ZIP64_VERSION if wide else 0
    name = _name_bytes(info)
    time, date = _dos_time(info)
    record = struct.pack(
        CENTRAL_FORMAT, CENTRAL_MAGIC, max(least, info.create_version), info.create_system,
        max(least, info.extract_version), 0, info.flag_bits, info.compress_type, time, date, info.CRC, compressed,
        size, len(name), len(extra), len(info.comment), 0, info.internal_attr, info.external_attr, at,
    )
    return record + name + extra + info.comment, bool(wide)


def _end_records(count: int, directory: int, size: int, comment: bytes) -> Tuple[bytes, bool]:
    records = b""
    zip64 = count > zipfile.ZIP_FILECOUNT_LIMIT or directory > ZIP64_AT or size > ZIP64_AT
    if zip64:
        records = struct.pack(
            END64_FORMAT, END64_MAGIC, 44, ZIP64_VERSION, ZIP64_VERSION, 0, 0,
            count, count, size, directory,
        ) + struct.pack(LOCATOR_FORMAT, LOCATOR_MAGIC, 0, directory + size, 1)
        count, directory, size = min(count, 0xFFFF), min(directory, 0xFFFFFFFF), min(size, 0xFFFFFFFF)
    end = struct.pack(END_FORMAT, END_MAGIC, 0, 0, count, count, size, directory, len(comment))
    return records + end + comment, zip64


def _like(info: zipfile.ZipInfo, compress_type: int) -> zipfile.ZipInfo:
    """A new entry standing in for `info`: its name, time and attributes."""
    new = zipfile.ZipInfo(info.filename, info.date_time)
    new.compress_type, new.CRC = compress_type, 0
    new.flag_bits = info.flag_bits & UTF8_NAME
    new.create_system, new.create_version = info.create_system, info.create_version
    new.internal_attr, new.external_attr, new.comment = info.internal_attr, info.external_attr, info.comment
    return new


class _ZipWriter:
    """The package being written through an Output, entry by entry, then its
    central directory."""

    def __init__(self, out: Output) -> None:
        self.out = out
        self.entries: List[Tuple[zipfile.ZipInfo, int]] = []
        self.zip64 = False

    def copy(self, file: IO[bytes], info: zipfile.ZipInfo) -> None:
        """An entry of the input as it stands: local header, data, descriptor."""
        end = _entry_end(file, info, _data_start(file, info))
        self.entries.append((info, self.out.written))
        self.out.copy_from(file, info.header_offset, end - info.header_offset)

    def add(self, info: zipfile.ZipInfo, data: bytes) -> None:
        """A small entry written whole, stored or deflated."""
        if info.compress_type != zipfile.ZIP_STORED:
            info.compress_type = zipfile.ZIP_DEFLATED  # bzip2 or LZMA for a JSON file would be rare: deflate stands in
            deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
            payload = deflater.compress(data) + deflater.flush()
        else:
            payload = data
        info.CRC, info.file_size, info.compress_size = zlib.crc32(data), len(data), len(payload)
        self.entries.append((info, self.out.written))
        self.out.write(_local_header(info, False) + payload)

    def begin(self, info: zipfile.ZipInfo, zip64: bool) -> int:
        """The local header of an entry whose data follows, to be finished by finish()."""
        at = self.out.written
        if zip64:
            info.extract_version = max(info.extract_version, ZIP64_VERSION)
        self.entries.append((info, at))
        self.out.write(_local_header(info, zip64))
        self.zip64 |= zip64
        return at

    def finish(self, info: zipfile.ZipInfo, at: int, zip64: bool) -> None:
        if not zip64 and max(info.file_size, info.compress_size) >= 0xFFFFFFFF:
            raise ArchiveError(f"{info.filename}: grew past 4 GiB, beyond the room made for its size")
        self.out.flush()
        os.pwrite(self.out.fileno(), _local_header(info, zip64), at)

    def close(self, comment: bytes) -> None:
        directory = self.out.written
        for info, offset in self.entries:
            record, wide = _central_record(info, offset)
            self.out.write(record)
            self.zip64 |= wide
        end, wide = _end_records(len(self.entries), directory, self.out.written - directory, comment)
        self.out.write(end)
        self.zip64 |= wide


class _Sink:
    """Where signing writes an archive entry: into the package, with the
    entry's CRC-32, size and hash taken on the way."""

    def __init__(self, out: Output, name: str, algorithm: str) -> None:
        self.name, self.crc, self.size = name, 0, 0
        self._out, self._algorithm, self._hasher = out, algorithm, hashlib.new(algorithm)

    def write(self, data: Any) -> int:
        self._out.write(data)
        self.crc = zlib.crc32(data, self.crc)
        self._hasher.update(data)
        self.size += len(data)
        return len(data)

    def flush(self) -> None:
        self._out.flush()

    @property
    def hash(self) -> str:
        return f"{self._algorithm}:{self._hasher.hexdigest()}"


# ---------------------------------------------------------------------------- JSON kept as laid out


Layout = Tuple[Optional[str], Optional[Tuple[str, str]], bool]  # json.dumps's indent, separators, ensure_ascii


def _dumps(document: Any, layout: Layout) -> str:
    indent, separators, ascii_only = layout
    return json.dumps(document, indent=indent, separators=separators, ensure_ascii=ascii_only)


def _layout(body: str) -> Layout:
    """How `body` is laid out: the json.dumps arguments that give it back,
    else its indent and escapes with the usual separators."""
    lines = body.split("\n")
    indent = None if len(lines) == 1 else lines[1][: len(lines[1]) - len(lines[1].lstrip())]
    document = json.loads(body)
    for items in (",", ", "):
        for keys in (": ", ":"):
            for ascii_only in (True, False):
                if _dumps(document, (indent, (items, keys), ascii_only)) == body:
                    return indent, (items, keys), ascii_only
    return indent, None, body.isascii()


def _rendered(original: str, document: Dict[str, Any]) -> bytes:
    """`document` laid out as `original`, with the white space around it kept."""
    body = original.strip()
    start = original.find(body)
    return (original[:start] + _dumps(document, _layout(body)) + original[start + len(body) :]).encode("utf-8")


# ---------------------------------------------------------------------------- signing


@dataclasses.dataclass
class SignedPackage:
    """What sign_wacz() did."""

    source: str
    output: str
    archives: List[Signed] = dataclasses.field(default_factory=list)
    """Each archive/ entry as signing.sign signed it, in package order; its
    `source` and `output` are the entry name, its offsets the entry's own."""
    signature_removed: bool = False
    """datapackage-digest.json carried a signedData over the old hash of
    datapackage.json, and the output has none (it would sign a hash that is gone)."""
    zip64: bool = False  # the output needed ZIP64 fields
    output_bytes: int = 0

    @property
    def records(self) -> int:
        return sum(s.records for s in self.archives)


def signed_wacz_name(path: PathLike) -> str:
    """NAME.wacz -> NAME.c2pa.wacz beside it; NAME.c2pa.wacz keeps its name, so
    that signing again replaces the stores instead of adding records."""
    directory, name = os.path.split(os.fsdecode(path))
    for suffix in (".c2pa.wacz", ".wacz"):
        if name.lower().endswith(suffix):
            name = name[: -len(suffix)]
            break
    return os.path.join(directory, name + ".c2pa.wacz")


def sign_wacz(
    path: PathLike,
    store_for: Callable[[str], bytes],
    output: Optional[PathLike] = None,
    record_id: Optional[str] = None,
    *,
    member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None,
) -> SignedPackage:
    """Writes the package with every archive/ entry signed as signing.sign
    signs a file, holding the store `store_for(entry name)` gives it.

    `output` defaults to NAME.c2pa.wacz beside the package, written
    atomically. Archive entries come out STORED; every other entry keeps its
    bytes, compression and place; datapackage.json gets the new hash and size
    of each archive, its digest the new hash of datapackage.json, without a
    signedData (it signed the old one: `signature_removed` says so). The CDXJ
    indexes are kept as they are, so an archive whose records would move
    (gzip members rewritten, a manifest store record among the others, an
    indexed one replaced) is refused. Raises ArchiveError, with nothing
    written, for that, for a package that is not a sound WACZ (not a ZIP, no
    datapackage.json, a resource missing or with a wrong hash or size), and
    for an output that cannot be written. `record_id` is for a package of one
    archive; by default each new record gets a new urn:uuid."""
    target = output if output is not None else signed_wacz_name(path)
    with _opened(path) as package:
        archives = package.archives
        if not archives:
            raise ArchiveError(f"no archives under {ARCHIVE_DIR}: nothing to sign")
        if record_id is not None and len(archives) > 1:
            raise ArchiveError(f"a record ID is for one archive, and the package holds {len(archives)}")
        problems = _problems(package, archives_too=False)  # the archives are checked as they are signed
        if problems:
            more = f" (and {len(problems) - 1} more problems)" if len(problems) > 1 else ""
            raise ArchiveError(problems[0] + more)
        stores = {i.filename: store_for(i.filename) for i in archives}
        with atomic_output(target) as out:
            result = _Signer(package, out, stores, record_id, member_limit, threads).run()
            result.output = shown(target)
    return result


class _Signer:
    def __init__(
        self, package: _Package, out: Output, stores: Dict[str, bytes], record_id: Optional[str], member_limit: int,
        threads: Optional[int],
    ) -> None:
        self.package, self.out, self.stores, self.record_id = package, out, stores, record_id
        self.options: Dict[str, Any] = {"member_limit": member_limit, "threads": threads}
        self.writer = _ZipWriter(out)
        self.result = SignedPackage(package.name, "")
        self.new_hashes: Dict[str, Tuple[str, int]] = {}
        self.json: Dict[str, bytes] = {}

    def run(self) -> SignedPackage:
        infos = self.package.zip.infolist()
        archives = {i.filename for i in self.package.archives}
        last_archive = max(n for n, i in enumerate(infos) if i.filename in archives)
        deferred = []  # datapackage.json and its digest standing before an archive: they follow every entry
        for n, info in enumerate(infos):
            if info.filename in archives:
                self._sign(info)
            elif info.filename in (DATAPACKAGE, DIGEST):
                if n < last_archive:
                    deferred.append(info)
                else:
                    self._rewrite_json(info)
            else:
                self.writer.copy(self.package.file, info)
        for info in deferred:
            self._rewrite_json(info)
        self.writer.close(self.package.zip.comment)
        self.result.zip64, self.result.output_bytes = self.writer.zip64, self.out.written
        self._check_read_back()
        return self.result

    def _sign(self, info: zipfile.ZipInfo) -> None:
        name, store = info.filename, self.stores[info.filename]
        resource = self.package.resources.get(name)
        algorithm = _algorithm(resource["hash"], name) if resource else "sha256"
        new = _like(info, zipfile.ZIP_STORED)
        zip64 = info.file_size + 2 * len(store) + (1 << 20) > ZIP64_AT  # room for the new record, whatever it does
        at = self.writer.begin(new, zip64)
        data_start = self.out.written
        sink = _Sink(self.out, name, algorithm)
        with _open_entry(self.package.file, self.package.zip, info, algorithm) as source:
            try:
                signed = sign_archive(cast(IO[bytes], source), store, cast(IO[bytes], sink), self.record_id, **self.options)
            except ArchiveError as error:
                said = str(error)
                raise ArchiveError(said if said.startswith(name) else f"{name}: {said}") from None
            problem = _bytes_problem(source, info, resource)
        if problem:
            raise ArchiveError(problem)
        self._refuse_moved(name, signed)
        new.CRC, new.file_size, new.compress_size = sink.crc, sink.size, sink.size
        self.writer.finish(new, at, zip64)
        signed.binding = output_binding(cast(IO[bytes], _Window(self.out, data_start, sink.size, name)), signed, store)
        self.new_hashes[name] = (sink.hash, sink.size)
        self.result.archives.append(signed)

    def _refuse_moved(self, name: str, signed: Signed) -> None:
        """The indexes are kept, so every record they point at must stay where it is."""
        unit = "compressed offset" if signed.compressed else "offset"
        if signed.moved_from is not None:
            raise ArchiveError(
                f"{name}: signing would move its records from {unit} {signed.moved_from:,} on, and the package's "
                "CDXJ indexes point at them: the package would need re-indexing"
            )
        if signed.dropped:
            index = _indexed_from(self.package, name, signed.dropped[0])
            if index is not None:
                raise ArchiveError(
                    f"{name}: {index} lists the manifest store record at {unit} {signed.dropped[0]:,}, which the new "
                    "one replaces: the package would need re-indexing"
                )

    def _rewrite_json(self, info: zipfile.ZipInfo) -> None:
        if not self.json:
            self.json = self._updated_json()
        self.writer.add(_like(info, info.compress_type), self.json[info.filename])

    def _updated_json(self) -> Dict[str, bytes]:
        package = self.package
        for resource in package.datapackage["resources"]:
            if resource["path"] in self.new_hashes:
                resource["hash"], resource["bytes"] = self.new_hashes[resource["path"]]
        updated = {DATAPACKAGE: _rendered(package.datapackage_text, package.datapackage)}
        if package.digest is not None:
            digest = package.digest
            digest["hash"] = _hash_of(updated[DATAPACKAGE], _algorithm(digest.get("hash"), DIGEST))
            self.result.signature_removed = digest.pop("signedData", None) is not None
            updated[DIGEST] = _rendered(package.digest_text, digest)
        return updated

    def _check_read_back(self) -> None:
        """The output's central directory, and each new record, read back
        before the output replaces anything."""
        self.out.flush()
        whole = cast(IO[bytes], _Window(self.out, 0, self.out.written, self.out.target))
        expected = [i.filename for i, _ in self.writer.entries]
        with zipfile.ZipFile(whole) as written:
            if written.namelist() != expected:
                raise ArchiveError(f"{self.out.target}: the package read back lists other entries than were written")
            for signed in self.result.archives:
                info = written.getinfo(signed.output)
                start = _data_start(whole, info) + signed.manifest_offset
                found = read_archive_manifest(cast(IO[bytes], _Window(self.out, start, signed.manifest_length, signed.output)))
                if found is None or found.store != self.stores[signed.output]:
                    raise ArchiveError(
                        f"{self.out.target}: {signed.output}: the manifest store read back differs from the one written"
                    )


def _indexed_from(package: _Package, archive: str, offset: int) -> Optional[str]:
    """The first CDXJ index of the package with an entry for `archive` at
    `offset` or after it, or None."""
    filename = archive[len(ARCHIVE_DIR) :]
    for info in package.zip.infolist():
        if not (info.filename.startswith(INDEX_DIR) and info.filename.lower().endswith(CDXJ_SUFFIXES)):
            continue
        with _open_entry(package.file, package.zip, info) as raw:
            lines: Any = gzip.GzipFile(fileobj=raw) if info.filename.lower().endswith(".gz") else io.BufferedReader(raw)
            try:
                for line in lines:
                    if _indexed_at(line, filename) >= offset:
                        return info.filename
            except (OSError, EOFError, zlib.error) as error:
                raise ArchiveError(f"{info.filename}: cannot be read: {error}") from None
    return None


def _indexed_at(line: bytes, filename: str) -> int:
    """The offset a CDXJ line gives for a record of `filename`, else -1."""
    brace = line.find(b"{")
    try:
        fields = json.loads(line[brace:]) if brace >= 0 else {}
        return int(fields["offset"]) if isinstance(fields, dict) and fields.get("filename") == filename else -1
    except (ValueError, KeyError, TypeError):
        return -1
