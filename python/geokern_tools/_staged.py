"""A folder output that appears whole or not at all.

`staged_folder(target)` yields an empty folder beside `target`; when the
block ends normally the folder takes `target`'s place, and when it raises the
folder and everything in it is removed and `target` is left as it was.
"""
from __future__ import annotations

import contextlib
import os
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path

#: A folder that may be replaced holds this file (or nothing at all), so a
#: mistyped output path never swaps away a folder of other files.
MARKER = "tileset.json"


def _check_replaceable(target: Path) -> None:
    if not target.exists():
        return
    if not target.is_dir():
        raise FileExistsError(f"{target}: exists and is not a folder")
    if any(target.iterdir()) and not (target / MARKER).is_file():
        raise FileExistsError(f"{target}: a folder without {MARKER}; not replaced")


@contextlib.contextmanager
def staged_folder(target: str | os.PathLike[str]) -> Iterator[Path]:
    """Yields a new empty folder beside `target` that replaces it on success.

    An existing `target` is replaced only when it is empty or holds a
    tileset.json (FileExistsError otherwise, before anything is written).
    Between the two renames that swap an existing folder out and the new one
    in, `target` is briefly absent.
    """
    target = Path(target).absolute()
    _check_replaceable(target)
    stage = Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent))
    try:
        yield stage
        _check_replaceable(target)  # the block may have run for minutes
        umask = os.umask(0)
        os.umask(umask)
        stage.chmod(0o777 & ~umask)  # mkdtemp made it private to its owner
        if target.exists():
            old = Path(tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".old",
                                        dir=target.parent))
            os.replace(target, old / "folder")
            try:
                os.replace(stage, target)
            except BaseException:
                os.replace(old / "folder", target)
                raise
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(stage, target)
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise
