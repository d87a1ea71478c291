"""`geokern tiles` and placed `geokern footprint`, through subprocesses: every
vertex where pymap3d puts it, GLB files the validator accepts, footprints in
longitude and latitude, anchors files and bad models refused by file and
line with the old output left alone."""
import json
import os
import shutil
from importlib import resources

import numpy as np
import pytest

import geokern
from geokern_tools import read_obj

from .conftest import run_geokern, temporaries
from .test_gltf import validate
from .tiles_client import content_ecef, pymap3d, pymap3d_ecef, scene_positions, tiles

shapely = pytest.importorskip("shapely")

BLOCK = resources.files("geokern_tools") / "samples" / "block"
NAMES = ["chapel", "depot", "hall", "house", "offices", "tower"]
# model, lon, lat, h, heading: across 180 degrees, far north, and one model twice.
ANCHOR_ROWS = [("block/hall.obj", 8.5437, 47.3717, 400.0, 25.0),
               ("block/tower.obj", 179.9995, -16.5, 2.0, 200.0),
               ("block/house.obj", 15.6, 78.2, 120.0, 271.0),
               ("block/hall.obj", -122.4194, 37.7749, 16.0, 0.0)]


def anchors_csv(folder, rows=ANCHOR_ROWS, header="model,lon,lat,h,heading"):
    shutil.copytree(BLOCK, folder / "block", dirs_exist_ok=True)
    lines = ([header] if header else []) + [",".join(map(str, row)) for row in rows]
    (folder / "anchors.csv").write_text("\n".join(lines) + "\n")
    return folder / "anchors.csv"


def local_box(model, up="y"):
    """The model's footprint box corners (5, 2) in its ground metres."""
    vertices, faces = read_obj(str(model))
    used = vertices[np.unique(faces)]
    ground = used[:, [0, 2]] * (1, -1) if up == "y" else used[:, :2]
    wkt = geokern.generate_obb_2d_from_points(np.ascontiguousarray(ground))
    return np.array(shapely.from_wkt(wkt).exterior.coords)


def pymap3d_lonlat(ring, lon, lat, h, heading):
    """lon, lat of ground points (x east, y north turned by heading) by pymap3d."""
    psi = np.radians(heading)
    e = ring[:, 0] * np.cos(psi) + ring[:, 1] * np.sin(psi)
    n = -ring[:, 0] * np.sin(psi) + ring[:, 1] * np.cos(psi)
    lat_, lon_, _ = pymap3d.enu2geodetic(e, n, np.zeros(len(ring)), lat, lon, h)
    return np.c_[lon_, lat_]


@pytest.fixture(scope="module")
def city(tmp_path_factory):
    folder = tmp_path_factory.mktemp("city")
    csv = anchors_csv(folder)
    proc = run_geokern("tiles", "--anchors", csv, "-o", folder / "out")
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return folder


def test_every_vertex_lands_where_pymap3d_puts_it(city):
    out = city / "out"
    tileset = json.loads((out / "tileset.json").read_text())
    assert tileset["asset"]["version"] == "1.1" and tileset["root"]["refine"] == "ADD"
    placed = [(tile["content"]["uri"], world) for tile, world, _, _ in tiles(tileset)
              if "content" in tile]
    # One GLB per model file, shared by the anchors of that file.
    assert sorted(uri for uri, _ in placed) == ["hall.glb", "hall.glb", "house.glb", "tower.glb"]
    found = 0
    for model, *anchor in ANCHOR_ROWS:
        expected = pymap3d_ecef(read_obj(str(city / model))[0], *anchor)
        uri = os.path.basename(model).replace(".obj", ".glb")
        for name, world in placed:
            if name != uri:
                continue
            ecef = content_ecef(scene_positions((out / name).read_bytes()), world)
            distance = np.linalg.norm(ecef[:, None, :] - expected[None, :, :], axis=2)
            if distance.min(axis=1).max() < 0.01:
                assert distance.min(axis=0).max() < 0.01  # and every OBJ vertex is drawn
                found += 1
                break
    assert found == len(ANCHOR_ROWS)


def test_every_glb_passes_the_validator(city):
    issues = validate(sorted((city / "out").glob("*.glb")))
    assert len(issues) == 3
    for path, report in issues.items():
        assert report["numErrors"] == 0 and report["numWarnings"] == 0, (path, report)


def test_footprints_in_longitude_and_latitude(city):
    features = json.loads((city / "out" / "footprints.geojson").read_text())["features"]
    assert [f["properties"]["model"] for f in features] == [row[0] for row in ANCHOR_ROWS]
    for feature, (model, *anchor) in zip(features, ANCHOR_ROWS):
        ring = np.array(feature["geometry"]["coordinates"][0])
        assert shapely.LinearRing(ring).is_ccw
        box = local_box(city / model)
        expected = pymap3d_lonlat(box, *anchor)
        # The same corners, perhaps starting elsewhere (1e-8 degrees is about 1 mm).
        assert np.abs(np.sort(ring[:-1], axis=0) - np.sort(expected[:-1], axis=0)).max() < 1e-8
        properties = feature["properties"]
        assert properties["area"] == pytest.approx(shapely.Polygon(box).area, abs=1e-3)
        vertices = read_obj(str(city / model))[0]
        assert properties["height"] == pytest.approx(np.ptp(vertices[:, 1]), abs=1e-3)


@pytest.mark.parametrize("runner", [["--jobs", "2"], ["--scheduler", "local:1"]],
                         ids=["processes", "dask"])
def test_workers_write_the_same_tileset(city, tmp_path, runner):
    out = tmp_path / "out"
    proc = run_geokern("tiles", "--anchors", city / "anchors.csv", *runner, "-o", out)
    assert proc.returncode == 0, proc.stderr
    for name in os.listdir(city / "out"):
        assert (out / name).read_bytes() == (city / "out" / name).read_bytes(), name


def test_z_up_models_and_folders(tmp_path):
    # The block turned to Z-up (x, y, z) -> (x, -z, y) lands where the Y-up block does.
    (tmp_path / "zup").mkdir()
    for name in NAMES:
        vertices, faces = read_obj(str(BLOCK / f"{name}.obj"))
        text = "".join(f"v {x!r} {-z!r} {y!r}\n" for x, y, z in vertices.tolist())
        text += "".join(f"f {a + 1} {b + 1} {c + 1}\n" for a, b, c in faces.tolist())
        (tmp_path / "zup" / f"{name}.obj").write_text(text)
    at = ["--at", "8.5437,47.3717,400", "--heading", "25"]
    for source, up, out in ((BLOCK, "y", "y"), (tmp_path / "zup", "z", "z")):
        proc = run_geokern("tiles", source, *at, "--up", up, "-o", tmp_path / out)
        assert proc.returncode == 0, proc.stderr
    for name in ("tileset.json", "footprints.geojson"):
        a = json.loads((tmp_path / "y" / name).read_text())
        b = json.loads((tmp_path / "z" / name).read_text())
        if name == "footprints.geojson":
            for fa, fb in zip(a["features"], b["features"]):
                assert fa["properties"]["height"] == fb["properties"]["height"]
                assert np.allclose(fa["geometry"]["coordinates"], fb["geometry"]["coordinates"],
                                   atol=1e-9)
        else:  # the same tiles, transforms and boxes
            pairs = list(zip(tiles(a), tiles(b), strict=True))
            assert len(pairs) == 1 + len(NAMES)
            for (ta, wa, _, _), (tb, wb, _, _) in pairs:
                assert ta.get("content") == tb.get("content")
                assert np.allclose(wa, wb, rtol=0, atol=1e-6)
                assert np.allclose(ta["boundingVolume"]["box"], tb["boundingVolume"]["box"],
                                   rtol=0, atol=1e-5)


BAD_ROWS = {
    "not a number": ("block/hall.obj,8.5,north", "lat 'north' is not a number"),
    "latitude": ("block/hall.obj,8.5,91", "latitude 91.0 is outside -90..90"),
    "too many fields": ("block/hall.obj,8.5,47,1,2,3", "expected 5 fields, found 6"),
    "too few fields": ("block/hall.obj,8.5", "expected 5 fields, found 2"),
    "no model": (",8.5,47", "no model"),
    "missing model": ("block/none.obj,8.5,47", "block/none.obj: no such file"),
    "infinite": ("block/hall.obj,inf,47", "lon must be finite"),
}


@pytest.mark.parametrize("row, message", BAD_ROWS.values(), ids=BAD_ROWS.keys())
def test_bad_anchor_rows_name_the_file_and_line(tmp_path, row, message):
    csv = anchors_csv(tmp_path, rows=[ANCHOR_ROWS[0]], header="model,lon,lat,h,heading")
    csv.write_text(csv.read_text() + row + "\n")
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "tileset.json").write_text("old")
    proc = run_geokern("tiles", "--anchors", csv, "-o", tmp_path / "out")
    assert proc.returncode == 1
    assert proc.stderr.startswith(f"geokern: {csv}:3: ") and message in proc.stderr
    assert proc.stderr.count("\n") == 1
    assert os.listdir(tmp_path / "out") == ["tileset.json"]
    assert (tmp_path / "out" / "tileset.json").read_text() == "old"


HALL = ANCHOR_ROWS[0]


@pytest.mark.parametrize("header, row, message", [
    ("model,lon,lat,height", HALL[:4], "unknown column 'height'"),
    ("model,lon,h", HALL[:2] + HALL[3:4], "no column 'lat'"),
    ("lat,lon,model", (HALL[2], HALL[1], HALL[0]), None),  # any order
    (None, HALL, None)])  # no header: model, lon, lat, h, heading
def test_anchor_headers(tmp_path, header, row, message):
    csv = anchors_csv(tmp_path, rows=[row], header=header)
    proc = run_geokern("tiles", "--anchors", csv, "-o", tmp_path / "out")
    if message is None:
        assert proc.returncode == 0, proc.stderr
        features = json.loads((tmp_path / "out" / "footprints.geojson").read_text())["features"]
        centre = np.mean(features[0]["geometry"]["coordinates"][0][:-1], axis=0)
        assert np.allclose(centre, HALL[1:3], atol=1e-3)
    else:
        assert proc.returncode == 1
        assert proc.stderr.startswith(f"geokern: {csv}:1: {message}"), proc.stderr
        assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("content, where", [
    ("v 0 0 0\nv 1 0 0\nf 1 2 3\n", ":3: "),
    (b"\x00\x01binary", ":1: binary data"),
    ("v 0 0 0\nv 1 0 0\nv 0 1 0\nf -4 -2 -1\n", ":4: ")])
def test_a_bad_model_stops_the_run_and_leaves_the_old_tileset(tmp_path, content, where):
    shutil.copytree(BLOCK, tmp_path / "models")
    bad = tmp_path / "models" / "zz-bad.obj"
    bad.write_bytes(content.encode() if isinstance(content, str) else content)
    out = tmp_path / "out"
    proc = run_geokern("tiles", tmp_path / "models", "--at", "8.5,47.3", "-o", out)
    assert proc.returncode == 1
    assert proc.stderr.startswith(f"geokern: {bad}{where}") and proc.stderr.count("\n") == 1
    assert not out.exists() and temporaries(tmp_path) == []
    bad.unlink()
    assert run_geokern("tiles", tmp_path / "models", "--at", "8.5,47.3", "-o", out).returncode == 0
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    bad.write_bytes(content.encode() if isinstance(content, str) else content)
    assert run_geokern("tiles", tmp_path / "models", "--at", "9,47.3", "-o", out).returncode == 1
    assert {p.name: p.read_bytes() for p in out.iterdir()} == before


@pytest.mark.parametrize("args, message", [
    (["tiles", "MODEL", "-o", "OUT"], "--at LON,LAT[,H] or --anchors"),
    (["tiles", "MODEL", "--at", "1,2", "--anchors", "a.csv", "-o", "OUT"], "or --anchors"),
    (["tiles", "MODEL", "--anchors", "a.csv", "-o", "OUT"], "give no MODEL arguments"),
    (["tiles", "MODEL", "--anchors", "a.csv", "--heading", "3", "-o", "OUT"], "--at only"),
    (["tiles", "MODEL", "--at", "1,95", "-o", "OUT"], "latitude 95.0 is outside"),
    (["tiles", "MODEL", "--at", "1", "-o", "OUT"], "expected LON,LAT or LON,LAT,H"),
    (["footprint", "MODEL", "--geojson"], "--geojson needs --at or --anchors"),
    (["footprint"], "give the models")])
def test_usage_errors(tmp_path, args, message):
    model = str(BLOCK / "hall.obj")
    proc = run_geokern(*[model if a == "MODEL" else str(tmp_path / a) if a == "OUT" else a
                         for a in args])
    assert proc.returncode == 2 and message in proc.stderr.splitlines()[-1], proc.stderr


def test_placed_footprints(tmp_path):
    csv = anchors_csv(tmp_path)
    proc = run_geokern("footprint", "--anchors", csv)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.decode().splitlines()
    geojson = run_geokern("footprint", "--anchors", csv, "--geojson")
    features = json.loads(geojson.stdout)["features"]
    assert len(lines) == len(features) == len(ANCHOR_ROWS)
    for line, feature, (model, *anchor) in zip(lines, features, ANCHOR_ROWS):
        wkt = np.array(shapely.from_wkt(line).exterior.coords)
        expected = pymap3d_lonlat(local_box(tmp_path / model), *anchor)
        assert np.abs(wkt - expected).max() < 1e-8
        assert shapely.from_wkt(line).equals(shapely.geometry.shape(feature["geometry"]))
    # --at places every model at one origin; the models keep their offsets.
    at = run_geokern("footprint", "--at", "8.5437,47.3717,400", "--heading", "25",
                     BLOCK / "hall.obj", BLOCK / "tower.obj")
    expected = pymap3d_lonlat(local_box(BLOCK / "tower.obj"), 8.5437, 47.3717, 400, 25)
    tower = np.array(shapely.from_wkt(at.stdout.decode().splitlines()[1]).exterior.coords)
    assert np.abs(tower - expected).max() < 1e-8


@pytest.mark.parametrize("name", NAMES)
def test_sample_faces_point_out_of_the_building(name):
    vertices, faces = read_obj(str(BLOCK / f"{name}.obj"))
    corners = vertices[faces]
    normals = np.cross(corners[:, 1] - corners[:, 0], corners[:, 2] - corners[:, 0])
    outwards = np.einsum("ij,ij->i", normals, corners.mean(axis=1) - vertices.mean(axis=0))
    assert (outwards > 0).all()
