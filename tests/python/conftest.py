import importlib
import os
import pathlib
import sys

import pytest

SAMPLES = pathlib.Path(__file__).resolve().parents[1] / "data"  # an archive written by an independent crawler


# The optional test dependencies CI installs: the extra that brings each (by
# name, as scripts/common.sh installs them; VELLUMARK_EXTRAS says which a run
# has), or "system" for what scripts/system-deps.sh installs, and whether it
# has a build for this Python.
CI_INSTALLS = {
    "warcio": ("test", True), "wacz": ("test", True), "cdxj-indexer": ("test", True), "mypy": ("test", True), "cbor2": ("test", True),
    "fastwarc": ("test", sys.version_info >= (3, 10)),  # no wheel for 3.9
    "pyspark": ("spark", True), "java": ("system", True), "unzip": ("system", True),
}


def ci_installs(dependency: str) -> bool:
    """Whether this is a CI run (CI=true) into whose environment CI installs `dependency`."""
    if os.environ.get("CI") != "true" or dependency not in CI_INSTALLS:
        return False
    extra, built_here = CI_INSTALLS[dependency]
    return built_here and (extra == "system" or extra in os.environ.get("VELLUMARK_EXTRAS", "test").split())


def missing(dependency: str, why: str) -> None:
    """Skips a test for a dependency that is not installed, saying why; under
    CI=true, fails it instead when CI installs that dependency here."""
    if ci_installs(dependency):
        pytest.fail(f"{why}; and CI installs {dependency} here, so its tests must run")
    pytest.skip(why)


def importorskip(module: str, why: str):
    """The module, or missing() for the distribution it comes in."""
    try:
        return importlib.import_module(module)
    except ImportError:
        missing(module.split(".")[0], why)


def py_wacz(*args) -> tuple:
    """(exit status, what it printed) of py-wacz's command, `wacz create` or
    `wacz validate`, run in this process: a child would spend most of its
    time importing it."""
    import contextlib
    import io
    import warnings

    printed = io.StringIO()
    with contextlib.redirect_stdout(printed), warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # what its own dependencies say on newer Pythons, as it imports them
        main = importorskip("wacz.main", "py-wacz writes the packages these tests sign and validates what they write: pip install '.[test]'").main
        status = main([str(a) for a in args])
    return status, printed.getvalue()


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
    """(headers, body) of every record as warcio and FastWARC see them, where
    installed (under CI=true, both must be where CI installs them)."""
    seen = {}
    try:
        from warcio.archiveiterator import ArchiveIterator
    except ImportError:
        if ci_installs("warcio"):
            pytest.fail("warcio is missing, and CI installs it here")
    else:
        seen["warcio"] = [
            ({k.lower(): v for k, v in r.rec_headers.headers}, r.raw_stream.read())
            for r in ArchiveIterator(io.BytesIO(data), no_record_parse=True)
        ]
    try:
        from fastwarc.warc import ArchiveIterator as FastIterator
    except ImportError:
        if ci_installs("fastwarc"):
            pytest.fail("FastWARC is missing, and CI installs it here")
    else:
        seen["fastwarc"] = [
            ({k.lower(): v for k, v in r.headers.items()}, r.reader.read())
            for r in FastIterator(io.BytesIO(data), parse_http=False)
        ]
    return seen


def command_env() -> dict:
    """The environment for running the command or the package in a child process:
    the module and the package where this test run found them, and this directory
    (for paused_run)."""
    import vellumark_tools

    paths = [os.path.dirname(vellumark.__file__), os.path.dirname(os.path.dirname(vellumark_tools.__file__)),
             os.path.dirname(os.path.abspath(__file__))]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(dict.fromkeys(paths + [os.environ.get("PYTHONPATH", "")])).strip(os.pathsep))


# A child gets the signal dispositions its test relies on instead of this
# process's: a shell script run in the background starts its commands with
# SIGINT ignored, and Python leaves an ignored SIGINT ignored.
CHILD_SIGNALS = (
    "import signal; signal.signal(signal.SIGINT, signal.default_int_handler); "
    "[signal.signal(s, signal.SIG_DFL) for s in (signal.SIGTERM, signal.SIGHUP)]; "
    "signal.pthread_sigmask(signal.SIG_SETMASK, []); "
)


def command(*args) -> list:
    """The command line of `vellumark ARGS...` in a child process: the console
    script's entry point, with the signal dispositions set (and paused_run's
    pause, when the environment asks for one)."""
    return [sys.executable, "-c", CHILD_SIGNALS + "import paused_run; paused_run.main()", *map(str, args)]


def run_command(*args, cwd=None, timeout=300, env=None, **kwargs) -> subprocess.CompletedProcess:
    """`vellumark ARGS...` in a child process, run to its end."""
    return subprocess.run(command(*args), capture_output=True, cwd=cwd, timeout=timeout, env=env or command_env(), **kwargs)


def write_wacz(path, archives: dict, extra: dict = None):
    """A minimal WACZ package: each archive stored under archive/, `extra`
    entries as given, and a datapackage.json giving every file's hash and size."""
    import hashlib
    import json
    import zipfile

    files = {**{f"archive/{name}": data for name, data in archives.items()}, **(extra or {})}
    resources = [{"name": os.path.basename(name), "path": name, "hash": "sha256:" + hashlib.sha256(data).hexdigest(),
                  "bytes": len(data)} for name, data in files.items()]
    with zipfile.ZipFile(path, "w") as package:
        for name, data in files.items():
            package.writestr(name, data)
        package.writestr("datapackage.json", json.dumps({"profile": "data-package", "resources": resources}, indent=2))
    return path


def pytest_terminal_summary(terminalreporter, config) -> None:
    """Every skip of the run, for the summary scripts/test-all.sh prints
    (VELLUMARK_SKIPPED_FILE), grouped by reason, with where the module came
    from; written once, by pytest-xdist's controller, which has every report."""
    path = os.environ.get("VELLUMARK_SKIPPED_FILE")
    skipped = terminalreporter.stats.get("skipped", [])
    if not path or not skipped or hasattr(config, "workerinput"):
        return
    reasons = {}
    for report in skipped:
        where, reason = report.nodeid, str(report.longrepr[-1] if isinstance(report.longrepr, tuple) else report.longrepr)
        reasons.setdefault(reason.removeprefix("Skipped: "), []).append(where)
    run = f"pytest on CPython {sys.version.split()[0]} with the module from {os.path.dirname(vellumark.__file__)}"
    with open(path, "a") as out:
        for reason, tests in sorted(reasons.items()):
            out.write(f"{run}: {len(tests)} skipped ({reason}): {', '.join(sorted(tests))}\n")
