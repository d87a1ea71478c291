"""Building models: local frames against pymap3d, and an OBJ model to a GLB
with crease normals against the npm converters.

Local frames: 1 000 000 points east-north-up at an origin, to ECEF and to
geodetic positions and back, against pymap3d's enu2ecef, enu2geodetic,
ecef2enu and geodetic2enu (given contiguous 1-D coordinate arrays, as its
users hold them).

OBJ to GLB: the exported icosphere of bench_obb (1.3 M triangles, about
53 MB) through the command, `geokern normals IN.obj OUT.glb --mode crease`,
as a process from start to end, against `obj2gltf -i IN.obj -o OUT.glb`
and `gltfpack -i IN.obj -o OUT.glb` (npm, under node); their processes are
timed the same way, in turn, round after round.  The converters are found
on PATH (tools/ puts the npm tools there); without them the row is left
out.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pymap3d

from bench_obb import icosphere_obj
from geokern_tools import (ecef_to_local, geodetic_to_local, local_to_ecef, local_to_geodetic,
                           obj_to_glb)
from timing import best_times, copy_time, print_rows, row

ORIGIN = (116.391, 39.907, 45.0)
POINTS = 1_000_000


def frame_rows():
    points = np.random.default_rng(11).uniform(-5000, 5000, (POINTS, 3))
    e, n, u = (np.ascontiguousarray(points[:, i]) for i in range(3))
    lon, lat, h = ORIGIN
    ecef = local_to_ecef(points, ORIGIN)
    x, y, z = (np.ascontiguousarray(ecef[:, i]) for i in range(3))
    geodetic = local_to_geodetic(points, ORIGIN)
    glon, glat, gh = (np.ascontiguousarray(geodetic[:, i]) for i in range(3))
    t = best_times({
        "local_to_ecef": lambda: local_to_ecef(points, ORIGIN),
        "pymap3d.enu2ecef": lambda: pymap3d.enu2ecef(e, n, u, lat, lon, h),
        "local_to_geodetic": lambda: local_to_geodetic(points, ORIGIN),
        "pymap3d.enu2geodetic": lambda: pymap3d.enu2geodetic(e, n, u, lat, lon, h),
        "ecef_to_local": lambda: ecef_to_local(ecef, ORIGIN),
        "pymap3d.ecef2enu": lambda: pymap3d.ecef2enu(x, y, z, lat, lon, h),
        "geodetic_to_local": lambda: geodetic_to_local(geodetic, ORIGIN),
        "pymap3d.geodetic2enu": lambda: pymap3d.geodetic2enu(glat, glon, gh, lat, lon, h),
    }, rounds=5)
    copy = copy_time(points)
    note = "1 000 000 points"
    return [row(ours, t[ours], [(peer, t[peer])], copy, note) for ours, peer in (
        ("local_to_ecef", "pymap3d.enu2ecef"), ("local_to_geodetic", "pymap3d.enu2geodetic"),
        ("ecef_to_local", "pymap3d.ecef2enu"), ("geodetic_to_local", "pymap3d.geodetic2enu"))]


def _process(command):
    def run():
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return run


def glb_rows(folder):
    """`geokern normals` to GLB against obj2gltf and gltfpack on the same file."""
    converters = {name: shutil.which(name) for name in ("obj2gltf", "gltfpack")}
    if not converters["obj2gltf"]:
        print("obj2gltf is not on PATH: the GLB row is left out", file=sys.stderr)
        return []
    path = icosphere_obj(folder)
    size = os.path.getsize(path)
    geokern = os.path.join(os.path.dirname(sys.executable), "geokern")
    calls = {"ours": _process([geokern, "normals", path, os.path.join(folder, "ours.glb"),
                               "--mode", "crease"])}
    for name, command in converters.items():
        if command:
            calls[f"{name} (node)"] = _process(
                [command, "-i", path, "-o", os.path.join(folder, f"{name}.glb")])
    t = best_times(calls, rounds=2)
    start = time.perf_counter()
    obj_to_glb(path, os.path.join(folder, "in-process.glb"), mode="crease")
    inside = time.perf_counter() - start
    note = (f"{size / 1e6:.0f} MB OBJ, crease normals, a process each; in the process "
            f"{inside:.2f} s")
    return [row("geokern normals OBJ to GLB", t["ours"],
                [(name, seconds) for name, seconds in t.items() if name != "ours"], None, note)]


def rows():
    with tempfile.TemporaryDirectory() as folder:
        return frame_rows() + glb_rows(folder)


if __name__ == "__main__":
    print_rows(rows())
