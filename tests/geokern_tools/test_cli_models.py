"""`geokern footprint`, `normals`, `info` and `demo`, through subprocesses."""
import json

import numpy as np
import pytest

import geokern
from geokern_tools import read_obj

from .conftest import run_geokern
from .test_obj import VARIANTS, strict_text


@pytest.fixture
def models(write_file):
    return (write_file(strict_text(), "strict.obj"),
            write_file(VARIANTS["negative references"], "loose.obj"),
            write_file("v 1 2 3\n", "empty.obj"))


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_footprint_lines_and_notes(models, jobs):
    strict, loose, empty = models
    proc = run_geokern("footprint", strict, loose, empty, "--jobs", jobs)
    assert proc.returncode == 0, proc.stderr
    expected = geokern.generate_obb_2d_from_obj_file(strict)
    assert proc.stdout.decode().splitlines() == [expected, expected, "POLYGON EMPTY"]
    assert proc.stderr.splitlines() == [f"geokern: {empty}: no faces"]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_footprint_geojson_and_bad_models(models, write_file, tmp_path, jobs):
    strict, _, empty = models
    bad = write_file("v 1 2 3\nv 1 2 3\nf 1 2 x\n", "bad.obj")
    binary = write_file(bytes(range(256)), "binary.obj")
    missing = tmp_path / "missing.obj"
    proc = run_geokern("footprint", "--geojson", "--at", "0,0", "--jobs", jobs, strict, bad,
                       missing, binary, empty)
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.splitlines() == [
        f"geokern: {bad}:3: bad vertex reference 'x'",
        f"geokern: {missing}: No such file or directory",
        f"geokern: {binary}:1: binary data (byte 0x00), not an OBJ text",
        f"geokern: {empty}: no faces"]
    # Models that cannot be read give no feature; a model without faces a null one.
    features = json.loads(proc.stdout)["features"]
    assert [f["properties"]["model"] for f in features] == [strict, empty]
    ring = features[0]["geometry"]["coordinates"][0]
    assert len(ring) == 5 and ring[0] == ring[-1] and features[1]["geometry"] is None


def normals_of(path):
    lines = path.read_text().splitlines()
    return np.array([[float(v) for v in ln.split()[1:]] for ln in lines if ln.startswith("vn ")])


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
    normals = normals_of(out)
    assert normals.shape == (vertices, 3)
    assert np.allclose(np.linalg.norm(normals, axis=1), 1, atol=1e-6)


def test_normals_keep_texture_coordinates_and_statements(write_file, tmp_path):
    # regression: issue 22 (vt lines, texture references and mtllib were dropped)
    text = ("# hut\nmtllib hut.mtl\no hut\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
            "vt 0 0\nvt 1 0\nvt 1 1\nusemtl wall\ng front\nf 1/1 2/2 3/3 4/2\n"
            "usemtl roof\nf 1 3 4\n")
    out = tmp_path / "out.obj"
    proc = run_geokern("normals", write_file(text), out, "--mode", "smooth")
    assert proc.returncode == 0, proc.stderr
    lines = out.read_text().splitlines()
    assert lines[0] == "mtllib hut.mtl"
    assert [ln for ln in lines if ln.startswith("vt ")] == ["vt 0.0 0.0", "vt 1.0 0.0",
                                                             "vt 1.0 1.0"]
    assert lines[lines.index("o hut"):] == [
        "o hut", "usemtl wall", "g front", "f 1/1/1 2/2/2 3/3/3", "f 1/1/1 3/3/3 4/2/4",
        "usemtl roof", "f 1//1 3//3 4//4"]


def test_normals_far_from_the_origin(tmp_path):
    # regression: issue 19 (a 0.5 m facet 6000 km out got a normal 10-12 degrees off)
    # 0.5 m right triangles in random places and directions.
    rng = np.random.default_rng(5)
    frames = np.linalg.qr(rng.normal(size=(66, 3, 3)))[0]
    corners = rng.uniform(-5, 5, size=(66, 1, 3)) + 0.5 * np.stack(
        [np.zeros((66, 3)), frames[:, 0], frames[:, 1]], axis=1)
    facets = corners.reshape(-1, 3)
    near, far = tmp_path / "near.obj", tmp_path / "far.obj"
    offset = np.array([6.0e6, 1.2e6, -3.1e5])
    for path, shift in ((near, 0), (far, offset)):
        path.write_text("".join(f"v {x!r} {y!r} {z!r}\n" for x, y, z in (facets + shift).tolist())
                        + "".join(f"f {3 * i + 1} {3 * i + 2} {3 * i + 3}\n" for i in range(66)))
    for path in (near, far):
        proc = run_geokern("normals", path, path.with_suffix(".out.obj"), "--mode", "flat")
        assert proc.returncode == 0, proc.stderr
    difference = normals_of(near.with_suffix(".out.obj")) - normals_of(far.with_suffix(".out.obj"))
    angles = np.degrees(2 * np.arcsin(np.linalg.norm(difference, axis=1) / 2))
    assert angles.max() < 1e-4


@pytest.mark.parametrize("args,message", [
    (["out.txt", "--mode", "flat"], "suffix must be .obj or .glb"),
    (["out.obj", "--mode", "flat", "--angle", "3"], "--angle applies to --mode crease only"),
    (["out.obj", "--mode", "flat", "--up", "z"], "--up applies to .glb output only"),
])
def test_normals_usage_errors(models, tmp_path, args, message):
    proc = run_geokern("normals", models[0], tmp_path / args[0], *args[1:])
    assert proc.returncode == 2 and message in proc.stderr
    assert not (tmp_path / args[0]).exists()


@pytest.mark.parametrize("content", ["v 1 2 3\nf 1 2 3\n", bytes(range(256)) * 16])
@pytest.mark.parametrize("suffix", [".obj", ".glb"])
def test_normals_bad_input_leaves_the_output_alone(write_file, tmp_path, content, suffix):
    # regression: issue 19 (a random binary .obj gave a 0-byte output and exit 0)
    bad = write_file(content, "bad.obj")
    out = tmp_path / f"o{suffix}"
    out.write_text("earlier output")
    proc = run_geokern("normals", bad, out, "--mode", "smooth")
    assert proc.returncode == 1 and proc.stderr.startswith(f"geokern: {bad}:")
    assert len(proc.stderr.splitlines()) == 1 and "Traceback" not in proc.stderr
    assert out.read_text() == "earlier output"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bad.obj", f"o{suffix}"]


def test_normals_to_glb(models, tmp_path):
    # regression: issue 22 (OBJ text was written into a .glb file)
    out = tmp_path / "out.GLB"
    proc = run_geokern("normals", models[0], out, "--mode", "crease")
    assert proc.returncode == 0, proc.stderr
    assert out.read_bytes()[:4] == b"glTF"


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
