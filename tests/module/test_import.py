"""Start-up rules: namespace, one-time initialisation, one interpreter."""

import builtins
import importlib
import importlib.metadata
import math
import sys
import typing

import numpy as np
import pytest

import geokern
from shared import PRIVATE_FUNCTIONS, PUBLIC_FUNCTIONS

PUBLIC_ORDER = [name for name, _, _ in PUBLIC_FUNCTIONS]
NOT_PUBLIC = [name for name, _, _ in PRIVATE_FUNCTIONS]
CAPI_ORDER = [
    "generate_obb_2d_from_obj_file_cython", "ecef2geodetic_list_cython",
    "generate_obb_2d_from_points_cython", "geodetic2ecef_cython_np_mv",
    "ecef2geodetic_nparray_cython", "bd09_to_gcj02", "bd09_to_wgs84", "gcj02_to_bd09",
    "gcj02_to_wgs84", "wgs84_to_bd09", "wgs84_to_gcj02", "ecef2geodetic_cython",
    "geodetic2ecef_custom_ellipsoid_cython", "geodetic2ecef_cython",
]


def existing(names):
    return [n for n in names if n in vars(geokern)]


def test_namespace():
    ns = vars(geokern)
    assert ns["__builtins__"] is builtins
    assert ns["degrees"] is math.degrees and ns["radians"] is math.radians
    assert ns["List"] is typing.List
    assert ns["np"] is np
    assert ns["_pkg_version"] is importlib.metadata.version
    assert geokern.__version__ == importlib.metadata.version("geokern")
    assert geokern.__test__ == {}
    assert geokern.__doc__ is None
    functions = {k for k, v in ns.items() if type(v) is type(geokern.geodetic2ecef_cpp)}
    helpers = {"__builtins__", "__pyx_capi__", "degrees", "radians", "List", "np",
               "_pkg_version", "__version__", "__all__", "__test__", "__name__", "__doc__",
               "__file__", "__loader__", "__package__", "__spec__"}
    assert set(ns) == helpers | functions
    assert functions <= set(PUBLIC_ORDER) | set(NOT_PUBLIC)


def test_all_lists_existing_public_functions_in_order():
    assert geokern.__all__ == existing(PUBLIC_ORDER)
    assert not set(NOT_PUBLIC) & set(geokern.__all__)


def test_capi_keys_keep_the_table_order():
    keys = list(geokern.__pyx_capi__)
    assert keys and keys == [k for k in CAPI_ORDER if k in keys]


def test_second_import_and_reload_keep_the_module():
    functions = dict(vars(geokern))
    assert importlib.import_module("geokern") is geokern
    assert importlib.reload(geokern) is geokern
    del sys.modules["geokern"]
    try:
        assert importlib.import_module("geokern") is geokern
    finally:
        sys.modules["geokern"] = geokern
    for name, value in functions.items():
        if callable(value) and name in geokern.__all__:
            assert vars(geokern)[name] is value, name


SUBINTERPRETER = """
    import _interpreters, geokern
    config = _interpreters.new_config({config!r})
    interp = _interpreters.create(config)
    err = _interpreters.run_string(interp, "import geokern")
    print(err.type.__name__ if err else None)
    print(err.msg if err else None)
"""


@pytest.mark.parametrize("config, message", [
    ("legacy", "ImportError: Interpreter change detected - this module can only be loaded "
               "into one interpreter per process."),
    # An isolated interpreter with its own GIL is refused by the import system.
    ("isolated", "does not support loading in subinterpreters"),
])
def test_subinterpreter_import_fails(python, config, message):
    out = python(SUBINTERPRETER.format(config=config)).splitlines()
    assert out[0] == "ImportError"
    assert message.split(": ", 1)[-1] in out[1]


def test_numpy_api_failure_is_replaced_and_import_can_be_retried(python):
    out = python("""
        import sys, traceback, types
        import numpy, numpy._core._multiarray_umath as real
        fake = types.ModuleType(real.__name__)
        fake._ARRAY_API = "not a capsule"
        sys.modules[real.__name__] = fake
        try:
            import geokern
        except ImportError as e:
            print(e)
            print(type(e.__context__).__name__, e.__context__)
            print([f.name for f in traceback.extract_tb(e.__traceback__)][-1])
        sys.modules[real.__name__] = real
        import geokern
        print(geokern.geodetic2ecef_cpp(0, 0, 0))
    """).splitlines()
    assert out == [
        "numpy._core.multiarray failed to import",
        "RuntimeError _ARRAY_API is not PyCapsule object",
        "init geokern",
        "[6378137.0, 0.0, 0.0]",
    ]


@pytest.mark.parametrize("setup", [
    # the distribution is not found
    "import importlib.metadata as m\n"
    "def version(name): raise m.PackageNotFoundError(name)\n"
    "m.version = version",
    # the metadata module cannot be imported
    "import sys; sys.modules['importlib.metadata'] = None",
])
def test_version_falls_back(python, setup):
    out = python(setup + "\nimport geokern\nprint(geokern.__version__, geokern._pkg_version is None)")
    expect_none = "None" in setup
    assert out.split() == ["0.0.0", str(expect_none)]
