"""The one error the tools raise for a bad archive or output, and how a path is shown."""

from __future__ import annotations

import os
from typing import Union

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class ArchiveError(ValueError):
    """What is wrong with an archive, a manifest store or an output, in one line
    meant for people. The commands print it after the name of the file."""


def shown(path: PathLike) -> str:
    """A path as text that can always be printed: bytes that are not UTF-8
    (names are bytes on POSIX) appear as backslash escapes, never as an error."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")
