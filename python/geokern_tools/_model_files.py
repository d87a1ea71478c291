"""OBJ models with vertex normals, written as OBJ or as GLB.

`obj_to_glb` reads an OBJ model, computes its normals about a local origin
(`mesh_normals`) and writes a GLB: the model's materials (``mtllib`` and
``usemtl``) become glTF materials, one primitive each, and where a material
has a texture the vertices are split so that each carries one texture
coordinate.  `obj_with_normals` writes the model back as OBJ with normals,
keeping its texture coordinates and its named statements.
"""
from __future__ import annotations

import os
import warnings
from typing import IO, Literal, NamedTuple

import numpy as np
import numpy.typing as npt

from geokern_tools._gltf import Material, glb_bytes
from geokern_tools._mesh import Mode, ShadedMesh, column_bounds, mesh_normals
from geokern_tools._mtl import MaterialWarning, read_mtl
from geokern_tools._obj import NO_TEXCOORD, ObjModel, model_statements, read_obj_model, \
    write_shaded_obj
from geokern_tools._output import StrPath, binary_output


class GlbSummary(NamedTuple):
    """What a GLB written from a model holds.

    origin: float64 (3,), the point of the model (in its own coordinates)
        that the GLB's positions are taken about; the GLB's node translation.
    minimum, maximum: float64 (3,), the corners of the box around the GLB's
        vertices as its node places them, in the model's coordinates.
    vertices, triangles: the GLB's counts.
    """

    origin: npt.NDArray[np.float64]
    minimum: npt.NDArray[np.float64]
    maximum: npt.NDArray[np.float64]
    vertices: int
    triangles: int


def _model(source: StrPath | ObjModel) -> ObjModel:
    return source if isinstance(source, ObjModel) else read_obj_model(source)


def _library(model: ObjModel) -> dict[str, Material]:
    """The materials of the model's mtllib files (relative to the model)."""
    folder = os.path.dirname(model.path)
    found: dict[str, Material] = {}
    for _, names in model_statements(model, "mtllib"):
        # File names may hold blanks: the whole rest is tried first.
        for name in [names] if os.path.exists(os.path.join(folder, names)) else names.split():
            path = os.path.join(folder, name)
            try:
                found.update(read_mtl(path))
            except OSError as exc:
                warnings.warn(f"cannot read material library {path}: {exc.strerror or exc}",
                              MaterialWarning, stacklevel=2)
    return found


def _materials(model: ObjModel) -> tuple[list[Material], npt.NDArray[np.intp]]:
    """The materials the model's triangles use, and each triangle's."""
    uses = model_statements(model, "usemtl")
    per_triangle = np.zeros(len(model.triangles), np.intp)
    if not uses:
        return [Material()], per_triangle
    library = _library(model)
    materials = [Material()]  # for triangles before the first usemtl
    known: dict[str, int] = {}
    for at, name in uses:
        if name not in known:
            if name not in library:
                warnings.warn(f"{model.path}: material {name!r} is not defined; plain grey "
                              "is used", MaterialWarning, stacklevel=2)
            known[name] = len(materials)
            materials.append(library.get(name, Material(name)))
        per_triangle[at:] = known[name]
    return materials, per_triangle


def _texcoords_split(model: ObjModel, mesh: ShadedMesh
                     ) -> tuple[ShadedMesh, npt.NDArray[np.float32]]:
    """`mesh` with a vertex per (vertex, texture vertex) its corners name,
    and each vertex's (u, v) for glTF (v counted from the top)."""
    assert model.triangle_texcoords is not None
    span = len(model.texcoords) + 1
    texture = model.triangle_texcoords.astype(np.int64)
    texture[texture == NO_TEXCOORD] = -1
    keys = mesh.triangles.astype(np.int64) * span + (texture + 1)
    unique, inverse = np.unique(keys.reshape(-1), return_inverse=True)
    vertex = unique // span
    which = unique % span - 1
    uv = np.zeros((len(unique), 2), np.float32)
    width = min(2, model.texcoords.shape[1])
    has = which >= 0
    uv[has, :width] = model.texcoords[which[has], :width]
    uv[:, 1] = 1.0 - uv[:, 1]
    split = ShadedMesh(mesh.positions[vertex], mesh.normals[vertex],
                       inverse.reshape(-1, 3).astype(np.uint32), mesh.source[vertex], mesh.origin)
    return split, uv


def model_glb(source: StrPath | ObjModel, *, mode: Mode = "crease", angle: float | None = None,
              up: Literal["y", "z"] = "y", origin: npt.ArrayLike | None = None
              ) -> tuple[list[bytes | memoryview], GlbSummary]:
    """The GLB file of an OBJ model (as parts to write in order) and its summary."""
    model = _model(source)
    mesh = mesh_normals(model.vertices, model.triangles, mode, angle=angle, origin=origin)
    materials, per_triangle = _materials(model)
    texcoords = None
    if any(m.image is not None for m in materials):
        if model.triangle_texcoords is None:
            warnings.warn(f"{model.path}: textures need texture coordinates, which the faces do "
                          "not name; the materials' colours are used", MaterialWarning,
                          stacklevel=2)
            materials = [Material(m.name, m.color) for m in materials]
        else:
            mesh, texcoords = _texcoords_split(model, mesh)
    name = os.path.splitext(os.path.basename(model.path))[0] or None
    parts = glb_bytes(mesh, up=up, name=name, texcoords=texcoords,
                      triangle_materials=per_triangle, materials=materials)
    if len(mesh.positions):
        low, high = column_bounds(mesh.positions)
        minimum, maximum = mesh.origin + low, mesh.origin + high
    else:
        minimum, maximum = mesh.origin.copy(), mesh.origin.copy()
    return parts, GlbSummary(mesh.origin, minimum, maximum, len(mesh.positions),
                             len(mesh.triangles))


def obj_to_glb(source: StrPath | ObjModel, target: StrPath | IO[bytes], *,
               mode: Mode = "crease", angle: float | None = None,
               up: Literal["y", "z"] = "y", origin: npt.ArrayLike | None = None) -> GlbSummary:
    """Writes an OBJ model (a path or a model read by `read_obj_model`) as a
    GLB file with normals of `mode` ("smooth", "flat" or "crease" at `angle`
    degrees, default 60), to a path (replaced whole) or a binary stream.

    The model is taken as Y-up (glTF's own axes) or, with up="z", Z-up and
    turned to Y-up.  Positions are float32 about `origin` (by default the
    centre of the model's box), which the GLB's node translation adds back;
    the summary gives the origin and the box.  Materials that cannot be
    used as they stand are reported as `MaterialWarning`s.
    """
    parts, summary = model_glb(source, mode=mode, angle=angle, up=up, origin=origin)
    with binary_output(target) as out:
        for part in parts:
            out.write(part)
    return summary


def obj_with_normals(source: StrPath | ObjModel, target: StrPath | IO[bytes], *,
                     mode: Mode = "crease", angle: float | None = None) -> ShadedMesh:
    """Writes an OBJ model as OBJ with normals of `mode`: `vn` lines and
    faces `v//vn` or `v/vt/vn`, texture coordinates and the mtllib,
    usemtl, o, g and s lines kept in place, positions at full precision.
    Returns the shaded mesh."""
    model = _model(source)
    mesh = mesh_normals(model.vertices, model.triangles, mode, angle=angle)
    write_shaded_obj(target, model, model.vertices[mesh.source], mesh.normals, mesh.triangles)
    return mesh
