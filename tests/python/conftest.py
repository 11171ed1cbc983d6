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


# ---------------------------------------------------------------------------- archives on disk

import gzip  # noqa: E402
import io  # noqa: E402
import os  # noqa: E402
import subprocess  # noqa: E402

import vellumark  # noqa: E402

# Opaque: a JUMBF superbox, as a manifest store is, but of no C2PA type (its binding is not checked).
STORE = b"\x00\x00\x00\x20jumb\x00\x00\x00\x18jumdtest" + b"\x00" * 12 + b"test store"


def record(kind: str, body: bytes, n: int, version: str = "1.1") -> bytes:
    """A record built by the module, with the version line of `version`."""
    built = vellumark.build_record(kind, "application/octet-stream", f"urn:uuid:{n}", body, f"http://e.com/{n}")
    return built if version == "1.1" else b"WARC/%s\r\n" % version.encode() + built[len(b"WARC/1.1\r\n"):]


def manifest_record(n: int, version: str = "1.1") -> bytes:
    built = vellumark.build_record("c2paprovenance", "application/c2pa", f"urn:uuid:m{n}", b"old store %d" % n)
    return built if version == "1.1" else b"WARC/%s\r\n" % version.encode() + built[len(b"WARC/1.1\r\n"):]


def per_record_gz(records) -> bytes:
    return b"".join(gzip.compress(r, mtime=0) for r in records)


def inflated(data: bytes) -> bytes:
    """A .warc.gz inflated whole, member after member (test data is small)."""
    out, rest = [], data
    while rest:
        if not rest.strip(b"\x00"):
            break
        decompressor = __import__("zlib").decompressobj(wbits=31)
        out.append(decompressor.decompress(rest))
        rest = decompressor.unused_data
    return b"".join(out)


def gzip_members(data: bytes):
    """(offset, length) of each gzip member of `data` (zero padding at the end
    aside), found with zlib, not with the reader under test."""
    spans, at = [], 0
    while at < len(data) and data[at:].strip(b"\x00"):
        decompressor = __import__("zlib").decompressobj(wbits=31)
        decompressor.decompress(data[at:])
        length = len(data) - at - len(decompressor.unused_data)
        spans.append((at, length))
        at += length
    return spans


def shown_as_1_1(data: bytes) -> bytes:
    """An archive of older-version records as the module reads them (test data has no quoted version lines)."""
    return data.replace(b"WARC/1.0\r\n", b"WARC/1.1\r\n").replace(b"WARC/0.18\r\n", b"WARC/1.18\r\n")


def peers_read(data: bytes):
    """(headers, body) of every record as warcio and FastWARC see them, where installed."""
    seen = {}
    try:
        from warcio.archiveiterator import ArchiveIterator
    except ImportError:
        pass
    else:
        seen["warcio"] = [
            ({k.lower(): v for k, v in r.rec_headers.headers}, r.raw_stream.read())
            for r in ArchiveIterator(io.BytesIO(data), no_record_parse=True)
        ]
    try:
        from fastwarc.warc import ArchiveIterator as FastIterator
    except ImportError:
        pass
    else:
        seen["fastwarc"] = [
            ({k.lower(): v for k, v in r.headers.items()}, r.reader.read())
            for r in FastIterator(io.BytesIO(data), parse_http=False)
        ]
    return seen


def command_env() -> dict:
    """The environment for running the command or the package in a child process:
    the module and the package where this test run found them."""
    import vellumark_tools

    paths = [os.path.dirname(vellumark.__file__), os.path.dirname(os.path.dirname(vellumark_tools.__file__))]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(dict.fromkeys(paths + [os.environ.get("PYTHONPATH", "")])).strip(os.pathsep))


def run_command(*args, cwd=None, timeout=300, **kwargs) -> subprocess.CompletedProcess:
    """`vellumark ARGS...` in a child process (as python -m vellumark_tools, which the console script runs)."""
    return subprocess.run([sys.executable, "-m", "vellumark_tools", *map(str, args)], capture_output=True,
                          cwd=cwd, timeout=timeout, env=command_env(), **kwargs)
