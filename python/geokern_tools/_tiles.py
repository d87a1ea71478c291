"""3D Tiles 1.1 tilesets of many models placed on the globe.

Every model becomes one tile: its GLB file as content, a `transform` that
places it and a box around it.  A model is given with the 4 x 4 matrix that
takes its GLB's scene coordinates (glTF, y up) to ECEF metres.  Clients turn
glTF content from y up to z up before they apply a tile's transform, so the
tile's transform is that matrix times the z-up to y-up turn: the two turns
cancel and every vertex lands where the matrix puts it.  Transforms are
written in float64, column-major.

The model tiles are grouped in a tree over their positions: a group of at
most `LEAF_MODELS` models is a tile whose children are the model tiles;
larger groups are halved at the median along their longer horizontal
extent, twice, into up to four child groups.  A viewer then visits only the
groups in view and near enough to matter.

Bounding volumes are oriented boxes, not regions:
- a model's box lives in the model's own frame and moves with the tile's
  transform, so it fits the model whatever the model's heading;
- boxes are convex and flat-sided: a box holds another when it holds its
  eight corners.  Each group's box is fitted (in an east-north-up frame at
  the group's centre) around the corners of its children's boxes, so every
  child's volume lies inside its parent's by construction.  A region's top
  and bottom are curved ellipsoid surfaces, so corners inside it do not
  bring the edges between them along; it also needs cases of its own at the
  poles and across 180 degrees.
Every box half-length carries `PAD` on top, so boxes never have zero size and
round-off cannot put a corner outside its parent.

Geometric errors, in metres: a model tile has 0 (its content is the model
itself).  A group tile has no content; drawn without its children it leaves
out every model below it, so its error is the size (box diagonal) of the
largest of them: a viewer opens a group once that model would cover more
than its screen-space error limit.  The tileset's own error is the root
box's diagonal.
"""
from __future__ import annotations

import contextlib
import json
import os
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Any
from urllib.parse import quote

import numpy as np
import numpy.typing as npt

from geokern_tools._glb_read import GLB_MAGIC, GlbError, check_glb_header, glb_scene_bounds
from geokern_tools._output import output_folder

Floats = npt.NDArray[np.float64]
StrPath = str | os.PathLike[str]

#: glTF's y-up coordinates to 3D Tiles' z-up ones (rotation of +90 degrees
#: about x), as clients apply it to glTF content; and back.
Y_UP_TO_Z_UP: Floats = np.array(
    [[1.0, 0.0, 0.0, 0.0], [0.0, 0.0, -1.0, 0.0], [0.0, 1.0, 0.0, 0.0], [0.0, 0.0, 0.0, 1.0]])
Z_UP_TO_Y_UP: Floats = Y_UP_TO_Z_UP.T.copy()

#: Most models in a group whose children are model tiles.
LEAF_MODELS = 16
#: Added to every box half-length (metres in ECEF, model units in a model's box).
PAD = 0.01
#: WGS 84 first eccentricity squared, for the ellipsoid normal of group frames.
_E2 = (1 / 298.257223563) * (2 - 1 / 298.257223563)
#: Signs of the eight corners of a box.
_SIGNS: Floats = np.array([[(i >> 2 & 1) * 2 - 1, (i >> 1 & 1) * 2 - 1, (i & 1) * 2 - 1]
                           for i in range(8)], dtype=np.float64)

TILESET_JSON = "tileset.json"


# ============================================================================
# Boxes and frames
# ============================================================================


def _box_corners(center: Floats, axes: Floats) -> Floats:
    """(8, 3) corners of the box with `center` and half-axis rows `axes`."""
    corners: Floats = center + _SIGNS @ axes
    return corners


def _box_list(center: Floats, axes: Floats) -> list[float]:
    values: list[float] = np.concatenate([center, axes.ravel()]).tolist()
    return values


def _up_frame(origin: Floats) -> Floats:
    """Rows east, north, up of the frame on the WGS 84 ellipsoid normal
    through `origin` (ECEF, m); the ECEF axes near the earth's centre."""
    normal = np.array([origin[0], origin[1], origin[2] / (1 - _E2)])
    length = float(np.linalg.norm(normal))
    if not length > 1.0:
        return np.eye(3)
    up = normal / length
    east = np.cross([0.0, 0.0, 1.0], up)
    if not np.linalg.norm(east) > 1e-12:  # on the polar axis
        east = np.array([0.0, 1.0, 0.0])
    east /= np.linalg.norm(east)
    return np.stack([east, np.cross(up, east), up])


def _box_around(points: Floats) -> tuple[Floats, Floats]:
    """(center, half-axis rows) of a box holding `points` (K, 3), aligned
    with east, north and up at their centre."""
    origin = points.mean(axis=0)
    frame = _up_frame(origin)
    local = (points - origin) @ frame.T
    lo, hi = local.min(axis=0), local.max(axis=0)
    center: Floats = origin + ((lo + hi) / 2) @ frame
    axes: Floats = ((hi - lo) / 2 + PAD)[:, None] * frame
    return center, axes


# ============================================================================
# Models
# ============================================================================


@dataclass(frozen=True)
class _Model:
    uri: str
    transform: Floats  # the tile's transform
    box: list[float]  # in the tile's frame
    corners: Floats  # (8, 3) ECEF corners of that box
    size: float  # its diagonal, m


def _checked_transform(transform: npt.ArrayLike, label: str) -> Floats:
    try:
        # A copy: nothing the caller does later changes the tileset.
        matrix = np.array(transform, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{label}: transform must be a 4 x 4 array of numbers") from None
    if matrix.shape != (4, 4):
        raise ValueError(f"{label}: transform must have shape (4, 4), not {matrix.shape}")
    if not np.isfinite(matrix).all():
        raise ValueError(f"{label}: transform must be finite")
    if (matrix[3] != (0.0, 0.0, 0.0, 1.0)).any():
        raise ValueError(f"{label}: transform must be affine (last row 0, 0, 0, 1)")
    if not abs(np.linalg.det(matrix[:3, :3])) > 0.0:
        raise ValueError(f"{label}: transform must not be singular")
    return matrix


def _checked_bounds(bounds: npt.ArrayLike, label: str) -> Floats:
    try:
        box = np.array(bounds, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{label}: bounds must be a (2, 3) array of numbers") from None
    if box.shape != (2, 3):
        raise ValueError(f"{label}: bounds must have shape (2, 3) (lowest, highest x, y, z), "
                         f"not {box.shape}")
    if not np.isfinite(box).all():
        raise ValueError(f"{label}: bounds must be finite")
    if (box[0] > box[1]).any():
        raise ValueError(f"{label}: bounds must list the lowest coordinates first")
    return box


def _model(uri: str, transform: Floats, bounds: Floats) -> _Model:
    """The tile of one model: `transform` takes its scene coordinates to
    ECEF, `bounds` is its (2, 3) scene box."""
    tile_transform = transform @ Z_UP_TO_Y_UP
    # The scene box seen from the tile's z-up frame: (x, y, z) -> (x, -z, y).
    center_scene = (bounds[0] + bounds[1]) / 2
    half = (bounds[1] - bounds[0]) / 2 + PAD
    center = (Y_UP_TO_Z_UP[:3, :3] @ center_scene)
    axes = np.diag([half[0], half[2], half[1]])
    local = np.c_[_box_corners(center, axes), np.ones(8)]
    corners = (local @ tile_transform.T)[:, :3]
    size = float(np.linalg.norm(corners - corners.mean(axis=0), axis=1).max() * 2)
    return _Model(uri, tile_transform, _box_list(center, axes), corners, size)


def _model_tile(model: _Model) -> dict[str, Any]:
    return {"boundingVolume": {"box": model.box}, "geometricError": 0.0,
            "transform": model.transform.ravel(order="F").tolist(),
            "content": {"uri": model.uri}}


# ============================================================================
# The tree
# ============================================================================


def _halves(indices: npt.NDArray[np.intp], centers: Floats) -> list[npt.NDArray[np.intp]]:
    """`indices` split at the median of their centres' longer extent (east or
    north of their own frame); by count, so equal positions split too."""
    points = centers[indices]
    origin = points.mean(axis=0)
    local = (points - origin) @ _up_frame(origin)[:2].T
    axis = int(np.argmax(np.ptp(local, axis=0)))
    order = indices[np.argsort(local[:, axis], kind="stable")]
    middle = len(order) // 2
    return [order[:middle], order[middle:]]


def _group(models: Sequence[_Model], indices: npt.NDArray[np.intp], centers: Floats
           ) -> tuple[dict[str, Any], Floats, float]:
    """(tile, its box corners (8, 3) in ECEF, its geometric error)."""
    if len(indices) <= LEAF_MODELS:
        children = [_model_tile(models[i]) for i in indices]
        points = np.concatenate([models[i].corners for i in indices])
        error = max(models[i].size for i in indices)
    else:
        parts = [quarter for half in _halves(indices, centers)
                 for quarter in _halves(half, centers)]
        built = [_group(models, part, centers) for part in parts if len(part)]
        children = [tile for tile, _, _ in built]
        points = np.concatenate([corners for _, corners, _ in built])
        error = max(error for _, _, error in built)
    center, axes = _box_around(points)
    tile = {"boundingVolume": {"box": _box_list(center, axes)}, "geometricError": error,
            "children": children}
    return tile, _box_corners(center, axes), error


def tileset_document(models: Sequence[_Model]) -> dict[str, Any]:
    """The tileset.json object of `models` (at least one)."""
    if not models:
        raise ValueError("a tileset needs at least one model")
    centers = np.array([model.corners.mean(axis=0) for model in models])
    root, corners, _ = _group(models, np.arange(len(models)), centers)
    root["refine"] = "ADD"
    diagonal = float(np.linalg.norm(corners[7] - corners[0]))
    return {"asset": {"version": "1.1"}, "geometricError": diagonal, "root": root}


# ============================================================================
# Writing
# ============================================================================


class Tileset:
    """A tileset being assembled in `folder`: `add` GLB bytes or `add_file`
    GLB files already written there, then `write` tileset.json.

    `transform` is the 4 x 4 matrix (float64) that takes the model's GLB
    scene coordinates (glTF, y up, after its node transforms) to ECEF
    metres; `bounds` is the (2, 3) box (lowest, highest x, y, z) of those
    coordinates, read from the GLB (its accessors' min and max through its
    nodes) when not given.
    """

    def __init__(self, folder: StrPath) -> None:
        self.folder = Path(folder)
        self._models: list[_Model] = []
        self._names: set[str] = set()

    def __len__(self) -> int:
        return len(self._models)

    def taken(self, name: str) -> bool:
        """Whether a model file `name` is in the tileset or the folder."""
        return name in self._names or (self.folder / name).exists()

    def _model(self, name: str, data: bytes | None, transform: npt.ArrayLike,
               bounds: npt.ArrayLike | None) -> _Model:
        label = f"model {name!r}"
        matrix = _checked_transform(transform, label)
        try:
            if bounds is None:
                if data is None:
                    data = (self.folder / name).read_bytes()
                box = glb_scene_bounds(data)
            else:
                box = _checked_bounds(bounds, label)
        except GlbError as exc:
            raise GlbError(f"{label}: {exc}") from None
        return _model(quote(name, safe="/"), matrix, box)

    def _append(self, name: str, model: _Model) -> str:
        self._models.append(model)
        self._names.add(name)
        return model.uri

    def add(self, glb: bytes, transform: npt.ArrayLike, bounds: npt.ArrayLike | None = None,
            name: str | None = None) -> str:
        """Writes `glb` into the folder as `name` (a plain file name; ".glb"
        is appended when missing; "model-N.glb" when None) and adds its
        tile; returns the content's URI."""
        if name is None:
            number = len(self._models)
            while self.taken(f"model-{number}.glb"):
                number += 1
            name = f"model-{number}.glb"
        elif not name.endswith(".glb"):
            name += ".glb"
        if name != os.path.basename(name) or name.startswith(".") or "\\" in name:
            raise ValueError(f"model name {name!r} must be a plain file name")
        if self.taken(name):
            raise ValueError(f"model name {name!r} is taken")
        data = bytes(glb)
        try:
            check_glb_header(data[:12])
        except GlbError as exc:
            raise GlbError(f"model {name!r}: {exc}") from None
        model = self._model(name, data, transform, bounds)
        (self.folder / name).write_bytes(data)
        return self._append(name, model)

    def add_file(self, name: str, transform: npt.ArrayLike,
                 bounds: npt.ArrayLike | None = None) -> str:
        """Adds the tile of the GLB file `name` (a relative path, "/"
        separated) written into the folder beforehand; returns its URI."""
        relative = PurePosixPath(name)
        if relative.is_absolute() or ".." in relative.parts or "\\" in name or not relative.parts:
            raise ValueError(f"model file {name!r} must be a relative path inside the tileset")
        path = self.folder / relative
        if not path.is_file():
            raise FileNotFoundError(f"model file {name!r} is not in {self.folder}")
        with open(path, "rb") as f:
            head = f.read(12)
        try:
            check_glb_header(head)
        except GlbError as exc:
            raise GlbError(f"model {name!r}: {exc}") from None
        name = relative.as_posix()
        return self._append(name, self._model(name, None, transform, bounds))

    def write(self) -> dict[str, Any]:
        """Writes tileset.json into the folder; returns its object."""
        document = tileset_document(self._models)
        # json.dumps, not json.dump: only the one-shot encoder is native,
        # and a tileset of many models is a large document.
        text = json.dumps(document, separators=(",", ":"), allow_nan=False)
        with open(self.folder / TILESET_JSON, "w", encoding="utf-8") as f:
            f.write(text)
        return document


@contextlib.contextmanager
def tileset_output(outdir: StrPath, inputs: Sequence[str] = ()) -> Iterator[Tileset]:
    """Yields a `Tileset` assembled in a folder beside `outdir`; when the
    block ends normally tileset.json is written and the folder replaces
    `outdir` whole, and when it raises nothing is left behind.  An existing
    `outdir` is replaced only when it holds JSON, GeoJSON and GLB files
    alone, and never when it holds one of `inputs`."""
    with output_folder(os.fspath(outdir), inputs, replaceable=_tileset_file) as folder:
        tileset = Tileset(folder)
        yield tileset
        tileset.write()


def _tileset_file(relative: str) -> bool:
    """Whether a file may be in a tileset folder that is replaced: JSON,
    GeoJSON (footprints) and GLB files only, so that a mistyped folder of
    other data is kept."""
    return relative.endswith((".json", ".geojson", ".glb"))


ModelEntry = tuple[bytes | StrPath, npt.ArrayLike] | tuple[bytes | StrPath, npt.ArrayLike,
                                                          npt.ArrayLike | None]


def write_tileset(outdir: StrPath, models: Iterable[ModelEntry]) -> None:
    """Writes a 3D Tiles 1.1 tileset of `models` into the folder `outdir`
    (replaced whole; see `tileset_output`).

    Each model is (content, transform) or (content, transform, bounds):
    content GLB bytes or the path of a GLB file (copied in under its own
    name, numbered when two share one), transform and bounds as `Tileset`
    takes them.
    """
    with tileset_output(outdir) as tileset:
        for content, transform, *rest in models:
            bounds = rest[0] if rest else None
            if isinstance(content, (bytes, bytearray, memoryview)):
                tileset.add(bytes(content), transform, bounds)
                continue
            data = Path(content).read_bytes()
            if data[:4] != GLB_MAGIC:
                raise GlbError(f"{os.fspath(content)}: not a GLB file (no binary glTF header)")
            stem = os.path.splitext(os.path.basename(content))[0].lstrip(".") or "model"
            name, copy = f"{stem}.glb", 1
            while tileset.taken(name):
                copy += 1
                name = f"{stem}-{copy}.glb"
            tileset.add(data, transform, bounds, name=name)
