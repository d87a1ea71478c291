"""The C++ sources are formatted as .clang-format says (tools/format applies it)."""

import shutil
import subprocess

import pytest

from shared import checkout

ROOT = checkout()


@pytest.mark.skipif(shutil.which("clang-format") is None, reason="clang-format not installed")
def test_sources_are_formatted():
    files = sorted(str(p) for p in (ROOT / "src").rglob("*.[ch]pp"))
    result = subprocess.run(["clang-format", "--dry-run", "--Werror", *files], cwd=ROOT,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr[:4000]
