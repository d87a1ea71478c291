"""GLB files: their structure, and the Khronos glTF validator on every kind
the project writes (it runs under node, from the npm tools of GEOKERN_NPM)."""
import glob
import io
import json
import os
import struct
import subprocess
import warnings
import zlib

from importlib import resources

import numpy as np
import pytest

from geokern_tools import Material, MaterialWarning, ObjError, mesh_normals, obj_to_glb, write_glb

SAMPLES = sorted(str(p) for p in (resources.files("geokern_tools") / "samples" / "block")
                 .iterdir() if p.name.endswith(".obj"))
_VALIDATE = r"""
const fs = require("fs");
const validator = require("gltf-validator");
(async () => {
  const out = {};
  for (const path of process.argv.slice(1)) {
    out[path] = (await validator.validateBytes(new Uint8Array(fs.readFileSync(path)))).issues;
  }
  console.log(JSON.stringify(out));
})().catch((e) => { console.error(String(e)); process.exit(1); });
"""


def validate(paths):
    """{path: the validator's issues} for GLB files."""
    if not os.environ.get("GEOKERN_NPM"):
        pytest.skip("the npm tools are not installed (GEOKERN_NPM is not set)")
    proc = subprocess.run(["node", "-e", _VALIDATE, *map(str, paths)], capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def read_glb(path):
    """(JSON, {accessor: numpy array}) of a GLB file."""
    data = open(path, "rb").read()
    magic, version, total = struct.unpack("<4sII", data[:12])
    assert (magic, version, total) == (b"glTF", 2, len(data))
    length, kind = struct.unpack("<II", data[12:20])
    assert kind == 0x4E4F534A and length % 4 == 0
    gltf = json.loads(data[20:20 + length])
    binary = b""
    if 20 + length < len(data):
        size, kind = struct.unpack("<II", data[20 + length:28 + length])
        assert kind == 0x004E4942 and size == gltf["buffers"][0]["byteLength"] and size % 4 == 0
        binary = data[28 + length:28 + length + size]
    types = {5121: np.uint8, 5123: np.uint16, 5125: np.uint32, 5126: np.float32}
    widths = {"SCALAR": 1, "VEC2": 2, "VEC3": 3}
    arrays = {}
    for i, a in enumerate(gltf.get("accessors", [])):
        view = gltf["bufferViews"][a["bufferView"]]
        assert view["byteOffset"] % 4 == 0 and "target" in view
        arrays[i] = np.frombuffer(binary, types[a["componentType"]],
                                  a["count"] * widths[a["type"]],
                                  view["byteOffset"] + a.get("byteOffset", 0)
                                  ).reshape(a["count"], -1)
    return gltf, arrays


def png(width, height, *chunks):
    """A PNG file of an RGB image, with the extra chunks (kind, body)."""
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body))
    rows = b"".join(b"\0" + bytes(range(3 * width)) for _ in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"".join([b"\x89PNG\r\n\x1a\n", chunk(b"IHDR", header),
                     *(chunk(kind, body) for kind, body in chunks),
                     chunk(b"IDAT", zlib.compress(rows)), chunk(b"IEND", b"")])


@pytest.fixture
def textured(tmp_path):
    """A quad with a PNG texture whose pixels are not square (a chunk the
    validator warns of), a roof with a colour, and a JPEG textured triangle."""
    Image = pytest.importorskip("PIL.Image")
    (tmp_path / "wall.png").write_bytes(png(3, 5, (b"pHYs", struct.pack(">IIB", 1, 2, 1))))
    jpeg = io.BytesIO()
    Image.new("RGB", (4, 4), (200, 10, 10)).save(jpeg, "JPEG")
    (tmp_path / "sign.jpg").write_bytes(jpeg.getvalue())
    (tmp_path / "hut.mtl").write_text("newmtl wall\nKd 0.5 0.2 0.1\nd 0.5\nmap_Kd -s 1 1 1 "
                                      "wall.png\nnewmtl roof\nKd 0.2 0.3 0.4\nnewmtl sign\n"
                                      "map_Kd sign.jpg\n")
    path = tmp_path / "hut.obj"
    path.write_text("mtllib hut.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 2 0\n"
                    "vt 0 0\nvt 1 0\nvt 1 1\nvt 0 1\nusemtl wall\nf 1/1 2/2 3/3 4/4\n"
                    "usemtl roof\nf 3 4 5\nusemtl sign\nf 1/1 3/3 5/4\n")
    return path


def test_every_kind_passes_the_validator(tmp_path, textured):
    kinds = {}
    for sample in SAMPLES:
        kinds[sample] = tmp_path / (os.path.basename(sample) + ".glb")
        obj_to_glb(sample, kinds[sample], mode="crease", angle=30)
    (tmp_path / "empty.obj").write_text("v 1 2 3\n")
    kinds["no faces"] = tmp_path / "empty.glb"
    obj_to_glb(tmp_path / "empty.obj", kinds["no faces"])
    kinds["textured"] = tmp_path / "hut.glb"
    obj_to_glb(textured, kinds["textured"], mode="flat", up="z")
    # 300 x 300 vertices need 32-bit indices.
    grid = np.stack(np.meshgrid(np.arange(300.0), np.arange(300.0), [0.0]), -1).reshape(-1, 3)
    quads = (np.arange(299)[:, None] * 300 + np.arange(299)).ravel()
    triangles = np.concatenate([np.c_[quads, quads + 300, quads + 1],
                                np.c_[quads + 1, quads + 300, quads + 301]])
    kinds["large"] = tmp_path / "grid.glb"
    write_glb(kinds["large"], mesh_normals(grid + 1e6, triangles, "smooth"), up="z")
    issues = validate(kinds.values())
    assert all(i["numErrors"] == 0 and i["numWarnings"] == 0 for i in issues.values()), issues
    assert len(SAMPLES) == 6
    gltf, arrays = read_glb(kinds["large"])
    assert gltf["accessors"][gltf["meshes"][0]["primitives"][0]["indices"]]["componentType"] \
        == 5125


@pytest.mark.parametrize("count,component", [(3, 5121), (255, 5121), (256, 5123),
                                             (65535, 5123), (65536, 5125)])
def test_indices_in_the_smallest_type(tmp_path, count, component):
    vertices = np.c_[np.arange(count), np.arange(count) % 7, np.zeros(count)]
    triangles = np.c_[np.arange(count - 2), np.arange(1, count - 1), np.arange(2, count)]
    write_glb(tmp_path / "m.glb", mesh_normals(vertices, triangles, "smooth"))
    gltf, arrays = read_glb(tmp_path / "m.glb")
    primitive = gltf["meshes"][0]["primitives"][0]
    assert gltf["accessors"][primitive["indices"]]["componentType"] == component
    assert arrays[primitive["indices"]].max() == count - 1


@pytest.mark.parametrize("up", ["y", "z"])
def test_positions_about_the_origin_placed_by_the_node(tmp_path, up):
    vertices = np.array([[4.0e6, 1.0, 5.0e5], [4.0e6 + 3, 2.0, 5.0e5], [4.0e6, 4.0, 5.0e5 - 2]])
    write_glb(tmp_path / "m.glb", mesh_normals(vertices, [[0, 1, 2]], "flat"), up=up)
    gltf, arrays = read_glb(tmp_path / "m.glb")
    attributes = gltf["meshes"][0]["primitives"][0]["attributes"]
    positions, normals = arrays[attributes["POSITION"]], arrays[attributes["NORMAL"]]
    assert gltf["accessors"][attributes["POSITION"]]["min"] == positions.min(axis=0).tolist()
    assert gltf["accessors"][attributes["POSITION"]]["max"] == positions.max(axis=0).tolist()
    placed = positions + gltf["nodes"][0]["translation"]
    expected = vertices if up == "y" else vertices[:, [0, 2, 1]] * [1, 1, -1]
    assert np.allclose(placed, expected, rtol=0, atol=1e-6)
    normal = np.cross(expected[1] - expected[0], expected[2] - expected[0])
    assert np.allclose(normals, normal / np.linalg.norm(normal), atol=1e-6)


def test_materials_and_texture_coordinates(textured):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        summary = obj_to_glb(textured, textured.with_suffix(".glb"), mode="smooth")
    assert caught == []
    gltf, arrays = read_glb(textured.with_suffix(".glb"))
    materials = {m["name"]: m for m in gltf["materials"]}
    assert materials["wall"]["alphaMode"] == "BLEND"
    assert materials["wall"]["pbrMetallicRoughness"]["baseColorFactor"] == [1, 1, 1, 0.5]
    assert materials["roof"]["pbrMetallicRoughness"]["baseColorFactor"] == [0.2, 0.3, 0.4, 1]
    assert [gltf["images"][i]["mimeType"] for i in range(2)] == ["image/png", "image/jpeg"]
    wall = next(p for p in gltf["meshes"][0]["primitives"] if p["material"] == 0)
    used = arrays[wall["indices"]].ravel()
    uv = arrays[wall["attributes"]["TEXCOORD_0"]][used]
    corners = arrays[wall["attributes"]["POSITION"]][used] + gltf["nodes"][0]["translation"]
    # v is counted from the top of the image in glTF: 1 - v of the OBJ.
    assert np.array_equal(uv, np.c_[corners[:, 0], 1 - corners[:, 1]])
    assert np.array_equal(summary.minimum, [0, 0, 0]) and np.array_equal(summary.maximum,
                                                                         [1, 2, 0])
    assert summary.triangles == 4 and summary.vertices == len(
        arrays[gltf["meshes"][0]["primitives"][0]["attributes"]["POSITION"]])


def test_materials_that_cannot_be_used(tmp_path):
    (tmp_path / "m.mtl").write_text("newmtl a\nKd 0.1 0.2 0.3\nmap_Kd a.bmp\nnewmtl b\n"
                                    "map_Kd missing.png\nnewmtl d\nmap_Kd t.png\n")
    (tmp_path / "a.bmp").write_bytes(b"BM" + bytes(60))
    (tmp_path / "t.png").write_bytes(png(2, 2))
    (tmp_path / "m.obj").write_text("mtllib m.mtl nope.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\n"
                                    "usemtl a\nf 1 2 3\nusemtl b\nf 1 3 2\nusemtl c\nf 2 1 3\n"
                                    "usemtl d\nf 3 2 1\n")
    with pytest.warns(MaterialWarning) as caught:
        obj_to_glb(tmp_path / "m.obj", tmp_path / "m.glb")
    messages = " | ".join(str(w.message) for w in caught)
    for part in ("nope.mtl", "a.bmp is neither PNG nor JPEG", "missing.png",
                 "material 'c' is not defined", "need texture coordinates"):
        assert part in messages
    gltf, _ = read_glb(tmp_path / "m.glb")
    assert gltf["materials"][0]["pbrMetallicRoughness"]["baseColorFactor"] == [0.1, 0.2, 0.3, 1]
    assert "images" not in gltf


def test_write_glb_checks_its_arguments():
    mesh = mesh_normals(np.eye(3), [[0, 1, 2]], "smooth")
    with pytest.raises(IndexError, match="materials outside"):
        write_glb(io.BytesIO(), mesh, triangle_materials=[1])
    with pytest.raises(ValueError, match="no texture coordinates"):
        write_glb(io.BytesIO(), mesh, materials=[Material("t", image=png(1, 1),
                                                          mime="image/png")])
    with pytest.raises(ValueError, match="up must be"):
        write_glb(io.BytesIO(), mesh, up="x")


def test_real_world_models_read_or_name_their_fault(tmp_path):
    """The OBJ files of Debian's assimp-testmodels: every one reads (and its
    GLB passes the validator) or raises ObjError naming its line."""
    paths = sorted(glob.glob("/usr/share/assimp/models/**/*.obj", recursive=True))
    if not paths:
        pytest.skip("no assimp test models")
    written = []
    for i, path in enumerate(paths):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", MaterialWarning)
                obj_to_glb(path, tmp_path / f"{i}.glb")
        except ObjError as exc:
            assert exc.path == path and exc.line > 0
            continue
        written.append(tmp_path / f"{i}.glb")
    assert len(written) >= 20
    issues = validate(written)
    assert all(i["numErrors"] == 0 and i["numWarnings"] == 0 for i in issues.values()), issues
