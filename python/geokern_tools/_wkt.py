"""Geometries given as WKT text, converted: a batch of lines (standard
input's, one geometry a line) or a text column of an Arrow table.

Each text is read by GEOS (shapely.from_wkt), converted as `convert`
converts geometries (geokern_tools._geometry: every type, dimensions kept,
ECEF 3-D) and written back in its shortest exact form, with its M values.
A text GEOS cannot read is refused with its line (or row) named; nothing is
ever skipped.  Missing values of a column stay missing; a blank line is an
error (an empty geometry is written as such, "POINT EMPTY").

Extended WKT's SRID prefix ("SRID=4326;POINT (...)") is taken as the
text's reference system: it must agree with `src` (which it may stand for)
and with the other texts', and the output carries the target's EPSG code
the same way where it has one (4326, 4978, 3857); GCJ-02 and BD-09, which
have none, are written without the prefix.
"""
from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from geokern_tools._crs import CRS, check_source, resolve
from geokern_tools._geometry import convert_geometries

__all__ = ["convert_wkt", "convert_wkt_column"]

_SRID = re.compile(r"\s*SRID=(\d+)\s*;", re.ASCII | re.IGNORECASE)
_EPSG = {"EPSG:4326": 4326, "EPSG:4979": 4979, "EPSG:4978": 4978, "EPSG:3857": 3857,
         "OGC:CRS84": 4326}


def convert_wkt(texts: Sequence[str | None] | npt.NDArray[np.object_], src: CRS | None, dst: CRS,
                china_inverse: str = "iterative", first: int = 1, unit: str = "line",
                where: str = "input") -> npt.NDArray[np.object_]:
    """The WKT texts converted from `src` (None: their SRID) to `dst`, as an
    object array of str (None where a text was None).  Messages name
    `where`, then "<unit> <number>", counting from `first`."""
    import shapely

    arr = np.asarray(texts, dtype=object).ravel()
    present = np.array([t is not None for t in arr], dtype=bool)
    body, srids = _strip_srid(arr, present)
    data_crs = _srid_crs(srids, first, unit, where)
    source = check_source(src, data_crs, f"{where} (its SRID)",
                          "leave the source out to convert from the texts' own SRID")
    target = resolve(dst)
    geoms = np.full(len(arr), None, dtype=object)
    if present.any():
        blank = np.array([not t.strip() for t in body[present]])
        if blank.any():
            at = first + int(np.flatnonzero(present)[np.argmax(blank)])
            raise ValueError(f"{where}: {unit} {at}: no WKT geometry (a blank text)")
        geoms[present] = parse_wkt(shapely, body[present], np.flatnonzero(present) + first,
                                   unit, where)
    try:
        converted = convert_geometries(geoms, source.system, target.system, china_inverse)
    except ValueError as exc:
        raise ValueError(f"{where}: {_renumber(str(exc), first, unit)}") from None
    out = np.full(len(arr), None, dtype=object)
    if present.any():
        written = shapely.to_wkt(converted[present], rounding_precision=-1, output_dimension=4)
        code = _EPSG.get(target.definition)
        if code is not None and srids is not None:
            written = np.array([f"SRID={code};{w}" for w in written], dtype=object)
        out[present] = written
    return out


def _strip_srid(arr: npt.NDArray[np.object_], present: npt.NDArray[np.bool_]
                ) -> tuple[npt.NDArray[np.object_], list[int | None] | None]:
    """The texts without their SRID prefixes, and the SRIDs (None where a
    text has none; None for the list when no text has one)."""
    body = arr.copy()
    srids: list[int | None] = [None] * len(arr)
    found = False
    for i in np.flatnonzero(present):
        m = _SRID.match(arr[i])
        if m:
            srids[i], body[i], found = int(m.group(1)), arr[i][m.end():], True
    return body, srids if found else None


def _srid_crs(srids: list[int | None] | None, first: int, unit: str, where: str) -> str | None:
    if srids is None:
        return None
    codes = {s for s in srids if s is not None}
    if len(codes) > 1 or None in srids and codes:
        at = first + next(i for i, s in enumerate(srids) if s != srids[0])
        raise ValueError(f"{where}: {unit} {at}: every text must have the same SRID prefix, "
                         f"or none")
    return f"EPSG:{codes.pop()}"


def parse_wkt(shapely: Any, texts: npt.NDArray[np.object_], numbers: npt.NDArray[np.intp],
              unit: str, where: str) -> npt.NDArray[np.object_]:
    """Geometries of WKT `texts` (shapely's, passed in as it is imported
    lazily); a text that is not WKT is a ValueError naming `where`, the
    `unit` and its number."""
    try:
        geoms: npt.NDArray[np.object_] = shapely.from_wkt(texts)
        return geoms
    except shapely.errors.GEOSException:
        pass
    for text, number in zip(texts, numbers):
        try:
            shapely.from_wkt(text)
        except shapely.errors.GEOSException as exc:
            shown = text if len(text) <= 60 else text[:57] + "..."
            raise ValueError(f"{where}: {unit} {number}: not a WKT geometry ({shown!r}): "
                             f"{exc}") from None
    raise AssertionError("unreachable: the batch failed but no text did")


def _renumber(message: str, first: int, unit: str) -> str:
    """"geometry 3: ..." of convert_geometries as "<unit> <first + 3>: ..."."""
    m = re.match(r"geometry (\d+): ", message)
    return f"{unit} {first + int(m.group(1))}: {message[m.end():]}" if m else message


def convert_wkt_column(column: Any, src: CRS | None, dst: CRS, china_inverse: str = "iterative",
                       first_row: int = 0, where: str = "input") -> Any:
    """A pyarrow string column of WKT converted (see convert_wkt); rows are
    counted from `first_row` in messages."""
    import pyarrow as pa

    values = column.to_numpy(zero_copy_only=False) if len(column) else np.empty(0, object)
    out = convert_wkt(values, src, dst, china_inverse, first_row, "row", where)
    return pa.array(out, type=pa.large_string() if pa.types.is_large_string(column.type)
                    else pa.string())
