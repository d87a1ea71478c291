"""Local frames: metres east, north and up at a place on the WGS-84 ellipsoid.

A local frame is fixed by its origin (longitude, latitude in degrees, height
in metres above the ellipsoid), a heading (degrees clockwise from north:
the direction the frame's north axis points to) and the axes of the points:

- ``up="z"``: x east, y north, z up, the order of east-north-up (ENU);
- ``up="y"``: x east, y up, z south (north is -z), the OBJ convention of
  building models, and of glTF.

With heading h the frame's east and north axes are turned clockwise by h
about the up axis.  The up axis is the ellipsoid normal at the origin; a
point's height in the frame is its distance above the plane tangent to the
ellipsoid there, not its height above the ellipsoid.

The matrices are 4 x 4 and act on column vectors: ``ecef = M @ (x, y, z,
1)``.  ``M.T`` is what geokern's ECEF-to-geodetic batches take as their
`transform` for homogeneous rows, and ``M.T.ravel()`` is the column-major
list that 3D Tiles and glTF store.  All arithmetic is double precision;
converting a point to ECEF and back loses about 1e-9 m.  Points move in
parallel, with the interpreter lock released, as geokern's batches do.
"""
from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Literal

import numpy as np
import numpy.typing as npt

import geokern
from geokern_tools import _native

Up = Literal["y", "z"]
Floats = npt.NDArray[np.float64]


def _sincosd(degrees: float) -> tuple[float, float]:
    """sin and cos of an angle in degrees, exact at multiples of 90."""
    turned = math.fmod(degrees, 360.0)
    quarter = round(turned / 90.0)
    s = math.sin(math.radians(turned - 90.0 * quarter))
    c = math.cos(math.radians(turned - 90.0 * quarter))
    s, c = ((s, c), (c, -s), (-s, -c), (-c, s))[quarter % 4]
    return s + 0.0, c + 0.0  # no negative zeros


def _origin(origin: Sequence[float] | npt.ArrayLike) -> tuple[float, float, float]:
    values = np.asarray(origin, dtype=np.float64).ravel()
    if len(values) not in (2, 3):
        raise ValueError(f"origin must be (lon, lat) or (lon, lat, h), got {len(values)} values")
    if not np.isfinite(values).all():
        raise ValueError(f"origin must be finite, got {values.tolist()}")
    lon, lat = float(values[0]), float(values[1])
    if not -90.0 <= lat <= 90.0:
        raise ValueError(f"origin latitude must lie in [-90, 90], got {lat}")
    return lon, lat, float(values[2]) if len(values) == 3 else 0.0


def _axes(up: str) -> Floats:
    """The frame's (x, y, z) axes in east-north-up, as columns."""
    if up == "z":
        return np.eye(3)
    if up == "y":
        return np.array([[1.0, 0.0, 0.0], [0.0, 0.0, -1.0], [0.0, 1.0, 0.0]])
    raise ValueError(f"up must be 'y' or 'z', got {up!r}")


def _rotation(lon: float, lat: float, heading: float, up: str) -> Floats:
    """The 3 x 3 rotation from the frame's axes to ECEF directions."""
    if not math.isfinite(heading):
        raise ValueError(f"heading must be finite, got {heading}")
    slon, clon = _sincosd(lon)
    slat, clat = _sincosd(lat)
    # East, north and up at the origin, as the columns of `enu`.
    enu = np.array([[-slon, -slat * clon, clat * clon],
                    [clon, -slat * slon, clat * slon],
                    [0.0, clat, slat]])
    sh, ch = _sincosd(heading)
    turn = np.array([[ch, sh, 0.0], [-sh, ch, 0.0], [0.0, 0.0, 1.0]])
    rotation: Floats = enu @ turn @ _axes(up)
    return rotation


def _frame(origin: Sequence[float] | npt.ArrayLike, heading: float,
           up: str) -> tuple[Floats, Floats]:
    """(rotation, the origin's ECEF position) of a frame."""
    lon, lat, h = _origin(origin)
    rotation = _rotation(lon, lat, float(heading), up)
    centre = geokern.geodetic2ecef_fast_array(np.array([[lon, lat, h]]))[0]
    return rotation, centre


def local_to_ecef_matrix(origin: Sequence[float] | npt.ArrayLike, *, heading: float = 0.0,
                         up: Up = "z") -> Floats:
    """The 4 x 4 matrix M taking a point (x, y, z, 1) of the local frame at
    `origin` (lon, lat[, h]) with `heading` and `up` to ECEF: M @ p."""
    rotation, centre = _frame(origin, heading, up)
    matrix = np.eye(4)
    matrix[:3, :3] = rotation
    matrix[:3, 3] = centre
    return matrix


def ecef_to_local_matrix(origin: Sequence[float] | npt.ArrayLike, *, heading: float = 0.0,
                         up: Up = "z") -> Floats:
    """The inverse of `local_to_ecef_matrix`: ECEF (X, Y, Z, 1) to the
    frame's (x, y, z, 1)."""
    rotation, centre = _frame(origin, heading, up)
    matrix = np.eye(4)
    matrix[:3, :3] = rotation.T
    matrix[:3, 3] = -(rotation.T @ centre)
    return matrix


def _points(points: npt.ArrayLike, name: str) -> tuple[Floats, bool]:
    """`points` as float64 (N, 3) and whether it was a single point (3,)."""
    array = np.asarray(points)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold numbers, not {array.dtype}")
    single = array.ndim == 1
    rows = array.reshape(1, -1) if single else array
    if rows.ndim != 2 or rows.shape[1] != 3:
        raise ValueError(f"{name} must have shape (N, 3) or (3,), not {array.shape}")
    return rows.astype(np.float64, copy=False), single


def _shaped(rows: Floats, single: bool) -> Floats:
    return rows[0] if single else rows


def _moved(rows: Floats, rotation: Floats, before: Floats, after: Floats) -> Floats:
    """rotation @ (row - before) + after for every row, in parallel with the
    lock released (geokern_tools._native.move_points)."""
    moved: Floats = _native.move_points(rows, np.vstack([rotation, before, after]))
    return moved


def local_to_ecef(points: npt.ArrayLike, origin: Sequence[float] | npt.ArrayLike, *,
                  heading: float = 0.0, up: Up = "z") -> Floats:
    """ECEF (X, Y, Z) metres of `points` (N, 3) or (3,), given in the local
    frame at `origin` (lon, lat[, h]) with `heading` and `up`."""
    rows, single = _points(points, "points")
    rotation, centre = _frame(origin, heading, up)
    return _shaped(_moved(rows, rotation, np.zeros(3), centre), single)


def ecef_to_local(points: npt.ArrayLike, origin: Sequence[float] | npt.ArrayLike, *,
                  heading: float = 0.0, up: Up = "z") -> Floats:
    """The local-frame (x, y, z) metres of ECEF `points` (N, 3) or (3,)."""
    rows, single = _points(points, "points")
    rotation, centre = _frame(origin, heading, up)
    return _shaped(_moved(rows, rotation.T, centre, np.zeros(3)), single)


def local_to_geodetic(points: npt.ArrayLike, origin: Sequence[float] | npt.ArrayLike, *,
                      heading: float = 0.0, up: Up = "z") -> Floats:
    """(lon, lat, h) of `points` (N, 3) or (3,) given in the local frame at
    `origin`: the frame's matrix goes to geokern's ECEF-to-geodetic batch as
    its transform, so the points reach ECEF inside the batch's own product."""
    rows, single = _points(points, "points")
    homogeneous = np.empty((len(rows), 4))
    homogeneous[:, :3] = rows
    homogeneous[:, 3] = 1.0
    transform = np.ascontiguousarray(local_to_ecef_matrix(origin, heading=heading, up=up).T)
    geodetic: Floats = geokern.ecef2geodetic_nparray_cy(homogeneous, transform, True)
    return _shaped(geodetic, single)


def geodetic_to_local(points: npt.ArrayLike, origin: Sequence[float] | npt.ArrayLike, *,
                      heading: float = 0.0, up: Up = "z") -> Floats:
    """The local-frame (x, y, z) metres of geodetic `points` (lon, lat, h)
    (N, 3) or (3,)."""
    rows, single = _points(points, "points")
    rotation, centre = _frame(origin, heading, up)
    ecef = geokern.geodetic2ecef_fast_array(rows)
    return _shaped(_moved(ecef, rotation.T, centre, np.zeros(3)), single)
