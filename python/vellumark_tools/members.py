"""The gzip members of a .warc.gz file, inflated one at a time.

Crawlers gzip every record as a gzip member of its own, and indexes (CDX,
CDXJ) point into the file by the compressed offset of that member, so a
.warc.gz is read member by member, with each member's offset and length.
Going member by member also keeps the time linear (gzip.decompress copies the
rest of the file once per member, which is quadratic) and the memory bounded:
input is fed in slices and output taken in pieces of at most PIECE bytes, so
no member, however far it inflates, is held whole here. python-isal inflates
about twice as fast as zlib and is used when installed
(pip install 'vellumark[fast-gzip]').
"""

from __future__ import annotations

import importlib
import zlib
from typing import Any, Callable, Dict, Generator, Iterator, List, NamedTuple, Optional

from .errors import ArchiveError

isal_zlib: Any
try:  # the faster inflater, when installed
    isal_zlib = importlib.import_module("isal.isal_zlib")
except ImportError:
    isal_zlib = None

GZIP_MAGIC = b"\x1f\x8b"
BLOCK = 1 << 20  # bytes read from the file at a time
PIECE = 1 << 20  # at most this much inflated output is handed on at a time: memory for a member that holds many records
FIRST_SLICE = 1 << 10  # the least input fed to an inflater at once; slices double while a member goes on
LAST_SLICE = 1 << 20
DEFAULT_MEMBER_LIMIT = 4 << 30  # far above any real record; a gzip bomb stops here

Read = Callable[[int], bytes]


def inflaters() -> Dict[str, Any]:
    """The zlib-compatible modules at hand: {"zlib": zlib} and, when installed, "isal"."""
    found: Dict[str, Any] = {"zlib": zlib}
    if isal_zlib is not None:
        found["isal"] = isal_zlib
    return found


def default_inflater() -> Any:
    return isal_zlib if isal_zlib is not None else zlib


def inflater_name(inflater: Any) -> str:
    return "isal" if inflater is not None and inflater is isal_zlib else "zlib"


class Piece(NamedTuple):
    """The next stretch of inflated data, from the gzip member at compressed
    `offset`. `length`, the member's compressed length, is set on the piece
    that ends the member: most members come as one piece, which does."""

    data: bytes
    offset: int
    length: Optional[int]


class MemberReader:
    """Inflates the gzip members of a stream in order. After the iteration,
    `end` is where the last member ends: trailing zero bytes after it (padding,
    which gzip itself accepts) are not part of the data."""

    def __init__(self, read: Read, inflater: Any = None, member_limit: int = DEFAULT_MEMBER_LIMIT) -> None:
        self._read = read
        self._inflater = inflater or default_inflater()
        self._limit = member_limit
        self._block = memoryview(b"")
        self._pos = 0  # in the block
        self._block_offset = 0  # of the block in the file
        self.end = 0
        self.members = 0

    def pieces(self) -> Iterator[Piece]:
        new_inflater, inflate_error = self._inflater.decompressobj, self._inflater.error
        limit = self._limit
        first_slice = FIRST_SLICE
        # The loop runs once a member, tens of thousands of times a file: the
        # common case (a member that starts with the magic and ends within its
        # first slice) stays inline.
        while True:
            block, pos = self._block, self._pos
            if pos + 1 >= len(block) or block[pos] != 0x1F or block[pos + 1] != 0x8B:
                if not (self._fill() and self._at_member()):
                    return
                block, pos = self._block, self._pos
            offset = self._block_offset + pos
            decompressor = new_inflater(wbits=31)  # 31: a gzip header and trailer
            piece = block[pos : pos + first_slice]  # sized after the member before
            try:
                data = decompressor.decompress(piece, PIECE)
            except inflate_error as error:
                raise ArchiveError(f"corrupt gzip member at compressed offset {offset}: {error}") from None
            if decompressor.eof:
                self._pos = pos + len(piece) - len(decompressor.unused_data)
                if len(data) > limit:
                    self._check_limit(offset, len(data))
            else:
                self._pos = pos + len(piece) - len(decompressor.unconsumed_tail)
                data = yield from self._rest_of_member(decompressor, offset, first_slice * 2, data)
            self.end = end = self._block_offset + self._pos
            self.members += 1
            length = end - offset
            first_slice = max(FIRST_SLICE, min(LAST_SLICE, length + (length >> 1) + 1024))
            yield _piece(Piece, (data, offset, length))

    def _rest_of_member(self, decompressor: Any, offset: int, step: int, first: bytes) -> Generator[Piece, None, bytes]:
        """Inflates a member that goes on past its first slice, handing on
        pieces of at most PIECE bytes; returns the output of its last piece."""
        out, held, inflated = [first], len(first), len(first)
        for data in self._inflate(decompressor, offset, step):
            inflated += len(data)
            self._check_limit(offset, inflated)
            if held + len(data) > PIECE:
                yield Piece(_joined(out), offset, None)
                out, held = [], 0
            out.append(data)
            held += len(data)
        return _joined(out)

    def _check_limit(self, offset: int, inflated: int) -> None:
        if inflated > self._limit:
            raise ArchiveError(
                f"the gzip member at compressed offset {offset} inflates to more than {self._limit:,} bytes, "
                "the limit for one member (a gzip bomb; the limit can be raised)"
            )

    def _inflate(self, decompressor: Any, offset: int, step: int) -> Iterator[bytes]:
        """The output of one member, in bounded pieces, until its end."""
        decompress = decompressor.decompress
        block, pos = self._block, self._pos
        while True:
            if pos == len(block):
                self._pos = pos
                if not self._fill():
                    yield from self._drain(decompressor, offset)
                    return
                block, pos = self._block, self._pos
            piece = block[pos : pos + step]
            try:
                data = decompress(piece, PIECE)
            except self._inflater.error as error:
                raise ArchiveError(f"corrupt gzip member at compressed offset {offset}: {error}") from None
            if decompressor.eof:
                self._pos = pos + len(piece) - len(decompressor.unused_data)
                yield data
                return
            pos += len(piece) - len(decompressor.unconsumed_tail)
            step = min(step * 2, LAST_SLICE)
            if data:
                yield data

    def _drain(self, decompressor: Any, offset: int) -> Iterator[bytes]:
        """At the end of the file: output the inflater still holds, then the member must be complete."""
        while not decompressor.eof:
            data = decompressor.decompress(b"", PIECE)
            if not data:
                raise ArchiveError(f"truncated gzip member at compressed offset {offset}: the file ends inside it")
            yield data

    def _fill(self) -> bool:
        """Makes input available at _pos; False at the end of the file."""
        if self._pos < len(self._block):
            return True
        self._block_offset += len(self._block)
        self._block, self._pos = memoryview(self._read(BLOCK)), 0
        return len(self._block) > 0

    def _at_member(self) -> bool:
        """True at the start of a member; False at zero bytes that run to the
        end of the file (padding); ArchiveError for anything else."""
        block, pos = self._block, self._pos
        if pos + 1 < len(block) and block[pos] == 0x1F and block[pos + 1] == 0x8B:
            return True
        if pos + 1 == len(block):  # the magic may straddle two blocks
            more = self._read(BLOCK)
            self._block_offset += pos
            self._block, self._pos = memoryview(bytes(block[pos:]) + more), 0
            if more:
                return self._at_member()
        if self._block[self._pos] == 0 and self._only_zeros_follow():
            return False
        shown = bytes(self._block[self._pos : self._pos + 8])
        raise ArchiveError(f"not gzip data at compressed offset {self._block_offset + self._pos} ({shown!r})")

    def _only_zeros_follow(self) -> bool:
        """Whether the rest of the file is zero bytes; if so, consumes it."""
        while True:
            if bytes(self._block[self._pos :]).strip(b"\x00"):
                return False
            self._pos = len(self._block)
            if not self._fill():
                return True


_piece = tuple.__new__  # a Piece without NamedTuple's slower constructor, in the loop above


def _joined(out: List[bytes]) -> bytes:
    return out[0] if len(out) == 1 else b"".join(out)


def iter_members(read: Read, inflater: Any = None, member_limit: int = DEFAULT_MEMBER_LIMIT) -> Iterator[Piece]:
    """The inflated pieces of the gzip members that `read` reads (see MemberReader)."""
    return MemberReader(read, inflater, member_limit).pieces()
