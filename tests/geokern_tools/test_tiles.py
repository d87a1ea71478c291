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
from geokern_tools._errors import UsageError
from geokern_tools._glb_read import GlbError, glb_scene_bounds

from .tiles_client import (box_corners, content_ecef, make_glb, outside_box, pymap3d_ecef,
                           scene_positions, scene_to_ecef_matrix, tiles)

BLOCK = resources.files("geokern_tools") / "samples" / "block"
MODELS = [read_obj(str(p)) for p in sorted(BLOCK.iterdir()) if p.name.endswith(".obj")]
SHIFT = np.array([[1, 0, 0, -5.0], [0, 1, 0, 1], [0, 0, 1, 3], [0, 0, 0, 1]])


def load(folder):
    return json.loads((folder / "tileset.json").read_text(encoding="utf-8"))


def placed_contents(folder, tileset):
    """{uri: ECEF of every vertex of the content}, as a client places them."""
    return {tile["content"]["uri"]: content_ecef(
        scene_positions((folder / tile["content"]["uri"]).read_bytes()), world)
        for tile, world, _, _ in tiles(tileset) if "content" in tile}


def farthest_outside(folder, tileset):
    """How far (m) a child's volume leaves its parent's, or a content's
    vertices leave its tile's, at worst; also checks the errors' order."""
    worst, scenes = -np.inf, {}
    for tile, world, parent, above in tiles(tileset):
        box = tile["boundingVolume"]["box"]
        if parent is not None:
            worst = max(worst, outside_box(parent["boundingVolume"]["box"], above,
                                           box_corners(box, world)))
            assert 0 <= tile["geometricError"] <= parent["geometricError"]
        if "content" in tile:
            uri = tile["content"]["uri"]
            if uri not in scenes:
                scenes[uri] = scene_positions((folder / uri).read_bytes())
            worst = max(worst, outside_box(box, world, content_ecef(scenes[uri], world)))
    return worst


# ============================================================================
# Placement


ANCHORS = {  # lon, lat, h, heading
    "Berlin, north": (13.4050, 52.5200, 34.0, 0.0),
    "San Francisco, turned": (-122.4194, 37.7749, 16.0, 37.5),
    "Fiji, across 180": (179.9995, -16.5, 2.0, 200.0),
    "Svalbard, high": (15.6, 78.2, 120.0, 271.0),
}


@pytest.mark.parametrize("anchor", ANCHORS.values(), ids=ANCHORS.keys())
def test_every_vertex_lands_where_pymap3d_puts_it(tmp_path, anchor):
    # The GLBs' node matrix shifts every vertex; the positions are moved the
    # other way, so the scene holds the OBJ's vertices.
    matrix = scene_to_ecef_matrix(*anchor)
    write_tileset(tmp_path, [(make_glb(v - SHIFT[:3, 3], f, matrix=SHIFT), matrix)
                             for v, f in MODELS])
    tileset = load(tmp_path)
    assert tileset["asset"]["version"] == "1.1" and tileset["root"]["refine"] == "ADD"
    placed = placed_contents(tmp_path, tileset)
    assert len(placed) == len(MODELS)
    for number, (vertices, _) in enumerate(MODELS):
        ecef = placed[f"model-{number}.glb"]
        expected = pymap3d_ecef(vertices, *anchor)
        # Each vertex of the content is an OBJ vertex and the reverse.
        distance = np.linalg.norm(ecef[:, None, :] - expected[None, :, :], axis=2)
        assert distance.min(axis=0).max() < 0.01 and distance.min(axis=1).max() < 0.01
    assert farthest_outside(tmp_path, tileset) <= 1e-6


@pytest.mark.skipif(shutil.which("obj2gltf") is None, reason="obj2gltf (npm) is not on PATH")
def test_files_of_another_tool_are_read_for_their_bounds(tmp_path):
    anchor = ANCHORS["San Francisco, turned"]
    shutil.copy(BLOCK / "tower.obj", tmp_path / "tower.obj")
    with tileset_output(tmp_path / "out") as tileset:
        subprocess.run(["obj2gltf", "-i", str(tmp_path / "tower.obj"),
                        "-o", str(tileset.folder / "models" / "tower.glb")],
                       check=True, capture_output=True, timeout=120)
        assert tileset.add_file("models/tower.glb", scene_to_ecef_matrix(*anchor)) == \
            "models/tower.glb"
    tileset_json = load(tmp_path / "out")
    ecef = placed_contents(tmp_path / "out", tileset_json)["models/tower.glb"]
    expected = pymap3d_ecef(read_obj(str(BLOCK / "tower.obj"))[0], *anchor)
    assert np.abs(np.sort(ecef, axis=0) - np.sort(expected, axis=0)).max() < 0.01
    assert farthest_outside(tmp_path / "out", tileset_json) <= 1e-6


def test_scene_bounds_follow_the_node_transforms():
    turn = np.array([[0, -1, 0, 10], [1, 0, 0, 0], [0, 0, 2, 0], [0, 0, 0, 1.0]])
    glb = make_glb([[0, 0, 0], [1, 0, 0], [0, 3, 1]], [[0, 1, 2]], matrix=turn)
    assert glb_scene_bounds(glb).tolist() == [[7, 0, 0], [10, 1, 2]]


# ============================================================================
# Many models


def test_ten_thousand_models_nest_in_a_shallow_tree(tmp_path):
    rng = np.random.default_rng(22)
    n = 10_000
    anchors = np.c_[rng.normal(2.35, 0.05, n), rng.normal(48.85, 0.03, n),
                    np.full(n, 30.0), rng.uniform(0, 360, n)]
    anchors[:50] = anchors[0]  # fifty models in one place
    with tileset_output(tmp_path) as tileset:
        (tileset.folder / "tower.glb").write_bytes(make_glb(*MODELS[-1]))
        for anchor in anchors:
            tileset.add_file("tower.glb", scene_to_ecef_matrix(*anchor))
    tileset_json = load(tmp_path)
    assert farthest_outside(tmp_path, tileset_json) <= 1e-6
    depth, contents = {id(tileset_json["root"]): 0}, 0
    for tile, _, parent, _ in tiles(tileset_json):
        depth[id(tile)] = depth[id(parent)] + 1 if parent else 0
        contents += "content" in tile
    assert contents == n and max(depth.values()) <= 8
    assert tileset_json["geometricError"] > tileset_json["root"]["geometricError"] > 0


# ============================================================================
# Whole or nothing


def test_a_failing_block_leaves_the_old_tileset(tmp_path):
    glb = make_glb(*MODELS[0])
    out = tmp_path / "out"
    write_tileset(out, [(glb, np.eye(4))])
    with pytest.raises(RuntimeError):
        with tileset_output(out) as tileset:
            tileset.add(glb, np.eye(4), name="fresh")
            raise RuntimeError("stop")
    assert sorted(os.listdir(out)) == ["model-0.glb", "tileset.json"]
    (tmp_path / "a").mkdir()
    (tmp_path / "a" / "hall.glb").write_bytes(glb)
    write_tileset(out, [(tmp_path / "a" / "hall.glb", np.eye(4)), (glb, np.eye(4), None),
                        (str(tmp_path / "a" / "hall.glb"), np.eye(4))])
    assert sorted(os.listdir(out)) == ["hall-2.glb", "hall.glb", "model-1.glb", "tileset.json"]
    assert sorted(os.listdir(tmp_path)) == ["a", "out"]


def test_a_folder_of_other_files_is_not_replaced(tmp_path):
    (tmp_path / "notes.txt").write_text("keep")
    with pytest.raises(UsageError, match="holds notes.txt, which this output would delete"):
        write_tileset(tmp_path, [(make_glb(*MODELS[0]), np.eye(4))])
    assert os.listdir(tmp_path) == ["notes.txt"]


# ============================================================================
# Refused models


TRIANGLE = ([[0, 0, 0], [1, 0, 0], [0, 1, 0]], [[0, 1, 2]])


def cycle(gltf):
    gltf["nodes"] = [{"mesh": 0, "children": [1]}, {"children": [0]}]


REFUSED = {
    "transform shape": (dict(transform=np.eye(3)), ValueError, "must have shape \\(4, 4\\)"),
    "transform NaN": (dict(transform=np.full((4, 4), np.nan)), ValueError, "must be finite"),
    "projective": (dict(transform=np.ones((4, 4))), ValueError, "must be affine"),
    "singular": (dict(transform=np.diag([1.0, 0, 1, 1])), ValueError, "must not be singular"),
    "bounds reversed": (dict(bounds=[[1, 1, 1], [0, 0, 0]]), ValueError, "lowest coordinates"),
    "not GLB": (dict(glb=b"solid cube\n  facet normal 0 0 1\n"), GlbError, "not a GLB file"),
    "GLB cut short": (dict(glb=make_glb(*TRIANGLE)[:-8]), GlbError, "cut short"),
    "node cycle": (dict(glb=make_glb(*TRIANGLE, edit=cycle)), GlbError, "cycle"),
    "no min/max": (dict(glb=make_glb(*TRIANGLE, edit=lambda g: g["accessors"][0].pop("min"))),
                   GlbError, "'min'"),
    "path name": (dict(name="../up"), ValueError, "plain file name"),
}


@pytest.mark.parametrize("change, error, message", REFUSED.values(), ids=REFUSED.keys())
def test_bad_models_are_refused_by_name(tmp_path, change, error, message):
    args = dict(glb=make_glb(*TRIANGLE), transform=np.eye(4), bounds=None, name="m") | change
    with pytest.raises(error, match=message) as caught:
        with tileset_output(tmp_path / "out") as tileset:
            tileset.add(**args)
    assert "name" in change or str(caught.value).startswith("model 'm.glb': ")
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
