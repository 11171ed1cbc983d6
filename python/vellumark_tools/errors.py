"""The one error the tools raise for a bad archive or output, and how a path is shown."""

from __future__ import annotations

import os
import re
from typing import Union

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class ArchiveError(ValueError):
    """What is wrong with an archive, a manifest store or an output, in one line
    meant for people. The commands print it after the name of the file."""


_UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def shown(path: PathLike) -> str:
    """A path, or a name in a package, as text that always prints on one line:
    bytes that are not UTF-8 (names are bytes on POSIX) and control characters
    appear as backslash escapes, never as an error, and a name holding a line
    break cannot forge a line of output."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return _UNPRINTABLE.sub(_escaped, text)


def _escaped(found: "re.Match[str]") -> str:
    code = ord(found.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"
