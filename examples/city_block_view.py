"""The sample city block on the globe, as `geokern view` shows it: writes the
tileset, serves it, and saves what headless Chromium sees as a PNG.

    tools/shell python examples/city_block_view.py [OUT.png]

(after one `tools/test`, which installs geokern into the environment; the
default output is docs/images/city-block.png).  Needs node with the npm
packages obj2gltf, cesium and playwright-core ($GEOKERN_NPM) and Chromium.
"""
from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
import tempfile
from importlib import resources
from pathlib import Path

import numpy as np

import geokern
from geokern_tools import read_obj, write_obj, write_tileset

HERE = Path(__file__).resolve().parent
DRIVER = HERE.parent / "tools" / "view-in-chromium.cjs"
BLOCK = resources.files("geokern_tools") / "samples" / "block"
# A block of Zurich's old town on the bare ellipsoid (the viewer has no
# terrain), the block's north turned 25 degrees to the east.
LON, LAT, HEIGHT, HEADING = 8.5437, 47.3717, 0.0, 25.0
COLOURS = {"chapel": "0.85 0.80 0.68", "depot": "0.55 0.58 0.62", "hall": "0.72 0.42 0.32",
           "house": "0.86 0.62 0.45", "offices": "0.45 0.55 0.68", "tower": "0.78 0.78 0.80"}


def scene_to_ecef(lon: float, lat: float, h: float, heading: float) -> np.ndarray:
    """4 x 4 matrix from a y-up model (east = x, north = -z, up = y) turned
    by `heading` degrees clockwise at (lon, lat, h) to ECEF."""
    lam, phi, psi = map(math.radians, (lon, lat, heading))
    east = np.array([-math.sin(lam), math.cos(lam), 0.0])
    north = np.array([-math.sin(phi) * math.cos(lam), -math.sin(phi) * math.sin(lam),
                      math.cos(phi)])
    up = np.cross(east, north)
    matrix = np.eye(4)
    matrix[:3, 0] = math.cos(psi) * east - math.sin(psi) * north
    matrix[:3, 1] = up
    matrix[:3, 2] = -(math.sin(psi) * east + math.cos(psi) * north)
    matrix[:3, 3] = geokern.geodetic2ecef_cpp(lon, lat, h)
    return matrix


def block_glb(name: str, work: Path) -> Path:
    """GLB of one sample building with crease normals and a colour, made
    by obj2gltf (npm) from an OBJ written with geokern's normals."""
    vertices, faces = read_obj(str(BLOCK / f"{name}.obj"))
    # The sample models are wound clockwise seen from outside; glTF's front
    # faces are counter-clockwise, so the corners are taken in reverse.
    faces = faces[:, ::-1]
    _, normals, indices, source = geokern.expand_crease_normals_mesh_cy(
        vertices.astype(np.float32), faces.astype(np.uint32).ravel(), 30.0)
    obj = work / f"{name}.obj"
    write_obj(obj, vertices[source.astype(np.intp)], indices.reshape(-1, 3), normals)
    (work / f"{name}.mtl").write_text(f"newmtl {name}\nKd {COLOURS[name]}\n")
    obj.write_text(f"mtllib {name}.mtl\nusemtl {name}\n" + obj.read_text())
    glb = work / f"{name}.glb"
    subprocess.run(["obj2gltf", "-i", str(obj), "-o", str(glb)], check=True,
                   capture_output=True, timeout=300)
    return glb


def main(out: str) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        matrix = scene_to_ecef(LON, LAT, HEIGHT, HEADING)
        write_tileset(work / "block", [(block_glb(name, work), matrix) for name in COLOURS])
        viewer = subprocess.Popen(["geokern", "view", str(work / "block"), "--port", "0"],
                                  stdout=subprocess.PIPE, text=True)
        try:
            assert viewer.stdout is not None
            url = viewer.stdout.readline().strip()
            job = {"url": url, "shot": os.path.abspath(out), "width": 720, "height": 405}
            run = subprocess.run(["node", str(DRIVER), json.dumps(job)], capture_output=True,
                                 text=True, timeout=600)
        finally:
            viewer.send_signal(signal.SIGINT)
            viewer.wait()
    if run.returncode != 0:
        sys.exit(f"city_block_view: the browser failed:\n{run.stderr}")
    report = json.loads(run.stdout)
    if report["errors"] or not report["ready"]:
        sys.exit(f"city_block_view: the page did not load cleanly: {report}")
    print(f"{out}: the block as the viewer shows it ({report['seconds']:.0f} s in the browser)")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(HERE.parent / "docs" / "images" /
                                                   "city-block.png"))
