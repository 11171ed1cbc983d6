"""What an input is, and what each function does with it: a .warc or .warc.gz
file is read by survey and signed by signing; a WACZ package is read and
signed by wacz, archive by archive. This is the one place that tells them
apart, above the modules that do the work (none of which imports another
format's module)."""

from __future__ import annotations

import os
from typing import IO, Any, Dict, Iterator, List, Optional, Union, cast

from .archive import DEFAULT_MEMBER_LIMIT, Source
from .errors import ArchiveError, PathLike, naming, shown
from .signing import Signed, sign_archive
from .binding import Binding, DataHash
from .survey import (Census, Checked, Found, archive_binding, archive_data_hash, census_archive, check_archive,
                     index_archive, read_archive_manifest)
from .wacz import SignedPackage, check_wacz, is_wacz, sign_wacz, wacz_archives


def packaged(source: Source) -> bool:
    """Whether the source is a WACZ package (a path to one)."""
    return isinstance(source, (str, bytes, os.PathLike)) and is_wacz(source)


def sign(
    source: Source,
    store: bytes,
    output: Union[PathLike, IO[bytes], None] = None,
    record_id: Optional[str] = None,
    *,
    member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None,
) -> Union[Signed, SignedPackage]:
    """Writes the archive `source` with every earlier manifest store record
    dropped and a new one holding `store` (opaque bytes) at the end
    (signing.sign_archive); a WACZ package, with each of its archives so
    (wacz.sign_wacz, which returns a SignedPackage). Raises ArchiveError."""
    if packaged(source):
        return sign_wacz(cast(PathLike, source), lambda entry: store, output, record_id, member_limit=member_limit, threads=threads)
    return sign_archive(source, store, output, record_id, member_limit=member_limit, threads=threads)


def census(source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None) -> Census:
    """Counts the records of an archive (of every archive of a WACZ package)
    by WARC-Type and version. Raises ArchiveError."""
    if not packaged(source):
        return census_archive(source, member_limit=member_limit, threads=threads)
    total = Census(shown(cast(PathLike, source)))
    for entry, stream in wacz_archives(cast(PathLike, source)):
        with naming(entry):
            part = census_archive(stream, member_limit=member_limit, threads=threads)
        total.add(part)
        total.warnings += [f"{shown(entry)}: {warning}" for warning in part.warnings]
    return total


def read_manifest(source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None) -> Optional[Found]:
    """The store of the last manifest store record, or None. Raises
    ArchiveError (for a WACZ package, whose archives each carry their own:
    wacz_manifests() gives them)."""
    if packaged(source):
        raise ArchiveError("a WACZ package: each of its archives carries its own store (wacz_manifests() lists them)")
    return read_archive_manifest(source, member_limit=member_limit, threads=threads)


def check(source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None, digests_too: bool = True) -> Checked:
    """Whether an archive is sound (survey.check_archive); a WACZ package is
    checked as a package (wacz.check_wacz) and each of its archives so."""
    if not packaged(source):
        return check_archive(source, member_limit=member_limit, threads=threads, digests_too=digests_too)
    path = cast(PathLike, source)
    result = Checked(shown(path))
    result.problems += check_wacz(path)
    try:
        for entry, stream in wacz_archives(path):
            part = check_archive(stream, member_limit=member_limit, threads=threads, digests_too=digests_too)
            result.records += part.records
            result.members += part.members
            result.digests += part.digests
            result.problems += [f"{shown(entry)}: {problem}" for problem in part.problems]
            result.bindings += part.bindings
    except ArchiveError as error:
        result.problems.append(str(error))
    return result


def index_entries(
    source: Source, fields: List[str], *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None, warnings: Optional[List[str]] = None
) -> Iterator[Dict[str, Any]]:
    """One dict per record with the fields asked for, as warcio index writes
    them (survey.index_archive); for a WACZ package, of each of its archives,
    offsets in the entry, as its CDXJ gives them."""
    if not packaged(source):
        yield from index_archive(source, fields, member_limit=member_limit, threads=threads, warnings=warnings)
        return
    for entry, stream in wacz_archives(cast(PathLike, source)):
        with naming(entry):
            yield from index_archive(stream, fields, member_limit=member_limit, threads=threads, warnings=warnings)


def data_hash(
    source: Source, alg: str = "sha256", *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None
) -> DataHash:
    """The data hash a signer writes into the store (survey.archive_data_hash).
    Raises ArchiveError, and for a WACZ package, each of whose archives is an
    asset of its own (wacz_archives() gives them as streams)."""
    if packaged(source):
        raise ArchiveError("a WACZ package: each of its archives is hashed on its own (wacz_archives() gives them)")
    return archive_data_hash(source, alg, member_limit=member_limit, threads=threads)


def verify_binding(
    source: Source, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None
) -> Optional[Binding]:
    """The binding of the archive's manifest store to it, or None when it has
    none (survey.archive_binding). Raises ArchiveError, and for a WACZ package
    (check() gives each of its archives' bindings)."""
    if packaged(source):
        raise ArchiveError("a WACZ package: each of its archives has its own binding (check() gives them)")
    return archive_binding(source, member_limit=member_limit, threads=threads)
