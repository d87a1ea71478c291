"""Vertex normals of triangle meshes as `read_obj` gives them.

geokern's mesh functions take float32 positions and uint32 indices.  A
mesh read from a file comes as float64 positions, often far from (0, 0, 0)
(projected or earth-centred coordinates), where float32 keeps only about a
metre of a 6000 km coordinate.  `mesh_normals` therefore works about a
local origin: it subtracts the origin in double precision and narrows the
differences to float32, so a mesh gets the normals it would get at the
origin, wherever it lies.  Indices of any integer or float dtype are
checked before they are narrowed to uint32.
"""
from __future__ import annotations

from typing import Any, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

import geokern

Mode = Literal["smooth", "flat", "crease"]
MODES: tuple[Mode, ...] = ("smooth", "flat", "crease")

#: The most vertices uint32 indices can number.
MOST_VERTICES = 0xFFFFFFFF

#: Crease angle (degrees) of `mesh_normals` when none is given.
DEFAULT_ANGLE = 60.0


class ShadedMesh(NamedTuple):
    """A mesh with vertex normals, its positions about `origin`.

    positions: float32 (M, 3), each vertex minus `origin`.
    normals: float32 (M, 3), unit length ((0, 0, 1) where a vertex has none).
    triangles: uint32 (T, 3), rows of `positions`, each triangle's corners
        in the order of the input triangle it comes from.
    source: uint32 (M,), the input vertex each row was copied from.
    origin: float64 (3,), in the input's coordinates.
    """

    positions: npt.NDArray[np.float32]
    normals: npt.NDArray[np.float32]
    triangles: npt.NDArray[np.uint32]
    source: npt.NDArray[np.uint32]
    origin: npt.NDArray[np.float64]


def check_vertices(vertices: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """`vertices` as float64 (N, 3), all finite; TypeError or ValueError
    otherwise."""
    array = np.asarray(vertices)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"vertices must hold numbers, not {array.dtype}")
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"vertices must have shape (N, 3), not {array.shape}")
    rows = array.astype(np.float64, copy=False)
    if not np.isfinite(rows).all():
        bad = int(np.flatnonzero(~np.isfinite(rows).all(axis=1))[0])
        raise ValueError(f"vertex {bad} is not finite: {rows[bad].tolist()}")
    return rows


def check_triangles(triangles: npt.ArrayLike, vertex_count: int) -> npt.NDArray[np.uint32]:
    """`triangles` ((T, 3), or flat with three corners per triangle, of any
    integer or float dtype) as uint32 (T, 3), every index checked first:
    TypeError for other dtypes, ValueError for a shape that is not
    triangles or an index that is not a whole number, IndexError for an
    index outside 0 .. vertex_count - 1."""
    if vertex_count > MOST_VERTICES:
        raise ValueError(f"{vertex_count} vertices are more than uint32 indices can reach")
    array = np.asarray(triangles)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"triangles must hold integers, not {array.dtype}")
    if array.ndim == 1 and len(array) % 3 == 0:
        array = array.reshape(-1, 3)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"triangles must have shape (T, 3) or (3T,), not {array.shape}")
    if array.size == 0:
        return np.zeros((0, 3), np.uint32)
    if array.dtype.kind == "f":
        whole = np.isfinite(array) & (array == np.trunc(array))
        if not whole.all():
            t, c = np.argwhere(~whole)[0]
            raise ValueError(f"triangle {t}: index {array[t, c].item()!r} is not a whole number")
    too_low = array.min() < 0 if array.dtype.kind != "u" else False
    if too_low or array.max() >= vertex_count:
        bad = (array < 0) | (array >= vertex_count)
        t, c = np.argwhere(bad)[0]
        raise IndexError(f"triangle {t}: index {array[t, c].item()!r} out of range for "
                         f"{vertex_count} vertices")
    return np.ascontiguousarray(array, dtype=np.uint32)


def column_bounds(rows: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
    """(minimum, maximum) of each column of non-empty `rows` (N, k).  Column
    by column: numpy's min(axis=0) of a narrow array is many times slower."""
    columns = range(rows.shape[1])
    return (np.array([rows[:, i].min() for i in columns], rows.dtype),
            np.array([rows[:, i].max() for i in columns], rows.dtype))


def bounds_centre(vertices: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The centre of the axis-aligned box around `vertices` ((0, 0, 0) for none)."""
    if len(vertices) == 0:
        return np.zeros(3)
    low, high = column_bounds(vertices)
    # Halves first: the sum of two huge coordinates could overflow.
    centre: npt.NDArray[np.float64] = low / 2 + high / 2
    return centre


def about_origin(vertices: npt.NDArray[np.float64],
                 origin: npt.NDArray[np.float64]) -> npt.NDArray[np.float32]:
    """vertices - origin, subtracted in double precision, rounded to float32."""
    local = np.empty(vertices.shape, np.float32)
    np.subtract(vertices, origin, out=local, casting="same_kind")
    return local


def mesh_normals(vertices: npt.ArrayLike, triangles: npt.ArrayLike, mode: Mode = "smooth", *,
                 angle: float | None = None,
                 origin: npt.ArrayLike | None = None) -> ShadedMesh:
    """Vertex normals of a triangle mesh, about a local origin.

    vertices: (N, 3) of any float or integer dtype (`read_obj`'s float64).
    triangles: (T, 3) or flat indices into `vertices`, of any integer or
        float dtype (`read_obj`'s int64); checked before use.
    mode: "smooth" (every vertex keeps one area-weighted normal; all N
        vertices stay, in order), "flat" (every triangle corner becomes a
        vertex carrying its face's normal) or "crease" (a vertex is split
        only where its triangles meet at more than `angle` degrees,
        default 60; vertices no triangle uses are dropped).
    origin: the point the positions are taken about; by default the centre
        of the vertices' bounding box.

    The normals are geokern's (`calculate_smooth_normals_cy`,
    `expand_flat_shaded_mesh_cy`, `expand_crease_normals_mesh_cy`) of the
    float32 positions about the origin.
    """
    if mode not in MODES:
        raise ValueError(f"mode must be one of {', '.join(MODES)}, not {mode!r}")
    if angle is not None and mode != "crease":
        raise ValueError("angle applies to mode 'crease' only")
    rows = check_vertices(vertices)
    tris = check_triangles(triangles, len(rows))
    centre = bounds_centre(rows) if origin is None else np.asarray(origin, np.float64).reshape(3)
    if not np.isfinite(centre).all():
        raise ValueError(f"origin must be finite, got {centre.tolist()}")
    local = about_origin(rows, centre)
    flat = tris.reshape(-1)
    if mode == "smooth":
        normals = geokern.calculate_smooth_normals_cy(local, flat, len(local))
        return ShadedMesh(local, normals, tris, np.arange(len(local), dtype=np.uint32), centre)
    if mode == "flat":
        positions, normals, indices, source = geokern.expand_flat_shaded_mesh_cy(local, flat)
    else:
        crease = DEFAULT_ANGLE if angle is None else float(angle)
        positions, normals, indices, source = geokern.expand_crease_normals_mesh_cy(
            local, flat, crease)
    return ShadedMesh(positions, normals, indices.reshape(-1, 3), source, centre)
