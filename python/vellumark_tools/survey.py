"""What an archive holds (census), whether it is sound (check), and where its
manifest store stands (read_manifest): one pass over its records each."""

from __future__ import annotations

import dataclasses
import os
from typing import IO, Any, Dict, Iterator, List, Optional, Tuple, Union, cast

from . import digests
from .archive import ArchiveReader, Record, Source, open_source
from .binding import Binding, DataHash, data_hash_of, stream_size, verify
from .errors import ArchiveError, PathLike, shown
from .members import DEFAULT_MEMBER_LIMIT
from .signing import block_length, check_unchanged, identity, is_manifest


def stray_bytes(reader: ArchiveReader) -> List[str]:
    """The stray bytes the reader stepped over, as warnings."""
    where = "of the inflated data " if reader.compressed else ""
    return [
        f"{length} stray bytes at offset {offset} {where}after a record's body, which warcio steps over too "
        "(that record's Content-Length may be short)"
        for offset, length in reader.gaps
    ]


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


def _packaged(source: Source) -> bool:
    """Whether the source is a WACZ package: the functions here then run over each of its archives."""
    from .wacz import is_wacz

    return isinstance(source, (str, bytes, os.PathLike)) and is_wacz(source)


def census(source: Source, *, inflater: Any = None, member_limit: int = DEFAULT_MEMBER_LIMIT) -> Census:
    """Counts the records of an archive (of every archive of a WACZ package)
    by WARC-Type and version. Raises ArchiveError."""
    if _packaged(source):
        from .wacz import wacz_archives

        total = Census(shown(cast(PathLike, source)))
        for entry, stream in wacz_archives(cast(PathLike, source)):
            part = census(stream, inflater=inflater, member_limit=member_limit)
            total.add(part)
            total.warnings += [f"{entry}: {warning}" for warning in part.warnings]
        return total
    with open_source(source) as (stream, name):
        result = Census(name)
        reader = ArchiveReader(stream, name, inflater=inflater, member_limit=member_limit)
        for record in reader.records():
            result.records += 1
            kind = record.warc["headers"].get("warc-type", "(none)")
            result.by_type[kind] = result.by_type.get(kind, 0) + 1
            result.versions[record.version] = result.versions.get(record.version, 0) + 1
            result.manifest = result.manifest or is_manifest(record)
        result.bytes = reader.size
        result.warnings = stray_bytes(reader)
        return result


@dataclasses.dataclass
class Found:
    """The manifest store of an archive and where its record stands in the
    file (its gzip member, in a .warc.gz: compressed offset and length)."""

    store: bytes
    offset: int
    length: Optional[int]
    compressed: bool


def read_manifest(source: Source, *, inflater: Any = None, member_limit: int = DEFAULT_MEMBER_LIMIT) -> Optional[Found]:
    """The store of the last manifest store record, or None. Raises
    ArchiveError (for a WACZ package, whose archives each carry their own:
    wacz_manifests() gives them)."""
    if _packaged(source):
        raise ArchiveError("a WACZ package: each of its archives carries its own store (wacz_manifests() lists them)")
    found = None
    with open_source(source) as (stream, name):
        reader = ArchiveReader(stream, name, inflater=inflater, member_limit=member_limit)
        for record in reader.records():
            if is_manifest(record):
                found = Found(record.body, record.offset, record.length, reader.compressed)
    return found


def _record_range(record: Union[Record, Found]) -> Optional[Tuple[int, int]]:
    """Where a record stands in the file, when a range holds it alone."""
    return None if record.length is None else (record.offset, record.length)


def data_hash(source: Source, alg: str = "sha256", *, inflater: Any = None, member_limit: int = DEFAULT_MEMBER_LIMIT) -> DataHash:
    """The data hash a signer writes into the store: `alg` (sha256, sha384 or
    sha512) of every byte of the archive outside its manifest store record.
    Raises ArchiveError for an archive without one (sign it with a
    placeholder store first), or not as sign leaves it (the record alone,
    last, in a member of its own; see _record_to_exclude), whose hash the
    next signing would change; for a WACZ package, each of whose archives
    is an asset of its own (wacz_archives() gives them as streams)."""
    if _packaged(source):
        raise ArchiveError("a WACZ package: each of its archives is hashed on its own (wacz_archives() gives them)")
    with open_source(source) as (stream, name):
        _refuse_pipe(stream)
        before = identity(stream)
        record = _record_to_exclude(stream, name, inflater, member_limit)
        hashed = data_hash_of(stream, record, alg)
        check_unchanged(stream, before, "the archive changed while it was being hashed: hash it once nothing writes to it")
        return hashed


def _record_to_exclude(stream: IO[bytes], name: str, inflater: Any, member_limit: int) -> Tuple[int, int]:
    """The range of the archive's manifest store record, when the archive
    stands as sign leaves it: a signer's final store, signed in, must find
    every byte outside that range where it was hashed."""
    again = "sign it again"
    reader = ArchiveReader(stream, name, inflater=inflater, member_limit=member_limit)
    manifests: List[Record] = []
    followed = shared = False
    for record in reader.records():
        if is_manifest(record):
            manifests.append(record)
        followed = followed or (bool(manifests) and not is_manifest(record))
        shared = shared or (reader.compressed and not record.own_member)
    if not manifests:
        raise ArchiveError("no manifest store record: sign it with a placeholder store first")
    last = manifests[-1]
    if len(manifests) > 1:
        raise ArchiveError(f"{len(manifests)} manifest store records: {again}, which keeps one")
    if followed:
        raise ArchiveError(f"the manifest store record at offset {last.offset:,} is not the last record: {again}, which puts it last")
    if shared:
        raise ArchiveError(f"not gzipped per record: {again}, which gives every record a gzip member of its own")
    assert last.length is not None  # a record with a member of its own has its member's length
    after = stream_size(stream) - (last.offset + last.length)
    if after:
        raise ArchiveError(f"{after:,} bytes follow the manifest store record: {again}, which ends the archive with it")
    return last.offset, last.length


def verify_binding(source: Source, *, inflater: Any = None, member_limit: int = DEFAULT_MEMBER_LIMIT) -> Optional[Binding]:
    """The binding of the archive's manifest store to it (its `verdict` says
    what was found), or None when it has no manifest store record. Raises
    ArchiveError for an archive that does not parse, and for a WACZ package
    (check() gives each of its archives' bindings)."""
    if _packaged(source):
        raise ArchiveError("a WACZ package: each of its archives has its own binding (check() gives them)")
    with open_source(source) as (stream, _):
        _refuse_pipe(stream)
        before = identity(stream)
        found = read_manifest(stream, inflater=inflater, member_limit=member_limit)
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


def check(
    source: Source, *, inflater: Any = None, member_limit: int = DEFAULT_MEMBER_LIMIT, digests_too: bool = True
) -> Checked:
    """Reads every record: each must parse; a .warc.gz must be per-record; at
    most one manifest store record, standing last; every declared digest
    true. Problems are collected, not raised; a record that does not parse
    ends the check with its problem. A WACZ package is checked as a package
    (wacz.check_wacz) and each of its archives as above."""
    if _packaged(source):
        return _check_package(cast(PathLike, source), inflater, member_limit, digests_too)
    with open_source(source) as (stream, name):
        before = identity(stream)  # its binding is hashed in a second pass
        result = Checked(name)
        reader = ArchiveReader(stream, name, inflater=inflater, member_limit=member_limit, raw=True)
        result.compressed = reader.compressed
        manifests: List[int] = []  # their offsets
        last_manifest: Optional[Record] = None
        followed = False  # a record came after a manifest store record
        glued: Optional[int] = None  # a record that ends with its body, no blank line after it
        extra = 0
        try:
            for record in reader.records():
                result.records += 1
                if glued is not None:  # and another follows: warcio refuses to read on
                    extra += not _problem(result, f"the record at offset {glued} is not followed by a blank line (CR LF CR LF)")
                glued = _glued(record)
                manifest = is_manifest(record)
                if manifests and not manifest and not followed:
                    followed = True
                    _problem(result, f"the manifest store record at offset {manifests[-1]} is not the last record", force=True)
                if manifest:
                    manifests.append(record.offset)
                    last_manifest = record
                if reader.compressed and not record.own_member and result.not_per_record_at is None:
                    result.not_per_record_at = record.offset
                if digests_too and digests.declares_digest(record.warc["headers"]):
                    checked, found = digests.verify(record.warc["headers"], record.body)
                    result.digests += checked
                    for problem in found:
                        extra += not _problem(result, f"record at offset {record.offset}: {problem}")
        except ArchiveError as error:
            _problem(result, str(error), force=True)
            return result
        result.members = reader.members
        for warning in stray_bytes(reader):
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
                binding = verify(stream, _record_range(last_manifest), last_manifest.body)
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


def _glued(record: Record) -> Optional[int]:
    """The offset of a record that is not alone in its gzip member and has no
    separator after its body, or None."""
    if record.own_member or record.raw is None:
        return None
    return record.warc["offset"] if block_length(record) == len(record.raw) else None


def _check_package(path: PathLike, inflater: Any, member_limit: int, digests_too: bool) -> Checked:
    from .wacz import check_wacz, wacz_archives

    result = Checked(shown(path))
    result.problems += check_wacz(path)
    try:
        for entry, stream in wacz_archives(path):
            part = check(stream, inflater=inflater, member_limit=member_limit, digests_too=digests_too)
            result.records += part.records
            result.members += part.members
            result.digests += part.digests
            result.problems += [f"{entry}: {problem}" for problem in part.problems]
            result.bindings += part.bindings
    except ArchiveError as error:
        result.problems.append(str(error))
    return result


def _problem(result: Checked, text: str, force: bool = False) -> bool:
    """Keeps a problem; past MANY, only counts it (returns False)."""
    if force or len(result.problems) < MANY:
        result.problems.append(text)
        return True
    return False


def index_entries(
    source: Source,
    fields: List[str],
    *,
    inflater: Any = None,
    member_limit: int = DEFAULT_MEMBER_LIMIT,
    warnings: Optional[List[str]] = None,
) -> Iterator[Dict[str, Any]]:
    """One dict per record with the fields asked for, as warcio index writes
    them: "offset", "length" (a .warc.gz: of the record's gzip member, left out
    when it shares one; a .warc: up to the end of its block, without the blank
    lines after it), "filename", and header values by name (left out when the
    record has no such header). Stray bytes stepped over are added to `warnings`."""
    if _packaged(source):
        from .wacz import wacz_archives

        for _, stream in wacz_archives(cast(PathLike, source)):  # offsets are each entry's own, as its CDXJ gives them
            yield from index_entries(stream, fields, inflater=inflater, member_limit=member_limit, warnings=warnings)
        return
    wanted = [(field, field.lower()) for field in fields]
    with open_source(source) as (stream, name):
        reader = ArchiveReader(stream, name, inflater=inflater, member_limit=member_limit, raw=True)
        for record in reader.records():
            entry: Dict[str, Any] = {}
            headers = record.warc["headers"]
            for field, key in wanted:
                if key == "offset":
                    entry[field] = record.offset
                elif key == "length":
                    length = record.length if reader.compressed else block_length(record)
                    if length is not None:
                        entry[field] = length
                elif key == "filename":
                    entry[field] = os.path.basename(name)
                elif key in headers:
                    entry[field] = headers[key]
            yield entry
        if warnings is not None:
            warnings += stray_bytes(reader)
