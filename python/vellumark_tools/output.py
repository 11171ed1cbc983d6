"""Outputs that never damage a file: written beside the target, flushed to
disk, then renamed over it, so that a failure, Ctrl-C or SIGTERM leaves the
target (which may be the input) as it was.

Only a regular file or a new name is ever replaced: a device, a FIFO or a
directory given as the output is refused. A replaced file keeps its
permission bits; a new one gets what open() would give it (the process umask
is left alone: other threads may be creating files). An advisory lock on the
target makes a second run that writes the same output at the same moment
refuse instead of both reporting a result one of them overwrote.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import os
import secrets
import stat
from typing import IO, Any, Callable, Iterator, List, Optional, Tuple

from .errors import ArchiveError, PathLike, shown

BUFFER = 1 << 20  # one system call per MiB written
NAME_MAX = 255  # bytes in a file name on the common file systems


def check_target(target: PathLike) -> Optional[os.stat_result]:
    """The target's status when it is a regular file, None when it does not
    exist; ArchiveError for anything else, or a directory that is not there."""
    try:
        status = os.stat(target)
    except FileNotFoundError:
        directory = os.path.dirname(os.path.abspath(target))
        if not os.path.isdir(directory):
            raise ArchiveError(f"{shown(target)}: no such directory: {shown(directory)}") from None
        return None
    except OSError as error:
        raise ArchiveError(f"{shown(target)}: {error.strerror}") from None
    if stat.S_ISREG(status.st_mode):
        return status
    kind = "a directory" if stat.S_ISDIR(status.st_mode) else "a FIFO" if stat.S_ISFIFO(status.st_mode) else "not a regular file"
    raise ArchiveError(f"{shown(target)}: {kind}; the output must be a regular file or a new name")


_SUFFIX_BYTES = 40  # room for ".PID.RANDOM.partial" after the part of the name kept
_LOCK_SUFFIX = b".lock"


def _hidden(target: PathLike, room: int) -> Tuple[bytes, bytes]:
    """The target's directory, and "." and its name cut to `room` bytes: a
    name too long keeps its start and a hash of the whole, so that two long
    names alike in their first bytes never share a lock or temporary file."""
    directory, name = os.path.split(os.fsencode(os.path.abspath(target)))
    if len(name) > room - 1:
        name = name[: room - 1 - 17] + b"~" + hashlib.sha256(name).hexdigest()[:16].encode()
    return directory, b"." + name


def temporary_name(target: PathLike) -> bytes:
    """A hidden name beside the target, short enough for any file system
    however long the target's own name is; the process ID in it lets a run
    remove what a worker it lost left behind."""
    directory, hidden = _hidden(target, NAME_MAX - _SUFFIX_BYTES)
    return os.path.join(directory, hidden + b".%d.%s.partial" % (os.getpid(), secrets.token_hex(4).encode()))


class _Lock:
    """An exclusive advisory lock for a target, taken without waiting: a hidden
    lock file beside it (the target itself may not exist yet, and is replaced
    by a rename, which a lock on its inode would not survive). The lock file
    is removed on release; one left by a killed run holds no lock and is
    taken over by the next."""

    def __init__(self, target: str) -> None:
        self.path = lock_name(target)
        while True:
            try:
                fd = os.open(self.path, os.O_RDONLY | os.O_CREAT | os.O_CLOEXEC, 0o600)
            except OSError as error:
                raise _named(error, target) from None
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                raise ArchiveError(f"{shown(target)}: another run is writing it right now") from None
            # A run that finished may have removed the file between our open and lock.
            with contextlib.suppress(FileNotFoundError):
                if os.stat(self.path).st_ino == os.fstat(fd).st_ino:
                    self.fd = fd
                    return
            os.close(fd)

    def release(self) -> None:
        """Idempotent: _to_the_end may run it again."""
        if self.fd >= 0:
            with contextlib.suppress(OSError):
                os.unlink(self.path)
            with contextlib.suppress(OSError):
                os.close(self.fd)
            self.fd = -1


def lock_name(target: PathLike) -> bytes:
    directory, hidden = _hidden(target, NAME_MAX - len(_LOCK_SUFFIX))
    return os.path.join(directory, hidden + _LOCK_SUFFIX)


def remove_leftovers(target: PathLike, pid: int) -> None:
    """What a process killed without warning (SIGKILL, the out-of-memory
    killer) left for `target`: its temporary file, and the lock file unless
    another run holds it."""
    target = os.path.realpath(target)
    directory, hidden = _hidden(target, NAME_MAX - _SUFFIX_BYTES)
    prefix = hidden + b".%d." % pid
    with contextlib.suppress(OSError):
        for entry in os.listdir(directory):
            if entry.startswith(prefix) and entry.endswith(b".partial"):
                os.unlink(os.path.join(directory, entry))
    with contextlib.suppress(OSError):
        fd = os.open(lock_name(target), os.O_RDONLY | os.O_CLOEXEC)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # held by a live run: BlockingIOError, and it stays
            os.unlink(lock_name(target))  # a run that opened it meanwhile finds it gone after locking, and starts over
        finally:
            os.close(fd)


class Output:
    """The file being written: write() and copy_from(), whose errors (a full
    disk, a file too large) name the output the user asked for."""

    def __init__(self, fd: int, target: str) -> None:
        self.target = target
        self._file: IO[bytes] = os.fdopen(fd, "wb", buffering=BUFFER)
        self._owned = True
        self._base = 0  # where offset 0 stands in the file
        self.written = 0

    @classmethod
    def over(cls, stream: IO[bytes]) -> "Output":
        """An Output that writes through a caller's open binary file, left open,
        from where the file stands (a ZIP's offsets count from there, as zipfile counts them)."""
        out = cls.__new__(cls)
        name = getattr(stream, "name", "<stream>")
        out.target = shown(name) if isinstance(name, (str, bytes)) else "<stream>"
        out._file, out._owned, out.written = stream, False, 0
        out._base = stream.tell() if _seekable(stream) else 0
        return out

    def write(self, data: "bytes | memoryview") -> None:
        try:
            self._file.write(data)
        except OSError as error:
            raise _named(error, self.target) from None
        self.written += len(data)

    def copy_from(self, source: IO[bytes], offset: int, count: int) -> None:
        """`count` bytes of `source` from `offset`, without moving its position:
        inside the kernel where it can (copy_file_range), else through a buffer."""
        self.flush()
        in_fd, out_fd = _descriptor(source), _descriptor(self._file) if self._owned else -1
        done = 0
        try:
            while done < count and in_fd >= 0 and out_fd >= 0 and hasattr(os, "copy_file_range"):
                try:
                    moved = os.copy_file_range(in_fd, out_fd, min(count - done, 1 << 30), offset + done)
                except OSError as error:
                    if error.errno not in (errno.EXDEV, errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP, errno.EBADF):
                        raise
                    break
                if moved == 0:
                    break
                done += moved
            while done < count:
                chunk = read_at(source, offset + done, min(count - done, BUFFER))
                if not chunk:
                    raise ArchiveError(f"the input ended while it was being copied (at offset {offset + done})")
                self._file.write(chunk)
                done += len(chunk)
        except OSError as error:
            raise _named(error, self.target) from None
        self.written += count

    def flush(self) -> None:
        try:
            self._file.flush()
        except OSError as error:
            raise _named(error, self.target) from None

    def fileno(self) -> int:
        return self._file.fileno()

    def seekable(self) -> bool:
        return self._owned or _seekable(self._file)

    def readable(self) -> bool:
        return self._owned or (_seekable(self._file) and self._file.readable())

    def patch(self, at: int, data: bytes) -> None:
        """Bytes written before, written again (a header whose sizes are known at last)."""
        self.flush()
        try:
            if self._owned:
                os.pwrite(self.fileno(), data, at)
            else:
                end = self._file.tell()
                self._file.seek(self._base + at)
                self._file.write(data)
                self._file.seek(end)
        except OSError as error:
            raise _named(error, self.target) from None

    def read_at(self, offset: int, size: int) -> bytes:
        """What was written, read back."""
        self.flush()
        if self._owned:
            return os.pread(self.fileno(), size, offset)
        return read_at(self._file, self._base + offset, size)

    def close(self) -> None:
        """Closes without raising: what needed reporting was reported by flush()."""
        if self._owned:
            with contextlib.suppress(OSError):
                self._file.close()


class Region(Output):
    """What is written through `parent` from now on, as an Output of its own
    whose offsets count from here: a package written inside a package."""

    def __init__(self, parent: Output) -> None:
        self.target, self._parent, self._start, self.written = parent.target, parent, parent.written, 0

    def write(self, data: "bytes | memoryview") -> None:
        self._parent.write(data)
        self.written += len(data)

    def copy_from(self, source: IO[bytes], offset: int, count: int) -> None:
        self._parent.copy_from(source, offset, count)
        self.written += count

    def flush(self) -> None:
        self._parent.flush()

    def fileno(self) -> int:
        raise OSError(errno.EBADF, "a region of an output has no descriptor of its own")

    def seekable(self) -> bool:
        return self._parent.seekable()

    def readable(self) -> bool:
        return self._parent.readable()

    def patch(self, at: int, data: bytes) -> None:
        self._parent.patch(self._start + at, data)

    def read_at(self, offset: int, size: int) -> bytes:
        return self._parent.read_at(self._start + offset, size)

    def close(self) -> None:
        pass


def _seekable(stream: IO[bytes]) -> bool:
    try:
        return bool(stream.seekable())
    except (OSError, AttributeError, ValueError):
        return False


def _descriptor(stream: IO[bytes]) -> int:
    """The file descriptor behind a stream, or -1."""
    try:
        return stream.fileno()
    except (OSError, AttributeError, ValueError):
        return -1


def read_at(source: Any, offset: int, size: int) -> bytes:
    """Bytes of a stream (or of what an Output wrote) at an offset, without moving its position."""
    if isinstance(source, Output):
        return source.read_at(offset, size)
    fd = _descriptor(source)
    if fd >= 0:
        return os.pread(fd, size, offset)
    position = source.tell()
    try:
        source.seek(offset)
        data: bytes = source.read(size)
        return data
    finally:
        source.seek(position)


_replace: Callable[[bytes, str], None] = os.replace


def replace_through(function: Callable[[bytes, str], None]) -> None:
    """Has `function(temporary, target)` put each finished output in place
    instead of os.replace: a worker process hands the rename to the run that
    started it (runner.py), so that no output replaces a file once the run is gone."""
    global _replace
    _replace = function


# The clean-ups of the outputs being written, for a process ending on a
# signal: one that lands as a `finally` starts skips it, and the process's
# last handler runs what is left here (clean_up_unfinished).
_unfinished: List[Callable[[], None]] = []


def clean_up_unfinished() -> None:
    """Removes the temporary files and locks of this process's unfinished outputs."""
    while _unfinished:
        _unfinished.pop()()


@contextlib.contextmanager
def atomic_output(target: PathLike) -> Iterator[Output]:
    """An Output that becomes `target` only when the block completes."""
    target = os.fsdecode(os.path.realpath(target))  # a symbolic link's file is replaced, not the link
    check_target(target)
    lock: Optional[_Lock] = None
    temporary = temporary_name(target)
    succeeded = False

    def clean_up() -> None:  # may run twice: by the finally below, and by clean_up_unfinished()
        _to_the_end(lambda: None if succeeded else _remove(temporary), lock.release if lock else lambda: None)

    _unfinished.append(clean_up)
    try:
        lock = _Lock(target)
        existing = check_target(target)  # again, now that no other run can be replacing it
        mode = stat.S_IMODE(existing.st_mode) if existing else 0o666  # a new file: the umask applies
        out = Output(_create(temporary, mode, target), target)
        try:
            if existing:
                _keep_owner_and_mode(out.fileno(), existing, target)
            yield out
            out.flush()
            _fsync(out.fileno(), target)
        finally:
            out.close()
        try:
            _replace(temporary, target)
        except OSError as error:
            raise _named(error, target) from None
        succeeded = True
    finally:
        clean_up()
        _unfinished.remove(clean_up)
    _sync_directory(target)


def _remove(temporary: bytes) -> None:
    with contextlib.suppress(OSError):  # on a read-only file system too: the first error is the one to report
        os.unlink(temporary)


def _to_the_end(*steps: Callable[[], None]) -> None:
    """Runs clean-up steps that can run twice to their end, even when a
    signal's exception (a second Ctrl-C, SIGTERM from a run ending its worker
    as the worker cleans up) interrupts one; that exception follows once
    they are done."""
    interrupted: Optional[BaseException] = None
    for step in steps:
        for _ in range(3):  # as many signals as could come; a step that fails for another reason does not loop
            try:
                step()
                break
            except BaseException as error:
                interrupted = interrupted or error
    if interrupted is not None:
        raise interrupted


def _keep_owner_and_mode(fd: int, existing: os.stat_result, target: str) -> None:
    with contextlib.suppress(PermissionError):  # only a privileged process can give a file away
        os.fchown(fd, existing.st_uid, existing.st_gid)
    try:  # after fchown, which clears the set-user-ID and set-group-ID bits
        os.fchmod(fd, stat.S_IMODE(existing.st_mode))  # exactly the replaced file's bits, whatever the umask
    except OSError as error:
        raise _named(error, target) from None


def _fsync(fd: int, target: str) -> None:
    try:
        os.fsync(fd)
    except OSError as error:
        raise _named(error, target) from None


def _create(temporary: bytes, mode: int, target: str) -> int:
    try:
        return os.open(temporary, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)  # read back before use
    except OSError as error:
        raise _named(error, target) from None


def _named(error: OSError, target: str) -> ArchiveError:
    """An OSError while writing, as a one-line error about the output the user named."""
    if error.errno == errno.ENOSPC:
        return ArchiveError(f"{shown(target)}: no space left on the device")
    if error.errno == errno.EFBIG:
        return ArchiveError(f"{shown(target)}: the file would be larger than the system allows")
    return ArchiveError(f"{shown(target)}: {error.strerror or error}")


def _sync_directory(target: str) -> None:
    """The rename itself, made durable where the system allows."""
    with contextlib.suppress(OSError):
        directory = os.open(os.path.dirname(target) or ".", os.O_RDONLY | os.O_CLOEXEC)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)
