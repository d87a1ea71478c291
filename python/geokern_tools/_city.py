"""Building models placed on the globe: anchors, georeferenced footprints
and the per-model work of `geokern tiles`.

A building model is authored in local metres.  An anchor puts its local
frame (`_frames`) at a longitude, latitude and ellipsoidal height, turned by
a heading (degrees clockwise from north); a Y-up model has east = x,
north = -z, up = y, a Z-up model east = x, north = y, up = z.

The work on one model does not depend on where it is placed, so it is done
once per model file (in worker processes or on a Dask cluster, hence
module-level functions and plain results): the GLB with crease-split
normals, the box around the GLB's scene and the model's footprint box in
its own ground metres.  Placing a model at an anchor is then a matrix, and
its footprint four corners turned into longitude and latitude.
"""
from __future__ import annotations

import contextlib
import csv
import math
import os
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

import geokern
from geokern_tools._errors import DataError
from geokern_tools._footprint import Up
from geokern_tools._frames import local_to_ecef_matrix

Floats = npt.NDArray[np.float64]

#: The columns of an anchors file; the first three are required.
ANCHOR_COLUMNS = ("model", "lon", "lat", "h", "heading")

#: The name of the footprints file in a tileset folder.
FOOTPRINTS = "footprints.geojson"


# ============================================================================
# Anchors
# ============================================================================


@dataclass(frozen=True)
class Anchor:
    """A model placed on the globe.  `model` is its path as the user wrote
    it (its name in outputs), `path` the path to open; `where` is the
    anchors file and line it came from, or None."""

    model: str
    path: str
    lon: float
    lat: float
    h: float = 0.0
    heading: float = 0.0
    where: str | None = None

    @property
    def origin(self) -> tuple[float, float, float]:
        return self.lon, self.lat, self.h


def _number(text: str, name: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise ValueError(f"{name} {text.strip()!r} is not a number") from None
    if not math.isfinite(value):
        raise ValueError(f"{name} must be finite, got {text.strip()!r}")
    return value


def _checked_place(lon: float, lat: float) -> None:
    if not -90.0 <= lat <= 90.0:
        raise ValueError(f"latitude {lat} is outside -90..90")
    if not -360.0 <= lon <= 360.0:
        raise ValueError(f"longitude {lon} is outside -360..360")


def parse_at(text: str) -> tuple[float, float, float]:
    """(lon, lat, h) of "LON,LAT" or "LON,LAT,H"; ValueError says what is wrong."""
    parts = text.split(",")
    if len(parts) not in (2, 3):
        raise ValueError(f"{text!r}: expected LON,LAT or LON,LAT,H")
    lon, lat, *rest = (_number(part, name) for part, name in zip(parts, ("lon", "lat", "h")))
    _checked_place(lon, lat)
    return lon, lat, rest[0] if rest else 0.0


def _looks_numeric(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _header(row: list[str], where: str) -> list[str] | None:
    """The columns named by the first row, or None when it is data (in the
    order model, lon, lat, h, heading)."""
    if len(row) >= 3 and _looks_numeric(row[1]) and _looks_numeric(row[2]):
        return None
    names = [cell.strip().lower() for cell in row]
    for name in names:
        if name not in ANCHOR_COLUMNS:
            raise DataError(f"{where}: unknown column {name!r} (expected "
                            f"{', '.join(ANCHOR_COLUMNS)})")
    for name in ANCHOR_COLUMNS[:3]:
        if name not in names:
            raise DataError(f"{where}: no column {name!r} (the columns are "
                            f"{', '.join(ANCHOR_COLUMNS[:3])}, and optionally h and heading)")
    if len(set(names)) != len(names):
        raise DataError(f"{where}: a column is named twice")
    return names


def _anchor(cells: dict[str, str], folder: str, where: str) -> Anchor:
    model = cells["model"].strip()
    if not model:
        raise ValueError("no model")
    lon = _number(cells["lon"], "lon")
    lat = _number(cells["lat"], "lat")
    _checked_place(lon, lat)
    h = _number(cells["h"], "h") if cells.get("h", "").strip() else 0.0
    heading = _number(cells["heading"], "heading") if cells.get("heading", "").strip() else 0.0
    path = os.path.join(folder, model)
    if not os.path.isfile(path):
        raise ValueError(f"{path}: " + ("not a file" if os.path.exists(path) else
                                        "no such file"))
    return Anchor(model, path, lon, lat, h, heading, where)


def read_anchors(path: str) -> list[Anchor]:
    """The anchors of a CSV file with the columns model, lon, lat and
    optionally h and heading (a header naming them, in any order, or none
    and that order); model paths are relative to the file's folder.  A bad
    row raises DataError naming the file and line."""
    folder = os.path.dirname(path)
    anchors: list[Anchor] = []
    line = 1
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            reader = csv.reader(f)
            names: list[str] | None = None
            first = True
            for row in reader:
                line = reader.line_num + 1
                where = f"{path}:{reader.line_num}"
                if not row or not any(cell.strip() for cell in row):
                    continue
                if first:
                    first = False
                    names = _header(row, where)
                    if names is not None:
                        continue
                columns = names or list(ANCHOR_COLUMNS)
                # Empty h and heading cells at the end of a row may be left out.
                least = max(columns.index(name) for name in ANCHOR_COLUMNS[:3]) + 1
                if not least <= len(row) <= len(columns):
                    raise DataError(f"{where}: expected {len(columns)} fields, found {len(row)}")
                try:
                    anchors.append(_anchor(dict(zip(columns, row)), folder, where))
                except ValueError as exc:
                    raise DataError(f"{where}: {exc}") from None
    except UnicodeDecodeError:
        raise DataError(f"{path}: not UTF-8 text") from None
    except csv.Error as exc:  # a NUL byte, a field over the size limit
        raise DataError(f"{path}:{line}: {exc}") from None
    if not anchors:
        raise DataError(f"{path}: no anchors")
    return anchors


def model_paths(arguments: Sequence[str]) -> list[str]:
    """The models of the command line: files as given, folders as their
    *.obj files in name order."""
    paths: list[str] = []
    for argument in arguments:
        if os.path.isdir(argument):
            found = sorted(entry.path for entry in os.scandir(argument)
                           if entry.name.lower().endswith(".obj") and entry.is_file())
            if not found:
                raise DataError(f"{argument}: no .obj files in the folder")
            paths += found
        else:
            paths.append(argument)
    return paths


# ============================================================================
# Footprints
# ============================================================================


@dataclass(frozen=True)
class LocalFootprint:
    """A model's footprint in its own ground metres: `ring` (5, 2) the box's
    corners (x east, y north of the model's frame, the first repeated last)
    and `wkt` the box as geokern writes it, or None for a model without
    faces; `height` (m) the model's vertical extent; `area` (m²) the box's
    area."""

    ring: Floats | None
    wkt: str | None
    height: float
    area: float


def local_footprint(vertices: Floats, up: Up) -> LocalFootprint:
    """The footprint of the used `vertices` (M, 3) of a model."""
    from geokern_tools._footprint import _box, _ground

    if len(vertices) == 0:
        return LocalFootprint(None, None, 0.0, 0.0)
    ground = _ground(vertices, up)
    vertical = vertices[:, 1 if up == "y" else 2]
    # Coordinates so large that the box's arithmetic overflows are refused,
    # not passed on as infinities with numpy's warnings.
    with np.errstate(all="raise"):
        try:
            height = float(vertical.max() - vertical.min())
            wkt = _box(ground)
            ring = np.array([[float(v) for v in corner.split()]
                             for corner in wkt[wkt.index("((") + 2:wkt.rindex("))")].split(",")])
            x, y = ring[:-1, 0], ring[:-1, 1]
            area = abs(float(np.dot(x, np.roll(y, -1)) - np.dot(y, np.roll(x, -1)))) / 2
        except FloatingPointError:
            raise ValueError("no footprint box (coordinates too large)") from None
        except (ValueError, np.linalg.LinAlgError) as exc:
            raise ValueError(f"no footprint box ({exc})") from None
    return LocalFootprint(ring, wkt, height, area)


def placed_rings(footprints: Sequence[LocalFootprint], anchors: Sequence[Anchor],
                 matrices: Sequence[Floats] | None = None) -> list[Floats | None]:
    """The (5, 2) lon/lat rings of footprints at their anchors (None for a
    model without faces), all corners in one geodetic batch.  `matrices`
    are the anchors' Y-up local-to-ECEF matrices where they are known."""
    corners, owners = [], []
    for number, (footprint, anchor) in enumerate(zip(footprints, anchors)):
        if footprint.ring is None:
            continue
        if matrices is None:
            matrix = local_to_ecef_matrix(anchor.origin, heading=anchor.heading, up="y")
        else:
            matrix = matrices[number]
        # Ground (x east, y north) is (x, 0, -y) in the Y-up frame.
        ring = footprint.ring
        local = np.c_[ring[:, 0], np.zeros(len(ring)), -ring[:, 1]]
        corners.append(local @ matrix[:3, :3].T + matrix[:3, 3])
        owners.append(number)
    rings: list[Floats | None] = [None] * len(anchors)
    if corners:
        ecef = np.ascontiguousarray(np.concatenate(corners))
        lonlat = geokern.ecef2geodetic_nparray_cy(ecef, np.eye(3))
        start = 0
        for number, block in zip(owners, corners):
            rings[number] = lonlat[start:start + len(block)]
            start += len(block)
    return rings


def footprint_properties(anchor: Anchor, footprint: LocalFootprint) -> dict[str, object]:
    return {"model": anchor.model, "height": round(footprint.height, 3),
            "area": round(footprint.area, 3)}


def ring_wkt(ring: Floats | None) -> str:
    if ring is None:
        return "POLYGON EMPTY"
    return "POLYGON((" + ",".join(f"{x!r} {y!r}" for x, y in ring.tolist()) + "))"


def ring_polygons(rings: Sequence[Floats | None]) -> list[object]:
    """Shapely polygons of rings (None stays None), for the GeoJSON writer."""
    import shapely

    return [None if ring is None else shapely.Polygon(ring) for ring in rings]


# ============================================================================
# The per-model work
# ============================================================================


@dataclass(frozen=True)
class ModelPiece:
    """What one model file gives a tileset: its GLB bytes (or that they are
    written), the (2, 3) box of the GLB's scene (glTF, y up), its footprint
    and the notes of reading it (materials that cannot be used, no faces)."""

    glb: bytes
    bounds: Floats
    footprint: LocalFootprint
    notes: tuple[str, ...]
    written: bool = False  # the GLB is in its file already, `glb` is empty


def _scene_bounds(low: Floats, high: Floats, up: Up) -> Floats:
    """The GLB scene box of a model box: Z-up models are turned to y up,
    (x, y, z) -> (x, z, -y)."""
    if up == "z":
        return np.array([[low[0], low[2], -high[1]], [high[0], high[2], -low[1]]])
    return np.array([low, high])


def model_piece(path: str, up: Up = "y", angle: float | None = None,
                target: str | None = None) -> ModelPiece:
    """The GLB (crease normals at `angle` degrees), scene box and footprint
    of the OBJ model at `path`; the GLB is written to the new file `target`
    when given (worker processes then write the files of a tileset
    folder themselves).  ObjError names the file and line; other faults of
    the mesh raise ValueError naming the file."""
    from geokern_tools._model_files import model_glb
    from geokern_tools._obj import read_obj_model

    model = read_obj_model(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            parts, summary = model_glb(model, mode="crease", angle=angle, up=up)
            used = model.vertices[np.unique(model.triangles)]
            footprint = local_footprint(used, up)
        except (ValueError, IndexError) as exc:
            raise ValueError(f"{path}: {exc}") from None
    notes = [str(warning.message) for warning in caught]
    if len(model.triangles) == 0:
        notes.append(f"{path}: no faces")
    bounds = _scene_bounds(summary.minimum, summary.maximum, up)
    if target is None:
        return ModelPiece(b"".join(parts), bounds, footprint, tuple(notes))
    with open(target, "xb") as f:
        f.writelines(parts)
    return ModelPiece(b"", bounds, footprint, tuple(notes), written=True)


def model_footprint(path: str, up: Up = "y") -> tuple[LocalFootprint, tuple[str, ...]]:
    """The footprint of the OBJ model at `path`, and its notes."""
    from geokern_tools._obj import read_obj_model

    model = read_obj_model(path)
    used = model.vertices[np.unique(model.triangles)]
    try:
        footprint = local_footprint(used, up)
    except ValueError as exc:
        raise ValueError(f"{path}: {exc}") from None
    return footprint, ((f"{path}: no faces",) if footprint.ring is None else ())


Outcome = tuple[object, Exception | None]


def outcome_of(function: object, path: str, *args: object) -> Outcome:
    """(function(path, *args), None), or (None, the error) for a model that
    cannot be read, so that a batch in worker processes or on a cluster goes
    on past it and the caller decides."""
    from geokern_tools._obj import ObjError

    try:
        return function(path, *args), None  # type: ignore[operator]
    except (ObjError, OSError, ValueError) as exc:
        return None, exc


def piece_outcome(path: str, up: Up, angle: float | None) -> Outcome:
    return outcome_of(model_piece, path, up, angle)


def written_piece_outcome(job: tuple[str, str], up: Up, angle: float | None) -> Outcome:
    """piece_outcome of a (model path, GLB file to write) pair."""
    return outcome_of(model_piece, job[0], up, angle, job[1])


def footprint_outcome(path: str, up: Up) -> Outcome:
    return outcome_of(model_footprint, path, up)


def error_text(exc: BaseException) -> str:
    """One line for an error of one model: an ObjError names its file and
    line already, an OSError its file."""
    if isinstance(exc, OSError) and exc.filename is not None:
        return f"{exc.filename}: {exc.strerror or exc}"
    return str(exc)


# ============================================================================
# The tileset
# ============================================================================


def glb_names(paths: Sequence[str]) -> list[str]:
    """A GLB file name for each model file: its name's stem, numbered
    where two share one."""
    taken: set[str] = set()
    names = []
    for path in paths:
        stem = os.path.splitext(os.path.basename(path))[0].lstrip(".").replace("\\", "_")
        stem = stem or "model"
        name, copy = f"{stem}.glb", 1
        while name in taken:
            copy += 1
            name = f"{stem}-{copy}.glb"
        taken.add(name)
        names.append(name)
    return names


Pieces = Callable[[Path, list[str]], Iterator[ModelPiece]]


def write_city_tileset(outdir: str, anchors: Sequence[Anchor], pieces: Pieces,
                       inputs: Sequence[str]) -> list[LocalFootprint]:
    """Writes the tileset of `anchors` into `outdir` (whole or not at all):
    one GLB per model file, shared by every anchor of that file, and
    footprints.geojson.  `pieces(folder, names)` yields the pieces of the
    distinct model files (`distinct_paths`) in order, their GLB files to be
    named `names` in `folder`; it is closed before the folder is removed on
    a failure.  Returns the footprints."""
    from geokern_tools._geojson import GeoJSONWriter
    from geokern_tools._tiles import tileset_output

    keys = [os.path.realpath(path) for path in distinct_paths(anchors)]
    names = glb_names(distinct_paths(anchors))
    known: dict[str, tuple[str, ModelPiece]] = {}
    footprints: list[LocalFootprint] = []
    matrices: list[Floats] = []
    with tileset_output(outdir, inputs) as tileset, \
            contextlib.closing(pieces(tileset.folder, names)) as produced:
        for anchor in anchors:
            key = os.path.realpath(anchor.path)
            transform = local_to_ecef_matrix(anchor.origin, heading=anchor.heading, up="y")
            matrices.append(transform)
            if key in known:
                name, piece = known[key]
                tileset.add_file(name, transform, piece.bounds)
            else:
                piece = next(produced)
                name = names[len(known)]
                assert keys[len(known)] == key
                if piece.written:
                    tileset.add_file(name, transform, piece.bounds)
                else:
                    tileset.add(piece.glb, transform, piece.bounds, name=name)
                # The bytes are on disk now; only the box and footprint are kept.
                known[key] = name, ModelPiece(b"", piece.bounds, piece.footprint, (), True)
            footprints.append(piece.footprint)
        rings = placed_rings(footprints, anchors, matrices)
        with open(tileset.folder / FOOTPRINTS, "wb") as f, GeoJSONWriter(f) as writer:
            writer.write_features(ring_polygons(rings), [
                footprint_properties(anchor, footprint)
                for anchor, footprint in zip(anchors, footprints)])
    return footprints


def distinct_paths(anchors: Sequence[Anchor]) -> list[str]:
    """The model files of `anchors`, each once, in the order of their first anchor."""
    seen: dict[str, str] = {}
    for anchor in anchors:
        seen.setdefault(os.path.realpath(anchor.path), anchor.path)
    return list(seen.values())
