"""The stubs of geokern and the inline types of geokern_tools, checked by mypy."""
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

import geokern
from shared import PRIVATE_FUNCTIONS, PUBLIC_FUNCTIONS

pytest.importorskip("mypy")

HERE = Path(__file__).parent / "typing"


def stub_path():
    import importlib.util
    spec = importlib.util.find_spec("geokern-stubs")
    assert spec is not None and spec.submodule_search_locations, "geokern-stubs is not installed"
    return Path(list(spec.submodule_search_locations)[0]) / "__init__.pyi"


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


def stub_functions():
    tree = stub_path().read_text()
    return dict(re.findall(r"^def (\w+)\((.*?)\) ->", tree, re.M | re.S))


def test_stub_names_the_module_functions_and_their_arguments():
    functions = {name for name, obj in vars(geokern).items()
                 if type(obj) is type(geokern.geodetic2ecef_cy)}
    stubbed = stub_functions()
    assert set(stubbed) == functions
    assert functions == {name for name, _, _ in PUBLIC_FUNCTIONS + PRIVATE_FUNCTIONS}
    for name, params in stubbed.items():
        declared = [p.split(":")[0].strip() for p in re.split(r",\s*(?![^\[]*\])", params) if p.strip()]
        assert declared == list(inspect.signature(getattr(geokern, name)).parameters), name
