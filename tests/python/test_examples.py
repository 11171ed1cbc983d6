"""The examples users run on real archives: .warc.gz members kept byte for byte,
atomic outputs, one-line diagnoses, a directory on every core, and Spark."""

import gzip
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys
import zlib

import pytest

import vellumark
from conftest import SAMPLES, is_manifest, raw_record

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))

import parallel  # noqa: E402
import provenance  # noqa: E402
import warcfile  # noqa: E402

INFLATERS = list(warcfile.inflaters().values())
MANIFEST = b"\x00\x00\x00\x10jumbc2pa-test\xff"


def record(kind: str, body: bytes, n: int) -> bytes:
    return vellumark.build_record(kind, "application/octet-stream", f"urn:uuid:{n}", body, f"http://e.com/{n}")


def manifest_record(n: int) -> bytes:
    return vellumark.build_record("c2paprovenance", "application/c2pa", f"urn:uuid:m{n}", b"old store %d" % n)


def per_record_gz(records) -> bytes:
    return b"".join(gzip.compress(r) for r in records)


def members_of(data: bytes, inflater=None):
    return list(warcfile.iter_members(io.BytesIO(data).read, inflater))


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


# ---------------------------------------------------------------------------- members


@pytest.mark.parametrize("inflater", INFLATERS, ids=lambda m: m.__name__)
def test_members_come_back_with_their_offsets_and_contents(inflater):
    contents = [b"", b"a" * 10, os.urandom(3 << 20), b"text " * 50_000] + [b"%d" % i for i in range(3000)]
    packed = [gzip.compress(c) for c in contents]
    members = members_of(b"".join(packed), inflater)
    offsets = [sum(map(len, packed[:i])) for i in range(len(packed))]
    assert [(m.offset, m.raw, m.data) for m in members] == list(zip(offsets, packed, contents))


GZIP_FAULTS = [
    # (name, data, message)
    ("truncated", gzip.compress(b"one") + gzip.compress(b"two" * 100)[:-5], "truncated gzip member at compressed offset 23"),
    ("garbage member", gzip.compress(b"one") + b"WARC/1.1 not compressed", "not gzip data at compressed offset 23 (b'WARC/1.1')"),
    ("corrupt deflate data", b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff" + b"\xff" * 20, "corrupt gzip member at compressed offset 0"),
]


@pytest.mark.parametrize("inflater", INFLATERS, ids=lambda m: m.__name__)
@pytest.mark.parametrize("name, data, message", GZIP_FAULTS, ids=[f[0] for f in GZIP_FAULTS])
def test_faulty_gzip_is_named_with_its_offset(name, data, message, inflater):
    assert len(gzip.compress(b"one")) == 23
    with pytest.raises(warcfile.ArchiveError) as info:
        members_of(data, inflater)
    assert str(info.value).startswith(message)


# ---------------------------------------------------------------------------- signing

KEPT = [record("warcinfo", b"software: test\r\n", 0), record("response", os.urandom(5000), 1),
        record("request", b"GET / HTTP/1.1\r\n\r\n", 2), record("resource", b"", 3)]

PER_RECORD_CASES = {
    # name: (records of the input, indices of earlier manifest store records among them)
    "no earlier manifest": (KEPT, []),
    "manifest in the middle": (KEPT[:2] + [manifest_record(1)] + KEPT[2:], [2]),
    "manifest at the end": (KEPT + [manifest_record(1)], [4]),
    "two manifests": ([manifest_record(1)] + KEPT + [manifest_record(2)], [0, 5]),
}


def sign_bytes(data: bytes, **kwargs):
    out = io.BytesIO()
    signed = warcfile.sign(io.BytesIO(data), out, MANIFEST, "urn:uuid:new", **kwargs)
    return signed, out.getvalue()


def check_signed_output(output: bytes, kept_records) -> None:
    """The output reads as the kept records and then one manifest store record, through every reader."""
    inflated = b"".join(m.data for m in members_of(output)) if output[:2] == b"\x1f\x8b" else output
    ours = vellumark.read_records(inflated)
    assert [inflated[r["offset"] : r["offset"] + r["length"]] for r in ours[:-1]] == kept_records
    assert is_manifest(ours[-1]) and ours[-1]["body"] == MANIFEST
    assert sum(map(is_manifest, ours)) == 1
    assert vellumark.read_manifest(inflated) == MANIFEST
    for peer, rows in peers_read(output).items():
        assert rows == [(r["headers"], r["body"]) for r in ours], peer


@pytest.mark.parametrize("inflater", INFLATERS, ids=lambda m: m.__name__)
@pytest.mark.parametrize("case", PER_RECORD_CASES)
def test_per_record_input_keeps_every_other_member_byte_for_byte(case, inflater):
    records, dropped = PER_RECORD_CASES[case]
    data = per_record_gz(records)
    signed, output = sign_bytes(data, inflater=inflater)
    before, after = members_of(data), members_of(output)
    kept = [m for i, m in enumerate(before) if i not in dropped]
    unmoved = dropped[0] if dropped else len(before)  # members before the first dropped one keep their offsets
    assert [(m.offset, m.raw) for m in after[:unmoved]] == [(m.offset, m.raw) for m in before[:unmoved]]
    assert [m.raw for m in after[:-1]] == [m.raw for m in kept]
    assert len(after) == len(kept) + 1
    assert signed.per_record and signed.dropped == [before[i].offset for i in dropped]
    assert signed.manifest_offset == after[-1].offset
    # re-indexing is needed only when a kept member follows a dropped one
    follows = dropped and any(i > dropped[0] and i not in dropped for i in range(len(records)))
    assert signed.moved_from == (before[dropped[0]].offset if follows else None)
    check_signed_output(output, [r for i, r in enumerate(records) if i not in dropped])


NOT_PER_RECORD = {
    "one member": lambda records: gzip.compress(b"".join(records)),
    "a record split over members": lambda records: gzip.compress(records[0][:30]) + per_record_gz(
        [records[0][30:]] + records[1:]
    ),
}


@pytest.mark.parametrize("case", NOT_PER_RECORD)
def test_other_gzip_layouts_are_written_per_record(case):
    records = KEPT[:2] + [manifest_record(1)] + KEPT[2:]
    signed, output = sign_bytes(NOT_PER_RECORD[case](records))
    assert not signed.per_record and signed.not_per_record_reason
    after = members_of(output)
    assert [m.data for m in after[:-1]] == KEPT
    check_signed_output(output, KEPT)


def test_uncompressed_input_gives_uncompressed_output():
    records = KEPT[:1] + [manifest_record(1)] + KEPT[1:]
    signed, output = sign_bytes(b"".join(records))
    assert not signed.compressed
    assert output[: signed.manifest_offset] == b"".join(KEPT)
    check_signed_output(output, KEPT)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"WARC/1.0\r\nContent-Length: 0\r\n\r\n", "at offset 0: a WARC/1.0 record, and vellumark reads WARC/1.1 only"),
        (KEPT[0] + gzip.compress(KEPT[1]), "at offset %d: gzip-compressed data here" % len(KEPT[0])),
        (b"\x28\xb5\x2f\xfd" + bytes(20), "at offset 0: zstd-compressed data"),
        (b"WARC/1.1\nContent-Length: 1\n\nx\n\n", "unterminated header: header lines end in a bare LF"),
        (b"<html>hello</html>", "at offset 0: this is not a WARC archive (it starts with b'<html>he')"),
        (KEPT[0] + b"junk", "at offset %d: bytes that are not a WARC record follow the last record" % len(KEPT[0])),
        (gzip.compress(b"WARC/1.0\r\n"), "at offset 0 (of the inflated data): a WARC/1.0 record"),
    ],
)
def test_refused_archives_get_a_one_line_diagnosis(data, message):
    with pytest.raises(warcfile.ArchiveError) as info:
        sign_bytes(data)
    assert message in str(info.value) and "\n" not in str(info.value)
    assert str(info.value).startswith("invalid WARC record: ")


@pytest.mark.parametrize(
    "name, compressed, expected",
    [
        ("crawl.warc.gz", True, "crawl.c2pa.warc.gz"),
        ("crawl.warc", False, "crawl.c2pa.warc"),
        ("crawl.c2pa.warc.gz", True, "crawl.c2pa.warc.gz"),
        ("crawl.c2pa.warc", False, "crawl.c2pa.warc"),
        ("crawl.warc", True, "crawl.c2pa.warc.gz"),  # gzip data under a .warc name
        ("dump.bin", False, "dump.bin.c2pa.warc"),
    ],
)
def test_signed_path(name, compressed, expected):
    assert warcfile.signed_path(pathlib.Path("/d") / name, compressed) == pathlib.Path("/d") / expected


def test_atomic_output_replaces_the_target_only_on_success(tmp_path):
    target = tmp_path / "out.warc"
    target.write_bytes(b"old")
    with pytest.raises(KeyboardInterrupt):
        with warcfile.atomic_output(target) as out:
            out.write(b"half")
            raise KeyboardInterrupt
    assert target.read_bytes() == b"old" and os.listdir(tmp_path) == ["out.warc"]
    with warcfile.atomic_output(target) as out:
        out.write(b"new")
    assert target.read_bytes() == b"new" and os.listdir(tmp_path) == ["out.warc"]
    umask = os.umask(0)
    os.umask(umask)
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask


# ---------------------------------------------------------------------------- provenance.py


def run_provenance(capsys, *args):
    code = provenance.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def test_provenance_on_the_built_in_sample_leaves_nothing_behind(capsys):
    code, out, err = run_provenance(capsys)
    assert code == 0, err
    sample = pathlib.Path(out.split("built-in sample archive: ")[1].split()[0])
    assert not sample.parent.exists()
    assert "unsigned placeholder" in out and "identical" in out


def test_provenance_per_record_gz_in_and_out_and_again(tmp_path, capsys):
    source = tmp_path / "crawl.warc.gz"
    source.write_bytes(per_record_gz(KEPT))
    store = tmp_path / "store.c2pa"
    store.write_bytes(MANIFEST)
    code, out, err = run_provenance(capsys, source, "--manifest", store)
    assert code == 0, err
    target = tmp_path / "crawl.c2pa.warc.gz"
    assert "every existing index entry stays valid" in out and "bytes compressed" in out
    assert "placeholder" not in out
    check_signed_output(target.read_bytes(), KEPT)
    first = target.read_bytes()
    # again on its own output: replaced under the same name, still one manifest store
    code, out, err = run_provenance(capsys, target, "--manifest", store)
    assert code == 0, err
    assert sorted(os.listdir(tmp_path)) == ["crawl.c2pa.warc.gz", "crawl.warc.gz", "store.c2pa"]
    assert target.read_bytes()[: len(first) - 300] == first[: len(first) - 300]
    check_signed_output(target.read_bytes(), KEPT)


@pytest.mark.parametrize(
    "setup, message",
    [
        (lambda d: (d / "a.warc").write_bytes(b""), "a.warc: empty archive"),
        (lambda d: None, "a.warc: no such file"),
        (lambda d: (d / "a.warc").write_bytes(b"WARC/1.0\r\n"), "a.warc: invalid WARC record: expected WARC/1.1 at offset 0: a WARC/1.0"),
        (lambda d: (d / "a.warc").write_bytes(gzip.compress(KEPT[0])[:-3]), "a.warc: truncated gzip member at compressed offset 0"),
    ],
)
def test_provenance_failures_are_one_line_and_write_nothing(tmp_path, capsys, setup, message):
    setup(tmp_path)
    before = sorted(os.listdir(tmp_path))
    code, out, err = run_provenance(capsys, tmp_path / "a.warc")
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and message in err
    assert sorted(os.listdir(tmp_path)) == before


def test_provenance_checks_the_manifest_before_any_work(tmp_path, capsys):
    (tmp_path / "a.warc").write_bytes(KEPT[0])
    (tmp_path / "empty.c2pa").write_bytes(b"")
    for store, message in [(tmp_path / "none.c2pa", "cannot read the manifest store"), (tmp_path / "empty.c2pa", "is empty")]:
        code, out, err = run_provenance(capsys, tmp_path / "a.warc", "--manifest", store)
        assert code == 1 and out == "" and message in err
    assert sorted(os.listdir(tmp_path)) == ["a.warc", "empty.c2pa"]


def test_ctrl_c_while_signing_leaves_input_and_target_as_they_were(tmp_path, capsys, monkeypatch):
    source = tmp_path / "crawl.c2pa.warc.gz"  # replaced in place, so the input is the target
    original = per_record_gz(KEPT + [manifest_record(1)])
    source.write_bytes(original)
    calls = []

    def interrupted(data):
        calls.append(1)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return vellumark.read_records(data)

    monkeypatch.setattr(warcfile.vellumark, "read_records", interrupted)
    with pytest.raises(KeyboardInterrupt):
        provenance.main([str(source)])
    assert source.read_bytes() == original and os.listdir(tmp_path) == [source.name]


# ---------------------------------------------------------------------------- parallel.py


@pytest.fixture
def archive_dir(tmp_path):
    """A plain archive, a per-record .warc.gz, a single-member one, a WARC/1.0 file and an empty one."""
    sample = (SAMPLES / "example.com.warc").read_bytes()
    records = vellumark.read_records(sample)
    (tmp_path / "plain.warc").write_bytes(sample)
    (tmp_path / "per-record.warc.gz").write_bytes(
        per_record_gz([sample[r["offset"] : r["offset"] + r["length"]] for r in records] + [manifest_record(1)])
    )
    (tmp_path / "single.warc.gz").write_bytes(gzip.compress(b"".join(KEPT)))
    (tmp_path / "old.warc").write_bytes(raw_record("WARC-Type: resource\r\n", b"x").replace(b"WARC/1.1", b"WARC/1.0"))
    (tmp_path / "empty.warc.gz").write_bytes(b"")
    (tmp_path / "notes.txt").write_bytes(b"not an archive")
    return tmp_path


def expected_census(directory: pathlib.Path):
    """The census computed directly with read_records."""
    result = {"archives": 0, "records": 0, "bytes": 0, "by_type": {}, "manifests": 0, "errors": {}}
    for path in sorted(directory.iterdir()):
        if not path.name.endswith((".warc", ".warc.gz")):
            continue
        result["archives"] += 1
        data = path.read_bytes()
        data = gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data
        try:
            records = vellumark.read_records(data) if data else None
        except ValueError as error:
            records = None
            result["errors"][path.name] = str(error)
        if records is None:
            result["errors"].setdefault(path.name, "empty archive")
            continue
        result["records"] += len(records)
        result["bytes"] += len(data)
        result["manifests"] += any(map(is_manifest, records))
        for r in records:
            result["by_type"][r["headers"]["warc-type"]] = result["by_type"].get(r["headers"]["warc-type"], 0) + 1
    result["by_type"] = dict(sorted(result["by_type"].items()))
    return result


def test_parallel_census_prints_a_line_per_archive_and_a_summary(archive_dir, capsys):
    assert parallel.main([str(archive_dir), "--workers", "2"]) == 1
    out = capsys.readouterr().out
    lines = out.splitlines()
    expected = expected_census(archive_dir)
    assert len(lines) == expected["archives"] + 1 and "\r" not in out
    assert "old.warc: error: invalid WARC record: expected WARC/1.1 at offset 0: a WARC/1.0 record" in out
    assert "empty.warc.gz: error: empty archive" in out
    assert lines[-1] == (
        f"read: {expected['archives']} archives, {expected['records']:,} records, "
        f"{expected['bytes']:,} bytes uncompressed, 2 failed"
    )


def test_parallel_append_writes_each_output_beside_its_input(archive_dir, capsys):
    store = archive_dir / "store.c2pa"
    store.write_bytes(MANIFEST)
    assert parallel.main([str(archive_dir), "--append", str(store), "--workers", "2"]) == 1
    assert capsys.readouterr().out.splitlines()[-1].endswith("2 failed")
    for name in ("plain.c2pa.warc", "per-record.c2pa.warc.gz", "single.c2pa.warc.gz"):
        data = (archive_dir / name).read_bytes()
        inflated = b"".join(m.data for m in members_of(data)) if name.endswith(".gz") else data
        assert vellumark.read_manifest(inflated) == MANIFEST
        assert sum(map(is_manifest, vellumark.read_records(inflated))) == 1
    assert not (archive_dir / "old.c2pa.warc").exists()


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["{missing}"], 1, "no such directory"),
        (["{dir}", "--workers", "0"], 2, "argument --workers: must be at least 1, not 0"),
        (["{dir}", "--append", "{missing}"], 1, "cannot read the manifest store"),
    ],
)
def test_parallel_usage_errors(tmp_path, capsys, args, code, message):
    args = [a.format(dir=tmp_path, missing=tmp_path / "missing") for a in args]
    with pytest.raises(SystemExit) if code == 2 else _no_exit() as raised:
        result = parallel.main(args)
    assert (raised.value.code if code == 2 else result) == code
    assert message in capsys.readouterr().err


class _no_exit:
    value = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


# ---------------------------------------------------------------------------- spark_job.py


def spark_missing() -> str:
    if os.environ.get("VELLUMARK_SANITIZED"):
        return "the JVM cannot start with the sanitizer runtime preloaded"
    try:
        import pyspark  # noqa: F401
    except ImportError:
        return "pyspark is not installed (pip install '.[spark]')"
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        return "Spark needs Java 17, and none is installed"
    return ""


@pytest.mark.skipif(bool(spark_missing()), reason=spark_missing() or "Spark is available")
def test_spark_job_census_and_append_in_local_mode(archive_dir, tmp_path_factory):
    expected = expected_census(archive_dir)
    report = tmp_path_factory.mktemp("report") / "census.json"
    out_dir = tmp_path_factory.mktemp("signed")
    store = tmp_path_factory.mktemp("store") / "store.c2pa"
    store.write_bytes(MANIFEST)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(pathlib.Path(vellumark.__file__).parent), str(EXAMPLES)]))
    command = [sys.executable, str(EXAMPLES / "spark_job.py"), str(archive_dir), "--master", "local[2]"]
    census = subprocess.run(command + ["--json", str(report)], capture_output=True, text=True, timeout=600, env=env)
    assert census.returncode == 1, census.stderr[-3000:]  # two archives fail
    got = json.loads(report.read_text())
    got_errors, expected_errors = got.pop("errors"), expected.pop("errors")
    assert got == expected
    # the module's message, then the examples' hint
    assert got_errors.keys() == expected_errors.keys()
    assert all(got_errors[name].startswith(message) for name, message in expected_errors.items())
    assert "records by WARC-Type:" in census.stdout and "old.warc: invalid WARC record" in census.stdout

    signed = subprocess.run(command + ["--append", str(store), "--output", str(out_dir)], capture_output=True,
                            text=True, timeout=600, env=env)
    assert signed.returncode == 1, signed.stderr[-3000:]
    assert sorted(os.listdir(out_dir)) == ["per-record.c2pa.warc.gz", "plain.c2pa.warc", "single.c2pa.warc.gz"]
    per_record = (out_dir / "per-record.c2pa.warc.gz").read_bytes()
    source = (archive_dir / "per-record.warc.gz").read_bytes()
    kept = members_of(source)[:-1]  # the last member held the earlier manifest store
    assert per_record.startswith(b"".join(m.raw for m in kept))
    assert vellumark.read_manifest(b"".join(m.data for m in members_of(per_record))) == MANIFEST


def test_inflating_member_by_member_touches_each_byte_a_bounded_number_of_times():
    # Feeding whole blocks would hand back the rest of the block as unused data
    # after every member (quadratic); the bounded slices keep it to one slice.
    fed = []

    class Counting:
        error = zlib.error

        @staticmethod
        def decompressobj(wbits):
            inner = zlib.decompressobj(wbits=wbits)

            class Wrapper:
                def decompress(self, data):
                    fed.append(len(data))
                    return inner.decompress(data)

                eof = property(lambda self: inner.eof)
                unused_data = property(lambda self: inner.unused_data)

            return Wrapper()

    data = per_record_gz([b"%05d" % i for i in range(2000)])
    assert len(members_of(data, Counting)) == 2000
    assert sum(fed) <= len(data) + 2000 * warcfile.FIRST_STEP
