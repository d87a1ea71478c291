"""Footprint boxes of point sets and OBJ models.

A model's footprint follows geokern's OBJ reader: the model is Y-up, vertex
(x, y, z) lies at (x, -z) on the ground, and only the vertices named as the
first three corners of a face count, each once.  geokern's reader is strict;
files it refuses are read again by the tolerant reader of `_obj`.
"""
from __future__ import annotations

import os

import numpy as np
import numpy.typing as npt

import geokern
from geokern_tools._obj import ObjError, StrPath, parse_obj

#: Notes of `footprint_with_note` that mean the model could not be read.
UNREADABLE = "cannot read"


def _box(points: npt.NDArray[np.float64]) -> str:
    wkt: str = geokern.generate_obb_2d_from_points(np.ascontiguousarray(points, dtype=np.float64))
    return wkt


def _tolerant(path: StrPath) -> str | None:
    vertices, faces = parse_obj(path)
    used = sorted({index for face in faces for index in face[:3]})
    if not used:
        return None
    return _box(vertices[used][:, [0, 2]] * (1.0, -1.0))


def footprint_with_note(path: StrPath) -> tuple[str | None, str | None]:
    """(WKT footprint or None, a note or None) of one OBJ model; never raises
    for a bad file: a model without faces or one that cannot be read gives
    None and a note saying why."""
    try:
        try:
            wkt: str | None = geokern.generate_obb_2d_from_obj_file(os.fspath(path))
            note = None
        except OSError:
            raise
        except Exception as exc:  # the strict reader refused the file
            wkt = _tolerant(path)
            note = f"read with the tolerant reader ({type(exc).__name__}: {exc})"
    except ObjError as exc:
        return None, f"{UNREADABLE}: {exc}"
    except OSError as exc:
        return None, f"{UNREADABLE}: {os.fspath(path)}: {exc.strerror or exc}"
    except (ValueError, np.linalg.LinAlgError) as exc:
        return None, f"{UNREADABLE}: {os.fspath(path)}: no footprint ({exc})"
    if wkt is None:
        return None, "no faces"
    return wkt, note


def footprint(path_or_points: StrPath | npt.ArrayLike) -> str | None:
    """WKT footprint box of an OBJ model (a path; None for a model without
    faces) or of an (N, 2) array of points.

    Raises ValueError (an `ObjError` naming the line for a bad file) or
    OSError when the box cannot be made.
    """
    if isinstance(path_or_points, (str, os.PathLike)):
        wkt, note = footprint_with_note(path_or_points)
        if note is not None and note.startswith(UNREADABLE):
            if isinstance(path_or_points, str) and not os.path.exists(path_or_points):
                raise FileNotFoundError(note)
            raise ValueError(note[len(UNREADABLE) + 2:])
        return wkt
    points = np.array(path_or_points, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 2:
        raise ValueError(f"points must have shape (N, 2), not {points.shape}")
    if len(points) == 0:
        raise ValueError("points must not be empty")
    return _box(points)
