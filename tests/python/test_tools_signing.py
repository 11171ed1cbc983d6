"""Signing archives on disk: kept bytes copied by range, gzip members kept byte
for byte, the new record in the archive's own version, and outputs that never
damage a file."""

import errno
import fcntl
import gzip
import io
import os
import stat
import subprocess
import sys

import pytest

import vellumark
from conftest import STORE, command_env, gzip_members, inflated, is_manifest, linux_only, manifest_record, peers_read, per_record_gz, record
from vellumark_tools import ArchiveError, iter_records, sign
from vellumark_tools import output as output_module
from vellumark_tools.signing import signed_name

KEPT = [record("warcinfo", b"software: test\r\n", 0), record("response", os.urandom(5000), 1),
        record("request", b"GET / HTTP/1.1\r\n\r\n", 2), record("resource", b"", 3)]


def sign_bytes(data: bytes, **kwargs):
    out = io.BytesIO()
    signed = sign(io.BytesIO(data), STORE, out, "urn:uuid:new", **kwargs)
    return signed, out.getvalue()


def members_of(data: bytes):
    """(offset, raw bytes) of each gzip member."""
    return [(offset, data[offset : offset + length]) for offset, length in gzip_members(data)]


def check_signed_output(output: bytes, kept_records, version: str = "1.1", peers=("warcio", "fastwarc")) -> None:
    """The output reads as the kept records and then one manifest store record,
    in the archive's version, through this package and every peer."""
    got = list(iter_records(io.BytesIO(output)))
    assert [r.headers for r in got[:-1]] == [vellumark.read_records(kr.replace(b"WARC/1.0", b"WARC/1.1", 1))[0]["headers"] for kr in kept_records]
    assert is_manifest(got[-1].warc) and got[-1].body == STORE and got[-1].version == version
    assert sum(is_manifest(r.warc) for r in got) == 1
    for peer, rows in peers_read(output).items():
        if peer in peers:
            assert rows == [(r.headers, r.body) for r in got], peer


# ---------------------------------------------------------------------------- .warc.gz

PER_RECORD_CASES = {
    # name: (records of the input, indices of earlier manifest store records among them)
    "no earlier manifest": (KEPT, []),
    "manifest in the middle": (KEPT[:2] + [manifest_record(1)] + KEPT[2:], [2]),
    "manifest at the end": (KEPT + [manifest_record(1)], [4]),
    "two manifests": ([manifest_record(1)] + KEPT + [manifest_record(2)], [0, 5]),
}


@pytest.mark.parametrize("case", PER_RECORD_CASES)
def test_per_record_input_keeps_every_other_member_byte_for_byte(case):
    records, dropped = PER_RECORD_CASES[case]
    data = per_record_gz(records)
    signed, output = sign_bytes(data)
    before, after = members_of(data), members_of(output)
    kept = [m for i, m in enumerate(before) if i not in dropped]
    unmoved = dropped[0] if dropped else len(before)  # members before the first dropped one keep their offsets
    assert after[:unmoved] == before[:unmoved]
    assert [raw for _, raw in after[:-1]] == [raw for _, raw in kept]
    assert signed.dropped == [before[i][0] for i in dropped] and signed.rewritten == 0
    assert (signed.manifest_offset, signed.manifest_length) == (after[-1][0], len(after[-1][1]))
    # re-indexing is needed only when a kept member follows a dropped one
    follows = dropped and any(i > dropped[0] and i not in dropped for i in range(len(records)))
    assert signed.moved_from == (before[dropped[0]][0] if follows else None)
    check_signed_output(output, [r for i, r in enumerate(records) if i not in dropped])


NOT_PER_RECORD = {
    "one member": lambda rs: gzip.compress(b"".join(rs)),
    "a record split over members": lambda rs: gzip.compress(rs[0][:30]) + per_record_gz([rs[0][30:]] + rs[1:]),
    "a manifest sharing a member": lambda rs: per_record_gz(rs[:2]) + gzip.compress(rs[2] + rs[3]) + per_record_gz(rs[4:]),
}


@pytest.mark.parametrize("case", NOT_PER_RECORD)
def test_records_sharing_or_spanning_members_get_members_of_their_own(case):
    records = KEPT[:2] + [manifest_record(1)] + KEPT[2:]
    data = NOT_PER_RECORD[case](records)
    signed, output = sign_bytes(data)
    assert all(r.own_member for r in iter_records(io.BytesIO(output)))
    assert [gzip.decompress(raw) for _, raw in members_of(output)[:-1]] == KEPT
    assert signed.moved_from is not None and signed.rewritten > 0
    # what came before the first record that was not alone stays byte for byte
    assert output[: signed.moved_from] == data[: signed.moved_from]
    check_signed_output(output, KEPT)


@pytest.mark.parametrize("filler", [b"", b"\r\n"], ids=["empty members", "line breaks"])
def test_members_without_a_record_are_kept_and_do_not_make_a_rewrite(filler):
    data = b"".join(gzip.compress(r) + gzip.compress(filler) for r in KEPT)
    signed, output = sign_bytes(data)
    assert signed.rewritten == 0 and output.startswith(data)
    # warcio reads a member of line breaks as an empty record; FastWARC stops at an empty member, in the input too
    check_signed_output(output, KEPT, peers=() if filler else ("warcio",))


def test_trailing_zero_padding_is_dropped_so_that_the_new_member_follows_the_data():
    data = per_record_gz(KEPT)
    signed, output = sign_bytes(data + bytes(100))
    assert output.startswith(data) and signed.manifest_offset == len(data)
    check_signed_output(output, KEPT)


@pytest.mark.parametrize("version", ["1.0", "0.18"])
@pytest.mark.parametrize("compressed", [False, True])
def test_the_new_record_carries_the_archives_version(version, compressed):
    records = [record("warcinfo", b"software: test\r\n", 0, version), record("response", b"x" * 100, 1, version)]
    data = per_record_gz(records) if compressed else b"".join(records)
    signed, output = sign_bytes(data)
    assert signed.version == version
    plain = inflated(output) if compressed else output
    assert plain[signed.manifest_offset if not compressed else len(inflated(data)):].startswith(b"WARC/%s\r\n" % version.encode())
    if version == "1.0":
        check_signed_output(output, records, version)


# ---------------------------------------------------------------------------- .warc


def test_uncompressed_input_keeps_its_bytes_and_gets_the_new_record_at_the_end():
    records = KEPT[:1] + [manifest_record(1)] + KEPT[1:]
    signed, output = sign_bytes(b"".join(records))
    assert output[: signed.manifest_offset] == b"".join(KEPT)
    assert signed.moved_from == len(KEPT[0])
    check_signed_output(output, KEPT)


BETWEEN_RECORDS = [
    ("records separated by a lone CR LF", b"\r\n".join(r[:-2] for r in KEPT) + b"\r\n"),
    ("a lone CR LF before the first record", b"\r\n" + b"".join(KEPT)),
    ("no separator after the last record", b"".join(KEPT)[:-4]),
]


@pytest.mark.parametrize("why, data", BETWEEN_RECORDS, ids=[b[0] for b in BETWEEN_RECORDS])
def test_bytes_between_records_are_kept_so_that_no_record_moves(why, data):
    # The module's appender drops line breaks it does not count to a record;
    # records after them would move, and a reader would find them glued.
    signed, output = sign_bytes(data)
    assert output.startswith(data) and signed.moved_from is None
    assert "no record moved" in signed.index_advice()
    check_signed_output(output, KEPT, peers=() if data.startswith(b"\r\n") else ("warcio", "fastwarc"))  # nor the input


def test_a_bad_record_id_or_archive_writes_nothing(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(KEPT[0])
    with pytest.raises(ArchiveError, match="CR or LF in WARC-Record-ID"):
        sign(source, STORE, record_id="urn:x\r\nWARC-Type: forged")
    source.write_bytes(KEPT[0] + b"junk junk")
    with pytest.raises(ArchiveError, match="bytes that are not a WARC record"):
        sign(source, STORE)
    assert sorted(os.listdir(tmp_path)) == ["a.warc"]


@pytest.mark.parametrize(
    "name, compressed, expected",
    [
        ("crawl.warc.gz", True, "crawl.c2pa.warc.gz"),
        ("crawl.warc", False, "crawl.c2pa.warc"),
        ("crawl.c2pa.warc.gz", True, "crawl.c2pa.warc.gz"),
        ("crawl.warc", True, "crawl.c2pa.warc.gz"),  # gzip data under a .warc name
        ("dump.bin", False, "dump.bin.c2pa.warc"),
        ("CRAWL.WARC.GZ", True, "CRAWL.c2pa.warc.gz"),
        ("x.C2PA.WARC", False, "x.C2PA.WARC"),  # what a directory run leaves out as already signed
    ],
)
def test_signed_name(name, compressed, expected):
    assert signed_name(os.path.join("/d", name), compressed) == os.path.join("/d", expected)


def test_signing_again_under_its_own_name_replaces_the_store(tmp_path):
    source = tmp_path / "crawl.warc.gz"
    source.write_bytes(per_record_gz(KEPT))
    first = sign(source, b"first store")
    again = sign(first.output, STORE)
    assert again.output == first.output and again.dropped == [first.manifest_offset]
    assert sorted(os.listdir(tmp_path)) == ["crawl.c2pa.warc.gz", "crawl.warc.gz"]
    check_signed_output((tmp_path / "crawl.c2pa.warc.gz").read_bytes(), KEPT)


# ---------------------------------------------------------------------------- outputs


def test_an_output_that_is_not_a_regular_file_is_refused(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(KEPT[0])
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for target, kind in [(os.devnull, "not a regular file"), (fifo, "a FIFO"), (tmp_path, "a directory")]:
        with pytest.raises(ArchiveError, match=f"{kind}; the output must be a regular file or a new name"):
            sign(source, STORE, target)
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode) and stat.S_ISFIFO(os.stat(fifo).st_mode)
    with pytest.raises(ArchiveError, match="no such directory"):
        sign(source, STORE, tmp_path / "missing" / "out.warc")


@pytest.mark.parametrize("mode", [0o600, 0o644, 0o4755, 0o2750, 0o6711, 0o1644], ids=oct)
def test_a_file_signed_in_place_keeps_its_mode(tmp_path, mode):
    # set-user-ID and set-group-ID bits went: changing a file's owner clears them, and that came after its mode was set
    source = tmp_path / "a.c2pa.warc"
    source.write_bytes(KEPT[0])
    os.chmod(source, mode)
    sign(source, STORE)
    assert oct(stat.S_IMODE(os.stat(source).st_mode)) == oct(mode)


def test_a_new_file_gets_the_umasks_mode(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(KEPT[0])
    old = os.umask(0o027)
    try:
        sign(source, STORE, tmp_path / "new.warc")
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new.warc").st_mode) == 0o640


def test_an_output_name_near_the_file_name_limit_works(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(KEPT[0])
    target = tmp_path / ("n" * 250 + ".warc")  # 255 bytes: a temporary name beside it must be shorter
    sign(source, STORE, target)
    assert [r.headers["warc-type"] for r in iter_records(target)] == ["warcinfo", "c2paprovenance"]


def test_a_second_run_on_the_same_output_is_refused_while_the_first_writes(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(KEPT[0])
    target = tmp_path / "a.c2pa.warc"
    target.write_bytes(b"being written")
    with open(tmp_path / ".a.c2pa.warc.lock", "wb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # what the first run holds
        with pytest.raises(ArchiveError, match="another run is writing it right now"):
            sign(source, STORE)
    assert target.read_bytes() == b"being written"
    sign(source, STORE)  # free again, and a lock file left by a killed run is taken over and removed
    assert sorted(os.listdir(tmp_path)) == ["a.c2pa.warc", "a.warc"]


@pytest.mark.parametrize("code, message", [(errno.ENOSPC, "no space left on the device"),
                                           (errno.EFBIG, "the file would be larger than the system allows")])
def test_write_errors_name_the_output_not_the_temporary_file(tmp_path, monkeypatch, code, message):
    source = tmp_path / "a.warc"
    source.write_bytes(b"".join(KEPT))
    target = tmp_path / "out.warc"

    def failing(*args):
        raise OSError(code, os.strerror(code))

    monkeypatch.setattr(output_module.os, "fsync", failing)
    with pytest.raises(ArchiveError) as info:
        sign(source, STORE, target)
    assert str(info.value) == f"{target}: {message}"
    assert sorted(os.listdir(tmp_path)) == ["a.warc"]


@linux_only("RLIMIT_FSIZE")
def test_a_file_size_limit_names_the_output(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(b"".join(KEPT) * 100)
    target = tmp_path / "out.warc"
    code = f"""
import resource, signal, sys
from vellumark_tools import sign, ArchiveError
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))
try:
    sign({str(source)!r}, b"store", {str(target)!r})
except ArchiveError as error:
    print(error)
"""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=command_env(), timeout=60)
    assert child.stdout.strip() == f"{target}: the file would be larger than the system allows", child.stderr
    assert sorted(os.listdir(tmp_path)) == ["a.warc"]


def test_a_failure_leaves_neither_a_lock_nor_a_temporary_file(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(KEPT[0] + b"junk junk")
    with pytest.raises(ArchiveError):
        sign(source, STORE, tmp_path / "new.warc")
    assert sorted(os.listdir(tmp_path)) == ["a.warc"]


LONG = "n" * 240  # with .warc, near the 255 bytes of a file name: only names cut short fit beside it
LEFTOVERS = [
    # (why, the target, another target beside it, whether the target's lock is held by a live run)
    ("short names", "a.c2pa.warc", "b.c2pa.warc", False),
    ("a lock another run holds", "a.c2pa.warc", "b.c2pa.warc", True),
    ("long names alike in their first 240 bytes", LONG[:240] + "1.warc", LONG[:240] + "2.warc", False),
]


@pytest.mark.parametrize("why, name, other_name, held", LEFTOVERS, ids=[c[0] for c in LEFTOVERS])
def test_what_a_killed_process_left_is_removed_for_it_and_nothing_else(tmp_path, why, name, other_name, held):
    target, other = tmp_path / name, tmp_path / other_name
    leftovers = [output_module.temporary_name(target), output_module.lock_name(target)]
    kept = [output_module.temporary_name(other), output_module.lock_name(other)]
    assert len(set(leftovers + kept)) == 4 and all(len(os.path.basename(p)) <= 255 for p in leftovers + kept)
    for path in leftovers + kept:
        open(path, "wb").close()
    with open(leftovers[1], "rb") as lock:
        if held:
            fcntl.flock(lock, fcntl.LOCK_EX)  # a third run writing the target right now
            kept.append(leftovers.pop())
        output_module.remove_leftovers(target, os.getpid())
    assert sorted(os.listdir(tmp_path)) == sorted(os.path.basename(os.fsdecode(p)) for p in kept)


def test_a_signal_at_the_start_of_the_clean_up_leaves_it_to_the_last_handler(tmp_path, monkeypatch):
    # SIGTERM from a worker's lifeline lands as the run's end stops the worker's
    # rename: the exception of that signal skipped the `finally`.
    from vellumark_tools.runner import Terminated

    def signalled(*steps):
        monkeypatch.undo()
        raise Terminated(15)

    monkeypatch.setattr(output_module, "_to_the_end", signalled)
    with pytest.raises(Terminated):
        with output_module.atomic_output(tmp_path / "out.warc") as out:
            out.write(b"half")
            raise KeyboardInterrupt
    assert len(os.listdir(tmp_path)) == 2  # the temporary file and the lock
    output_module.clean_up_unfinished()
    assert os.listdir(tmp_path) == []


def test_long_names_alike_in_their_first_bytes_are_written_at_once(tmp_path):
    source = tmp_path / "a.warc"
    source.write_bytes(KEPT[0])
    first, second = tmp_path / (LONG[:240] + "1.warc"), tmp_path / (LONG[:240] + "2.warc")
    with open(output_module.lock_name(first), "wb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # a run writing the first
        sign(source, STORE, second)
    assert [r.headers["warc-type"] for r in iter_records(second)] == ["warcinfo", "c2paprovenance"]
