"""A small CBOR reader for the parts of a manifest store the binding needs
(the data hash assertion, the claim's references to its assertions).

A store is input from anyone, so nothing here trusts a declared length: a
string's or a container's length is checked against the bytes left before
anything is allocated (every item takes at least one byte), nesting stops at
MAX_DEPTH, and a value that would decode to more than MAX_ITEMS items is
refused, so memory stays within a small multiple of the bytes read and time
is linear in them. Containers too large to decode whole are walked item by
item (`Reader.items`, `Reader.skip`). Integers of any size come back as
Python ints (bignums too), floats as floats, tags other than bignums as
Tagged, and false, true, null and undefined as False, True, None and None.
Duplicate map keys, unassigned simple values and reserved encodings are
refused: two readers could take them differently.
"""

from __future__ import annotations

import struct
from typing import Any, Dict, Iterator, NamedTuple, Optional, Tuple, Union

MAX_DEPTH = 32  # a data hash map nests three deep, a claim five
MAX_ITEMS = 100_000  # in one value decoded whole; far above any claim or assertion
MAX_HEADS = 1_000_000  # items read or stepped over in one reader: time stays bounded, whatever the size

UINT, NINT, BYTES, TEXT, ARRAY, MAP, TAG, SIMPLE = range(8)  # major types
INDEFINITE = 31
BREAK = 0xFF
POSITIVE_BIGNUM, NEGATIVE_BIGNUM = 2, 3
_FLOATS = {25: ">e", 26: ">f", 27: ">d"}
_SIMPLE = {20: False, 21: True, 22: None, 23: None}  # undefined reads as null: nothing here tells them apart

Data = Union[bytes, memoryview]


class CborError(ValueError):
    """Bytes that are not the CBOR they claim to be, with where it went wrong."""


class Tagged(NamedTuple):
    """A tagged value whose tag this reader does not interpret."""

    tag: int
    value: Any


class Reader:
    """CBOR items read in order from `data` (borrowed, never copied whole)."""

    def __init__(self, data: Data) -> None:
        self._data = memoryview(data)
        self.pos = 0
        self._items = 0
        self._heads = 0

    def at_end(self) -> bool:
        return self.pos == len(self._data)

    def value(self, depth: int = 0) -> Any:
        """The next item, decoded whole."""
        self._items = 0
        return self._value(depth)

    def skip(self, depth: int = 0) -> None:
        """Steps over the next item without building it (any size: memory stays flat)."""
        major, argument = self._head()
        if major in (BYTES, TEXT):
            self._string(major, argument, keep=False)
        elif major in (ARRAY, MAP):
            for _ in self._members(major, argument, depth):
                self.skip(depth + 1)
        elif major == TAG:
            self._nested(depth)
            self.skip(depth + 1)

    def items(self, major: int, depth: int = 0) -> Iterator[None]:
        """Walks an array (major ARRAY) or map (MAP) item by item: the caller
        reads or skips one item per step (a key, then its value, for a map).
        A map's keys are the caller's to keep apart."""
        start = self.pos
        found, argument = self._head()
        if found != major:
            raise self._error(f"expected {_NAMES[major]}, found {_NAMES[found]}", start)
        yield from self._members(major, argument, depth)

    # ------------------------------------------------------------------------ decoding

    def _value(self, depth: int) -> Any:
        start = self.pos
        self._items += 1
        if self._items > MAX_ITEMS:
            raise self._error(f"more than {MAX_ITEMS:,} items in one value", start)
        major, argument = self._head()
        if major == UINT:
            return self._defined(argument, start)
        if major == NINT:
            return -1 - self._defined(argument, start)
        if major in (BYTES, TEXT):
            return self._string(major, argument, keep=True)
        if major == ARRAY:
            return [self._value(depth + 1) for _ in self._members(ARRAY, argument, depth)]
        if major == MAP:
            return self._map(argument, depth)
        if major == TAG:
            return self._tagged(self._defined(argument, start), depth)
        return self._simple(argument, start)

    def _map(self, argument: Optional[int], depth: int) -> Dict[Any, Any]:
        result: Dict[Any, Any] = {}
        steps = self._members(MAP, argument, depth)
        for _ in steps:
            at = self.pos
            key = _key(self._value(depth + 1), result, at)
            next(steps)
            result[key] = self._value(depth + 1)
        return result

    def _tagged(self, tag: int, depth: int) -> Any:
        self._nested(depth)
        at = self.pos
        value = self._value(depth + 1)
        if tag in (POSITIVE_BIGNUM, NEGATIVE_BIGNUM):
            if not isinstance(value, bytes):
                raise self._error("a bignum that is not a byte string", at)
            number = int.from_bytes(value, "big")
            return number if tag == POSITIVE_BIGNUM else -1 - number
        return Tagged(tag, value)

    def _simple(self, argument: Optional[int], start: int) -> Any:
        code = self._data[start] & 0x1F
        if code in _FLOATS:
            return struct.unpack(_FLOATS[code], self._data[start + 1 : self.pos])[0]
        if argument is None:
            raise self._error("a break outside an indefinite-length item", start)
        if argument not in _SIMPLE:
            raise self._error(f"the unassigned simple value {argument}", start)
        return _SIMPLE[argument]

    def _string(self, major: int, argument: Optional[int], keep: bool) -> Any:
        if argument is None:  # indefinite length: definite chunks of the same type until a break
            chunks = []
            while not self._at_break():
                at = self.pos
                chunk_major, chunk_length = self._head()
                if chunk_major != major or chunk_length is None:
                    raise self._error(f"a chunk of an indefinite-length string that is not {_NAMES[major]} of definite length", at)
                chunks.append(self._take(chunk_length, keep))
            joined = b"".join(chunks) if keep else b""
        else:
            joined = self._take(argument, keep)
        if major == BYTES or not keep:
            return joined
        try:
            return joined.decode("utf-8")
        except UnicodeDecodeError:
            raise self._error("a text string that is not UTF-8", self.pos) from None

    # ------------------------------------------------------------------------ the encoding

    def _head(self) -> Tuple[int, Optional[int]]:
        """The next item's major type and argument (None: indefinite length,
        or a break); a float's argument is its bits, already stepped over."""
        start = self.pos
        if start >= len(self._data):
            raise self._error("the data ends where an item should start", start)
        self._heads += 1
        if self._heads > MAX_HEADS:
            raise self._error(f"more than {MAX_HEADS:,} items", start)
        initial = self._data[start]
        major, code = initial >> 5, initial & 0x1F
        self.pos += 1
        if code < 24:
            return major, code
        if code <= 27:
            size = 1 << (code - 24)
            if self.pos + size > len(self._data):
                raise self._error("the data ends inside an item's head", start)
            argument = int.from_bytes(self._data[self.pos : self.pos + size], "big")
            self.pos += size
            if major == SIMPLE and code == 24 and argument < 32:
                raise self._error(f"the simple value {argument} in two bytes", start)
            return major, argument
        if code == INDEFINITE and major in (BYTES, TEXT, ARRAY, MAP, SIMPLE):
            return major, None
        raise self._error(f"the reserved initial byte 0x{initial:02x}", start)

    def _members(self, major: int, argument: Optional[int], depth: int) -> Iterator[None]:
        """One step per item inside an array or map (two per map entry)."""
        self._nested(depth)
        if argument is None:
            count = 0
            while not self._at_break():
                count += 1
                yield
            if major == MAP and count % 2:
                raise self._error("an indefinite-length map with a key and no value", self.pos - 1)
            return
        count = argument * (2 if major == MAP else 1)
        if count > len(self._data) - self.pos:  # every item takes a byte at least
            raise self._error(f"{_NAMES[major]} of {argument:,} items in {len(self._data) - self.pos:,} bytes", self.pos)
        for _ in range(count):
            yield

    def _nested(self, depth: int) -> None:
        if depth >= MAX_DEPTH:
            raise self._error(f"items nested more than {MAX_DEPTH} deep", self.pos)

    def _at_break(self) -> bool:
        if self.pos >= len(self._data):
            raise self._error("the data ends inside an indefinite-length item", self.pos)
        if self._data[self.pos] == BREAK:
            self.pos += 1
            return True
        return False

    def _take(self, length: int, keep: bool) -> bytes:
        if length > len(self._data) - self.pos:
            raise self._error(f"a string of {length:,} bytes with {len(self._data) - self.pos:,} left", self.pos)
        start, self.pos = self.pos, self.pos + length
        return bytes(self._data[start : self.pos]) if keep else b""

    def _defined(self, argument: Optional[int], start: int) -> int:
        if argument is None:
            raise self._error("an integer or tag of indefinite length", start)
        return argument

    def _error(self, what: str, at: int) -> CborError:
        return CborError(f"{what} at byte {at}")


_NAMES = {UINT: "an integer", NINT: "an integer", BYTES: "a byte string", TEXT: "a text string", ARRAY: "an array",
          MAP: "a map", TAG: "a tag", SIMPLE: "a simple value or float"}


def _key(key: Any, seen: Dict[Any, Any], at: int) -> Any:
    """A map key, refused when it cannot be one (an array, a map) or comes twice."""
    try:
        twice = key in seen
    except TypeError:  # an array or a map, perhaps inside a tag
        raise CborError(f"a map key that is an array or a map at byte {at}") from None
    if twice:
        raise CborError(f"the map key {shown(key)} twice at byte {at}")
    return key


def shown(value: Any) -> str:
    """A decoded value for a message, short whatever its size: a number past
    64 bits by its size (writing out one of millions of digits takes seconds,
    and Python refuses past 4,300), a long string cut."""
    if isinstance(value, Tagged):
        return f"tag {value.tag} of {shown(value.value)}"
    if isinstance(value, int) and not isinstance(value, bool) and value.bit_length() > 64:
        return f"(a {value.bit_length()}-bit number)"
    text = repr(value[:40] if isinstance(value, (str, bytes)) else value)
    return text if len(text) <= 40 else text[:37] + "..."


def decode(data: Data) -> Any:
    """The one item `data` holds, decoded whole; CborError for anything else
    (bytes after it included)."""
    reader = Reader(data)
    value = reader.value()
    if not reader.at_end():
        left = len(data) - reader.pos
        raise CborError(f"{left:,} byte{'' if left == 1 else 's'} after the item at byte {reader.pos}")
    return value


def keys_of(reader: Reader, depth: int = 0) -> Iterator[Any]:
    """The keys of the map at the reader, one at a time; after each, the caller
    reads or skips its value. Keys are decoded whole (they are short); a key
    seen twice is refused."""
    seen: Dict[Any, None] = {}
    steps = reader.items(MAP, depth)
    for _ in steps:
        at = reader.pos
        key = _key(reader.value(depth + 1), seen, at)
        seen[key] = None
        next(steps)
        yield key
