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
import re
import shutil
import struct
import subprocess
import sys
import types
import zipfile

import pytest

import vellumark
from conftest import SAMPLES
from vellumark_tools import ArchiveError, check_wacz, index_entries, is_wacz, sign, sign_wacz, wacz_archives, wacz_manifests
from vellumark_tools import wacz as wacz_module


def store_for(name: str) -> bytes:
    """Opaque bytes shaped like a manifest store, a different one per archive."""
    return b"\x00\x00\x00\x20jumb" + name.encode().ljust(24, b"x")


def make_wacz(directory, *warcs, name="package.wacz"):
    pytest.importorskip("wacz", reason="py-wacz (wacz create) writes the packages these tests sign")
    output = directory / name
    subprocess.run([sys.executable, "-m", "wacz", "create", "-o", str(output), *map(str, warcs)],
                   check=True, capture_output=True, timeout=120)
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


def rewrite(source, target, *, drop=(), replace=None, first=(), deflate=False, force_zip64=False, descriptors=False,
            fix_hashes=False, datapackage=None, digest=None):
    """Another layout of a package, written by zipfile: entries left out, replaced,
    moved first, archives deflated, ZIP64 headers forced, data descriptors;
    datapackage.json edited (its hashes made true first, if asked), fields of the
    digest set; the digest's own hash made true."""
    with zipfile.ZipFile(source) as package:
        entries = {i.filename: (i.date_time, i.compress_type, package.read(i)) for i in package.infolist() if i.filename not in drop}
    for name, data in (replace or {}).items():
        entries[name] = entries[name][:2] + (data,)
    if fix_hashes or datapackage:
        document = json.loads(entries["datapackage.json"][2])
        for resource in document["resources"] if fix_hashes else []:
            data = entries[resource["path"]][2]
            resource.update(hash=sha256(data), bytes=len(data))
        (datapackage or (lambda _: None))(document)
        entries["datapackage.json"] = entries["datapackage.json"][:2] + (json.dumps(document, indent=2).encode(),)
    if "datapackage-digest.json" in entries:
        document = {**json.loads(entries["datapackage-digest.json"][2]), "hash": sha256(entries["datapackage.json"][2]), **(digest or {})}
        entries["datapackage-digest.json"] = entries["datapackage-digest.json"][:2] + (json.dumps(document, indent=2).encode(),)
    with (Unseekable if descriptors else open)(target, "wb") as file, zipfile.ZipFile(file, "w") as package:
        for name in [n for n in first if n in entries] + [n for n in entries if n not in first]:
            date_time, compression, data = entries[name]
            new = zipfile.ZipInfo(name, date_time)
            new.compress_type = zipfile.ZIP_DEFLATED if deflate and name.startswith("archive/") else compression
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
    "a signedData": (MIXED, {"signedData": True}),
    "datapackage.json first": (MIXED, {"first": ("datapackage.json", "datapackage-digest.json")}),
    "compact datapackage.json": (MIXED, {"compact": True}),
    "ZIP64 output": (MIXED, {"zip64_output": True}),
    "signed again, in place": (MIXED, {"signed_again": True}),
}


def laid_out(directory, package, layout):
    """The package made by wacz create, laid out as a case has it."""
    options = {k: v for k, v in layout.items() if k in ("deflate", "force_zip64", "first", "descriptors")}
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
            patch.setattr(wacz_module, "ZIP64_AT", 1000)  # every size and offset past it: ZIP64 fields throughout
        result = sign_wacz(package, store_for)
    return types.SimpleNamespace(name=request.param, before=before, output=result.output, result=result)


def test_output_is_a_valid_wacz_with_each_archive_signed(case):
    assert case.result.output.endswith(".c2pa.wacz")
    validated = subprocess.run([sys.executable, "-m", "wacz", "validate", "-f", str(case.output)], capture_output=True, text=True, timeout=120)
    assert validated.returncode == 0 and "is valid" in validated.stdout, validated.stdout + validated.stderr
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
        pytest.skip("unzip is not installed: it reads the ZIP independently of zipfile")
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
        pytest.skip("cdxj-indexer is not installed: it indexes the archives independently of this package")
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
}


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
