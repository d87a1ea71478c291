"""Reference formulas and helpers shared by the tests and the benchmarks.

Importable as `shared` from tests (pytest's `pythonpath`) and from bench/
(which puts tests/ on sys.path).  The references are written as the native
code evaluates them, so that tests may compare bit for bit where the native
code uses the same C library functions.
"""

import ctypes
import math
import pathlib
import re
import traceback

import numpy as np

def checkout():
    """The source checkout these tests belong to.  The tests also run from a
    copy outside it, against an installed wheel or sdist (tools/test-wheel);
    there a test module (at import) or test that needs the sources, the docs,
    the build folder or bench/ is skipped with the reason."""
    root = pathlib.Path(__file__).resolve().parents[1]
    if not (root / "CMakeLists.txt").is_file():
        import pytest
        pytest.skip("needs the source checkout (the tests run from a copy)",
                    allow_module_level=True)
    return root


# WGS-84 as the module-level set of the native code has it (src/core/constants.hpp).
A = 6378137.0                      # semi-major axis, m
B = 6356752.31424518               # semi-minor axis, m
A2 = 40680631590769.0              # a^2
B2_OVER_A2 = 0.9933056200098589    # b^2 / a^2 = 1 - e^2
E = 521854.0084233778              # linear eccentricity sqrt(a^2 - b^2), m


def ecef(lam, phi, h, b=B, b2_over_a2=B2_OVER_A2):
    """ECEF [X, Y, Z] of longitude `lam` and latitude `phi` in radians and height h."""
    n = A2 / float(np.hypot(A * math.cos(phi), b * math.sin(phi)))
    t = (n + h) * math.cos(phi)
    return [t * math.cos(lam), t * math.sin(lam), math.fma(n, b2_over_a2, h) * math.sin(phi)]


def geodetic_to_ecef(lon, lat, h):
    """ECEF [X, Y, Z] of (lon°, lat°, h m), the angles through math.radians."""
    return ecef(math.radians(lon), math.radians(lat), h)


# China offset datums: the published formulas, evaluated plainly.
KRASOVSKY_A, KRASOVSKY_E2 = 6378245.0, 0.006693421622965943
PI, TWO_THIRDS = 3.141592653589793, 0.6666666666666666


def gcj02_raw_lat(x, y):
    return (-100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * math.sqrt(abs(x))
            + TWO_THIRDS * (20.0 * math.sin(6 * PI * x) + 20.0 * math.sin(2 * PI * x))
            + TWO_THIRDS * (20.0 * math.sin(PI * y) + 40.0 * math.sin(PI * y / 3))
            + TWO_THIRDS * (160.0 * math.sin(PI * y / 12) + 320.0 * math.sin(PI * y / 30)))


def gcj02_raw_lon(x, y):
    return (300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * math.sqrt(abs(x))
            + TWO_THIRDS * (20.0 * math.sin(6 * PI * x) + 20.0 * math.sin(2 * PI * x))
            + TWO_THIRDS * (20.0 * math.sin(PI * x) + 40.0 * math.sin(PI * x / 3))
            + TWO_THIRDS * (150.0 * math.sin(PI * x / 12) + 300.0 * math.sin(PI * x / 30)))


def inside_china(lon, lat):
    return 73.66 <= lon <= 135.05 and 3.86 <= lat <= 53.55


def gcj02_shift(lon, lat):
    """The GCJ-02 position of (lon, lat), whether or not it is inside China."""
    dlon = gcj02_raw_lon(lon - 105.0, lat - 35.0)
    dlat = gcj02_raw_lat(lon - 105.0, lat - 35.0)
    radlat = lat / 180 * PI
    magic = 1 - KRASOVSKY_E2 * math.sin(radlat) ** 2
    sqrtmagic = math.sqrt(magic)
    dlat = (dlat * 180) / ((KRASOVSKY_A * (1 - KRASOVSKY_E2)) / (magic * sqrtmagic) * PI)
    dlon = (dlon * 180) / (KRASOVSKY_A / sqrtmagic * math.cos(radlat) * PI)
    return lon + dlon, lat + dlat


def gcj02_to_bd09(lon, lat):
    z = math.sqrt(lon * lon + lat * lat) + 0.00002 * math.sin(lat * PI)
    theta = math.atan2(lat, lon) + 0.000003 * math.cos(lon * PI)
    return [z * math.cos(theta) + 0.0065, z * math.sin(theta) + 0.006]


def bd09_to_gcj02(lon, lat):
    x, y = lon - 0.0065, lat - 0.006
    z = math.sqrt(x * x + y * y) - 0.00002 * math.sin(y * PI)
    theta = math.atan2(y, x) - 0.000003 * math.cos(x * PI)
    return [z * math.cos(theta), z * math.sin(theta)]


def bits(a):
    """The float64 bit patterns of `a`, to compare results to the last bit."""
    return np.ascontiguousarray(a, dtype=np.float64).view(np.int64)


def same_bits(a, b):
    """Same shape, same dtype and the same float64 bits."""
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(bits(a), bits(b))


def read_only(array):
    """`array`, made read-only."""
    array.setflags(write=False)
    return array


def traceback_names(error):
    """The names of the traceback entries of `error` that the module added."""
    return [e.name for e in traceback.extract_tb(error.__traceback__) if e.filename == "geokern"]


def metres(a, b):
    """Ground distance between two (lon, lat) positions a few metres apart."""
    return math.hypot((a[0] - b[0]) * 111320 * math.cos(math.radians(b[1])),
                      (a[1] - b[1]) * 110574)


# Meshes: a unit quad of two triangles in the z = 0 plane.
QUAD_POS = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0]], np.float32)
QUAD_IDX = np.array([0, 1, 2, 2, 1, 3], np.uint32)


NUMBER = r"-?(?:inf|nan|\d+(?:\.\d+)?(?:e[+-]\d+)?)"
WKT = re.compile(rf"POLYGON\(\(({NUMBER} {NUMBER},){{4}}{NUMBER} {NUMBER}\)\)")


def ring(text):
    """The five corners of a box's WKT polygon as a (5, 2) array."""
    assert WKT.fullmatch(text), text
    return np.array([[float(v) for v in p.split(" ")] for p in text[9:-2].split(",")])


def _unpack_error(count):
    return ValueError(f"need more than {count} value{'' if count == 1 else 's'} to unpack")


def read_obj_lines(path):
    """The used footprint points of an OBJ file read line by line in plain
    Python, or None when it has no face line: the reference that the native
    reader must match value for value and error for error."""
    vertices = []
    indices = set()
    with open(path, "r", encoding="utf-8") as f:
        while True:
            line = f.readline()
            if not line:
                break
            if line.startswith("v "):
                tokens = line.strip().split(" ")
                if len(tokens) > 4:
                    raise ValueError("too many values to unpack (expected 4)")
                if len(tokens) < 4:
                    raise _unpack_error(len(tokens))
                _, x, _, z = tokens
                vertices.append((float(x), -float(z)))
            elif line.startswith("f "):
                tokens = line.strip().split(" ")
                if len(tokens) < 4:
                    raise _unpack_error(len(tokens))
                _, a, b, c, *_ = tokens
                if "/" in a:
                    for ref in (a, b, c):
                        indices.add(int(ref.split("/")[0]) - 1)
                else:
                    for ref in (a, b, c):
                        indices.add(int(ref) - 1)
    if not indices:
        return None
    return [vertices[i] for i in indices]


def reference_box(path):
    """The footprint box of an OBJ file through read_obj_lines."""
    import geokern

    selection = read_obj_lines(path)
    if selection is None:
        return None
    return geokern.generate_obb_2d_from_points(np.array(selection, dtype=np.float64))


class Slice(ctypes.Structure):
    """The array view record the capsules take by value (src/module/view.hpp)."""
    _fields_ = [("memview", ctypes.py_object), ("data", ctypes.c_void_p)] + [
        (name, ctypes.c_ssize_t * 8) for name in ("shape", "strides", "suboffsets")]


def slice_of(array, owner=None):
    """A Slice of `array`, held by `owner` (default: the array itself)."""
    s = Slice(array if owner is None else owner, array.ctypes.data)
    for d in range(array.ndim):
        s.shape[d], s.strides[d], s.suboffsets[d] = array.shape[d], array.strides[d], -1
    return s


# The module's functions: (name, signature as inspect shows it, has a
# docstring), those of __all__ in its order, then the two it leaves out.
_DEFAULT_VIEW = "<geokern view of DTYPE_FLOAT64_T of 'numpy.ndarray'>"
_ECEF_BATCH = f"(pos_array, transform={_DEFAULT_VIEW}, return_z=False)"
PUBLIC_FUNCTIONS = [
    ("geodetic2ecef_cpp", "(lon, lat, alt)", False),
    ("geodetic2ecef_cy", "(lon, lat, alt)", False),
    ("geodetic2ecef_cy_np", "(arr)", False),
    ("ecef2geodetic_cy", "(x, y, z)", False),
    ("ecef2geodetic_nparray_cy", _ECEF_BATCH, False),
    ("ecef2geodetic_list_cy", "(pos_array, transform)", False),
    ("generate_obb_2d_from_points", "(pos_array)", False),
    ("generate_obb_2d_from_obj_file", "(obj_file)", False),
    ("wgs84_to_gcj02_cy", "(lon, lat)", False),
    ("wgs84_to_bd09_cy", "(lon, lat)", False),
    ("gcj02_to_wgs84_cy", "(lon, lat)", False),
    ("gcj02_to_bd09_cy", "(lon, lat)", False),
    ("bd09_to_wgs84_cy", "(lon, lat)", False),
    ("bd09_to_gcj02_cy", "(lon, lat)", False),
    ("geodetic2ecef_fast_array", "(arr)", False),
    ("calculate_smooth_normals_cy", "(pos, indices, vertex_count)", False),
    ("expand_flat_shaded_mesh_cy", "(pos, indices)", True),
    ("expand_crease_normals_mesh_cy", "(pos, indices, crease_angle_deg=60.0)", True),
    ("web_mercator_to_geodetic_cpp", "(x, y, z)", False),
    ("geodetic_to_web_mercator_cpp", "(lon, lat, alt)", False),
    ("out_of_china_cpp", "(lon, lat)", False),
    ("web_mercator_to_geodetic_fast_array", "(arr)", True),
    ("geodetic_to_web_mercator_fast_array", "(arr)", True),
    ("web_mercator_to_ecef_fast_array", "(arr)", True),
]
PRIVATE_FUNCTIONS = [
    ("geodetic2ecef_np_cy", "(arr)", False),
    ("ecef2geodetic_np_cy", _ECEF_BATCH, False),
]
