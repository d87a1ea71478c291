"""Coordinate conversion between the supported reference systems."""
# Placeholder: filled in by the conversion work.
from __future__ import annotations

CRS_NAMES: tuple[str, ...] = ("wgs84", "ecef", "webmercator", "gcj02", "bd09")


def convert(points, src, dst):  # type: ignore[no-untyped-def]
    raise NotImplementedError
