"""3D Tiles 1.1 tilesets: every vertex lands where pymap3d puts it, volumes
nest on a 10 000-model tileset, the folder appears whole or not at all, and
bad models are refused by name."""
import json
import os
import shutil
import subprocess
from importlib import resources

import numpy as np
import pytest

from geokern_tools import read_obj, tileset_output, write_tileset
from geokern_tools._glb_read import GlbError, glb_scene_bounds

from .tiles_client import (box_corners, content_ecef, make_glb, outside_box, pymap3d_ecef,
                           scene_positions, scene_to_ecef_matrix, tiles)

BLOCK = resources.files("geokern_tools") / "samples" / "block"
NPM = os.environ.get("GEOKERN_NPM")


def block_models():
    return {path.name[:-4]: read_obj(str(path))
            for path in sorted(BLOCK.iterdir()) if path.name.endswith(".obj")}


def load(folder):
    with open(folder / "tileset.json", encoding="utf-8") as f:
        return json.load(f)


def check_nesting(folder, tileset, scene_of=None):
    """Largest distance (m) by which a child's volume leaves its parent's or
    a content's vertices leave its tile's; also checks the tree's form."""
    worst = -np.inf
    cache = {}
    for tile, parent, world in tiles(tileset):
        volume = tile["boundingVolume"]["box"]
        assert tile["geometricError"] >= 0
        if parent is not None:
            parent_world = world if "transform" not in tile else None
            if parent_world is None:  # the parent's frame: above this tile's transform
                local = np.array(tile["transform"]).reshape(4, 4).T
                parent_world = world @ np.linalg.inv(local)
            worst = max(worst, outside_box(parent["boundingVolume"]["box"], parent_world,
                                           box_corners(volume, world)))
            assert tile["geometricError"] <= parent["geometricError"]
        if "content" in tile:
            uri = tile["content"]["uri"]
            if uri not in cache:
                cache[uri] = scene_positions((folder / uri).read_bytes())
            worst = max(worst, outside_box(volume, world, content_ecef(cache[uri], world)))
    return worst


# ============================================================================
# Placement


ANCHORS = {  # lon, lat, h, heading
    "Berlin, north": (13.4050, 52.5200, 34.0, 0.0),
    "San Francisco, turned": (-122.4194, 37.7749, 16.0, 37.5),
    "Fiji, across 180": (179.9995, -16.5, 2.0, 200.0),
    "Svalbard, high": (15.6, 78.2, 120.0, 271.0),
}


@pytest.fixture(scope="module")
def block_glbs():
    """The sample block's models as GLB: a node matrix that shifts every
    vertex by (-5, 1, 3) m, positions moved the other way to match."""
    shift = np.eye(4)
    shift[:3, 3] = (-5.0, 1.0, 3.0)
    return {name: (make_glb(v - shift[:3, 3], f, matrix=shift), v)
            for name, (v, f) in block_models().items()}


@pytest.mark.parametrize("anchor", ANCHORS.values(), ids=ANCHORS.keys())
def test_every_vertex_lands_where_pymap3d_puts_it(tmp_path, block_glbs, anchor):
    out = tmp_path / "block"
    matrix = scene_to_ecef_matrix(*anchor)
    write_tileset(out, [(glb, matrix) for glb, _ in block_glbs.values()])
    tileset = load(out)
    assert tileset["asset"]["version"] == "1.1" and tileset["root"]["refine"] == "ADD"
    placed = {}
    for tile, _, world in tiles(tileset):
        if "content" in tile:
            placed[tile["content"]["uri"]] = content_ecef(
                scene_positions((out / tile["content"]["uri"]).read_bytes()), world)
    assert len(placed) == len(block_glbs)
    models = list(block_glbs.values())
    for uri, ecef in placed.items():
        _, obj_vertices = models[int(uri.removeprefix("model-").removesuffix(".glb"))]
        # Every OBJ vertex is among the content's (flat shading copies them).
        expected = pymap3d_ecef(obj_vertices, *anchor)
        distance = np.linalg.norm(ecef[:, None, :] - expected[None, :, :], axis=2)
        assert distance.min(axis=0).max() < 0.01
        assert distance.min(axis=1).max() < 0.01
    assert check_nesting(out, tileset) <= 1e-6


@pytest.mark.skipif(not NPM, reason="GEOKERN_NPM is not set: obj2gltf (npm) is not installed")
def test_files_of_another_tool_are_read_for_their_bounds(tmp_path):
    anchor = ANCHORS["San Francisco, turned"]
    with tileset_output(tmp_path / "out") as tileset:
        shutil.copy(BLOCK / "tower.obj", tmp_path / "tower.obj")
        subprocess.run(["obj2gltf", "-i", str(tmp_path / "tower.obj"),
                        "-o", str(tileset.folder / "models" / "tower.glb")],
                       check=True, capture_output=True, timeout=120)
        uri = tileset.add_file("models/tower.glb", scene_to_ecef_matrix(*anchor))
    assert uri == "models/tower.glb"
    tileset_json = load(tmp_path / "out")
    (tile, _, world), = [t for t in tiles(tileset_json) if "content" in t[0]]
    ecef = content_ecef(scene_positions((tmp_path / "out" / uri).read_bytes()), world)
    vertices, _ = read_obj(str(BLOCK / "tower.obj"))
    assert np.abs(np.sort(ecef, axis=0) - np.sort(pymap3d_ecef(vertices, *anchor), axis=0)
                  ).max() < 0.01
    assert check_nesting(tmp_path / "out", tileset_json) <= 1e-6


# ============================================================================
# Many models


def test_ten_thousand_models_nest_in_a_shallow_tree(tmp_path):
    rng = np.random.default_rng(22)
    n = 10_000
    lon = 2.35 + rng.normal(0, 0.05, n)
    lat = 48.85 + rng.normal(0, 0.03, n)
    lon[:50] = lon[0]  # fifty models share an anchor
    lat[:50] = lat[0]
    heading = rng.uniform(0, 360, n)
    vertices, faces = block_models()["tower"]
    with tileset_output(tmp_path / "city") as tileset:
        (tileset.folder / "tower.glb").write_bytes(make_glb(vertices, faces))
        for i in range(n):
            tileset.add_file("tower.glb", scene_to_ecef_matrix(lon[i], lat[i], 30.0, heading[i]))
    tileset_json = load(tmp_path / "city")
    assert check_nesting(tmp_path / "city", tileset_json) <= 1e-6
    contents, depth = 0, {id(tileset_json["root"]): 0}
    for tile, parent, _ in tiles(tileset_json):
        if parent is not None:
            depth[id(tile)] = depth[id(parent)] + 1
        children = tile.get("children", [])
        if "content" in tile:
            contents += 1
            assert not children and tile["geometricError"] == 0
        else:
            # Groups hold up to 16 models or up to 4 groups.
            assert 0 < len(children) <= (16 if "content" in children[0] else 4)
    assert contents == n
    assert max(depth.values()) <= 8
    assert tileset_json["geometricError"] > tileset_json["root"]["geometricError"] > 0


# ============================================================================
# Whole or nothing


def test_a_failing_block_leaves_the_old_tileset(tmp_path, block_glbs):
    out = tmp_path / "out"
    glb = next(iter(block_glbs.values()))[0]
    write_tileset(out, [(glb, np.eye(4))])
    before = sorted(os.listdir(out))
    with pytest.raises(RuntimeError):
        with tileset_output(out) as tileset:
            tileset.add(glb, np.eye(4), name="fresh")
            raise RuntimeError("stop")
    assert sorted(os.listdir(out)) == before
    write_tileset(out, [(glb, np.eye(4), None)] * 2)
    assert sorted(os.listdir(out)) == ["model-0.glb", "model-1.glb", "tileset.json"]
    assert sorted(os.listdir(tmp_path)) == ["out"]


def test_a_folder_of_other_files_is_not_replaced(tmp_path, block_glbs):
    (tmp_path / "notes.txt").write_text("keep")
    glb = next(iter(block_glbs.values()))[0]
    with pytest.raises(FileExistsError, match="without tileset.json"):
        write_tileset(tmp_path, [(glb, np.eye(4))])
    assert os.listdir(tmp_path) == ["notes.txt"]


def test_paths_are_copied_under_their_names(tmp_path, block_glbs):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "hall.glb").write_bytes(block_glbs["hall"][0])
    write_tileset(tmp_path / "out", [(tmp_path / "a" / "hall.glb", np.eye(4)),
                                     (str(tmp_path / "b" / "hall.glb"), np.eye(4))])
    uris = [t["content"]["uri"] for t, _, _ in tiles(load(tmp_path / "out")) if "content" in t]
    assert sorted(uris) == ["hall-2.glb", "hall.glb"]


# ============================================================================
# Refused models


def bad_glb():
    glb = bytearray(make_glb([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]]))
    text = json.loads(glb[20:20 + int.from_bytes(glb[12:16], "little")])
    return glb, text


def glb_with(change):
    glb, text = bad_glb()
    change(text)
    body = json.dumps(text).encode()
    body += b" " * (-len(body) % 4)
    old = int.from_bytes(glb[12:16], "little")
    rest = glb[20 + old:]
    head = (b"glTF" + (2).to_bytes(4, "little") + (20 + len(body) + len(rest)).to_bytes(4, "little")
            + len(body).to_bytes(4, "little") + glb[16:20])
    return bytes(head + body + rest)


def cycle(text):
    text["nodes"] = [{"mesh": 0, "children": [1]}, {"children": [0]}]


REFUSED = {
    "transform shape": (dict(transform=np.eye(3)), ValueError, "must have shape \\(4, 4\\)"),
    "transform NaN": (dict(transform=np.full((4, 4), np.nan)), ValueError, "must be finite"),
    "projective": (dict(transform=np.ones((4, 4))), ValueError, "must be affine"),
    "singular": (dict(transform=np.diag([1.0, 0, 1, 1])), ValueError, "must not be singular"),
    "text transform": (dict(transform="eye"), TypeError, "4 x 4 array of numbers"),
    "bounds reversed": (dict(bounds=[[1, 1, 1], [0, 0, 0]]), ValueError, "lowest coordinates"),
    "bounds shape": (dict(bounds=[0, 0, 0]), ValueError, "must have shape \\(2, 3\\)"),
    "not GLB": (dict(glb=b"solid cube\n"), GlbError, "not a GLB file"),
    "GLB version 1": (dict(glb=b"glTF\x01\0\0\0\x0c\0\0\0"), GlbError, "only glTF 2.0"),
    "GLB cut short": (dict(glb=b"glTF\x02\0\0\0\xff\0\0\0"), GlbError, "cut short"),
    "node cycle": (dict(glb=glb_with(cycle)), GlbError, "cycle"),
    "no positions": (dict(glb=glb_with(lambda t: t.pop("meshes"))), GlbError, "cannot be read"),
    "no min/max": (dict(glb=glb_with(lambda t: t["accessors"][0].pop("min"))), GlbError, "min"),
    "path name": (dict(name="../up"), ValueError, "plain file name"),
    "hidden name": (dict(name=".x"), ValueError, "plain file name"),
}


@pytest.mark.parametrize("change, error, message", REFUSED.values(), ids=REFUSED.keys())
def test_bad_models_are_refused_by_name(tmp_path, change, error, message):
    args = dict(glb=bad_glb()[0], transform=np.eye(4), bounds=None, name="m") | change
    with pytest.raises(error, match=message) as caught:
        with tileset_output(tmp_path / "out") as tileset:
            tileset.add(**args)
    if "name" not in change:
        assert str(caught.value).startswith("model 'm.glb': ")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("name, error", [("missing.glb", FileNotFoundError),
                                         ("../out.glb", ValueError), ("/etc/passwd", ValueError)])
def test_files_outside_the_tileset_are_refused(tmp_path, name, error):
    with pytest.raises(error):
        with tileset_output(tmp_path / "out") as tileset:
            tileset.add_file(name, np.eye(4))


def test_an_empty_tileset_is_refused(tmp_path):
    with pytest.raises(ValueError, match="at least one model"):
        write_tileset(tmp_path / "out", [])
    assert os.listdir(tmp_path) == []


def test_scene_bounds_follow_the_node_transforms():
    turn = np.array([[0, -1, 0, 10], [1, 0, 0, 0], [0, 0, 2, 0], [0, 0, 0, 1.0]])
    glb = make_glb([[0, 0, 0], [1, 0, 0], [0, 3, 1]], [[0, 1, 2]], matrix=turn)
    assert glb_scene_bounds(glb).tolist() == [[7, 0, 0], [10, 1, 2]]
