"""Reading and writing OBJ triangle meshes."""
# Placeholder: filled in by the file I/O work.
from __future__ import annotations


def read_obj(path):  # type: ignore[no-untyped-def]
    raise NotImplementedError


def write_obj(path, vertices, faces, normals=None):  # type: ignore[no-untyped-def]
    raise NotImplementedError
