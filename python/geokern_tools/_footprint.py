"""Footprint boxes of point sets and OBJ models."""
# Placeholder: filled in by the file I/O work.
from __future__ import annotations


def footprint(path_or_points):  # type: ignore[no-untyped-def]
    raise NotImplementedError
