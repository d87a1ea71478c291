"""The sample city block on the globe, as `geokern view` shows it: writes the
tileset with `geokern tiles`, serves it, and saves what headless Chromium
sees as a PNG.

    tools/shell python examples/city_block_view.py [OUT.png]

(after one `tools/test`, which installs geokern into the environment; the
default output is docs/images/city-block.png).  Needs node with the npm
packages cesium and playwright-core ($GEOKERN_NPM) and Chromium.
"""
from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
from importlib import resources
from pathlib import Path

HERE = Path(__file__).resolve().parent
DRIVER = HERE.parent / "tools" / "view-in-chromium.cjs"
BLOCK = resources.files("geokern_tools") / "samples" / "block"
# A block of Zurich's old town on the bare ellipsoid (the viewer has no
# terrain), the block's north turned 25 degrees to the east.
LON, LAT, HEIGHT, HEADING = 8.5437, 47.3717, 0.0, 25.0
COLOURS = {"chapel": "0.85 0.80 0.68", "depot": "0.55 0.58 0.62", "hall": "0.72 0.42 0.32",
           "house": "0.86 0.62 0.45", "offices": "0.45 0.55 0.68", "tower": "0.78 0.78 0.80"}


def block_models(work: Path) -> Path:
    """The sample buildings, each with a material of its own colour."""
    models = work / "models"
    models.mkdir()
    for name, colour in COLOURS.items():
        (models / f"{name}.mtl").write_text(f"newmtl {name}\nKd {colour}\n")
        text = (BLOCK / f"{name}.obj").read_text()
        (models / f"{name}.obj").write_text(f"mtllib {name}.mtl\nusemtl {name}\n{text}")
    return models


def main(out: str) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        subprocess.run(["geokern", "tiles", str(block_models(work)), "--at",
                        f"{LON},{LAT},{HEIGHT}", "--heading", str(HEADING), "-o",
                        str(work / "block")], check=True)
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
