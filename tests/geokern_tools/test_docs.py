"""The API reference stays in step with the module's function table, and its
examples run."""
import inspect
import re

import pytest

import geokern
from shared import checkout

DOCS = checkout() / "docs"
ENTRY = re.compile(r"^### `geokern\.(\w+)\((.*)\)`$", re.MULTILINE)


def test_every_function_has_one_entry_with_its_arguments():
    text = (DOCS / "api.md").read_text()
    entries = ENTRY.findall(text)
    names = [name for name, _ in entries]
    assert len(names) == len(set(names))
    assert set(names) == set(geokern.__all__) | {"geodetic2ecef_np_cy", "ecef2geodetic_np_cy"}
    for name, args in entries:
        documented = [arg.split("=")[0].strip() for arg in args.split(",")]
        assert documented == list(inspect.signature(getattr(geokern, name)).parameters), name


@pytest.mark.parametrize("page", ["api.md", "guide.md"])
def test_examples_run(page, capsys):
    text = (DOCS / page).read_text()
    namespace: dict = {}
    for block in re.findall(r"```python\n(.*?)```", text, re.DOTALL):
        exec(compile(block, f"docs/{page}", "exec"), namespace)
