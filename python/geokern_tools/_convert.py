"""Coordinate conversion between the supported reference systems."""
# Provisional: a plain chain over geokern's batch and per-point functions.
from __future__ import annotations

from typing import Any

import numpy as np

import geokern

CRS_NAMES: tuple[str, ...] = ("wgs84", "ecef", "webmercator", "gcj02", "bd09")
_ALIASES = {4326: "wgs84", 4979: "wgs84", 4978: "ecef", 3857: "webmercator"}


def _name(crs: Any) -> str:
    key = crs
    if isinstance(crs, str) and crs.upper().startswith("EPSG:"):
        key = crs[5:]
    try:
        key = _ALIASES.get(int(key), key)
    except (TypeError, ValueError):
        pass
    if isinstance(key, str) and key.lower() in CRS_NAMES:
        return key.lower()
    raise ValueError(f"unknown reference system {crs!r}; expected one of {', '.join(CRS_NAMES)}")


def _rows(fn: Any, lonlat: np.ndarray) -> np.ndarray:
    out = np.empty_like(lonlat)
    for i, (lon, lat) in enumerate(lonlat.tolist()):
        out[i] = fn(lon, lat)
    return out


def _to_wgs84(arr: np.ndarray, src: str) -> np.ndarray:
    if src == "ecef":
        return geokern.ecef2geodetic_nparray_cy(arr, np.eye(3), True)
    if src == "webmercator":
        return geokern.web_mercator_to_geodetic_fast_array(arr)
    if src in ("gcj02", "bd09"):
        fn = geokern.gcj02_to_wgs84_cy if src == "gcj02" else geokern.bd09_to_wgs84_cy
        arr[:, :2] = _rows(fn, arr[:, :2])
    return arr


def _from_wgs84(arr: np.ndarray, dst: str) -> np.ndarray:
    if dst == "ecef":
        return geokern.geodetic2ecef_fast_array(arr)
    if dst == "webmercator":
        return geokern.geodetic_to_web_mercator_fast_array(arr)
    if dst in ("gcj02", "bd09"):
        fn = geokern.wgs84_to_gcj02_cy if dst == "gcj02" else geokern.wgs84_to_bd09_cy
        arr[:, :2] = _rows(fn, arr[:, :2])
    return arr


def convert(points: Any, src: Any, dst: Any) -> np.ndarray:
    """Converts (N, 2) or (N, 3) points from `src` to `dst` into a new float64 array."""
    src, dst = _name(src), _name(dst)
    arr = np.array(points, dtype=np.float64, order="C")
    if arr.ndim != 2 or arr.shape[1] not in (2, 3):
        raise ValueError(f"points must have shape (N, 2) or (N, 3), not {arr.shape}")
    if src == "ecef" and arr.shape[1] != 3:
        raise ValueError("ECEF points need three columns")
    cols = 3 if dst == "ecef" else arr.shape[1]
    full = np.zeros((len(arr), 3)) if arr.shape[1] == 2 else arr
    if arr.shape[1] == 2:
        full[:, :2] = arr
    if src == dst:
        return full[:, :cols].copy()
    if {src, dst} == {"gcj02", "bd09"}:
        fn = geokern.gcj02_to_bd09_cy if src == "gcj02" else geokern.bd09_to_gcj02_cy
        full[:, :2] = _rows(fn, full[:, :2])
        return np.ascontiguousarray(full[:, :cols])
    out = _from_wgs84(_to_wgs84(full, src), dst)
    return np.ascontiguousarray(out[:, :cols])
