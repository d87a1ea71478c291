"""geokern_tools' OBJ reader and writer, and the footprints of OBJ models."""
import os
import pickle
import threading

import numpy as np
import pytest

import geokern
from geokern_tools import ObjError, footprint, read_obj, read_obj_model, write_obj
from geokern_tools._footprint import footprint_outcome, footprint_with_note
from shared import ring

CUBE_VERTS = [(0, 0, 0), (2, 0, 0), (2, 1, 0), (0, 1, 0), (0, 0, 1), (2, 0, 1), (2, 1, 1), (0, 1, 1)]
CUBE_FACES = ["1 2 3", "1 3 4", "5 6 7", "5 7 8", "1 2 6", "1 6 5"]
CUBE_TRIANGLES = [[int(r) - 1 for r in f.split()] for f in CUBE_FACES]


def strict_text():
    return "".join(f"v {x} {y} {z}\n" for x, y, z in CUBE_VERTS) + \
        "".join(f"f {f}\n" for f in CUBE_FACES)


# Texts that describe the cube as strict_text() does.
VARIANTS = {
    "doubled blanks and tabs": strict_text().replace("v ", "v  ").replace(" 0\n", "\t0\n"),
    "vertex colours": "".join(f"v {x} {y} {z} 0.5 0.5 0.5\n" for x, y, z in CUBE_VERTS)
    + "".join(f"f {f}\n" for f in CUBE_FACES),
    "negative references": "".join(f"v {x} {y} {z}\n" for x, y, z in CUBE_VERTS)
    + "".join("f " + " ".join(str(int(r) - 9) for r in f.split()) + "\n" for f in CUBE_FACES),
    "line continuation and comments": strict_text().replace("f 1 2 3", "f 1 \\\n 2 3 # c")
    .replace("v 0 0 0", "# x\nv 0 0 0 1.0"),
    "CR LF": strict_text().replace("\n", "\r\n"),
    "lone CR": strict_text().replace("\n", "\r"),
    "slash forms": strict_text().replace("f 1 2 3", "f 1//1 2//2 3//3").replace(
        "f 1 3 4", "vt 0 0\nf 1/1 3/1/1 4/1"),
    "UTF-8 mark": "\ufeff" + strict_text(),
}


@pytest.mark.parametrize("variant", sorted(VARIANTS))
def test_variants_read_as_the_strict_text(write_file, variant):
    vertices, triangles = read_obj(write_file(VARIANTS[variant]))
    assert np.array_equal(vertices, CUBE_VERTS) and triangles.tolist() == CUBE_TRIANGLES
    assert vertices.dtype == np.float64 and triangles.dtype == np.int64


@pytest.mark.parametrize("encoding", ["utf-16-le", "utf-16-be"])
def test_utf16_with_its_mark(write_file, encoding):
    path = write_file(("\ufeff" + strict_text()).encode(encoding))
    assert read_obj(path)[1].tolist() == CUBE_TRIANGLES


def test_negative_references_count_back_from_the_last_vertex_read(write_file):
    # regression: issue 19 (footprint and read_obj disagreed on f -3 -2 -1)
    path = write_file("v 0 0 0\nv 1 0 0\nv 0 0 -1\nv 5 0 -5\nf -3 -2 -1\n"
                      "v 9 0 9\nf -1 -4 1\n")
    assert read_obj(path)[1].tolist() == [[1, 2, 3], [4, 1, 0]]
    model = write_file("v 0 0 0\nv 1 0 0\nv 0 0 -1\nv 5 0 -5\nf -3 -2 -1\n", "neg.obj")
    assert np.allclose(ring(footprint(model)), ring(footprint([[1, 0], [0, 1], [5, 5]])))


@pytest.mark.parametrize("text,line,message", [
    ("v 1 2\nf 1 1 1\n", 1, "a vertex needs three coordinates"),
    ("v 1 2 3\nv 1 x 3\n", 2, "vertex coordinates must be numbers, not 'x'"),
    ("v 1 2 3\nv 1 1e999 3\n", 2, "numbers, not '1e999'"),
    ("v 1 2 3\n\nf 1 2\n", 3, "a face needs at least three vertices"),
    ("v 1 2 3\nf 1 2 3\n", 2, "vertex reference 3 beyond the 1 vertices of the file"),
    ("v 1 2 3\nf 1 -2 1\n", 2, "vertex reference -2 out of range"),
    ("v 1 2 3\nv 1 2 3\nf 1 2 x\n", 3, "bad vertex reference 'x'"),
    ("v 1 2 3\nvt 0 a\n", 2, "texture coordinates must be numbers, not 'a'"),
    ("v 1 2 3\nvt 0 0\nf 1/1 1/2 1/1\n", 3, "texture coordinate reference 2 beyond"),
    ("v 1 2 3\nf 1/-2 1 1\n", 2, "texture coordinate reference -2 out of range"),
    ("v 1 2 3\nf 1 1 1\n\x00\x01", 3, "binary data (byte 0x00), not an OBJ text"),
])
def test_bad_files_name_the_file_and_line(write_file, text, line, message):
    path = write_file(text)
    with pytest.raises(ObjError) as info:
        read_obj(path)
    assert info.value.line == line and str(info.value).startswith(f"{path}:{line}: ")
    assert message in str(info.value)
    # Footprints propagate the error itself.
    with pytest.raises(ObjError, match=f"^{path}:{line}:"):
        footprint(path)


@pytest.mark.timeout(30)
def test_an_endless_binary_device_is_refused_at_once():
    with pytest.raises(ObjError, match="binary data"):
        read_obj("/dev/zero")


def test_a_pipe_reads_like_a_file(tmp_path):
    fifo = tmp_path / "pipe.obj"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_text(strict_text() * 3000))
    writer.start()
    vertices, triangles = read_obj(fifo)
    writer.join()
    assert len(vertices) == 8 * 3000 and triangles[-1].tolist() == CUBE_TRIANGLES[-1]


def test_polygons_texture_vertices_and_statements(write_file):
    path = write_file("mtllib a b.mtl # two\no hut\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
                      "v 0 2 0\nvt 0.5\nvt 0.25 1 0.5\nusemtl wall\n"
                      "f 1/1 2/2 3/1 4/2 5/1\ng roof\ns off\nf 1 -2 -1\n")
    model = read_obj_model(path)
    assert model.triangles.tolist() == [[0, 1, 2], [0, 2, 3], [0, 3, 4], [0, 3, 4]]
    assert model.triangle_texcoords.tolist() == [[0, 1, 0], [0, 0, 1], [0, 1, 0],
                                                 [0xFFFFFFFF] * 3]
    assert model.texcoords.tolist() == [[0.5, 0.0, 0.0], [0.25, 1.0, 0.5]]
    assert model.statements == [(0, 1, "mtllib a b.mtl"), (0, 2, "o hut"),
                                (0, 10, "usemtl wall"), (3, 12, "g roof"), (3, 13, "s off")]


@pytest.mark.parametrize("normals", [None, "float32"])
def test_write_read_round_trip(tmp_path, normals):
    rng = np.random.default_rng(3)
    verts = rng.normal(size=(20, 3)) * 1e3
    faces = rng.integers(0, 20, size=(30, 3))
    norms = None if normals is None else rng.normal(size=(20, 3)).astype(normals)
    path = str(tmp_path / "m.obj")
    write_obj(path, verts, faces, norms, texcoords=rng.random((5, 2)),
              face_texcoords=rng.integers(-1, 5, size=(30, 3)),
              statements=[(0, "mtllib m.mtl"), (7, "usemtl b"), (30, "# end")])
    got_verts, got_faces = read_obj(path)
    assert np.array_equal(got_verts, verts)  # shortest round-trip text
    assert np.array_equal(got_faces, faces)
    text = open(path).read()
    assert text.startswith("mtllib m.mtl\nv ") and text.endswith("# end\n")
    lines = text.splitlines()
    assert lines[lines.index("usemtl b") - 1].startswith("f ")
    assert sum(line.startswith("f ") for line in lines[:lines.index("usemtl b")]) == 7
    if norms is not None:
        vn = np.array([[float(v) for v in line.split()[1:]] for line in lines
                       if line.startswith("vn ")], dtype=norms.dtype)
        assert np.array_equal(vn, norms)
    else:
        assert "vn" not in text


def test_footprints_use_every_corner_and_keep_errors_as_they_are(write_file, tmp_path):
    quad = write_file("v 0 0 0\nv 4 0 0\nv 4 0 -3\nv 0 0 -2\nf 1 2 3 4\n", "quad.obj")
    assert footprint(quad) == footprint([[0, 0], [4, 0], [4, 3], [0, 2]])
    # geokern's own reader counts a face's first three corners only.
    assert not np.allclose(ring(geokern.generate_obb_2d_from_obj_file(quad)), ring(footprint(quad)))
    zup = write_file("v 0 0 0\nv 4 0 0\nv 4 2 0\nf 1 2 3\n", "zup.obj")
    assert np.allclose(ring(footprint(zup, up="z")), ring(footprint([[0, 0], [4, 0], [4, 2]])))
    empty = write_file("v 1 2 3\np 1\n", "points.obj")
    assert footprint(empty) is None and footprint_with_note(empty) == (None, "no faces")
    with pytest.raises(IsADirectoryError):  # regression: issue 20 (a ValueError before)
        footprint(str(tmp_path))
    with pytest.raises(FileNotFoundError):
        footprint(str(tmp_path / "missing.obj"))
    bad = write_file("v 1 2\n", "bad.obj")
    wkt, note, error = footprint_outcome(bad)
    assert (wkt, note) == (None, None) and isinstance(error, ObjError)
    again = pickle.loads(pickle.dumps(error))  # crosses worker processes
    assert (str(again), again.path, again.line) == (str(error), bad, 1)


def test_points_footprint_and_its_checks():
    assert footprint([[0, 0], [2, 0], [2, 1], [0, 1]]) == \
        "POLYGON((0.0 0.0,2.0 0.0,2.0 1.0,0.0 1.0,0.0 0.0))"
    with pytest.raises(ValueError, match="shape"):
        footprint(np.zeros((3, 3)))
    with pytest.raises(ValueError, match="empty"):
        footprint(np.zeros((0, 2)))
