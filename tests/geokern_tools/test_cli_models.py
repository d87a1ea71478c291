"""`geokern footprint`, `normals`, `info` and `demo`, through subprocesses."""
import json

import numpy as np
import pytest

import geokern
from geokern_tools import read_obj

from .conftest import run_geokern
from .test_obj import TOLERANT, strict_text


@pytest.fixture
def models(write_file):
    return (write_file(strict_text(), "strict.obj"),
            write_file(TOLERANT["vertex colours"], "loose.obj"),
            write_file("v 1 2 3\n", "empty.obj"))


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_footprint_lines_and_notes(models, jobs):
    strict, loose, empty = models
    proc = run_geokern("footprint", strict, loose, empty, "--jobs", jobs)
    assert proc.returncode == 0, proc.stderr
    expected = geokern.generate_obb_2d_from_obj_file(strict)
    assert proc.stdout.decode().splitlines() == [expected, expected, "POLYGON EMPTY"]
    notes = proc.stderr.splitlines()
    assert len(notes) == 2 and "tolerant reader" in notes[0] and notes[1].endswith("no faces")


def test_footprint_geojson_and_bad_models(models, write_file):
    strict, _, empty = models
    bad = write_file("v 1 2 3\nv 1 2 3\nf 1 2 x\n", "bad.obj")
    proc = run_geokern("footprint", "--geojson", strict, bad, empty)
    assert proc.returncode == 1
    assert f"geokern: {bad}:3: bad vertex reference 'x'" in proc.stderr.splitlines()
    features = json.loads(proc.stdout)["features"]
    assert [f["properties"]["model"] for f in features] == [strict, bad, empty]
    ring = features[0]["geometry"]["coordinates"][0]
    assert len(ring) == 5 and ring[0] == ring[-1]
    assert features[1]["geometry"] is None and features[2]["geometry"] is None


@pytest.mark.parametrize("mode,extra,vertices", [
    ("smooth", [], 8), ("flat", [], 18), ("crease", ["--angle", "30"], 12),
])
def test_normals_round_trip(models, tmp_path, mode, extra, vertices):
    strict, _, _ = models
    out = tmp_path / "out.obj"
    proc = run_geokern("normals", strict, out, "--mode", mode, *extra)
    assert proc.returncode == 0, proc.stderr
    got_verts, got_faces = read_obj(out)
    src_verts, src_faces = read_obj(strict)
    assert len(got_verts) == vertices and len(got_faces) == len(src_faces)
    # Every triangle keeps its corner positions.
    assert np.array_equal(got_verts[got_faces], src_verts[src_faces])
    lines = out.read_text().splitlines()
    normals = np.array([[float(v) for v in ln.split()[1:]] for ln in lines if ln.startswith("vn ")])
    assert normals.shape == (vertices, 3)
    assert np.allclose(np.linalg.norm(normals, axis=1), 1, atol=1e-6)
    first_face = next(ln for ln in lines if ln.startswith("f "))
    assert all(a == b for a, b in (t.split("//") for t in first_face.split()[1:]))


def test_normals_usage_and_data_errors(models, tmp_path, write_file):
    strict, _, _ = models
    proc = run_geokern("normals", strict, tmp_path / "o.obj", "--mode", "flat", "--angle", "3")
    assert proc.returncode == 2 and "--angle" in proc.stderr
    bad = write_file("v 1 2 3\nf 1 2 3\n", "bad.obj")
    proc = run_geokern("normals", bad, tmp_path / "o.obj", "--mode", "smooth")
    assert proc.returncode == 1 and proc.stderr.startswith(f"geokern: {bad}:2: ")
    assert "Traceback" not in proc.stderr and not (tmp_path / "o.obj").exists()


def test_info_names_the_versions():
    proc = run_geokern("info")
    assert proc.returncode == 0
    text = proc.stdout.decode()
    for item in (f"geokern {geokern.__version__}", "compiler:", "SIMD:", "OpenMP threads:",
                 f"numpy {np.__version__}", "pyarrow"):
        assert item in text


def test_demo_writes_its_picture(tmp_path):
    proc = run_geokern("demo", "--out", tmp_path / "demo")
    assert proc.returncode == 0, proc.stderr
    picture = tmp_path / "demo" / "geokern-demo.png"
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    text = proc.stdout.decode()
    assert f"Picture of the footprints: {picture}" in text
    for figure in ("WGS-84 -> ECEF -> WGS-84", "GCJ-02", "crease at 60 deg", "hall.obj"):
        assert figure in text
