"""One registration: the module's function table (src/module/table.cpp) is
the source of the public names and their order; the tests' list of
functions (shared.py), the API reference's entries (docs/api.md) and the
stubs (python/geokern-stubs) must name every function once, with its
arguments and which of them have defaults."""

import ast
import inspect
import re

import pytest

import geokern
from shared import PRIVATE_FUNCTIONS, PUBLIC_FUNCTIONS, checkout

FUNCTIONS = {name: f for name, f in vars(geokern).items()
             if type(f) is type(geokern.geodetic2ecef_cpp)}


def parameters(text):
    """(name, has a default) of each parameter of a def's parameter text."""
    tree = ast.parse(f"def f({text}): pass").body[0].args
    defaults = [False] * (len(tree.args) - len(tree.defaults)) + [True] * len(tree.defaults)
    return [(a.arg, d) for a, d in zip(tree.args, defaults)]


def from_tests():
    # Signatures as inspect shows them; a default's repr holds no ", ".
    return [(name, [(p.split("=")[0], "=" in p) for p in signature[1:-1].split(", ") if p])
            for name, signature, _ in PUBLIC_FUNCTIONS + PRIVATE_FUNCTIONS]


def from_api_reference():
    text = (checkout() / "docs" / "api.md").read_text()
    return [(name, parameters(args))
            for name, args in re.findall(r"^### `geokern\.(\w+)\((.*)\)`$", text, re.M)]


def from_stubs():
    text = (checkout() / "python" / "geokern-stubs" / "__init__.pyi").read_text()
    return [(node.name, parameters(ast.unparse(node.args)))
            for node in ast.parse(text).body if isinstance(node, ast.FunctionDef)]


def test_tests_list_all_in_its_order():
    assert [name for name, _, _ in PUBLIC_FUNCTIONS] == geokern.__all__


@pytest.mark.parametrize("read", [from_tests, from_api_reference, from_stubs])
def test_every_function_once_with_its_arguments(read):
    entries = read()
    assert sorted(name for name, _ in entries) == sorted(FUNCTIONS)
    for name, params in entries:
        expected = [(p.name, p.default is not p.empty)
                    for p in inspect.signature(FUNCTIONS[name]).parameters.values()]
        assert params == expected, name
