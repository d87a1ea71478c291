"""Opening the inputs of `geokern convert`.

Every input is read through one file descriptor, whatever it is: a regular
file, a FIFO, the pipe of a process substitution (`<(...)`), a character
device or standard input ("-").  Nothing is ever sought back: the first bytes
are looked at and then handed on with the rest.  Reads wait at most
`_WAIT_MS` at a time, so that signal handlers run promptly on an input that
never ends or never sends.

A file named `.gz`, `.bz2`, `.xz` or `.zst` is decompressed as it is read;
standard input and the other unnamed streams are recognised by their first
bytes instead.  The content then decides the kind: Parquet and .npy by their
magic bytes, text otherwise, unless it holds binary data, which is refused.
Parquet and .npy need random access: from anything but an uncompressed
regular file they are first copied to an unnamed temporary file (in TMPDIR),
which vanishes with the process however it ends.
"""
from __future__ import annotations

import contextlib
import io
import math
import os
import re
import select
import stat
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any

from geokern_tools._errors import DataError
from geokern_tools._npy import NPY_MAGIC
from geokern_tools._parquet import PARQUET_MAGIC


#: How many first bytes decide whether an input is text.
HEAD_BYTES = 1 << 16
#: The longest a read waits before signal handlers get their turn, in ms.
_WAIT_MS = 200
_COPY_BYTES = 1 << 20

_COMPRESSION_SUFFIXES = {".gz": "gzip", ".bz2": "bzip2", ".xz": "xz", ".zst": "zstd"}
_SUFFIX_OF = {method: suffix for suffix, method in _COMPRESSION_SUFFIXES.items()}
_KIND_SUFFIXES = {".npy": "npy", ".parquet": "parquet", ".pq": "parquet"}

# First bytes of the binary formats a user may hand over by mistake, for a
# message that says what the input holds.
_COMPRESSED_MAGIC = [(re.compile(rb"\x1f\x8b"), "gzip"),
                     (re.compile(rb"BZh[1-9]1AY&SY", re.DOTALL), "bzip2"),
                     (re.compile(rb"\xfd7zXZ\x00"), "xz"),
                     (re.compile(rb"\x28\xb5\x2f\xfd"), "zstd")]
_OTHER_MAGIC = [(re.compile(rb"\x80[\x02-\x05]"), "a Python pickle"),
                (re.compile(rb"PK\x03\x04"), "a zip archive"),
                (re.compile(rb"SQLite format 3\x00"), "an SQLite database"),
                (re.compile(rb"\xff\xfe|\xfe\xff"), "UTF-16 text (save it as UTF-8)")]
# Bytes that text never holds: NUL and the C0 controls other than tab, line
# feed, vertical tab, form feed, carriage return and escape.
_BINARY_BYTES = re.compile(rb"[\x00-\x08\x0e-\x1a\x1c-\x1f]")


class _FdReader(io.RawIOBase):
    """Reads a file descriptor.  On anything but a regular file it first
    waits for data in slices of `_WAIT_MS`, returning to the interpreter in
    between: a read blocked on a silent FIFO then never holds a signal back."""

    def __init__(self, fd: int, regular: bool) -> None:
        super().__init__()
        self.fd = fd
        self.poll: Any = None
        if not regular:
            self.poll = select.poll()
            self.poll.register(fd, select.POLLIN)

    def readable(self) -> bool:
        return True

    def _wait(self) -> None:
        if self.poll is not None:
            while not self.poll.poll(_WAIT_MS):
                pass

    def readinto(self, buffer: Any) -> int:
        self._wait()
        return os.readv(self.fd, [buffer])

    def read(self, size: int = -1) -> bytes:
        if size < 0:
            return self.readall()
        self._wait()
        return os.read(self.fd, size)


class Stream:
    """The bytes of one input, read in pieces of at most the size asked for;
    `peek` looks at the first bytes without using them up.  Read errors and
    broken compressed data raise DataError naming the input."""

    def __init__(self, raw: Any, name: str, compression: str | None = None) -> None:
        self.raw, self.name, self.compression = raw, name, compression
        self.head = b""

    def _read_raw(self, size: int) -> bytes:
        try:
            data: bytes = self.raw.read(size)
        except DataError:
            raise
        except EOFError:
            raise DataError(f"{self.name}: the {self.compression}-compressed data ends early "
                            "(a truncated file?)") from None
        except OSError as exc:
            if exc.errno is not None or self.compression is None:
                raise DataError(f"{self.name}: {exc.strerror or exc}") from None
            raise DataError(f"{self.name}: not {self.compression}-compressed data or broken "
                            f"({exc})") from None
        except Exception as exc:  # zlib.error, lzma.LZMAError, zstd.ZstdError
            if self.compression is None:
                raise
            raise DataError(f"{self.name}: broken {self.compression}-compressed data "
                            f"({exc})") from None
        return data or b""

    def peek(self, size: int) -> bytes:
        while len(self.head) < size:
            more = self._read_raw(size - len(self.head))
            if not more:
                break
            self.head += more
        return self.head[:size]

    def read(self, size: int) -> bytes:
        """Up to `size` bytes; b"" only at the end."""
        if self.head:
            data, self.head = self.head[:size], self.head[size:]
            return data
        return self._read_raw(size)

    def read_into(self, sink: IO[bytes]) -> None:
        while data := self.read(_COPY_BYTES):
            sink.write(data)


@contextlib.contextmanager
def _descriptor(path: str, name: str) -> Iterator[tuple[int, os.stat_result]]:
    """An open file descriptor of `path` ("-": a copy of standard input's)."""
    try:
        if path != "-":
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
        elif sys.stdin is None:  # closed when Python started; 0 may now be another file
            raise DataError(f"{name}: standard input is closed")
        else:
            fd = os.dup(sys.stdin.fileno())
    except (OSError, ValueError) as exc:
        if path == "-":
            raise DataError(f"{name}: standard input is closed") from None
        raise DataError(f"{name}: {getattr(exc, 'strerror', exc)}") from None
    try:
        yield fd, os.fstat(fd)  # a directory fails at its first read
    finally:
        os.close(fd)


def _compression_of(head: bytes) -> str | None:
    for magic, method in _COMPRESSED_MAGIC:
        if magic.match(head):
            return method
    return None


def _decompressing(raw: Any, method: str) -> Any:
    if method == "gzip":
        import gzip
        return gzip.GzipFile(fileobj=raw, mode="rb")
    if method == "bzip2":
        import bz2
        return bz2.BZ2File(raw, mode="rb")
    if method == "xz":
        import lzma
        return lzma.LZMAFile(raw, mode="rb")
    from compression import zstd
    return zstd.ZstdFile(raw, mode="rb")


def _what_binary(head: bytes) -> str | None:
    """What a head that is not text holds, or None for text."""
    method = _compression_of(head)
    if method is not None:
        return f"{method}-compressed data"
    for magic, what in _OTHER_MAGIC:
        if magic.match(head):
            return what
    if head.startswith(NPY_MAGIC) or head.startswith(PARQUET_MAGIC):
        return None
    return "binary data" if _BINARY_BYTES.search(head) else None


def _kind_of(head: bytes) -> str:
    if head.startswith(NPY_MAGIC):
        return "npy"
    if head.startswith(PARQUET_MAGIC):
        return "parquet"
    return "text"


def _size_text(size: int) -> str:
    for unit in ("bytes", "KiB", "MiB", "GiB", "TiB", "PiB"):
        if size < 1024 or unit == "PiB":
            return f"{size} bytes" if unit == "bytes" else f"{size:.1f} {unit}"
        size /= 1024  # type: ignore[assignment]
    raise AssertionError


def check_npy(path: str, name: str) -> None:
    """Refuses a .npy file whose header promises more data than it holds (a
    header may claim terabytes; the array is never allocated from it)."""
    import numpy as np
    from numpy.lib import format as npy_format

    with open(path, "rb") as f:
        try:
            version = npy_format.read_magic(f)
            read_header = (npy_format.read_array_header_1_0 if version == (1, 0)
                           else npy_format.read_array_header_2_0)
            shape, _, dtype = read_header(f)
        except (ValueError, OSError) as exc:
            raise DataError(f"{name}: not a .npy array ({exc})") from None
        available = os.fstat(f.fileno()).st_size - f.tell()
    if dtype.hasobject:
        raise DataError(f"{name}: holds Python objects, which are never unpickled")
    needed = math.prod(shape) * np.dtype(dtype).itemsize
    if needed > available:
        raise DataError(f"{name}: the header describes a {dtype} array of shape {shape} "
                        f"({_size_text(needed)}) but only {_size_text(available)} follow it")


@contextlib.contextmanager
def _spooled(stream: Stream, name: str) -> Iterator[str]:
    """The whole input copied to an unnamed temporary file; yields a path
    that opens it (`/proc/self/fd/N`)."""
    with contextlib.ExitStack() as stack:
        try:
            f = stack.enter_context(tempfile.TemporaryFile(prefix="geokern-input-"))
            stream.read_into(f)
            f.flush()
        except OSError as exc:
            raise DataError(f"{name}: cannot copy the input to a temporary file in "
                            f"{tempfile.gettempdir()}: {exc.strerror}") from None
        yield f"/proc/self/fd/{f.fileno()}"


def _refuse_binary(name: str, head: bytes, kind: str, claimed: str | None) -> None:
    """Refuses an input whose suffix names a kind it does not hold, and
    binary data that is neither Parquet nor .npy."""
    what = _what_binary(head)
    if claimed is not None and claimed != kind:
        holds = f" (it holds {what})" if what else ""
        label = ".npy array" if claimed == "npy" else "Parquet file"
        raise DataError(f"{name}: not a {label}{holds}")
    if what is not None:
        hint = ""
        if what.endswith("-compressed data"):
            suffix = _SUFFIX_OF[what.split("-")[0]]
            hint = f"; name it {os.path.basename(name)}{suffix} to read it"
        raise DataError(f"{name}: not text, Parquet or .npy: it holds {what}{hint}")


@contextlib.contextmanager
def open_input(path: str) -> Iterator[tuple[str, Any, str]]:
    """(display name, source, kind) of one input; "-" is standard input.  The
    kind is "text", "parquet" or "npy"; the source of text is a Stream, that
    of Parquet and .npy a path."""
    name = "<stdin>" if path == "-" else path
    stem, suffix = os.path.splitext(name.lower()) if path != "-" else ("", "")
    with contextlib.ExitStack() as stack:
        fd, status = stack.enter_context(_descriptor(path, name))
        named_file = path != "-" and stat.S_ISREG(status.st_mode)
        stream = Stream(stack.enter_context(_FdReader(fd, stat.S_ISREG(status.st_mode))), name)
        method = _COMPRESSION_SUFFIXES.get(suffix)
        if method is not None:
            stem, suffix = os.path.splitext(stem)
        elif not named_file:  # standard input and pipes have no telling name
            method = _compression_of(stream.peek(16))
        if method is not None:
            stream = Stream(stack.enter_context(_decompressing(stream, method)), name, method)
        head = stream.peek(HEAD_BYTES)
        kind = _kind_of(head)
        _refuse_binary(name, head, kind, _KIND_SUFFIXES.get(suffix))
        if kind == "text":
            yield name, stream, kind
            return
        source = path if (named_file and method is None) else stack.enter_context(
            _spooled(stream, name))
        if kind == "npy":
            check_npy(source, name)
        yield name, source, kind
