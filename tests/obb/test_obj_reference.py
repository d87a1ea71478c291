"""The native OBJ reader against the line-by-line reference, on random
files and around the 8192-byte chunks in which Python decodes text."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

GOOD_NUMBERS = ["1", "-2.5", "3.", ".5", "+4e2", "1E-3", "-0", "0.1", "12345678901234567890.5",
                "4.9e-324", "1e-400", "1_000", "١٢", "\x0c7", "7\u3000", "1.5\t", "\u00a02"]
BAD_NUMBERS = [" 7", "1e400", "inf", "-nan", "abc", "", "1e", "--1", "+-1", "0x1p3", "1__0"]
BAD_REFS = ["x", "", "1_0", "٣", "99999999999999999999", "-99999999999999999999", "9", "2 ", "+", "1.0"]
ENDINGS = [b"\n"] * 4 + [b"\r\n", b"\r"]
TRAILING = [""] * 8 + [" ", "\t", "\u3000", "\x0b", "\x85", "\x1c", "\u2028", "  "]
BAD_BYTES = [b"\xff", b"\xe4\xb8", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf4\x90\x80\x80"]
OTHER_LINES = ["# comment", "vt 0.5 0.5", "vn 0 0 1", "o thing", "g", "", "v", "f", "\tv 1 2 3",
               "usemtl x", " f 1 2 3", "v\t1 2 3", "vv 1 2 3", "f\t1 2 3", "# f 1 2 3"]


def rarely(common, rare, one_in=12):
    """`common`, or `rare` about once in `one_in` draws."""
    return one_time_in(one_in).flatmap(lambda hit: rare if hit else common)


def one_time_in(n):
    """True about once in `n` draws (integers() would favour the ends)."""
    return st.sampled_from([False] * (n - 1) + [True])


finite = st.floats(-1e6, 1e6).map(repr)
number = rarely(st.one_of(finite, finite, st.sampled_from(GOOD_NUMBERS)), st.sampled_from(BAD_NUMBERS),
                60)
# A vertex line: "v x y z", now and then with other blanks or another count.
vertex_line = rarely(
    st.lists(number, min_size=3, max_size=3).map(lambda n: "v " + " ".join(n)),
    st.builds(lambda sep, n: "v" + sep + sep.join(n), st.sampled_from([" ", "  ", "\t"]),
              st.lists(number, min_size=1, max_size=5)), 40)


@st.composite
def face_line(draw):
    ref = rarely(st.sampled_from(["1", "2", "3", "4", "-1", "0", "+2", "004"]), st.sampled_from(BAD_REFS),
                 40)
    style = draw(st.sampled_from(["{}", "{}/{}/{}", "{}//{}", "{}/{}", "{}/"]))
    refs = [style.format(r, r, r) if i < 3 or draw(st.booleans()) else draw(ref)
            for i, r in enumerate(draw(st.lists(ref, min_size=3, max_size=5)))]
    if draw(one_time_in(40)):
        refs = refs[:draw(st.integers(0, 2))]
    if refs and draw(one_time_in(12)):
        refs[0] = refs[0].split("/")[0]  # slash form decided by the first reference only
    return "f " + " ".join(refs)


@st.composite
def obj_file(draw):
    lines = (draw(st.lists(vertex_line, min_size=4, max_size=8)) +
             draw(rarely(st.lists(face_line(), min_size=1, max_size=4), st.just([]))) +
             draw(st.lists(st.sampled_from(OTHER_LINES), max_size=3)))
    lines = draw(st.permutations(lines))
    parts = [draw(rarely(st.just(b""), st.just(b"\xef\xbb\xbf"), 8))]
    for text in lines:
        parts.append((text + draw(st.sampled_from(TRAILING))).encode())
        if draw(one_time_in(80)):
            parts.append(draw(st.sampled_from(BAD_BYTES)))
        parts.append(draw(st.sampled_from(ENDINGS)))
    if draw(st.booleans()):
        parts.pop()  # no line break after the last line
    return b"".join(parts)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # numpy on infinite coordinates
@given(obj_file())
def test_fuzz_random_files_match_the_reference(same_as_reference, data):
    same_as_reference(data)


MUTATIONS = [b"\r", b"\n", b"\r\n", b" ", b"  ", b"\t", b"/", b"-", b"0", b"9", b".", b"e", b"v ",
             b"f ", b"\xff", b"\xe4", b"\xe4\xb8\xad", b"\xc2\x85", b"\x00", b"#"]


@st.composite
def mutated_obj_file(draw):
    """A random file with bytes inserted, deleted or replaced, now and then
    behind a line that pushes the rest across a chunk boundary."""
    data = bytearray(draw(obj_file()))
    if draw(st.booleans()):
        data[0:0] = b"#" + b"x" * draw(st.integers(8150, 8200)) + b"\n"
    for _ in range(draw(st.integers(1, 6))):
        at = draw(st.integers(0, len(data)))
        piece = draw(st.sampled_from(MUTATIONS))
        kind = draw(st.sampled_from(["insert", "delete", "replace"]))
        if kind == "insert":
            data[at:at] = piece
        elif kind == "delete":
            del data[at:at + draw(st.integers(1, 4))]
        else:
            data[at:at + len(piece)] = piece
    return bytes(data)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@given(mutated_obj_file())
def test_fuzz_mutated_files_match_the_reference(same_as_reference, data):
    same_as_reference(data)


def cube_text(repeat):
    """A valid OBJ text of 8 vertices and 12 triangles, with comments, repeated."""
    body = ("# a unit cube\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nv 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n"
            "f 1 2 3\nf 1 3 4\nf 5 6 7\nf 5 7 8\nf 1 2 6\nf 1 6 5\nf 2 3 7\nf 2 7 6\n"
            "f 3 4 8\nf 3 8 7\nf 4 1 5\nf 4 5 8\n")
    return (body * repeat).encode()


# Positions around the first chunk boundary (8192) and a later one.
AROUND_BOUNDARIES = [8185, 8189, 8190, 8191, 8192, 8193, 8195, 3 * 8192 - 1, 3 * 8192 + 1]


@pytest.mark.parametrize("offset", AROUND_BOUNDARIES)
@pytest.mark.parametrize("inserted", [b"\xff", b"\xe4\xb8\xad", b"\xe4\xb8", b"\xed\xa0\x80",
                                      b"\r", b"\r\n", b"\xe4\xb8\xad\r"],
                         ids=["invalid", "cjk", "cut-cjk", "surrogate", "cr", "crlf", "cjk-cr"])
def test_chunk_boundaries(same_as_reference, offset, inserted):
    data = cube_text(200)
    same_as_reference(data[:offset] + inserted + data[offset:])


@pytest.mark.parametrize("bad_line_at", [100, 8000, 8180, 8200, 16000])
@pytest.mark.parametrize("bad_byte_at", [50, 8150, 8190, 8195, 20000])
def test_which_error_comes_first(same_as_reference, bad_line_at, bad_byte_at):
    """A bad vertex line and an undecodable byte: Python decodes a whole
    chunk before returning its lines, so the byte wins within a chunk."""
    data = cube_text(200)
    cut = data.index(b"\n", bad_line_at) + 1
    data = data[:cut] + b"v 1 2 bad\n" + data[cut:]
    same_as_reference(data[:bad_byte_at] + b"\xff" + data[bad_byte_at:])


@pytest.mark.parametrize("tail", [b"\xe4", b"\xe4\xb8", b"\r", b"v 1 2 3\r", b"\xf0\x9f\x98"])
def test_end_of_file(same_as_reference, tail):
    same_as_reference(cube_text(1) + tail)
    same_as_reference(cube_text(400)[:8192 * 3] + tail)


BLOCK = 1 << 20     # the reader's block: long lines cross several


@pytest.mark.parametrize("length", [BLOCK - 1, 2 * BLOCK + 1])
@pytest.mark.parametrize("line, ending", [
    (b"#", b"\n"), (b"#", b"\r"), (b"#", b"\r\n"), (b"#\xe4\xb8\xad", b"\n"),
    (b"f 1 2 3 ", b"\n"), (b"v 1 2 3", b"\n"), (b"#", b"\xff\n"), (b"", b"\n"),
], ids=["comment", "comment-cr", "comment-crlf", "comment-cjk", "long-face", "long-vertex",
        "comment-invalid", "blank"])
def test_lines_longer_than_a_block(same_as_reference, length, line, ending):
    """A long line between ordinary ones, its end near a block boundary
    (the file starts with a 13-byte line)."""
    pad = b"\xe4\xb8\xad" if b"\xe4" in line else b" " if line.startswith(b"f") else b"x"
    body = line + pad * ((length - len(line)) // len(pad))
    same_as_reference(b"v 0 0 0.5\r\n" + body + ending + cube_text(2))
