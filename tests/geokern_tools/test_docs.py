"""The examples of the guide and the API reference run (the reference's
entries are checked against the module in tests/module/test_registration.py)."""
import re

import pytest

from shared import checkout

DOCS = checkout() / "docs"


@pytest.mark.parametrize("page", ["api.md", "guide.md"])
def test_examples_run(page, capsys):
    text = (DOCS / page).read_text()
    namespace: dict = {}
    for block in re.findall(r"```python\n(.*?)```", text, re.DOTALL):
        exec(compile(block, f"docs/{page}", "exec"), namespace)
