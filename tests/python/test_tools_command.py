"""The vellumark command, run as users run it: in a child process, with its
output streams, exit statuses and signals; and its verdicts against warcio on
archives written by other tools."""

import base64
import gzip
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import vellumark_tools
from conftest import SAMPLES, STORE, command_env, is_manifest, linux_only, manifest_record, per_record_gz, record, run_command
from vellumark_tools import iter_records, read_manifest
from vellumark_tools.runner import run_jobs

KEPT = [record("warcinfo", b"software: test\r\n", 0), record("response", b"x" * 5000, 1), record("request", b"GET /", 2)]
SAMPLE_FILES = sorted(p for d in ("pywb", "warcat") for p in (SAMPLES / d).iterdir() if p.name.endswith((".warc", ".warc.gz")))
BROKEN_ON_PURPOSE = {"missing-status-text.warc"}  # lines end in CR CR LF


def text(result: subprocess.CompletedProcess, stream: str = "stdout") -> str:
    return getattr(result, stream).decode("utf-8")


@pytest.fixture
def crawl(tmp_path):
    """A directory of archives: plain, per-record .warc.gz, WARC/1.0, empty, an ARC file, and a subdirectory."""
    (tmp_path / "plain.warc").write_bytes(b"".join(KEPT))
    (tmp_path / "per-record.warc.gz").write_bytes(per_record_gz(KEPT + [manifest_record(1)]))
    (tmp_path / "sub").mkdir()
    shutil.copy(SAMPLES / "pywb" / "example.warc.gz", tmp_path / "sub" / "old.warc.gz")
    (tmp_path / "empty.warc").write_bytes(b"")
    (tmp_path / "legacy.arc").write_bytes(b"filedesc://legacy.arc")
    (tmp_path / "store.c2pa").write_bytes(STORE)
    return tmp_path


# ---------------------------------------------------------------------------- the command line


@pytest.mark.parametrize("command", ["", "sign", "manifest", "hash", "index", "check", "census"])
def test_every_command_has_help(command):
    result = run_command(*([command] if command else []), "--help")
    assert result.returncode == 0 and b"usage: vellumark" in result.stdout


USAGE_ERRORS = [
    # (arguments, message on standard error)
    (["sign", "{d}/plain.warc", "--manifest", "{d}/store.c2pa", "--workers", "0"], "argument --workers/-j: must be at least 1, not 0"),
    (["sign", "{d}/plain.warc", "--manifest", "{d}/store.c2pa", "--output", ""], "--output must not be empty"),
    (["sign", "{d}", "--manifest", "{d}/store.c2pa", "--output", "{d}/x.warc"], "--output names one file, and 5 archives were given"),
    (["sign", "{d}", "--manifest", "{d}/store.c2pa", "--record-id", "urn:x"], "--record-id is for one archive"),
    (["sign", "{d}/per-record.warc.gz", "{d}/per-record.c2pa.warc.gz", "--manifest", "{d}/store.c2pa"],
     "per-record.warc.gz would be written to {d}/per-record.c2pa.warc.gz, which is also an archive of this run"),
    (["sign", "{d}/plain.warc", "{d}/sub/plain.warc", "--manifest", "{d}/store.c2pa", "--output-dir", "{d}/out"],
     "plain.warc and {d}/sub/plain.warc would both be written to {d}/out/plain.c2pa.warc"),
    (["sign", "{d}/plain.warc", "--manifest", "{d}/store.c2pa", "--record-id", "<urn:x y>"], "a record ID is a URI"),
    (["sign", "{d}/plain.warc", "--manifest", "{d}/store.c2pa", "--output-dir", ""], "--output-dir must not be empty"),
    (["census", "{d}", "--json", "{d}/plain.warc"], "plain.warc is an archive: the output goes elsewhere"),
    (["manifest", "{d}/per-record.warc.gz", "-o", "{d}/per-record.warc.gz"], "is an archive of this run, not a place for the output"),
    (["census", "{d}", "--member-limit", "lots"], "not a size: 'lots'"),
    (["index", "{d}/plain.warc", "-f", ","], "--fields names no field"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
]


@pytest.mark.parametrize("args, message", USAGE_ERRORS, ids=[" ".join(a[:2]) + f" {i}" for i, (a, _) in enumerate(USAGE_ERRORS)])
def test_usage_errors_exit_2_before_any_work(crawl, args, message):
    shutil.copy(crawl / "per-record.warc.gz", crawl / "per-record.c2pa.warc.gz")  # signed before
    shutil.copy(crawl / "plain.warc", crawl / "sub" / "plain.warc")
    before = sorted(os.listdir(crawl))
    result = run_command(*[a.format(d=crawl) for a in args])
    assert result.returncode == 2, text(result, "stderr")
    assert message.format(d=crawl) in text(result, "stderr") and b"Traceback" not in result.stderr
    assert sorted(os.listdir(crawl)) == before


# ---------------------------------------------------------------------------- sign


def test_sign_a_directory_writes_each_output_beside_its_input(crawl):
    result = run_command("sign", crawl, "--manifest", crawl / "store.c2pa", "--workers", "2")
    assert result.returncode == 1  # the empty archive
    out, err = text(result), text(result, "stderr")
    assert "plain.warc -> " in out and "sub/old.warc.gz -> " in out and "(WARC/1.0)" in out
    assert out.splitlines()[-1] == "signed 3 archives (13 records); 1 failed"
    assert "empty.warc: empty archive" in err and "skipped " + str(crawl / "legacy.arc") + ": an ARC file" in err
    for name in ("plain.c2pa.warc", "per-record.c2pa.warc.gz", "sub/old.c2pa.warc.gz"):
        assert read_manifest(crawl / name).store == STORE
    assert not (crawl / "empty.c2pa.warc").exists()
    # a second run leaves the outputs of the first alone, and says so
    again = run_command("sign", crawl / "sub", "--manifest", crawl / "store.c2pa")
    assert "already signed" in text(again, "stderr") and again.returncode == 0


def test_sign_takes_a_store_per_archive_from_a_template_and_warns_of_a_store_that_is_not_jumbf(crawl):
    (crawl / "plain.store").write_bytes(b"not a JUMBF box")
    (crawl / "per-record.store").write_bytes(STORE)
    result = run_command("sign", crawl / "plain.warc", crawl / "per-record.warc.gz", "--manifest", str(crawl / "{stem}.store"),
                         "--output-dir", crawl / "out")
    assert result.returncode == 0, text(result, "stderr")
    assert text(result, "stderr").count("does not begin with a JUMBF superbox") == 1
    assert read_manifest(crawl / "out" / "plain.c2pa.warc").store == b"not a JUMBF box"
    assert read_manifest(crawl / "out" / "per-record.c2pa.warc.gz").store == STORE
    missing = run_command("sign", crawl / "plain.warc", crawl / "sub" / "old.warc.gz", "--manifest", str(crawl / "{stem}.store"))
    assert missing.returncode == 1 and "old.store: cannot read the manifest store" in text(missing, "stderr")
    assert not (crawl / "plain.c2pa.warc").exists()  # checked before any work


@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 143), (signal.SIGHUP, 129), (signal.SIGINT, 130)])
def test_a_signal_mid_sign_leaves_no_temporary_file_and_the_target_as_it_was(tmp_path, spawn, sig, status):
    source = tmp_path / "crawl.c2pa.warc.gz"  # signed in place: the input is the target
    source.write_bytes(per_record_gz([record("resource", os.urandom(20_000), i) for i in range(3000)]))
    original = source.read_bytes()
    child = spawn("sign", source, "--manifest", STORE_FILE(tmp_path))
    wait_for(lambda: any(n.endswith(".partial") for n in os.listdir(tmp_path)), child)
    child.send_signal(sig)
    out, err = child.communicate(timeout=60)
    assert child.returncode == status, err.decode()
    assert err.decode().count("\n") == 1 and b"Traceback" not in err
    assert sorted(os.listdir(tmp_path)) == ["crawl.c2pa.warc.gz", "store.c2pa"] and source.read_bytes() == original


def STORE_FILE(directory):
    path = directory / "store.c2pa"
    path.write_bytes(STORE)
    return path


def wait_for(condition, child, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        assert child.poll() is None, child.communicate()
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.01)


# ---------------------------------------------------------------------------- directory runs


@linux_only("/proc")
@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_stopping_a_directory_run_ends_its_workers(tmp_path, spawn, sig, status):
    fifos = [tmp_path / f"blocked-{i}.warc" for i in range(3)]
    for fifo in fifos:  # named on the command line (a directory walk leaves FIFOs out), each blocks its worker
        os.mkfifo(fifo)
    child = spawn("census", *fifos, "--workers", "2")
    wait_for(lambda: len(workers_of(child.pid)) >= 2, child)
    workers = workers_of(child.pid)
    child.send_signal(sig)
    _, err = child.communicate(timeout=60)
    assert child.returncode == status and b"Traceback" not in err
    for pid in workers:
        assert not os.path.exists(f"/proc/{pid}") or "zombie" in open(f"/proc/{pid}/status").read().lower()


def workers_of(pid):
    """Descendants of the run that are blocked opening a FIFO: its busy workers."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except OSError:
                continue
    found = []
    for candidate in parents:
        ancestor = parents.get(candidate)
        while ancestor not in (None, 0, 1, pid):
            ancestor = parents.get(ancestor)
        try:
            with open(f"/proc/{candidate}/wchan") as f:
                blocked = f.read() == "wait_for_partner"  # opening a FIFO
        except OSError:
            continue
        if ancestor == pid and blocked:
            found.append(candidate)
    return found


@pytest.fixture
def spawn():
    """Starts the command in the background; whatever a failing test leaves running is killed."""
    children = []

    def start(*args):
        child = subprocess.Popen([sys.executable, "-m", "vellumark_tools", *map(str, args)],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=command_env())
        children.append(child)
        return child

    yield start
    for child in children:
        if child.poll() is None:
            for pid in workers_of(child.pid):
                os.kill(pid, signal.SIGKILL)
            child.kill()
            child.communicate()


@linux_only("/proc")
def test_a_worker_killed_by_the_system_fails_only_its_archive(crawl, spawn):
    os.mkfifo(crawl / "blocked.warc")
    child = spawn("census", crawl, crawl / "blocked.warc", "--workers", "2")
    wait_for(lambda: workers_of(child.pid), child)
    os.kill(workers_of(child.pid)[0], signal.SIGKILL)  # as the out-of-memory killer would
    out, err = child.communicate(timeout=120)
    assert child.returncode == 1
    assert "blocked.warc: the worker process was killed by SIGKILL" in err.decode()
    assert out.decode().splitlines()[-1].startswith("5 archives, ") and out.decode().count("\n") == 4


def test_one_archive_out_of_memory_fails_only_that_archive(crawl, monkeypatch, capsys):
    from vellumark_tools import cli

    real = cli.census

    def census(path, **kwargs):
        if str(path).endswith("plain.warc"):
            raise MemoryError
        return real(path, **kwargs)

    monkeypatch.setattr(cli, "census", census)
    assert cli.main(["census", str(crawl), "--workers", "1"]) == 1
    out, err = capsys.readouterr()
    assert "plain.warc: out of memory" in err and "per-record.warc.gz: 4 records" in out


def test_index_of_a_closed_pipe_ends_quietly(crawl):
    (crawl / "many.warc").write_bytes(b"".join(KEPT) * 3000)  # more lines than a pipe holds
    result = subprocess.run(f"{sys.executable} -m vellumark_tools index {crawl / 'many.warc'} | head -n 1", shell=True,
                            capture_output=True, env=command_env(), timeout=60)
    assert result.stderr == b"" and result.stdout.count(b"\n") == 1


def test_walks_take_regular_files_and_each_file_once(crawl):
    os.mkfifo(crawl / "stuck.warc")
    os.symlink(crawl / "missing.warc", crawl / "dangling.warc")
    result = run_command("census", crawl, crawl / "plain.warc")
    err = text(result, "stderr")
    assert "stuck.warc: not a regular file" in err and "dangling.warc: a broken symbolic link" in err
    assert text(result).count("plain.warc: 3 records") == 1


def test_census_reports_names_that_are_not_utf8_and_unreadable_directories(crawl):
    (crawl / os.fsdecode(b"caf\xe9.warc")).write_bytes(b"".join(KEPT))
    (crawl / "notes: 2026.warc").write_bytes(b"")  # the errors of the JSON are keyed by name, whatever it holds
    (crawl / "locked").mkdir()
    (crawl / "locked" / "hidden.warc").write_bytes(b"".join(KEPT))
    os.chmod(crawl / "locked", 0)
    try:
        result = run_command("census", crawl, "--json", crawl / "census.json")
    finally:
        os.chmod(crawl / "locked", 0o755)
    out, err = text(result), text(result, "stderr")
    assert result.returncode == 1
    assert "caf\\xe9.warc: 3 records (WARC/1.1)" in out
    if os.geteuid() != 0:  # root reads any directory
        assert "locked: cannot list it: Permission denied" in err
    totals = json.loads((crawl / "census.json").read_text())
    hidden = 3 if os.geteuid() == 0 else 0
    assert totals["records"] == 3 + 4 + 6 + 3 + hidden and totals["manifests"] == 1
    assert totals["versions"] == {"1.0": 6, "1.1": 10 + hidden}
    assert totals["errors"][str(crawl / "empty.warc")] == totals["errors"][str(crawl / "notes: 2026.warc")] == "empty archive"


def test_a_name_with_a_line_break_stays_on_its_line(crawl):
    """It split check's line, and hash's error, in two."""
    name = "line\nbreak\u2028.warc"
    (crawl / name).write_bytes(b"".join(KEPT))
    checked, hashed = run_command("check", crawl / name), run_command("hash", crawl / name)
    shown_name = f"{crawl}/line\\nbreak\\u2028.warc"
    assert text(checked).splitlines() == [f"{shown_name}: ok: 3 records"]
    assert text(hashed, "stderr").splitlines() == [f"vellumark: {shown_name}: no manifest store record: sign it with a placeholder store first"]


def test_workers_are_capped_at_the_number_of_archives(monkeypatch):
    from vellumark_tools import runner

    sizes = []

    class Recording(runner._Pool):
        def __init__(self, size):
            sizes.append(size)
            super().__init__(size)

    monkeypatch.setattr(runner, "_Pool", Recording)
    outcomes = list(run_jobs([(f"job {i}", (in_which_process, ())) for i in range(3)], workers=8))
    assert sizes == [3] and len(outcomes) == 3


def in_which_process():
    from vellumark_tools.runner import Outcome

    return Outcome("pid", line=str(os.getpid()))


def test_a_dead_workers_job_is_cleaned_up_for_it(tmp_path):
    marker = tmp_path / "cleaned"
    jobs = [("dies", (die, (), (write_pid, (str(marker),)))), ("lives", (in_which_process, ()))]
    outcomes = {o.name: o for o in run_jobs(jobs, workers=2)}
    assert "killed by SIGKILL" in outcomes["dies"].error and marker.read_text().isdigit()


def die():
    os.kill(os.getpid(), signal.SIGKILL)


def write_pid(path, pid):
    with open(path, "w") as out:
        out.write(str(pid))


# ---------------------------------------------------------------------------- manifest, index, check


def test_manifest_writes_the_store_and_says_where_its_record_stands(crawl):
    archive = crawl / "per-record.warc.gz"
    result = run_command("manifest", archive)
    assert result.returncode == 0 and result.stdout == b"old store 1"
    offset = len(per_record_gz(KEPT))
    assert f"in the record at compressed offset {offset:,}, length" in text(result, "stderr")
    to_file = run_command("manifest", archive, "-o", crawl / "out.c2pa")
    assert to_file.stdout == b"" and (crawl / "out.c2pa").read_bytes() == b"old store 1"
    none = run_command("manifest", crawl / "plain.warc")
    assert none.returncode == 1 and "no manifest store record" in text(none, "stderr") and none.stdout == b""


def test_index_writes_a_json_line_per_record(crawl):
    result = run_command("index", crawl / "per-record.warc.gz", "-f", "offset,length,warc-type,filename,x-missing")
    lines = [json.loads(line) for line in text(result).splitlines()]
    members = [len(gzip.compress(r)) for r in KEPT + [manifest_record(1)]]
    assert lines[0] == {"offset": 0, "length": members[0], "warc-type": "warcinfo", "filename": "per-record.warc.gz"}
    assert [line["offset"] for line in lines] == [sum(members[:i]) for i in range(4)]


CHECK_CASES = [
    # (why, file bytes, verdict)
    ("sound", per_record_gz(KEPT), "ok: 3 records, per-record gzip (3 members)"),
    ("manifest not last", b"".join([KEPT[0], manifest_record(1), KEPT[1]]), "failed: the manifest store record at offset"),
    ("two manifests", b"".join([KEPT[0], manifest_record(1), manifest_record(2)]), "failed: 2 manifest store records"),
    ("not per record", gzip.compress(b"".join(KEPT)), "failed: not gzipped per record: the gzip member at compressed offset 0"),
    ("bad block digest", record("resource", b"x", 1).replace(b"Content-Type:", b"WARC-Block-Digest: sha1:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\r\nContent-Type:"),
     "failed: record at offset 0: block digest sha1:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA does not match"),
    ("good hex and base32 digests", record("resource", b"x", 1).replace(
        b"Content-Type:", b"WARC-Block-Digest: sha256:%s\r\nWARC-Payload-Digest: sha1:%s\r\nContent-Type:"
        % (hashlib.sha256(b"x").hexdigest().encode(), base64.b32encode(hashlib.sha1(b"x").digest()))), "ok: 1 record, 2 digests true"),
    ("a payload after HTTP headers", record("response", b"HTTP/1.1 200 OK\r\nA: b\r\n\r\npage", 1).replace(
        b"Content-Type:", b"WARC-Payload-Digest: sha1:%s\r\nContent-Type:" % base64.b32encode(hashlib.sha1(b"page").digest())),
     "ok: 1 record, 1 digest true"),
]


@pytest.mark.parametrize("why, data, verdict", CHECK_CASES, ids=[c[0] for c in CHECK_CASES])
def test_check_verdicts(tmp_path, why, data, verdict):
    path = tmp_path / ("a.warc.gz" if data[:2] == b"\x1f\x8b" else "a.warc")
    path.write_bytes(data)
    result = run_command("check", path)
    assert text(result).startswith(f"{path}: {verdict}"), text(result)
    assert result.returncode == (0 if verdict.startswith("ok") else 1)


# ---------------------------------------------------------------------------- archives written by other tools


def warcio_run(*args):
    warcio = pytest.importorskip("warcio.cli", reason="warcio is a test extra: pip install '.[test]'")
    result = subprocess.run([sys.executable, "-c", "import sys; from warcio.cli import main; sys.exit(main())", *map(str, args)],
                            capture_output=True, text=True, timeout=120)
    assert warcio is not None
    return result


@pytest.mark.parametrize("path", [p for p in SAMPLE_FILES if p.name not in BROKEN_ON_PURPOSE], ids=lambda p: p.name)
def test_index_offsets_and_lengths_equal_warcios(path):
    ours = run_command("index", path, "-f", "offset,length,warc-type,warc-record-id")
    theirs = warcio_run("index", path, "-f", "offset,length,warc-type,warc-record-id")
    expected = [{k: int(v) if k in ("offset", "length") else v for k, v in json.loads(line).items()}
                for line in theirs.stdout.splitlines()]
    assert [json.loads(line) for line in text(ours).splitlines()] == expected


@pytest.mark.parametrize("path", SAMPLE_FILES, ids=lambda p: p.name)
def test_check_digest_verdicts_equal_warcios(path):
    ours = run_command("check", "-v", path)
    theirs = warcio_run("check", path)
    digest_failed = "digest" in text(ours) and "does not match" in text(ours)
    assert digest_failed == ("digest failed" in theirs.stdout), (text(ours), theirs.stdout)


@pytest.mark.parametrize("path", [p for p in SAMPLE_FILES if p.name not in BROKEN_ON_PURPOSE], ids=lambda p: p.name)
def test_signed_samples_read_as_the_input_and_one_more_record(tmp_path, path):
    target = tmp_path / ("out.warc.gz" if path.name.endswith(".gz") else "out.warc")
    result = run_command("sign", path, "--manifest", STORE_FILE(tmp_path), "--output", target)
    assert result.returncode == 0, text(result, "stderr")
    fields = ["offset", "length", "warc-type", "warc-record-id", "content-length"]
    before = list(vellumark_tools.index_entries(path, fields))
    after = list(vellumark_tools.index_entries(target, fields))
    assert after[:-1] == before and after[-1]["warc-type"] == "c2paprovenance"
    last = list(iter_records(target))[-1]
    assert is_manifest(last.warc) and last.version == next(iter_records(path)).version
    ours = warcio_run("index", target, "-f", "offset,warc-type")
    theirs = warcio_run("index", path, "-f", "offset,warc-type")
    assert ours.stdout.startswith(theirs.stdout) and ours.stdout.count("\n") == theirs.stdout.count("\n") + 1
    assert '"warc-type": "c2paprovenance"' in ours.stdout.splitlines()[-1]
    assert vellumark_tools.check(target).problems == vellumark_tools.check(path).problems
    fastwarc = pytest.importorskip("fastwarc.warc", reason="FastWARC has no wheel for this Python")

    def types(archive):
        with open(archive, "rb") as stream:
            return [r.headers.get("WARC-Type") for r in fastwarc.ArchiveIterator(stream, parse_http=False)]

    try:
        expected = types(path)
    except OSError:  # FastWARC cannot read this input either (its stray bytes)
        return
    assert types(target) == expected + ["c2paprovenance"]


def test_the_installed_console_script_runs():
    script = os.path.join(os.path.dirname(sys.executable), "vellumark")
    if not os.path.exists(script):
        pytest.skip("vellumark is not installed as a distribution here, so its console script is not either")
    result = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.startswith("vellumark 0.2.1; gzip: ")
