"""`geokern view`: what it serves and refuses, Ctrl-C, and the sample block
drawn where it belongs in headless Chromium."""
import contextlib
import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
from importlib import resources

import numpy as np
import pytest

from geokern_tools import read_obj, write_tileset

from shared import checkout

from .conftest import run_geokern
from .tiles_client import make_glb, pymap3d_ecef, scene_to_ecef_matrix

BLOCK = resources.files("geokern_tools") / "samples" / "block"
NPM = os.environ.get("GEOKERN_NPM")
ANCHOR = (8.5437, 47.3717, 0.0, 25.0)  # lon, lat, h, heading: a block in Zurich's old town


def geokern_command():
    return shutil.which("geokern") or os.path.join(os.path.dirname(sys.executable), "geokern")


@contextlib.contextmanager
def viewer(folder, *options):
    """(process, URL) of `geokern view folder` on a free port; stopped with
    SIGINT at the end unless the block did."""
    # Ctrl-C reaches the viewer as it does in a terminal, also when the suite
    # itself runs with SIGINT ignored (a background job of a shell): a child
    # inherits an ignored SIGINT, and Python then installs no handler.
    proc = subprocess.Popen([geokern_command(), "view", str(folder), "--port", "0", *options],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        url = proc.stdout.readline().strip()
        assert url.startswith("http://127.0.0.1:"), proc.stderr.read() if not url else url
        yield proc, url
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGINT)
        proc.wait(timeout=30)
        proc.stdout.close()
        proc.stderr.close()


@pytest.fixture(scope="module")
def block(tmp_path_factory):
    """The sample block as a tileset: (folder, the models' OBJ vertices)."""
    folder = tmp_path_factory.mktemp("view") / "block"
    matrix = scene_to_ecef_matrix(*ANCHOR)
    models = [read_obj(str(p)) for p in sorted(BLOCK.iterdir()) if p.name.endswith(".obj")]
    write_tileset(folder, [(make_glb(v, f), matrix) for v, f in models])
    return folder, [v for v, _ in models]


@pytest.fixture
def fake_cesium(tmp_path):
    folder = tmp_path / "cesium" / "Build" / "Cesium"
    (folder / "Widgets").mkdir(parents=True)
    (folder / "Cesium.js").write_text("window.Cesium = {};\n")
    return tmp_path / "cesium"


def get(url, path):
    host, port = url[len("http://"):].rstrip("/").split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=30)
    try:
        connection.request("GET", path)  # sent as written, ".." and all
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        connection.close()


# ============================================================================
# Serving


def test_serves_page_cesium_and_tiles_and_nothing_else(tmp_path, block, fake_cesium):
    folder = tmp_path / "tiles"
    shutil.copytree(block[0], folder)
    (tmp_path / "secret.txt").write_text("not served")
    (folder / "secret.txt").symlink_to(tmp_path / "secret.txt")
    with viewer(folder, "--cesium", str(fake_cesium)) as (proc, url):
        status, kind, body = get(url, "/")
        assert status == 200 and kind.startswith("text/html") and b"/cesium/Cesium.js" in body
        assert get(url, "/cesium/Cesium.js")[:2] == (200, "text/javascript")
        status, kind, body = get(url, "/tiles/tileset.json")
        assert (status, kind) == (200, "application/json") and json.loads(body)["asset"]
        assert get(url, "/tiles/model-0.glb")[:2] == (200, "model/gltf-binary")
        for path in ("/tiles/", "/tiles/../../etc/passwd", "/..%2f..%2fetc/passwd",
                     "/tiles/secret.txt", "/tiles/a%00b", "/missing.js", "/tiles/model-9.glb"):
            assert get(url, path)[0] == 404, path
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 130
        assert "Traceback" not in proc.stderr.read()


@pytest.mark.parametrize("case", ["no tileset", "no cesium", "port in use", "bad port"])
def test_refusals_are_one_line(tmp_path, block, fake_cesium, case):
    folder, _ = block
    args, env = [folder, "--port", "0", "--cesium", fake_cesium], {}
    if case == "no tileset":
        args[0] = tmp_path
    elif case == "no cesium":
        args = [folder, "--port", "0"]
        (tmp_path / "empty").mkdir()
        env = {"GEOKERN_CESIUM": str(tmp_path / "empty")}
    elif case == "bad port":
        args[2] = "70000"
    with contextlib.ExitStack() as stack:
        if case == "port in use":
            _, url = stack.enter_context(viewer(folder, "--cesium", str(fake_cesium)))
            args[2] = url.rstrip("/").rsplit(":", 1)[1]
        proc = run_geokern("view", *args, env=env)
    expected = {"no tileset": (1, "no tileset.json"), "no cesium": (2, "GEOKERN_CESIUM"),
                "port in use": (1, "is in use"), "bad port": (2, "expected a port number")}[case]
    assert proc.returncode == expected[0]
    assert expected[1] in proc.stderr.splitlines()[-1] and "Traceback" not in proc.stderr


# ============================================================================
# In a browser


@pytest.mark.skipif(not NPM, reason="GEOKERN_NPM is not set: CesiumJS and playwright-core "
                    "(npm) are not installed")
def test_the_block_is_drawn_where_it_belongs(tmp_path, block):
    image = pytest.importorskip("PIL.Image")
    folder, vertices = block
    buildings = [pymap3d_ecef(v, *ANCHOR).tolist() for v in vertices]
    with viewer(folder) as (proc, url):
        job = {"url": url, "shot": str(tmp_path / "shown.png"), "bare": str(tmp_path / "bare.png"),
               "points": buildings, "width": 480, "height": 360}
        # The browser is not ours: the sanitizer run's preloaded runtime
        # stays out of it.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
        driver = checkout() / "tools" / "view-in-chromium.cjs"
        run = subprocess.run(["node", str(driver), json.dumps(job)], capture_output=True,
                             text=True, timeout=400, env=env)
        assert run.returncode == 0, run.stderr
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 130
        assert "Traceback" not in proc.stderr.read()
    report = json.loads(run.stdout)
    assert report["errors"] == [] and report["ready"] and report["loaded"]
    shown = np.asarray(image.open(tmp_path / "shown.png").convert("RGB"), dtype=int)
    bare = np.asarray(image.open(tmp_path / "bare.png").convert("RGB"), dtype=int)
    drawn = np.abs(shown - bare).max(axis=2) > 24
    assert drawn.mean() > 0.01
    # Where the buildings belong: the screen rectangles of their vertices.
    inside = np.zeros_like(drawn)
    rows, cols = np.indices(drawn.shape)
    for rect in report["rects"]:
        left, top, right, bottom = rect
        mine = (cols >= left - 3) & (cols <= right + 3) & (rows >= top - 3) & (rows <= bottom + 3)
        assert drawn[mine].mean() > 0.2, rect  # each building covers much of its rectangle
        inside |= mine
    assert drawn[~inside].sum() <= 0.01 * drawn.sum()
