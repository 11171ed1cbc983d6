"""Out of memory: a call whose result cannot be allocated raises, never crashes,
and the interpreter goes on working. Each case runs in a child process whose
address space is capped right after the archive is made."""

import json
import os
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import linux_only

pytestmark = [
    pytest.mark.skipif(
        bool(os.environ.get("VELLUMARK_SANITIZED")), reason="an address-space cap cannot coexist with the sanitizers"
    ),
    linux_only("RLIMIT_AS and /proc/self/status"),
]

CHILD = textwrap.dedent(
    r"""
    import json, resource, sys, vellumark

    case = sys.argv[1]
    MIB = 1 << 20
    if case.endswith("large body"):
        archive = b"WARC/1.1\r\nContent-Length: %d\r\n\r\n" % (256 * MIB) + bytes(256 * MIB)
    else:  # millions of header lines: the reader's own field table outgrows the cap
        archive = b"WARC/1.1\r\n" + b"a: b\r\n" * (6 * MIB) + b"Content-Length: 0\r\n\r\n"
    call = {
        "read_records": lambda: vellumark.read_records(archive),
        "append_manifest": lambda: vellumark.append_manifest(archive, b"m", "id"),
    }[case.split(" ")[0]]

    with open("/proc/self/status") as status:
        vm_size = next(int(l.split()[1]) * 1024 for l in status if l.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm_size + 64 * MIB, resource.RLIM_INFINITY))

    report = {}
    try:
        try:
            call()
            report["raised"] = None
        except Exception as error:
            report["raised"] = type(error).__name__
            report["caught_as_exception"] = True
    except BaseException as error:
        kind = type(error)
        report.update(raised=kind.__name__, module=kind.__module__, bases=[b.__name__ for b in kind.__bases__],
                      args=list(error.args), doc=kind.__doc__, caught_as_exception=False)
    # The failure report must not keep the failing frames (and the archive in them) alive.
    report["pinned"] = [n for n in ("last_type", "last_value", "last_traceback", "last_exc") if hasattr(sys, n)]
    del call, archive
    report["afterwards"] = len(vellumark.read_records(vellumark.build_record("r", "t", "i", b"ok")))
    print(json.dumps(report))
    """
)

PANIC_DOC_END = (
    "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)


def run_child(case):
    child = subprocess.run([sys.executable, "-c", CHILD, case], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    return json.loads(child.stdout), child.stderr


@pytest.mark.parametrize("case", ["read_records large body", "append_manifest large body"])
def test_result_object_failure_raises_panic_exception(case):
    report, stderr = run_child(case)
    assert report["raised"] == "PanicException"
    assert report["args"] == ["Python API call failed"]
    assert report["bases"] == ["BaseException"] and not report["caught_as_exception"]
    assert report["module"] not in ("vellumark", "builtins")
    doc = report["doc"]
    first_paragraph = doc[1 : doc.index("\n\n")]
    assert doc.startswith("\n") and doc.endswith(PANIC_DOC_END)
    assert "\n" not in first_paragraph and first_paragraph.endswith(".")
    assert report["pinned"] == []
    # the interpreter's report of its own failure, then ours with a source position relative to the project
    assert "MemoryError" in stderr
    assert re.search(r"^vellumark: internal failure at src/pymodule/\w+\.cpp:\d+: Python API call failed$", stderr, re.M)
    assert report["afterwards"] == 1


@pytest.mark.parametrize("case", ["read_records many header lines", "append_manifest many header lines"])
def test_own_buffer_failure_raises_memory_error(case):
    report, _ = run_child(case)
    assert report["raised"] == "MemoryError" and report["caught_as_exception"]
    assert report["afterwards"] == 1
