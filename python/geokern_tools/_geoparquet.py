"""GeoParquet tables with their geometry columns converted, batch by batch.

A GeoParquetConverter is made from the schema of a stream of Arrow tables or
record batches (a GeoParquet file's, as pyarrow reads it, or any Arrow
stream whose schema carries the GeoParquet "geo" metadata or GeoArrow
extension fields) and converts each batch in turn: every geometry column
(WKB or a native GeoArrow encoding, geokern_tools._geoarrow) from its own
reference system, or `src`, to `dst`; every other column passes through
untouched, nulls and types included.  The per-row bounding box columns that
a "covering" names are computed anew from the converted coordinates.

The "geo" metadata of the output (metadata(), or schema after the last
batch) describes the converted columns:

- "crs": the PROJJSON of the target (geokern_tools._crs), GCJ-02 and BD-09
  included; "geometry_types" as the batches held them (3-D throughout for
  ECEF); "bbox" over every converted coordinate (with z when every geometry
  has one);
- "encoding", "epoch" and "covering" as they were; "orientation" kept but
  for ECEF (which has no winding); "edges" kept for geographic targets and
  dropped (planar) for Web Mercator and ECEF;
- "version" at least 1.0.0 (1.1.0 where native encodings or coverings need
  it); "primary_column" and other keys as they were.

Source systems: a column's "crs" (PROJJSON, or WKT from GeoParquet before
1.0), OGC:CRS84 when the key is missing, unknown when it is null.  `src`
may be left out where every column states its own; a `src` that names
another system than a column's is an error.
"""
from __future__ import annotations

import copy
import json
from dataclasses import dataclass
from typing import Any

import numpy as np

from geokern_tools._crs import CRS, Resolved, check_source, crs_projjson, resolve
from geokern_tools._geoarrow import NATIVE_ENCODINGS, ColumnStats, convert_column

__all__ = ["GeoParquetConverter", "convert_table", "read_geo_metadata"]

GEO_KEY = b"geo"
_EXTENSION_NAME = b"ARROW:extension:name"
_EXTENSION_METADATA = b"ARROW:extension:metadata"


def read_geo_metadata(schema: Any) -> dict[str, Any] | None:
    """The "geo" metadata of an Arrow schema as a dict, checked to name its
    columns; None when there is none."""
    raw = (schema.metadata or {}).get(GEO_KEY)
    if raw is None:
        return None
    try:
        meta = json.loads(raw)
    except ValueError:
        raise ValueError("the 'geo' metadata is not valid JSON") from None
    if not isinstance(meta, dict) or not isinstance(meta.get("columns"), dict) or \
            not all(isinstance(c, dict) for c in meta["columns"].values()):
        raise ValueError("the 'geo' metadata has no 'columns' object")
    return meta


def _from_extensions(schema: Any) -> dict[str, Any] | None:
    """"geo" metadata made up from GeoArrow extension fields, if any."""
    columns = {}
    for f in schema:
        name = (f.metadata or {}).get(_EXTENSION_NAME, b"").decode("utf-8", "replace")
        if not name.startswith("geoarrow."):
            continue
        encoding = name.split(".", 1)[1]
        encoding = "WKB" if encoding == "wkb" else encoding
        column: dict[str, Any] = {"encoding": encoding, "geometry_types": []}
        extension = _extension_metadata(f)
        if "crs" in extension:
            column["crs"] = extension["crs"]
        columns[f.name] = column
    if not columns:
        return None
    return {"version": "1.1.0", "primary_column": next(iter(columns)), "columns": columns}


def _extension_metadata(f: Any) -> dict[str, Any]:
    raw = (f.metadata or {}).get(_EXTENSION_METADATA)
    try:
        meta = json.loads(raw) if raw else {}
    except ValueError:
        meta = {}
    return meta if isinstance(meta, dict) else {}


def _version(text: object, native: bool) -> str:
    try:
        parts = tuple(int(p) for p in str(text).split("-")[0].split("."))
    except ValueError:
        parts = (1, 1, 0)
    least = (1, 1, 0) if native else (1, 0, 0)
    return text if parts >= least and isinstance(text, str) else ".".join(map(str, least))


@dataclass
class _Column:
    name: str
    encoding: str
    source: Resolved
    covering: dict[str, Any] | None  # {"xmin": [column, "xmin"], ...}
    stats: ColumnStats


class GeoParquetConverter:
    """Converts the geometry columns of a stream of Arrow tables or record
    batches sharing `schema` from `src` (None: each column's own reference
    system) to `dst`.  `where` prefixes messages (a file name)."""

    def __init__(self, schema: Any, src: CRS | None, dst: CRS,
                 china_inverse: str = "iterative", where: str = "input") -> None:
        import pyarrow as pa

        meta = read_geo_metadata(schema) or _from_extensions(schema)
        if meta is None:
            raise ValueError(f"{where}: no geometry column (no 'geo' metadata and no GeoArrow "
                             "extension field)")
        self._meta = meta
        self._where = where
        self._target = resolve(dst)
        self._china_inverse = china_inverse
        self._rows = 0
        self._columns: list[_Column] = []
        for name, column in meta["columns"].items():
            if schema.get_field_index(name) < 0:
                raise ValueError(f"{where}: the 'geo' metadata names a column {name!r} that the "
                                 "table does not have")
            encoding = column.get("encoding")
            if encoding != "WKB" and encoding not in NATIVE_ENCODINGS:
                raise ValueError(f"{where}: column {name!r}: unknown geometry encoding "
                                 f"{encoding!r}")
            data_crs = column["crs"] if "crs" in column else "OGC:CRS84"
            source = check_source(src, data_crs, f"column {name!r}",
                                  "leave the source out to convert from the column's own, or "
                                  "relabel the file first")
            covering = (column.get("covering") or {}).get("bbox")
            if covering is not None:
                self._check_covering(schema, name, covering)
            self._columns.append(_Column(name, encoding, source, covering, ColumnStats()))
        # The output fields: converting an empty column gives each one's type.
        fields = list(schema)
        for c in self._columns:
            i = schema.get_field_index(c.name)
            empty = pa.nulls(0, schema.field(i).type)  # pa.array() would import pandas
            converted = convert_column(empty, c.encoding, c.source.system, self._target.system)
            fields[i] = self._field(schema.field(i), converted.array.type)
        self._schema = pa.schema(fields, metadata=schema.metadata)

    def _check_covering(self, schema: Any, name: str, covering: Any) -> None:
        ok = isinstance(covering, dict) and all(
            isinstance(covering.get(k), list) and len(covering[k]) == 2 for k in
            ("xmin", "ymin", "xmax", "ymax"))
        column = covering["xmin"][0] if ok else None
        ok = ok and all(v[0] == column for v in covering.values()) and \
            schema.get_field_index(column) >= 0
        if not ok:
            raise ValueError(f"{self._where}: column {name!r}: its covering must name the "
                             "xmin, ymin, xmax, ymax fields of one bounding box column")

    def _field(self, old: Any, new_type: Any) -> Any:
        """A geometry field with its converted type, and its GeoArrow
        extension metadata (if any) naming the target's reference system."""
        metadata = dict(old.metadata or {})
        if metadata.get(_EXTENSION_NAME, b"").startswith(b"geoarrow."):
            extension = _extension_metadata(old)
            extension["crs"] = crs_projjson(self._target)
            extension["crs_type"] = "projjson"
            if not _geographic(self._target):
                extension.pop("edges", None)
            metadata[_EXTENSION_METADATA] = json.dumps(extension).encode()
        return old.with_type(new_type).with_metadata(metadata or None)

    @property
    def schema(self) -> Any:
        """The output schema, with the "geo" metadata as far as the batches
        so far tell it."""
        metadata = dict(self._schema.metadata or {})
        metadata[GEO_KEY] = json.dumps(self.metadata()).encode()
        return self._schema.with_metadata(metadata)

    def convert(self, batch: Any) -> Any:
        """`batch` (a pyarrow Table or RecordBatch of the schema) with its
        geometry and covering columns converted, as the same kind."""
        import pyarrow as pa

        columns = list(batch.columns)
        names = batch.schema.names
        for c in self._columns:
            i = names.index(c.name)
            try:
                converted = convert_column(batch.column(i), c.encoding, c.source.system,
                                           self._target.system, self._china_inverse)
            except ValueError as exc:
                raise ValueError(self._message(c.name, str(exc))) from None
            columns[i] = converted.array
            c.stats.add_types(converted.stats.types)
            c.stats.low = np.fmin(c.stats.low, converted.stats.low)
            c.stats.high = np.fmax(c.stats.high, converted.stats.high)
            c.stats.flat |= converted.stats.flat
            if c.covering is not None:
                j = names.index(c.covering["xmin"][0])
                columns[j] = _covering(pa, batch.column(j), c.covering,
                                       *converted.row_extents())
        self._rows += batch.num_rows
        if isinstance(batch, pa.RecordBatch):
            return pa.RecordBatch.from_arrays(columns, schema=self._schema)
        return pa.Table.from_arrays(columns, schema=self._schema)

    def _message(self, column: str, text: str) -> str:
        """A conversion error with the file and the row within the stream."""
        if text.startswith("row "):
            number, _, rest = text[4:].partition(": ")
            if number.isdigit():
                return f"{self._where}: row {self._rows + int(number)}: column {column!r}: {rest}"
        return f"{self._where}: column {column!r}: {text}"

    def metadata(self) -> dict[str, Any]:
        """The "geo" metadata of the converted batches so far."""
        meta = copy.deepcopy(self._meta)
        native = False
        for c in self._columns:
            column = meta["columns"][c.name]
            column["crs"] = crs_projjson(self._target)
            column["geometry_types"] = sorted(c.stats.types or [])
            bbox = c.stats.bbox()
            if bbox is None:
                column.pop("bbox", None)
            else:
                column["bbox"] = bbox
            if self._target.system == "ecef":
                column.pop("orientation", None)
            if not _geographic(self._target):
                column.pop("edges", None)
            native |= c.encoding != "WKB" or c.covering is not None
        meta["version"] = _version(meta.get("version"), native)
        if meta.get("primary_column") not in meta["columns"]:
            meta["primary_column"] = next(iter(meta["columns"]))
        return meta


def _geographic(target: Resolved) -> bool:
    return target.system in ("wgs84", "gcj02", "bd09")


def _covering(pa: Any, old: Any, covering: dict[str, Any], low: Any, high: Any) -> Any:
    """The bounding box column `old` (a struct of xmin, ymin[, zmin], xmax,
    ymax[, zmax]) filled with the rows' new extents; missing rows stay null.
    float32 fields are rounded outwards, so that a box still holds its
    geometry."""
    if isinstance(old, pa.ChunkedArray):
        old = old.combine_chunks()
    values = {"xmin": low[:, 0], "ymin": low[:, 1], "zmin": low[:, 2],
              "xmax": high[:, 0], "ymax": high[:, 1], "zmax": high[:, 2]}
    arrays = []
    for f in old.type:
        v = values.get(f.name)
        if v is None:  # a field the covering does not describe passes through
            arrays.append(old.field(f.name))
            continue
        if pa.types.is_float32(f.type):
            narrow = v.astype(np.float32)
            outward = narrow > v if f.name.endswith("min") else narrow < v
            narrow[outward] = np.nextafter(narrow[outward],
                                           np.float32(-np.inf if f.name.endswith("min")
                                                      else np.inf))
            v = narrow
        arrays.append(pa.array(v, type=f.type))
    mask = old.is_null() if old.null_count else None
    return pa.StructArray.from_arrays(arrays, fields=list(old.type), mask=mask)


def convert_table(table: Any, src: CRS | None, dst: CRS, china_inverse: str = "iterative",
                  where: str = "input") -> Any:
    """A whole pyarrow Table with its geometry columns converted and its
    "geo" metadata rewritten."""
    converter = GeoParquetConverter(table.schema, src, dst, china_inverse, where)
    out = converter.convert(table)
    return out.replace_schema_metadata(converter.schema.metadata)
