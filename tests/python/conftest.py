import pathlib
import sys

import pytest

SAMPLES = pathlib.Path(__file__).resolve().parents[1] / "data"  # an archive written by an independent crawler


def linux_only(what: str) -> pytest.MarkDecorator:
    """Skips a test that needs `what` (/proc, RLIMIT_AS, nm -D) on systems other than Linux."""
    return pytest.mark.skipif(not sys.platform.startswith("linux"), reason=f"needs {what}, which this test uses as Linux has it")


def raw_record(header_lines: str, body: bytes, separator: bytes = b"\r\n\r\n") -> bytes:
    """A record as another writer might lay it out: our builder is not involved."""
    head = f"WARC/1.1\r\n{header_lines}Content-Length: {len(body)}\r\n\r\n".encode()
    return head + body + separator


def is_manifest(record: dict) -> bool:
    headers = record["headers"]
    return headers.get("warc-type") == "c2paprovenance" and headers.get("content-type") == "application/c2pa"


@pytest.fixture
def sample_archive() -> bytes:
    return (SAMPLES / "example.com.warc").read_bytes()
