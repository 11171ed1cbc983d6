"""WARC-Block-Digest and WARC-Payload-Digest, checked as warcio and FastWARC
check them: "algorithm:value", the value in base32 (what crawlers write), hex
or base64; the payload of an HTTP record is what follows its HTTP headers."""

from __future__ import annotations

import base64
import binascii
import hashlib
import re
from typing import Any, Callable, Dict, List, Optional, Tuple

HTTP_RECORDS = ("response", "request", "revisit")
HTTP_SCHEMES = ("http:", "https:")


def decoded(value: str, size: int) -> Optional[bytes]:
    """The digest bytes of a value written in base32, hex or base64, or None."""
    text = value.strip()
    candidates: List[Callable[[], bytes]] = []
    if re.fullmatch(r"[A-Za-z2-7]+=*", text):
        bare = text.rstrip("=").upper()
        candidates.append(lambda: base64.b32decode(bare + "=" * (-len(bare) % 8)))
    if re.fullmatch(r"[0-9A-Fa-f]+", text):
        candidates.append(lambda: bytes.fromhex(text))
    if re.fullmatch(r"[A-Za-z0-9+/_-]+=*", text):
        candidates.append(lambda: base64.b64decode(text + "=" * (-len(text) % 4), altchars=b"-_" if "-" in text or "_" in text else None))
    for decode in candidates:
        try:
            digest = decode()
        except (binascii.Error, ValueError):
            continue
        if len(digest) == size:
            return digest
    return None


def hash_named(algorithm: str) -> Optional["hashlib._Hash"]:
    """A new hash of a hashlib algorithm name, or None for a name it does not
    know (a NUL in it too) or a hash of no fixed length (shake_128), which no
    digest value can be checked against."""
    try:
        found = hashlib.new(algorithm)
    except (ValueError, TypeError):  # TypeError: a NUL in the name
        return None
    return found if found.digest_size else None


def _algorithm(name: str) -> Optional["hashlib._Hash"]:
    """As WARC writers name a hash: any case, with or without a dash (SHA-1)."""
    return hash_named(name.strip().lower().replace("-", ""))


class _PayloadStart:
    """Finds where the payload of an HTTP message starts as its block comes in
    pieces: after the first line that is blank but for white space (none: the
    payload is empty)."""

    def __init__(self) -> None:
        self.found = False
        self._blank = True  # the line read so far is white space only

    def feed(self, piece: bytes) -> Optional[int]:
        """Where in `piece` the payload starts, when it starts in it."""
        pos = 0
        while True:
            line_end = piece.find(b"\n", pos)
            stop = len(piece) if line_end < 0 else line_end + 1
            if self._blank and piece[pos:stop].strip():
                self._blank = False
            if line_end < 0:
                return None
            if self._blank:
                self.found = True
                return stop
            self._blank, pos = True, stop


def verify(headers: Dict[str, str], body: Any) -> Tuple[int, List[str]]:
    """How many digests a record declares that were checked, and what is wrong
    with them (nothing when they are true), as warcio's check sees it: a
    revisit's digests describe another record and are not checked, nor is
    the payload digest of a segment. `body` is read in pieces (read(n)), each
    hashed as it comes, so a body of any size is checked in bounded memory."""
    kind = headers.get("warc-type", "")
    if kind == "revisit":
        return 0, []
    block = _Digest.of(headers.get("warc-block-digest"), "block")
    payload = None if "warc-segment-number" in headers else _Digest.of(headers.get("warc-payload-digest"), "payload")
    uri = headers.get("warc-target-uri", "")
    if uri.startswith("<") and uri.endswith(">"):  # as Wget 1.19 and 1.20 write it: the payload is the same
        uri = uri[1:-1]
    start = _PayloadStart() if payload is not None and kind in HTTP_RECORDS and uri.startswith(HTTP_SCHEMES) else None
    for piece in iter(lambda: body.read(1 << 20), b""):
        if block is not None:
            block.update(piece)
        if payload is None:
            continue
        if start is None or start.found:
            payload.update(piece)
            continue
        at = start.feed(piece)
        if at is not None:
            payload.update(memoryview(piece)[at:])
    digests = [digest for digest in (block, payload) if digest is not None]
    return len(digests), [problem for digest in digests for problem in digest.problems()]


class _Digest:
    """A declared digest and the hash that checks it."""

    def __init__(self, declared: str, what: str) -> None:
        self.declared, self.what = declared, what
        name, colon, self.value = declared.partition(":")
        self.name = name
        self.hasher = _algorithm(name) if colon else None

    @classmethod
    def of(cls, declared: Optional[str], what: str) -> "Optional[_Digest]":
        return None if declared is None else cls(declared, what)

    def update(self, data: Any) -> None:
        if self.hasher is not None:
            self.hasher.update(data)

    def problems(self) -> List[str]:
        if self.hasher is None:
            return [f"unknown hash algorithm in the {self.what} digest {self.declared!r}"]
        expected = decoded(self.value, self.hasher.digest_size)
        if expected is None:
            return [f"the {self.what} digest {self.declared!r} is not a {self.name} value in base32, hex or base64"]
        if self.hasher.digest() != expected:
            return [f"{self.what} digest {self.declared} does not match"]
        return []


def declares_digest(headers: Dict[str, str]) -> bool:
    return "warc-block-digest" in headers or "warc-payload-digest" in headers
