"""WARC-Block-Digest and WARC-Payload-Digest, checked as warcio and FastWARC
check them: "algorithm:value", the value in base32 (what crawlers write), hex
or base64; the payload of an HTTP record is what follows its HTTP headers."""

from __future__ import annotations

import base64
import binascii
import hashlib
import re
from typing import Callable, Dict, List, Optional, Tuple

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


def http_payload_start(block: bytes) -> int:
    """Where the payload starts after the status line and headers of an HTTP
    message: after the first line that is blank but for white space."""
    pos, size = 0, len(block)
    while pos < size:
        line_end = block.find(b"\n", pos)
        line_end = size if line_end < 0 else line_end + 1
        blank = not block[pos:line_end].strip()
        pos = line_end
        if blank:
            return pos
    return size


def verify(headers: Dict[str, str], body: bytes) -> Tuple[int, List[str]]:
    """How many digests a record declares that were checked, and what is wrong
    with them (nothing when they are true), as warcio's check sees it: a
    revisit's digests describe another record and are not checked, nor is
    the payload digest of a segment."""
    checked, found = 0, []  # type: Tuple[int, List[str]]
    kind = headers.get("warc-type", "")
    if kind == "revisit":
        return checked, found
    block_digest = headers.get("warc-block-digest")
    if block_digest is not None:
        checked += 1
        found += _check(block_digest, body, "block")
    payload_digest = headers.get("warc-payload-digest")
    if payload_digest is not None and "warc-segment-number" not in headers:
        start = 0
        if body and kind in HTTP_RECORDS and headers.get("warc-target-uri", "").startswith(HTTP_SCHEMES):
            start = http_payload_start(body)
        checked += 1
        found += _check(payload_digest, memoryview(body)[start:], "payload")
    return checked, found


def _check(declared: str, data: "bytes | memoryview", what: str) -> List[str]:
    name, colon, value = declared.partition(":")
    hasher = _algorithm(name) if colon else None
    if hasher is None:
        return [f"unknown hash algorithm in the {what} digest {declared!r}"]
    expected = decoded(value, hasher.digest_size)
    if expected is None:
        return [f"the {what} digest {declared!r} is not a {name} value in base32, hex or base64"]
    hasher.update(data)
    if hasher.digest() != expected:
        return [f"{what} digest {declared} does not match"]
    return []


def declares_digest(headers: Dict[str, str]) -> bool:
    return "warc-block-digest" in headers or "warc-payload-digest" in headers
