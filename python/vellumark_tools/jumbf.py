"""The JUMBF boxes of a C2PA manifest store, walked as an ISO BMFF reader
walks boxes: each box's length bounded by its container (LBox 0: to the
container's end; LBox 1: a 64-bit XLBox follows), superboxes nested at most
MAX_DEPTH deep, boxes of unknown types stepped over by their length.

A store is input from anyone: active_manifest() checks the whole tree once
(linear in the store, memory flat) before anything is looked up, and every
refusal is a JumbfError naming the box and its offset in the store. Nothing
is copied: boxes are offsets into the caller's bytes.
"""

from __future__ import annotations

import dataclasses
import re
import struct
from typing import Dict, Iterator, List, NamedTuple, Optional, Union

MAX_DEPTH = 16  # a manifest store nests five deep (store, manifest, assertion store, assertion, content)

SUPERBOX, DESCRIPTION = b"jumb", b"jumd"
LABEL_PRESENT, ID_PRESENT, SIGNATURE_PRESENT, PRIVATE_PRESENT = 0x02, 0x04, 0x08, 0x10
C2PA_UUID_TAIL = bytes.fromhex("00110010800000aa00389b71")  # every C2PA box type is FOURCC + this


def c2pa_type(fourcc: bytes) -> bytes:
    return fourcc + C2PA_UUID_TAIL


STORE = c2pa_type(b"c2pa")
MANIFESTS = {c2pa_type(b"c2ma"): "standard", c2pa_type(b"c2md"): "standard (legacy type)",
             c2pa_type(b"c2um"): "update", c2pa_type(b"c2cm"): "compressed"}
ASSERTION_STORE, CLAIM, CLAIM_SIGNATURE = c2pa_type(b"c2as"), c2pa_type(b"c2cl"), c2pa_type(b"c2cs")
CBOR_BOX = b"cbor"
_SUFFIX = re.compile(r"__[0-9]+$")  # a repeated assertion's label: c2pa.metadata__1
# Not in a label: control characters, and what would end or split the URIs that name boxes by their labels.
_NOT_IN_LABELS = re.compile("[\x00-\x1f\x7f-\x9f/;?#\ufeff\uffff]")
_HEADER, _XLBOX = struct.Struct(">I4s"), struct.Struct(">Q")  # LBox and TBox; XLBox

Data = Union[bytes, memoryview]


class JumbfError(ValueError):
    """A store whose boxes are broken: one line, with the offset in the store."""


class NotAStore(ValueError):
    """Bytes that do not begin as a JUMBF superbox, or one that is not a C2PA manifest store."""


class Box(NamedTuple):
    kind: bytes  # TBox
    start: int  # of its header, in the store
    payload: int  # where its payload starts
    end: int


class Superbox(NamedTuple):
    box: Box
    type: bytes  # the 16-byte UUID of its description box
    label: Optional[str]
    contents: int  # where the boxes after its description start

    @property
    def base_label(self) -> str:
        """Its label without a repeat suffix (__1, __2 ...)."""
        return _SUFFIX.sub("", self.label or "")


def boxes(data: Data, start: int, end: int) -> Iterator[Box]:
    """The boxes from `start` to `end` (a container's payload), in order."""
    at = start
    while at < end:
        left = end - at
        if left < 8:
            raise JumbfError(f"{left} bytes at offset {at}, too few for a box header")
        length, kind = _HEADER.unpack_from(data, at)
        header = 8
        if length == 1:
            if left < 16:
                raise JumbfError(f"the box {_fourcc(kind)} at offset {at} has LBox 1 and no room for its XLBox")
            length, header = _XLBOX.unpack_from(data, at + 8)[0], 16
        elif length == 0:
            length = left
        if length < header:
            raise JumbfError(f"the box {_fourcc(kind)} at offset {at} declares {length} bytes, fewer than its header")
        if length > left:
            raise JumbfError(f"the box {_fourcc(kind)} at offset {at} declares {length:,} bytes, past its container ({left:,} left)")
        yield Box(kind, at, at + header, at + length)
        at += length


def open_superbox(data: Data, box: Box) -> Superbox:
    """A superbox's description: the first box inside it, as it must be."""
    first = next(boxes(data, box.payload, box.end), None)
    if first is None or first.kind != DESCRIPTION:
        raise JumbfError(f"the superbox at offset {box.start} does not begin with a description box (jumd)")
    at, end = first.payload, first.end
    if end - at < 17:
        raise JumbfError(f"the description box at offset {first.start} is too short for a type and toggles")
    kind, toggles = bytes(data[at : at + 16]), data[at + 16]
    at += 17
    label = None
    if toggles & LABEL_PRESENT:
        terminator = bytes(data[at:end]).find(b"\x00")
        if terminator < 0:
            raise JumbfError(f"the label of the description box at offset {first.start} is not null-terminated")
        try:
            label = bytes(data[at : at + terminator]).decode("utf-8")
        except UnicodeDecodeError:
            raise JumbfError(f"the label of the description box at offset {first.start} is not UTF-8") from None
        forbidden = _NOT_IN_LABELS.search(label)
        if forbidden:
            raise JumbfError(f"the label of the description box at offset {first.start} holds U+{ord(forbidden.group()):04X}, "
                             "which a label may not")
        at += terminator + 1
    at += 4 if toggles & ID_PRESENT else 0
    at += 32 if toggles & SIGNATURE_PRESENT else 0
    if at > end:
        raise JumbfError(f"the description box at offset {first.start} ends inside its fields")
    if toggles & PRIVATE_PRESENT:
        for _ in boxes(data, at, end):  # the private box (a salt): bounded like any other
            pass
    return Superbox(box, kind, label, first.end)


def children(data: Data, superbox: Superbox) -> Iterator[Box]:
    """The boxes inside a superbox after its description."""
    return boxes(data, superbox.contents, superbox.box.end)


def sub_superboxes(data: Data, superbox: Superbox) -> Iterator[Superbox]:
    return (open_superbox(data, box) for box in children(data, superbox) if box.kind == SUPERBOX)


def _check_tree(data: Data, superbox: Superbox, depth: int) -> None:
    """Every box inside `superbox`, however deep, fits its container."""
    if depth >= MAX_DEPTH:
        raise JumbfError(f"superboxes nested more than {MAX_DEPTH} deep (at offset {superbox.box.start})")
    for inner in sub_superboxes(data, superbox):
        _check_tree(data, inner, depth + 1)


# ---------------------------------------------------------------------------- the store


@dataclasses.dataclass
class Manifest:
    superbox: Superbox
    kind: str  # "standard", "standard (legacy type)", "update", "compressed"

    @property
    def label(self) -> str:
        return self.superbox.label or ""


def active_manifest(data: Data) -> Optional[Manifest]:
    """The active manifest of a store: its last one (None when it holds none).
    NotAStore for bytes that do not begin as a C2PA manifest store superbox;
    JumbfError for one whose boxes are broken."""
    if len(data) < 8 or bytes(data[4:8]) != SUPERBOX:
        raise NotAStore("it does not begin as a JUMBF superbox")
    first = next(boxes(data, 0, len(data)))
    description = next(boxes(data, first.payload, first.end), None)  # its type, looked at before the rest
    if description is not None and description.kind == DESCRIPTION and description.end - description.payload >= 16:
        kind = bytes(data[description.payload : description.payload + 16])
        if kind != STORE:
            raise NotAStore(f"its superbox is of type {kind.hex()}")
    store = open_superbox(data, first)
    if bytes(data[first.end :]).strip(b"\x00"):
        raise JumbfError(f"{len(data) - first.end:,} bytes after the manifest store superbox that are not zero padding")
    _check_tree(data, store, 1)
    last = None
    for sub in sub_superboxes(data, store):
        if sub.type in MANIFESTS:
            last = sub  # only the last is kept: a store of thousands of manifests takes no memory for them
    return None if last is None else Manifest(last, MANIFESTS[last.type])


@dataclasses.dataclass
class Parts:
    """What the binding needs of a standard manifest."""

    assertion_store: Superbox  # its assertions: sub_superboxes() walks them, however many
    claim: memoryview  # the claim's CBOR
    claim_label: str


def manifest_parts(data: Data, manifest: Manifest) -> Parts:
    """The assertions and the claim of a standard manifest; JumbfError when it
    does not have exactly one assertion store and one claim."""
    view = memoryview(data)
    found: Dict[bytes, List[Superbox]] = {ASSERTION_STORE: [], CLAIM: []}
    for sub in sub_superboxes(data, manifest.superbox):
        if sub.type in found:
            found[sub.type].append(sub)
    where = f"the manifest {manifest.label!r}"
    for kind, name in ((ASSERTION_STORE, "assertion store"), (CLAIM, "claim")):
        if len(found[kind]) != 1:
            raise JumbfError(f"{where} has {len(found[kind])} {name}s, and a manifest has one")
    claim = found[CLAIM][0]
    return Parts(found[ASSERTION_STORE][0], content(view, claim), claim.label or "")


def content(data: memoryview, superbox: Superbox) -> memoryview:
    """The payload of the CBOR box a claim or an assertion holds."""
    first = next(children(data, superbox), None)
    if first is None or first.kind != CBOR_BOX:
        raise JumbfError(f"{superbox.label or 'the superbox'!r} at offset {superbox.box.start} holds no CBOR box")
    return data[first.payload : first.end]


def hashed_bytes(data: memoryview, superbox: Superbox) -> memoryview:
    """What a hashed URI of an assertion covers: its superbox without the superbox's own header."""
    return data[superbox.box.payload : superbox.box.end]


def _fourcc(kind: bytes) -> str:
    return repr(kind.decode("latin-1"))
