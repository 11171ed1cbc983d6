"""The one error the tools raise for a bad archive or output, how a path is
shown, and how any error reads in one line."""

from __future__ import annotations

import contextlib
import os
import re
from typing import Iterator, Optional, Union

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class ArchiveError(ValueError):
    """What is wrong with an archive, a manifest store or an output, in one line
    meant for people. The commands print it after the name of the file."""


_BREAKS_A_LINE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")


def shown(path: PathLike) -> str:
    """A path as text that can always be printed on one line: bytes that are
    not UTF-8 (names are bytes on POSIX) and control characters (a name may
    hold a line break) appear as backslash escapes, never as an error."""
    text = os.fsencode(path).decode("utf-8", "backslashreplace")
    return _BREAKS_A_LINE.sub(lambda found: found.group().encode("unicode_escape").decode("ascii"), text)


def described(error: BaseException, name: Optional[str] = None) -> str:
    """An error as one line; an OSError names its file (a path, or a
    descriptor's number), unless that is `name` already."""
    if not isinstance(error, OSError):
        return str(error)
    filename = error.filename
    if filename is not None:
        filename = shown(filename) if isinstance(filename, (str, bytes, os.PathLike)) else str(filename)
    where = f"{filename}: " if filename is not None and filename != name else ""
    return f"{where}{error.strerror or error}"


@contextlib.contextmanager
def naming(entry: str) -> Iterator[None]:
    """An archive of a package that cannot be read is named in the error."""
    try:
        yield
    except ArchiveError as error:
        raise ArchiveError(f"{shown(entry)}: {error}") from None
