"""WACZ packages: a ZIP of WARC files (archive/), their CDXJ indexes
(indexes/), page lists, and datapackage.json, which gives every file's hash
and size (datapackage-digest.json gives the hash of datapackage.json, and may
carry a signature over it). A multi-WACZ, a ZIP of WACZ packages with a
datapackage.json of its own (as Browsertrix downloads come), is read and
signed package by package.

Each archive is read where it stands in the ZIP, never unpacked (zips.py):
a stored entry as a window of the file, whose offsets are the ones the CDXJ
indexes give, a compressed one through zipfile's stream. So census, check,
index and manifest run on every archive of a package as on a file, and
signing rewrites the package entry by entry: each archive signed as
signing.sign signs a file, into a stored entry (replay reads a record by a
range request at the entry's data start plus its CDXJ offset); every other
entry copied byte for byte; datapackage.json and its digest brought up to
date. Memory follows the largest record, never the package.
"""

from __future__ import annotations

import collections
import contextlib
import dataclasses
import gzip
import hashlib
import io
import json
import os
import zipfile
import zlib
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Tuple, Union, cast

from .archive import DEFAULT_MEMBER_LIMIT
from .digests import hash_named
from .errors import ArchiveError, PathLike, naming, shown
from .output import Output, Region, atomic_output
from .signing import Signed, output_binding, sign_archive
from .survey import Found, read_archive_manifest
from .zips import Entry, EntryStream, Window, Zip, ZipWriter, method_name, read_back
from . import zips

DATAPACKAGE = "datapackage.json"
DIGEST = "datapackage-digest.json"
ARCHIVE_DIR = "archive/"
INDEX_DIR = "indexes/"
CDXJ_SUFFIXES = (".cdx", ".cdxj", ".cdx.gz", ".cdxj.gz")
PACKAGE_SUFFIX = ".wacz"
# datapackage.json lists a package's files: kilobytes, megabytes for the
# largest crawls. A deflated one could inflate to anything.
JSON_LIMIT = 16 << 20


# ---------------------------------------------------------------------------- the package


@dataclasses.dataclass
class _Package:
    zip: Zip
    name: str  # for messages
    datapackage: Dict[str, Any]
    datapackage_text: str
    digest: Optional[Dict[str, Any]]
    digest_text: str
    resources: Dict[str, Dict[str, Any]]  # by path
    archives: List[Entry]  # under archive/
    packages: List[Entry]  # the WACZ packages of a multi-WACZ


def _load(package: Zip, name: str) -> _Package:
    """The package's datapackage.json and digest, with what a WACZ needs in them;
    ArchiveError for anything that makes it no WACZ at all."""
    entries = {e.name: e for e in package.entries}
    if DATAPACKAGE not in entries:
        raise ArchiveError(f"no {DATAPACKAGE} in the ZIP, so not a WACZ package")
    twice = next((n for n, count in collections.Counter(e.name for e in package.entries).items() if count > 1), None)
    if twice is not None:
        raise ArchiveError(f"the ZIP holds {shown(twice)} twice")
    if any(e.info.flag_bits & zips.ENCRYPTED for e in package.entries):
        raise ArchiveError("the ZIP has encrypted entries, which a WACZ package does not")
    datapackage, text = _json_entry(package, entries[DATAPACKAGE])
    resources = datapackage.get("resources")
    if not isinstance(resources, list) or not all(
        isinstance(r, dict) and isinstance(r.get("path"), str) and isinstance(r.get("hash"), str) for r in resources
    ):
        raise ArchiveError(f"{DATAPACKAGE} has no list of resources, each with a path and a hash")
    digest, digest_text = _json_entry(package, entries[DIGEST]) if DIGEST in entries else (None, "")
    files = [e for e in package.entries if not e.info.is_dir()]
    archives = [e for e in files if e.name.startswith(ARCHIVE_DIR)]
    packages = [] if archives else [e for e in files if e.name.lower().endswith(PACKAGE_SUFFIX)]
    return _Package(package, name, datapackage, text, digest, digest_text, {r["path"]: r for r in resources}, archives, packages)


def _json_entry(package: Zip, entry: Entry) -> Tuple[Dict[str, Any], str]:
    data = package.read(entry, JSON_LIMIT)
    try:
        text = data.decode("utf-8")
        document = json.loads(text)
    except (UnicodeDecodeError, ValueError, RecursionError) as error:
        raise ArchiveError(f"{entry.name} cannot be read as JSON: {error}") from None
    if not isinstance(document, dict):
        raise ArchiveError(f"{entry.name} is not a JSON object")
    return document, text


@contextlib.contextmanager
def _opened(path: PathLike) -> Iterator[_Package]:
    with open(path, "rb") as file:
        package = Zip(file)
        try:
            yield _load(package, shown(path))
        finally:
            package.close()


def _inner(outer: _Package, entry: Entry) -> _Package:
    """A package of a multi-WACZ: stored, as its archives are read by range, and no multi-WACZ itself."""
    name = shown(entry.name)
    if entry.method != zipfile.ZIP_STORED:
        raise ArchiveError(f"{name}: a package {method_name(entry.method)} inside the multi-WACZ: it must be stored")
    window = Window(outer.zip.file, outer.zip.data_start(entry), entry.info.file_size, entry.name)
    package = _load(Zip(cast(IO[bytes], window)), name)
    if package.packages:
        raise ArchiveError(f"{name}: a multi-WACZ inside a multi-WACZ, which this tool does not read")
    return package


def _packages_of(package: _Package) -> Iterator[Tuple[str, _Package]]:
    """(prefix for entry names, package): the package, or each package of a multi-WACZ."""
    if not package.packages:
        yield "", package
    for entry in package.packages:
        inner = _inner(package, entry)
        try:
            yield entry.name + "/", inner
        finally:
            inner.zip.close()


def _algorithm(value: Any, what: str) -> str:
    """The hash algorithm a value "algorithm:hex" names."""
    algorithm, colon, _ = str(value).partition(":")
    if not colon or hash_named(algorithm.lower()) is None:
        raise ArchiveError(f"{shown(what)}: {value!r} is not a hash this tool can check (say sha256:HEX)")
    return algorithm.lower()


def _hash_of(data: bytes, algorithm: str) -> str:
    return f"{algorithm}:{hashlib.new(algorithm, data).hexdigest()}"


def _resource_problem(resource: Dict[str, Any], found: str, size: int) -> Optional[str]:
    path = shown(resource["path"])
    if str(resource["hash"]).lower() != found:
        return f"{path}: {DATAPACKAGE} gives it the hash {resource['hash']}, and its hash is {found}"
    if "bytes" in resource and resource["bytes"] != size:
        return f"{path}: {DATAPACKAGE} gives it {resource['bytes']} bytes, and it has {size:,}"
    return None


def _problems(package: _Package, archives_too: bool) -> List[str]:
    """What is false in datapackage.json and its digest: a resource missing,
    a hash or a size wrong, the digest's hash wrong, a signature over another hash."""
    problems: List[str] = []
    held = {e.name: e for e in package.zip.entries}
    for path, resource in package.resources.items():
        entry = held.get(path)
        if entry is None:
            problems.append(f"{shown(path)}: {DATAPACKAGE} lists it, and the package does not hold it")
        elif archives_too or not path.startswith(ARCHIVE_DIR):
            problems += _read_problems(package, entry, resource)
    if package.digest is not None:
        declared = package.digest.get("hash")
        actual = _hash_of(package.datapackage_text.encode("utf-8"), _algorithm(declared, DIGEST))
        if declared != actual:
            problems.append(f"{DIGEST} gives {DATAPACKAGE} the hash {declared}, and its hash is {actual}")
        signed = package.digest.get("signedData")
        if isinstance(signed, dict) and signed.get("hash") != declared:
            problems.append(f"the signedData of {DIGEST} signs the hash {signed.get('hash')}, not {declared}")
    return problems


def _bytes_problem(entry: EntryStream, info: zipfile.ZipInfo, resource: Optional[Dict[str, Any]]) -> Optional[str]:
    """What is wrong with an entry's bytes, read to the end: its hash and size
    against datapackage.json (where it lists the entry), its CRC-32 against the ZIP's."""
    found, size = entry.digest()
    problem = _resource_problem(resource, found, size) if resource else None
    if problem is None and entry.crc != info.CRC:
        problem = f"{shown(info.filename)}: its bytes do not match the CRC-32 the ZIP gives them (a damaged package)"
    return problem


def _read_problems(package: _Package, entry: Entry, resource: Optional[Dict[str, Any]]) -> List[str]:
    algorithm = _algorithm(resource["hash"], entry.name) if resource else None
    with package.zip.open(entry, algorithm) as stream:
        problem = _bytes_problem(stream, entry.info, resource)
    return [problem] if problem else []


def _package_problems(package: _Package) -> List[str]:
    """What check_wacz reports of one package (and of each package of a multi-WACZ)."""
    problems = [
        f"{shown(e.name)}: {method_name(e.method)} in the ZIP, and replay reads its records by range: it must be STORED"
        for e in package.archives
        if e.method != zipfile.ZIP_STORED
    ]
    listed = set(package.resources) | {DATAPACKAGE, DIGEST}
    for entry in package.zip.entries:
        if entry.name not in listed and not entry.info.is_dir():
            problems += [f"{shown(entry.name)}: in the package, and not listed in {DATAPACKAGE}"]
            problems += _read_problems(package, entry, None)
    problems += _problems(package, archives_too=True)
    for entry in package.packages:
        try:
            inner = _inner(package, entry)
            try:
                problems += [f"{shown(entry.name)}: {problem}" for problem in _package_problems(inner)]
            finally:
                inner.zip.close()
        except ArchiveError as error:
            problems.append(str(error) if str(error).startswith(shown(entry.name)) else f"{shown(entry.name)}: {error}")
    return problems


# ---------------------------------------------------------------------------- reading


def is_wacz(path: PathLike) -> bool:
    """Whether a file is a WACZ package: named .wacz, or a ZIP holding
    datapackage.json (which a .warc or .warc.gz never is: they start otherwise).
    Only a regular file is sniffed: bytes read from a pipe would be gone for
    the reader, and a ZIP cannot be read from one anyway."""
    if os.fsdecode(path).lower().endswith(PACKAGE_SUFFIX):
        return not os.path.isdir(path)
    try:
        if not os.path.isfile(path):
            return False
        with open(path, "rb") as file:
            if file.read(4) != zips.LOCAL_MAGIC:
                return False
            package = Zip(file)
            package.close()
            return any(e.name == DATAPACKAGE for e in package.entries)
    except (OSError, ArchiveError):
        return False


def wacz_archives(path: PathLike) -> Iterator[Tuple[str, IO[bytes]]]:
    """(entry name, binary stream) of every archive/ entry, in package order,
    for census, check, index_entries and read_archive_manifest; in a multi-WACZ, each
    package's, named PACKAGE.wacz/archive/NAME. Each stream holds until the
    next is handed out; its offsets are the entry's own, as the CDXJ indexes
    give them, and its `name` is the entry name. Raises ArchiveError for a
    file that is not a ZIP, or an entry that cannot be read as zipfile would."""
    with _opened(path) as outer:
        for prefix, package in _packages_of(outer):
            for entry in package.archives:
                with package.zip.open(entry) as stream:
                    stream.name = prefix + entry.name
                    yield prefix + entry.name, cast(IO[bytes], stream)


def wacz_manifests(
    path: PathLike, *, member_limit: int = DEFAULT_MEMBER_LIMIT, threads: Optional[int] = None
) -> List[Tuple[str, Optional[Found]]]:
    """Each archive's manifest store (None where it has none), by entry name;
    offsets are in the entry. Raises ArchiveError."""
    found: List[Tuple[str, Optional[Found]]] = []
    for name, stream in wacz_archives(path):
        with naming(name):
            found.append((name, read_archive_manifest(stream, member_limit=member_limit, threads=threads)))
    return found


def check_wacz(path: PathLike) -> List[str]:
    """What is wrong with the package as a WACZ (empty when nothing is): each
    archive/ entry must be stored; every resource in datapackage.json there
    with its true hash and size, and every file listed; the digest's hash of
    datapackage.json true; a signedData over that same hash; every entry as
    zipfile would read it, with its CRC-32. A multi-WACZ: each package in it
    so, stored. The records of each archive are survey.check's, over
    wacz_archives()."""
    try:
        with _opened(path) as package:
            return _package_problems(package)
    except ArchiveError as error:
        return [str(error)]
    except OSError as error:
        return [f"{shown(path)}: {error.strerror or error}"]


# ---------------------------------------------------------------------------- JSON kept as laid out


Layout = Tuple[Optional[str], Optional[Tuple[str, str]], bool]  # json.dumps's indent, separators, ensure_ascii


def _dumps(document: Any, layout: Layout) -> str:
    indent, separators, ascii_only = layout
    return json.dumps(document, indent=indent, separators=separators, ensure_ascii=ascii_only)


def _layout(body: str) -> Layout:
    """How `body` (with LF line ends) is laid out: the json.dumps arguments
    that give it back, else its indent and escapes with the usual separators."""
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
    """`document` laid out as `original`, with the white space around it and
    its line ends (LF, or CR LF throughout) kept."""
    body = original.strip()
    start = original.find(body)
    crlf = "\r\n" in body and body.count("\n") == body.count("\r\n")  # JSON strings hold no raw line breaks
    text = _dumps(document, _layout(body.replace("\r\n", "\n") if crlf else body))
    return (original[:start] + (text.replace("\n", "\r\n") if crlf else text) + original[start + len(body) :]).encode("utf-8")


# ---------------------------------------------------------------------------- signing


@dataclasses.dataclass
class SignedPackage:
    """What sign_wacz() did."""

    source: str
    output: str
    archives: List[Signed] = dataclasses.field(default_factory=list)
    """Each archive/ entry as signing.sign signed it, in package order; its
    `source` and `output` are the entry name (in a multi-WACZ,
    PACKAGE.wacz/archive/NAME), its offsets the entry's own."""
    signature_removed: bool = False
    """datapackage-digest.json carried a signedData over the old hash of
    datapackage.json, and the output has none (it would sign a hash that is
    gone); in a multi-WACZ, any of its packages' or its own."""
    zip64: bool = False  # the output needed ZIP64 fields
    output_bytes: int = 0

    @property
    def records(self) -> int:
        return sum(s.records for s in self.archives)


def signed_wacz_name(path: PathLike) -> str:
    """NAME.wacz -> NAME.c2pa.wacz beside it; NAME.c2pa.wacz keeps its name, so
    that signing again replaces the stores instead of adding records."""
    directory, name = os.path.split(os.fsdecode(path))
    for suffix in (".c2pa.wacz", PACKAGE_SUFFIX):
        if name.lower().endswith(suffix):
            name = name[: -len(suffix)]
            break
    return os.path.join(directory, name + ".c2pa.wacz")


def sign_wacz(
    path: PathLike,
    store_for: Callable[[str], bytes],
    output: Union[PathLike, IO[bytes], None] = None,
    record_id: Optional[str] = None,
    *,
    member_limit: int = DEFAULT_MEMBER_LIMIT,
    threads: Optional[int] = None,
) -> SignedPackage:
    """Writes the package with every archive/ entry signed as signing.sign
    signs a file, holding the store `store_for(entry name)` gives it.

    `output` defaults to NAME.c2pa.wacz beside the package, written
    atomically; an open binary file it can seek in is written as it goes.
    Archive entries come out stored; every other entry keeps its bytes,
    compression and place; datapackage.json gets the new hash and size of
    each archive, its digest the new hash of datapackage.json, without a
    signedData (it signed the old one: `signature_removed` says so). The CDXJ
    indexes are kept as they are, so an archive whose records would move
    (gzip members rewritten, a manifest store record among the others, an
    indexed one replaced) is refused. A multi-WACZ has each of its packages
    signed so, and its own datapackage.json brought up to date. Raises
    ArchiveError, with nothing written to a path, for that, for a package
    that is not a sound WACZ (not a ZIP, no datapackage.json, a resource
    missing or with a wrong hash or size), and for an output that cannot be
    written. `record_id` is for a package of one archive; by default each new
    record gets a new urn:uuid."""
    with _opened(path) as package:
        names = [prefix + e.name for prefix, inner in _packages_of(package) for e in inner.archives]
        if not names:
            raise ArchiveError(f"no archives under {ARCHIVE_DIR}: nothing to sign")
        if record_id is not None and len(names) > 1:
            raise ArchiveError(f"a record ID is for one archive, and the package holds {len(names)}")
        problems = [f"{shown(prefix)}{p}" for prefix, inner in _packages_of(package) for p in _problems(inner, archives_too=False)]
        if problems:  # the archives are checked as they are signed
            more = f" (and {len(problems) - 1} more problems)" if len(problems) > 1 else ""
            raise ArchiveError(problems[0] + more)
        stores = {name: store_for(name) for name in names}
        options: Dict[str, Any] = {"member_limit": member_limit, "threads": threads}
        if output is None or isinstance(output, (str, bytes, os.PathLike)):
            target = output if output is not None else signed_wacz_name(path)
            with atomic_output(target) as out:
                result = _Signer(package, out, stores, "", record_id, options).run()
            result.output = shown(target)
        else:
            out = Output.over(output)
            if not out.seekable():
                raise ArchiveError(f"{out.target}: a package is written to a path, or to a file open for writing that can seek")
            result = _Signer(package, out, stores, "", record_id, options).run()
            out.flush()
            result.output = out.target
    return result


class _Signer:
    """Writes a package (or a multi-WACZ, or a package inside one) through `out`."""

    def __init__(
        self, package: _Package, out: Output, stores: Dict[str, bytes], prefix: str, record_id: Optional[str], options: Dict[str, Any]
    ) -> None:
        self.package, self.out, self.stores, self.prefix = package, out, stores, prefix
        self.record_id, self.options = record_id, options
        self.writer = ZipWriter(out)
        self.result = SignedPackage(package.name, "")
        self.signed: List[Tuple[str, Signed]] = []  # by entry name in this package
        self.new_hashes: Dict[str, Tuple[str, int]] = {}
        self.json: Dict[str, bytes] = {}

    def run(self) -> SignedPackage:
        entries = self.package.zip.entries
        signed = {e.name for e in self.package.archives + self.package.packages}
        last = max((n for n, e in enumerate(entries) if e.name in signed), default=-1)
        deferred = []  # datapackage.json and its digest standing before an archive: they follow every entry
        for n, entry in enumerate(entries):
            if entry.name in signed:
                self._sign_package(entry) if self.package.packages else self._sign(entry)
            elif entry.name in (DATAPACKAGE, DIGEST):
                if n < last:
                    deferred.append(entry)
                else:
                    self._rewrite_json(entry)
            else:
                self.writer.copy(self.package.zip, entry)
        for entry in deferred:
            self._rewrite_json(entry)
        self.writer.close(self.package.zip.comment)
        self.result.zip64 |= self.writer.zip64
        self.result.output_bytes = self.out.written
        self._check_read_back()
        for name, done in self.signed:
            done.source = done.output = self.prefix + name
        self.result.archives += [done for _, done in self.signed]
        return self.result

    def _sign(self, entry: Entry) -> None:
        name, store = entry.name, self.stores[self.prefix + entry.name]
        resource = self.package.resources.get(name)
        algorithm = _algorithm(resource["hash"], name) if resource else "sha256"
        zip64 = entry.info.file_size + 2 * len(store) + (1 << 20) > zips.ZIP64_AT  # room for the new record, whatever it does
        opened = self.writer.begin(self.package.zip, entry, zip64)
        data_start = self.out.written
        sink = _Sink(self.out, name, algorithm)
        with self.package.zip.open(entry, algorithm) as source:
            try:
                signed = sign_archive(cast(IO[bytes], source), store, cast(IO[bytes], sink), self.record_id, **self.options)
            except ArchiveError as error:
                said = str(error)
                raise ArchiveError(said if said.startswith(shown(name)) else f"{shown(name)}: {said}") from None
            problem = _bytes_problem(source, entry.info, resource)
        if problem:
            raise ArchiveError(problem)
        self._refuse_moved(name, signed)
        self.writer.finish(opened, sink.crc, sink.size)
        signed.binding = output_binding(cast(IO[bytes], Window(self.out, data_start, sink.size, name)), signed, store)
        self.new_hashes[name] = (sink.hash, sink.size)
        self.signed.append((name, signed))

    def _sign_package(self, entry: Entry) -> None:
        """A package of a multi-WACZ, signed into a stored entry of the output."""
        resource = self.package.resources.get(entry.name)
        algorithm = _algorithm(resource["hash"], entry.name) if resource else "sha256"
        inner = _inner(self.package, entry)
        try:
            room = entry.info.file_size + 2 * sum(len(self.stores[self.prefix + entry.name + "/" + a.name]) for a in inner.archives) + (1 << 20)
            opened = self.writer.begin(self.package.zip, entry, room > zips.ZIP64_AT)
            region = Region(self.out)
            done = _Signer(inner, region, self.stores, self.prefix + entry.name + "/", self.record_id, self.options).run()
        finally:
            inner.zip.close()
        with Window(region, 0, region.written, entry.name, algorithm) as written:
            found, size = written.digest()
        self.writer.finish(opened, written.crc, size)
        self.new_hashes[entry.name] = (found, size)
        self.result.archives += done.archives
        self.result.signature_removed |= done.signature_removed
        self.result.zip64 |= done.zip64

    def _refuse_moved(self, name: str, signed: Signed) -> None:
        """The indexes are kept, so every record they point at must stay where it is."""
        unit = "compressed offset" if signed.compressed else "offset"
        if signed.moved_from is not None:
            raise ArchiveError(
                f"{shown(name)}: signing would move its records from {unit} {signed.moved_from:,} on, and the package's "
                "CDXJ indexes point at them: the package would need re-indexing"
            )
        if signed.dropped:
            index = _indexed_from(self.package, name, signed.dropped[0])
            if index is not None:
                raise ArchiveError(
                    f"{shown(name)}: {shown(index)} lists the manifest store record at {unit} {signed.dropped[0]:,}, which the new "
                    "one replaces: the package would need re-indexing"
                )

    def _rewrite_json(self, entry: Entry) -> None:
        if not self.json:
            self.json = self._updated_json()
        self.writer.add(self.package.zip, entry, self.json[entry.name])

    def _updated_json(self) -> Dict[str, bytes]:
        package = self.package
        for resource in package.datapackage["resources"]:
            if resource["path"] in self.new_hashes:
                resource["hash"], resource["bytes"] = self.new_hashes[resource["path"]]
        updated = {DATAPACKAGE: _rendered(package.datapackage_text, package.datapackage)}
        if package.digest is not None:
            digest = package.digest
            digest["hash"] = _hash_of(updated[DATAPACKAGE], _algorithm(digest.get("hash"), DIGEST))
            self.result.signature_removed |= digest.pop("signedData", None) is not None
            updated[DIGEST] = _rendered(package.digest_text, digest)
        return updated

    def _check_read_back(self) -> None:
        """Every entry of the output read back with its CRC-32, and each new
        record's store, before the output replaces anything (an output open
        for writing only cannot be read back)."""
        if not self.out.readable():
            return
        written = read_back(self.out, self.writer.names, self.out.target)
        try:
            entries = {e.name: e for e in written.entries}
            for name, signed in self.signed:
                start = written.data_start(entries[name]) + signed.manifest_offset
                found = read_archive_manifest(cast(IO[bytes], Window(self.out, start, signed.manifest_length, name)))
                if found is None or found.store != self.stores[self.prefix + name]:
                    raise ArchiveError(f"{self.out.target}: {shown(name)}: the manifest store read back differs from the one written")
        finally:
            written.close()


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


def _indexed_from(package: _Package, archive: str, offset: int) -> Optional[str]:
    """The first CDXJ index of the package with an entry for `archive` at
    `offset` or after it, or None."""
    filename = archive[len(ARCHIVE_DIR) :]
    for entry in package.zip.entries:
        if not (entry.name.startswith(INDEX_DIR) and entry.name.lower().endswith(CDXJ_SUFFIXES)):
            continue
        with package.zip.open(entry) as raw:
            lines: Any = gzip.GzipFile(fileobj=raw) if entry.name.lower().endswith(".gz") else io.BufferedReader(raw)
            try:
                for line in lines:
                    if _indexed_at(line, filename) >= offset:
                        return entry.name
            except (OSError, EOFError, zlib.error) as error:
                raise ArchiveError(f"{shown(entry.name)}: cannot be read: {error}") from None
    return None


def _indexed_at(line: bytes, filename: str) -> int:
    """The offset a CDXJ line gives for a record of `filename`, else -1."""
    brace = line.find(b"{")
    try:
        fields = json.loads(line[brace:]) if brace >= 0 else {}
        return int(fields["offset"]) if isinstance(fields, dict) and fields.get("filename") == filename else -1
    except (ValueError, KeyError, TypeError):
        return -1
