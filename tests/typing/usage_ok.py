"""Code that uses the module as documented: it must type-check under mypy --strict."""

from typing import TYPE_CHECKING, Dict, List, Optional

import vellumark

if TYPE_CHECKING:
    from vellumark import WarcRecord


def target_uris(archive: bytes) -> List[str]:
    return [record["headers"].get("warc-target-uri", "") for record in vellumark.read_records(archive)]


def largest(records: "List[WarcRecord]") -> int:
    return max((record["length"] - len(record["body"]) + record["offset"] for record in records), default=0)


def sign(archive: bytes, store: bytes) -> bytes:
    signed = vellumark.append_manifest(warc=archive, manifest=store, record_id="urn:uuid:1")
    found: Optional[bytes] = vellumark.read_manifest(signed)
    assert found == store
    return signed


record: bytes = vellumark.build_record("resource", "text/plain", "urn:uuid:2", b"hi")
with_uri: bytes = vellumark.build_record("resource", "text/plain", "urn:uuid:3", b"hi", target_uri="http://e/")
headers: Dict[str, str] = vellumark.read_records(record + with_uri)[0]["headers"]
version: str = vellumark.__version__
