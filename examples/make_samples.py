"""Makes the sample data shipped in geokern_tools/samples (run once; the
files are committed):

- block/*.obj: a small city block, one Y-up OBJ model per building (metres,
  x east, y up, z south), buildings of different orientations and shapes;
- positions.csv: 300 positions (id, lon, lat, h), a third of them in China.

Usage: python examples/make_samples.py [OUTPUT_FOLDER]
"""

import math
import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
DEFAULT = HERE.parent / "python" / "geokern_tools" / "samples"

# (name, kind, centre east, centre north, length, width, height, heading deg)
BUILDINGS = [
    ("hall", "box", 0.0, 0.0, 40.0, 18.0, 12.0, 0.0),
    ("offices", "box", 55.0, 10.0, 30.0, 14.0, 36.0, 20.0),
    ("house", "gable", -35.0, 30.0, 12.0, 8.0, 6.0, 45.0),
    ("tower", "prism", 20.0, 45.0, 16.0, 16.0, 60.0, 0.0),
    ("depot", "box", -20.0, -40.0, 50.0, 12.0, 8.0, -30.0),
    ("chapel", "gable", 60.0, -35.0, 20.0, 10.0, 9.0, 75.0),
]


def _outline(kind, length, width):
    """Ground outline (counter-clockwise, local east/north) and ridge rule."""
    if kind == "prism":
        return [(length / 2 * math.cos(k * math.pi / 4 + math.pi / 8),
                 width / 2 * math.sin(k * math.pi / 4 + math.pi / 8)) for k in range(8)]
    return [(-length / 2, -width / 2), (length / 2, -width / 2),
            (length / 2, width / 2), (-length / 2, width / 2)]


def building(kind, east, north, length, width, height, heading):
    """Vertices (east, up, north) and triangles of one building."""
    ground = _outline(kind, length, width)
    n = len(ground)
    eaves = height * (0.65 if kind == "gable" else 1.0)
    verts = [(x, 0.0, y) for x, y in ground] + [(x, eaves, y) for x, y in ground]
    tris = []
    for i in range(n):  # walls, facing outwards
        j = (i + 1) % n
        tris += [(i, j, n + j), (i, n + j, n + i)]
    tris += [(0, k + 1, k) for k in range(1, n - 1)]  # floor, facing down
    if kind == "gable":  # ridge along the length
        verts += [(-length / 2, height, 0.0), (length / 2, height, 0.0)]
        r0, r1 = 2 * n, 2 * n + 1
        tris += [(n + 0, n + 1, r1), (n + 0, r1, r0),  # south roof
                 (n + 2, n + 3, r0), (n + 2, r0, r1),  # north roof
                 (n + 1, n + 2, r1), (n + 3, n + 0, r0)]  # gable ends
    else:
        tris += [(n, n + k, n + k + 1) for k in range(1, n - 1)]  # flat roof
    turn = math.radians(heading)
    c, s = math.cos(turn), math.sin(turn)
    out = []
    for x, up, y in verts:
        e, nn = east + c * x - s * y, north + s * x + c * y
        out.append((e, up, -nn))  # OBJ is Y-up with z pointing south
    # (x, y, z) = (east, up, -north) is a rotation (a quarter turn about
    # east), not a reflection: corners counter-clockwise seen from outside
    # in east-north-up stay so, and the faces keep facing out.
    return out, tris


def write_building(path, name, verts, tris):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(f"# geokern sample city block: {name}\no {name}\n")
        for v in verts:
            f.write("v " + " ".join(repr(round(c, 6) + 0.0) for c in v) + "\n")
        for t in tris:
            f.write("f " + " ".join(str(i + 1) for i in t) + "\n")


PLACES = [  # (lon, lat, spread in degrees, share)
    (116.40, 39.90, 0.3, "china"), (121.47, 31.23, 0.3, "china"), (87.62, 43.82, 0.2, "china"),
    (104.07, 30.57, 0.3, "china"), (114.17, 22.32, 0.1, "china"),
]


def positions(rng):
    rows = []
    for i in range(100):
        lon, lat, spread, _ = PLACES[i % len(PLACES)]
        rows.append((lon + rng.uniform(-spread, spread), lat + rng.uniform(-spread, spread),
                     rng.uniform(0, 400)))
    for _ in range(200):
        rows.append((rng.uniform(-180, 180), math.degrees(math.asin(rng.uniform(-0.97, 0.97))),
                     rng.uniform(-50, 3000)))
    return rows


def main(folder):
    folder = pathlib.Path(folder)
    (folder / "block").mkdir(parents=True, exist_ok=True)
    for name, kind, east, north, length, width, height, heading in BUILDINGS:
        verts, tris = building(kind, east, north, length, width, height, heading)
        write_building(folder / "block" / f"{name}.obj", name, verts, tris)
    rng = np.random.default_rng(20261206)
    with open(folder / "positions.csv", "w", encoding="utf-8", newline="\n") as f:
        f.write("id,lon,lat,h\n")
        for i, (lon, lat, h) in enumerate(positions(rng), 1):
            f.write(f"p{i:03d},{lon:.7f},{lat:.7f},{h:.2f}\n")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else DEFAULT)
