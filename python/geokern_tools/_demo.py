"""`geokern demo`: every job of the command on the bundled samples, with its
figures, and a picture of the city block's footprints."""
from __future__ import annotations

import math
import os
from importlib import resources

import numpy as np
import numpy.typing as npt

import geokern
from geokern_tools._convert import convert
from geokern_tools._footprint import footprint_with_note
from geokern_tools._obj import read_obj, write_obj
from geokern_tools._output import output_path

SAMPLES = resources.files("geokern_tools") / "samples"
EARTH_RADIUS = 6378137.0  # m, to express angle errors as distances


Model = tuple[str, npt.NDArray[np.float64], str | None]


Floats = npt.NDArray[np.float64]


def _angle_error_m(a: Floats, b: Floats) -> Floats:
    """Ground distance in metres between (lon, lat) pairs, small-angle form."""
    dlat = np.radians(a[:, 1] - b[:, 1])
    dlon = np.radians(a[:, 0] - b[:, 0]) * np.cos(np.radians(a[:, 1]))
    distance: Floats = np.hypot(dlat, dlon) * EARTH_RADIUS
    return distance


def _positions(out: str) -> None:
    from geokern_tools._files import convert_files

    path = str(SAMPLES / "positions.csv")
    rows = np.loadtxt(path, delimiter=",", skiprows=1, usecols=(1, 2, 3))
    china = np.array([not geokern.out_of_china_cpp(lon, lat) for lon, lat in rows[:, :2]])
    print(f"Positions: {len(rows)} from {path} ({china.sum()} inside the China box)")
    ecef = convert(rows, "wgs84", "ecef")
    back = convert(ecef, "ecef", "wgs84")
    print(f"  WGS-84 -> ECEF -> WGS-84: largest error {_angle_error_m(rows, back).max():.2e} m "
          f"across, {np.abs(rows[:, 2] - back[:, 2]).max():.2e} m in height")
    merc = convert(rows, "wgs84", "webmercator")
    back = convert(merc, "webmercator", "wgs84")
    print(f"  WGS-84 -> Web Mercator -> WGS-84: largest error "
          f"{_angle_error_m(rows, back).max():.2e} m")
    inside = rows[china]
    gcj = convert(inside, "wgs84", "gcj02")
    shift = _angle_error_m(inside, gcj)
    back = convert(gcj, "gcj02", "wgs84")
    error = _angle_error_m(inside, back)
    print(f"  WGS-84 -> GCJ-02 shifts positions in China by {shift.min():.0f} to "
          f"{shift.max():.0f} m; the one-step inverse comes back within "
          f"{np.median(error):.2f} m (median), {error.max():.2f} m (largest)")
    bd = convert(gcj, "gcj02", "bd09")
    print(f"  GCJ-02 -> BD-09 -> GCJ-02: largest error "
          f"{_angle_error_m(gcj, convert(bd, 'bd09', 'gcj02')).max():.2e} m")
    lon, lat, h = rows[0]
    x, y, z = ecef[0]
    print(f"  e.g. {lon:.7f}, {lat:.7f}, {h:.2f} m is ECEF {x:.3f}, {y:.3f}, {z:.3f} m")
    target = os.path.join(out, "positions_ecef.csv")
    convert_files([path], target, "wgs84", "ecef", None)
    print(f"  geokern convert --from wgs84 --to ecef positions.csv -o {target}")


def _box_figures(wkt: str) -> tuple[float, float, float]:
    """Length, width (m) and heading (degrees of the long side) of a box."""
    ring = np.array([[float(v) for v in p.split()] for p in wkt[9:-2].split(",")])
    sides = np.diff(ring[:3], axis=0)
    lengths = np.hypot(sides[:, 0], sides[:, 1])
    long_side = sides[int(np.argmax(lengths))]
    heading = math.degrees(math.atan2(long_side[1], long_side[0])) % 180.0
    return float(lengths.max()), float(lengths.min()), heading


def _footprints(models: list[str]) -> list[Model]:
    print(f"Footprints: {len(models)} building models (Y-up, footprint (x, -z))")
    found: list[Model] = []
    for path in models:
        wkt, note = footprint_with_note(path)
        name = os.path.basename(path)
        if wkt is None:
            print(f"  {name}: {note}")
            continue
        length, width, heading = _box_figures(wkt)
        print(f"  {name:<12} {length:6.1f} m x {width:5.1f} m, long side at {heading:5.1f} deg  "
              f"{wkt[:60]}...")
        vertices, _ = read_obj(path)
        found.append((name, vertices[:, [0, 2]] * (1.0, -1.0), wkt))
    return found


def _normals(models: list[str], out: str) -> None:
    print("Normals: the whole block as one mesh")
    parts = [read_obj(path) for path in models]
    offsets = np.cumsum([0] + [len(v) for v, _ in parts])
    vertices = np.concatenate([v for v, _ in parts])
    faces = np.concatenate([f + o for (_, f), o in zip(parts, offsets)])
    pos = vertices.astype(np.float32)
    idx = faces.astype(np.uint32).ravel()
    print(f"  {len(vertices)} vertices, {len(faces)} triangles")
    smooth = geokern.calculate_smooth_normals_cy(pos, idx, len(pos))
    print(f"  smooth: {len(smooth)} vertices, shared normals")
    flat = geokern.expand_flat_shaded_mesh_cy(pos, idx)
    print(f"  flat: {len(flat[0])} vertices, one per triangle corner")
    for angle in (30.0, 60.0):
        crease = geokern.expand_crease_normals_mesh_cy(pos, idx, angle)
        split = len(crease[0]) - len(vertices)
        print(f"  crease at {angle:.0f} deg: {len(crease[0])} vertices "
              f"({split} split off across sharper edges)")
    _, normals, new_idx, source = geokern.expand_crease_normals_mesh_cy(pos, idx, 60.0)
    target = os.path.join(out, "block_normals.obj")
    with output_path(target) as path:
        write_obj(path, vertices[source.astype(np.intp)], new_idx.reshape(-1, 3), normals)
    print(f"  geokern normals block.obj {target} --mode crease --angle 60")


def _picture(found: list[Model], out: str) -> str:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(7, 6), dpi=100)
    for name, points, wkt in found:
        ax.scatter(points[:, 0], points[:, 1], s=6, color="0.35")
        if wkt is not None:
            ring = np.array([[float(v) for v in p.split()] for p in wkt[9:-2].split(",")])
            ax.plot(ring[:, 0], ring[:, 1], lw=1.5)
            ax.annotate(name.removesuffix(".obj"), ring[:4].mean(axis=0), ha="center",
                        va="center", fontsize=8)
    ax.set_aspect("equal")
    ax.set_xlabel("east (m)")
    ax.set_ylabel("north (m)")
    ax.set_title("geokern demo: footprint boxes of the sample city block")
    target = os.path.join(out, "geokern-demo.png")
    with output_path(target) as path:
        fig.savefig(path, format="png")
    plt.close(fig)
    return target


def run_demo(out: str) -> None:
    os.makedirs(out, exist_ok=True)
    print(f"geokern {geokern.__version__} demo on the bundled samples\n")
    _positions(out)
    models = sorted(str(p) for p in (SAMPLES / "block").iterdir() if p.name.endswith(".obj"))
    print()
    found = _footprints(models)
    print()
    _normals(models, out)
    print()
    print(f"Picture of the footprints: {os.path.abspath(_picture(found, out))}")
