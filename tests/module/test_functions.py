"""Function objects: attributes, signatures, pickling."""

import copy
import inspect
import pickle
import weakref

import pytest

import geokern

FUNCTIONS = [v for v in vars(geokern).values() if type(v) is type(geokern.geodetic2ecef_cpp)]
NAMES = {f.__name__: f for f in FUNCTIONS}

SIGNATURES = {
    "geodetic2ecef_fast_array": "(arr)",
    "calculate_smooth_normals_cy": "(pos, indices, vertex_count)",
    "expand_flat_shaded_mesh_cy": "(pos, indices)",
    "expand_crease_normals_mesh_cy": "(pos, indices, crease_angle_deg=60.0)",
    "out_of_china_cpp": "(lon, lat)",
    "web_mercator_to_geodetic_cpp": "(x, y, z)",
    "geodetic_to_web_mercator_cpp": "(lon, lat, alt)",
    "geodetic2ecef_cpp": "(lon, lat, alt)",
    "web_mercator_to_geodetic_fast_array": "(arr)",
    "geodetic_to_web_mercator_fast_array": "(arr)",
    "web_mercator_to_ecef_fast_array": "(arr)",
    "geodetic2ecef_cy": "(lon, lat, alt)",
    "geodetic2ecef_cy_np": "(arr)",
    "geodetic2ecef_np_cy": "(arr)",
    "ecef2geodetic_cy": "(x, y, z)",
    "ecef2geodetic_list_cy": "(pos_array, transform)",
    "wgs84_to_gcj02_cy": "(lon, lat)",
    "wgs84_to_bd09_cy": "(lon, lat)",
    "gcj02_to_wgs84_cy": "(lon, lat)",
    "gcj02_to_bd09_cy": "(lon, lat)",
    "bd09_to_wgs84_cy": "(lon, lat)",
    "bd09_to_gcj02_cy": "(lon, lat)",
    "generate_obb_2d_from_points": "(pos_array)",
    "generate_obb_2d_from_obj_file": "(obj_file)",
}


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
    expected = SIGNATURES.get(function.__name__)
    if expected is None:
        pytest.skip("signature not listed here")
    assert str(inspect.signature(function)) == expected
    for p in inspect.signature(function).parameters.values():
        assert p.kind is p.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_by_reference(function, protocol):
    data = pickle.dumps(function, protocol=protocol)
    assert len(data) < 100
    assert pickle.loads(data) is function


def test_copies_are_the_function(function):
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function
    assert weakref.ref(function)() is function


@pytest.mark.parametrize("name", ["out_of_china_cpp", "web_mercator_to_geodetic_cpp",
                                  "geodetic_to_web_mercator_cpp", "geodetic2ecef_cpp",
                                  "geodetic2ecef_fast_array", "geodetic2ecef_cy",
                                  "geodetic2ecef_cy_np", "geodetic2ecef_np_cy", "ecef2geodetic_cy",
                                  "ecef2geodetic_list_cy", "wgs84_to_gcj02_cy", "wgs84_to_bd09_cy",
                                  "gcj02_to_wgs84_cy", "gcj02_to_bd09_cy", "bd09_to_wgs84_cy",
                                  "bd09_to_gcj02_cy"])
def test_no_docstring_or_defaults(name):
    f = getattr(geokern, name)
    assert f.__doc__ is None
    assert f.__defaults__ is None


def test_type_is_not_instantiable():
    with pytest.raises(TypeError):
        type(geokern.geodetic2ecef_cpp)()


def test_functions_run_in_a_process_pool():
    from concurrent.futures import ProcessPoolExecutor
    with ProcessPoolExecutor(1) as pool:
        assert list(pool.map(geokern.out_of_china_cpp, [116.4, 0.0], [39.9, 0.0])) == [False, True]
