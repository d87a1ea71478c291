"""mesh_normals: read_obj's arrays in, checked indices, normals about a local origin."""
import numpy as np
import pytest

from geokern_tools import mesh_normals

# A unit cube: 8 corners, 12 outward triangles.
CUBE = np.array([[x, y, z] for x in (0, 1) for y in (0, 1) for z in (0, 1)], np.float64)
CUBE_TRIS = np.array([[0, 1, 3], [0, 3, 2], [4, 6, 7], [4, 7, 5], [0, 4, 5], [0, 5, 1],
                      [2, 3, 7], [2, 7, 6], [0, 2, 6], [0, 6, 4], [1, 5, 7], [1, 7, 3]])


@pytest.mark.parametrize("mode,vertices", [("smooth", 8), ("flat", 36), ("crease", 24)])
@pytest.mark.parametrize("offset", [0.0, 6.4e6])
def test_modes_keep_the_geometry_wherever_it_lies(mode, vertices, offset):
    shifted = CUBE * 0.5 + offset
    mesh = mesh_normals(shifted, CUBE_TRIS, mode)
    assert len(mesh.positions) == vertices and mesh.positions.dtype == np.float32
    assert np.allclose(mesh.origin, offset + 0.25)
    assert np.array_equal(mesh.positions + mesh.origin, shifted[mesh.source])
    assert np.array_equal(mesh.source[mesh.triangles], CUBE_TRIS)
    at_origin = mesh_normals(CUBE * 0.5, CUBE_TRIS, mode)
    assert np.allclose(mesh.normals, at_origin.normals, atol=1e-7)


@pytest.mark.parametrize("vertex_dtype", [np.float64, np.float32, np.int32])
@pytest.mark.parametrize("index_dtype", [np.int64, np.uint8, np.float64])
def test_any_number_dtypes(vertex_dtype, index_dtype):
    mesh = mesh_normals(CUBE.astype(vertex_dtype), CUBE_TRIS.astype(index_dtype).ravel(),
                        "crease", angle=30)
    assert mesh.triangles.dtype == np.uint32 and len(mesh.positions) == 24


@pytest.mark.parametrize("change,error,message", [
    (lambda t: t - 1, IndexError, "triangle 0: index -1 out of range for 8 vertices"),
    (lambda t: t + 2 ** 32, IndexError, "index 4294967296 out of range for 8 vertices"),
    (lambda t: t * 1.0 + 0.5, ValueError, "triangle 0: index 0.5 is not a whole number"),
    (lambda t: np.where(t == 7, np.nan, t * 1.0), ValueError, "index nan is not a whole number"),
    (lambda t: t.astype(bool), TypeError, "triangles must hold integers, not bool"),
    (lambda t: t[:, :2], ValueError, "triangles must have shape"),
])
def test_bad_triangles_are_refused_before_narrowing(change, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(")):
        mesh_normals(CUBE, change(CUBE_TRIS), "smooth")


@pytest.mark.parametrize("vertices,kwargs,message", [
    (np.where(CUBE == 1, np.inf, CUBE), {}, "vertex 1 is not finite"),
    (CUBE[:, :2], {}, "vertices must have shape"),
    (CUBE, {"angle": 10}, "angle applies to mode 'crease' only"),
    (CUBE, {"mode": "phong"}, "mode must be one of"),
])
def test_bad_arguments(vertices, kwargs, message):
    with pytest.raises(ValueError, match=message):
        mesh_normals(vertices, CUBE_TRIS, **{"mode": "smooth", **kwargs})


def test_no_triangles():
    mesh = mesh_normals(CUBE, np.zeros((0, 3), np.int64), "smooth")
    assert np.array_equal(mesh.normals, np.tile([0, 0, 1], (8, 1)))
    assert len(mesh_normals(CUBE, [], "crease").positions) == 0
