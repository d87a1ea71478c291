"""glTF 2.0 binary (GLB) files of shaded triangle meshes.

One GLB holds one mesh under one node: positions as float32 about a local
origin, which the node's translation puts back (so a client that applies
the node transform finds every vertex at its full-precision place, and the
origin is recorded in the file), unit normals, optional texture
coordinates, and indices in the smallest type that can number the vertices
(UNSIGNED_BYTE up to 255 vertices, UNSIGNED_SHORT up to 65 535, else
UNSIGNED_INT: the largest value of each type is the primitive-restart
value, which an index must not take).  Triangles are grouped into one
primitive per material.  Every buffer view starts on a 4-byte boundary and
names its target; POSITION carries its min and max.  glTF is Y-up: a Z-up
mesh (up="z") is turned to x, z, -y, which is exact.

A mesh without triangles gives a valid file with the node and no mesh.
"""
from __future__ import annotations

import json
import struct
from collections.abc import Sequence
from dataclasses import dataclass
from typing import IO, Any, Literal

import numpy as np
import numpy.typing as npt

from geokern_tools._mesh import ShadedMesh, column_bounds
from geokern_tools._output import StrPath, binary_output

_MAGIC = b"glTF"
_JSON_CHUNK = 0x4E4F534A
_BIN_CHUNK = 0x004E4942
_ARRAY_BUFFER = 34962
_ELEMENT_ARRAY_BUFFER = 34963
_FLOAT = 5126
_INDEX_TYPES = ((255, 5121, np.uint8), (65535, 5123, np.uint16), (0xFFFFFFFF, 5125, np.uint32))


@dataclass(frozen=True)
class Material:
    """A material: a colour (r, g, b, alpha, each 0..1) and optionally a PNG
    or JPEG image as its texture (`image` the file's bytes, `mime`
    "image/png" or "image/jpeg"), which then stands for the colour: the
    base colour becomes (1, 1, 1, alpha) times the texture.  Surfaces are
    dielectric and rough, as OBJ's diffuse materials are meant."""

    name: str | None = None
    color: tuple[float, float, float, float] = (0.8, 0.8, 0.8, 1.0)
    image: bytes | None = None
    mime: str | None = None


def index_type(vertex_count: int) -> tuple[int, type[np.unsignedinteger[Any]]]:
    """(glTF component type, numpy dtype) of indices into `vertex_count` vertices."""
    for most, component, dtype in _INDEX_TYPES:
        if vertex_count <= most:
            return component, dtype
    raise ValueError(f"{vertex_count} vertices are more than glTF indices can number")


class _Buffer:
    """The BIN chunk as it grows: views on 4-byte boundaries."""

    def __init__(self) -> None:
        self.parts: list[bytes | memoryview] = []
        self.length = 0
        self.views: list[dict[str, Any]] = []

    def add(self, data: bytes | memoryview, target: int | None = None) -> int:
        pad = -self.length % 4
        if pad:
            self.parts.append(b"\0" * pad)
            self.length += pad
        view: dict[str, Any] = {"buffer": 0, "byteOffset": self.length,
                                "byteLength": len(data)}
        if target is not None:
            view["target"] = target
        self.parts.append(data)
        self.length += len(data)
        self.views.append(view)
        return len(self.views) - 1

    def finish(self) -> None:
        pad = -self.length % 4
        if pad:
            self.parts.append(b"\0" * pad)
            self.length += pad


def _bytes_of(array: npt.NDArray[Any]) -> memoryview:
    return memoryview(np.ascontiguousarray(array)).cast("B")


def _vertex_accessor(gltf: dict[str, Any], buffer: _Buffer, data: npt.NDArray[np.float32],
                     kind: str, bounds: bool = False) -> int:
    accessor: dict[str, Any] = {"bufferView": buffer.add(_bytes_of(data), _ARRAY_BUFFER),
                                "componentType": _FLOAT, "count": len(data), "type": kind}
    if bounds:
        low, high = column_bounds(data)
        accessor["min"], accessor["max"] = low.tolist(), high.tolist()
    gltf["accessors"].append(accessor)
    return len(gltf["accessors"]) - 1


def _material(gltf: dict[str, Any], buffer: _Buffer, material: Material) -> int:
    colour = [min(1.0, max(0.0, float(c))) for c in material.color]
    if material.image is not None:
        colour[:3] = [1.0, 1.0, 1.0]
    pbr: dict[str, Any] = {"baseColorFactor": colour, "metallicFactor": 0.0,
                           "roughnessFactor": 1.0}
    if material.image is not None:
        view = buffer.add(material.image)
        gltf.setdefault("images", []).append({"bufferView": view, "mimeType": material.mime})
        gltf.setdefault("textures", []).append({"source": len(gltf["images"]) - 1})
        pbr["baseColorTexture"] = {"index": len(gltf["textures"]) - 1}
    entry: dict[str, Any] = {"pbrMetallicRoughness": pbr}
    if material.name:
        entry["name"] = material.name
    if colour[3] < 1.0:
        entry["alphaMode"] = "BLEND"
    gltf.setdefault("materials", []).append(entry)
    return len(gltf["materials"]) - 1


def _by_material(per_triangle: npt.NDArray[np.intp]
                 ) -> list[tuple[int, npt.NDArray[np.intp] | None]]:
    """(material, its triangles in order) of each material used, in the
    materials' order; None for all triangles when there is one material."""
    if per_triangle.min() == per_triangle.max():
        return [(int(per_triangle[0]), None)]
    order = np.argsort(per_triangle, kind="stable")
    used, starts = np.unique(per_triangle[order], return_index=True)
    ends = [*starts[1:], len(order)]
    return [(m, order[start:end]) for m, start, end in zip(used.tolist(), starts.tolist(), ends)]


def _y_up(rows: npt.NDArray[Any], up: str) -> npt.NDArray[Any]:
    if up == "y":
        return rows
    if up == "z":
        turned = rows[..., [0, 2, 1]]
        turned[..., 2] *= -1
        return turned
    raise ValueError(f"up must be 'y' or 'z', got {up!r}")


def glb_bytes(mesh: ShadedMesh, *, up: Literal["y", "z"] = "y", name: str | None = None,
              texcoords: npt.ArrayLike | None = None,
              triangle_materials: npt.ArrayLike | None = None,
              materials: Sequence[Material] | None = None,
              generator: str = "geokern_tools") -> list[bytes | memoryview]:
    """The GLB file of `mesh` as a list of byte strings to write in order.

    texcoords: (M, 2), one (u, v) per vertex of `mesh`, glTF's way round
        (v = 0 at the top of the image).
    triangle_materials: (T,) indices into `materials`, one per triangle;
        by default every triangle has material 0.
    materials: by default one plain light grey material.
    """
    positions = _y_up(np.asarray(mesh.positions, np.float32), up)
    normals = _y_up(np.asarray(mesh.normals, np.float32), up)
    origin = _y_up(np.asarray(mesh.origin, np.float64), up)
    triangles = np.asarray(mesh.triangles)
    count, n_tris = len(positions), len(triangles)
    if normals.shape != positions.shape or positions.ndim != 2 or positions.shape[1:] != (3,):
        raise ValueError(f"positions and normals must be (M, 3) alike, not {positions.shape} "
                         f"and {normals.shape}")
    if n_tris and ((triangles.dtype.kind != "u" and triangles.min() < 0)
                   or triangles.max() >= count):
        raise IndexError(f"triangles refer to vertices outside 0..{count - 1}")
    materials = list(materials) if materials else [Material()]
    per_triangle = (np.zeros(n_tris, np.intp) if triangle_materials is None
                    else np.asarray(triangle_materials, np.intp).reshape(-1))
    if len(per_triangle) != n_tris:
        raise ValueError(f"triangle_materials must have {n_tris} entries, not {len(per_triangle)}")
    if n_tris and (per_triangle.min() < 0 or per_triangle.max() >= len(materials)):
        raise IndexError(f"triangle_materials refer to materials outside 0..{len(materials) - 1}")

    node: dict[str, Any] = {}
    if name:
        node["name"] = name
    if origin.any():
        node["translation"] = origin.tolist()
    gltf: dict[str, Any] = {"asset": {"version": "2.0", "generator": generator},
                            "scene": 0, "scenes": [{"nodes": [0]}], "nodes": [node]}
    buffer = _Buffer()
    if n_tris:
        gltf["accessors"] = []
        attributes = {"POSITION": _vertex_accessor(gltf, buffer, positions, "VEC3", True),
                      "NORMAL": _vertex_accessor(gltf, buffer, normals, "VEC3")}
        uv_accessor = None
        if texcoords is not None:
            uv = np.asarray(texcoords, np.float32)
            if uv.shape != (count, 2):
                raise ValueError(f"texcoords must have shape ({count}, 2), not {uv.shape}")
            uv_accessor = _vertex_accessor(gltf, buffer, uv, "VEC2")
        component, dtype = index_type(count)
        primitives = []
        for material, rows in _by_material(per_triangle):
            indices = (triangles if rows is None else triangles[rows]).astype(dtype).reshape(-1)
            gltf["accessors"].append({
                "bufferView": buffer.add(_bytes_of(indices), _ELEMENT_ARRAY_BUFFER),
                "componentType": component, "count": len(indices), "type": "SCALAR"})
            primitive: dict[str, Any] = {"attributes": dict(attributes),
                                         "indices": len(gltf["accessors"]) - 1,
                                         "material": _material(gltf, buffer, materials[material])}
            if materials[material].image is not None:
                if uv_accessor is None:
                    raise ValueError(f"material {materials[material].name!r} has a texture, "
                                     "but there are no texture coordinates")
                primitive["attributes"]["TEXCOORD_0"] = uv_accessor
            primitives.append(primitive)
        gltf["meshes"] = [{"primitives": primitives, **({"name": name} if name else {})}]
        node["mesh"] = 0
        buffer.finish()
        gltf["buffers"] = [{"byteLength": buffer.length}]
        gltf["bufferViews"] = buffer.views
    text = json.dumps(gltf, separators=(",", ":")).encode("utf-8")
    text += b" " * (-len(text) % 4)
    total = 12 + 8 + len(text) + (8 + buffer.length if buffer.length else 0)
    parts: list[bytes | memoryview] = [struct.pack("<4sII", _MAGIC, 2, total),
                                       struct.pack("<II", len(text), _JSON_CHUNK), text]
    if buffer.length:
        parts.append(struct.pack("<II", buffer.length, _BIN_CHUNK))
        parts.extend(buffer.parts)
    return parts


def write_glb(target: StrPath | IO[bytes], mesh: ShadedMesh, *, up: Literal["y", "z"] = "y",
              name: str | None = None, texcoords: npt.ArrayLike | None = None,
              triangle_materials: npt.ArrayLike | None = None,
              materials: Sequence[Material] | None = None) -> None:
    """Writes `mesh` as a GLB file to a path (replaced whole, or left as it
    was on failure) or a binary stream; see `glb_bytes` for the options."""
    parts = glb_bytes(mesh, up=up, name=name, texcoords=texcoords,
                      triangle_materials=triangle_materials, materials=materials)
    with binary_output(target) as out:
        for part in parts:
            out.write(part)
