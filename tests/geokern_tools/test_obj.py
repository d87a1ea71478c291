import glob
import os

import numpy as np
import pytest

import geokern
from geokern_tools import footprint, read_obj, write_obj
from geokern_tools._footprint import footprint_with_note
from geokern_tools._obj import ObjError
from shared import ring

CUBE_VERTS = [(0, 0, 0), (2, 0, 0), (2, 1, 0), (0, 1, 0), (0, 0, 1), (2, 0, 1), (2, 1, 1), (0, 1, 1)]
CUBE_FACES = ["1 2 3", "1 3 4", "5 6 7", "5 7 8", "1 2 6", "1 6 5"]


def strict_text():
    return "".join(f"v {x} {y} {z}\n" for x, y, z in CUBE_VERTS) + \
        "".join(f"f {f}\n" for f in CUBE_FACES)


# Variants that geokern's own reader refuses but that describe the same model.
TOLERANT = {
    "doubled blanks and tabs": strict_text().replace("v ", "v  ").replace(" 0\n", "\t0\n"),
    "vertex colours": "".join(f"v {x} {y} {z} 0.5 0.5 0.5\n" for x, y, z in CUBE_VERTS)
    + "".join(f"f {f}\n" for f in CUBE_FACES),
    "fourth coordinate": "".join(f"v {x} {y} {z} 1.0\n" for x, y, z in CUBE_VERTS)
    + "".join(f"f {f}\n" for f in CUBE_FACES),
    "negative references": "".join(f"v {x} {y} {z}\n" for x, y, z in CUBE_VERTS)
    + "".join("f " + " ".join(str(int(r) - 9) for r in f.split()) + "\n" for f in CUBE_FACES),
    "line continuation": strict_text().replace("f 1 2 3", "f 1 \\\n 2 3").replace(
        "v 0 0 0", "v 0 0 0 0.1"),
}


@pytest.mark.parametrize("variant", sorted(TOLERANT))
def test_tolerant_reader_matches_the_strict_footprint(write_file, variant):
    strict = write_file(strict_text(), "strict.obj")
    loose = write_file(TOLERANT[variant], "loose.obj")
    with pytest.raises((ValueError, IndexError)):
        geokern.generate_obb_2d_from_obj_file(loose)
    expected = geokern.generate_obb_2d_from_obj_file(strict)
    wkt, note = footprint_with_note(loose)
    assert note.startswith("read with the tolerant reader")
    assert np.allclose(ring(wkt), ring(expected), atol=1e-12)
    assert np.array_equal(read_obj(loose)[1], read_obj(strict)[1])


@pytest.mark.parametrize("encoding,bom", [("utf-8", b"\xef\xbb\xbf"), ("utf-16-le", b"\xff\xfe"),
                                          ("utf-16-be", b"\xfe\xff")])
def test_byte_order_marks(write_file, encoding, bom):
    strict = write_file(strict_text(), "strict.obj")
    marked = write_file(bom + strict_text().encode(encoding), "marked.obj")
    assert footprint(marked) == footprint(strict)


@pytest.mark.parametrize("text,line,message", [
    ("v 1 2\nf 1 1 1\n", 1, "three coordinates"),
    ("v 1 2 3\nv 1 x 3\n", 2, "numbers"),
    ("v 1 2 3\n\nf 1 2\n", 3, "at least three"),
    ("v 1 2 3\nf 1 2 3\n", 2, "beyond"),
    ("v 1 2 3\nf 1 -2 1\n", 2, "out of range"),
    ("v 1 2 3\nf 1 0 1\n", 2, "out of range"),
])
def test_bad_files_name_the_line(write_file, text, line, message):
    path = write_file(text.replace("v 1 2 3", "v  1 2 3"))
    with pytest.raises(ObjError, match=message) as info:
        read_obj(path)
    assert info.value.line == line
    wkt, note = footprint_with_note(path)
    assert wkt is None and note.startswith(f"cannot read: {path}:{line}:")


def test_strict_faceless_and_missing_files(write_file, tmp_path):
    path = write_file(strict_text())
    assert footprint_with_note(path) == (geokern.generate_obb_2d_from_obj_file(path), None)
    assert footprint(path) == geokern.generate_obb_2d_from_obj_file(path)
    path = write_file("v 1 2 3\nv 4 5 6\np 1 2\n", "points.obj")
    assert footprint_with_note(path) == (None, "no faces") and footprint(path) is None
    missing = str(tmp_path / "missing.obj")
    assert footprint_with_note(missing)[1].startswith("cannot read")
    with pytest.raises(FileNotFoundError):
        footprint(missing)


def test_points_footprint_and_its_checks():
    assert footprint([[0, 0], [2, 0], [2, 1], [0, 1]]) == \
        "POLYGON((0.0 0.0,2.0 0.0,2.0 1.0,0.0 1.0,0.0 0.0))"
    with pytest.raises(ValueError, match="shape"):
        footprint(np.zeros((3, 3)))
    with pytest.raises(ValueError, match="empty"):
        footprint(np.zeros((0, 2)))


@pytest.mark.parametrize("normals", [None, "float32", "float64"])
def test_write_read_round_trip(tmp_path, normals):
    rng = np.random.default_rng(3)
    verts = rng.normal(size=(20, 3)) * 1e3
    faces = rng.integers(0, 20, size=(30, 3))
    norms = None if normals is None else rng.normal(size=(20, 3)).astype(normals)
    path = str(tmp_path / "m.obj")
    write_obj(path, verts, faces, norms)
    got_verts, got_faces = read_obj(path)
    assert np.array_equal(got_verts, verts)  # shortest round-trip text
    assert np.array_equal(got_faces, faces)
    text = open(path).read()
    if norms is not None:
        vn = np.array([[float(v) for v in line.split()[1:]] for line in text.splitlines()
                       if line.startswith("vn ")], dtype=norms.dtype)
        assert np.array_equal(vn, norms)
        assert "f %d//%d" % (faces[0, 0] + 1, faces[0, 0] + 1) in text
    else:
        assert "vn" not in text


def test_polygons_are_split_into_fans(write_file):
    path = write_file("v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 2 0\nf 1/1/1 2/2/2 3/3/3 4/4/4 5/5/5\n")
    assert read_obj(path)[1].tolist() == [[0, 1, 2], [0, 2, 3], [0, 3, 4]]


@pytest.mark.parametrize("path", sorted(glob.glob("/usr/share/assimp/models/**/*.obj",
                                                  recursive=True)) or ["none"])
def test_test_models_give_a_footprint_or_a_note(path):
    if not os.path.exists(path):
        pytest.skip("no assimp test models")
    wkt, note = footprint_with_note(path)
    assert (wkt is None) == (note is not None and not note.startswith("read with"))
    if wkt is not None:
        assert wkt.startswith("POLYGON((")
