"""Every entry point, called 50,000 times on each path, keeps its arguments'
reference counts and the process's resident memory flat.

Bound: resident memory may grow by at most 1 MiB over the 50,000 calls that
follow a warm-up, so leaking even one 21-byte object per call fails."""

import os
import sys

import pytest

import vellumark
from conftest import linux_only, raw_record

pytestmark = [
    pytest.mark.skipif(
        bool(os.environ.get("VELLUMARK_SANITIZED")), reason="the sanitizers' allocator makes memory readings meaningless"
    ),
    linux_only("/proc/self/statm"),
]

CALLS = 50_000
WARM_UP = 2_000
RSS_BOUND = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


def fresh(data: bytes) -> bytes:
    """A new object, not a constant shared with code objects, so its count is ours alone."""
    return bytes(bytearray(data))


ARCHIVE = fresh(raw_record("WARC-Type: resource\r\n", b"body") * 3)
WITH_MANIFEST = vellumark.append_manifest(ARCHIVE, b"manifest", "id")
BROKEN = fresh(ARCHIVE + b"junk")
MANIFEST = fresh(b"manifest store")
TEXT = "".join(["urn:", "uuid:", "1"])
BAD_TEXT = "".join(["bad", "\r\n"])
SURROGATE = "".join(["x", "\udc80"])

CASES = [
    # (id, function, args, kwargs, exception or None)
    ("read_records ok", vellumark.read_records, (ARCHIVE,), {}, None),
    ("read_records parse error", vellumark.read_records, (BROKEN,), {}, ValueError),
    ("read_records too many", vellumark.read_records, (ARCHIVE, ARCHIVE), {}, TypeError),
    ("read_records unknown keyword", vellumark.read_records, (), {"Warc": ARCHIVE}, TypeError),
    ("read_records multiple values", vellumark.read_records, (ARCHIVE,), {"warc": ARCHIVE}, TypeError),
    ("read_records missing", vellumark.read_records, (), {}, TypeError),
    ("read_records conversion", vellumark.read_records, (TEXT,), {}, TypeError),
    ("read_manifest found", vellumark.read_manifest, (WITH_MANIFEST,), {}, None),
    ("read_manifest none", vellumark.read_manifest, (ARCHIVE,), {}, None),
    ("read_manifest parse error", vellumark.read_manifest, (BROKEN,), {}, ValueError),
    ("read_manifest conversion", vellumark.read_manifest, (MANIFEST.decode(),), {}, TypeError),
    ("append_manifest ok", vellumark.append_manifest, (ARCHIVE, MANIFEST, TEXT), {}, None),
    ("append_manifest keywords", vellumark.append_manifest, (), {"warc": ARCHIVE, "manifest": MANIFEST, "record_id": TEXT}, None),
    ("append_manifest empty", vellumark.append_manifest, (b"", MANIFEST, TEXT), {}, ValueError),
    ("append_manifest CR LF", vellumark.append_manifest, (ARCHIVE, MANIFEST, BAD_TEXT), {}, ValueError),
    ("append_manifest parse error", vellumark.append_manifest, (BROKEN, MANIFEST, TEXT), {}, ValueError),
    ("append_manifest conversion", vellumark.append_manifest, (ARCHIVE, TEXT, TEXT), {}, TypeError),
    ("append_manifest surrogate", vellumark.append_manifest, (ARCHIVE, MANIFEST, SURROGATE), {}, UnicodeEncodeError),
    ("append_manifest missing", vellumark.append_manifest, (ARCHIVE,), {"record_id": TEXT}, TypeError),
    ("build_record ok", vellumark.build_record, (TEXT, TEXT, TEXT, MANIFEST, TEXT), {}, None),
    ("build_record keywords", vellumark.build_record, (TEXT, TEXT), {"record_id": TEXT, "body": MANIFEST, "target_uri": None}, None),
    ("build_record CR LF", vellumark.build_record, (TEXT, TEXT, TEXT, MANIFEST, BAD_TEXT), {}, ValueError),
    ("build_record conversion", vellumark.build_record, (TEXT, TEXT, TEXT, TEXT), {}, TypeError),
    ("build_record surrogate", vellumark.build_record, (TEXT, SURROGATE, TEXT, MANIFEST), {}, UnicodeEncodeError),
    ("build_record too many", vellumark.build_record, (TEXT,) * 6, {}, TypeError),
]


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def call(function, args, kwargs, count):
    for _ in range(count):
        try:
            function(*args, **kwargs)
        except (TypeError, ValueError):
            pass


@pytest.mark.parametrize("function, args, kwargs, exception", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_no_leak(function, args, kwargs, exception):
    if exception is None:
        function(*args, **kwargs)
    else:
        with pytest.raises(exception):
            function(*args, **kwargs)
    # None is shared with the whole interpreter, so its count moves on its own: it gets the looser check below.
    objects = [o for o in (*args, *kwargs.values()) if o is not None]
    counts = [sys.getrefcount(o) for o in objects]
    none_count = sys.getrefcount(None)

    call(function, args, kwargs, WARM_UP)
    before = resident_bytes()
    call(function, args, kwargs, CALLS)
    grown = resident_bytes() - before

    assert [sys.getrefcount(o) for o in objects] == counts
    # None is immortal from 3.12 on; before that a lost or extra reference per call shows here.
    assert abs(sys.getrefcount(None) - none_count) < 1000
    assert grown <= RSS_BOUND, f"resident memory grew by {grown} bytes over {CALLS} calls"
