"""A city to a tileset: 10 000 generated buildings through `geokern tiles`.

Each building is an OBJ file of its own (Y-up, metres) of one of the sample
block's kinds (a box with a flat roof, a gabled house, an octagonal tower),
its walls cut into storeys of 3.5 m so that it has about 100 triangles; an
anchors CSV places them at random over a few kilometres of a city with
random headings.  The command runs as a process from start to end, once on
one core (OMP_NUM_THREADS=1, --jobs 1) and once on two (OMP_NUM_THREADS=2,
--jobs 2).  The goal is 1 000 buildings per second; the row's "peer" is
the time that goal allows, so the peer/ours ratio is the rate over the goal.
"""
import math
import os
import subprocess
import sys
import tempfile

import numpy as np

from timing import best_times, print_rows, row

BUILDINGS = 10_000
GOAL = 1_000  # buildings per second
STOREY = 3.5  # m


def _outline(kind, length, width):
    if kind == "tower":
        return [(length / 2 * math.cos(k * math.pi / 4 + math.pi / 8),
                 width / 2 * math.sin(k * math.pi / 4 + math.pi / 8)) for k in range(8)]
    return [(-length / 2, -width / 2), (length / 2, -width / 2),
            (length / 2, width / 2), (-length / 2, width / 2)]


def building(kind, length, width, height):
    """OBJ text of one building about its own origin, faces wound outwards."""
    ground = _outline(kind, length, width)
    n = len(ground)
    eaves = height * (0.7 if kind == "house" else 1.0)
    levels = max(1, round(eaves / STOREY))
    verts = [(x, eaves * k / levels, y) for k in range(levels + 1) for x, y in ground]
    tris = []
    for k in range(levels):  # walls, storey by storey
        for i in range(n):
            j = (i + 1) % n
            a, b, c, d = k * n + i, k * n + j, (k + 1) * n + j, (k + 1) * n + i
            tris += [(a, b, c), (a, c, d)]
    tris += [(0, k + 1, k) for k in range(1, n - 1)]  # floor
    top = levels * n
    if kind == "house":
        verts += [(-length / 2, height, 0.0), (length / 2, height, 0.0)]
        r0, r1 = len(verts) - 2, len(verts) - 1
        tris += [(top, top + 1, r1), (top, r1, r0), (top + 2, top + 3, r0), (top + 2, r0, r1),
                 (top + 1, top + 2, r1), (top + 3, top, r0)]
    else:
        tris += [(top, top + k, top + k + 1) for k in range(1, n - 1)]
    # Ground (x east, y north) to OBJ's Y-up axes (x, up, -north): a rotation.
    lines = [f"v {x:.3f} {up:.3f} {-y:.3f}" for x, up, y in verts]
    lines += [f"f {a + 1} {b + 1} {c + 1}" for a, b, c in tris]
    return "\n".join(lines) + "\n"


def make_city(folder, count=BUILDINGS, seed=8):
    """Writes `count` building OBJ files and anchors.csv into `folder`;
    returns the CSV's path and the mean number of triangles."""
    rng = np.random.default_rng(seed)
    os.makedirs(os.path.join(folder, "models"), exist_ok=True)
    kinds = rng.choice(["box", "house", "tower"], count)
    rows, triangles = ["model,lon,lat,h,heading"], 0
    for number, kind in enumerate(kinds):
        length, width = rng.uniform(8, 40), rng.uniform(6, 16)
        height = rng.uniform(25, 60) if kind == "tower" else rng.uniform(20, 36)
        text = building(kind, length, width, height)
        triangles += text.count("\nf ")
        name = f"models/b{number:05d}.obj"
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)
        rows.append(f"{name},{8.54 + rng.uniform(-0.03, 0.03):.7f},"
                    f"{47.37 + rng.uniform(-0.02, 0.02):.7f},{rng.uniform(400, 440):.2f},"
                    f"{rng.uniform(0, 360):.1f}")
    path = os.path.join(folder, "anchors.csv")
    with open(path, "w") as f:
        f.write("\n".join(rows) + "\n")
    return path, triangles / count


def rows():
    geokern = os.path.join(os.path.dirname(sys.executable), "geokern")
    with tempfile.TemporaryDirectory() as folder:
        anchors, triangles = make_city(folder)

        def run(cores):
            env = dict(os.environ, OMP_NUM_THREADS=str(cores))
            command = [geokern, "tiles", "--anchors", anchors, "--jobs", str(cores),
                       "-o", os.path.join(folder, f"tiles-{cores}")]
            return lambda: subprocess.run(command, check=True, env=env,
                                          stdout=subprocess.DEVNULL)

        t = best_times({"1 core": run(1), "2 cores": run(2)}, rounds=1)
    goal = (f"goal: {GOAL} buildings per second", BUILDINGS / GOAL)
    return [row(f"geokern tiles, {name}", seconds, [goal], None,
                f"{BUILDINGS} buildings of {triangles:.0f} triangles, "
                f"{BUILDINGS / seconds:.0f} per second")
            for name, seconds in t.items()]


if __name__ == "__main__":
    print_rows(rows())
