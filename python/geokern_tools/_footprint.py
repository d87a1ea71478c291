"""Footprint boxes of point sets and OBJ models.

A model's footprint is the oriented box (geokern's, along the principal
axes) of the ground positions of the vertices its faces use, each once: a
Y-up model's vertex (x, y, z) lies at (x, -z), a Z-up model's at (x, y).
Faces are read as OBJ defines them (`_obj`): every corner of a polygon
counts, and a negative reference counts back from the last vertex read.
geokern's own `generate_obb_2d_from_obj_file` reads files its own way
(the first three corners of a face; r - 1 indexing the vertices as a
Python list does) and is not used here.

Errors propagate as they are: `ObjError` (file and line) for a file that
is not OBJ text, OSError from opening it, ValueError when the points have
no box.
"""
from __future__ import annotations

import os
from typing import Literal

import numpy as np
import numpy.typing as npt

import geokern
from geokern_tools._obj import ObjError, read_used_vertices
from geokern_tools._output import StrPath

Up = Literal["y", "z"]

#: The note of a model without faces.
NO_FACES = "no faces"


def _box(points: npt.NDArray[np.float64]) -> str:
    wkt: str = geokern.generate_obb_2d_from_points(np.ascontiguousarray(points, dtype=np.float64))
    return wkt


def _ground(vertices: npt.NDArray[np.float64], up: str) -> npt.NDArray[np.float64]:
    if up == "y":
        ground: npt.NDArray[np.float64] = vertices[:, [0, 2]] * (1.0, -1.0)
        return ground
    if up == "z":
        return vertices[:, :2]
    raise ValueError(f"up must be 'y' or 'z', got {up!r}")


def model_footprint(path: StrPath, *, up: Up = "y") -> str | None:
    """WKT footprint box of an OBJ model, or None for a model without faces."""
    ground = _ground(read_used_vertices(path), up)
    if len(ground) == 0:
        return None
    try:
        return _box(ground)
    except (ValueError, np.linalg.LinAlgError) as exc:
        raise ValueError(f"{os.fspath(path)}: no footprint box ({exc})") from None


def footprint_with_note(path: StrPath, *, up: Up = "y") -> tuple[str | None, str | None]:
    """(WKT footprint or None, a note or None) of one OBJ model: a model
    without faces gives (None, "no faces").  Errors propagate."""
    wkt = model_footprint(path, up=up)
    return wkt, NO_FACES if wkt is None else None


def footprint_outcome(path: StrPath, *, up: Up = "y"
                      ) -> tuple[str | None, str | None, Exception | None]:
    """(WKT or None, note or None, error or None) of one OBJ model: the
    errors of a model that cannot be read are returned, not raised, so that
    a batch of models (worker processes, a Dask cluster) goes on past it."""
    try:
        return (*footprint_with_note(path, up=up), None)
    except (ObjError, OSError, ValueError) as exc:
        return None, None, exc


def footprint(path_or_points: StrPath | npt.ArrayLike, *, up: Up = "y") -> str | None:
    """WKT footprint box of an OBJ model (a path; None for a model without
    faces; `up` its up axis) or of an (N, 2) array of points.

    Raises `ObjError` (a ValueError naming the file and line) for a file
    that is not OBJ text, OSError as opening the file raises it, and
    ValueError for points without a box.
    """
    if isinstance(path_or_points, (str, os.PathLike)):
        return model_footprint(path_or_points, up=up)
    points = np.array(path_or_points, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 2:
        raise ValueError(f"points must have shape (N, 2), not {points.shape}")
    if len(points) == 0:
        raise ValueError("points must not be empty")
    return _box(points)
