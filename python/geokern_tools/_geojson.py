"""GeoJSON (RFC 7946) read and written in bounded batches of Arrow tables.

Reading: GeoJSONReader takes a binary stream holding a FeatureCollection, a
Feature, a bare geometry, or a sequence of them (newline-delimited GeoJSON,
RFC 8142 text sequences), and yields Arrow tables of at most `batch_rows`
features: the properties as columns (the feature "id" too, as property
"id", or "feature_id" where a property has that name), and the geometry as
WKB in column "geometry" (null for a null geometry), with GeoParquet "geo"
metadata naming the reference system, so that geokern_tools._geoparquet
converts the tables as they come.  Only the current feature and one read
block are held in memory.  The columns are typed from the first batch, or
from `schema` (scan_properties() reads a whole file for it); a later
feature with a property the schema lacks, or with a value that does not
convert to its column's type, is an error naming its line.  Where the
values of a property have no common type, its column holds their JSON text.

The reference system is OGC:CRS84 (RFC 7946, section 4).  The "crs" member
of the 2008 GeoJSON format ({"type": "name", "properties": {"name":
"urn:ogc:def:crs:EPSG::3857"}}), which RFC 7946 removed but older writers
still emit, is honoured when it comes before the features.

Writing: GeoJSONWriter writes one FeatureCollection, one feature per line,
from Arrow tables with a geometry column (WKB or a native GeoArrow
encoding), or from geometries (shapely, WKB or WKT) with property dicts.
RFC 7946 allows WGS 84 longitude and latitude only (with an optional
ellipsoidal height): coordinates in ECEF, Web Mercator, GCJ-02 or BD-09
would be taken by every RFC 7946 reader for WGS 84, wrongly, so the writer
refuses any other reference system, pointing to GeoParquet, which records
it.  Polygon exterior rings are written counterclockwise and holes
clockwise (RFC 7946, section 3.1.6); numbers in their shortest exact form;
a NaN coordinate is an error (JSON has no NaN), NaN and infinite property
values become null, dates and times ISO 8601 text, bytes base64 text.
Geometries that cross the antimeridian are written as they are, not cut.
"""
from __future__ import annotations

import base64
import codecs
import datetime
import decimal
import json
import math
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import IO, Any

import numpy as np

from geokern_tools._crs import CRS, crs_projjson, resolve

__all__ = ["GeoJSONReader", "GeoJSONWriter", "scan_properties"]

_BLOCK = 1 << 20
_MAX_VALUE = 1 << 28  # the longest JSON value (a feature) read, in characters
_DECODER = json.JSONDecoder()
_GEOMETRY_TYPES = {"Point", "LineString", "Polygon", "MultiPoint", "MultiLineString",
                   "MultiPolygon", "GeometryCollection"}
_BLANKS = " \t\r\n\x1e"  # RS (0x1e) starts each text of an RFC 8142 sequence
# Field metadata of a property column that holds JSON text.
_JSON_TEXT = {b"geokern:json": b"1"}


# ---------------------------------------------------------------------------
# Reading


class _Text:
    """A binary stream decoded as UTF-8 a block at a time, with a read
    position; text behind the position is dropped as reading goes on (its
    lines counted)."""

    def __init__(self, stream: IO[bytes], where: str) -> None:
        self.stream = stream
        self.where = where
        self.decoder = codecs.getincrementaldecoder("utf-8-sig")()
        self.buf = ""
        self.pos = 0
        self.line = 1  # the line of buf[0]
        self.done = False

    def more(self, size: int = _BLOCK) -> None:
        """Reads at least `size` more bytes, or to the end of the stream."""
        if len(self.buf) - self.pos > _MAX_VALUE:
            raise self.error(f"a JSON value longer than {_MAX_VALUE >> 20} MiB (or one that "
                             "never ends)")
        block = self.stream.read(size)
        try:
            text = self.decoder.decode(block, final=not block)
        except UnicodeDecodeError as exc:
            before = block[:max(exc.start, 0)].count(b"\n")
            line = self.line_at(len(self.buf)) + before
            raise ValueError(f"{self.where}: line {line}: not UTF-8 text ({exc.reason})") from None
        self.done = not block
        self.buf += text

    def compact(self) -> None:
        """Drops the text before the position once it is large (called
        between values, never while looking ahead)."""
        if self.pos > _BLOCK:
            self.line += self.buf.count("\n", 0, self.pos)
            self.buf = self.buf[self.pos:]
            self.pos = 0

    def peek(self) -> str:
        """The next character after blanks, "" at the end of the stream."""
        while True:
            while self.pos < len(self.buf) and self.buf[self.pos] in _BLANKS:
                self.pos += 1
            if self.pos < len(self.buf) or self.done:
                return self.buf[self.pos] if self.pos < len(self.buf) else ""
            self.more()

    def expect(self, chars: str) -> str:
        c = self.peek()
        if not c or c not in chars:
            found = repr(c) if c else "the end of the input"
            raise self.error(f"expected {' or '.join(map(repr, chars))}, found {found}")
        self.pos += 1
        return c

    def value(self) -> tuple[Any, int]:
        """The next JSON value and the line it starts on."""
        self.peek()
        line = self.line_at(self.pos)
        size = _BLOCK
        while True:
            try:
                value, end = _DECODER.raw_decode(self.buf, self.pos)
                # A number at the very end of the text read may go on.
                if end < len(self.buf) or self.done or not isinstance(value, (int, float)):
                    self.pos = end
                    return value, line
            except json.JSONDecodeError as exc:
                # The text may stop inside the value (then the error lies
                # within a token of the end, or in an open string): read on.
                cut = len(self.buf) - exc.pos <= 64 or exc.msg.startswith("Unterminated string")
                if self.done or not cut:
                    raise self.error(exc.msg, exc.pos) from None
            self.more(size)
            size *= 2  # a long value is read in growing blocks, not parsed again per block

    def line_at(self, pos: int) -> int:
        return self.line + self.buf.count("\n", 0, pos)

    def error(self, text: str, pos: int | None = None) -> ValueError:
        line = self.line_at(self.pos if pos is None else pos)
        return ValueError(f"{self.where}: line {line}: {text}")


@dataclass
class _Feature:
    properties: dict[str, Any]
    geometry: str | None  # the geometry as JSON text
    line: int


def _features(text: _Text, reader: GeoJSONReader) -> Iterator[_Feature]:
    """The features of the stream in order."""
    while text.peek():
        text.compact()
        if text.peek() == "{" and _collection_follows(text):
            yield from _collection(text, reader)
        else:
            value, line = text.value()
            yield _feature(value, line, text.where)


def _collection_follows(text: _Text) -> bool:
    """Whether the object at the position is a FeatureCollection, judged by
    its first member ("type" usually comes first; so do "features") without
    reading the object whole."""
    save = text.pos
    try:
        text.pos += 1
        if text.peek() != '"':
            return False
        key, _ = text.value()
        if key == "features":
            return True
        if key != "type" or text.peek() != ":":
            return False
        text.pos += 1
        kind, _ = text.value()
        return bool(kind == "FeatureCollection")
    finally:
        text.pos = save


def _collection(text: _Text, reader: GeoJSONReader) -> Iterator[_Feature]:
    text.expect("{")
    if text.peek() == "}":
        text.pos += 1
        return
    while True:
        key, _ = text.value()
        text.expect(":")
        if key == "features":
            text.expect("[")
            if text.peek() == "]":
                text.pos += 1
            else:
                while True:
                    text.compact()
                    value, line = text.value()
                    yield _feature(value, line, text.where)
                    if text.expect(",]") == "]":
                        break
        elif key == "crs":
            value, line = text.value()
            name = value.get("properties", {}).get("name") if isinstance(value, dict) else None
            if not isinstance(name, str):
                raise ValueError(f"{text.where}: line {line}: a 'crs' member must be "
                                 '{"type": "name", "properties": {"name": ...}}')
            if reader.batches and resolve(name) != resolve(reader.crs):
                raise ValueError(f"{text.where}: line {line}: the 'crs' member comes after the "
                                 "features it describes")
            reader.crs = name
        else:
            text.value()
        if text.expect(",}") == "}":
            return


def _feature(value: Any, line: int, where: str) -> _Feature:
    def fail(message: str) -> ValueError:
        return ValueError(f"{where}: line {line}: {message}")

    if not isinstance(value, dict):
        raise fail("expected a GeoJSON object")
    kind = value.get("type")
    if kind in _GEOMETRY_TYPES:  # a bare geometry: a feature without properties
        return _Feature({}, json.dumps(value), line)
    if kind != "Feature":
        raise fail(f"expected a Feature or a geometry, got type {kind!r}")
    geometry, properties = value.get("geometry"), value.get("properties")
    if geometry is not None and not isinstance(geometry, dict):
        raise fail("a feature's geometry must be an object or null")
    if properties is not None and not isinstance(properties, dict):
        raise fail("a feature's properties must be an object or null")
    properties = dict(properties or {})
    if "id" in value:
        properties["feature_id" if "id" in properties else "id"] = value["id"]
    return _Feature(properties, None if geometry is None else json.dumps(geometry), line)


class GeoJSONReader:
    """Iterates over Arrow tables of at most `batch_rows` features read from
    a binary stream (see the module docstring); `schema` fixes the property
    columns.  `crs` is the input's reference system as its text states it,
    for the tables' "geo" metadata: OGC:CRS84 unless a "crs" member names
    another."""

    def __init__(self, stream: IO[bytes], batch_rows: int = 65536, where: str = "input",
                 schema: Any = None) -> None:
        if batch_rows < 1:
            raise ValueError("batch_rows must be at least 1")
        self.crs: Any = "OGC:CRS84"
        self.batches = 0
        self._text = _Text(stream, where)
        self._batch_rows = batch_rows
        self._where = where
        self._schema = schema

    def __iter__(self) -> Iterator[Any]:
        batch: list[_Feature] = []
        for feature in _features(self._text, self):
            batch.append(feature)
            if len(batch) == self._batch_rows:
                yield self._table(batch)
                batch = []
        if batch or not self.batches:
            yield self._table(batch)

    def _table(self, features: list[_Feature]) -> Any:
        import pyarrow as pa

        properties = [f.properties for f in features]
        if self._schema is None:
            self._schema = _infer(pa, properties).schema
        table = _typed(pa, properties, self._schema, [f.line for f in features], self._where)
        name = "geometry"
        while name in table.column_names:
            name += "_"
        table = table.append_column(name, pa.array(_wkb_of(features, self._where), pa.binary()))
        geo = {"version": "1.0.0", "primary_column": name,
               "columns": {name: {"encoding": "WKB", "geometry_types": [],
                                  "crs": crs_projjson(self.crs)}}}
        self.batches += 1
        return table.replace_schema_metadata({b"geo": json.dumps(geo).encode()})


def _wkb_of(features: list[_Feature], where: str) -> Any:
    """The features' geometries as ISO WKB (None for null ones); ValueError
    naming the line of the first that GEOS cannot read."""
    import shapely

    present = [i for i, f in enumerate(features) if f.geometry is not None]
    geoms = np.full(len(features), None, dtype=object)
    if present:
        texts = np.array([features[i].geometry for i in present], dtype=object)
        try:
            geoms[present] = shapely.from_geojson(texts)
        except shapely.errors.GEOSException:
            for i in present:
                try:
                    shapely.from_geojson(features[i].geometry)
                except shapely.errors.GEOSException as exc:
                    raise ValueError(f"{where}: line {features[i].line}: invalid geometry: "
                                     f"{exc}") from None
            raise
    return shapely.to_wkb(geoms, flavor="iso")


def _as_json_text(value: Any) -> str | None:
    return None if value is None else json.dumps(value, ensure_ascii=False)


def _infer(pa: Any, properties: list[dict[str, Any]]) -> Any:
    """The properties as a table whose column types Arrow infers; JSON text
    for a property whose values have no common type."""
    keys: dict[str, None] = {}
    for props in properties:
        keys.update(dict.fromkeys(props))
    fields, columns = [], []
    for key in keys:
        values = [p.get(key) for p in properties]
        try:
            column = pa.array(values)
            fields.append(pa.field(key, column.type))
        except (pa.ArrowInvalid, pa.ArrowTypeError, pa.ArrowNotImplementedError, OverflowError):
            column = pa.array([_as_json_text(v) for v in values], pa.string())
            fields.append(pa.field(key, pa.string(), metadata=_JSON_TEXT))
        columns.append(column)
    return pa.Table.from_arrays(columns, schema=pa.schema(fields)) if fields else \
        pa.table({"_": pa.nulls(len(properties))}).drop_columns(["_"])


def _typed(pa: Any, properties: list[dict[str, Any]], schema: Any, lines: list[int],
           where: str) -> Any:
    """The properties as a table of `schema`'s columns."""
    known = set(schema.names)
    for props, line in zip(properties, lines):
        unknown = props.keys() - known
        if unknown:
            raise ValueError(f"{where}: line {line}: property {sorted(unknown)[0]!r} is not "
                             "among the columns the first features fixed (read the whole "
                             "input first to know them all)")
    columns = []
    for f in schema:
        values = [p.get(f.name) for p in properties]
        if f.metadata == _JSON_TEXT:
            values = [_as_json_text(v) for v in values]
        try:
            columns.append(pa.array(values, type=f.type))
        except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
            for row, v in enumerate(values):
                try:
                    pa.array([v], type=f.type)
                except (pa.ArrowInvalid, pa.ArrowTypeError, OverflowError):
                    raise ValueError(f"{where}: line {lines[row]}: property {f.name!r}: {v!r} "
                                     f"does not fit its column's type {f.type}") from None
            raise
    if not columns:
        return pa.table({"_": pa.nulls(len(properties))}).drop_columns(["_"])
    return pa.Table.from_arrays(columns, schema=schema.remove_metadata())


def scan_properties(stream: IO[bytes], where: str = "input") -> Any:
    """The schema of the properties of all the features of a stream (read to
    its end, a block at a time): each property's types unified, JSON text
    where they have no common type."""
    import pyarrow as pa

    reader = GeoJSONReader(stream, 1, where)
    merged: dict[str, Any] = {}
    batch: list[dict[str, Any]] = []

    def merge() -> None:
        for f in _infer(pa, batch).schema:
            old = merged.get(f.name)
            if old is None or old == f:
                merged[f.name] = f
                continue
            try:
                merged[f.name] = pa.unify_schemas([pa.schema([old]), pa.schema([f])],
                                                  promote_options="permissive").field(0)
            except (pa.ArrowInvalid, pa.ArrowTypeError):
                merged[f.name] = pa.field(f.name, pa.string(), metadata=_JSON_TEXT)
        batch.clear()

    for feature in _features(reader._text, reader):
        batch.append(feature.properties)
        if len(batch) == 65536:
            merge()
    merge()
    return pa.schema(list(merged.values()))


# ---------------------------------------------------------------------------
# Writing


def _check_wgs84(crs: Any, what: str) -> None:
    system = resolve(crs).system
    if system != "wgs84":
        raise ValueError(f"GeoJSON (RFC 7946) holds WGS 84 longitude and latitude only, not "
                         f"{system} ({what}); write GeoParquet to keep {system} coordinates "
                         "with their reference system")


def _json_default(value: Any) -> Any:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if isinstance(value, datetime.timedelta):
        return value.total_seconds()
    if isinstance(value, decimal.Decimal):
        return float(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return base64.b64encode(bytes(value)).decode("ascii")
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"a property value of type {type(value).__name__} has no JSON form")


def _finite(value: Any) -> Any:
    """`value` with NaN and infinite floats (at any depth) made None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


def _properties_json(props: Mapping[str, Any]) -> str:
    try:
        return json.dumps(props, ensure_ascii=False, allow_nan=False, default=_json_default,
                          separators=(",", ":"))
    except ValueError:  # a NaN or an infinity somewhere
        return json.dumps(_finite(dict(props)), ensure_ascii=False, default=_json_default,
                          separators=(",", ":"))


def _geometry_json(geoms: Any, first_row: int) -> list[str]:
    """GeoJSON text of each geometry (None for a missing one): polygons
    oriented, empty geometries with empty coordinates."""
    import shapely

    texts = np.full(len(geoms), "null", dtype=object)
    present = ~shapely.is_missing(geoms)
    empty = present & shapely.is_empty(geoms)
    full = present & ~empty
    if full.any():
        oriented = shapely.orient_polygons(geoms[full], exterior_cw=False)
        written = shapely.to_geojson(oriented)
        bad = np.char.find(written.astype(str), "null") >= 0
        if bad.any():
            row = first_row + int(np.flatnonzero(full)[np.argmax(bad)])
            raise ValueError(f"row {row}: a NaN coordinate has no GeoJSON form")
        texts[full] = written
    for i in np.flatnonzero(empty):
        kind = shapely.get_type_id(geoms[i])
        name = ["Point", "LineString", "LineString", "Polygon", "MultiPoint", "MultiLineString",
                "MultiPolygon", "GeometryCollection"][kind]
        texts[i] = (f'{{"type":"{name}","geometries":[]}}' if name == "GeometryCollection"
                    else f'{{"type":"{name}","coordinates":[]}}')
    return list(texts)


def _as_geometries(values: Any) -> Any:
    """Shapely geometries from shapely geometries, WKB bytes or WKT text (or
    None), as an object array."""
    import shapely

    arr = np.asarray(values, dtype=object)
    if arr.ndim != 1:
        arr = arr.ravel()
    out = np.full(len(arr), None, dtype=object)
    for kind, convert in ((bytes, shapely.from_wkb), (str, shapely.from_wkt)):
        mask = np.fromiter((isinstance(v, kind) for v in arr), dtype=bool, count=len(arr))
        if mask.any():
            out[mask] = convert(arr[mask])
    rest = ~np.fromiter((isinstance(v, (bytes, str)) for v in arr), dtype=bool, count=len(arr))
    out[rest] = arr[rest]
    if not (shapely.is_geometry(out) | shapely.is_missing(out)).all():
        raise TypeError("geometries must be shapely geometries, WKB bytes, WKT text or None")
    return out


class GeoJSONWriter:
    """Writes one FeatureCollection to `stream` (binary or text), a feature
    per line, from write_table() and write_features() calls in turn;
    close() (or leaving the `with` block without an exception) ends it.
    `crs` is the reference system of geometries that do not state their
    own; it must be WGS 84 (see the module docstring)."""

    def __init__(self, stream: IO[bytes] | IO[str], crs: CRS = "OGC:CRS84") -> None:
        _check_wgs84(crs, "the writer's reference system")
        self._stream = stream
        self._text = hasattr(stream, "encoding")
        self._rows = 0
        self._started = self._closed = False

    def __enter__(self) -> GeoJSONWriter:
        return self

    def __exit__(self, kind: object, *rest: object) -> None:
        if kind is None:
            self.close()

    def _write(self, text: str) -> None:
        if not self._started:
            self._started = True
            text = '{"type":"FeatureCollection","features":[\n' + text
        self._stream.write(text if self._text else text.encode("utf-8"))  # type: ignore[arg-type]

    def write_features(self, geometries: Any, properties: Sequence[Mapping[str, Any]] | None
                       = None, ids: Sequence[Any] | None = None) -> None:
        """Features of `geometries` (shapely geometries, WKB bytes, WKT text
        or None, in longitude and latitude) with `properties` (one dict
        each) and `ids` (one each), all in order."""
        geoms = _as_geometries(geometries)
        n = len(geoms)
        if properties is not None and len(properties) != n:
            raise ValueError(f"properties must have one entry per geometry ({n}), got "
                             f"{len(properties)}")
        if ids is not None and len(ids) != n:
            raise ValueError(f"ids must have one entry per geometry ({n}), got {len(ids)}")
        texts = _geometry_json(geoms, self._rows)
        lines = []
        for i, text in enumerate(texts):
            props = _properties_json(properties[i] if properties is not None else {})
            ident = "" if ids is None or ids[i] is None else \
                f'"id":{json.dumps(ids[i], default=_json_default)},'
            lines.append(f'{{"type":"Feature",{ident}"properties":{props},"geometry":{text}}}')
        self._emit(lines)

    def write_table(self, table: Any, geometry: str | None = None) -> None:
        """Features of the rows of a pyarrow Table or RecordBatch: its
        geometry column (`geometry`, else the "geo" metadata's primary
        column, else "geometry") and the other columns as properties (a
        covering's bounding box column left out)."""
        from geokern_tools import _geoparquet
        from geokern_tools._geoarrow import to_shapely

        meta = _geoparquet.read_geo_metadata(table.schema) or {"columns": {}}
        name = geometry or meta.get("primary_column") or "geometry"
        if name not in table.schema.names:
            raise ValueError(f"no geometry column {name!r} (columns: "
                             f"{', '.join(table.schema.names)})")
        column = meta["columns"].get(name, {})
        if "crs" in column or name in meta["columns"]:
            _check_wgs84(column.get("crs", "OGC:CRS84"), f"column {name!r}")
        skip = {name}
        for c in meta["columns"].values():
            covering = (c.get("covering") or {}).get("bbox")
            if isinstance(covering, dict) and covering.get("xmin"):
                skip.add(covering["xmin"][0])
        encoding = column.get("encoding", "WKB")
        geoms = to_shapely(table.column(name), encoding)
        rest = table.select([n for n in table.schema.names if n not in skip])
        texts = _geometry_json(geoms, self._rows)
        lines = [f'{{"type":"Feature","properties":{_properties_json(props)},"geometry":{text}}}'
                 for props, text in zip(rest.to_pylist(), texts)]
        self._emit(lines)

    def _emit(self, lines: list[str]) -> None:
        if self._closed:
            raise ValueError("the GeoJSON writer is closed")
        if lines:
            self._write((",\n" if self._rows else "") + ",\n".join(lines))
            self._rows += len(lines)

    def close(self) -> None:
        """Ends the FeatureCollection (an empty one if nothing was written)."""
        if not self._closed:
            self._write("\n]}\n")
            self._closed = True
