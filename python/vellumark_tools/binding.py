"""The binding of a manifest store to its archive: the C2PA data hash.

The exclusion is the manifest store record exactly as it stands in the file
(in a .warc, from its version line through its record separator; in a
.warc.gz, its whole gzip member); the hash covers every other byte, in order.
A WACZ archive entry is an asset of its own, offsets from its first data byte.

The record's range must not move when a store is replaced by another of the
same size, so that a signer can hash around a placeholder and then embed the
final store: signing writes the record with header fields of fixed width and,
in a .warc.gz, as a gzip member of stored deflate blocks (stored_member), whose
length follows from the record's alone.

verify() checks what the active manifest's `c2pa.hash.data` assertion says
against the archive's bytes and gives one Verdict. Checking the claim's
signature and the signer's certificates is a C2PA validator's job.
"""

from __future__ import annotations

import base64
import contextlib
import dataclasses
import enum
import hashlib
import os
import stat
import struct
import zlib
from typing import IO, Any, Dict, Iterator, List, Optional, Set, Tuple, Union

from . import cbor, jumbf
from .cbor import CborError
from .errors import ArchiveError
from .jumbf import JumbfError, NotAStore

ALGORITHMS = ("sha256", "sha384", "sha512")  # written: the first; verified: any of them
DATA_HASH = "c2pa.hash.data"
HARD_BINDINGS = (DATA_HASH, "c2pa.hash.boxes", "c2pa.hash.collection.data", "c2pa.hash.bmff", "c2pa.hash.bmff.v2", "c2pa.hash.bmff.v3")
# Where a claim lists its assertions, by its label (its version): a list of the other version's is not read.
REFERENCE_LISTS = {"c2pa.claim.v2": ("created_assertions", "gathered_assertions"), "c2pa.claim": ("assertions",)}
CHUNK = 4 << 20  # bytes hashed at a time: large enough that hashlib releases the interpreter lock to work

Range = Tuple[int, int]  # start, length


class Verdict(enum.Enum):
    """What check and sign say about a binding, one word each; `fails` marks
    those that fail the archive."""

    MATCH = "matches"  # the data hash, and the claim's hashed URI of its assertion
    MISMATCH = "does not match"  # the archive's bytes, or the assertion the claim covers
    NOT_THE_RECORD = "exclusions are not the manifest store record"  # bytes left unhashed, or the record's hashed
    MALFORMED = "malformed"  # the ranges, the hash, the algorithm, or the store's boxes or CBOR
    PLACEHOLDER = "placeholder, not signed yet"  # exclusions all zero: the signer's first pass
    NO_DATA_HASH = "no data hash"  # another hard binding, or none: nothing here to check
    UPDATE_MANIFEST = "update manifest"  # binds through the manifest it updates
    NOT_C2PA = "not a C2PA manifest store"  # opaque bytes

    @property
    def fails(self) -> bool:
        return self in _FAILING


_FAILING = {Verdict.MISMATCH, Verdict.NOT_THE_RECORD, Verdict.MALFORMED, Verdict.PLACEHOLDER}


@dataclasses.dataclass
class Binding:
    """A binding's verdict, with the one-line reason, and what -v shows."""

    verdict: Verdict
    reason: str = ""
    alg: Optional[str] = None
    expected: Optional[bytes] = None  # the hash the store gives
    actual: Optional[bytes] = None  # the hash of the archive outside the store's exclusions
    exclusions: List[Range] = dataclasses.field(default_factory=list)  # the store's
    record: Optional[Range] = None  # where the manifest store record stands, when it has a range of its own
    manifest: str = ""  # the active manifest's label

    @property
    def ok(self) -> bool:
        return not self.verdict.fails

    def line(self) -> str:
        return f"binding {self.verdict.value}" + (f": {self.reason}" if self.reason else "")

    def details(self) -> List[str]:
        """Expected and actual hash and the ranges, as far as they are known."""
        shown = []
        if self.manifest:
            shown.append(f"active manifest: {self.manifest if self.manifest.isprintable() else ascii(self.manifest)}")
        if self.expected is not None:
            shown.append(f"expected {self.alg or 'hash'}: {self.expected.hex()}")
        if self.actual is not None:
            shown.append(f"actual {self.alg}: {self.actual.hex()}")
        if self.exclusions:
            shown.append(f"exclusions: {shown_ranges(self.exclusions)}")
        if self.record is not None:
            shown.append(f"manifest store record: {shown_range(self.record)}")
        return shown


class _Refused(Exception):
    """Ends verify() early with a verdict."""

    def __init__(self, verdict: Verdict, reason: str) -> None:
        super().__init__(reason)
        self.verdict, self.reason = verdict, reason


def shown_range(found: Range) -> str:
    return f"[{cbor.shown(found[0])}, +{cbor.shown(found[1])}]"


SHOWN_RANGES = 4  # a line names at most this many of a store's ranges (it may hold thousands)


def shown_ranges(ranges: List[Range]) -> str:
    shown = ", ".join(shown_range(r) for r in ranges[:SHOWN_RANGES])
    return shown if len(ranges) <= SHOWN_RANGES else f"{shown} and {len(ranges) - SHOWN_RANGES:,} more"


# ---------------------------------------------------------------------------- the store's data hash


@dataclasses.dataclass
class _Claimed:
    """What the active manifest says about the archive's bytes."""

    alg: str
    hash: bytes
    exclusions: Optional[List[Range]]  # None: the assertion has none


def _claimed(store: bytes, binding: Binding) -> _Claimed:
    """The active manifest's data hash, read and checked; _Refused for every verdict reached on the way."""
    view = memoryview(store)
    with _broken_is_malformed():
        active = _active_manifest(view, binding)
        parts = jumbf.manifest_parts(view, active)
        assertion = _data_hash_assertion(jumbf.sub_superboxes(view, parts.assertion_store))
        fields = _data_hash_fields(cbor.decode(jumbf.content(view, assertion)))
        claim_alg, references = _claim(parts.claim, parts.claim_label, _urls_of(active.label, assertion.label or ""))
    alg = _algorithm(fields.get("alg"), claim_alg, "the data hash")
    size = hashlib.new(alg).digest_size
    binding.alg, binding.expected = alg, fields["hash"] if len(fields["hash"]) == size else None
    exclusions = fields.get("exclusions")
    binding.exclusions = exclusions or []
    if exclusions is not None and all(r == (0, 0) for r in exclusions):
        raise _Refused(Verdict.PLACEHOLDER, "")  # whatever its hash holds: the signer has not written it yet
    if binding.expected is None:
        raise _malformed(f"the data hash's hash is {len(fields['hash']):,} bytes, and a {alg} hash is {size}")
    _check_reference(references, jumbf.hashed_bytes(view, assertion), claim_alg)
    return _Claimed(alg, fields["hash"], exclusions)


@contextlib.contextmanager
def _broken_is_malformed() -> Iterator[None]:
    """A store's broken boxes or CBOR, as the verdict they get."""
    try:
        yield
    except JumbfError as error:
        raise _Refused(Verdict.MALFORMED, f"the store's boxes: {error}") from None
    except CborError as error:
        raise _Refused(Verdict.MALFORMED, f"the store's CBOR: {error}") from None


def _active_manifest(store: memoryview, binding: Binding) -> jumbf.Manifest:
    """The last manifest of the store, when it is a standard one."""
    try:
        active = jumbf.active_manifest(store)
    except NotAStore as error:
        raise _Refused(Verdict.NOT_C2PA, str(error)) from None
    if active is None:
        raise _Refused(Verdict.NO_DATA_HASH, "the store holds no manifest")
    binding.manifest = active.label
    if active.kind == "update":
        raise _Refused(Verdict.UPDATE_MANIFEST, "the active manifest binds through the one it updates, which this tool does not follow")
    if active.kind == "compressed":
        raise _Refused(Verdict.NO_DATA_HASH, "the active manifest is compressed, and a compressed one carries no data hash")
    return active


def _data_hash_assertion(assertions: Iterator[jumbf.Superbox]) -> jumbf.Superbox:
    """The manifest's one hard binding, when it is a data hash. Assertions are
    walked, not kept: a store of millions of them takes no memory for them."""
    found: List[jumbf.Superbox] = []
    for assertion in assertions:
        if assertion.base_label in HARD_BINDINGS:
            found.append(assertion)
            if len(found) > 1:
                raise _malformed(f"two hard bindings ({found[0].label}, {found[1].label}), and a manifest has one")
    if not found:
        raise _Refused(Verdict.NO_DATA_HASH, "the active manifest has no hard binding")
    if found[0].base_label != DATA_HASH:
        raise _Refused(Verdict.NO_DATA_HASH, f"its hard binding is {found[0].label}")
    return found[0]


def _data_hash_fields(value: Any) -> Dict[str, Any]:
    """The data hash map's fields this tool reads, each checked; _Refused (malformed) otherwise."""
    if not isinstance(value, dict):
        raise _malformed("the data hash assertion is not a CBOR map")
    fields: Dict[str, Any] = {}
    if "hash" not in value:
        raise _malformed("the data hash has no hash")
    fields["hash"] = _typed(value, "hash", bytes)
    if "alg" in value:
        fields["alg"] = _typed(value, "alg", str)
    for pad in ("pad", "pad2"):
        if pad in value and _typed(value, pad, bytes).strip(b"\x00"):
            raise _malformed(f"the data hash's {pad} holds bytes other than zero")
    if "pad" not in value:
        raise _malformed("the data hash has no pad")
    if "exclusions" in value:
        fields["exclusions"] = _exclusions(value["exclusions"])
    return fields


def _typed(value: Dict[Any, Any], key: str, kind: type) -> Any:
    if not isinstance(value[key], kind):
        raise _malformed(f"the data hash's {key} is not a {'byte' if kind is bytes else 'text'} string")
    return value[key]


def _exclusions(value: Any) -> List[Range]:
    """The exclusions as ranges: whole non-negative numbers, sorted, not overlapping (touching is fine)."""
    if not isinstance(value, list) or not value:
        raise _malformed("the exclusions are not a list of ranges")
    ranges: List[Range] = []
    for n, item in enumerate(value):
        if not isinstance(item, dict) or "start" not in item or "length" not in item:
            raise _malformed(f"exclusion {n} is not a map with a start and a length")
        start, length = item["start"], item["length"]
        for name, number in (("start", start), ("length", length)):
            if not isinstance(number, int) or isinstance(number, bool):
                raise _malformed(f"exclusion {n} has a {name} that is not an integer ({type(number).__name__})")
            if number < 0:
                raise _malformed(f"exclusion {n} has a negative {name} ({cbor.shown(number)})")
        if ranges and ranges[-1][0] + ranges[-1][1] > start:
            raise _malformed(
                f"exclusions {n - 1} and {n} overlap or are out of order: {shown_range(ranges[-1])}, {shown_range((start, length))}"
            )
        ranges.append((start, length))
    return ranges


def _claim(claim: memoryview, label: str, urls: Set[str]) -> Tuple[Optional[str], List[Dict[Any, Any]]]:
    """The claim's alg and its references to the data hash assertion, read
    item by item: nothing else in the claim is decoded."""
    if label not in REFERENCE_LISTS:
        raise _malformed(f"the claim is labelled {cbor.shown(label)}, and a claim is {' or '.join(REFERENCE_LISTS)}")
    lists = REFERENCE_LISTS[label]
    reader = cbor.Reader(claim)
    alg: Optional[str] = None
    references: List[Dict[Any, Any]] = []
    for key in cbor.keys_of(reader):
        if key == "alg":
            alg = reader.value(1)
            if not isinstance(alg, str):
                raise _malformed("the claim's alg is not a text string")
        elif key in lists:
            for _ in reader.items(cbor.ARRAY, 1):
                reference = reader.value(2)
                if not isinstance(reference, dict) or not isinstance(reference.get("url"), str):
                    raise _malformed(f"the claim's {key} holds a reference that is not a hashed URI")
                if ".." in reference["url"].partition("#jumbf=")[2].split("/"):  # forbidden: readers would resolve it apart
                    raise _malformed(f"the claim's {key} holds the URI {cbor.shown(reference['url'])}, and a URI may not go up (..)")
                if reference["url"] in urls:
                    references.append(reference)
        else:
            reader.skip(1)
    if not reader.at_end():
        raise _malformed("the claim's CBOR has bytes after its map")
    return alg, references


def _urls_of(manifest: str, assertion: str) -> Set[str]:
    """How a claim may point at an assertion of its own manifest: relative to it, or to the store."""
    return {f"self#jumbf=c2pa.assertions/{assertion}", f"self#jumbf=/c2pa/{manifest}/c2pa.assertions/{assertion}"}


def _check_reference(references: List[Dict[Any, Any]], hashed: memoryview, claim_alg: Optional[str]) -> None:
    """The claim's hashed URI of the data hash assertion must be that assertion's hash."""
    if not references:
        raise _Refused(Verdict.MISMATCH, f"the claim does not reference the {DATA_HASH} assertion, so it does not cover it")
    if len(references) > 1:
        raise _malformed(f"the claim references the {DATA_HASH} assertion {len(references)} times")
    reference = references[0]
    alg = _algorithm(reference.get("alg"), claim_alg, "the claim's hashed URI")
    if not isinstance(reference.get("hash"), bytes):
        raise _malformed("the claim's hashed URI of the data hash has no hash")
    if hashlib.new(alg, hashed).digest() != reference["hash"]:
        raise _Refused(Verdict.MISMATCH, f"the claim's hashed URI of the {DATA_HASH} assertion does not match it")


def _algorithm(own: Any, claim_alg: Optional[str], what: str) -> str:
    """The algorithm `what` names, else the claim's. One it names is used
    whatever it is: an empty or false one is not the claim's (and is refused)."""
    name = claim_alg if own is None else own
    if name is None:
        raise _malformed(f"{what} names no algorithm, nor does the claim")
    if name not in ALGORITHMS:
        raise _malformed(f"{what} uses the algorithm {cbor.shown(name)}, and only {', '.join(ALGORITHMS)} are allowed")
    return str(name)


def _malformed(reason: str) -> _Refused:
    return _Refused(Verdict.MALFORMED, reason)


# ---------------------------------------------------------------------------- verifying


def verify(stream: IO[bytes], record: Optional[Range], store: bytes, size: Optional[int] = None) -> Binding:
    """The binding of `store` to the archive `stream` (read by position, not
    moved), whose manifest store record stands at `record` (None: it shares a
    gzip member, so no range holds it alone). `size` defaults to the stream's."""
    binding = Binding(Verdict.MATCH, record=record)
    try:
        claimed = _claimed(store, binding)
        size = stream_size(stream) if size is None else size
        exclusions = claimed.exclusions or []
        past_end = next((r for r in exclusions if r[0] + r[1] > size), None)
        if past_end is not None:
            raise _Refused(Verdict.MISMATCH, f"the exclusion {shown_range(past_end)} ends past the end of the archive ({size:,} bytes)")
        binding.actual = hash_except(stream, size, exclusions, claimed.alg)
        if record is None or exclusions != [record]:
            raise _Refused(Verdict.NOT_THE_RECORD, _not_the_record(claimed.exclusions, record))
        if binding.actual != claimed.hash:
            raise _Refused(Verdict.MISMATCH, f"the archive's bytes outside {shown_range(record)} hash otherwise than the store says")
        binding.reason = f"{claimed.alg} of every byte outside the manifest store record {shown_range(record)}"
    except _Refused as refused:
        binding.verdict, binding.reason = refused.verdict, refused.reason
    return binding


def _not_the_record(exclusions: Optional[List[Range]], record: Optional[Range]) -> str:
    theirs = shown_ranges(exclusions) if exclusions else "nothing"
    if record is None:
        return f"the store excludes {theirs}, and the manifest store record shares a gzip member, so no range holds it alone"
    return f"the store excludes {theirs}, and the manifest store record stands at {shown_range(record)}"


# ---------------------------------------------------------------------------- hashing


@dataclasses.dataclass
class DataHash:
    """The data hash of an archive, as `vellumark hash` prints it."""

    alg: str
    digest: bytes
    exclusions: List[Range]

    @property
    def hash(self) -> str:
        """Standard base64, as a signer's tools take it."""
        return base64.b64encode(self.digest).decode("ascii")

    @property
    def hash_hex(self) -> str:
        return self.digest.hex()

    def fields(self) -> Dict[str, Any]:
        return {"alg": self.alg, "hash": self.hash, "hash_hex": self.hash_hex,
                "exclusions": [{"start": start, "length": length} for start, length in self.exclusions]}


def data_hash_of(stream: IO[bytes], record: Range, alg: str = "sha256", size: Optional[int] = None) -> DataHash:
    """The data hash of the archive `stream` with the record at `record` excluded."""
    if alg not in ALGORITHMS:
        raise ValueError(f"the algorithm {alg!r} is not one of {', '.join(ALGORITHMS)}")
    size = stream_size(stream) if size is None else size
    return DataHash(alg, hash_except(stream, size, [record], alg), [record])


def hash_except(stream: IO[bytes], size: int, exclusions: List[Range], alg: str) -> bytes:
    """The hash of the first `size` bytes of `stream` outside the ranges
    (sorted, not overlapping, inside the size), streamed in CHUNKs."""
    hasher = hashlib.new(alg)
    at = 0
    for start, length in [*exclusions, (size, 0)]:
        for chunk in _chunks(stream, at, start):
            hasher.update(chunk)
        at = start + length
    return hasher.digest()


def _chunks(stream: IO[bytes], start: int, end: int) -> Iterator[Union[bytes, memoryview]]:
    """The bytes of a stream from `start` to `end`, read by position: into
    one reused buffer where the stream is a file, else as the stream reads
    them (its position is put back)."""
    fd = _descriptor(stream)
    buffer = memoryview(bytearray(min(CHUNK, max(end - start, 0)))) if fd >= 0 else None
    position = stream.tell() if buffer is None else 0
    at = start
    try:
        while at < end:
            size = min(CHUNK, end - at)
            if buffer is not None:
                chunk: Union[bytes, memoryview] = buffer[: os.preadv(fd, [buffer[:size]], at)]
            else:
                stream.seek(at)
                chunk = stream.read(size)
            if not chunk:
                raise ArchiveError(f"the archive ended at offset {at:,} while it was being hashed")
            yield chunk
            at += len(chunk)
    finally:
        if buffer is None:
            stream.seek(position)


def stream_size(stream: IO[bytes]) -> int:
    fd = _descriptor(stream)
    if fd >= 0:
        status = os.fstat(fd)
        if stat.S_ISREG(status.st_mode):
            return status.st_size
    position = stream.tell()
    try:
        return stream.seek(0, os.SEEK_END)
    finally:
        stream.seek(position)


def _descriptor(stream: Any) -> int:
    try:
        fd: int = stream.fileno()
        return fd if hasattr(os, "preadv") else -1
    except (OSError, AttributeError, ValueError):
        return -1


# ---------------------------------------------------------------------------- a member whose length follows from its data's


STORED_BLOCK = 0xFFFF  # the most a stored deflate block holds
_GZIP_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"  # deflate, no flags, mtime 0, no extra flags, OS unknown


def stored_member(data: Union[bytes, memoryview]) -> Iterator[Union[bytes, memoryview]]:
    """`data` as one gzip member of stored deflate blocks, in parts (the data
    is borrowed, not copied). Its length is stored_member_length(len(data)),
    whatever the bytes: what keeps a manifest store record's range in place
    when its store is replaced by another of the same size."""
    view = memoryview(data)
    yield _GZIP_HEADER
    at = 0
    while True:
        block = view[at : at + STORED_BLOCK]
        at += len(block)
        final = at >= len(view)
        yield struct.pack("<BHH", final, len(block), len(block) ^ 0xFFFF)
        yield block
        if final:
            break
    yield struct.pack("<LL", zlib.crc32(view), len(view) & 0xFFFFFFFF)


def stored_member_length(size: int) -> int:
    blocks = max(1, -(-size // STORED_BLOCK))
    return len(_GZIP_HEADER) + 5 * blocks + size + 8
