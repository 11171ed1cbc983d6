"""The placeholder workflow on archives on disk, as a signer runs it: a
placeholder store of N bytes signed in, the data hash around its record, a
final store of N bytes holding that hash signed in its place, and check
finding the binding true, in every layout and version and in a WACZ package;
then an archive changed afterwards, a store of another size, and the command's
lines."""

import base64
import gzip
import hashlib
import io
import json
import random
import zipfile
import zlib

import pytest

from conftest import SAMPLES, STORE, manifest_record, per_record_gz, py_wacz, record, run_command
from jumbf_stores import data_hash_store, final_store
from vellumark_tools import ArchiveError, Verdict, check, data_hash, sign, sign_wacz, verify_binding, wacz_archives
from vellumark_tools.binding import stored_member, stored_member_length

PLACEHOLDER = data_hash_store()
BODY = random.Random(20).randbytes(3000)  # does not compress: its members keep their length when a byte changes


def records(version: str):
    return [record("warcinfo", b"software: test\r\n", 0, version), record("response", BODY, 1, version),
            record("request", b"GET / HTTP/1.1\r\n\r\n", 2, version)]


LAYOUTS = {
    # name: the archive's bytes from its records
    "per-record .warc.gz": per_record_gz,
    "single-member .warc.gz": lambda rs: gzip.compress(b"".join(rs), mtime=0),
    ".warc": lambda rs: b"".join(rs),
    # the blank line signing adds after a last record that lacks it is kept when signed again
    ".warc, last record short of its blank line": lambda rs: b"".join(rs)[:-2],
    ".warc, last record glued to the end": lambda rs: b"".join(rs)[:-4],
    ".warc, LF line after the last record": lambda rs: b"".join(rs)[:-4] + b"\n",
}
SUFFIX = {True: ".warc.gz", False: ".warc"}


def archive(tmp_path, layout: str, version: str):
    data = LAYOUTS[layout](records(version))
    path = tmp_path / ("crawl" + SUFFIX[data[:2] == b"\x1f\x8b"])
    path.write_bytes(data)
    return path


def signed_with_placeholder(path):
    signed = sign(path, PLACEHOLDER)
    assert signed.binding.verdict == Verdict.PLACEHOLDER and signed.range_moved() is None
    return signed


@pytest.mark.parametrize("version", ["1.1", "1.0"])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_the_placeholder_workflow_binds_the_final_store(tmp_path, layout, version):
    first = signed_with_placeholder(archive(tmp_path, layout, version))
    hashed = data_hash(first.output)
    assert hashed.exclusions == [(first.manifest_offset, first.manifest_length)]
    with open(first.output, "rb") as out:
        assert hashed.digest == hashlib.sha256(out.read()[: first.manifest_offset]).digest()  # the record stands last
    final = final_store(hashed.fields())
    assert len(final) == len(PLACEHOLDER)
    again = sign(first.output, final)  # in place: NAME.c2pa.warc keeps its name
    assert again.output == first.output and (again.manifest_offset, again.manifest_length) == hashed.exclusions[0]
    assert again.binding.verdict == Verdict.MATCH and again.range_moved() is None
    checked = check(again.output)
    assert checked.ok and [b.verdict for _, b in checked.bindings] == [Verdict.MATCH], checked.problems
    assert data_hash(again.output) == hashed
    # Another store of the same size keeps the range too, whatever it holds.
    other = sign(again.output, final_store({**hashed.fields(), "hash": base64.b64encode(bytes(32)).decode()}))
    assert (other.manifest_offset, other.manifest_length) == hashed.exclusions[0]
    assert other.binding.verdict == Verdict.MISMATCH


def test_a_final_store_of_another_size_moves_the_range_and_fails(tmp_path):
    first = signed_with_placeholder(archive(tmp_path, "per-record .warc.gz", "1.1"))
    hashed = data_hash(first.output)
    again = sign(first.output, final_store(hashed.fields(), pad=40))
    new = (again.manifest_offset, again.manifest_length)
    assert new != hashed.exclusions[0] and again.binding.verdict == Verdict.NOT_THE_RECORD
    assert again.range_moved() == (f"the manifest store record moved from [{first.manifest_offset}, +{first.manifest_length}] "
                                   f"to [{new[0]}, +{new[1]}]: a binding written for the old range no longer holds")
    assert check(again.output).problems == [
        f"binding exclusions are not the manifest store record: the store excludes [{first.manifest_offset}, "
        f"+{first.manifest_length}], and the manifest store record stands at [{new[0]}, +{new[1]}]"]


def same_length_member(member: bytes, at: int) -> bytes:
    """The gzip member with the byte `at` of its data changed, gzipped again to
    the member's own length (so that nothing after it moves)."""
    data = bytearray(gzip.decompress(member))
    for value in range(1, 256):
        data[at] ^= value
        for level in range(9, -1, -1):
            again = gzip.compress(bytes(data), compresslevel=level, mtime=0)
            if len(again) == len(member):
                return again
        data[at] ^= value
    pytest.fail("no member of the same length")


def first_member(data: bytes) -> int:
    decompressor = zlib.decompressobj(wbits=31)
    decompressor.decompress(data)
    return len(data) - len(decompressor.unused_data)


def changed_record(data: bytes) -> bytes:
    """The first record's first body byte changed, each layout kept sound."""
    if data[:2] == b"\x1f\x8b":
        end = first_member(data)
        body = gzip.decompress(data[:end]).index(b"\r\n\r\n") + 4
        return same_length_member(data[:end], body) + data[end:]
    body = data.index(b"\r\n\r\n") + 4
    return data[:body] + bytes([data[body] ^ 1]) + data[body + 1 :]


@pytest.mark.parametrize("layout", ["per-record .warc.gz", "single-member .warc.gz", ".warc"])
def test_one_byte_of_a_record_changed_afterwards_is_a_mismatch(tmp_path, layout):
    first = signed_with_placeholder(archive(tmp_path, layout, "1.0"))
    final = sign(first.output, final_store(data_hash(first.output).fields()))
    with open(final.output, "rb") as file:
        data = file.read()
    changed = changed_record(data)
    assert len(changed) == len(data) and changed != data
    with open(final.output, "wb") as file:
        file.write(changed)
    binding = verify_binding(final.output)
    assert binding.verdict == Verdict.MISMATCH and binding.expected != binding.actual
    assert check(final.output).problems[-1].startswith("binding does not match: the archive's bytes outside")


# ---------------------------------------------------------------------------- WACZ


def wacz_of(tmp_path, *warcs):
    output = tmp_path / "crawl.wacz"
    status, printed = py_wacz("create", "-o", output, *warcs)
    assert status == 0, printed
    return output


def entry_hashes(path):
    return {name: data_hash(stream) for name, stream in wacz_archives(path)}


def test_each_archive_of_a_wacz_package_is_bound_on_its_own(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    (tmp_path / "a" / "one.warc.gz").write_bytes(per_record_gz(records("1.1")))
    (tmp_path / "b" / "two.warc.gz").write_bytes(per_record_gz(records("1.0")[:2]))
    package = wacz_of(tmp_path, tmp_path / "a" / "one.warc.gz", tmp_path / "b" / "two.warc.gz")
    placed = sign_wacz(package, lambda entry: PLACEHOLDER)
    assert [s.binding.verdict for s in placed.archives] == [Verdict.PLACEHOLDER] * 2
    hashed = entry_hashes(placed.output)
    assert [h.exclusions[0] for h in hashed.values()] == [(s.manifest_offset, s.manifest_length) for s in placed.archives]
    finals = {name: final_store(h.fields()) for name, h in hashed.items()}
    signed = sign_wacz(placed.output, finals.__getitem__)
    assert [s.binding.verdict for s in signed.archives] == [Verdict.MATCH] * 2
    assert entry_hashes(signed.output) == hashed
    checked = check(signed.output)
    assert checked.ok and [(n, b.verdict) for n, b in checked.bindings] == [(n, Verdict.MATCH) for n in hashed], checked.problems
    # One record byte of the first archive changed inside the package: that archive's binding fails.
    with zipfile.ZipFile(signed.output) as zipped, open(signed.output, "r+b") as file:
        info = zipped.infolist()[[i.filename for i in zipped.infolist()].index(next(iter(hashed)))]
        file.seek(info.header_offset + 26)
        start = info.header_offset + 30 + int.from_bytes(file.read(2), "little") + int.from_bytes(file.read(2), "little")
        file.seek(start)
        entry = file.read(info.file_size)
        file.seek(start)
        file.write(changed_record(entry))
    verdicts = [b.verdict for _, b in check(signed.output).bindings]
    assert verdicts == [Verdict.MISMATCH, Verdict.MATCH]


# ---------------------------------------------------------------------------- the stored gzip member


@pytest.mark.parametrize("size", [0, 1, 65534, 65535, 65536, 131070, 131071, 200_000])
def test_the_record_member_length_follows_from_the_data_length_alone(size):
    """Stored deflate blocks of at most 65,535 bytes: a header, five bytes a block, the data, the trailer."""
    for data in (bytes(size), random.Random(size).getrandbits(8 * size).to_bytes(size, "big") if size else b""):
        member = b"".join(stored_member(data))
        assert len(member) == stored_member_length(size) and gzip.decompress(member) == data
        assert member[:10] == b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"  # fixed: no name, mtime 0


# ---------------------------------------------------------------------------- the command


def lines(result, stream="stdout"):
    return getattr(result, stream).decode().splitlines()


def test_hash_sign_and_check_lines(tmp_path):
    path = archive(tmp_path, "per-record .warc.gz", "1.0")
    (tmp_path / "placeholder.c2pa").write_bytes(PLACEHOLDER)
    signed = run_command("sign", path, "--manifest", tmp_path / "placeholder.c2pa")
    output = tmp_path / "crawl.c2pa.warc.gz"
    assert signed.returncode == 0 and lines(signed)[0].endswith("; binding placeholder, not signed yet")
    hashed = run_command("hash", output)
    assert hashed.returncode == 0 and len(lines(hashed)) == 1
    fields = json.loads(hashed.stdout)
    data = output.read_bytes()
    start = fields["exclusions"][0]["start"]
    assert fields == {"file": str(output), "alg": "sha256", "hash": base64.b64encode(hashlib.sha256(data[:start]).digest()).decode(),
                      "hash_hex": hashlib.sha256(data[:start]).hexdigest(), "exclusions": [{"start": start, "length": len(data) - start}]}
    wider = json.loads(run_command("hash", output, "--alg", "sha512").stdout)
    assert wider["alg"] == "sha512" and wider["hash_hex"] == hashlib.sha512(data[:start]).hexdigest()
    (tmp_path / "final.c2pa").write_bytes(final_store(fields))
    assert "binding matches" in lines(run_command("sign", output, "--manifest", tmp_path / "final.c2pa"))[0]
    checked = run_command("check", "-v", output)
    assert checked.returncode == 0 and lines(checked)[1:] == [
        "  active manifest: urn:c2pa:5f2b6c3e-9d7a-4b1e-8c2f-0a1b2c3d4e5f",
        f"  expected sha256: {fields['hash_hex']}",
        f"  actual sha256: {fields['hash_hex']}",
        f"  exclusions: [{start}, +{len(data) - start}]",
        f"  manifest store record: [{start}, +{len(data) - start}]",
    ]
    record = f"[{start}, +{len(data) - start}]"
    assert lines(checked)[0].endswith(f", binding matches: sha256 of every byte outside the manifest store record {record}")
    # A record ID of another length moves the range, and sign says so.
    moved = run_command("sign", output, "--manifest", tmp_path / "final.c2pa", "--record-id", "urn:x:1")
    assert moved.returncode == 0 and "; the manifest store record moved from" in lines(moved)[0]
    assert lines(moved)[0].endswith("a binding written for the old range no longer holds")
    assert run_command("check", output).returncode == 1


def test_hash_fails_an_archive_without_a_manifest_store_record_and_goes_on(tmp_path):
    bare = archive(tmp_path, ".warc", "1.1")
    signed = tmp_path / "signed.warc"
    sign(bare, STORE, signed)
    result = run_command("hash", bare, signed)
    assert result.returncode == 1
    assert lines(result, "stderr") == [f"vellumark: {bare}: no manifest store record: sign it with a placeholder store first"]
    assert [json.loads(line)["file"] for line in lines(result)] == [str(signed)]


def test_hash_gives_each_archive_of_a_package_by_its_entry(tmp_path):
    (tmp_path / "one.warc.gz").write_bytes(per_record_gz(records("1.1")))
    package = wacz_of(tmp_path, tmp_path / "one.warc.gz")
    placed = sign_wacz(package, lambda entry: PLACEHOLDER)
    result = run_command("hash", placed.output)
    fields = json.loads(result.stdout)
    assert result.returncode == 0 and (fields["file"], fields["archive"]) == (placed.output, "archive/one.warc.gz")
    assert [(e["start"], e["length"]) for e in fields["exclusions"]] == [
        (placed.archives[0].manifest_offset, placed.archives[0].manifest_length)]


@pytest.mark.parametrize("source, message", [
    (SAMPLES / "pywb" / "example.warc.gz", "no manifest store record: sign it with a placeholder store first"),
    (io.BytesIO(b"not an archive"), "not a WARC archive"),
])
def test_data_hash_refusals(source, message):
    with pytest.raises(ArchiveError, match=message):
        data_hash(source)


R, M, M2 = records("1.1"), manifest_record(1), manifest_record(2)
AGAIN = "sign it again, which"
NOT_AS_SIGNED = [
    # (case, archive, message): the next signing changes bytes outside the record, so a hash of it would be false
    ("two manifest store records", b"".join(R) + M + M2, f"2 manifest store records: {AGAIN} keeps one"),
    ("a record after it", R[0] + M + R[1] + R[2],
     f"the manifest store record at offset {len(R[0])} is not the last record: {AGAIN} puts it last"),
    ("a line break after it", b"".join(R) + M + b"\r\n", f"2 bytes follow the manifest store record: {AGAIN} ends the archive with it"),
    ("zero padding after its member", per_record_gz(R + [M]) + bytes(512),
     f"512 bytes follow the manifest store record: {AGAIN} ends the archive with it"),
    ("it shares a gzip member", per_record_gz(R[:2]) + gzip.compress(R[2] + M, mtime=0),
     f"not gzipped per record: {AGAIN} gives every record a gzip member of its own"),
    ("records before it share one", gzip.compress(b"".join(R), mtime=0) + gzip.compress(M, mtime=0),
     f"not gzipped per record: {AGAIN} gives every record a gzip member of its own"),
]


@pytest.mark.parametrize("case, data, message", NOT_AS_SIGNED, ids=[row[0] for row in NOT_AS_SIGNED])
def test_hash_refuses_an_archive_the_next_signing_changes_and_signing_again_mends_it(tmp_path, case, data, message):
    """These gave a hash, which the final store could never match."""
    path = tmp_path / ("crawl.warc.gz" if data[:2] == b"\x1f\x8b" else "crawl.warc")
    path.write_bytes(data)
    with pytest.raises(ArchiveError) as refused:
        data_hash(path)
    assert str(refused.value) == message
    placed = sign(path, PLACEHOLDER)
    hashed = data_hash(placed.output)
    assert sign(placed.output, final_store(hashed.fields())).binding.verdict == Verdict.MATCH


def error_of(function, path) -> str:
    with pytest.raises(ArchiveError) as error:
        function(path)
    return str(error.value)


CHANGED = "the archive changed while its binding was being checked: check it once nothing writes to it"


@pytest.mark.parametrize("message_of, patched, expected", [
    (lambda path: error_of(data_hash, path), "data_hash_of", "the archive changed while it was being hashed: hash it once nothing writes to it"),
    (lambda path: error_of(verify_binding, path), "verify", CHANGED),
    (lambda path: check(path).problems[-1], "verify", CHANGED),
])
def test_an_archive_written_to_between_reading_its_store_and_hashing_it_is_refused(tmp_path, monkeypatch, message_of, patched, expected):
    """It used to give a hash, or a verdict, of bytes that were never one archive."""
    from vellumark_tools import survey

    path = signed_with_placeholder(archive(tmp_path, ".warc", "1.1")).output
    real = getattr(survey, patched)

    def after_a_write(stream, *args):  # another program appends to the archive between the two passes
        with open(path, "ab") as file:
            file.write(b"\x00")
        return real(stream, *args)

    monkeypatch.setattr(survey, patched, after_a_write)
    assert message_of(path) == expected
