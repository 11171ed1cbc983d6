"""WACZ packages signed archive by archive inside the ZIP: py-wacz still finds
them valid, every other entry is kept, datapackage.json changes only where
it must, every CDXJ offset still points at its record; packages that are not
sound WACZ files, or whose indexes signing would break, are refused with
nothing written."""

import gzip
import hashlib
import io
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import types
import zipfile
import zlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vellumark
import vellumark_tools
from conftest import SAMPLES, STORE, missing, per_record_gz, py_wacz, record
from vellumark_tools import ArchiveError, check_wacz, index_entries, is_wacz, sign, sign_wacz, wacz_archives, wacz_manifests
from vellumark_tools import output as output_module
from vellumark_tools import zips


def store_for(name: str) -> bytes:
    """Opaque bytes shaped like a manifest store, a different one per archive."""
    return b"\x00\x00\x00\x20jumb" + name.encode().ljust(24, b"x")


def make_wacz(directory, *warcs, name="package.wacz"):
    output = directory / name
    status, printed = py_wacz("create", "-o", output, *warcs)
    assert status == 0, printed
    return output


def data_start(path, info: zipfile.ZipInfo) -> int:
    """Where replay finds an entry's data: after its local header, read here, not by the code under test."""
    with open(path, "rb") as file:
        file.seek(info.header_offset)
        header = file.read(30)
    assert header[:4] == b"PK\x03\x04"
    name_length, extra_length = struct.unpack("<HH", header[26:30])
    return info.header_offset + 30 + name_length + extra_length


def raw_entries(path):
    """(name, compression, bytes) of every entry, in order: the whole stretch of
    the file it takes, local header and data descriptor included."""
    with zipfile.ZipFile(path) as package, open(path, "rb") as file:
        infos = package.infolist()
        ends = [i.header_offset for i in infos[1:]] + [package.start_dir]
        return [(i.filename, i.compress_type, os.pread(file.fileno(), end - i.header_offset, i.header_offset)) for i, end in zip(infos, ends)]


class Unseekable(io.FileIO):
    """A file zipfile cannot seek back in: it writes a data descriptor after each entry."""

    def seek(self, *args):
        raise OSError("not seekable")


def sha256(data: bytes) -> str:
    return "sha256:" + hashlib.sha256(data).hexdigest()


def rewrite(source, target, *, drop=(), replace=None, add=None, first=(), deflate=False, methods=None, force_zip64=False,
            descriptors=False, fix_hashes=False, datapackage=None, digest=None, crlf=False):
    """Another layout of a package, written by zipfile: entries left out, replaced,
    added (and listed), moved first, archives deflated or compressed by `methods`
    (by entry name, or "archive/" for every archive), ZIP64 headers forced, data
    descriptors; datapackage.json edited (its hashes made true first, if asked),
    with CR LF line ends, fields of the digest set; the digest's own hash made true."""
    with zipfile.ZipFile(source) as package:
        entries = {i.filename: (i.date_time, i.compress_type, package.read(i)) for i in package.infolist() if i.filename not in drop}
    for name, data in (replace or {}).items():
        entries[name] = entries[name][:2] + (data,)
    for name, data in (add or {}).items():
        entries[name] = ((2026, 1, 1, 0, 0, 0), zipfile.ZIP_DEFLATED, data)
    if fix_hashes or datapackage or add:
        document = json.loads(entries["datapackage.json"][2])
        for resource in document["resources"] if fix_hashes else []:
            data = entries[resource["path"]][2]
            resource.update(hash=sha256(data), bytes=len(data))
        document["resources"] += [{"name": n, "path": n, "hash": sha256(d), "bytes": len(d)} for n, d in (add or {}).items()]
        (datapackage or (lambda _: None))(document)
        entries["datapackage.json"] = entries["datapackage.json"][:2] + (json.dumps(document, indent=2).encode(),)
    if crlf:
        for name in ("datapackage.json", "datapackage-digest.json"):
            entries[name] = entries[name][:2] + (entries[name][2].replace(b"\n", b"\r\n"),)
    if "datapackage-digest.json" in entries:
        document = {**json.loads(entries["datapackage-digest.json"][2]), "hash": sha256(entries["datapackage.json"][2]), **(digest or {})}
        text = json.dumps(document, indent=2).encode()
        entries["datapackage-digest.json"] = entries["datapackage-digest.json"][:2] + (text.replace(b"\n", b"\r\n") if crlf else text,)
    methods = {**({"archive/": zipfile.ZIP_DEFLATED} if deflate else {}), **(methods or {})}
    with (Unseekable if descriptors else open)(target, "wb") as file, zipfile.ZipFile(file, "w") as package:
        for name in [n for n in first if n in entries] + [n for n in entries if n not in first]:
            date_time, compression, data = entries[name]
            new = zipfile.ZipInfo(name, date_time)
            new.compress_type = methods.get(name, methods.get("archive/", compression) if name.startswith("archive/") else compression)
            with package.open(new, "w", force_zip64=force_zip64) as out:
                out.write(data)
    return target


def gzip_per_record(source, target):
    data = source.read_bytes()
    target.write_bytes(b"".join(gzip.compress(data[r["offset"]:r["offset"] + r["length"]], mtime=0)
                                for r in vellumark.read_records(data)))
    return target


# ---------------------------------------------------------------------------- signed packages

MIXED = ("example.com.warc", "pywb/example.warc.gz")
CASES = {
    # name: (archives in the package, how the package is laid out before signing)
    "WARC/1.1 plain": (["example.com.warc"], {}),
    "WARC/1.1 gzip per record": (["example.com.warc.gz"], {}),
    "WARC/1.0 plain": (["warcat/at.warc"], {}),
    "WARC/1.0 gzip per record": (["pywb/example.warc.gz", "pywb/iana.warc.gz"], {}),
    "archives deflated": (MIXED, {"deflate": True}),
    "ZIP64 headers": (MIXED, {"force_zip64": True}),
    "data descriptors": (MIXED, {"descriptors": True}),
    "an empty entry with a data descriptor": (MIXED, {"descriptors": True, "add": {"pages/empty.txt": b""}}),
    # a ZIP64 descriptor of an empty entry also reads as a 12-byte one followed by 8 zeros
    "an empty entry with a ZIP64 data descriptor": (MIXED, {"descriptors": True, "force_zip64": True, "add": {"pages/empty.txt": b""}}),
    "CR LF datapackage.json": (MIXED, {"crlf": True}),
    "bzip2 datapackage.json": (MIXED, {"methods": {"datapackage.json": zipfile.ZIP_BZIP2, "datapackage-digest.json": zipfile.ZIP_BZIP2}}),
    "a signedData": (MIXED, {"signedData": True}),
    "datapackage.json first": (MIXED, {"first": ("datapackage.json", "datapackage-digest.json")}),
    "compact datapackage.json": (MIXED, {"compact": True}),
    "ZIP64 output": (MIXED, {"zip64_output": True}),
    "signed again, in place": (MIXED, {"signed_again": True}),
}


def laid_out(directory, package, layout):
    """The package made by wacz create, laid out as a case has it."""
    options = {k: v for k, v in layout.items() if k in ("deflate", "force_zip64", "first", "descriptors", "add", "crlf", "methods")}
    with zipfile.ZipFile(package) as source:
        if layout.get("compact"):
            compact = json.dumps(json.loads(source.read("datapackage.json")), separators=(",", ":"))
            options["replace"] = {"datapackage.json": compact.encode() + b"\n"}
        if layout.get("signedData"):  # over the digest's hash, as a signing server returns it
            options["digest"] = {"signedData": {"hash": json.loads(source.read("datapackage-digest.json"))["hash"], "signature": "fake"}}
    return rewrite(package, directory / "laid-out.wacz", **options) if options else package


@pytest.fixture(scope="module", params=list(CASES))
def case(request, tmp_path_factory):
    directory = tmp_path_factory.mktemp("wacz")
    archives, layout = CASES[request.param]
    sources = [gzip_per_record(SAMPLES / "example.com.warc", directory / a) if a == "example.com.warc.gz" else SAMPLES / a
               for a in archives]
    package = laid_out(directory, make_wacz(directory, *sources), layout)
    if layout.get("signed_again"):
        package = sign_wacz(package, lambda name: b"an older store").output
    before = shutil.copyfile(package, directory / "before.wacz")
    with pytest.MonkeyPatch.context() as patch:
        if layout.get("zip64_output"):
            patch.setattr(zips, "ZIP64_AT", 1000)  # every size and offset past it: ZIP64 fields throughout
        result = sign_wacz(package, store_for)
    return types.SimpleNamespace(name=request.param, before=before, output=result.output, result=result)


def test_output_is_a_valid_wacz_with_each_archive_signed(case):
    assert case.result.output.endswith(".c2pa.wacz")
    status, printed = py_wacz("validate", "-f", case.output)
    assert status == 0 and "is valid" in printed, printed
    assert check_wacz(case.output) == []
    names = [n for n, _, _ in raw_entries(case.before) if n.startswith("archive/")]
    assert [(n, f.store) for n, f in wacz_manifests(case.output)] == [(n, store_for(n)) for n in names]
    assert case.result.zip64 == (case.name == "ZIP64 output")
    if case.result.zip64:
        assert b"PK\x06\x06" in open(case.output, "rb").read()[-200:]  # the ZIP64 end record
        with zipfile.ZipFile(case.output) as package:
            assert package.testzip() is None


def test_unzip_reads_the_output_without_complaint(case):
    unzip = shutil.which("unzip")
    if unzip is None:
        missing("unzip", "unzip is not installed: it reads the ZIP independently of zipfile")
    tested = subprocess.run([unzip, "-tq", str(case.output)], capture_output=True, text=True, timeout=120)
    said = tested.stdout + tested.stderr
    assert tested.returncode == 0 and said.startswith("No errors detected") and "error:" not in said and "warning" not in said, said


def test_every_other_entry_keeps_its_bytes_compression_and_place(case):
    before, after = raw_entries(case.before), raw_entries(case.output)
    rewritten = ("datapackage.json", "datapackage-digest.json")
    last_archive = max(i for i, (n, _, _) in enumerate(before) if n.startswith("archive/"))
    moved = [e for i, e in enumerate(before) if e[0] in rewritten and i < last_archive]  # they follow the archives they list
    expected_order = [e[0] for e in before if e not in moved] + [e[0] for e in moved]
    assert [n for n, _, _ in after] == expected_order
    kept = {n: (c, data) for n, c, data in before if n not in rewritten and not n.startswith("archive/")}
    assert {n: (c, data) for n, c, data in after if n in kept} == kept
    assert {c for n, c, _ in after if n.startswith("archive/")} == {zipfile.ZIP_STORED}
    assert {n: c for n, c, _ in after if n in rewritten} == {n: c for n, c, _ in before if n in rewritten}


def test_datapackage_changes_only_the_hash_and_size_of_each_archive(case):
    with zipfile.ZipFile(case.before) as before, zipfile.ZipFile(case.output) as after:
        old_text, new_text = before.read("datapackage.json").decode(), after.read("datapackage.json").decode()
        expected = json.loads(old_text)
        for resource in expected["resources"]:
            if resource["path"].startswith("archive/"):
                data = after.read(resource["path"])
                resource["hash"], resource["bytes"] = sha256(data), len(data)
        assert json.loads(new_text) == expected
        values = re.compile(r'("(?:hash|bytes)":\s*)("[^"]*"|\d+)')
        assert values.sub(r"\1?", new_text) == values.sub(r"\1?", old_text)  # the same layout, key order and all
        old_digest, new_digest = json.loads(before.read("datapackage-digest.json")), json.loads(after.read("datapackage-digest.json"))
    assert case.result.signature_removed == ("signedData" in old_digest)
    old_digest.pop("signedData", None)
    assert new_digest == dict(old_digest, hash=sha256(new_text.encode()))


def cdxj_lines(root, archives):
    """cdxj-indexer's lines, as (key and date, fields without the file name), for
    each of {relative path: archive bytes}, all in one run."""
    # the test environment's own script first: its bin directory need not be on the PATH
    beside = os.path.join(os.path.dirname(sys.executable), "cdxj-indexer")
    indexer = beside if os.path.exists(beside) else shutil.which("cdxj-indexer")
    if indexer is None:
        missing("cdxj-indexer", "cdxj-indexer is not installed: it indexes the archives independently of this package")
    for path, data in archives.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_bytes(data)
    run = subprocess.run([indexer, "--records", "all", "--dir-root", str(root), *(str(root / p) for p in archives)],
                         check=True, capture_output=True, text=True, timeout=120)
    lines = {path: [] for path in archives}
    for line in run.stdout.splitlines():
        fields = json.loads(line[line.index("{"):])
        lines[fields.pop("filename")].append((line[:line.index("{")], fields))
    return lines


def test_cdxj_of_each_archive_is_the_inputs_plus_the_new_record(case, tmp_path):
    with zipfile.ZipFile(case.before) as before, zipfile.ZipFile(case.output) as after:
        names = [s.output for s in case.result.archives]
        lines = cdxj_lines(tmp_path, {**{f"before/{n}": before.read(n) for n in names}, **{f"after/{n}": after.read(n) for n in names}})
    for signed in case.result.archives:
        old, new = lines[f"before/{signed.output}"], lines[f"after/{signed.output}"]
        cut = signed.dropped[0] if signed.dropped else signed.manifest_offset
        assert [line for line in old if int(line[1]["offset"]) < cut] == new[:-1]
        assert new[-1][1]["mime"] == "application/c2pa" and int(new[-1][1]["offset"]) == signed.manifest_offset


def test_every_offset_of_the_packages_index_reads_the_same_record(case):
    with zipfile.ZipFile(case.before) as before, zipfile.ZipFile(case.output) as after, open(case.output, "rb") as file:
        lines = gzip.decompress(before.read("indexes/index.cdx.gz")).decode().splitlines()
        assert lines
        for line in lines:
            fields = json.loads(line[line.index("{"):])
            offset, length, entry = int(fields["offset"]), int(fields["length"]), "archive/" + fields["filename"]
            file.seek(data_start(case.output, after.getinfo(entry)) + offset)
            assert file.read(length) == before.read(entry)[offset:offset + length], line


def test_each_archive_reads_in_the_package_as_on_its_own(case):
    """In order, as census, check and index read it; then back and forth by range, as signing does."""
    fields = ["offset", "length", "filename", "warc-record-id"]
    with zipfile.ZipFile(case.before) as package:
        for name, stream in wacz_archives(case.before):
            alone = io.BytesIO(package.read(name))
            alone.name = name  # the file name an index gives, as the CDXJ indexes give it
            assert list(index_entries(stream, fields)) == list(index_entries(alone, fields)) != []
            size = len(alone.getvalue())
            for offset in (0, size // 2, 7, size - 5, 3 * size // 4, size // 3):
                stream.seek(offset)
                assert stream.read(70000) == alone.getvalue()[offset:offset + 70000]
        assert [n for n, _ in wacz_archives(case.before)] == [i.filename for i in package.infolist() if i.filename.startswith("archive/")]


# ---------------------------------------------------------------------------- refusals


def manifest_among_records(directory):
    """A WARC/1.1 archive with a manifest store record before other records."""
    data = (SAMPLES / "example.com.warc").read_bytes()
    first = vellumark.read_records(data)[0]
    cut = first["offset"] + first["length"]
    target = directory / "middle.warc"
    target.write_bytes(vellumark.append_manifest(data[:cut], b"store", "urn:uuid:1") + data[cut:])
    return make_wacz(directory, target, name="middle.wacz")


def indexed_manifest(directory):
    """A signed archive whose package index lists its manifest store record too."""
    archive = directory / "example.c2pa.warc.gz"
    gzip_per_record(SAMPLES / "example.com.warc", directory / "example.warc.gz")
    sign(directory / "example.warc.gz", b"an older store", archive)
    package = make_wacz(directory, archive, name="indexed.wacz")
    lines = cdxj_lines(directory / "index", {archive.name: archive.read_bytes()})[archive.name]
    index = "".join(sorted(f"{key}{json.dumps(dict(fields, filename=archive.name))}\n" for key, fields in lines))
    return rewrite(package, directory / "indexed2.wacz", replace={"indexes/index.cdx.gz": gzip.compress(index.encode())}, fix_hashes=True)


EXAMPLE, ARCHIVE = (SAMPLES / "example.com.warc").read_bytes(), "archive/example.com.warc"
REFUSED = {
    # name: (the package, from a sound one and a directory; the refusal; whether check_wacz finds it too)
    "not a ZIP": (lambda p, d: shutil.copyfile(SAMPLES / "example.com.warc", d / "x.wacz"), "not a ZIP", True),
    "no datapackage.json": (lambda p, d: rewrite(p, d / "x.wacz", drop=("datapackage.json", "datapackage-digest.json")), "no datapackage.json", True),
    "a resource missing": (lambda p, d: rewrite(p, d / "x.wacz", drop=("indexes/index.idx",)), "index.idx: .* does not hold it", True),
    "an index's hash wrong": (lambda p, d: rewrite(p, d / "x.wacz", replace={"indexes/index.idx": b"!meta 0 {}\n"}), "index.idx: .* the hash", True),
    "an archive's hash wrong": (lambda p, d: rewrite(p, d / "x.wacz", replace={ARCHIVE: EXAMPLE.replace(b"Example Domain", b"Example Domaim")}),
                                "example.com.warc: .* the hash", True),
    "an archive's size wrong": (lambda p, d: rewrite(p, d / "x.wacz", datapackage=lambda doc: doc["resources"][-1].update(bytes=1)),
                                "example.com.warc: .* 1 bytes", True),
    "an unlisted archive damaged": (lambda p, d: damaged(with_entries(shutil.copyfile(p, d / "x.wacz"), {"archive/extra.warc": EXAMPLE}, "a")),
                                    "extra.warc: its bytes do not match the CRC-32", True),
    "a hash of no fixed length": (lambda p, d: rewrite(p, d / "x.wacz", datapackage=lambda doc: doc["resources"][0].update(hash="shake_128:00")),
                                  "'shake_128:00' is not a hash this tool can check", True),  # was an internal error
    "the digest's hash wrong": (lambda p, d: rewrite(p, d / "x.wacz", digest={"hash": "sha256:" + "0" * 64}), "datapackage-digest.json gives", True),
    "records would move": (lambda p, d: manifest_among_records(d), "middle.warc: .* would move .* re-indexing", False),
    "gzip members rewritten": (lambda p, d: rewrite(p, d / "x.wacz", replace={ARCHIVE: gzip.compress(EXAMPLE)}, fix_hashes=True),
                               "compressed offset 0 on, .* re-indexing", False),
    "an indexed record replaced": (lambda p, d: indexed_manifest(d), "index.cdx.gz lists the manifest store record .* re-indexing", False),
    # zipfile refuses it; a reader taking the local header's name would see another file
    "a local header naming another file": (lambda p, d: renamed_locally(shutil.copyfile(p, d / "x.wacz"), ARCHIVE, ARCHIVE[:-1] + "x"),
                                           "example.com.warc: its local header names another file \\(archive/example.com.warx\\)", True),
    # read whole before, 2 GB for a 1 GB one
    "a datapackage.json past the limit": (lambda p, d: rewrite(p, d / "x.wacz", datapackage=lambda doc: doc.update(padding=" " * (17 << 20))),
                                          "datapackage.json: 17,[0-9,]+ bytes, more than the 16 MiB this tool reads of it", True),
}


def renamed_locally(path, name, other):
    """The package with an entry's local header naming `other` (as long as `name`); its central directory record unchanged."""
    data = path.read_bytes()
    at = data.index(b"PK\x03\x04" + data[data.index(name.encode()) - 26 : data.index(name.encode())] + name.encode())
    path.write_bytes(data[:at + 30] + other.encode() + data[at + 30 + len(name):])
    return path


def damaged(path):
    """The package with a byte of its last stored archive changed, where only the ZIP's CRC-32 can tell."""
    data = path.read_bytes()
    at = data.rindex(b"Example Domain")
    path.write_bytes(data[:at] + b"X" + data[at + 1:])
    return path


@pytest.fixture(scope="module")
def sound_package(tmp_path_factory):
    return make_wacz(tmp_path_factory.mktemp("sound"), SAMPLES / "example.com.warc")


@pytest.mark.parametrize("name", REFUSED)
def test_refused_packages_leave_no_output(name, sound_package, tmp_path):
    make, message, checked_too = REFUSED[name]
    package = make(sound_package, tmp_path)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(ArchiveError, match=message):
        sign_wacz(package, store_for)
    assert sorted(os.listdir(tmp_path)) == before  # no output, no temporary file
    problems = check_wacz(package)
    assert any(re.search(message, p) for p in problems) == checked_too, problems


@pytest.mark.parametrize("change, problem", [
    (lambda p, d: rewrite(p, d / "x.wacz", deflate=True), "example.com.warc: deflated .* must be STORED"),
    (lambda p, d: rewrite(p, d / "x.wacz", methods={"archive/": zipfile.ZIP_BZIP2}), "example.com.warc: bzip2-compressed .* must be STORED"),
    (lambda p, d: rewrite(p, d / "x.wacz", methods={"archive/": zipfile.ZIP_LZMA}), "example.com.warc: LZMA-compressed .* must be STORED"),
    (lambda p, d: with_entries(shutil.copyfile(p, d / "x.wacz"), {"notes.txt": b"unlisted"}, "a"), "notes.txt: .* not listed"),
    (lambda p, d: rewrite(p, d / "x.wacz", digest={"signedData": {"hash": "sha256:" + "0" * 64}}), "signedData .* signs the hash sha256:0+, not"),
])
def test_check_finds_what_makes_a_package_unsound(change, problem, sound_package, tmp_path):
    assert check_wacz(sound_package) == []
    problems = check_wacz(change(sound_package, tmp_path))
    assert len(problems) == 1 and re.search(problem, problems[0]), problems


@pytest.mark.parametrize("make, expected", [
    (lambda d: d / "named.wacz", True),  # by name, before reading it
    (lambda d: with_entries(d / "package.zip", {"datapackage.json": b"{}"}), True),
    (lambda d: with_entries(d / "other.zip", {"readme.txt": b"hi"}), False),
    (lambda d: shutil.copyfile(SAMPLES / "pywb/example.warc.gz", d / "a.warc.gz"), False),
    (lambda d: d / "missing.warc", False),
])
def test_is_wacz(make, expected, tmp_path):
    assert is_wacz(make(tmp_path)) is expected


def with_entries(path, entries, mode="w"):
    with zipfile.ZipFile(path, mode) as out:
        for name, data in entries.items():
            out.writestr(name, data)
    return path


# ---------------------------------------------------------------------------- the ZIP as written


def central_records(path):
    """{raw name: central directory record with its offset zeroed}, in order,
    parsed here, not by the code under test."""
    with zipfile.ZipFile(path) as package:
        at, count = package.start_dir, len(package.infolist())
    data, records = path.read_bytes(), {}
    for _ in range(count):
        assert data[at:at + 4] == b"PK\x01\x02"
        n, m, k = struct.unpack_from("<3H", data, at + 28)
        record = data[at:at + 46 + n + m + k]
        records[record[46:46 + n]] = record[:42] + bytes(4) + record[46:]
        at += len(record)
    return records


def with_unicode_path(path):
    """The package with an unlisted entry named as Info-ZIP names one on Unix:
    UTF-8 bytes without the UTF-8 flag, and a Unicode Path field (0x7075),
    which zipfile takes for the entry's name from CPython 3.12 on."""
    raw, placeholder = "notes/café.txt".encode(), b"notes/cafXY.txt"
    info = zipfile.ZipInfo(placeholder.decode(), (2026, 1, 1, 0, 0, 0))
    info.extra = struct.pack("<HHBL", 0x7075, 5 + len(raw), 1, zlib.crc32(raw)) + raw
    with zipfile.ZipFile(path, "a") as package:
        package.writestr(info, b"notes")
    path.write_bytes(path.read_bytes().replace(placeholder, raw))
    return path


def test_every_entry_keeps_its_central_directory_record(sound_package, tmp_path):
    package = with_unicode_path(shutil.copyfile(sound_package, tmp_path / "in.wacz"))
    sign_wacz(package, store_for, tmp_path / "out.wacz")
    before, after = central_records(package), central_records(tmp_path / "out.wacz")
    assert list(after) == list(before)
    copied = [n for n in before if not n.startswith(b"archive/") and n not in (b"datapackage.json", b"datapackage-digest.json")]
    assert {n: after[n] for n in copied} == {n: before[n] for n in copied}
    with zipfile.ZipFile(tmp_path / "out.wacz") as out:  # on CPython 3.12+ its names differed from the local headers'
        assert out.testzip() is None


def test_an_output_that_reads_back_otherwise_is_not_put_in_place(sound_package, tmp_path, monkeypatch):
    real = output_module.Output.copy_from

    def damaging(self, source, offset, count):  # a copy that went wrong on the way to the disk
        real(self, source, offset, count)
        if self._owned:
            self.flush()
            last = os.pread(self.fileno(), 1, self.written - 1)
            os.pwrite(self.fileno(), bytes([last[0] ^ 1]), self.written - 1)

    monkeypatch.setattr(output_module.Output, "copy_from", damaging)
    (tmp_path / "out").mkdir()
    with pytest.raises(ArchiveError, match="read back, its bytes differ from those written"):
        sign_wacz(sound_package, store_for, tmp_path / "out" / "signed.wacz")
    assert os.listdir(tmp_path / "out") == []


def a_pipe(directory):
    read, write = os.pipe()
    os.close(read)
    return os.fdopen(write, "wb")


OPEN_OUTPUTS = [
    # (why, the open file, whether a package can be written to it)
    ("a BytesIO", lambda d: io.BytesIO(), True),
    ("a file open to read and write", lambda d: open(d / "out.wacz", "w+b"), True),
    ("a file open to write only", lambda d: open(d / "out.wacz", "wb"), True),  # not read back
    ("a pipe", a_pipe, False),  # its local headers cannot be completed
]


@pytest.mark.parametrize("why, opened, works", OPEN_OUTPUTS, ids=[c[0] for c in OPEN_OUTPUTS])
def test_sign_writes_a_package_to_an_open_file(sound_package, tmp_path, why, opened, works):
    with opened(tmp_path) as out:
        if not works:
            with pytest.raises(ArchiveError, match="a package is written to a path, or to a file open for writing that can seek"):
                sign(sound_package, STORE, out)
            return
        result = sign(sound_package, STORE, out)  # a TypeError before
        out.flush()
        if isinstance(out, io.BytesIO):
            (tmp_path / "out.wacz").write_bytes(out.getvalue())
    assert result.records == vellumark_tools.census(sound_package).records and check_wacz(tmp_path / "out.wacz") == []
    assert wacz_manifests(tmp_path / "out.wacz")[0][1].store == STORE


# ---------------------------------------------------------------------------- multi-WACZ


def multi_wacz(directory, packages, method=zipfile.ZIP_STORED):
    """A ZIP of WACZ packages, as Browsertrix downloads come, with its datapackage.json."""
    resources = [{"name": n, "path": n, "hash": sha256(p.read_bytes()), "bytes": p.stat().st_size} for n, p in packages.items()]
    with zipfile.ZipFile(directory / "multi.wacz", "w", method) as package:
        for name, path in packages.items():
            package.write(path, name)
        package.writestr("datapackage.json", json.dumps({"profile": "multi-wacz-package", "resources": resources}, indent=2),
                         zipfile.ZIP_DEFLATED)
    return directory / "multi.wacz"


@pytest.fixture(scope="module")
def multi(tmp_path_factory):
    directory = tmp_path_factory.mktemp("multi")
    (directory / "a").mkdir()
    (directory / "b").mkdir()
    packages = {"a.wacz": make_wacz(directory / "a", SAMPLES / "example.com.warc"),
                "b.wacz": make_wacz(directory / "b", SAMPLES / "pywb/example.warc.gz", SAMPLES / "warcat/at.warc")}
    return types.SimpleNamespace(path=multi_wacz(directory, packages), packages=packages)


def test_a_multi_wacz_is_read_package_by_package(multi):
    inner = [(f"{name}/{entry}", path) for name, path in multi.packages.items() for entry, _ in wacz_archives(path)]
    assert [n for n, _ in wacz_archives(multi.path)] == [n for n, _ in inner]
    alone = {name: vellumark_tools.check(path) for name, path in multi.packages.items()}
    found = vellumark_tools.check(multi.path)  # "ok: 0 records" before
    assert found.records == sum(c.records for c in alone.values()) > 0
    assert found.problems == [f"{name}/{problem}" for name, c in alone.items() for problem in c.problems]
    fields = ["offset", "length", "warc-record-id"]
    assert list(index_entries(multi.path, fields)) == [e for p in multi.packages.values() for e in index_entries(p, fields)]


def test_a_multi_wacz_is_signed_package_by_package(multi, tmp_path):
    result = sign_wacz(multi.path, store_for, tmp_path / "signed.wacz")
    names = [n for n, _ in wacz_archives(multi.path)]
    assert [s.output for s in result.archives] == names and check_wacz(tmp_path / "signed.wacz") == []
    assert [(n, f.store) for n, f in wacz_manifests(tmp_path / "signed.wacz")] == [(n, store_for(n)) for n in names]
    with zipfile.ZipFile(tmp_path / "signed.wacz") as package:
        for name in multi.packages:
            (tmp_path / name).write_bytes(package.read(name))
            assert check_wacz(tmp_path / name) == []
            status, printed = py_wacz("validate", "-f", tmp_path / name)
            assert status == 0 and "is valid" in printed, printed


def test_a_package_deflated_inside_a_multi_wacz_is_refused(multi, tmp_path):
    deflated = multi_wacz(tmp_path, multi.packages, zipfile.ZIP_DEFLATED)
    with pytest.raises(ArchiveError, match="a.wacz: a package deflated inside the multi-WACZ: it must be stored"):
        sign_wacz(deflated, store_for)
    assert check_wacz(deflated)[0] == "a.wacz: a package deflated inside the multi-WACZ: it must be stored"


# ---------------------------------------------------------------------------- packages made up by hypothesis

RECORDS = [record("warcinfo", b"software: test\r\n", 0), record("response", b"HTTP/1.1 200 OK\r\n\r\nhello", 1)]
METHODS = [zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED, zipfile.ZIP_BZIP2, zipfile.ZIP_LZMA]


class NoSeek(io.BytesIO):
    """A stream zipfile cannot seek back in: it writes a data descriptor after each entry."""

    def seek(self, *args):
        raise OSError("not seekable")


@st.composite
def layouts(draw):
    """How a package is laid out: its archives (gzip per record or plain, stored or deflated), other files in any
    compression and with any name, datapackage.json in any compression, with CR LF, first or last, a digest or
    none, data descriptors, ZIP64 headers, a comment."""
    names = st.text(st.sampled_from("abxyé-_.0"), min_size=1, max_size=8).map(lambda n: "extra/" + n)
    return {
        "archives": draw(st.lists(st.tuples(st.booleans(), st.sampled_from(METHODS[:2])), min_size=1, max_size=2)),
        "extras": draw(st.dictionaries(names, st.tuples(st.binary(max_size=200), st.sampled_from(METHODS)), max_size=3)),
        "json_method": draw(st.sampled_from(METHODS)), "crlf": draw(st.booleans()), "json_first": draw(st.booleans()),
        "digest": draw(st.booleans()), "descriptors": draw(st.booleans()), "zip64": draw(st.booleans()),
        "comment": draw(st.binary(max_size=20).filter(lambda c: b"PK\x05\x06" not in c)),  # zipfile would take it for the end record
    }


def built(layout) -> bytes:
    files = {}
    for n, (compressed, method) in enumerate(layout["archives"]):
        data = per_record_gz(RECORDS) if compressed else b"".join(RECORDS)
        files[f"archive/a{n}.warc" + (".gz" if compressed else "")] = (data, method)
    files.update(layout["extras"])
    resources = [{"name": n, "path": n, "hash": sha256(d), "bytes": len(d)} for n, (d, _) in files.items()]
    text = json.dumps({"profile": "data-package", "resources": resources}, indent=2)
    text = text.replace("\n", "\r\n") if layout["crlf"] else text
    meta = {"datapackage.json": (text.encode(), layout["json_method"])}
    if layout["digest"]:
        meta["datapackage-digest.json"] = (json.dumps({"path": "datapackage.json", "hash": sha256(text.encode())}).encode(), layout["json_method"])
    buffer = NoSeek() if layout["descriptors"] else io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as package:
        package.comment = layout["comment"]
        for name, (data, method) in ({**meta, **files} if layout["json_first"] else {**files, **meta}).items():
            info = zipfile.ZipInfo(name, (2026, 1, 1, 0, 0, 0))
            info.compress_type = method
            with package.open(info, "w", force_zip64=layout["zip64"]) as out:
                out.write(data)
    return buffer.getvalue()


@settings(max_examples=80, deadline=None)
@given(layouts())
def test_made_up_packages_are_signed_with_every_other_entry_kept(layout):
    with tempfile.TemporaryDirectory() as directory:
        source, target = pathlib.Path(directory, "in.wacz"), pathlib.Path(directory, "out.wacz")
        source.write_bytes(built(layout))
        signed = sign_wacz(source, store_for, target)
        with zipfile.ZipFile(target) as package:
            assert package.testzip() is None
            datapackage = package.read("datapackage.json")
        assert check_wacz(target) == []
        assert [(n, f.store) for n, f in wacz_manifests(target)] == [(s.output, store_for(s.output)) for s in signed.archives]
        rewritten = ("datapackage.json", "datapackage-digest.json")
        before, after = raw_entries(source), raw_entries(target)
        kept = {n: (c, d) for n, c, d in before if not n.startswith("archive/") and n not in rewritten}
        assert {n: (c, d) for n, c, d in after if n in kept} == kept
        assert {n: c for n, c, _ in after if n in rewritten} == {n: c for n, c, _ in before if n in rewritten}
        assert (b"\r\n" in datapackage) == layout["crlf"] and datapackage.count(b"\n") == datapackage.count(b"\r\n") * layout["crlf"] or not layout["crlf"]


DAMAGE = st.one_of(
    st.tuples(st.just("flip"), st.integers(min_value=0), st.integers(min_value=1, max_value=255)),
    st.tuples(st.just("cut"), st.integers(min_value=0), st.just(0)),
    st.tuples(st.just("insert"), st.integers(min_value=0), st.integers(min_value=0, max_value=255)),
)


def damaged_by(data: bytes, damage) -> bytes:
    kind, at, value = damage
    if not data:
        return data
    at %= len(data)
    if kind == "flip":
        return data[:at] + bytes([data[at] ^ value]) + data[at + 1:]
    return data[:at] if kind == "cut" else data[:at] + bytes([value]) + data[at:]


@settings(max_examples=300, deadline=None)
@given(layouts(), st.lists(DAMAGE, min_size=1, max_size=3))
def test_damaged_packages_are_refused_in_a_line_or_read_as_zipfile_reads_them(layout, damages):
    data = built(layout)
    for damage in damages:
        data = damaged_by(data, damage)
    with tempfile.TemporaryDirectory() as directory:
        source, target = pathlib.Path(directory, "in.wacz"), pathlib.Path(directory, "out.wacz")
        source.write_bytes(data)
        problems = check_wacz(source)
        assert all(isinstance(p, str) and "\n" not in p for p in problems)
        assert all("\n" not in p for p in vellumark_tools.check(source).problems)
        try:
            sign_wacz(source, store_for, target)
        except ArchiveError as error:
            assert "\n" not in str(error) and not target.exists()
        else:
            with zipfile.ZipFile(target) as package:
                assert package.testzip() is None
