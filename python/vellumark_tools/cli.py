"""The vellumark command: sign, read the manifest store of, hash, index,
check and count archives on disk. Results go to standard output, diagnostics to
standard error. Exit status: 0 when every archive went through, 1 when one
failed, 2 for a usage error, 130 after Ctrl-C (128 plus the signal's number
after SIGTERM or SIGHUP)."""

from __future__ import annotations

import argparse
import importlib
import json
import os
import re
import signal
import stat
import sys
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Set, Tuple, Type, TypeVar

import vellumark

from .archive import DEFAULT_MEMBER_LIMIT
from .binding import ALGORITHMS
from .errors import ArchiveError, described, shown
from .formats import census, check, data_hash, index_entries, read_manifest, sign
from .inputs import Inputs, find_archives, store_for, why_not
from .output import atomic_output, check_target, clean_up_unfinished, remove_leftovers
from .results import ReaderGone, StandardOutputError, drop_unwritten, emit, emit_bytes, flush, prepare
from .runner import Outcome, Terminated, default_workers, handle_termination, run_jobs
from .signing import Signed, is_gzip_file, signed_name
from .survey import Checked, Found, census_totals, read_archive_manifest
from .wacz import DIGEST as DIGEST_FILE
from .wacz import is_wacz, sign_wacz, signed_wacz_name, wacz_archives, wacz_manifests

PROG = "vellumark"
DEFAULT_FIELDS = "offset,length,warc-type,warc-target-uri,warc-record-id"


class UsageError(Exception):
    """A command line that cannot be run as given: exit status 2."""


class NothingToDo(Exception):
    """No archive under the paths given (each left out is named already): exit status 1."""


# ---------------------------------------------------------------------------- jobs (run in worker processes)


def sign_job(path: str, store: Any, target: str, record_id: Optional[str], member_limit: int, threads: int) -> Outcome:
    """`store`: the store's bytes, or for a WACZ package a dict of them by archive entry."""
    name = shown(path)
    if isinstance(store, dict):
        package = sign_wacz(path, store.__getitem__, target, record_id, member_limit=member_limit, threads=threads)
        moved = sum(1 for s in package.archives if s.dropped)
        line = (f"{name} -> {package.output}: {plural(len(package.archives), 'archive')}, {plural(package.records, 'record')}; "
                f"every index entry stays valid" + (f" (replaced the stores of {moved})" if moved else "")
                + "".join(binding_notes(s, f"{s.output}: ") for s in package.archives))
        warnings = [f"{DIGEST_FILE}: its signedData signed the old hash of datapackage.json and was removed; "
                    "sign the package again with the tool that signed it"] if package.signature_removed else []
        return Outcome(name, True, line, {"records": package.records, "bytes": sum(s.size for s in package.archives)}, warnings)
    signed = sign(path, store, target, record_id, member_limit=member_limit, threads=threads)
    assert isinstance(signed, Signed)
    advice = signed.index_advice()
    dropped = f"; replaced {len(signed.dropped)} manifest store record(s)" if signed.dropped else ""
    rewritten = (
        f"; {signed.rewritten:,} records that shared or spanned gzip members are now members of their own"
        if signed.rewritten
        else ""
    )
    line = f"{name} -> {signed.output}: {plural(signed.records, 'record')} (WARC/{signed.version}){dropped}{rewritten}; {advice}"
    return Outcome(name, True, line + binding_notes(signed), {"records": signed.records, "bytes": signed.size})


def binding_notes(signed: Signed, where: str = "") -> str:
    """The output's binding verdict, and a range that moved, for a line of sign (never a failure of it)."""
    notes = [f"; {where}{signed.binding.line()}"] if signed.binding is not None else []
    moved = signed.range_moved()
    return "".join(notes) + (f"; {where}{moved}" if moved else "")


def census_job(path: str, member_limit: int, threads: int) -> Outcome:
    name = shown(path)
    result = census(path, member_limit=member_limit, threads=threads)
    versions = ", ".join(f"WARC/{v}" for v in sorted(result.versions))
    carried = ", carries a manifest store" if result.manifest else ""
    line = f"{name}: {plural(result.records, 'record')} ({versions or 'none'}), {result.bytes:,} bytes uncompressed{carried}"
    return Outcome(name, True, line, result, result.warnings)


def check_job(path: str, member_limit: int, threads: int, verbose: bool) -> Outcome:
    name = shown(path)
    result = check(path, member_limit=member_limit, threads=threads)
    layout = ""
    if result.compressed:
        layout = f", per-record gzip ({plural(result.members, 'member')})" if result.per_record else ", not per-record gzip"
    digests = f", {plural(result.digests, 'digest')} true" if result.digests else ""
    details = binding_details(result) if verbose else ""
    if result.ok:
        bindings = "".join(f", {named(result, where)}{binding.line()}" for where, binding in result.bindings)
        return Outcome(name, True, f"{name}: ok: {plural(result.records, 'record')}{layout}{digests}{bindings}{details}", result)
    more = f" (and {len(result.problems) - 1} more problems; -v lists them)" if len(result.problems) > 1 and not verbose else ""
    line = f"{name}: failed: {result.problems[0]}{more}"
    if verbose:
        line += "".join(f"\n  {problem}" for problem in result.problems[1:]) + details
    return Outcome(name, False, line, result, error=result.problems[0])


def named(result: Checked, where: str) -> str:
    """An archive entry's name before what is said of it; nothing for the archive itself."""
    return "" if where == result.name else f"{where}: "


def binding_details(result: Checked) -> str:
    """What -v adds about each binding: expected and actual hash, the ranges."""
    return "".join(f"\n  {named(result, where)}{detail}" for where, binding in result.bindings for detail in binding.details())


# ---------------------------------------------------------------------------- output of a run


class Progress:
    """A tqdm bar on standard error when it is a terminal and tqdm is installed;
    otherwise a line per archive. Lines meant for standard output go there."""

    def __init__(self, total: int, failures_too: bool) -> None:
        self._failures_too = failures_too
        self._bar: Any = None
        if total > 1 and sys.stderr.isatty():
            try:
                tqdm = importlib.import_module("tqdm")
            except ImportError:
                note("a progress bar needs tqdm: pip install 'vellumark[progress]'")
            else:
                tqdm.tqdm.monitor_interval = 0  # no monitor thread: worker processes are started while it runs
                self._bar = tqdm.tqdm(total=total, unit="archive", file=sys.stderr, leave=False)

    def done(self, outcome: Outcome) -> None:
        for warning in outcome.warnings:
            self._print(f"{PROG}: {outcome.name}: warning: {warning}", result=False)
        if self._bar is not None:
            self._bar.update(1)
        if outcome.ok or self._failures_too:
            self._print(outcome.line, result=True)
        else:
            self._print(f"{PROG}: {outcome.line}", result=False)

    def _print(self, line: str, result: bool) -> None:
        target = sys.stdout if result else sys.stderr
        if self._bar is not None and target is not None and target.isatty():  # above the bar, not through it
            self._bar.write(line, file=target)
        elif result:
            emit(line + "\n", flush=True)
        else:
            print(line, file=sys.stderr, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


_noted: Set[str] = set()


def note(text: str) -> None:
    """A remark about the environment (a missing extra), once per run."""
    if text not in _noted:
        _noted.add(text)
        print(f"{PROG}: note: {text}", file=sys.stderr)


def archives_under(paths: Sequence[str], skip_signed: bool = False) -> Inputs:
    """The archives to work on, with every file left out and every path that
    could not be read named; NothingToDo when none is left."""
    inputs = find_archives(paths, skip_signed=skip_signed)
    for path, reason in inputs.skipped:
        print(f"{PROG}: skipped {shown(path)}: {reason}", file=sys.stderr)
    for path, reason in inputs.failed:
        print(f"{PROG}: {shown(path)}: {reason}", file=sys.stderr)
    if not inputs.archives:
        raise NothingToDo
    return inputs


def run_and_report(
    jobs: List[Tuple[str, Any]], workers: int, summary: Callable[[List[Outcome]], str], failures_too: bool = False,
    failed_before: int = 0,
) -> Tuple[List[Outcome], int]:
    """Runs the jobs, a line each on standard output (failures on standard
    error, unless `failures_too`: a check's verdict is its result), or a bar;
    then the summary when there was more than one."""
    progress = Progress(len(jobs), failures_too)
    outcomes: List[Outcome] = []
    try:
        for outcome in run_jobs(jobs, workers, note):
            outcomes.append(outcome)
            progress.done(outcome)
    finally:
        progress.close()
    failed = sum(1 for o in outcomes if not o.ok)
    if len(jobs) + failed_before > 1:
        emit(summary(outcomes) + "\n", flush=True)
    return outcomes, 1 if failed else 0


def plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


# ---------------------------------------------------------------------------- commands


class Command:
    """What each command class has: its help line, its arguments, and run()."""

    help: str

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        raise NotImplementedError

    @staticmethod
    def run(args: argparse.Namespace) -> int:
        raise NotImplementedError


class Sign(Command):
    help = "embed a manifest store in archives, written beside them as NAME.c2pa.warc[.gz] (NAME.c2pa.wacz)"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("archives", nargs="+", metavar="ARCHIVE", help=".warc, .warc.gz or .wacz files, or directories of them")
        parser.add_argument(
            "--manifest", required=True, metavar="STORE",
            help="the manifest store file, or a name template with {name} (the archive's file name) or {stem} "
            "(its name without .warc[.gz]) giving each archive its own",
        )
        where = parser.add_mutually_exclusive_group()
        where.add_argument("--output", "-o", metavar="FILE", help="the signed archive (one archive only)")
        where.add_argument("--output-dir", metavar="DIR", help="write the signed archives into DIR")
        parser.add_argument("--record-id", metavar="ID", help="the new record's ID (one archive only; default: a new urn:uuid)")
        add_workers(parser)
        add_member_limit(parser)
        add_threads(parser)

    @staticmethod
    def run(args: argparse.Namespace) -> int:
        if args.output == "" or args.output_dir == "":
            raise UsageError(f"--{'output' if args.output == '' else 'output-dir'} must not be empty")
        if args.output_dir is not None and os.path.exists(args.output_dir) and not os.path.isdir(args.output_dir):
            raise UsageError(f"--output-dir {shown(args.output_dir)}: not a directory")
        args.record_id = record_id_of(args.record_id)
        inputs = archives_under(args.archives, skip_signed=True)
        if args.output is not None and len(inputs.archives) > 1:
            raise UsageError(f"--output names one file, and {len(inputs.archives)} archives were given; use --output-dir")
        if args.record_id is not None and len(inputs.archives) > 1:
            raise UsageError("--record-id is for one archive: each record needs an ID of its own")
        share_cores(args, len(inputs.archives))
        targets = each_archive(inputs, lambda path, root: target_of(path, root, args))
        refuse_clashes(list(targets), list(targets.values()))
        stores = load_stores(inputs, args.manifest)
        each_archive(inputs, lambda path, root: ready_for(targets[path], args.output_dir is not None))
        jobs = [
            (shown(path), (sign_job, (path, stores[path], targets[path], args.record_id, args.member_limit, args.threads),
                           (remove_leftovers, (targets[path],))))
            for path, _ in inputs.archives
        ]

        def summary(outcomes: List[Outcome]) -> str:
            done = [o for o in outcomes if o.ok]
            records = sum(o.data["records"] for o in done)
            return f"signed {plural(len(done), 'archive')} ({records:,} records); {failures(outcomes, inputs)}"

        _, status = run_and_report(jobs, args.workers, summary, failed_before=len(inputs.failed))
        return max(status, 1 if inputs.failed else 0)


def record_id_of(text: Optional[str]) -> Optional[str]:
    """A record ID as the user may copy it from a file (<urn:uuid:...>) or
    without the angle brackets, which the record gets either way."""
    if text is None:
        return None
    bare = text[1:-1] if text.startswith("<") and text.endswith(">") else text
    if not bare or any(c.isspace() or c in "<>" for c in bare):
        raise UsageError(f"--record-id {text!r}: a record ID is a URI, such as urn:uuid:..., without spaces or angle brackets inside")
    return bare


T = TypeVar("T")


def each_archive(inputs: Inputs, step: Callable[[str, Optional[str]], T]) -> Dict[str, T]:
    """`step(path, root)` for each archive, by path. An archive it fails for is
    that archive's failure, not the run's: named on standard error, counted
    among the failed paths, and left out of the rest of the run."""
    done: Dict[str, T] = {}
    for path, root in list(inputs.archives):
        try:
            done[path] = step(path, root)
        except (ArchiveError, OSError) as error:
            reason = described(error, shown(path))
            inputs.archives.remove((path, root))
            inputs.failed.append((path, reason))
            print(f"{PROG}: {shown(path)}: {reason}", file=sys.stderr)
    return done


def ready_for(target: str, make_directory: bool) -> None:
    """The output can be written: its directory made (under --output-dir), and it is a regular file or a new name."""
    if make_directory:
        os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    check_target(target)


def target_of(path: str, root: Optional[str], args: argparse.Namespace) -> str:
    if args.output is not None:
        return str(args.output)
    target = signed_wacz_name(path) if is_wacz(path) else signed_name(path, is_gzip_file(path))
    if args.output_dir is not None:
        relative = os.path.relpath(target, root) if root is not None else os.path.basename(target)
        target = os.path.join(args.output_dir, relative)
    return target


def refuse_clashes(paths: List[str], targets: List[str]) -> None:
    """Two archives that would write one output, or an output that is another
    archive of the run, are refused before any work."""
    seen: Dict[str, str] = {}
    inputs = {os.path.realpath(p): p for p in paths}
    for path, target in zip(paths, targets):
        key = os.path.realpath(target)
        if key in seen:
            raise UsageError(f"{shown(seen[key])} and {shown(path)} would both be written to {shown(target)}")
        other = inputs.get(key)
        if other is not None and os.path.realpath(other) != os.path.realpath(path):
            raise UsageError(f"{shown(path)} would be written to {shown(target)}, which is also an archive of this run")
        seen[key] = path


STORE_LIMIT = 256 << 20  # a manifest store is kilobytes, a few megabytes with thumbnails


def load_stores(inputs: Inputs, template: str) -> Dict[str, Any]:
    """Every archive's store (for a WACZ package, a dict by archive entry),
    read and checked before any work starts. A store that cannot be read
    ends the run (the command line names it); a package whose archives
    cannot be listed is that package's failure."""
    cache: Dict[str, bytes] = {}

    def store(archive: str) -> bytes:
        store_path = store_for(template, archive)
        if store_path not in cache:
            cache[store_path] = read_store(store_path)
        return cache[store_path]

    entries = each_archive(inputs, lambda path, _: [name for name, _ in wacz_archives(path)] if is_wacz(path) else None)
    return {
        path: store(path) if names is None else {entry: store(entry) for entry in names}
        for path, names in entries.items()
    }


def read_store(store_path: str) -> bytes:
    try:
        with open(store_path, "rb") as file:
            status = os.fstat(file.fileno())
            if not stat.S_ISREG(status.st_mode):
                raise ArchiveError(f"{shown(store_path)}: the manifest store is not a regular file")
            if status.st_size > STORE_LIMIT:
                raise ArchiveError(f"{shown(store_path)}: {status.st_size:,} bytes, and a manifest store is at most {STORE_LIMIT >> 20} MiB")
            data = file.read()
    except OSError as error:
        raise ArchiveError(f"{shown(store_path)}: cannot read the manifest store: {error.strerror}") from None
    if not data:
        raise ArchiveError(f"{shown(store_path)}: the manifest store file is empty")
    if data[4:8] != b"jumb":
        print(
            f"{PROG}: warning: {shown(store_path)} does not begin with a JUMBF superbox (box type 'jumb'), "
            "as a C2PA manifest store does; embedding it anyway",
            file=sys.stderr,
        )
    return data


def failures(outcomes: List[Outcome], inputs: Inputs) -> str:
    failed = sum(1 for o in outcomes if not o.ok) + len(inputs.failed)
    return f"{failed} failed" if failed else "none failed"


class Manifest(Command):
    help = "write out the manifest store an archive carries (list those of a WACZ package's archives)"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("archive", metavar="ARCHIVE")
        parser.add_argument("--output", "-o", metavar="FILE", help="where to write the store (default: standard output, when it is not a terminal)")
        parser.add_argument("--archive", dest="entry", metavar="NAME", help="in a WACZ package: the archive whose store to write (archive/NAME)")
        add_member_limit(parser)
        add_threads(parser)

    @staticmethod
    def run(args: argparse.Namespace) -> int:
        if args.output == "":
            raise UsageError("--output must not be empty")
        packaged = is_wacz(args.archive)
        if args.entry is not None and not packaged:
            raise UsageError("--archive is for a WACZ package")
        writes = not packaged or args.entry is not None
        if writes and args.output is None and sys.stdout is not None and sys.stdout.isatty():
            raise UsageError("the store is binary data: give --output FILE, or redirect standard output")
        if args.output is not None:
            refuse_overwriting_an_archive(args.output, [args.archive])
            check_target(args.output)
        share_cores(args, 1)
        name = shown(args.archive)
        try:
            if packaged and args.entry is None and args.output is None:
                return list_manifests(args.archive, args.member_limit, args.threads)
            if packaged:
                entry = the_entry(args.entry, [n for n, _ in wacz_archives(args.archive)], name)
                found = next(read_archive_manifest(s, member_limit=args.member_limit, threads=args.threads)
                             for n, s in wacz_archives(args.archive) if n == entry)
                name = f"{name}:{shown(entry)}"
            else:
                found = read_manifest(args.archive, member_limit=args.member_limit, threads=args.threads)
        except ArchiveError as error:
            raise ArchiveError(f"{name}: {error}") from None
        if found is None:
            print(f"{name}: no manifest store record", file=sys.stderr)
            return 1
        if args.output is not None:
            with atomic_output(args.output) as out:
                out.write(found.store)
        else:
            emit_bytes(found.store)
        print(f"{name}: {where_it_stands(found)}", file=sys.stderr)
        return 0


def list_manifests(package: str, member_limit: int, threads: int) -> int:
    """A line for each archive of a package: where its store stands, or that it has none."""
    found_in = wacz_manifests(package, member_limit=member_limit, threads=threads)
    for entry, found in found_in:
        emit(f"{shown(entry)}: {where_it_stands(found) if found else 'no manifest store record'}\n")
    return 0 if any(found for _, found in found_in) else 1


def the_entry(asked: Optional[str], entries: List[str], package: str) -> str:
    """The archive entry --archive names (with or without archive/), or the
    package's only archive when it names none."""
    if asked is None:
        if len(entries) != 1:
            held = f" ({', '.join(map(shown, entries))})" if entries else ""
            raise UsageError(f"{package} holds {plural(len(entries), 'archive')}: say whose store to write with --archive NAME{held}")
        return entries[0]
    entry = asked if asked in entries else f"archive/{asked}"
    if entry not in entries:
        raise ArchiveError(f"no archive {shown(asked)} in the package (it holds {', '.join(map(shown, entries)) or 'none'})")
    return entry


def where_it_stands(found: Found) -> str:
    unit = "compressed offset" if found.compressed else "offset"
    length = f", length {found.length:,}" if found.length is not None else " (in a gzip member it shares)"
    return f"a manifest store of {len(found.store):,} bytes, in the record at {unit} {found.offset:,}{length}"


def refuse_overwriting_an_archive(output: str, inputs: Iterable[str]) -> None:
    """An output given where an archive was meant (`--json a.warc b.warc`) must not replace it."""
    key = os.path.realpath(output)
    for path in inputs:
        if os.path.realpath(path) == key:
            raise UsageError(f"{shown(output)} is an archive of this run, not a place for the output")
    if os.path.exists(output) and why_not(os.path.basename(output), skip_signed=False) is None:
        raise UsageError(f"{shown(output)} is an archive: the output goes elsewhere")


class Index(Command):
    help = "one JSON line per record, as warcio index writes them"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("archives", nargs="+", metavar="ARCHIVE", help=".warc, .warc.gz or .wacz files, or directories of them")
        parser.add_argument(
            "--fields", "-f", default=DEFAULT_FIELDS,
            help=f"comma-separated: offset, length (of the gzip member in a .warc.gz), filename, or header names (default: {DEFAULT_FIELDS})",
        )
        add_member_limit(parser)
        add_threads(parser)

    @staticmethod
    def run(args: argparse.Namespace) -> int:
        fields = [f.strip() for f in args.fields.split(",") if f.strip()]
        if not fields:
            raise UsageError("--fields names no field")
        inputs = archives_under(args.archives)
        share_cores(args, 1)
        status = 1 if inputs.failed else 0
        for path, _ in inputs.archives:
            warnings: List[str] = []
            try:
                for entry in index_entries(path, fields, member_limit=args.member_limit, threads=args.threads, warnings=warnings):
                    emit(json.dumps(entry) + "\n")
                for warning in warnings:
                    print(f"{PROG}: {shown(path)}: warning: {warning}", file=sys.stderr)
            except (ArchiveError, OSError) as error:
                emit("", flush=True)
                print(f"{PROG}: {shown(path)}: {described(error, shown(path))}", file=sys.stderr)
                status = 1
        flush()
        return status


class Hash(Command):
    help = "the data hash of signed archives, for the manifest store: every byte but the manifest store record's, as JSON lines"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        parser.add_argument(
            "archives", nargs="+", metavar="ARCHIVE", help=".warc, .warc.gz or .wacz files (each archive of a package), or directories of them"
        )
        parser.add_argument("--alg", choices=ALGORITHMS, default=ALGORITHMS[0], help=f"the hash algorithm (default: {ALGORITHMS[0]})")
        add_member_limit(parser)
        add_threads(parser)

    @staticmethod
    def run(args: argparse.Namespace) -> int:
        inputs = archives_under(args.archives)
        share_cores(args, 1)
        status = 1 if inputs.failed else 0
        for path, _ in inputs.archives:
            name = shown(path)
            try:
                if is_wacz(path):
                    for entry, stream in wacz_archives(path):
                        status |= Hash.one(stream, {"file": name, "archive": entry}, f"{name}: {shown(entry)}", args)
                else:
                    status |= Hash.one(path, {"file": name}, name, args)
            except (ArchiveError, OSError) as error:
                emit("", flush=True)
                print(f"{PROG}: {name}: {described(error, name)}", file=sys.stderr)
                status = 1
        flush()
        return status

    @staticmethod
    def one(source: Any, fields: Dict[str, str], name: str, args: argparse.Namespace) -> int:
        """One archive's line; a failure of its own fails only it."""
        try:
            found = data_hash(source, args.alg, member_limit=args.member_limit, threads=args.threads)
        except ArchiveError as error:
            emit("", flush=True)
            print(f"{PROG}: {name}: {error}", file=sys.stderr)
            return 1
        emit(json.dumps({**fields, **found.fields()}) + "\n")
        return 0


class Check(Command):
    help = "check that every record parses, the gzip layout, the manifest store record and the digests"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("archives", nargs="+", metavar="ARCHIVE", help=".warc, .warc.gz or .wacz files, or directories of them")
        parser.add_argument("--verbose", "-v", action="store_true", help="list every problem, not only the first")
        add_workers(parser)
        add_member_limit(parser)
        add_threads(parser)

    @staticmethod
    def run(args: argparse.Namespace) -> int:
        inputs = archives_under(args.archives)
        share_cores(args, len(inputs.archives))
        jobs = [(shown(p), (check_job, (p, args.member_limit, args.threads, args.verbose))) for p, _ in inputs.archives]

        def summary(outcomes: List[Outcome]) -> str:
            good = sum(1 for o in outcomes if o.ok)
            return f"checked {plural(len(outcomes), 'archive')}: {good} ok, {failures(outcomes, inputs)}"

        _, status = run_and_report(jobs, args.workers, summary, failures_too=True, failed_before=len(inputs.failed))
        return max(status, 1 if inputs.failed else 0)


class Census(Command):
    help = "count the records of every archive under the paths, by WARC-Type"

    @staticmethod
    def add_arguments(parser: argparse.ArgumentParser) -> None:
        parser.add_argument("paths", nargs="+", metavar="PATH", help="archives, or directories searched for them")
        parser.add_argument("--json", metavar="FILE", help="also write the totals as JSON")
        add_workers(parser)
        add_member_limit(parser)
        add_threads(parser)

    @staticmethod
    def run(args: argparse.Namespace) -> int:
        if args.json is not None:
            if args.json == "":
                raise UsageError("--json must not be empty")
            refuse_overwriting_an_archive(args.json, args.paths)
            check_target(args.json)
        inputs = archives_under(args.paths)
        share_cores(args, len(inputs.archives))
        jobs = [(shown(p), (census_job, (p, args.member_limit, args.threads))) for p, _ in inputs.archives]

        def summary(outcomes: List[Outcome]) -> str:
            totals = combined(outcomes, inputs)
            return (
                f"{plural(totals['archives'], 'archive')}, {totals['records']:,} records, "
                f"{totals['bytes']:,} bytes uncompressed, {failures(outcomes, inputs)}"
            )

        outcomes, status = run_and_report(jobs, args.workers, summary, failed_before=len(inputs.failed))
        if args.json is not None:
            with atomic_output(args.json) as out:
                out.write(json.dumps(combined(outcomes, inputs), indent=2).encode() + b"\n")
        return max(status, 1 if inputs.failed else 0)


def combined(outcomes: List[Outcome], inputs: Optional[Inputs] = None) -> Dict[str, Any]:
    """The census of a run, with the paths that could not be read among its failures."""
    errors = {o.name: o.error for o in outcomes if not o.ok}
    for path, reason in inputs.failed if inputs else []:
        errors[shown(path)] = reason
    return census_totals([o.data for o in outcomes if o.ok], errors)


# ---------------------------------------------------------------------------- the parser


def positive(text: str) -> int:  # noqa: D103 - an argparse type
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def size(text: str) -> int:
    """A byte count: 4294967296, 4G, 512M, 64K (powers of 1024)."""
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    found = re.fullmatch(r"([0-9]{1,15})([KMGT]?)(?:i?B)?", text.strip(), re.IGNORECASE)
    if found is None:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (say 4G, 512M or a number of bytes)")
    value = int(found.group(1)) * units[found.group(2).upper()]
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1 byte")
    return value


class _Given(argparse.Action):
    """Stores the value and notes that it was given, not defaulted."""

    def __call__(self, parser: Any, namespace: argparse.Namespace, values: Any, option_string: Optional[str] = None) -> None:
        setattr(namespace, self.dest, values)
        namespace.workers_given = True


def add_workers(parser: argparse.ArgumentParser) -> None:
    parser.set_defaults(workers_given=False)
    parser.add_argument(
        "--workers", "-j", type=positive, default=default_workers(), metavar="N", action=_Given,
        help="archives worked on at once, each in a process of its own (default: one per core; never more than there are archives)",
    )


def add_threads(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--threads", type=positive, default=None, metavar="N",
        help="threads that inflate one .warc.gz at once (default: the cores, shared out among the --workers "
        "processes so that workers x threads stays within the cores)",
    )


def share_cores(args: argparse.Namespace, archives: int) -> None:
    """Workers (processes, one archive each) and threads (one archive's gzip
    members) from the same cores: what is not given is fitted to what is."""
    cores = default_workers()
    workers = getattr(args, "workers", None)
    if args.threads is None:
        args.threads = max(1, cores // max(1, min(workers or 1, archives)))
    elif workers is not None and not args.workers_given:
        args.workers = max(1, cores // args.threads)


def add_member_limit(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--member-limit", type=size, default=DEFAULT_MEMBER_LIMIT, metavar="SIZE",
        help="refuse a gzip member that inflates past SIZE (default 4G: far above any real record; stops gzip bombs)",
    )


COMMANDS: Dict[str, Type[Command]] = {
    "sign": Sign, "manifest": Manifest, "hash": Hash, "index": Index, "check": Check, "census": Census,
}


def version_text() -> str:
    try:
        importlib.import_module("tqdm")
        progress = "tqdm"
    except ImportError:
        progress = "none (pip install 'vellumark[progress]')"
    return f"{PROG} {vellumark.__version__}; gzip: zlib-ng (built in); progress bar: {progress}"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__)
    parser.add_argument("--version", "-V", action="version", version=version_text())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, command in COMMANDS.items():
        sub = commands.add_parser(name, help=command.help, description=command.help[0].upper() + command.help[1:] + ".")
        command.add_arguments(sub)
        sub.set_defaults(run=command.run, parser=sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    handle_termination()
    try:
        status: int = args.run(args)
        return status
    except UsageError as error:
        args.parser.print_usage(sys.stderr)
        print(f"{args.parser.prog}: error: {error}", file=sys.stderr)
        return 2
    except NothingToDo:
        print(f"{PROG}: no archives to work on", file=sys.stderr)
        return 1
    except ReaderGone:
        raise  # entry_point ends quietly
    except StandardOutputError as error:
        print(f"{PROG} {args.command}: error: {error}", file=sys.stderr)
        return 1
    except (ArchiveError, OSError) as error:
        print(f"{PROG} {args.command}: error: {described(error)}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated as stop:
        print(f"{PROG}: stopped by {signal.Signals(stop.signum).name}", file=sys.stderr)
        return 128 + stop.signum
    finally:
        clean_up_unfinished()  # what a signal at the start of a `finally` left


def entry_point() -> None:
    """The console script: main(), with a reader of standard output that went away (`| head`) taken quietly."""
    prepare()
    try:
        status = main()
        flush()
    except ReaderGone:
        status = 141
    except StandardOutputError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        status = 1
    drop_unwritten()
    sys.exit(status)
