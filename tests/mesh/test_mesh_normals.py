"""Mesh normals: smooth, flat-shaded and crease-split, against numpy references."""

import math
import pathlib

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import geokern
from shared import QUAD_IDX, QUAD_POS

# Crease splitting takes the length of a group's mean normal as numpy's
# vector norm computes it on OpenBLAS (src/mesh/crease_split.cpp), the BLAS
# of numpy's own wheels.  numpy on another BLAS (a plain Debian numpy has the
# reference BLAS) rounds many of those lengths differently, and with them
# the normals of the interpreted algorithm.
NUMPY_ON_OPENBLAS = "openblas" in pathlib.Path("/proc/self/maps").read_text().lower()
follows_openblas = pytest.mark.xfail(
    not NUMPY_ON_OPENBLAS, strict=False,
    reason="the crease normals follow numpy on OpenBLAS; this numpy has another BLAS")

smooth = geokern.calculate_smooth_normals_cy
flat = geokern.expand_flat_shaded_mesh_cy
crease = geokern.expand_crease_normals_mesh_cy

# The unit cube, 12 outward-wound triangles.
CUBE_POS = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float32)
CUBE_IDX = np.array([
    0, 1, 3, 0, 3, 2,   # x = 0
    4, 6, 7, 4, 7, 5,   # x = 1
    0, 4, 5, 0, 5, 1,   # y = 0
    2, 3, 7, 2, 7, 6,   # y = 1
    0, 2, 6, 0, 6, 4,   # z = 0
    1, 5, 7, 1, 7, 3,   # z = 1
], np.uint32)


def random_mesh(rng, vertices, triangles, repeated=0.1):
    """Random positions (some duplicated) and triangles, some of which use a
    vertex at two corners."""
    pos = rng.normal(size=(vertices, 3)).astype(np.float32)
    pos[rng.integers(0, vertices, vertices // 10)] = pos[0]
    tris = rng.integers(0, vertices, (triangles, 3))
    twice = rng.random(triangles) < repeated
    tris[twice, 1] = tris[twice, 0]
    return pos, tris.astype(np.uint32).ravel()


def height_field(rng, n, roughness):
    """An n x n grid surface with random heights: neighbouring faces bend by
    angles spread over the whole range of interesting crease angles."""
    x, y = np.meshgrid(np.arange(n), np.arange(n))
    z = rng.normal(scale=roughness, size=(n, n))
    pos = np.column_stack([x.ravel(), y.ravel(), z.ravel()]).astype(np.float32)
    v = (np.arange(n - 1)[:, None] * n + np.arange(n - 1)).ravel()
    tris = np.column_stack([v, v + 1, v + n, v + n, v + 1, v + n + 1])
    return pos, tris.astype(np.uint32).ravel()


def face_cross(pos, idx):
    """Unnormalised float32 face normals of the complete triangles of idx."""
    tris = idx[:len(idx) // 3 * 3].reshape(-1, 3).astype(np.int64)
    p0, p1, p2 = pos[tris[:, 0], :3], pos[tris[:, 1], :3], pos[tris[:, 2], :3]
    return np.cross(p1 - p0, p2 - p0)


def unit_or_up(rows):
    """rows * (1 / |row|) in float32, (0, 0, 1) where |row| is not above 1e-6."""
    length = np.sqrt(np.add.reduce(rows * rows, axis=1))
    with np.errstate(divide="ignore", invalid="ignore"):
        scaled = rows * (np.float32(1) / length)[:, None]
    return np.where((length.astype(np.float64) > 1e-6)[:, None], scaled,
                    np.array([0, 0, 1], np.float32))


def smooth_reference(pos, idx, vertex_count):
    f = face_cross(pos, idx)
    sums = np.zeros((vertex_count, 3), np.float32)
    # add.at works through the corners in order: triangles, then corners.
    np.add.at(sums, idx[:len(f) * 3].astype(np.int64), np.repeat(f, 3, axis=0))
    return unit_or_up(sums)


def flat_reference(pos, idx):
    f = unit_or_up(face_cross(pos, idx))
    used = idx[:len(f) * 3]
    return pos[used.astype(np.int64), :3], np.repeat(f, 3, axis=0), np.arange(len(used)), used


def crease_reference(pos, indices, crease_angle_deg=60.0):
    """The interpreted crease splitting, statement by statement."""
    angle = np.float32(crease_angle_deg)
    pos = np.ascontiguousarray(pos, dtype=np.float32)
    indices = np.ascontiguousarray(indices, dtype=np.uint32)
    if indices.shape[0] < 3:
        return (np.zeros((0, 3), np.float32), np.zeros((0, 3), np.float32),
                np.zeros(0, np.uint32), np.zeros(0, np.uint32))
    tris = indices.reshape(-1, 3)
    num_tris, vertex_count = tris.shape[0], pos.shape[0]
    p0, p1, p2 = pos[tris[:, 0]], pos[tris[:, 1]], pos[tris[:, 2]]
    cross = np.cross(p1 - p0, p2 - p0)
    lens = np.maximum(np.linalg.norm(cross, axis=1, keepdims=True), 1e-8)
    face_normals = (cross / lens).astype(np.float32)
    if not angle < 180:
        angle = np.float32(180)
    elif angle <= 0:
        angle = np.float32(0)
    cos_thresh = np.float32(np.cos(np.deg2rad(float(angle))))
    vert_tris = [[] for _ in range(vertex_count)]
    for t in range(num_tris):
        for c in range(3):
            vert_tris[tris[t, c]].append(t)
    corner_new_id = np.zeros((num_tris, 3), np.uint32)
    new_positions, new_normals, src_idx = [], [], []
    for v in range(vertex_count):
        clusters = []
        for fi in vert_tris[v]:
            fn = face_normals[fi]
            for cluster in clusters:
                rep = face_normals[cluster[0]]
                if fn[0] * rep[0] + fn[1] * rep[1] + fn[2] * rep[2] >= cos_thresh:
                    cluster.append(fi)
                    break
            else:
                clusters.append([fi])
        for cluster in clusters:
            n = face_normals[cluster].mean(axis=0)
            ln = float(np.linalg.norm(n))
            n = (n / ln).astype(np.float32) if ln > 1e-8 else np.array([0, 0, 1], np.float32)
            for t in set(cluster):
                corner_new_id[t][tris[t] == v] = len(src_idx)
            new_positions.append(pos[v])
            new_normals.append(n)
            src_idx.append(v)
    return (np.asarray(new_positions, np.float32), np.asarray(new_normals, np.float32),
            corner_new_id.reshape(-1), np.asarray(src_idx, np.uint32))


def assert_same(got, want):
    """Equal values, dtypes and shapes, bit for bit (so -0.0 != 0.0)."""
    for g, w in zip(got, want, strict=True):
        w = np.asarray(w, g.dtype)
        assert g.shape == w.shape
        assert g.tobytes() == w.tobytes()


def assert_mesh_dtypes(result):
    assert [a.dtype for a in result] == [np.float32, np.float32, np.uint32, np.uint32]
    assert all(a.flags.c_contiguous for a in result)


EMPTY_SHAPES = [(0, 3), (0, 3), (0,), (0,)]

# ============================================================================
# Smooth vertex normals
# ============================================================================


@pytest.mark.parametrize("idx, expected", [
    ([0, 1, 2], [[0, 0, 1]] * 3 + [[0, 0, 1]]),              # counter-clockwise; 3 unused
    ([0, 2, 1], [[0, 0, -1]] * 3 + [[0, 0, 1]]),             # clockwise
    ([0, 1, 2, 0, 2, 1], [[0, 0, 1]] * 4),                   # opposite windings cancel
    ([0, 1, 1, 0, 1, 3], [[0, 0, 1]] * 4),                   # degenerate triangles add nothing
    ([], [[0, 0, 1]] * 4),
    ([0, 2, 1, 3], [[0, 0, -1]] * 3 + [[0, 0, 1]]),           # a trailing index is ignored
])
def test_smooth_hand_checked(idx, expected):
    got = smooth(QUAD_POS, np.array(idx, np.uint32), 4)
    assert got.dtype == np.float32 and got.shape == (4, 3)
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("length, expected", [
    (np.float32(1e-6), [0, 0, 1]),                          # just below the double 1e-6
    (np.nextafter(np.float32(1e-6), np.float32(1)), [0, -1, 0]),
])
def test_smooth_zero_length_threshold(length, expected):
    pos = np.array([[0, 0, 0], [length, 0, 0], [0, 0, 1]], np.float32)
    np.testing.assert_array_equal(smooth(pos, np.array([0, 1, 2], np.uint32), 3), [expected] * 3)


@pytest.mark.parametrize("pos, idx, count, shape", [
    (QUAD_POS, QUAD_IDX[:0], 0, (0, 3)),
    (None, None, 2, (2, 3)),
    (QUAD_POS[:, :2], None, 1, (1, 3)),   # columns are not read without triangles
])
def test_smooth_without_triangles(pos, idx, count, shape):
    got = smooth(pos, idx, count)
    assert got.shape == shape
    assert (got == [0, 0, 1]).all()


def test_smooth_negative_vertex_count_is_numpys_error():
    with pytest.raises(ValueError, match="negative dimensions"):
        smooth(QUAD_POS, QUAD_IDX, -1)


@pytest.mark.parametrize("seed", range(2))
def test_smooth_matches_reference(seed):
    rng = np.random.default_rng(seed)
    pos, idx = random_mesh(rng, 50, 400)
    pos = np.hstack([pos, pos])[::-1, 1:5]        # strided, four columns
    assert_same([smooth(pos, idx, 60)], [smooth_reference(pos, idx, 60)])


# ============================================================================
# Flat-shaded expansion
# ============================================================================


@pytest.mark.parametrize("idx", [[0, 1, 2], [0, 2, 1], [0, 1, 1], [0, 1, 2, 2, 1, 3, 0]])
def test_flat_hand_checked_and_reference(idx):
    idx = np.array(idx, np.uint32)
    result = flat(QUAD_POS, idx)
    assert_mesh_dtypes(result)
    assert_same(result, flat_reference(QUAD_POS, idx))


@pytest.mark.parametrize("seed", range(3))
def test_flat_matches_reference(seed):
    pos, idx = random_mesh(np.random.default_rng(seed), 40, 300)
    assert_same(flat(pos, idx[::-1]), flat_reference(pos, idx[::-1]))


# ============================================================================
# Crease-angle splitting
# ============================================================================


@pytest.mark.parametrize("call", [lambda: flat(None, None), lambda: flat(None, QUAD_IDX[:2]),
                                  lambda: crease(QUAD_POS, QUAD_IDX[:0]),
                                  lambda: crease(QUAD_POS, np.zeros((1, 2), np.uint32))])
def test_no_triangles(call):
    result = call()
    assert [a.shape for a in result] == EMPTY_SHAPES
    assert_mesh_dtypes(result)


def test_crease_flat_quad_keeps_its_vertices():
    pos, normals, idx, src = crease(QUAD_POS, QUAD_IDX)
    assert_mesh_dtypes((pos, normals, idx, src))
    assert_same((pos, normals, idx, src), (QUAD_POS, [[0, 0, 1]] * 4, QUAD_IDX, range(4)))


def test_crease_cube_splits_every_corner():
    pos, normals, idx, src = crease(CUBE_POS, CUBE_IDX)
    assert len(pos) == 24
    np.testing.assert_array_equal(src, np.repeat(np.arange(8), 3))
    tris = idx.reshape(-1, 3)
    face_axis = np.repeat(np.eye(3), 4, axis=0) * np.tile([-1, -1, 1, 1], 3)[:, None]
    for t, axis in enumerate(face_axis):
        np.testing.assert_array_equal(normals[tris[t]], [axis] * 3)
    np.testing.assert_array_equal(pos[idx], CUBE_POS[CUBE_IDX])


@pytest.mark.parametrize("angle, vertices", [
    (180.0, 8), (1e9, 8), (math.nan, 8),        # everything joins the first group
    (90.0, 24),                                 # cos(pi/2) > 0: right angles split
    (90.001, 8), (0.0, 24), (-5.0, 24),
])
def test_crease_angle_limits(angle, vertices):
    assert len(crease(CUBE_POS, CUBE_IDX, angle)[0]) == vertices


def test_crease_at_180_averages_unweighted():
    pos, normals, idx, src = crease(CUBE_POS, CUBE_IDX, crease_angle_deg=180)
    np.testing.assert_array_equal(idx, CUBE_IDX)
    # Corner 0 touches the x, y and z = 0 faces with 2, 2 and 2 triangles.
    np.testing.assert_allclose(normals[0], -np.ones(3) / math.sqrt(3), rtol=1e-6)


def test_crease_repeated_corner_takes_the_later_group():
    # Triangle 1 uses vertex 0 twice and is degenerate (normal 0): at 0
    # degrees each of its two entries opens a group, and both corners take
    # the second.
    pos = QUAD_POS
    idx = np.array([0, 1, 2, 0, 0, 3, 0, 2, 1], np.uint32)
    result = crease(pos, idx, 0.0)
    assert_same(result, crease_reference(pos, idx, 0.0))
    assert result[2][3] == result[2][4]


@follows_openblas
@pytest.mark.parametrize("case", range(12))
def test_crease_matches_the_interpreted_algorithm(case):
    rng = np.random.default_rng(100 + case)
    if case % 3 == 0:
        pos, idx = random_mesh(rng, int(rng.integers(20, 60)), int(rng.integers(100, 400)))
    else:
        pos, idx = height_field(rng, 12, roughness=[0.2, 1.0, 3.0][case % 3])
        idx = np.concatenate([idx, idx[:30]])          # some triangles listed twice
    pos[rng.integers(0, len(pos), 3)] = pos[1]         # zero-area triangles
    pos = pos.astype(np.float64)                       # converted to float32 on the way in
    angle = [rng.uniform(-10, 200), rng.uniform(0, 90), 60.0, 180.0][case % 4]
    assert_same(crease(pos, idx.astype(np.int64), angle), crease_reference(pos, idx, angle))


@follows_openblas
@pytest.mark.parametrize("angle", [30.0, 120.0])
def test_crease_with_degenerate_triangles_crowding_a_vertex_matches_the_interpreted_algorithm(
        angle):
    # Zero-area and NaN triangles, which below 90 degrees join no group,
    # interleaved with real ones around vertex 0.
    rng = np.random.default_rng(7)
    pos = rng.normal(size=(60, 3))
    pos[1], pos[2] = pos[0], np.nan
    real = [[0, i, i + 1] for i in range(3, 59)]
    broken = [[0, 1, i] if i % 2 else [0, 2, i] for i in range(3, 59)]
    idx = np.array([t for pair in zip(broken, real) for t in pair], dtype=np.uint32).ravel()
    assert_same(crease(pos, idx, angle), crease_reference(pos, idx, angle))


@follows_openblas
def test_crease_of_many_disjoint_copies_is_the_copies_results_in_turn():
    # Working arrays of megabytes (about 300 000 triangles) against the
    # checked small piece: copy k's vertices follow copy k - 1's.
    rng = np.random.default_rng(9)
    pos, idx = height_field(rng, 24, roughness=1.0)
    idx = np.concatenate([idx, idx[:90]])
    piece = crease(pos, idx, 40.0)
    assert_same(piece, crease_reference(pos, idx, 40.0))
    copies = 260
    shift = np.arange(copies, dtype=np.uint32)[:, None]
    got = crease(np.tile(pos, (copies, 1)), (idx + len(pos) * shift).ravel(), 40.0)
    rows = len(piece[0])
    assert_same(got, [np.tile(piece[0], (copies, 1)), np.tile(piece[1], (copies, 1)),
                      (piece[2] + rows * shift).ravel(), (piece[3] + len(pos) * shift).ravel()])


# ============================================================================
# Fuzzing: random meshes with indices in and out of range
# ============================================================================


@st.composite
def fuzz_meshes(draw):
    rows = draw(st.integers(0, 6))
    pos = np.array(draw(st.lists(st.lists(st.floats(-4, 4, width=32), min_size=3, max_size=3),
                                 min_size=rows, max_size=rows)), np.float32).reshape(rows, 3)
    index = st.one_of(st.integers(0, max(rows - 1, 0)), st.integers(0, max(rows - 1, 0)),
                      st.integers(0, 8), st.sampled_from([2**31 - 1, 2**31, 2**32 - 1]))
    idx = np.array(draw(st.lists(index, max_size=14)), np.uint32)
    return pos, idx


def first_out_of_range(values, limit):
    bad = values[values >= limit]
    return int(bad[0]) if len(bad) else None


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@given(fuzz_meshes(), st.integers(0, 9), st.sampled_from([0.0, 45.0, 60.0, 180.0]))
def test_fuzz_mesh_functions(mesh, vertex_count, angle):
    pos, idx = mesh
    used = idx[:len(idx) // 3 * 3]
    bad = first_out_of_range(used, min(vertex_count, len(pos)))
    if bad is not None:
        with pytest.raises(IndexError, match=f"index {bad} out of range"):
            smooth(pos, idx, vertex_count)
    else:
        assert_same([smooth(pos, idx, vertex_count)], [smooth_reference(pos, idx, vertex_count)])

    bad = first_out_of_range(used, len(pos))
    if bad is not None:
        with pytest.raises(IndexError, match=f"index {bad} out of range for {len(pos)} vertices"):
            flat(pos, idx)
    elif len(idx) >= 3:
        assert_same(flat(pos, idx), flat_reference(pos, idx))

    if len(idx) < 3 or len(idx) % 3:
        return
    bad = first_out_of_range(idx.reshape(-1, 3).T.ravel(), len(pos))   # column by column
    if bad is not None:
        with pytest.raises(IndexError, match=f"index {bad} is out of bounds for axis 0"):
            crease(pos, idx, angle)
    else:
        assert_same(crease(pos, idx, angle), crease_reference(pos, idx, angle))
