"""The module's surface: attributes, docstrings, signatures, import rules."""

import importlib
import inspect
import shutil
import subprocess
import sys
import textwrap

import pytest

import vellumark
from conftest import linux_only

FUNCTIONS = {
    "append_manifest": (
        "(warc, manifest, record_id)",
        "Append a C2PA Manifest Store to a WARC archive as a new record.",
    ),
    "read_manifest": (
        "(warc)",
        "Read the embedded C2PA Manifest Store, or `None` when the archive carries\nno provenance.",
    ),
    "read_records": (
        "(warc)",
        "Every record in the archive, as a list of dicts with `headers`, `body`,\n`offset`, and `length`.",
    ),
    "build_record": (
        "(warc_type, content_type, record_id, body, target_uri=None)",
        "Build a single WARC record.",
    ),
}


def test_module_attributes():
    assert vellumark.__all__ == ["append_manifest", "read_manifest", "read_records", "build_record", "__version__"]
    assert vellumark.__version__ == "0.2.1"
    assert vellumark.__doc__ == ""
    assert not hasattr(vellumark, "PanicException")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_surface(name):
    function = getattr(vellumark, name)
    text_signature, doc = FUNCTIONS[name]
    assert function.__name__ == name
    assert function.__doc__ == doc
    assert function.__text_signature__ == text_signature
    assert str(inspect.signature(function)) == text_signature
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in inspect.signature(function).parameters.values()
    )
    assert function.__module__ == "vellumark"
    assert function.__self__ is vellumark


def test_repeated_import_returns_the_same_module():
    first = sys.modules.pop("vellumark")
    try:
        again = importlib.import_module("vellumark")
        assert again is first
        assert len(again.__all__) == 5
    finally:
        sys.modules["vellumark"] = first


@linux_only("nm -D on an ELF module")
@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", vellumark.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_vellumark"]


def test_a_second_interpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("this interpreter cannot run code in a subinterpreter")
    result = tmp_path / "result.txt"
    code = textwrap.dedent(
        f"""
        import _testcapi, vellumark
        _testcapi.run_in_subinterp('''
        try:
            import vellumark
            message = "imported"
        except ImportError as error:
            message = "ImportError: " + str(error)
        open({str(result)!r}, "w").write(message)
        ''')
        """
    )
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
    message = result.read_text()
    assert message.startswith("ImportError: ")
    assert "modules do not yet support subinterpreters" in message
