"""Footprint boxes: an OBJ file and a point cloud, against their peers.

The OBJ file is an exported icosphere of 1.3 M triangles (about 50 MB),
written into a temporary folder for the run.
"""
import os
import tempfile

import numpy as np
import shapely
import trimesh

import geokern
from timing import best_time, report
from shared import reference_box  # tests/shared.py, on the path through timing


def bench_obj_file(folder):
    sphere = trimesh.creation.icosphere(subdivisions=8)
    path = os.path.join(folder, "icosphere.obj")
    with open(path, "w") as f:
        f.write(trimesh.exchange.obj.export_obj(sphere, include_normals=False, digits=8))
    size = os.path.getsize(path)
    print(f"OBJ file: {len(sphere.faces)} triangles, {len(sphere.vertices)} vertices, "
          f"{size / 1e6:.1f} MB")
    ours = best_time(lambda: geokern.generate_obb_2d_from_obj_file(path), repeat=5)
    report("generate_obb_2d_from_obj_file", ours, [
        ("trimesh.load", best_time(lambda: trimesh.load(path), repeat=2)),
        ("line-by-line Python reader", best_time(lambda: reference_box(path), repeat=1)),
    ])


def bench_points():
    points = np.random.default_rng(7).normal(size=(200_000, 2)) * [300.0, 40.0]
    multipoint = shapely.multipoints(points)
    ours = best_time(lambda: geokern.generate_obb_2d_from_points(points), repeat=10)
    report("generate_obb_2d_from_points, 200 000 points", ours, [
        ("shapely.oriented_envelope", best_time(lambda: shapely.oriented_envelope(multipoint),
                                                repeat=5)),
        ("trimesh.bounds.oriented_bounds_2D",
         best_time(lambda: trimesh.bounds.oriented_bounds_2D(points), repeat=5)),
    ])


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        bench_obj_file(folder)
    bench_points()
