"""Function objects: attributes, signatures, pickling."""

import copy
import inspect
import pickle
import weakref

import pytest

import geokern
from shared import PRIVATE_FUNCTIONS, PUBLIC_FUNCTIONS

FUNCTIONS = [v for v in vars(geokern).values() if type(v) is type(geokern.geodetic2ecef_cpp)]
NAMES = {f.__name__: f for f in FUNCTIONS}

ROWS = {name: (signature, documented)
        for name, signature, documented in PUBLIC_FUNCTIONS + PRIVATE_FUNCTIONS}


@pytest.fixture(params=sorted(NAMES), ids=str)
def function(request):
    return NAMES[request.param]


def test_attributes(function):
    name = function.__name__
    assert getattr(geokern, name) is function
    assert function.__qualname__ == name
    assert function.__module__ == "geokern"
    # Libraries that dispatch on types read the type's __module__ as a str.
    assert type(function).__module__ == "geokern"
    assert function.__kwdefaults__ is None
    assert repr(function).startswith(f"<function geokern.{name} at 0x")


def test_signature(function):
    assert str(inspect.signature(function)) == ROWS[function.__name__][0]
    for p in inspect.signature(function).parameters.values():
        assert p.kind is p.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_by_reference(function, protocol):
    data = pickle.dumps(function, protocol=protocol)
    assert len(data) < 100
    assert pickle.loads(data) is function


def test_copies_weak_references_docstring_and_defaults(function):
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    assert weakref.ref(function)() is function
    signature, documented = ROWS[function.__name__]
    assert (function.__doc__ is not None) == documented
    assert (function.__defaults__ is not None) == ("=" in signature)


def test_type_is_not_instantiable():
    with pytest.raises(TypeError):
        type(geokern.geodetic2ecef_cpp)()


def test_functions_run_in_a_process_pool():
    from concurrent.futures import ProcessPoolExecutor
    with ProcessPoolExecutor(1) as pool:
        assert list(pool.map(geokern.out_of_china_cpp, [116.4, 0.0], [39.9, 0.0])) == [False, True]
