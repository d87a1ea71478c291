"""Mesh normals on an icosphere of 1 310 720 triangles (float32 / uint32)."""
import math

import numpy as np
import open3d as o3d
import trimesh

import geokern
from timing import best_time, best_times, print_rows, row


def inputs():
    sphere = trimesh.creation.icosphere(subdivisions=8)
    pos = np.ascontiguousarray(sphere.vertices, dtype=np.float32)
    idx = np.ascontiguousarray(sphere.faces.ravel(), dtype=np.uint32)
    return {"sphere": sphere, "pos": pos, "idx": idx, "tris": idx.reshape(-1, 3)}


def batches(d):
    """Our parallel mesh functions on the inputs `d`, as calls without
    arguments (flat shading and crease splitting run on the calling thread
    by their interfaces)."""
    pos, idx = d["pos"], d["idx"]
    return {
        "calculate_smooth_normals_cy": lambda: geokern.calculate_smooth_normals_cy(
            pos, idx, len(pos)),
    }


def numpy_flat_shaded(pos, idx, tris):
    p0, p1, p2 = pos[tris[:, 0]], pos[tris[:, 1]], pos[tris[:, 2]]
    n = np.cross(p1 - p0, p2 - p0)
    length = np.linalg.norm(n, axis=1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        n = np.where(length > 1e-6, n / length, np.array([0, 0, 1], np.float32))
    return pos[idx], np.repeat(n, 3, axis=0), np.arange(len(idx), dtype=np.uint32), idx.copy()


def rows():
    d = inputs()
    sphere, pos, idx, tris = d["sphere"], d["pos"], d["idx"], d["tris"]

    def trimesh_vertex_normals():
        sphere._cache.clear()
        return sphere.vertex_normals

    def trimesh_smooth_shade():
        sphere._cache.clear()
        return trimesh.graph.smooth_shade(sphere, angle=math.radians(60))

    o3d_mesh = o3d.geometry.TriangleMesh(o3d.utility.Vector3dVector(pos.astype(np.float64)),
                                         o3d.utility.Vector3iVector(tris.astype(np.int32)))
    # Ours, the quicker peers and the copy timed in turn, round after round.
    t = best_times({
        **batches(d),
        "expand_flat_shaded_mesh_cy": lambda: geokern.expand_flat_shaded_mesh_cy(pos, idx),
        "expand_crease_normals_mesh_cy": lambda: geokern.expand_crease_normals_mesh_cy(
            pos, idx, 60.0),
        "open3d compute_vertex_normals": o3d_mesh.compute_vertex_normals,
        "numpy vectorised expansion": lambda: numpy_flat_shaded(pos, idx, tris),
        "copy": lambda: (pos.copy(), idx.copy()),
    }, rounds=10)
    return [
        row("calculate_smooth_normals_cy", t["calculate_smooth_normals_cy"], [
            ("open3d compute_vertex_normals", t["open3d compute_vertex_normals"]),
            ("trimesh vertex_normals", best_time(trimesh_vertex_normals, repeat=3)),
        ], t["copy"]),
        row("expand_flat_shaded_mesh_cy", t["expand_flat_shaded_mesh_cy"], [
            ("numpy vectorised expansion", t["numpy vectorised expansion"]),
        ], t["copy"]),
        row("expand_crease_normals_mesh_cy", t["expand_crease_normals_mesh_cy"],
            [("trimesh graph.smooth_shade", best_time(trimesh_smooth_shade, repeat=2))],
            t["copy"], "60 deg"),
    ]


if __name__ == "__main__":
    print_rows(rows())
