"""The stubs of geokern and the inline types of geokern_tools, checked by mypy
(the stubs' functions are checked against the module in
tests/module/test_registration.py)."""
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).parent / "typing"


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(name):
        proc = subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
             "--python-executable", sys.executable, str(HERE / name)],
            capture_output=True, text=True, timeout=600, cwd=HERE)
        return proc.returncode, proc.stdout + proc.stderr

    return run


def test_typed_usage_passes(mypy):
    code, output = mypy("usage_ok.py")
    assert code == 0, output


def test_mistyped_usage_fails_on_every_marked_line(mypy):
    code, output = mypy("usage_bad.py")
    assert code == 1, output
    marked = {i for i, line in enumerate((HERE / "usage_bad.py").read_text().splitlines(), 1)
              if line.rstrip().split("#")[-1].lstrip().startswith("E:")}
    reported = {int(m) for m in re.findall(r"usage_bad\.py:(\d+): error", output)}
    assert reported == marked, output

