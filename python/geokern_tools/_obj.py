"""Reading and writing OBJ triangle meshes.

The reader (native, `geokern_tools._native.read_obj_mesh`) takes OBJ as the
format defines it and as files in the wild vary: any run of blanks or tabs
separates fields, vertex lines may carry a weight or colours (only x, y, z
are kept), a face reference r > 0 is the r-th vertex of the file and r < 0
counts back from the last vertex read so far (``f -3 -2 -1`` after four
vertices names vertices 2, 3 and 4), lines may be continued with a
backslash, and the text may be UTF-8 with or without a byte-order mark or
UTF-16 with one; bytes that do not decode are replaced in names.  Polygons
become fans of triangles around their first corner.  Texture coordinates
(``vt``) and the texture vertex of each corner are kept, and so are the
``mtllib``, ``usemtl``, ``o``, ``g`` and ``s`` lines with their place among
the faces.  Anything that is wrong, binary data included, raises
`ObjError`, which names the file and the line.

geokern's own `generate_obb_2d_from_obj_file` keeps its interface (every
line read as Python text, a reference r indexing the vertices at r - 1 as a
Python list does); geokern_tools never uses it.
"""
from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from geokern_tools import _native
from geokern_tools._output import StrPath, binary_output

#: Where a triangle corner has no texture vertex.
NO_TEXCOORD = 0xFFFFFFFF


class ObjError(ValueError):
    """An OBJ file that cannot be read; `path` and `line` locate the fault."""

    def __init__(self, path: StrPath, line: int, message: str) -> None:
        super().__init__(f"{os.fspath(path)}:{line}: {message}")
        self.path = os.fspath(path)
        self.line = line
        self.message = message

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.path, self.line, self.message)


@dataclass(frozen=True, eq=False)
class ObjModel:
    """An OBJ file as geokern_tools reads it.

    vertices: float64 (N, 3).
    triangles: uint32 (T, 3), zero-based; polygons split into fans.
    texcoords: float64 (K, W), the vt lines (W their most values, 1 to 3;
        missing values are 0); (0, 2) without vt lines.
    triangle_texcoords: uint32 (T, 3), the texture vertex of each triangle
        corner (NO_TEXCOORD where it has none); None when no corner has one.
    statements: (triangles before it, line, text) of each mtllib, usemtl,
        o, g and s line, in file order.
    """

    path: str
    vertices: npt.NDArray[np.float64]
    triangles: npt.NDArray[np.uint32]
    texcoords: npt.NDArray[np.float64]
    triangle_texcoords: npt.NDArray[np.uint32] | None
    statements: list[tuple[int, int, str]]


def _fan_places(sizes: npt.NDArray[np.uint32]
                ) -> tuple[npt.NDArray[np.intp], npt.NDArray[np.intp]]:
    """(corner of every triangle corner (T, 3), first triangle of every face
    and then T (F + 1,)) for faces of `sizes` corners, split into fans."""
    counts = sizes.astype(np.intp) - 2
    first_triangle = np.zeros(len(sizes) + 1, np.intp)
    np.cumsum(counts, out=first_triangle[1:])
    face_start = np.zeros(len(sizes), np.intp)
    np.cumsum(sizes[:-1], out=face_start[1:])
    face = np.repeat(np.arange(len(sizes)), counts)
    # Triangle k of a face is its corners 0, k + 1, k + 2.
    step = np.arange(first_triangle[-1]) - first_triangle[face] + 1
    start = face_start[face]
    return np.stack([start, start + step, start + step + 1], axis=1), first_triangle


def _read(path: StrPath) -> tuple[Any, ...]:
    """The native reader's result for the file; ObjError for a fault."""
    with open(path, "rb") as f:
        try:
            result: tuple[Any, ...] = _native.read_obj_mesh(f.fileno())
        except OSError as exc:  # name the file
            raise type(exc)(exc.errno, exc.strerror, os.fspath(path)) from None
    if len(result) == 1:
        # UTF-16 text (which must start with its byte-order mark) is read
        # as the UTF-8 of the same text.
        result = _native.read_obj_mesh(result[0].decode("utf-16", errors="replace").encode())
    if len(result) == 2:
        line, message = result
        raise ObjError(path, line, message)
    return result


def read_used_vertices(path: StrPath) -> npt.NDArray[np.float64]:
    """The vertices (M, 3) that the faces of an OBJ file use, each once, in
    file order."""
    vertices, _, _, corners, _, _, _, _ = _read(path)
    rows = np.frombuffer(vertices, np.float64).reshape(-1, 3)
    used = np.zeros(len(rows), bool)
    used[np.frombuffer(corners, np.uint32)] = True
    return rows[used]


def read_obj_model(path: StrPath) -> ObjModel:
    """Reads an OBJ file with its texture coordinates and named statements."""
    vertices, texcoords, width, corners, corner_texcoords, sizes, _, statements = _read(path)
    corner_array = np.frombuffer(corners, np.uint32)
    corner_texture = None if corner_texcoords is None else np.frombuffer(corner_texcoords,
                                                                         np.uint32)
    if sizes is None:  # triangles only
        triangles = corner_array.reshape(-1, 3)
        triangle_texcoords = None if corner_texture is None else corner_texture.reshape(-1, 3)
        triangles_before = [faces for faces, _, _ in statements]
    else:
        places, first_triangle = _fan_places(np.frombuffer(sizes, np.uint32))
        triangles = corner_array[places]
        triangle_texcoords = None if corner_texture is None else corner_texture[places]
        triangles_before = [int(first_triangle[faces]) for faces, _, _ in statements]
    texcoord_rows = np.frombuffer(texcoords, np.float64).reshape(-1, 3)[:, :width or 2]
    return ObjModel(
        path=os.fspath(path),
        vertices=np.frombuffer(vertices, np.float64).reshape(-1, 3),
        triangles=triangles,
        texcoords=texcoord_rows,
        triangle_texcoords=triangle_texcoords,
        statements=[(at, line, text) for at, (_, line, text) in zip(triangles_before, statements)])


def read_obj(path: StrPath) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Reads an OBJ mesh: vertices float64 (N, 3) and triangles int64 (M, 3),
    zero-based, polygons split into fans around their first corner.
    Raises `ObjError` (a ValueError naming the file and line) for a file
    that is not OBJ text, OSError as `open` raises it."""
    model = read_obj_model(path)
    return model.vertices, model.triangles.astype(np.int64)


def _format_rows(template: str, rows: npt.NDArray[Any]) -> str:
    """Text of `rows`, one formatted line each: float64 in shortest round-trip
    form, float32 with the nine digits that read back to the same float32."""
    if rows.dtype == np.float32:
        template = template.replace("%r", "%.9g")
    return "".join(map(template.__mod__, map(tuple, rows.tolist())))


def _numbers(values: npt.ArrayLike, name: str) -> npt.NDArray[Any]:
    array = np.asarray(values)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold numbers, not {array.dtype}")
    return array if array.dtype == np.float32 else array.astype(np.float64)


def _face_lines(tris: npt.NDArray[np.int64], texture: npt.NDArray[np.int64] | None,
                normals: bool) -> list[str]:
    """The f lines of one-based triangles `tris`, with one-based texture
    vertices (0 for none) and normals numbered as the vertices."""
    if texture is None or not texture.any():
        if not normals:
            return _format_rows("f %d %d %d\n", tris).splitlines(keepends=True)
        return _format_rows("f %d//%d %d//%d %d//%d\n",
                            np.repeat(tris, 2, axis=1)).splitlines(keepends=True)
    if texture.all():
        columns = [tris, texture, tris] if normals else [tris, texture]
        corner = "/".join(["%d"] * len(columns))
        rows = np.stack(columns, axis=2).reshape(len(tris), -1)
        return _format_rows(f"f {corner} {corner} {corner}\n", rows).splitlines(keepends=True)
    # Some corners with texture vertices and some without: rare, one by one.
    lines = []
    for row, tex in zip(tris.tolist(), texture.tolist()):
        if normals:
            corners = [f"{v}/{t or ''}/{v}" for v, t in zip(row, tex)]
        else:
            corners = [f"{v}/{t}" if t else f"{v}" for v, t in zip(row, tex)]
        lines.append("f " + " ".join(corners) + "\n")
    return lines


def write_obj(target: StrPath | IO[bytes], vertices: npt.ArrayLike, faces: npt.ArrayLike,
              normals: npt.ArrayLike | None = None, *,
              texcoords: npt.ArrayLike | None = None,
              face_texcoords: npt.ArrayLike | None = None,
              statements: Iterable[tuple[int, str]] = ()) -> None:
    """Writes a triangle mesh as OBJ text to a path (replaced whole, or left
    as it was on failure) or a binary stream.

    vertices (N, 3) become `v` lines; with per-vertex `normals` (N, 3) `vn`
    lines follow and faces name them as `v//vn` (the normal of a vertex has
    its number).  `texcoords` (K, 1-3) become `vt` lines, and
    `face_texcoords` (M, 3), zero-based texture vertices of the corners of
    `faces` (NO_TEXCOORD or -1 for none), make faces `v/vt/vn` (or `v/vt`).
    `statements` are (face position, text) lines such as ``usemtl brick``,
    each written just before the face at its position; ``mtllib`` lines,
    which name files, go before the vertices.  Numbers are written in their shortest round-trip form
    (float32 with nine digits).
    """
    verts = _numbers(vertices, "vertices")
    if verts.ndim != 2 or verts.shape[1] != 3:
        raise ValueError(f"vertices must have shape (N, 3), not {verts.shape}")
    tris = np.asarray(faces)
    if tris.size and (tris.ndim != 2 or tris.shape[1] != 3):
        raise ValueError(f"faces must have shape (M, 3), not {tris.shape}")
    tris = tris.reshape(-1, 3).astype(np.int64)
    if tris.size and (tris.min() < 0 or tris.max() >= len(verts)):
        raise ValueError(f"faces refer to vertices outside 0..{len(verts) - 1}")
    head = [_format_rows("v %r %r %r\n", verts)]
    texture: npt.NDArray[np.int64] | None = None
    if texcoords is not None:
        uv = _numbers(texcoords, "texcoords")
        uv = uv.reshape(-1, 1) if uv.ndim == 1 else uv
        if uv.ndim != 2 or not 1 <= uv.shape[1] <= 3:
            raise ValueError(f"texcoords must have shape (K, 1..3), not {uv.shape}")
        head.append(_format_rows("vt" + " %r" * uv.shape[1] + "\n", uv))
        if face_texcoords is not None:
            texture = np.asarray(face_texcoords).astype(np.int64).reshape(-1, 3)
            if texture.shape != tris.shape:
                raise ValueError(f"face_texcoords must have the shape of faces {tris.shape}, "
                                 f"not {texture.shape}")
            texture = np.where((texture == NO_TEXCOORD) | (texture < 0), 0, texture + 1)
            if texture.max(initial=0) > len(uv):
                raise ValueError(f"face_texcoords refer to texture vertices outside "
                                 f"0..{len(uv) - 1}")
    elif face_texcoords is not None:
        raise ValueError("face_texcoords need texcoords")
    if normals is not None:
        norms = _numbers(normals, "normals")
        if norms.shape != verts.shape:
            raise ValueError(f"normals must have the shape of vertices {verts.shape}, "
                             f"not {norms.shape}")
        head.append(_format_rows("vn %r %r %r\n", norms))
    lines = _face_lines(tris + 1, texture, normals is not None)
    placed = sorted(((max(0, int(at)), str(text)) for at, text in statements),
                    key=lambda item: item[0])
    before = [f"{text}\n" for _, text in placed if text.startswith("mtllib")]
    body: list[str] = []
    done = 0
    for at, text in placed:
        if not text.startswith("mtllib"):
            body.extend(lines[done:at])
            body.append(f"{text}\n")
            done = max(done, at)
    body.extend(lines[done:])
    with binary_output(target) as out:
        for part in (*before, *head, "".join(body)):
            out.write(part.encode("utf-8"))


def write_shaded_obj(target: StrPath | IO[bytes], model: ObjModel, vertices: npt.ArrayLike,
                     normals: npt.ArrayLike, triangles: npt.ArrayLike) -> None:
    """Writes `model` with new vertices, normals and triangles (one per
    triangle of the model, in order, as the normals of `mesh_normals`
    give them), keeping its texture coordinates and named statements."""
    texcoords = model.texcoords if len(model.texcoords) else None
    write_obj(target, vertices, triangles, normals, texcoords=texcoords,
              face_texcoords=model.triangle_texcoords if texcoords is not None else None,
              statements=[(at, text) for at, _, text in model.statements])


def model_statements(model: ObjModel, keyword: str) -> Sequence[tuple[int, str]]:
    """(triangles before it, the rest of the line) of each of the model's
    statements with `keyword` (e.g. "usemtl"), in file order."""
    found = []
    for at, _, text in model.statements:
        word, _, rest = text.partition(" ")
        if word == keyword:
            found.append((at, rest.strip()))
    return found
