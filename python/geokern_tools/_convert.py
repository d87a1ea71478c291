"""Coordinate conversion between the supported reference systems.

The reference systems and their aliases are those of the table in
geokern_tools._crs: wgs84, ecef, webmercator, gcj02 and bd09, by name
(case-insensitive), EPSG code, "OGC:CRS84", a definition or a pyproj CRS.

Points are rows of an (N, 2) or (N, 3) array.  Column rules:

- Input has two or three columns; ECEF input exactly three.
- A third column is the ellipsoidal height in metres.  It passes through
  every conversion that does not involve ECEF unchanged (the China datums
  and Web Mercator only move the horizontal position).
- Two-column input means height 0 where a height is needed (conversion to
  ECEF); the result then has two columns again unless the target is ECEF.
- ECEF output always has three columns; output from ECEF always has three
  (the third is the height).
- src == dst returns a float64 copy of the input (after the same checks).

Every conversion goes through geokern's parallel batches, chained through
WGS-84 where there is no direct one: geodetic2ecef_fast_array,
ecef2geodetic_nparray_cy (with return_z), the Web Mercator batches
(web_mercator_to_ecef_fast_array straight to ECEF), and the China datum
batches of geokern_tools._native.  Those converting into GCJ-02 and BD-09
are bit-identical row by row to geokern's *_cy functions with geokern's own
China box test (rebinding geokern.out_of_china_cpp does not affect them).

The inverses out of GCJ-02 and BD-09 come in two kinds (`china_inverse`):

- "iterative" (the default): the forward conversion solved by iteration to
  1e-12 degrees, so a WGS-84 -> GCJ-02 -> WGS-84 round trip comes back
  within 1e-9 degrees wherever the forward map is continuous.  Within one
  offset (up to about 700 m) inside the China box edge, where the forward
  map jumps, a position shifted across the edge is not shifted back, and a
  GCJ-02 position that no WGS-84 position maps to comes back as the
  solution of the offset formula without the box test (see
  src/china/china_inverse.hpp).
- "one-step": geokern's own inverse (gcj02_to_wgs84_cy, bd09_to_wgs84_cy,
  bd09_to_gcj02_cy), bit-identical to them: the offset found at the shifted
  position is removed once, which leaves errors up to a few metres.

Besides arrays, `convert` takes shapely geometries (single, or object arrays
of them), GeoSeries and GeoDataFrames (geokern_tools._geometry), and
masked arrays: a masked coordinate makes its whole point missing, and the
result is a masked array whose rows are masked where the input's were.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Final, Literal, Protocol, TypeVar, overload

import numpy as np
import numpy.typing as npt

import geokern
from geokern_tools import _native
from geokern_tools._crs import CRS, CRS_NAMES, crs_name

if TYPE_CHECKING:
    import shapely

__all__ = ["CRS", "CRS_NAMES", "ChinaInverse", "convert", "convert_xyz", "crs_name"]

#: Which inverse leads out of GCJ-02 and BD-09 (see the module docstring).
type ChinaInverse = Literal["iterative", "one-step"]

_INVERSES: Final = ("iterative", "one-step")

type _Array = npt.NDArray[np.float64]



class _WithCrs(Protocol):
    """Data that carry their reference system: GeoSeries, GeoDataFrames and
    GeometryArrays."""

    @property
    def crs(self) -> Any: ...


_Framed = TypeVar("_Framed", bound=_WithCrs)


def check_points(dtype: np.dtype[Any], shape: tuple[int, ...], src: str) -> None:
    """Raises what `convert` raises for points of this dtype and shape in `src`."""
    if dtype.kind not in "fiu":
        raise TypeError(f"points must be real numbers, got an array of dtype {dtype}")
    if len(shape) != 2 or shape[1] not in (2, 3):
        raise ValueError(f"points must have shape (N, 2) or (N, 3), got {shape}")
    if src == "ecef" and shape[1] != 3:
        raise ValueError(f"ecef points must have 3 columns (X, Y, Z), got {shape[1]}")


def result_columns(src: str, dst: str, k: int) -> int:
    """Columns of the result of converting `k` columns: 3 to or from ECEF,
    else `k`."""
    return 3 if "ecef" in (src, dst) else k


def _as_points(points: npt.ArrayLike, src: str) -> _Array:
    """`points` as a float64 array of 2 or 3 columns (3 for ECEF), checked."""
    arr = np.asarray(points)
    check_points(arr.dtype, arr.shape, src)
    return arr.astype(np.float64, copy=False)


def _with_height(arr: _Array) -> _Array:
    """Three columns: `arr` itself, or its two with a zero height."""
    if arr.shape[1] == 3:
        return arr
    out = np.zeros((arr.shape[0], 3))
    out[:, :2] = arr
    return out


def _columns(result: _Array, k: int) -> _Array:
    """The first `k` columns of a fresh result, contiguous."""
    return result if result.shape[1] == k else np.ascontiguousarray(result[:, :k])


# Each step maps a float64 array of 2 or 3 columns to a new array; the
# caller cuts the columns to what the column rules give.


def _to_ecef(arr: _Array) -> _Array:
    return geokern.geodetic2ecef_fast_array(_with_height(arr))


def _from_ecef(arr: _Array) -> _Array:
    # The batch wants a writable array; the 3 x 3 identity keeps the points.
    pos = arr if arr.flags.writeable else arr.copy()
    return geokern.ecef2geodetic_nparray_cy(pos, np.eye(3), True)


def _to_mercator(arr: _Array) -> _Array:
    return geokern.geodetic_to_web_mercator_fast_array(_with_height(arr))


def _from_mercator(arr: _Array) -> _Array:
    return geokern.web_mercator_to_geodetic_fast_array(_with_height(arr))


def _mercator_to_ecef(arr: _Array) -> _Array:
    return geokern.web_mercator_to_ecef_fast_array(_with_height(arr))


def _china(batch: Callable[..., _Array]) -> Callable[[_Array], _Array]:
    def step(arr: _Array) -> _Array:
        out = np.empty(arr.shape)
        if arr.shape[1] == 3:
            out[:, 2] = arr[:, 2]
        batch(arr, out)
        return out

    return step


_STEPS: Final[dict[tuple[str, str], Callable[[_Array], _Array]]] = {
    ("wgs84", "ecef"): _to_ecef,
    ("ecef", "wgs84"): _from_ecef,
    ("wgs84", "webmercator"): _to_mercator,
    ("webmercator", "wgs84"): _from_mercator,
    ("webmercator", "ecef"): _mercator_to_ecef,
    ("wgs84", "gcj02"): _china(_native.wgs84_to_gcj02),
    ("wgs84", "bd09"): _china(_native.wgs84_to_bd09),
    ("gcj02", "bd09"): _china(_native.gcj02_to_bd09),
}

# The inverses out of the China datums, by kind.
_CHINA_INVERSES: Final[dict[str, dict[tuple[str, str], Callable[[_Array], _Array]]]] = {
    "one-step": {
        ("gcj02", "wgs84"): _china(_native.gcj02_to_wgs84),
        ("bd09", "wgs84"): _china(_native.bd09_to_wgs84),
        ("bd09", "gcj02"): _china(_native.bd09_to_gcj02),
    },
    "iterative": {
        ("gcj02", "wgs84"): _china(_native.gcj02_to_wgs84_iterative),
        ("bd09", "wgs84"): _china(_native.bd09_to_wgs84_iterative),
        ("bd09", "gcj02"): _china(_native.bd09_to_gcj02_iterative),
    },
}


def _step(src: str, dst: str, china_inverse: str) -> Callable[[_Array], _Array] | None:
    return _STEPS.get((src, dst)) or _CHINA_INVERSES[china_inverse].get((src, dst))


def _check_inverse(china_inverse: object) -> str:
    if china_inverse not in _INVERSES:
        raise ValueError(f"china_inverse must be 'iterative' or 'one-step', got {china_inverse!r}")
    return str(china_inverse)


def convert_xyz(arr: _Array, src: str, dst: str, china_inverse: str = "iterative") -> _Array:
    """The points of the float64 array `arr` (2 or 3 columns, checked by the
    caller) converted between the systems named `src` and `dst` (canonical
    names): a new C-contiguous array with the columns the column rules give."""
    if src == dst:
        return np.array(arr, dtype=np.float64, order="C", copy=True)
    k = result_columns(src, dst, arr.shape[1])
    direct = _step(src, dst, china_inverse)
    if direct is not None:
        return _columns(direct(arr), k)
    # Through WGS-84: src and dst are then both other systems (a direct step
    # would have been found otherwise), and every system has both steps.
    to_wgs84, from_wgs84 = _step(src, "wgs84", china_inverse), _step("wgs84", dst, china_inverse)
    assert to_wgs84 is not None and from_wgs84 is not None
    return _columns(from_wgs84(to_wgs84(arr)), k)


def _is_geo(points: object) -> bool:
    """Whether `points` holds geometries rather than numbers: a GeoPandas or
    shapely object, or an object array (or list) of shapely geometries and
    missing values with at least one geometry.  Neither library is imported
    here: an object of theirs exists only once they are."""
    module = type(points).__module__
    if module.startswith(("geopandas.", "shapely.")):
        return True
    if "shapely" not in sys.modules:
        return False
    if isinstance(points, list) and points:
        points = np.array(points, dtype=object)
    if not isinstance(points, np.ndarray) or points.dtype != object or points.size == 0:
        return False
    import shapely

    try:
        types = shapely.get_type_id(points)  # -1 for None; TypeError for other objects
    except TypeError:
        return False
    return bool((types >= 0).any())


def _convert_masked(points: np.ma.MaskedArray[Any, Any], src: str, dst: str,
                    china_inverse: str) -> np.ma.MaskedArray[Any, Any]:
    """A masked array converted row by row; a row with any masked entry is
    masked whole in the result (its values are NaN underneath)."""
    data = np.ma.getdata(points)
    check_points(data.dtype, data.shape, src)
    row_masked = np.any(np.ma.getmaskarray(points), axis=1)
    arr = data.astype(np.float64, copy=True)
    arr[row_masked] = np.nan
    result = convert_xyz(arr, src, dst, china_inverse)
    mask = np.repeat(row_masked[:, None], result.shape[1], axis=1)
    return np.ma.MaskedArray(result, mask=mask)


@overload
def convert(points: _Framed, src: CRS | None = None, *, dst: CRS,
            china_inverse: ChinaInverse = "iterative") -> _Framed: ...
@overload
def convert(points: _Framed, src: CRS | None, dst: CRS,
            china_inverse: ChinaInverse = "iterative") -> _Framed: ...
@overload
def convert(points: np.ma.MaskedArray[Any, Any], src: CRS, dst: CRS,
            china_inverse: ChinaInverse = "iterative") -> np.ma.MaskedArray[Any, Any]: ...
@overload
def convert(  # type: ignore[overload-overlap]  # geometries in, geometries out
        points: npt.NDArray[np.object_], src: CRS, dst: CRS,
        china_inverse: ChinaInverse = "iterative") -> npt.NDArray[np.object_]: ...
@overload
def convert(points: npt.ArrayLike, src: CRS, dst: CRS,
            china_inverse: ChinaInverse = "iterative") -> npt.NDArray[np.float64]: ...
@overload
def convert(points: shapely.Geometry, src: CRS, dst: CRS,
            china_inverse: ChinaInverse = "iterative") -> shapely.Geometry: ...


def convert(points: Any, src: CRS | None = None, dst: CRS | None = None,
            china_inverse: ChinaInverse = "iterative") -> Any:
    """Converts `points` from reference system `src` to `dst`.

    `points` is any (N, 2) or (N, 3) array-like of real numbers (any float
    or integer dtype, any memory order); the result is a new C-contiguous
    float64 array.  A masked array gives a masked array, rows masked where
    any of their entries was.  Shapely geometries, arrays of them,
    GeoSeries and GeoDataFrames give the same kind back, their coordinates
    converted (geokern_tools._geometry); for those `src` may be omitted
    (None) when the data carry their reference system.

    Reference systems are names, EPSG codes, "OGC:CRS84", definitions or
    pyproj CRS objects (geokern_tools._crs).  `china_inverse` picks the
    inverse out of GCJ-02 and BD-09: "iterative" (to 1e-12 degrees) or
    "one-step" (geokern's own).  See the module docstring for the column
    rules.  Unknown or unsupported systems raise ValueError; wrong shapes
    ValueError; non-numeric input TypeError.
    """
    if dst is None:
        raise TypeError("convert() needs dst, the reference system to convert to")
    inverse = _check_inverse(china_inverse)
    if _is_geo(points):
        from geokern_tools import _geometry

        return _geometry.convert_geo(points, src, dst, inverse)
    if src is None:
        raise TypeError("convert() needs src for coordinate arrays: they carry no reference "
                        "system")
    src_name, dst_name = crs_name(src), crs_name(dst)
    if isinstance(points, np.ma.MaskedArray):
        return _convert_masked(points, src_name, dst_name, inverse)
    return convert_xyz(_as_points(points, src_name), src_name, dst_name, inverse)

