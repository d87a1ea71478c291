"""The box of an OBJ file's footprint: what is selected, the errors and
their messages, argument types, and the file always closed."""

import os
import pathlib
import threading

import numpy as np
import pytest

import geokern
from shared import ring, traceback_names

from_file = geokern.generate_obb_2d_from_obj_file
from_points = geokern.generate_obb_2d_from_points


def footprint_box(*xz):
    return from_points(np.array([(x, -z) for x, z in xz], dtype=float))


TRIANGLE = "v 1 2 3\nv 4 5 6\nv 7 8 10\n"


@pytest.mark.parametrize("text", [
    TRIANGLE + "f 1 2 3\n",
    TRIANGLE + "f 1/1/1 2/2/2 3/3/3\n",
    TRIANGLE + "f 1//1 2//2 3//3\n",
    TRIANGLE + "f 1 2 3 4\nv 500 0 500\n",          # a quad: only its first three corners
    TRIANGLE + "f 3 2 1\nf 1 2 3\nf 2 3 1\n",        # each reference counts once
    "f 1 2 3\n" + TRIANGLE,                          # vertices after the faces count
    TRIANGLE + "f 0 1 2\n",                         # 0 - 1 = -1: the last vertex
    "v 1 abc 3\nv 4 5 6\nv 7 8 10 \t\nf 1 2 0\n",    # y is never converted; strip()
    TRIANGLE.replace("\n", "\r\n") + "f 1 2 3",      # CR LF, no final line break
    TRIANGLE.replace("\n", "\r") + "f 1 2 3\r",      # lone CR
    "vt 0 0\nvn 0 1 0\n# f 9 9 9\nv\t9 9 9\n" + TRIANGLE + "f 1 2 3 x y\n",
])
def test_selected_vertices(same_as_reference, text):
    # The selection's order (the index set's) may change the last bits.
    kind, box = same_as_reference(text.encode())
    assert kind == "ok"
    np.testing.assert_allclose(ring(box), ring(footprint_box((1, 3), (4, 6), (7, 10))),
                               rtol=0, atol=1e-12)


@pytest.mark.parametrize("text", ["", "v 1 2 3\nv 4 5 6\n", "\ufefff 1 2 3\nv 1 2 3\n", "f\t1 2 3\n"])
def test_no_face_line_gives_none(write_file, text):
    assert from_file(write_file(text)) is None


@pytest.mark.parametrize("text, error, message", [
    ("v 1 2 3 4\n", ValueError, "too many values to unpack (expected 4)"),
    ("v 1  2 3\n", ValueError, "too many values to unpack (expected 4)"),
    ("v 1 2\n", ValueError, "need more than 3 values to unpack"),
    ("v \n", ValueError, "need more than 1 value to unpack"),
    ("f 1 2\n", ValueError, "need more than 3 values to unpack"),
    ("v 1 2 x\n", ValueError, "could not convert string to float: 'x'"),
    ("v 1_ 2 3\n", ValueError, "could not convert string to float: '1_'"),
    (TRIANGLE + "f 1/2 /2 3\n", ValueError, "invalid literal for int() with base 10: ''"),
    (TRIANGLE + "f 1 2/2 3\n", ValueError, "invalid literal for int() with base 10: '2/2'"),
    (TRIANGLE + "f 1 2 4\n", IndexError, "list index out of range"),
    (TRIANGLE + "f 1 2 -3\n", IndexError, "list index out of range"),
    (TRIANGLE + "f 1 2 99999999999999999999\n", IndexError,
     "cannot fit 'int' into an index-sized integer"),
    (b"v 1 2 3\n\xff\n", UnicodeDecodeError,
     "'utf-8' codec can't decode byte 0xff in position 8: invalid start byte"),
    (b"v 1 2 3\n\xe4\xb8", UnicodeDecodeError,
     "'utf-8' codec can't decode bytes in position 0-1: unexpected end of data"),
])
def test_errors(write_file, text, error, message):
    with pytest.raises(error) as info:
        from_file(write_file(text))
    assert str(info.value) == message
    assert traceback_names(info.value)[-2:] == ["geokern.generate_obb_2d_from_obj_file",
                                                "geokern.generate_obb_2d_from_obj_file_cython"]


@pytest.mark.parametrize("text", ["v 1 ١ 3\nv ٤ 5 ٦\nv 7_0 8 1e1\nf ١ ٢ 0\n",
                                  "v +1 2 3\u3000\nv 4. 5 6\nv 7 8 10\nf +1 2 \u00a03\n",
                                  "v -0 0 -0\nv inf 0 0\nv 1 1 1\nf 1 2 3\n"])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_python_number_forms(same_as_reference, text):
    same_as_reference(text.encode())


# Digit runs of every length around the 8-byte steps of the number parser,
# and the forms just past what it takes itself (16 significant digits,
# 2^53 + 1, an exponent), each with a stray byte at either end.
LONG_FLOATS = ["0.52573111", "-0.85065081", "123456789.012345", "1234567890.123456",
               "9007199254740993", "96.48064786969077", "0.000000000000001", "1." + "0" * 14,
               ".123456781234567", "12345678.", "5e-1", "0.5000000x", "x.1234567", "1..5"]
LONG_REFS = ["0" * (n - 1) + "2" for n in range(1, 20)] + [
    "-" + "0" * 7 + "1", "+00000003", "0000000x2", "2x", "x0000002", "00000002/", "0000²2"]


@pytest.mark.parametrize("x", LONG_FLOATS)
@pytest.mark.parametrize("ref", LONG_REFS[::3] + LONG_REFS[-6:])
def test_number_lengths(same_as_reference, x, ref):
    same_as_reference(f"v {x} 0 1\nv 0.25 0 0.5\nv 2 0 0.75\nf 1 {ref} 3\n".encode())


INCORRECT = r"Argument 'obj_file' has incorrect type \(expected str, got {}\)"


@pytest.mark.parametrize("arg, error, message", [
    (pathlib.Path("model.obj"), TypeError, INCORRECT.format("PosixPath")),
    (b"model.obj", TypeError, INCORRECT.format("bytes")),
    (type("Name", (str,), {})("model.obj"), TypeError, INCORRECT.format("Name")),
    (None, TypeError, "NoneType"),  # from open()
    ("/nonexistent/model.obj", FileNotFoundError, None),
    ("/", IsADirectoryError, None),
])
def test_refused_paths(arg, error, message):
    with pytest.raises(error, match=message):
        from_file(arg)


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.filterwarnings("error::ResourceWarning")
def test_file_closed_on_every_way_out(write_file):
    cases = [TRIANGLE + "f 1 2 3\n", "v 1 2\n", "v 1 2 x\n", b"\xff", TRIANGLE + "f 1 2 9\n",
             "v 1 2 nan\nv 1 2 3\nv 3 4 5\nf 1 2 3\n", "v 1 2 3\n"]
    before = open_descriptors()
    for content in cases * 20:
        try:
            from_file(write_file(content))
        except Exception:  # noqa: BLE001 - the failures are the point
            pass
    assert open_descriptors() == before


@pytest.mark.parametrize("faces", ["every vertex, shuffled", "some vertices, slashed"])
def test_large_file_across_blocks(same_as_reference, faces):
    """Over 3 MB of CR LF text; the selection order (the index set's) must
    be Python's to the last bit, whether or not every vertex is used."""
    rng = np.random.default_rng(2)
    n = 60_000
    lines = [f"v {x!r} {y!r} {z!r}" for x, y, z in rng.normal(size=(n, 3)).tolist()]
    if faces == "every vertex, shuffled":
        refs = rng.permutation(n) + 1
        lines += [f"f {a} {b} {c}" for a, b, c in refs.reshape(-1, 3).tolist()]
    else:
        lines += [f"f {i}/1 {i + 1}/{i}/1 {i + 2}//3" for i in range(1, n - 2, 7)]
    data = "\r\n".join(lines).encode()
    assert len(data) > 3 * 1024 * 1024
    kind, text = same_as_reference(data)
    assert kind == "ok", text
    assert text.startswith("POLYGON((")


def test_fifo_is_read_like_a_file(tmp_path):
    path = tmp_path / "pipe.obj"
    os.mkfifo(path)
    text = (TRIANGLE * 2000 + "f 1 2 3\n").encode()

    def feed():
        with open(path, "wb") as f:
            for i in range(0, len(text), 1000):
                f.write(text[i:i + 1000])
    writer = threading.Thread(target=feed)
    writer.start()
    try:
        assert from_file(str(path)) == footprint_box((1, 3), (4, 6), (7, 10))
    finally:
        writer.join()


def test_open_and_numpy_are_looked_up_at_call_time(monkeypatch, write_file):
    path = write_file(TRIANGLE + "f 1 2 3\n")
    opened = []

    def spy_open(*args, **kwargs):
        opened.append((args, kwargs))
        return open(*args, **kwargs)
    monkeypatch.setattr(geokern, "open", spy_open, raising=False)
    assert from_file(path) == footprint_box((1, 3), (4, 6), (7, 10))
    assert opened == [((path, "r"), {"encoding": "utf-8"})]
    monkeypatch.delattr(geokern, "np")
    with pytest.raises(NameError, match="name 'np' is not defined"):
        from_file(path)
