"""Outputs that appear whole or not at all.

Every writer of the command (and of `geokern_tools.dask`) goes through one
of three context managers:

- `output_file(path, inputs)` yields a binary stream;
- `output_path(path, inputs)` yields a path for writers that open a file
  themselves (OBJ, pictures);
- `output_folder(path, inputs, replaceable)` yields a fresh folder to fill
  (a Parquet dataset, a folder of tiles).

`binary_output(target)` is `output_file` for the library's writers, which
take a path or an open binary stream.

The contract, the same for all three:

- A regular file or a folder is written under a temporary name beside it
  (`.NAME.geokern-PID-XXXXXXXX.tmp`) and renamed over its place only when
  the block ends without an exception.  On any failure, and on SIGINT,
  SIGTERM or SIGHUP (see `_signals`), the temporary goes and an existing
  output stays as it was.  SIGKILL can leave the temporary behind; the next
  run into the same place removes it.  The data are not forced to disk
  (no fsync): the guarantee is against failing processes, not power cuts.
- A folder is swapped in whole: with the kernel's atomic exchange where
  the file system has it (readers see the old or the new folder, never a
  mix or nothing), else by two renames.  Runs into the same folder take a
  lock (`.NAME.geokern-lock` beside it); a second run is refused while the
  first holds it.  An existing folder is replaced only when everything in
  it is `replaceable` (for a dataset: its Parquet files), so a folder of
  other data is never deleted by mistake.
- An output that is one of the inputs is refused before anything is
  written: compared by device and inode, so symbolic links, hard links and
  bind mounts are seen through; a folder output is refused when it holds
  an input.
- A symbolic link is followed: its target is written and the link stays.
- A replaced file or folder keeps its permission bits, and its owner and
  group where the process may set them (root, or a group the user is in);
  access control lists and extended attributes are not copied.  A new one
  gets the default mode of the umask.  A file with several hard links is
  replaced under the name given; its other names keep the old content.
- Standard output ("-" or None), FIFOs and devices are streamed into, not
  replaced: they receive the data as they are produced, and a failure stops
  them where they are (the exit status says so).
- Errors name the output as the user gave it, never the temporary: a
  missing folder, a read-only folder or a full disk is an `OSError` whose
  `filename` is that name.
"""
from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import os
import shutil
import stat
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO

from geokern_tools._errors import UsageError
from geokern_tools._signals import deferred

StrPath = str | os.PathLike[str]

_MARK = ".geokern-"
#: Errors of writing a file (rather than of reading one).
_WRITE_ERRORS = frozenset({errno.ENOSPC, errno.EDQUOT, errno.EFBIG, errno.EROFS, errno.EIO})
#: A temporary whose process is alive is left alone unless it is this old
#: and unlocked (its process number then belongs to another process).
_STALE_SECONDS = 600


# ============================================================================
# The stream


class _Raw(io.RawIOBase):
    """An unbuffered writer on a file descriptor whose errors name the
    output; once abandoned it swallows what is still written (a Parquet
    writer dropped on an error writes its footer on the way out)."""

    def __init__(self, fd: int, display: str) -> None:
        self.fd, self.display, self.abandoned = fd, display, False

    def writable(self) -> bool:
        return True

    def write(self, data: bytes) -> int:  # type: ignore[override]
        if self.abandoned:
            return len(memoryview(data))
        if self.fd < 0:
            raise ValueError(f"{self.display} is already complete")
        try:
            return os.write(self.fd, data)
        except OSError as exc:
            raise named(exc, self.display) from None

    def seekable(self) -> bool:
        try:
            os.lseek(self.fd, 0, os.SEEK_CUR)
        except OSError:
            return False
        return True

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return os.lseek(self.fd, offset, whence)

    def tell(self) -> int:
        return os.lseek(self.fd, 0, os.SEEK_CUR)

    def fileno(self) -> int:
        return self.fd


class OutputStream:
    """The binary stream of `output_file`: `write`, `flush`, `tell`, `seek`.

    `rewindable` says whether a writer may go back and overwrite what it
    wrote (a header fixed up at the end): true for a fresh file, false for
    pipes, devices and files opened for appending.  `close()` only flushes;
    the output is completed or removed when the `output_file` block ends.
    """

    def __init__(self, fd: int, display: str) -> None:
        self.name = display
        self._raw = _Raw(fd, display)
        self._buffer = io.BufferedWriter(self._raw, 1 << 20)
        self._lock = threading.Lock()
        self.rewindable = self._raw.seekable() and not (
            fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_APPEND)

    @property
    def closed(self) -> bool:
        return False

    def writable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return self.rewindable

    def write(self, data: bytes) -> int:
        with self._lock:
            if self._raw.abandoned:
                return len(memoryview(data))
            return self._buffer.write(data)

    def flush(self) -> None:
        with self._lock:
            if not self._raw.abandoned:
                self._buffer.flush()

    def tell(self) -> int:
        return self._buffer.tell()

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        return self._buffer.seek(offset, whence)

    def close(self) -> None:
        self.flush()

    def _abandon(self) -> None:
        """Drops what is buffered; later writes go nowhere."""
        with self._lock:
            self._raw.abandoned = True

    def _detach(self) -> None:
        """Forgets the file descriptor before it is closed."""
        with self._lock:
            self._raw.fd = -1


def named(exc: OSError, display: str) -> OSError:
    """`exc` naming `display` (the output as the user gave it)."""
    if exc.filename == display:
        return exc
    renamed = type(exc)(exc.errno, exc.strerror or str(exc), display)
    renamed.__cause__ = exc
    return renamed


# ============================================================================
# Where an output goes


class _Target:
    """The place an output name stands for: `path` is where the bytes go
    (a symbolic link's target), `stat` the existing file there or None."""

    def __init__(self, display: str) -> None:
        self.display = display
        self.path = os.path.realpath(display) if os.path.islink(display) else display
        try:
            self.stat: os.stat_result | None = os.stat(self.path)
        except FileNotFoundError:
            self.stat = None
        except OSError as exc:
            raise named(exc, display) from None
        self.folder = os.path.dirname(os.path.abspath(self.path))
        self.name = os.path.basename(os.path.abspath(self.path))

    @property
    def special(self) -> bool:
        """A FIFO, device or socket: written into, never replaced."""
        return self.stat is not None and not (stat.S_ISREG(self.stat.st_mode)
                                              or stat.S_ISDIR(self.stat.st_mode))

    def prefix(self) -> str:
        # Long names are cut so that the temporary's name stays legal.
        return f".{self.name[:120]}{_MARK}"


def _same(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _input_stats(inputs: Sequence[str]) -> Iterator[tuple[str, os.stat_result]]:
    for name in inputs:
        try:
            if name == "-":
                if sys.stdin is not None:
                    yield "standard input", os.fstat(0)
            else:
                yield name, os.stat(name)
        except OSError:
            continue  # a missing input is reported when it is read


def _refuse_inputs(target: _Target, inputs: Sequence[str]) -> None:
    if target.stat is None or not stat.S_ISREG(target.stat.st_mode):
        return
    for name, st in _input_stats(inputs):
        if _same(st, target.stat):
            raise UsageError(f"the output {target.display} is the input {name}")


def _refuse_inputs_inside(target: _Target, inputs: Sequence[str]) -> None:
    """Refuses a folder output that holds one of the inputs."""
    if target.stat is None:
        return
    for name in inputs:
        if name == "-":
            continue
        place = os.path.realpath(name)
        while True:
            with contextlib.suppress(OSError):
                if _same(os.stat(place), target.stat):
                    raise UsageError(f"the output folder {target.display} holds the input "
                                     f"{name}")
            parent = os.path.dirname(place)
            if parent == place:
                break
            place = parent


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass
    return True


def _remove_stale(target: _Target, everything: bool = False) -> None:
    """Removes the temporaries of killed runs into `target`: those whose
    lock is free and whose process is gone (all of them with `everything`,
    for a folder whose lock this run holds)."""
    prefix = target.prefix()
    try:
        entries = list(os.scandir(target.folder))
    except OSError:
        return
    for entry in entries:
        if not (entry.name.startswith(prefix) and entry.name.endswith(".tmp")):
            continue
        path = entry.path
        with contextlib.suppress(OSError, ValueError):
            if entry.is_dir(follow_symlinks=False):
                if everything:
                    _remove_tree(path)
                continue
            pid = int(entry.name[len(prefix):].split("-", 1)[0])
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                age = time.time() - os.fstat(fd).st_mtime
                if everything or not _alive(pid) or age > _STALE_SECONDS:
                    os.unlink(path)
            finally:
                os.close(fd)


def _remove_tree(path: str) -> None:
    # Tasks of a cluster may still be finishing into the folder; a few
    # rounds take what they add meanwhile.
    for _ in range(5):
        try:
            shutil.rmtree(path)
            return
        except FileNotFoundError:
            return
        except OSError:
            time.sleep(0.05)
    shutil.rmtree(path, ignore_errors=True)


def _umask() -> int:
    with contextlib.suppress(OSError, ValueError, StopIteration):
        with open("/proc/self/status", encoding="ascii") as f:
            return int(next(line for line in f if line.startswith("Umask:")).split()[1], 8)
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _take_over(path: str, old: os.stat_result | None, default: int) -> None:
    """Gives `path` the mode (and owner, where allowed) of `old`."""
    if old is None:
        os.chmod(path, default & ~_umask())
        return
    if (old.st_uid, old.st_gid) != (os.geteuid(), os.getegid()):
        try:
            os.chown(path, old.st_uid, old.st_gid)
        except PermissionError:
            with contextlib.suppress(PermissionError):
                os.chown(path, -1, old.st_gid)
    os.chmod(path, stat.S_IMODE(old.st_mode))


def _temporary_file(target: _Target) -> tuple[int, str]:
    """A new locked temporary file beside the target."""
    _remove_stale(target)
    try:
        fd, path = tempfile.mkstemp(prefix=f"{target.prefix()}{os.getpid()}-", suffix=".tmp",
                                    dir=target.folder)
    except OSError as exc:
        raise named(exc, target.display) from None
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd, path


def _commit(temporary: str, target: _Target, default: int) -> None:
    try:
        _take_over(temporary, target.stat, default)
        os.replace(temporary, target.path)
    except OSError as exc:
        raise named(exc, target.display) from None


def _discard(temporary: str) -> None:
    with contextlib.suppress(OSError):
        os.unlink(temporary)


# ============================================================================
# Files


def _refuse_folder(target: _Target) -> None:
    if target.stat is not None and stat.S_ISDIR(target.stat.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), target.display)


@contextlib.contextmanager
def _replacing(target: _Target) -> Iterator[tuple[int, str]]:
    """A temporary file beside `target` (its descriptor and path), renamed
    over `target` when the block ends without an exception and removed
    otherwise."""
    fd, temporary = _temporary_file(target)
    try:
        yield fd, temporary
        with deferred():
            _commit(temporary, target, 0o666)
    except BaseException:
        with deferred():
            _discard(temporary)
        raise
    finally:
        os.close(fd)


@contextlib.contextmanager
def _standard_output(inputs: Sequence[str]) -> Iterator[OutputStream]:
    if sys.stdout is None:
        raise OSError(errno.EBADF, "standard output is closed", "<stdout>")
    st = os.fstat(1)
    if stat.S_ISREG(st.st_mode):
        for name, other in _input_stats(inputs):
            if _same(st, other) and name != "standard input":
                raise UsageError(f"standard output is the input {name}")
    sys.stdout.flush()
    stream = OutputStream(1, "<stdout>")
    try:
        yield stream
        stream.flush()
    except BaseException:
        stream._abandon()
        raise


@contextlib.contextmanager
def _stream_on(fd: int, display: str) -> Iterator[OutputStream]:
    """An OutputStream on `fd`, flushed when the block ends without an
    exception and abandoned otherwise; it lets go of `fd` either way."""
    stream = OutputStream(fd, display)
    try:
        yield stream
        stream.flush()
    except BaseException:
        stream._abandon()
        raise
    finally:
        stream._detach()


@contextlib.contextmanager
def _special_file(target: _Target) -> Iterator[OutputStream]:
    try:
        fd = os.open(target.path, os.O_WRONLY | os.O_CLOEXEC)
    except OSError as exc:
        raise named(exc, target.display) from None
    try:
        with _stream_on(fd, target.display) as stream:
            yield stream
    finally:
        os.close(fd)


@contextlib.contextmanager
def output_file(path: str | None, inputs: Sequence[str] = ()) -> Iterator[OutputStream]:
    """A binary stream for the output `path` ("-" or None: standard output),
    completed when the block ends without an exception and removed
    otherwise; see the module docstring for the contract."""
    if path is None or path == "-":
        with _standard_output(inputs) as stream:
            yield stream
        return
    target = _Target(path)
    _refuse_folder(target)
    _refuse_inputs(target, inputs)
    if target.special:
        with _special_file(target) as stream:
            yield stream
        return
    with _replacing(target) as (fd, _), _stream_on(fd, target.display) as stream:
        yield stream


@contextlib.contextmanager
def binary_output(target: StrPath | IO[bytes]) -> Iterator[IO[bytes]]:
    """A binary stream for `target`: a stream itself, or `output_file` of a
    path (where "-" is a file of that name, not standard output)."""
    if not isinstance(target, (str, os.PathLike)):
        yield target
        return
    path = os.fspath(target)
    with output_file(os.path.join(".", path) if path == "-" else path) as stream:
        yield stream  # type: ignore[misc]


@contextlib.contextmanager
def output_path(path: str | None, inputs: Sequence[str] = ()) -> Iterator[str]:
    """A file name to write the output `path` to, for writers that open
    the file themselves; the file is renamed over `path` (or copied to
    standard output, a FIFO or a device) when the block ends without an
    exception, and removed otherwise."""
    target = None if path is None or path == "-" else _Target(path)
    if target is not None and not target.special:
        _refuse_folder(target)
        _refuse_inputs(target, inputs)
        with _replacing(target) as (_, temporary):
            try:
                yield temporary
            except OSError as exc:
                if exc.filename == temporary or (exc.filename is None
                                                 and exc.errno in _WRITE_ERRORS):
                    raise named(exc, target.display) from exc
                raise
        return
    with tempfile.TemporaryDirectory(prefix="geokern-") as folder:
        private = os.path.join(folder, "output")
        yield private
        with output_file(path, inputs) as stream, open(private, "rb") as f:
            shutil.copyfileobj(f, stream, 1 << 20)


# ============================================================================
# Folders


@contextlib.contextmanager
def _folder_lock(target: _Target) -> Iterator[None]:
    """Holds `.NAME.geokern-lock` beside the folder; refuses when another
    run holds it."""
    lock = os.path.join(target.folder, f".{target.name[:120]}{_MARK}lock")
    while True:
        try:
            fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError as exc:
            raise named(exc, target.display) from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise BlockingIOError(errno.EWOULDBLOCK, "another geokern run is writing this "
                                  "folder", target.display) from None
        # The previous holder may have removed the file after we opened it.
        with contextlib.suppress(OSError):
            if _same(os.fstat(fd), os.stat(lock)):
                break
        os.close(fd)
    try:
        yield
    finally:
        with deferred():
            with contextlib.suppress(OSError):
                os.unlink(lock)
            os.close(fd)


def _refuse_foreign(target: _Target, replaceable: Callable[[str], bool]) -> None:
    """Refuses to replace a folder holding anything not `replaceable`."""
    if target.stat is None:
        return
    if not stat.S_ISDIR(target.stat.st_mode):
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), target.display)
    for folder, _, files in os.walk(target.path):
        for name in files:
            relative = os.path.relpath(os.path.join(folder, name), target.path)
            if not replaceable(relative):
                raise UsageError(f"{target.display} holds {relative}, which this output "
                                 "would delete; give a new folder or remove it first")


def _exchange(a: str, b: str) -> bool:
    """Swaps the folders `a` and `b` in one step (renameat2 with
    RENAME_EXCHANGE); False where the system or file system cannot."""
    import ctypes

    renameat2 = getattr(ctypes.CDLL(None, use_errno=True), "renameat2", None)
    if renameat2 is None:
        return False
    at_fdcwd, rename_exchange = -100, 2
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p,
                          ctypes.c_uint]
    if renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), b)


def _remove_temporaries(folder: str) -> None:
    """Removes what writers left under temporary names inside `folder`."""
    for parent, _, files in os.walk(folder):
        for name in files:
            if _MARK in name and name.startswith(".") and name.endswith(".tmp"):
                with contextlib.suppress(OSError):
                    os.unlink(os.path.join(parent, name))


def _swap_in(staging: str, target: _Target) -> None:
    _remove_temporaries(staging)
    _take_over(staging, target.stat, 0o777)
    if target.stat is None:
        os.rename(staging, target.path)
        return
    if not _exchange(staging, target.path):
        aside = f"{staging}.old.tmp"
        os.rename(target.path, aside)
        os.rename(staging, target.path)
        staging = aside
    _remove_tree(staging)


@contextlib.contextmanager
def output_folder(path: str, inputs: Sequence[str] = (),
                  replaceable: Callable[[str], bool] = lambda name: True) -> Iterator[str]:
    """An empty folder to fill in place of the folder `path`; swapped in
    whole when the block ends without an exception and removed otherwise.
    An existing folder is replaced only when each file in it (by its path
    relative to the folder) is `replaceable`."""
    target = _Target(path)
    _refuse_foreign(target, replaceable)
    _refuse_inputs_inside(target, inputs)
    with _folder_lock(target):
        _remove_stale(target, everything=True)
        try:
            staging = tempfile.mkdtemp(prefix=f"{target.prefix()}{os.getpid()}-", suffix=".tmp",
                                       dir=target.folder)
        except OSError as exc:
            raise named(exc, target.display) from None
        try:
            yield staging
            with deferred():
                try:
                    _swap_in(staging, target)
                except OSError as exc:
                    raise named(exc, target.display) from None
        except BaseException:
            with deferred():
                _remove_tree(staging)
            raise
