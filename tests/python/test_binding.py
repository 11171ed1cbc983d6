"""Argument binding and conversion: the same rules and messages for every function."""

import pytest

import vellumark

RECORD = b"WARC/1.1\r\nContent-Length: 0\r\n\r\n"

BINDING_ERRORS = [
    # (function, args, kwargs, message)
    ("read_records", (), {}, "read_records() missing 1 required positional argument: 'warc'"),
    ("read_records", (b"", b""), {}, "read_records() takes 1 positional arguments but 2 were given"),
    # "too many" is checked before any keyword
    ("read_records", (b"", b""), {"warc": b""}, "read_records() takes 1 positional arguments but 2 were given"),
    ("read_records", (b"", b""), {"bogus": 1}, "read_records() takes 1 positional arguments but 2 were given"),
    ("read_records", (), {"WARC": b""}, "read_records() got an unexpected keyword argument 'WARC'"),
    ("read_records", (b"",), {"warc": b""}, "read_records() got multiple values for argument 'warc'"),
    ("read_manifest", (b"", 1, 2), {}, "read_manifest() takes 1 positional arguments but 3 were given"),
    ("read_manifest", (), {}, "read_manifest() missing 1 required positional argument: 'warc'"),
    ("append_manifest", (b"",), {}, "append_manifest() missing 2 required positional arguments: 'manifest' and 'record_id'"),
    ("append_manifest", (), {"manifest": b""}, "append_manifest() missing 2 required positional arguments: 'warc' and 'record_id'"),
    ("append_manifest", (b"", b"", "", 1), {}, "append_manifest() takes 3 positional arguments but 4 were given"),
    ("append_manifest", (b"",), {"warc": b"", "manifest": b""}, "append_manifest() got multiple values for argument 'warc'"),
    # the first failing keyword, in call order, ends binding
    ("append_manifest", (b"",), {"nope": 1, "warc": b""}, "append_manifest() got an unexpected keyword argument 'nope'"),
    (
        "build_record",
        (),
        {},
        "build_record() missing 4 required positional arguments: 'warc_type', 'content_type', 'record_id', and 'body'",
    ),
    ("build_record", ("a", "b"), {"body": b""}, "build_record() missing 1 required positional argument: 'record_id'"),
    ("build_record", ("a", "b", "c", b"", None, 6), {}, "build_record() takes from 4 to 5 positional arguments but 6 were given"),
    ("build_record", ("a", "b", "c", b"", None), {"target_uri": None}, "build_record() got multiple values for argument 'target_uri'"),
    ("build_record", ("a", "b", "c", b""), {"target": "x"}, "build_record() got an unexpected keyword argument 'target'"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(vellumark, name)(*args, **kwargs)
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_unencodable_keyword_is_named_with_replacement_characters():
    key = "w\udc80"
    with pytest.raises(TypeError) as info:
        vellumark.read_records(**{key: b""})
    shown = key.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    assert str(info.value) == f"read_records() got an unexpected keyword argument '{shown}'"


def test_keywords_bind_like_positions():
    assert vellumark.read_records(warc=RECORD) == vellumark.read_records(RECORD)
    assert vellumark.read_manifest(warc=b"") is None
    by_keyword = vellumark.append_manifest(record_id="id", manifest=b"m", warc=RECORD)
    assert vellumark.read_manifest(by_keyword) == b"m"


class Outer:
    class Inner:
        pass


class BytesChild(bytes):
    pass


class StrChild(str):
    def __str__(self):
        raise AssertionError("conversion must use the string data, not __str__")


CONVERSION_ERRORS = [
    # (function, args, param, type name, target)
    ("read_records", (bytearray(b"x"),), "warc", "bytearray", "PyBytes"),
    ("read_records", (memoryview(b"x"),), "warc", "memoryview", "PyBytes"),
    ("read_records", ("WARC/1.1",), "warc", "str", "PyBytes"),
    ("read_records", (None,), "warc", "NoneType", "PyBytes"),
    ("read_records", (Outer.Inner(),), "warc", "Outer.Inner", "PyBytes"),
    ("read_manifest", (1,), "warc", "int", "PyBytes"),
    ("append_manifest", (b"", "m", "id"), "manifest", "str", "PyBytes"),
    ("append_manifest", (bytearray(), b"", "id"), "warc", "bytearray", "PyBytes"),
    ("append_manifest", (b"", b"", b"id"), "record_id", "bytes", "PyString"),
    ("build_record", (b"resource", "t", "i", b""), "warc_type", "bytes", "PyString"),
    ("build_record", ("r", None, "i", b""), "content_type", "NoneType", "PyString"),
    ("build_record", ("r", "t", 1.5, b""), "record_id", "float", "PyString"),
    ("build_record", ("r", "t", "i", bytearray()), "body", "bytearray", "PyBytes"),
    ("build_record", ("r", "t", "i", "body"), "body", "str", "PyBytes"),
    ("build_record", ("r", "t", "i", b"", b"uri"), "target_uri", "bytes", "PyString"),
    # conversions run in parameter order: the first bad argument is named
    ("build_record", (1, 2, 3, 4, 5), "warc_type", "int", "PyString"),
    ("append_manifest", (1, 2, 3), "warc", "int", "PyBytes"),
]


@pytest.mark.parametrize("name, args, param, type_name, target", CONVERSION_ERRORS)
def test_conversion_errors(name, args, param, type_name, target):
    with pytest.raises(TypeError) as info:
        getattr(vellumark, name)(*args)
    assert str(info.value) == f"argument '{param}': '{type_name}' object cannot be converted to '{target}'"
    assert type(info.value) is TypeError
    assert info.value.__cause__ is None
    assert info.value.__suppress_context__


def test_conversion_error_inside_a_handler_hides_the_context():
    try:
        try:
            raise KeyError("handled")
        except KeyError:
            vellumark.read_records(bytearray())
    except TypeError as error:
        assert error.__cause__ is None
        assert error.__suppress_context__


class BrokenName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name for you")
        return super().__getattribute__(name)


class NumberName(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class SurrogateName(type):
    def __getattribute__(cls, name):
        return "bad\udc80" if name == "__qualname__" else super().__getattribute__(name)


@pytest.mark.parametrize("meta", [BrokenName, NumberName, SurrogateName])
def test_unreadable_type_name_falls_back(meta):
    odd = meta("Odd", (), {})()
    with pytest.raises(TypeError) as info:
        vellumark.read_records(odd)
    assert str(info.value) == "argument 'warc': '<failed to extract type name>' object cannot be converted to 'PyBytes'"


@pytest.mark.parametrize(
    "args",
    [
        ("\udc80", "t", "i", b""),
        ("r", "t", "i\ud800", b""),
        ("r", "t", "i", b"", "uri\udfff"),
    ],
)
def test_unencodable_str_raises_the_encoders_error(args):
    with pytest.raises(UnicodeEncodeError) as info:
        vellumark.build_record(*args)
    assert "argument" not in str(info.value)
    assert info.value.encoding == "utf-8"


def test_unencodable_record_id_in_append_manifest():
    with pytest.raises(UnicodeEncodeError):
        vellumark.append_manifest(RECORD, b"m", "\udc80")


def test_subclasses_are_accepted():
    assert len(vellumark.read_records(BytesChild(RECORD))) == 1
    record = vellumark.build_record(StrChild("resource"), StrChild("text/plain"), StrChild("id"), BytesChild(b"x"))
    assert vellumark.read_records(record)[0]["headers"]["warc-type"] == "resource"


def test_binding_errors_come_before_conversion_errors():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'body'"):
        vellumark.build_record(1, 2, 3)
