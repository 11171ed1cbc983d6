"""Standard output, where the command's results go. A failure to write it is
standard output's, never an archive's: a closed or full standard output is
named as such, and only its own reader going away (`| head`) ends a run
quietly, with exit status 141."""

from __future__ import annotations

import os
import sys
from typing import IO, Optional, TextIO, cast


class ReaderGone(Exception):
    """The reader of standard output went away (a closed pipe)."""


class StandardOutputError(Exception):
    """Standard output cannot be written: closed, or its device full."""


_closed = False
_broken = False  # a write failed: what is still buffered is dropped, not written again


def prepare() -> None:
    """Standard streams closed when the command started (`>&-`, `2>&-`) get
    /dev/null on their descriptors, so that no file the run opens takes
    their place by accident; diagnostics then go nowhere, and the first
    result written says standard output is closed."""
    global _closed
    for fd, name in ((1, "stdout"), (2, "stderr")):
        if getattr(sys, name) is not None:
            continue
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_WRONLY)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
        if fd == 1:
            _closed = True
        else:
            sys.stderr = cast(TextIO, open(os.devnull, "w"))  # print(file=None) would write to standard output


def emit(text: str, flush: bool = False) -> None:
    """Results, as text."""
    stream = _stream()
    try:
        stream.write(text)
        if flush:
            stream.flush()
    except OSError as error:
        raise _failure(error) from None


def emit_bytes(data: bytes) -> None:
    """Results, as bytes, written whole: a raw stream (PYTHONUNBUFFERED) may
    take only part of them at a time."""
    stream = _stream()
    try:
        stream.flush()
        view, fd = memoryview(data), stream.fileno()
        while view:
            view = view[os.write(fd, view) :]
    except OSError as error:
        raise _failure(error) from None


def flush() -> None:
    if not (_closed or _broken):
        emit("", flush=True)


def drop_unwritten() -> None:
    """After standard output failed: what is still buffered goes nowhere,
    instead of failing again as the interpreter exits."""
    if _broken:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, sys.stdout.fileno())
        os.close(null)


def _stream() -> IO[str]:
    stream: Optional[IO[str]] = sys.stdout
    if _closed or stream is None:
        raise StandardOutputError("standard output is closed")
    return stream


def _failure(error: OSError) -> Exception:
    global _broken
    _broken = True
    if isinstance(error, BrokenPipeError):
        return ReaderGone()
    return StandardOutputError(f"standard output: {error.strerror or error}")
