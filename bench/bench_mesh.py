"""Mesh normals on an icosphere of 1 310 720 triangles (float32 / uint32)."""
import math
import os
import sys

import numpy as np
import open3d as o3d
import trimesh

sys.path.insert(0, os.path.dirname(__file__))
from timing import best_time, report  # noqa: E402

import geokern  # noqa: E402

sphere = trimesh.creation.icosphere(subdivisions=8)
pos = np.ascontiguousarray(sphere.vertices, dtype=np.float32)
idx = np.ascontiguousarray(sphere.faces.ravel(), dtype=np.uint32)
tris = idx.reshape(-1, 3)
print(f"icosphere: {len(pos)} vertices, {len(tris)} triangles")


def trimesh_vertex_normals():
    sphere._cache.clear()
    return sphere.vertex_normals


o3d_mesh = o3d.geometry.TriangleMesh(o3d.utility.Vector3dVector(pos.astype(np.float64)),
                                     o3d.utility.Vector3iVector(tris.astype(np.int32)))
ours = best_time(lambda: geokern.calculate_smooth_normals_cy(pos, idx, len(pos)), repeat=10)
report("calculate_smooth_normals_cy", ours, [
    ("open3d compute_vertex_normals", best_time(o3d_mesh.compute_vertex_normals, repeat=10)),
    ("trimesh vertex_normals", best_time(trimesh_vertex_normals, repeat=3)),
])


def numpy_flat_shaded():
    p0, p1, p2 = pos[tris[:, 0]], pos[tris[:, 1]], pos[tris[:, 2]]
    n = np.cross(p1 - p0, p2 - p0)
    length = np.linalg.norm(n, axis=1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        n = np.where(length > 1e-6, n / length, np.array([0, 0, 1], np.float32))
    return pos[idx], np.repeat(n, 3, axis=0), np.arange(len(idx), dtype=np.uint32), idx.copy()


ours = best_time(lambda: geokern.expand_flat_shaded_mesh_cy(pos, idx), repeat=10)
report("expand_flat_shaded_mesh_cy", ours, [
    ("numpy vectorised expansion", best_time(numpy_flat_shaded, repeat=5)),
])


def trimesh_smooth_shade():
    sphere._cache.clear()
    return trimesh.graph.smooth_shade(sphere, angle=math.radians(60))


ours = best_time(lambda: geokern.expand_crease_normals_mesh_cy(pos, idx, 60.0), repeat=10)
report("expand_crease_normals_mesh_cy (60 deg)", ours, [
    ("trimesh graph.smooth_shade", best_time(trimesh_smooth_shade, repeat=2)),
])
