"""The archives a command works on: files named on the command line, and the
archives found in directories (recursively), with every file left out named
and the reason given."""

from __future__ import annotations

import dataclasses
import os
import re
import stat
from typing import Callable, List, Optional, Sequence, Set, Tuple

ARCHIVE_SUFFIXES = (".warc", ".warc.gz", ".wacz")
SIGNED_SUFFIXES = (".c2pa.warc", ".c2pa.warc.gz", ".c2pa.wacz")


@dataclasses.dataclass
class Inputs:
    archives: List[Tuple[str, Optional[str]]] = dataclasses.field(default_factory=list)
    """(path, the directory it was found under, or None for a file named as it is)."""
    skipped: List[Tuple[str, str]] = dataclasses.field(default_factory=list)
    """(path, why): files in the directories that are not archives to work on."""
    failed: List[Tuple[str, str]] = dataclasses.field(default_factory=list)
    """(path, why): paths that cannot be read at all."""


def why_not(name: str, skip_signed: bool) -> Optional[str]:
    """Why a file found in a directory is left out, or None to take it."""
    lower = name.lower()
    if name.startswith(".") and lower.endswith((".partial", ".lock")):
        return "a temporary output or a lock of a run in progress, or of one that was stopped"
    if skip_signed and lower.endswith(SIGNED_SUFFIXES):
        return "already signed: an output of vellumark sign (name it to sign it again)"
    if lower.endswith(ARCHIVE_SUFFIXES):
        return None
    if lower.endswith((".arc", ".arc.gz")):
        return "an ARC file, and vellumark reads WARC (warcio recompress turns ARC into WARC)"
    if lower.endswith((".cdx", ".cdxj", ".cdx.gz", ".cdxj.gz", ".idx")):
        return "an index, not an archive"
    return "not a .warc, .warc.gz or .wacz file"


def find_archives(paths: Sequence[str], skip_signed: bool = False) -> Inputs:
    """Files named are taken as they are (a missing one fails); directories are
    searched for regular files with archive names. A file reached twice is
    taken once."""
    found = Inputs()
    seen: Set[str] = set()

    def take(path: str, root: Optional[str]) -> None:
        key = os.path.realpath(path)
        if key not in seen:
            seen.add(key)
            found.archives.append((path, root))

    for path in paths:
        if os.path.isdir(path):
            _walk(path, found, skip_signed, take)
        elif os.path.exists(path):
            take(path, None)
        else:
            found.failed.append((path, "no such file or directory"))
    return found


def _walk(root: str, found: Inputs, skip_signed: bool, take: Callable[[str, Optional[str]], None]) -> None:
    def unreadable(error: OSError) -> None:
        found.failed.append((error.filename or root, f"cannot list it: {error.strerror}"))

    for directory, subdirectories, files in os.walk(root, onerror=unreadable):
        subdirectories.sort()
        for name in sorted(files):
            path = os.path.join(directory, name)
            reason = why_not(name, skip_signed) or _not_regular(path)
            if reason is None:
                take(path, root)
            else:
                found.skipped.append((path, reason))


def _not_regular(path: str) -> Optional[str]:
    """Why a file found in a directory cannot be read as an archive: a FIFO
    would block the run, a device never ends."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return "a broken symbolic link" if os.path.islink(path) else "cannot be read"
    return None if stat.S_ISREG(mode) else "not a regular file"


def stem_of(path: str) -> str:
    """An archive's file name without .c2pa, .warc and .gz."""
    name = os.path.basename(path)
    for suffix in (".c2pa.warc.gz", ".c2pa.warc", ".c2pa.wacz", ".warc.gz", ".warc", ".wacz", ".gz"):
        if name.lower().endswith(suffix):
            return name[: -len(suffix)]
    return name


_FIELDS = re.compile(r"\{(name|stem)\}")


def store_for(template: str, archive: str) -> str:
    """The manifest store file for an archive: the template with {name} (the
    archive's file name) and {stem} (that name without .warc[.gz]) filled in,
    in one pass (an archive's name may hold "{stem}" itself); a plain file
    name is the same store for every archive."""
    values = {"name": os.path.basename(archive), "stem": stem_of(archive)}
    return _FIELDS.sub(lambda field: values[field.group(1)], template)
