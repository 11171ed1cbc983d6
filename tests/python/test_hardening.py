"""Regression tests for what an adversarial caller did to the module: Python code
run in the middle of a call, memory exhaustion on a fresh thread, Ctrl-C, and an
embedding host that starts a second interpreter. Anything that crashed before
runs in a child process, so a regression reports instead of killing pytest."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import vellumark
from conftest import linux_only

SANITIZED = bool(os.environ.get("VELLUMARK_SANITIZED"))
MODULE_DIR = str(pathlib.Path(vellumark.__file__).resolve().parent)


def run_child(code: str, *args: str, timeout: int = 300) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [MODULE_DIR, os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True, text=True,
                          timeout=timeout, env=env)


# Each drops the caller's last other reference to the archive while the call runs.
# Before the binder owned its arguments, both read freed memory (a segfault).
ARGUMENT_FREED_MID_CALL = {
    "import hook": """
        import builtins
        real = builtins.__import__
        def hook(name, *a, **k):
            drop_archive()
            return real(name, *a, **k)
        builtins.__import__ = hook
    """,
    "gc callback": """
        def callback(phase, info):
            drop_archive()
        gc.callbacks.append(callback)
        gc.set_threshold(1)
    """,
}


@pytest.mark.parametrize("how", ARGUMENT_FREED_MID_CALL)
def test_an_argument_freed_by_python_code_mid_call_stays_valid(how):
    setup = """
        import gc, vellumark
        class B(bytes): pass
        def drop_archive():
            for o in gc.get_objects():
                if type(o) is dict and type(o.get("warc")) is B:
                    o.clear()
                    break
    """
    call = """
        records = vellumark.read_records(**{"warc": B(b"WARC/1.1\\r\\nContent-Length: 1\\r\\n\\r\\nx\\r\\n\\r\\n" * 300_000)})
        print(len(records), records[-1]["body"], records[-1]["offset"])
    """
    child = run_child("".join(textwrap.dedent(part) for part in (setup, ARGUMENT_FREED_MID_CALL[how], call)))
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["300000", "b'x'", str(299_999 * 36)]


EXHAUST_MEMORY = """
    import resource, sys, threading, vellumark
    BIG = vellumark.build_record("resource", "t", "urn:1", b"xy") * 400_000
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm + (60 << 20), resource.RLIM_INFINITY))

    def call():
        try:
            vellumark.read_records(BIG)
            print("returned")
        except BaseException as error:
            print(type(error).__name__)

    if sys.argv[1] == "fresh thread":
        thread = threading.Thread(target=call)
        thread.start()
        thread.join()
    else:
        call()
"""


@pytest.mark.skipif(SANITIZED, reason="an address-space cap cannot coexist with the sanitizers")
@linux_only("RLIMIT_AS and /proc/self/status")
@pytest.mark.parametrize("where", ["main thread"] * 10 + ["fresh thread"] * 3)
def test_memory_exhaustion_raises_instead_of_ending_the_process(where):
    # The first throw on a thread used to need the C++ runtime's per-thread
    # state, and glibc ended the process ("cannot allocate memory for
    # thread-local data", exit 127) when that allocation failed.
    child = run_child(EXHAUST_MEMORY, where)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.strip() in ("MemoryError", "PanicException")


class KeywordWithBrokenStr(str):
    def __init__(self, text):
        self.raises = None

    def __str__(self):
        raise self.raises


def type_with_broken_name(exception):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise exception
            return super().__getattribute__(name)

    return Meta("Odd", (), {})()


def call_with_unknown_keyword(exception):
    key = KeywordWithBrokenStr("nope")
    key.raises = exception
    vellumark.read_records(**{key: b""})


def call_with_unnameable_type(exception):
    vellumark.read_records(type_with_broken_name(exception))


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), SystemExit(3)])
@pytest.mark.parametrize("call", [call_with_unknown_keyword, call_with_unnameable_type])
def test_interrupts_while_formatting_a_message_propagate(call, exception):
    with pytest.raises(type(exception)) as info:
        call(exception)
    assert info.value is exception


@pytest.mark.parametrize(
    "call, message",
    [
        (call_with_unknown_keyword, "read_records() got an unexpected keyword argument '<unprintable keyword>'"),
        (call_with_unnameable_type,
         "argument 'warc': '<failed to extract type name>' object cannot be converted to 'PyBytes'"),
    ],
)
def test_ordinary_failures_while_formatting_a_message_are_substituted(call, message):
    with pytest.raises(TypeError) as info:
        call(LookupError("no text"))
    assert str(info.value) == message


def test_ctrl_c_ends_a_long_read_records_call():
    # SIGINT is raised at a known point inside the call, with no timer: when the
    # module pauses the collector, through a stand-in gc module (in sys.modules,
    # where the module's import finds it) whose disable() is a C function,
    # PyErr_SetInterrupt, so that no Python code runs there to handle it. The handler can then only run where the module itself checks
    # for signals in its record loop, and the call must end with its exception
    # and the collector restored. (A CPU-time timer missed the call at random.)
    child = run_child(
        """
        import ctypes, gc, json, signal, sys, types, vellumark
        small = b"WARC/1.1\\r\\nContent-Length: 0\\r\\n\\r\\n\\r\\n\\r\\n"
        large = b"WARC/1.1\\r\\nContent-Length: %d\\r\\n\\r\\n" % (4 << 20) + bytes(4 << 20) + b"\\r\\n\\r\\n"
        archive = small * 300 + large * 8
        calls = []

        def interrupt(signum, frame):
            calls.append("handler")
            raise KeyboardInterrupt

        signal.signal(signal.SIGINT, interrupt)
        sys.modules["gc"] = types.SimpleNamespace(isenabled=lambda: calls.append("pause") is None,
                                                  disable=ctypes.pythonapi.PyErr_SetInterrupt,
                                                  enable=lambda: calls.append("enable"))
        try:
            vellumark.read_records(archive)
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "interrupted"
        sys.modules["gc"] = gc
        print(json.dumps({"outcome": outcome, "calls": calls, "afterwards": len(vellumark.read_records(small * 3))}))
        """
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert json.loads(child.stdout) == {"outcome": "interrupted", "calls": ["pause", "handler", "enable"],
                                        "afterwards": 3}


EMBEDDING_HOST = r"""
#include <Python.h>
/* Two interpreters, one after the other, in one process. */
int main(int argc, char **argv) {
    for (int round = 1; round <= 2; ++round) {
        Py_Initialize();
        if (PyRun_SimpleString(argv[1]) != 0) return 10 + round;
        if (Py_FinalizeEx() < 0) return 20 + round;
    }
    return 0;
}
"""

EMBEDDED_ROUND = """
import resource, vellumark
records = vellumark.read_records(vellumark.build_record("resource", "text/plain", "urn:1", b"hi"))
# A result too large to allocate raises PanicException, whose class the module makes on first use.
MIB = 1 << 20
archive = b"WARC/1.1\\r\\nContent-Length: %d\\r\\n\\r\\n" % (128 * MIB) + bytes(128 * MIB)
with open("/proc/self/status") as status:
    vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (vm + 64 * MIB, hard))
try:
    vellumark.read_records(archive)
    panic = "nothing raised"
except BaseException as error:
    panic = type(error).__name__ + ("" if isinstance(error, Exception) else " (BaseException)")
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
print("round:", len(records), records[0]["body"].decode(), panic, flush=True)
"""


def python_config() -> str:
    version = sysconfig.get_config_var("VERSION")
    for name in (f"python{version}-config", "python3-config"):
        candidate = pathlib.Path(sys.base_prefix) / "bin" / name
        if candidate.exists():
            return str(candidate)
    pytest.skip(f"no python{version}-config beside this interpreter to build an embedding host with")


@pytest.mark.skipif(SANITIZED, reason="an embedding host would need the sanitizer runtimes linked in")
@linux_only("an ELF embedding host built with cc, python-config, RLIMIT_AS and /proc")
def test_a_second_interpreter_after_finalisation_gets_a_working_module(tmp_path):
    compiler = shutil.which("cc") or pytest.skip("no C compiler to build an embedding host with")
    flags = subprocess.run([python_config(), "--cflags", "--ldflags", "--embed"], capture_output=True, text=True,
                           check=True).stdout.split()
    source = tmp_path / "host.c"
    source.write_text(EMBEDDING_HOST)
    host = tmp_path / "host"
    subprocess.run([compiler, str(source), "-o", str(host), *flags], check=True, capture_output=True)
    env = dict(os.environ, PYTHONPATH=MODULE_DIR, PYTHONHOME=sys.base_prefix)
    env.pop("PYTHONMALLOC", None)
    child = subprocess.run([str(host), EMBEDDED_ROUND], capture_output=True, text=True, timeout=300, env=env)
    # Before the module forgot the finalised interpreter, round 2 got the old
    # module with its attributes cleared: TypeError, 'NoneType' object is not callable.
    assert child.returncode == 0, child.stdout + child.stderr[-2000:]
    assert child.stdout.splitlines() == ["round: 1 hi PanicException (BaseException)"] * 2
