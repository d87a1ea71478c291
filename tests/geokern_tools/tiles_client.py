"""A small 3D Tiles 1.1 client for the tests, written from the format's rules
alone (nothing of geokern_tools): a vertex of a tile's glTF content goes
through the glTF node transforms, then the turn from y up to z up, then the
tile transforms from the root down.  Also a minimal GLB writer for test
content, and the reference placement of local points with pymap3d."""
import json
import math
import struct

import numpy as np
import pytest

pymap3d = pytest.importorskip("pymap3d")

import geokern

Y_UP_TO_Z_UP = np.array([[1, 0, 0, 0], [0, 0, -1, 0], [0, 1, 0, 0], [0, 0, 0, 1]], dtype=float)


# ----------------------------------------------------------------------------
# GLB


def _pad(data, fill):
    return data + fill * (-len(data) % 4)


def make_glb(vertices, faces, *, color=(0.8, 0.35, 0.25, 1.0), matrix=None, edit=None):
    """GLB of a flat-shaded triangle mesh (float32 positions, uint32 indices,
    one material); `matrix` (4 x 4, row-major) becomes the node's matrix,
    `edit` may change the glTF JSON object before it is written."""
    pos = np.ascontiguousarray(vertices, dtype=np.float32)
    idx = np.ascontiguousarray(faces, dtype=np.uint32).ravel()
    pos, normals, idx, _ = geokern.expand_flat_shaded_mesh_cy(pos, idx)
    blobs = [pos.tobytes(), normals.tobytes(), idx.tobytes()]
    offsets = np.cumsum([0] + [len(b) for b in blobs]).tolist()
    node = {"mesh": 0}
    if matrix is not None:
        node["matrix"] = np.asarray(matrix, dtype=float).T.ravel().tolist()
    gltf = {
        "asset": {"version": "2.0"},
        "scene": 0, "scenes": [{"nodes": [0]}], "nodes": [node],
        "meshes": [{"primitives": [{"attributes": {"POSITION": 0, "NORMAL": 1}, "indices": 2,
                                    "material": 0}]}],
        "materials": [{"pbrMetallicRoughness": {"baseColorFactor": list(color),
                                                "metallicFactor": 0.0, "roughnessFactor": 1.0},
                       "doubleSided": True}],
        "buffers": [{"byteLength": offsets[-1]}],
        "bufferViews": [{"buffer": 0, "byteOffset": offsets[i], "byteLength": len(blobs[i]),
                         "target": 34963 if i == 2 else 34962} for i in range(3)],
        "accessors": [
            {"bufferView": 0, "componentType": 5126, "count": len(pos), "type": "VEC3",
             "min": pos.min(axis=0).tolist(), "max": pos.max(axis=0).tolist()},
            {"bufferView": 1, "componentType": 5126, "count": len(pos), "type": "VEC3"},
            {"bufferView": 2, "componentType": 5125, "count": len(idx), "type": "SCALAR"}],
    }
    if edit is not None:
        edit(gltf)
    text = _pad(json.dumps(gltf).encode(), b" ")
    binary = _pad(b"".join(blobs), b"\0")
    length = 12 + 8 + len(text) + 8 + len(binary)
    return (struct.pack("<4sII", b"glTF", 2, length) + struct.pack("<II", len(text), 0x4E4F534A)
            + text + struct.pack("<II", len(binary), 0x004E4942) + binary)


def read_glb(data):
    magic, version, length = struct.unpack_from("<4sII", data)
    assert magic == b"glTF" and version == 2 and length == len(data)
    size, kind = struct.unpack_from("<II", data, 12)
    assert kind == 0x4E4F534A
    gltf = json.loads(data[20:20 + size])
    offset = 20 + size
    binary = b""
    if offset < length:
        bin_size, bin_kind = struct.unpack_from("<II", data, offset)
        assert bin_kind == 0x004E4942
        binary = data[offset + 8:offset + 8 + bin_size]
    return gltf, binary


def _node_matrix(node):
    """A node's local matrix: its `matrix`, or T * R * S of its translation,
    rotation (unit quaternion x, y, z, w) and scale."""
    if "matrix" in node:
        assert not {"translation", "rotation", "scale"} & set(node)
        return np.array(node["matrix"], dtype=float).reshape(4, 4).T
    x, y, z, w = node.get("rotation", (0.0, 0.0, 0.0, 1.0))
    rotation = np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                         [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                         [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])
    m = np.eye(4)
    m[:3, :3] = rotation * np.asarray(node.get("scale", (1.0, 1.0, 1.0)), dtype=float)
    m[:3, 3] = node.get("translation", (0.0, 0.0, 0.0))
    return m


def scene_positions(data):
    """Every vertex of the GLB's default scene, in scene coordinates
    (node transforms applied), float64 (N, 3)."""
    gltf, binary = read_glb(data)
    out = []

    def visit(index, parent):
        node = gltf["nodes"][index]
        world = parent @ _node_matrix(node)
        if "mesh" in node:
            for prim in gltf["meshes"][node["mesh"]]["primitives"]:
                acc = gltf["accessors"][prim["attributes"]["POSITION"]]
                assert acc["componentType"] == 5126 and acc["type"] == "VEC3"
                view = gltf["bufferViews"][acc["bufferView"]]
                stride = view.get("byteStride", 12)
                start = view.get("byteOffset", 0) + acc.get("byteOffset", 0)
                raw = np.frombuffer(binary, np.uint8, acc["count"] * stride, start)
                xyz = raw.reshape(-1, stride)[:, :12].copy().view(np.float32).astype(float)
                out.append(xyz @ world[:3, :3].T + world[:3, 3])
        for child in node.get("children", []):
            visit(child, world)

    for root in gltf["scenes"][gltf.get("scene", 0)]["nodes"]:
        visit(root, np.eye(4))
    return np.concatenate(out)


# ----------------------------------------------------------------------------
# Tilesets


def tiles(tileset):
    """(tile, its transform to the tileset's frame, parent tile or None, the
    parent's transform), from the root down; a child's transform
    post-multiplies its parent's."""
    stack = [(tileset["root"], None, np.eye(4))]
    while stack:
        tile, parent, above = stack.pop()
        local = np.array(tile.get("transform", np.eye(4).ravel()), dtype=float)
        world = above @ local.reshape(4, 4).T  # column-major
        yield tile, world, parent, above
        stack += [(child, tile, world) for child in tile.get("children", [])]


def content_ecef(scene_xyz, world):
    """ECEF of scene vertices of a tile's glTF content: y up to z up, then
    the tile's full transform."""
    homogeneous = np.c_[scene_xyz, np.ones(len(scene_xyz))]
    return (homogeneous @ (world @ Y_UP_TO_Z_UP).T)[:, :3]


def box_corners(box, world):
    """The 8 corners of a `box` bounding volume, in the tileset's frame."""
    box = np.asarray(box, dtype=float)
    signs = np.array([[a, b, c] for a in (-1, 1) for b in (-1, 1) for c in (-1, 1)], dtype=float)
    local = box[:3] + signs @ box[3:].reshape(3, 3)
    return local @ world[:3, :3].T + world[:3, 3]


def outside_box(box, world, points):
    """How far (m, along the box's axes) the farthest of `points` (tileset
    frame) lies outside the `box` of a tile with transform `world`; <= 0
    when all are inside."""
    box = np.asarray(box, dtype=float)
    axes = world[:3, :3] @ box[3:].reshape(3, 3).T  # columns: half-axes
    center = world[:3, :3] @ box[:3] + world[:3, 3]
    units = np.linalg.solve(axes, (np.asarray(points) - center).T)  # in half-lengths
    lengths = np.linalg.norm(axes, axis=0)
    return float(((np.abs(units) - 1) * lengths[:, None]).max())


# ----------------------------------------------------------------------------
# Reference placement


def scene_to_ecef_matrix(lon, lat, h, heading):
    """4 x 4 matrix from a y-up model frame (east = x, north = -z, up = y)
    turned by `heading` (degrees clockwise from north) at (lon, lat, h) to
    ECEF: the textbook east-north-up rotation."""
    lam, phi, psi = map(math.radians, (lon, lat, heading))
    east = np.array([-math.sin(lam), math.cos(lam), 0.0])
    north = np.array([-math.sin(phi) * math.cos(lam), -math.sin(phi) * math.sin(lam), math.cos(phi)])
    up = np.array([math.cos(phi) * math.cos(lam), math.cos(phi) * math.sin(lam), math.sin(phi)])
    model_east = math.cos(psi) * east - math.sin(psi) * north
    model_north = math.sin(psi) * east + math.cos(psi) * north
    m = np.eye(4)
    m[:3, 0], m[:3, 1], m[:3, 2] = model_east, up, -model_north
    m[:3, 3] = pymap3d.geodetic2ecef(lat, lon, h)
    return m


def pymap3d_ecef(scene_xyz, lon, lat, h, heading):
    """ECEF of y-up model points at an anchor and heading, by pymap3d."""
    x, y, z = np.asarray(scene_xyz, dtype=float).T
    psi = math.radians(heading)
    e = x * math.cos(psi) - z * math.sin(psi)
    n = -x * math.sin(psi) - z * math.cos(psi)
    return np.c_[pymap3d.enu2ecef(e, n, y, lat, lon, h)]
