"""Coordinate conversion between the supported reference systems.

Reference systems, by name (case-insensitive) or EPSG code (an int, or a
string such as "EPSG:4326"):

========== ================== ==========================================
name       EPSG aliases       columns
========== ================== ==========================================
wgs84      4326, 4979         longitude (deg), latitude (deg)[, height (m)]
ecef       4978               X, Y, Z (m), always three
webmercator 3857              x (m), y (m)[, height (m)]
gcj02      (none)             longitude (deg), latitude (deg)[, height (m)]
bd09       (none)             longitude (deg), latitude (deg)[, height (m)]
========== ================== ==========================================

Column rules:

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
batches of geokern_tools._native, which are bit-identical row by row to
geokern's *_cy functions with geokern's own China box test (rebinding
geokern.out_of_china_cpp does not affect them).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Final

import numpy as np
import numpy.typing as npt

import geokern
from geokern_tools import _native

__all__ = ["CRS", "CRS_NAMES", "convert", "crs_name"]

#: A reference system as `convert` accepts it: a name or an EPSG code.
type CRS = str | int

CRS_NAMES: tuple[str, ...] = ("wgs84", "ecef", "webmercator", "gcj02", "bd09")

_EPSG: Final[dict[int, str]] = {4326: "wgs84", 4979: "wgs84", 4978: "ecef", 3857: "webmercator"}

_GEODETIC_LIKE: Final = frozenset({"wgs84", "webmercator", "gcj02", "bd09"})

type _Array = npt.NDArray[np.float64]


def crs_name(crs: CRS) -> str:
    """The canonical name of `crs` ("wgs84", "ecef", ...); ValueError if unknown."""
    if isinstance(crs, bool) or not isinstance(crs, (str, int, np.integer)):
        raise TypeError(f"a reference system must be a name or an EPSG code, got {type(crs).__name__}")
    if isinstance(crs, str):
        key = crs.strip().lower()
        if key in CRS_NAMES:
            return key
        if key.startswith("epsg:") and key[5:].isdigit():
            code = int(key[5:])
        elif key.isdigit():
            code = int(key)
        else:
            raise ValueError(_unknown(crs))
    else:
        code = int(crs)
    try:
        return _EPSG[code]
    except KeyError:
        raise ValueError(_unknown(crs)) from None


def _unknown(crs: CRS) -> str:
    codes = ", ".join(str(code) for code in _EPSG)
    return f"unknown reference system {crs!r}; expected one of {', '.join(CRS_NAMES)} or EPSG {codes}"


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
    ("gcj02", "wgs84"): _china(_native.gcj02_to_wgs84),
    ("wgs84", "bd09"): _china(_native.wgs84_to_bd09),
    ("bd09", "wgs84"): _china(_native.bd09_to_wgs84),
    ("gcj02", "bd09"): _china(_native.gcj02_to_bd09),
    ("bd09", "gcj02"): _china(_native.bd09_to_gcj02),
}


def convert(points: npt.ArrayLike, src: CRS, dst: CRS) -> npt.NDArray[np.float64]:
    """Converts `points` from reference system `src` to `dst`.

    `points` is any (N, 2) or (N, 3) array-like of real numbers (any float
    or integer dtype, any memory order); the result is a new C-contiguous
    float64 array.  See the module docstring for names and column rules.
    Unknown names raise ValueError; wrong shapes ValueError; non-numeric
    input TypeError.
    """
    src_name, dst_name = crs_name(src), crs_name(dst)
    arr = _as_points(points, src_name)
    if src_name == dst_name:
        return np.array(arr, dtype=np.float64, order="C", copy=True)
    k = result_columns(src_name, dst_name, arr.shape[1])
    direct = _STEPS.get((src_name, dst_name))
    if direct is not None:
        return _columns(direct(arr), k)
    via = arr if src_name == "wgs84" else _STEPS[(src_name, "wgs84")](arr)
    return _columns(_STEPS[("wgs84", dst_name)](via), k)
