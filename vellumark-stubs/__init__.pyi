# Types of the vellumark extension module. A stub-only package, because type
# checkers ignore a lone .pyi beside a single-file extension module.

from typing import Dict, List, Optional, TypedDict

__version__: str
__all__: List[str]

class WarcRecord(TypedDict):
    """One record of an archive, as read_records returns it."""

    headers: Dict[str, str]
    """Header names lower-cased; a name that stands twice keeps its later value."""
    body: bytes
    """The content block, exactly Content-Length bytes."""
    offset: int
    """Position of the record's "WARC/1.1" line in the archive."""
    length: int
    """Bytes from offset through the record separator."""

def append_manifest(warc: bytes, manifest: bytes, record_id: str) -> bytes:
    """Append a C2PA Manifest Store to a WARC archive as a new record."""

def read_manifest(warc: bytes) -> Optional[bytes]:
    """Read the embedded C2PA Manifest Store, or `None` when the archive carries
    no provenance."""

def read_records(warc: bytes) -> List[WarcRecord]:
    """Every record in the archive, as a list of dicts with `headers`, `body`,
    `offset`, and `length`."""

def build_record(
    warc_type: str, content_type: str, record_id: str, body: bytes, target_uri: str | None = None
) -> bytes:
    """Build a single WARC record."""
