"""What a tileset needs to know of a binary glTF (GLB) file: that it is one,
and the box its meshes span in the coordinates of its scene.

The box comes from the POSITION accessors' `min` and `max` (which glTF 2.0
requires) carried through the node hierarchy: each node's matrix, or its
translation, rotation (a unit quaternion x, y, z, w) and scale, applied as
T * R * S and multiplied down from the scene's root nodes.
"""
from __future__ import annotations

import json
import struct
from typing import Any

import numpy as np
import numpy.typing as npt

GLB_MAGIC = b"glTF"
_JSON_CHUNK = 0x4E4F534A
_HEADER = struct.Struct("<4sII")
_CHUNK = struct.Struct("<II")

Floats = npt.NDArray[np.float64]


class GlbError(ValueError):
    """Bytes that are not a GLB file this module can read."""


def check_glb_header(head: bytes) -> None:
    """Raises GlbError unless `head` starts a glTF 2.0 binary file."""
    if len(head) < _HEADER.size or head[:4] != GLB_MAGIC:
        raise GlbError("not a GLB file (no binary glTF header)")
    _, version, _ = _HEADER.unpack_from(head)
    if version != 2:
        raise GlbError(f"GLB version {version}; only glTF 2.0 is read")


def _json_chunk(data: bytes) -> dict[str, Any]:
    check_glb_header(data)
    _, _, length = _HEADER.unpack_from(data)
    if length > len(data) or len(data) < _HEADER.size + _CHUNK.size:
        raise GlbError("GLB file cut short")
    size, kind = _CHUNK.unpack_from(data, _HEADER.size)
    start = _HEADER.size + _CHUNK.size
    if kind != _JSON_CHUNK or start + size > length:
        raise GlbError("GLB file without a readable JSON chunk")
    try:
        gltf = json.loads(data[start:start + size])
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise GlbError(f"GLB JSON chunk: {exc}") from None
    if not isinstance(gltf, dict):
        raise GlbError("GLB JSON chunk is not an object")
    return gltf


def _node_matrix(node: dict[str, Any]) -> Floats:
    if "matrix" in node:
        return np.array(node["matrix"], dtype=np.float64).reshape(4, 4).T  # column-major
    x, y, z, w = node.get("rotation", (0.0, 0.0, 0.0, 1.0))
    rotation = np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    matrix = np.eye(4)
    matrix[:3, :3] = rotation * np.asarray(node.get("scale", (1.0, 1.0, 1.0)), dtype=np.float64)
    matrix[:3, 3] = node.get("translation", (0.0, 0.0, 0.0))
    return matrix


def _corners(lo: Floats, hi: Floats) -> Floats:
    """The 8 corners of the box [lo, hi] as homogeneous rows (8, 4)."""
    pick = np.array([[i >> 2 & 1, i >> 1 & 1, i & 1] for i in range(8)], dtype=bool)
    corners: Floats = np.c_[np.where(pick, hi, lo), np.ones(8)]
    return corners


def glb_scene_bounds(data: bytes) -> Floats:
    """(2, 3) float64: the lowest and highest scene coordinates of the GLB's
    meshes, a box that holds every vertex of the default scene (all root
    nodes when the file names no scene).  Raises GlbError for a file that is
    not GLB, has no mesh positions or has a node cycle."""
    gltf = _json_chunk(data)
    try:
        nodes = gltf.get("nodes", [])
        scenes = gltf.get("scenes")
        if scenes:
            roots = scenes[gltf.get("scene", 0)].get("nodes", [])
        else:
            children = {c for node in nodes for c in node.get("children", [])}
            roots = [i for i in range(len(nodes)) if i not in children]
        points: list[Floats] = []
        stack = [(int(i), np.eye(4), frozenset[int]()) for i in roots]
        while stack:
            index, parent, path = stack.pop()
            if index < 0:
                raise GlbError(f"GLB node index {index} is negative")
            if index in path:
                raise GlbError("GLB node hierarchy has a cycle")
            node = nodes[index]
            world = parent @ _node_matrix(node)
            if "mesh" in node:
                for primitive in gltf["meshes"][node["mesh"]]["primitives"]:
                    accessor = gltf["accessors"][primitive["attributes"]["POSITION"]]
                    lo = np.array(accessor["min"], dtype=np.float64)
                    hi = np.array(accessor["max"], dtype=np.float64)
                    points.append((_corners(lo, hi) @ world.T)[:, :3])
            stack += [(int(c), world, path | {index}) for c in node.get("children", [])]
    except (KeyError, IndexError, TypeError, ValueError) as exc:
        if isinstance(exc, GlbError):
            raise
        raise GlbError(f"GLB scene cannot be read ({type(exc).__name__}: {exc})") from None
    if not points:
        raise GlbError("GLB scene has no mesh positions")
    every = np.concatenate(points)
    if not np.isfinite(every).all():
        raise GlbError("GLB scene has positions that are not finite")
    bounds: Floats = np.stack([every.min(axis=0), every.max(axis=0)])
    return bounds
