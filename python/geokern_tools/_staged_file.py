"""Output files that appear whole or not at all.

`binary_output(target)` yields a binary stream: the stream itself when
`target` is one, else a temporary file beside the path that replaces it
(keeping an existing file's permission bits) when the block ends without
an exception, and is removed when it ends with one.  A path that names a
pipe or a device is written into directly.
"""
from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Iterator
from typing import IO

StrPath = str | os.PathLike[str]


@contextlib.contextmanager
def binary_output(target: StrPath | IO[bytes]) -> Iterator[IO[bytes]]:
    if not isinstance(target, (str, os.PathLike)):
        yield target
        return
    path = os.fspath(target)
    try:
        mode: int | None = os.stat(path).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        with open(path, "wb") as direct:
            yield direct
        return
    folder, name = os.path.split(os.path.abspath(path))
    try:
        fd, staged = tempfile.mkstemp(prefix=f".{name}.", suffix=".partial", dir=folder)
    except OSError as exc:  # name the output, not the temporary
        raise type(exc)(exc.errno, exc.strerror, path) from None
    try:
        with os.fdopen(fd, "wb") as out:
            yield out
        os.chmod(staged, stat.S_IMODE(mode) if mode is not None else 0o666 & ~_umask())
        os.replace(staged, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(staged)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
