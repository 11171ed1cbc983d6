"""What an archive holds (census), whether it is sound (check), and where its
manifest store stands (read_manifest): one pass over its records each."""

from __future__ import annotations

import dataclasses
import io
import os
from typing import IO, Any, Dict, Iterator, List, Optional, Tuple, Union

from . import digests
from .archive import DEFAULT_MEMBER_LIMIT, ArchiveReader, Record, Source, open_source
from .binding import Binding, DataHash, data_hash_of, stream_size, verify
from .errors import ArchiveError
from .signing import check_unchanged, identity, is_manifest


@dataclasses.dataclass
class Census:
    """What an archive holds. `bytes` counts the uncompressed archive."""

    name: str
    records: int = 0
    bytes: int = 0
    by_type: Dict[str, int] = dataclasses.field(default_factory=dict)
    versions: Dict[str, int] = dataclasses.field(default_factory=dict)
    manifest: bool = False
    warnings: List[str] = dataclasses.field(default_factory=list)

    def add(self, other: "Census") -> None:
        """Counts another archive's records in with these."""
        self.records += other.records
        self.bytes += other.bytes
        for kind, count in other.by_type.items():
            self.by_type[kind] = self.by_type.get(kind, 0) + count
        for version, count in other.versions.items():
            self.versions[version] = self.versions.get(version, 0) + count
        self.manifest = self.manifest or other.manifest


def census_totals(read: List[Census], errors: Dict[str, str]) -> Dict[str, Any]:
    """The census of several archives, as `vellumark census --json` writes it:
    `archives` counts the failed ones (`errors`, by name) too; the other
    counts, the archives that were read."""
    total = Census("")
    for part in read:
        total.add(part)
    return {
        "archives": len(read) + len(errors),
        "records": total.records,
        "bytes": total.bytes,
        "by_type": dict(sorted(total.by_type.items())),
        "versions": dict(sorted(total.versions.items())),
        "manifests": sum(1 for part in read if part.manifest),
        "errors": dict(sorted(errors.items())),
    }


def census_archive(source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None) -> Census:
    """Counts the records of a .warc or .warc.gz by WARC-Type and version,
    reading no body. Raises ArchiveError."""
    with open_source(source) as (stream, name):
        result = Census(name)
        reader = ArchiveReader(stream, name, member_limit=member_limit, threads=threads)
        by_type, versions = result.by_type, result.versions
        for record in reader.records():
            result.records += 1
            kind = record.headers.get("warc-type", "(none)")
            by_type[kind] = by_type.get(kind, 0) + 1
            versions[record.version] = versions.get(record.version, 0) + 1
            result.manifest = result.manifest or is_manifest(record)
        result.bytes = reader.size
        result.warnings = reader.warnings
        return result


@dataclasses.dataclass
class Found:
    """The manifest store of an archive and where its record stands in the
    file (its gzip member, in a .warc.gz: compressed offset and length)."""

    store: bytes
    offset: int
    length: Optional[int]
    compressed: bool


def read_archive_manifest(source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None) -> Optional[Found]:
    """The store of the last manifest store record of a .warc or .warc.gz, or
    None; the body of no other record is read. Raises ArchiveError."""
    found = None
    with open_source(source) as (stream, name):
        reader = ArchiveReader(stream, name, member_limit=member_limit, threads=threads)
        for record in reader.records():
            if is_manifest(record):
                found = Found(record.body, record.offset, record.length, reader.compressed)
    return found


def _record_range(record: Union[Record, Found]) -> Optional[Tuple[int, int]]:
    """Where a record stands in the file, when a range holds it alone."""
    return None if record.length is None else (record.offset, record.length)


def archive_data_hash(
    source: Source, alg: str = "sha256", *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None
) -> DataHash:
    """The data hash a signer writes into the store: `alg` (sha256, sha384 or
    sha512) of every byte of a .warc or .warc.gz outside its manifest store
    record. Raises ArchiveError for an archive without one (sign it with a
    placeholder store first), or not as sign leaves it (the record alone,
    last, in a member of its own; see _record_to_exclude), whose hash the
    next signing would change."""
    with open_source(source) as (stream, name):
        _refuse_pipe(stream)
        before = identity(stream)
        record = _record_to_exclude(stream, name, member_limit, threads)
        hashed = data_hash_of(stream, record, alg)
        check_unchanged(stream, before, "the archive changed while it was being hashed: hash it once nothing writes to it")
        return hashed


def _record_to_exclude(stream: IO[bytes], name: str, member_limit: int, threads: Optional[int]) -> Tuple[int, int]:
    """The range of the archive's manifest store record, when the archive
    stands as sign leaves it: a signer's final store, signed in, must find
    every byte outside that range where it was hashed."""
    again = "sign it again"
    reader = ArchiveReader(stream, name, member_limit=member_limit, threads=threads)
    manifests: List[Tuple[int, Optional[int]]] = []  # offset and length of each
    followed = shared = False
    for record in reader.records():
        manifest = is_manifest(record)
        if manifest:
            manifests.append((record.offset, record.length))
        followed = followed or (bool(manifests) and not manifest)
        shared = shared or (reader.compressed and not record.own_member)
    if not manifests:
        raise ArchiveError("no manifest store record: sign it with a placeholder store first")
    offset, length = manifests[-1]
    if len(manifests) > 1:
        raise ArchiveError(f"{len(manifests)} manifest store records: {again}, which keeps one")
    if followed:
        raise ArchiveError(f"the manifest store record at offset {offset:,} is not the last record: {again}, which puts it last")
    if shared:
        raise ArchiveError(f"not gzipped per record: {again}, which gives every record a gzip member of its own")
    assert length is not None  # a record with a member of its own has its member's length
    after = stream_size(stream) - (offset + length)
    if after:
        raise ArchiveError(f"{after:,} bytes follow the manifest store record: {again}, which ends the archive with it")
    return offset, length


def archive_binding(
    source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None
) -> Optional[Binding]:
    """The binding of a .warc or .warc.gz's manifest store to it (its
    `verdict` says what was found), or None when it has no manifest store
    record. Raises ArchiveError for an archive that does not parse."""
    with open_source(source) as (stream, _):
        _refuse_pipe(stream)
        before = identity(stream)
        found = read_archive_manifest(stream, member_limit=member_limit, threads=threads)
        binding = None if found is None else verify(stream, _record_range(found), found.store)
        check_unchanged(stream, before, CHANGED_WHILE_CHECKED)
        return binding


CHANGED_WHILE_CHECKED = "the archive changed while its binding was being checked: check it once nothing writes to it"


def _refuse_pipe(stream: IO[bytes]) -> None:
    """A binding reads the archive twice: once for its store, once to hash it."""
    if not stream.seekable():
        raise ArchiveError("the binding needs an archive that can be read twice, and this one is a pipe or a socket")


@dataclasses.dataclass
class Checked:
    """What check() found. `problems` empty means the archive is sound."""

    name: str
    compressed: bool = False
    records: int = 0
    members: int = 0
    per_record: Optional[bool] = None  # a .warc.gz: one record a member
    not_per_record_at: Optional[int] = None  # the first member that is not
    digests: int = 0  # declared digests that were checked
    problems: List[str] = dataclasses.field(default_factory=list)
    bindings: List[Tuple[str, Binding]] = dataclasses.field(default_factory=list)
    """(archive, its binding): the archive's manifest store's binding to it;
    in a WACZ package, each archive entry's. Failing bindings are among the problems too."""

    @property
    def ok(self) -> bool:
        return not self.problems


MANY = 10  # problems kept in full; the rest are counted


def check_archive(source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None, digests_too: bool = True) -> Checked:
    """Reads every record of a .warc or .warc.gz: each must parse; a .warc.gz
    must be per-record; at most one manifest store record, standing last;
    every declared digest true (hashed as the body comes, never held whole);
    nothing unusual that readers would read differently. Problems are
    collected, not raised; a record that does not parse ends the check with
    its problem."""
    with open_source(source) as (stream, name):
        before = identity(stream)  # its binding is hashed in a second pass
        result = Checked(name)
        reader = ArchiveReader(stream, name, member_limit=member_limit, threads=threads)
        result.compressed = reader.compressed
        manifests: List[int] = []  # their offsets
        last_manifest: Optional[Tuple[Optional[Tuple[int, int]], bytes]] = None  # its range, and its store
        followed = False  # a record came after a manifest store record
        glued: Optional[int] = None  # a record that ends with its body, no blank line after it
        extra = 0
        try:
            for record in reader.records():
                result.records += 1
                if glued is not None:  # and another follows: warcio refuses to read on
                    extra += not _problem(result, f"the record at offset {glued} is not followed by a blank line (CR LF CR LF)")
                headers = record.headers
                manifest = is_manifest(record)
                store = record.body if manifest else None  # kept for the binding; read before its digests
                if digests_too and digests.declares_digest(headers):
                    body = io.BytesIO(store) if store is not None else record.body_reader()
                    checked, found = digests.verify(headers, body)
                    result.digests += checked
                    for problem in found:
                        extra += not _problem(result, f"record at offset {record.offset}: {problem}")
                glued = record.data_offset if record.separator == 0 and not record.own_member else None
                if manifests and not manifest and not followed:
                    followed = True
                    _problem(result, f"the manifest store record at offset {manifests[-1]} is not the last record", force=True)
                if store is not None:
                    manifests.append(record.offset)
                    last_manifest = (_record_range(record), store)
                if reader.compressed and not record.own_member and result.not_per_record_at is None:
                    result.not_per_record_at = record.offset
        except ArchiveError as error:
            for warning in reader.warnings:
                _problem(result, warning, force=True)
            _problem(result, str(error), force=True)
            return result
        result.members = reader.members
        for warning in reader.warnings:
            _problem(result, warning, force=True)
        if reader.compressed:
            result.per_record = result.not_per_record_at is None
            if not result.per_record:
                _problem(
                    result,
                    f"not gzipped per record: the gzip member at compressed offset {result.not_per_record_at} "
                    "does not hold exactly one record (warcio recompress rewrites it)",
                    force=True,
                )
        if len(manifests) > 1:
            _problem(result, f"{len(manifests)} manifest store records; an archive carries one", force=True)
        if last_manifest is not None:
            try:
                _refuse_pipe(stream)
                binding = verify(stream, *last_manifest)
                check_unchanged(stream, before, CHANGED_WHILE_CHECKED)
            except ArchiveError as error:
                _problem(result, str(error), force=True)
                return result
            result.bindings.append((name, binding))
            if not binding.ok:
                _problem(result, binding.line(), force=True)
        if extra:
            result.problems.append(f"... and {extra} more")
        return result


def _problem(result: Checked, text: str, force: bool = False) -> bool:
    """Keeps a problem; past MANY, only counts it (returns False)."""
    if force or len(result.problems) < MANY:
        result.problems.append(text)
        return True
    return False


def index_archive(
    source: Source, fields: List[str], *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None, warnings: Optional[List[str]] = None
) -> Iterator[Dict[str, Any]]:
    """One dict per record of a .warc or .warc.gz with the fields asked for, as
    warcio index writes them: "offset", "length" (a .warc.gz: of the record's
    gzip member, left out when it shares one; a .warc: up to the end of its
    block, without the blank lines after it), "filename", and header values by
    name (left out when the record has no such header). No body is read.
    What was unusual is added to `warnings`."""
    wanted = [(field, field.lower()) for field in fields]
    with open_source(source) as (stream, name):
        reader = ArchiveReader(stream, name, member_limit=member_limit, threads=threads)
        filename = os.path.basename(name)
        for record in reader.records():
            entry: Dict[str, Any] = {}
            headers = record.headers
            for field, key in wanted:
                if key == "offset":
                    entry[field] = record.offset
                elif key == "length":
                    length = record.length if reader.compressed else record.header_length + record.body_length
                    if length is not None:
                        entry[field] = length
                elif key == "filename":
                    entry[field] = filename
                elif key in headers:
                    entry[field] = headers[key]
            yield entry
        if warnings is not None:
            warnings += reader.warnings
