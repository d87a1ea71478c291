"""Footprint boxes: an OBJ file and a point cloud, against their peers.

The OBJ file is an exported icosphere of 1.3 M triangles (about 50 MB),
written into a temporary folder for the run.  Long lines: one 512 MB
comment line in a file and one 64 MB line through a FIFO, against Python's
own readline().
"""
import os
import tempfile
import threading
import time

import numpy as np
import shapely
import trimesh

import geokern
from timing import best_time, best_times, copy_time, print_rows, report, row
from shared import reference_box  # tests/shared.py, on the path through timing


def icosphere_obj(folder):
    """Writes the icosphere of 1.3 M triangles as an OBJ file (about 53 MB)
    into `folder`; returns its path."""
    sphere = trimesh.creation.icosphere(subdivisions=8)
    path = os.path.join(folder, "icosphere.obj")
    with open(path, "w") as f:
        f.write(trimesh.exchange.obj.export_obj(sphere, include_normals=False, digits=8))
    return path


def obj_rows(folder, python_reader=True):
    """The footprint of a ~50 MB OBJ file against trimesh.load (and, with
    `python_reader`, against the tests' line-by-line Python reader)."""
    path = icosphere_obj(folder)
    size = os.path.getsize(path)
    note = f"1310720 triangles, 655362 vertices, {size / 1e6:.1f} MB"
    data = np.fromfile(path, np.uint8)
    # Ours, the peer and the copy timed in turn, round after round.
    t = best_times({"ours": lambda: geokern.generate_obb_2d_from_obj_file(path),
                    "trimesh.load": lambda: trimesh.load(path), "copy": data.copy}, rounds=3)
    peers = [("trimesh.load", t["trimesh.load"])]
    if python_reader:
        peers.append(("line-by-line Python reader", best_time(lambda: reference_box(path),
                                                               repeat=1)))
    return [row("generate_obb_2d_from_obj_file", t["ours"], peers, t["copy"], note)]


def read_lines(path):
    """Python's own line reader over the file, doing nothing with the lines."""
    with open(path, "r", encoding="utf-8") as f:
        while f.readline():
            pass


def through_fifo(folder, data, reader):
    """Time of `reader(path)` on a FIFO that a thread fills with `data`."""
    path = os.path.join(folder, "pipe.obj")
    if not os.path.exists(path):
        os.mkfifo(path)

    def feed():
        with open(path, "wb") as f:
            f.write(data)
    writer = threading.Thread(target=feed)
    writer.start()
    start = time.perf_counter()
    reader(path)
    seconds = time.perf_counter() - start
    writer.join()
    return seconds


def bench_long_lines(folder):
    """One 512 MB comment line in a file, one 64 MB line through a FIFO."""
    path = os.path.join(folder, "long.obj")
    with open(path, "wb") as f:
        f.write(b"#" + b"x" * (512 << 20) + b"\n" + b"v 0 0 0\nv 1 0 0\nv 0 0 1\nf 1 2 3\n")
    ours = best_time(lambda: geokern.generate_obb_2d_from_obj_file(path), repeat=3)
    report("generate_obb_2d_from_obj_file, a 512 MB comment line", ours, [
        ("Python readline() over the file", best_time(lambda: read_lines(path), repeat=3)),
    ])
    os.remove(path)
    data = b"#" + b"x" * (64 << 20) + b"\nv 0 0 0\nv 1 0 0\nv 0 0 1\nf 1 2 3\n"
    ours = min(through_fifo(folder, data, geokern.generate_obb_2d_from_obj_file)
               for _ in range(3))
    report("generate_obb_2d_from_obj_file, a 64 MB line through a FIFO", ours, [
        ("Python readline() over the FIFO",
         min(through_fifo(folder, data, read_lines) for _ in range(3))),
    ])


def points_rows():
    points = np.random.default_rng(7).normal(size=(200_000, 2)) * [300.0, 40.0]
    multipoint = shapely.multipoints(points)
    ours = best_time(lambda: geokern.generate_obb_2d_from_points(points), repeat=10)
    return [row("generate_obb_2d_from_points", ours, [
        ("shapely.oriented_envelope", best_time(lambda: shapely.oriented_envelope(multipoint),
                                                repeat=5)),
        ("trimesh.bounds.oriented_bounds_2D",
         best_time(lambda: trimesh.bounds.oriented_bounds_2D(points), repeat=5)),
    ], copy_time(points), "200 000 points")]


def rows(python_reader=True):
    """The OBJ file and the point cloud (the long lines are not rows of the table)."""
    with tempfile.TemporaryDirectory() as folder:
        return obj_rows(folder, python_reader) + points_rows()


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        print_rows(obj_rows(folder))
        bench_long_lines(folder)
    print_rows(points_rows())
