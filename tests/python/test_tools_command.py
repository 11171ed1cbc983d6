"""The vellumark command, run as users run it: in a child process, with its
output streams, exit statuses and signals; and its verdicts against warcio on
archives written by other tools."""

import base64
import contextlib
import gzip
import hashlib
import io
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

import pytest

import vellumark
import vellumark_tools
import paused_run
from conftest import (SAMPLES, STORE, command, command_env, importorskip, is_manifest, linux_only, manifest_record, per_record_gz,
                      record, run_command, write_wacz)
from vellumark_tools import iter_records, read_manifest
from vellumark_tools import runner as runner_module
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


SET_UP_FAILURES = [
    # (why, what the directory holds besides a sound archive, the line on standard error)
    ("a damaged package", lambda d: (d / "bad.wacz").write_bytes(b"PK\x03\x04 not a zip"),
     "vellumark: {d}/bad.wacz: not a ZIP file, so not a WACZ package"),
    ("a directory where the output goes", lambda d: (d / "c.c2pa.warc").mkdir() or (d / "c.warc").write_bytes(KEPT[0]),
     "vellumark: {d}/c.warc: {d}/c.c2pa.warc: a directory; the output must be a regular file or a new name"),
    pytest.param("an unreadable file", lambda d: (d / "u.warc").write_bytes(b"") or os.chmod(d / "u.warc", 0),
                 "vellumark: {d}/u.warc: Permission denied",
                 marks=pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")),
]


@pytest.mark.parametrize("why, make, message", SET_UP_FAILURES, ids=[getattr(c, "values", c)[0] for c in SET_UP_FAILURES])
def test_an_archive_that_fails_at_set_up_fails_alone(tmp_path, why, make, message):
    (tmp_path / "in").mkdir()
    (tmp_path / "in" / "plain.warc").write_bytes(b"".join(KEPT))
    make(tmp_path / "in")
    result = run_command("sign", tmp_path / "in", "--manifest", STORE_FILE(tmp_path), "--workers", "1")
    assert result.returncode == 1
    assert message.format(d=tmp_path / "in") in text(result, "stderr").splitlines()[0]
    assert text(result).splitlines()[-1] == "signed 1 archive (3 records); 1 failed"
    assert read_manifest(tmp_path / "in" / "plain.c2pa.warc").store == STORE


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
    source.write_bytes(per_record_gz(KEPT))
    original = source.read_bytes()
    child = spawn("sign", source, "--manifest", STORE_FILE(tmp_path), pause="vellumark_tools.output:Output.copy_from")
    wait_for(child.stopped, child)
    assert any(n.endswith(".partial") for n in os.listdir(tmp_path))  # stopped mid-sign, its output half written
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


@pytest.mark.parametrize("template, archive, store", [
    ("st/{name}.c2pa", "d/x{stem}.warc.gz", "st/x{stem}.warc.gz.c2pa"),  # a field in a name is not filled in again
    ("{stem}.c2pa", "d/a{name}.warc", "a{name}.c2pa"),
    ("{stem}/{name}", "d/a.c2pa.warc.gz", "a/a.c2pa.warc.gz"),
    ("store.c2pa", "d/a.warc", "store.c2pa"),
    ("{stem}{stem}", "a.WARC", "aa"),
])
def test_store_templates_are_filled_in_one_pass(template, archive, store):
    from vellumark_tools.inputs import store_for

    assert store_for(template, archive) == store


@linux_only("/proc")
@pytest.mark.parametrize("sig, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_stopping_a_directory_run_ends_its_workers(tmp_path, spawn, sig, status):
    blocked = [tmp_path / f"blocked-{i}.warc" for i in range(3)]
    for path in blocked:
        path.write_bytes(b"".join(KEPT))
    child = spawn("census", *blocked, "--workers", "2", pause="vellumark_tools.cli:census", match="blocked")
    wait_for(lambda: len(child.stopped()) == 2, child)
    workers = child.stopped()
    child.send_signal(sig)
    _, err = child.communicate(timeout=60)
    assert child.returncode == status and b"Traceback" not in err
    assert ended(workers), [status_of(pid) for pid in workers if not gone(pid)]


def ended(pids, seconds=30):
    """Whether the processes end within `seconds`: one that closed its files (and
    so let communicate() return) may still be on its way out."""
    deadline = time.monotonic() + seconds
    while not all(gone(pid) for pid in pids):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def status_of(pid):
    with contextlib.suppress(OSError):
        with open(f"/proc/{pid}/status") as f:
            return pid, f.read()[:200]
    return pid, "gone"


def gone(pid):
    """Whether a process has ended (a zombie that its new parent has not reaped yet has)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@pytest.fixture
def spawn(tmp_path_factory):
    """Starts the command in the background, optionally stopping where paused_run
    is told to (`child.stopped()` lists the processes stopped there); whatever a
    failing test leaves running is killed."""
    children = []

    def start(*args, pause=None, match=""):
        directory = tmp_path_factory.mktemp("pause")
        env = dict(command_env(), PAUSE_AT=pause or "", PAUSE_DIR=str(directory), PAUSE_MATCH=match)
        child = subprocess.Popen(command(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        child.stopped = lambda: paused_run.stopped(directory)
        child.go = lambda: (directory / "go").touch()
        children.append(child)
        return child

    yield start
    for child in children:
        if child.poll() is None:
            for pid in child.stopped():
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
            child.kill()
            child.communicate()


@linux_only("/proc")
def test_a_worker_killed_by_the_system_fails_only_its_archive(crawl, spawn):
    (crawl / "blocked.warc").write_bytes(b"".join(KEPT))
    child = spawn("census", crawl, "--workers", "2", pause="vellumark_tools.cli:census", match="blocked")
    wait_for(child.stopped, child)
    os.kill(child.stopped()[0], signal.SIGKILL)  # as the out-of-memory killer would
    out, err = child.communicate(timeout=120)
    assert child.returncode == 1
    assert "blocked.warc: the worker process was killed by SIGKILL" in err.decode()
    assert out.decode().splitlines()[-1].startswith("5 archives, ") and out.decode().count("\n") == 4


@linux_only("/proc")
def test_a_run_killed_without_warning_takes_its_workers_along_before_they_replace_anything(tmp_path, spawn):
    for name in ("a.warc", "b.warc"):
        (tmp_path / name).write_bytes(b"".join(KEPT))
    child = spawn("sign", tmp_path / "a.warc", tmp_path / "b.warc", "--manifest", STORE_FILE(tmp_path), "--workers", "2",
                  pause="vellumark_tools.output:Output.copy_from")
    wait_for(lambda: len(child.stopped()) == 2, child)  # both workers half-way through their outputs
    left = descendants(child.pid)  # the workers, the forkserver and the resource tracker
    assert set(child.stopped()) < set(left)
    child.kill()
    child.go()  # let the workers go on, as a worker does that is busy when the run dies
    _, err = child.communicate(timeout=60)  # its standard error closes when the last of them has ended
    assert b"Traceback" not in err, err.decode()
    assert ended(left), [status_of(pid) for pid in left if not gone(pid)]
    assert sorted(os.listdir(tmp_path)) == ["a.warc", "b.warc", "store.c2pa"], err.decode()  # no output, temporary file or lock


def descendants(pid):
    """The processes started by `pid`, and by them, from the process tree."""
    parents = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open(f"/proc/{entry}/stat") as f:
                parents[int(entry)] = int(f.read().rsplit(")", 1)[1].split()[1])
    found, frontier = [], [pid]
    while frontier:
        children = [p for p, parent in parents.items() if parent in frontier]
        found += children
        frontier = children
    return found


def test_a_worker_that_cannot_take_its_next_task_fails_that_task_not_the_run(tmp_path):
    # The worker answers its first task and is gone by the time the next is sent,
    # though the run saw it alive: the send fails with a broken pipe.
    release, hung_up = tmp_path / "release", tmp_path / "hung up"
    jobs = [("first", (answer_then_hang_up, (str(hung_up),))), ("second", (wait_for_file, (str(release),))),
            ("third", (in_which_process, ()))]
    outcomes = run_jobs(jobs, workers=2)
    first = next(outcomes)  # the run stops right after the liveness check passed
    wait_for_file(hung_up)
    release.touch()
    rest = {o.name: o for o in outcomes}
    assert first.name == "first" and first.ok and rest["second"].ok
    assert not rest["third"].ok and rest["third"].error == "the worker process could not take it (Broken pipe)"


def answer_then_hang_up(hung_up):
    """Sends its own outcome, closes the worker's end of the pipe and stays alive."""
    from vellumark_tools.runner import Outcome

    frame = sys._getframe()
    while frame.f_code.co_name != "_worker_main":
        frame = frame.f_back
    pipe = frame.f_locals["connection"]
    pipe.send(Outcome("first"))
    pipe.close()
    open(hung_up, "w").close()
    time.sleep(600)


def wait_for_file(path):
    from vellumark_tools.runner import Outcome

    while not os.path.exists(path):
        time.sleep(0.01)
    return Outcome("second")


def wrapped(outer, inner):
    try:
        try:
            raise inner
        except BaseException as error:
            raise outer from error
    except BaseException as error:
        return error


@pytest.mark.parametrize("error, stopped", [
    (runner_module.Terminated(15), True),
    # SIGTERM during an import (unpickling a task) came out of a dataclass's __set_name__ as a RuntimeError, with a traceback
    (wrapped(RuntimeError("Error calling __set_name__"), runner_module.Terminated(15)), True),
    (wrapped(RuntimeError("x"), EOFError()), True),  # the run's end of the pipe closed
    (wrapped(RuntimeError("a bug"), ValueError("in the worker loop")), False),
    (KeyError("a bug"), False),
])
def test_a_worker_stopped_whatever_it_was_doing_ends_quietly(error, stopped):
    assert runner_module._stopped(error) is stopped


def test_workers_that_cannot_be_started_leave_the_work_to_the_run(crawl):
    env = dict(command_env(), FORKSERVER_FAILS="1")  # as when the interpreter cannot start one
    result = run_command("census", crawl / "plain.warc", crawl / "per-record.warc.gz", "--workers", "2", env=env)
    err = text(result, "stderr")
    assert result.returncode == 0, err
    assert "vellumark: note: worker processes cannot be started (" in err and "working in this one process" in err
    assert text(result).splitlines()[-1].startswith("2 archives, 7 records")


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


STANDARD_OUTPUT = [
    # (command, how standard output is broken, exit status, the one line on standard error)
    *[(c, ">&-", 1, f"vellumark {c}: error: standard output is closed") for c in ("index", "check", "census", "sign", "manifest")],
    *[(c, ">/dev/full", 1, f"vellumark {c}: error: standard output: No space left on device") for c in ("index", "check", "census", "sign")],
    ("manifest", ">/dev/full", 1, "vellumark manifest: error: standard output: No space left on device"),
]
RUN_ON = {"index": ["{d}/plain.warc"], "check": ["{d}/plain.warc"], "census": ["{d}"], "sign": ["{d}/plain.warc", "--manifest", "{d}/store.c2pa"],
          "manifest": ["{d}/per-record.warc.gz"]}


@pytest.mark.parametrize("name, redirect, status, message", STANDARD_OUTPUT, ids=[f"{c[0]} {c[1]}" for c in STANDARD_OUTPUT])
def test_a_standard_output_that_cannot_be_written_is_named(crawl, name, redirect, status, message):
    args = " ".join(shlex.quote(a) for a in command(name, *[a.format(d=crawl) for a in RUN_ON[name]]))
    result = subprocess.run(f"{args} {redirect}", shell=True, capture_output=True, env=command_env(), timeout=120)
    assert result.returncode == status, result.stderr
    assert text(result, "stderr").splitlines()[-1] == message and b"Traceback" not in result.stderr


def test_only_standard_outputs_own_broken_pipe_ends_a_run_quietly(crawl, monkeypatch, capsys):
    from vellumark_tools import cli

    def broken(*args, **kwargs):
        raise BrokenPipeError(32, "Broken pipe")  # a pipe to a worker, say

    monkeypatch.setattr(cli, "run_jobs", broken)
    monkeypatch.setattr(sys, "argv", ["vellumark", "census", str(crawl / "plain.warc")])
    with pytest.raises(SystemExit) as ended:
        cli.entry_point()
    assert ended.value.code == 1 and capsys.readouterr().err == "vellumark census: error: Broken pipe\n"


# A line break, a terminal's escape sequence and a Unicode line separator, printed raw, let a name forge a line of output
FORGING = "evil.warc\nforged.warc: ok: 3 records\x1b[2K\u2028.warc"
ESCAPED = "evil.warc\\nforged.warc: ok: 3 records\\x1b[2K\\u2028.warc"
NAMES_PRINTED = [
    # (command, whether the name's line goes to standard error, the archive's content)
    ("check", False, b"".join(KEPT)),
    ("census", False, b"".join(KEPT)),
    ("sign", False, b"".join(KEPT)),
    ("check", False, b"junk"),  # a failed check is its result
    ("census", True, b"junk"),
    ("index", True, b"junk"),
]


@pytest.mark.parametrize("name, on_stderr, content", NAMES_PRINTED, ids=[f"{c[0]} {'failing' if c[2] == b'junk' else 'sound'}" for c in NAMES_PRINTED])
def test_names_are_escaped_in_every_line(tmp_path, name, on_stderr, content):
    (tmp_path / "in").mkdir()
    evil = tmp_path / "in" / FORGING
    evil.write_bytes(content)
    extra = ["--manifest", STORE_FILE(tmp_path), "--output-dir", tmp_path / "out"] if name == "sign" else []
    result = run_command(name, evil, *extra)
    said = text(result, "stderr" if on_stderr else "stdout")
    assert len(said.splitlines()) == 1 and f"{tmp_path}/in/{ESCAPED}" in said, said


@pytest.mark.parametrize("command, content, stream", [
    ("manifest", b"".join(KEPT), "stdout"),  # the archive's line in the package's list
    ("check", b"junk", "stdout"),  # the package's verdict, naming the archive that failed
    ("census", b"junk", "stderr"),  # the package's failure, naming the archive
    ("index", b"junk", "stderr"),
], ids=["manifest", "check", "census", "index"])  # the records hold the time they were made: no id of them
def test_names_inside_a_package_are_escaped_in_every_line(tmp_path, command, content, stream):
    package = write_wacz(tmp_path / "p.wacz", {"a\nforged.warc: ok": content})
    said = text(run_command(command, package), stream)
    assert len(said.splitlines()) == 1 and "archive/a\\nforged.warc: ok" in said, said


def test_index_of_a_closed_pipe_ends_quietly(crawl):
    (crawl / "many.warc").write_bytes(b"".join(KEPT) * 3000)  # more lines than a pipe holds
    result = subprocess.run(f"{sys.executable} -m vellumark_tools index {crawl / 'many.warc'} | head -n 1", shell=True,
                            capture_output=True, env=command_env(), timeout=60)
    assert result.stderr == b"" and result.stdout.count(b"\n") == 1


@pytest.mark.parametrize("name", ["check", "census", "index"])
@pytest.mark.parametrize("via", ["fifo", "stdin"])
def test_an_archive_from_a_pipe_reads_from_its_first_byte(tmp_path, name, via):
    # The sniff for a WACZ package read the first bytes of a pipe, and the
    # archive then started in the middle of its first record.
    data = per_record_gz(KEPT)
    (tmp_path / "file.warc.gz").write_bytes(data)
    expected = text(run_command(name, tmp_path / "file.warc.gz")).replace(str(tmp_path / "file.warc.gz"), "PIPE")
    if via == "stdin":
        result = run_command(name, "/dev/stdin", input=data)
        said = text(result).replace("/dev/stdin", "PIPE")
    else:
        os.mkfifo(tmp_path / "pipe.warc.gz")
        child = subprocess.Popen(command(name, tmp_path / "pipe.warc.gz"), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=command_env())
        with open(tmp_path / "pipe.warc.gz", "wb") as writer:
            writer.write(data)
        out, err = child.communicate(timeout=60)
        result = subprocess.CompletedProcess(child.args, child.returncode, out, err)
        said = text(result).replace(str(tmp_path / "pipe.warc.gz"), "PIPE")
    assert result.returncode == 0 and said == expected, (said, text(result, "stderr"))


def bytes_in_pipe(fd) -> int:
    import fcntl
    import termios

    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"), sys.byteorder)


@linux_only("FIONREAD on a pipe's writing end")
@pytest.mark.parametrize("signum, status, said", [(signal.SIGINT, 130, "vellumark: interrupted"),
                                                  (signal.SIGTERM, 143, "vellumark: stopped by SIGTERM")])
@pytest.mark.parametrize("via", ["stdin", "fifo"])
def test_a_signal_ends_a_run_waiting_on_a_pipe_that_sends_nothing(tmp_path, via, signum, status, said):
    # The reader waited for the pipe without seeing to signals: Ctrl-C took
    # effect only once more data came, and closing it waited for the writer.
    data = per_record_gz(KEPT)
    if via == "stdin":
        child = subprocess.Popen(command("check", "/dev/stdin"), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, env=command_env())
        writer = child.stdin
    else:
        os.mkfifo(tmp_path / "pipe.warc.gz")
        child = subprocess.Popen(command("check", tmp_path / "pipe.warc.gz"), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env=command_env())
        writer = open(tmp_path / "pipe.warc.gz", "wb", buffering=0)
    try:
        writer.write(data[: len(data) // 2])
        writer.flush()
        wait_for(lambda: bytes_in_pipe(writer.fileno()) == 0, child)  # the reader has it all, and waits for more
        child.send_signal(signum)
        _, err = child.communicate(timeout=60)
    finally:
        child.kill()
        with contextlib.suppress(OSError):
            writer.close()
    assert child.returncode == status and err.decode().splitlines()[-1] == said, err.decode()


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
        def __init__(self, size, note):
            sizes.append(size)
            super().__init__(size, note)

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


MANIFEST_OF_PACKAGES = [
    # (why, archives in the package, arguments, exit status, file written, standard error)
    ("one archive, -o without --archive", {"a.warc": "signed"}, ["-o", "{d}/out"], 0, STORE, "a manifest store of"),
    ("two archives, -o without --archive", {"a.warc": "signed", "b.warc": "signed"}, ["-o", "{d}/out"], 2, None,
     "{d}/p.wacz holds 2 archives: say whose store to write with --archive NAME (archive/a.warc, archive/b.warc)"),
    ("two archives, --archive", {"a.warc": "signed", "b.warc": "plain"}, ["--archive", "a.warc", "-o", "{d}/out"], 0, STORE, "p.wacz:archive/a.warc: "),
    ("no such archive", {"a.warc": "signed"}, ["--archive", "z.warc", "-o", "{d}/out"], 1, None,
     "vellumark manifest: error: {d}/p.wacz: no archive z.warc in the package (it holds archive/a.warc)"),
    ("a damaged package", None, ["-o", "{d}/out"], 1, None, "vellumark manifest: error: {d}/p.wacz: not a ZIP file"),
]


@pytest.mark.parametrize("why, archives, args, status, written, message", MANIFEST_OF_PACKAGES, ids=[c[0] for c in MANIFEST_OF_PACKAGES])
def test_manifest_of_a_package(tmp_path, why, archives, args, status, written, message):
    signed = b"".join(KEPT) + vellumark.build_record("c2paprovenance", "application/c2pa", "urn:uuid:m", STORE)
    bodies = {"signed": signed, "plain": b"".join(KEPT)}
    if archives is None:
        (tmp_path / "p.wacz").write_bytes(b"PK\x03\x04 damaged")
    else:
        write_wacz(tmp_path / "p.wacz", {name: bodies[kind] for name, kind in archives.items()})
    result = run_command("manifest", tmp_path / "p.wacz", *[a.format(d=tmp_path) for a in args])
    assert result.returncode == status and message.format(d=tmp_path) in text(result, "stderr"), text(result, "stderr")
    assert (tmp_path / "out").exists() == (written is not None) and b"Traceback" not in result.stderr
    if written is not None:
        assert (tmp_path / "out").read_bytes() == written


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
    ("a target URI in angle brackets", record("response", b"HTTP/1.1 200 OK\r\nA: b\r\n\r\npage", 1).replace(
        b"Content-Type:", b"WARC-Payload-Digest: sha1:%s\r\nContent-Type:" % base64.b32encode(hashlib.sha1(b"page").digest())).replace(
        b"WARC-Target-URI: http://e.com/1", b"WARC-Target-URI: <http://e.com/1>"), "ok: 1 record, 1 digest true"),  # as Wget 1.19 and 1.20 write it
    ("a NUL in a digest's algorithm", record("resource", b"x", 1).replace(b"Content-Type:", b"WARC-Block-Digest: sha\x001:AAAA\r\nContent-Type:"),
     "failed: record at offset 0: unknown hash algorithm in the block digest 'sha\\x001:AAAA'"),  # was an internal error
    ("a hash of no fixed length", record("resource", b"x", 1).replace(b"Content-Type:", b"WARC-Block-Digest: shake_128:AAAA\r\nContent-Type:"),
     "failed: record at offset 0: unknown hash algorithm in the block digest 'shake_128:AAAA'"),
]


@pytest.mark.parametrize("why, data, verdict", CHECK_CASES, ids=[c[0] for c in CHECK_CASES])
def test_check_verdicts(tmp_path, why, data, verdict):
    path = tmp_path / ("a.warc.gz" if data[:2] == b"\x1f\x8b" else "a.warc")
    path.write_bytes(data)
    result = run_command("check", path)
    assert text(result).startswith(f"{path}: {verdict}"), text(result)
    assert result.returncode == (0 if verdict.startswith("ok") else 1)


# ---------------------------------------------------------------------------- archives written by other tools


def warcio_run(*args) -> subprocess.CompletedProcess:
    """warcio's command, run in this process (a child would spend most of its
    time importing it): its exit status and standard output."""
    cli = importorskip("warcio.cli", "warcio is a test extra: pip install '.[test]'")
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        try:
            status = cli.main([str(a) for a in args]) or 0
        except SystemExit as end:
            status = end.code or 0
    return subprocess.CompletedProcess(args, status, printed.getvalue(), "")


@pytest.mark.parametrize("path", [p for p in SAMPLE_FILES if p.name not in BROKEN_ON_PURPOSE], ids=lambda p: p.name)
def test_index_offsets_and_lengths_equal_warcios(path):
    ours = run_command("index", path, "-f", "offset,length,warc-type,warc-record-id")
    theirs = warcio_run("index", path, "-f", "offset,length,warc-type,warc-record-id")
    expected = [{k: int(v) if k in ("offset", "length") else v for k, v in json.loads(line).items()}
                for line in theirs.stdout.splitlines()]
    assert [json.loads(line) for line in text(ours).splitlines()] == expected


def warcio_verdicts(said: str):
    """From `warcio check -v`: the offsets of the records whose digests failed,
    and whether it gave up on the file (an archive it could not load)."""
    failed, offset = set(), None
    for line in said.splitlines():
        record = re.match(r"\s+offset (\d+) WARC-Record-ID", line)
        if record:
            offset = int(record.group(1))
        elif "digest failed" in line:
            failed.add(offset)
    return failed, "saw exception ArchiveLoadFailed" in said


@pytest.mark.parametrize("path", SAMPLE_FILES, ids=lambda p: p.name)
def test_check_digest_verdicts_equal_warcios(path):
    ours, theirs = run_command("check", "-v", path), warcio_run("check", "-v", path)
    failed, gave_up = warcio_verdicts(theirs.stdout)
    assert theirs.returncode == (1 if failed or gave_up else 0), theirs.stdout  # its exit status is its verdict
    found = {int(n) for n in re.findall(r"record at offset (\d+): (?:block|payload) digest \S+ does not match", text(ours))}
    assert found == failed, (text(ours), theirs.stdout)
    if theirs.returncode:  # what warcio fails, check fails too (and more: stray bytes, gzip layout)
        assert ours.returncode == 1, text(ours)


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
    fastwarc = importorskip("fastwarc.warc", "FastWARC is a test extra, with no wheel for CPython 3.9")

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
