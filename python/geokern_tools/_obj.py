"""Reading and writing OBJ triangle meshes.

The reader is tolerant where OBJ files in the wild vary: any run of blanks or
tabs separates fields, vertex lines may carry a fourth coordinate or colours
(only x, y, z are kept), face references may be negative (relative to the
vertices read so far, as the format defines them), lines may be continued
with a backslash, and the text may be UTF-8 with or without a byte-order mark
or UTF-16 with one; bytes that do not decode are replaced.  Anything else
that is wrong raises `ObjError`, which names the file and the line.
"""
from __future__ import annotations

import codecs
import os
from typing import Any

import numpy as np
import numpy.typing as npt

StrPath = str | os.PathLike[str]


class ObjError(ValueError):
    """An OBJ file that cannot be read; `path` and `line` locate the fault."""

    def __init__(self, path: StrPath, line: int, message: str) -> None:
        super().__init__(f"{os.fspath(path)}:{line}: {message}")
        self.path = os.fspath(path)
        self.line = line


def _decode(data: bytes) -> str:
    # Undecodable bytes can only sit in names (groups, materials), never in
    # the numbers the reader uses, so they are replaced rather than refused.
    if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return data.decode("utf-16", errors="replace")
    return data.decode("utf-8-sig", errors="replace")


def _logical_lines(text: str) -> list[tuple[int, str]]:
    """(number of the first physical line, text) with continuations joined."""
    lines: list[tuple[int, str]] = []
    pending: list[str] = []
    first = 0
    for number, line in enumerate(text.splitlines(), 1):
        if not pending:
            first = number
        if line.endswith("\\"):
            pending.append(line[:-1])
            continue
        if pending:
            pending.append(line)
            line = " ".join(pending)
            pending = []
        lines.append((first, line))
    if pending:
        lines.append((first, " ".join(pending)))
    return lines


def parse_obj(path: StrPath) -> tuple[npt.NDArray[np.float64], list[list[int]]]:
    """Vertices (N, 3) and the faces as lists of zero-based vertex numbers."""
    with open(path, "rb") as f:
        text = _decode(f.read())
    coords: list[float] = []
    faces: list[list[int]] = []
    face_lines: list[int] = []
    for number, line in _logical_lines(text):
        tokens = line.split("#", 1)[0].split()
        if not tokens:
            continue
        tag = tokens[0]
        if tag == "v":
            if len(tokens) < 4:
                raise ObjError(path, number, "a vertex needs three coordinates")
            try:
                coords += (float(tokens[1]), float(tokens[2]), float(tokens[3]))
            except ValueError:
                raise ObjError(path, number, "vertex coordinates must be numbers") from None
        elif tag == "f":
            if len(tokens) < 4:
                raise ObjError(path, number, "a face needs at least three vertices")
            seen = len(coords) // 3
            face = []
            for token in tokens[1:]:
                try:
                    ref = int(token.split("/", 1)[0])
                except ValueError:
                    raise ObjError(path, number, f"bad vertex reference {token!r}") from None
                index = ref - 1 if ref > 0 else seen + ref
                if ref == 0 or index < 0:
                    raise ObjError(path, number, f"vertex reference {ref} out of range")
                face.append(index)
            faces.append(face)
            face_lines.append(number)
    vertices = np.array(coords, dtype=np.float64).reshape(-1, 3)
    for face, number in zip(faces, face_lines):
        if max(face) >= len(vertices):
            raise ObjError(path, number, f"vertex reference {max(face) + 1} beyond the "
                           f"{len(vertices)} vertices of the file")
    return vertices, faces


def read_obj(path: StrPath) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Reads an OBJ mesh: vertices float64 (N, 3) and triangles int64 (M, 3), zero-based.

    Polygons are split into fans of triangles around their first corner;
    texture coordinates, normals, groups and materials are skipped.
    """
    vertices, faces = parse_obj(path)
    triangles = [(face[0], face[i], face[i + 1]) for face in faces for i in range(1, len(face) - 1)]
    return vertices, np.array(triangles, dtype=np.int64).reshape(-1, 3)


def _format_rows(template: str, rows: npt.NDArray[Any]) -> str:
    """Text of `rows`, one formatted line each: float64 in shortest round-trip
    form, float32 with the nine digits that read back to the same float32."""
    if rows.dtype == np.float32:
        template = template.replace("%r", "%.9g")
    return "".join(map(template.__mod__, map(tuple, rows.tolist())))


def write_obj(path: StrPath, vertices: npt.ArrayLike, faces: npt.ArrayLike,
              normals: npt.ArrayLike | None = None) -> None:
    """Writes a triangle mesh as OBJ: `v` lines, then `vn` lines and `f v//vn`
    faces when per-vertex `normals` are given, else `f v` faces (one-based)."""
    verts = np.asarray(vertices)
    if verts.dtype != np.float32:
        verts = verts.astype(np.float64)
    tris = np.asarray(faces)
    if verts.ndim != 2 or verts.shape[1] != 3:
        raise ValueError(f"vertices must have shape (N, 3), not {verts.shape}")
    if tris.size and (tris.ndim != 2 or tris.shape[1] != 3):
        raise ValueError(f"faces must have shape (M, 3), not {tris.shape}")
    tris = tris.reshape(-1, 3).astype(np.int64)
    if tris.size and (tris.min() < 0 or tris.max() >= len(verts)):
        raise ValueError(f"faces refer to vertices outside 0..{len(verts) - 1}")
    parts = [_format_rows("v %r %r %r\n", verts)]
    if normals is not None:
        norms = np.asarray(normals)
        if norms.dtype != np.float32:
            norms = norms.astype(np.float64)
        if norms.shape != verts.shape:
            raise ValueError(f"normals must have the shape of vertices {verts.shape}, "
                             f"not {norms.shape}")
        parts.append(_format_rows("vn %r %r %r\n", norms))
        parts.append(_format_rows("f %d//%d %d//%d %d//%d\n", np.repeat(tris + 1, 2, axis=1)))
    else:
        parts.append(_format_rows("f %d %d %d\n", tris + 1))
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.writelines(parts)
