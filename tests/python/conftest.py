import pathlib

import pytest

SAMPLES = pathlib.Path(__file__).resolve().parents[2].parent / "shared" / "samples"


def raw_record(header_lines: str, body: bytes, separator: bytes = b"\r\n\r\n") -> bytes:
    """A record as another writer might lay it out: our builder is not involved."""
    head = f"WARC/1.1\r\n{header_lines}Content-Length: {len(body)}\r\n\r\n".encode()
    return head + body + separator


def is_manifest(record: dict) -> bool:
    headers = record["headers"]
    return headers.get("warc-type") == "c2paprovenance" and headers.get("content-type") == "application/c2pa"


@pytest.fixture
def sample_archive() -> bytes:
    path = SAMPLES / "example.com.warc"
    if not path.exists():
        pytest.skip("the shared sample archive is not present")
    return path.read_bytes()
