"""Geometry files in `geokern convert`: GeoParquet, GeoJSON, WKT and the
vector formats GDAL reads, and WKT text in a column of an ordinary table.

Every geometry input becomes a stream of Arrow tables whose geometry
column(s) GeoParquet "geo" metadata describes (WKB or a native GeoArrow
encoding, with the column's reference system), in bounded batches:

- GeoParquet: the file's own batches, a row group at a time;
- GeoJSON: geokern_tools._geojson's reader (a file is first scanned for the
  properties of all its features, so that the columns are typed from all of
  them; standard input is typed from its first batch);
- WKT: one geometry a line, read by GEOS, as a WKB column; the reference
  system is an SRID prefix ("SRID=4326;POINT (...)") or --from;
- Shapefile, GeoPackage, FlatGeobuf, ...: pyogrio's Arrow batches
  (geokern_tools._ogr); a layer without a stated reference system has none.

The tables go through geokern_tools._geoparquet's converter and out as
GeoParquet (the "geo" metadata written once every batch is known), GeoJSON
(WGS 84 only, refused for other targets before anything is written) or WKT
lines (the geometries only; a missing geometry has no line and is an error).

Where --from is left out, each geometry column's own reference system is
the source; where it is given, it must name the same system as the file.
"""
from __future__ import annotations

import base64
import json
import os
import re
from collections.abc import Iterator
from typing import IO, Any

from geokern_tools._crs import describe, resolve
from geokern_tools._errors import DataError, UsageError
from geokern_tools._wkt import parse_wkt

__all__ = ["GEO_KINDS", "GeoOutput", "geo_kind", "ogr_path", "output_kind"]

#: Suffixes of geometry files read as text, and the kind each names.
TEXT_SUFFIXES = {".geojson": "geojson", ".json": "geojson", ".geojsonl": "geojson",
                 ".geojsons": "geojson", ".wkt": "wkt"}
#: Suffixes of the vector files pyogrio reads from their path.
OGR_SUFFIXES = {".shp", ".gpkg", ".fgb", ".gml", ".kml", ".gpx", ".gdb", ".sqlite", ".tab",
                ".mif"}
GEO_KINDS = {"geoparquet", "geojson", "wkt", "ogr"}

_WKT_START = re.compile(
    rb"\s*(?:SRID=\d+\s*;\s*)?(?:POINT|LINESTRING|POLYGON|MULTIPOINT|MULTILINESTRING|"
    rb"MULTIPOLYGON|GEOMETRYCOLLECTION|CIRCULARSTRING|COMPOUNDCURVE|CURVEPOLYGON|MULTICURVE|"
    rb"MULTISURFACE|TRIANGLE|TIN|POLYHEDRALSURFACE)\b", re.IGNORECASE)
_SRID = re.compile(r"\s*SRID=(\d+)\s*;", re.ASCII | re.IGNORECASE)
_EPSG = {"EPSG:4326": 4326, "EPSG:4979": 4979, "EPSG:4978": 4978, "EPSG:3857": 3857,
         "OGC:CRS84": 4326}
_GEO = b"geo"


def _stem_suffix(path: str) -> str:
    """The suffix of `path` that names its kind (a compression suffix
    skipped)."""
    stem, suffix = os.path.splitext(path.lower())
    if suffix in (".gz", ".bz2", ".xz", ".zst"):
        suffix = os.path.splitext(stem)[1]
    return suffix


def ogr_path(path: str) -> bool:
    """Whether `path` names a vector file that pyogrio reads itself."""
    return path != "-" and os.path.splitext(path.lower())[1] in OGR_SUFFIXES


def output_kind(path: str) -> str | None:
    """The geometry kind an output's suffix names: "geojson", "wkt" or
    None."""
    kind = TEXT_SUFFIXES.get(os.path.splitext(path.lower())[1])
    return kind


def _has_geometry(schema: Any) -> bool:
    if _GEO in (schema.metadata or {}):
        return True
    return any((f.metadata or {}).get(b"ARROW:extension:name", b"").startswith(b"geoarrow.")
               for f in schema)


def geo_kind(name: str, source: Any, kind: str, plain_suffix: bool) -> str | None:
    """The geometry kind of an opened input (see geokern_tools._input), or
    None for coordinates: a Parquet file with geometry columns, a GeoJSON or
    WKT file by its suffix, or text that starts as GeoJSON or WKT does where
    no suffix (`plain_suffix`) says it is delimited text."""
    if kind == "parquet":
        import pyarrow as pa
        import pyarrow.parquet as pq

        try:
            schema = pq.read_schema(source)
        except (pa.ArrowException, OSError):
            return None  # the Parquet reader reports it
        return "geoparquet" if _has_geometry(schema) else None
    if kind != "text":
        return None
    by_suffix = TEXT_SUFFIXES.get(_stem_suffix(name)) if name != "<stdin>" else None
    if by_suffix is not None or plain_suffix:
        return by_suffix
    head = source.peek(4096).lstrip(b"\xef\xbb\xbf \t\r\n")
    if head[:1] in (b"{", b"\x1e"):
        return "geojson"
    if _WKT_START.match(head):
        return "wkt"
    return None


# ---------------------------------------------------------------------------
# Reading


def _geo_metadata(crs: Any, column: str = "geometry") -> bytes:
    meta = {"version": "1.0.0", "primary_column": column,
            "columns": {column: {"encoding": "WKB", "geometry_types": [], "crs": crs}}}
    return json.dumps(meta).encode()


def _geoparquet_tables(name: str, source: Any, batch_rows: int) -> Iterator[tuple[Any, int]]:
    from geokern_tools._parquet import ParquetReader

    reader = ParquetReader(name, source, batch_rows, lambda names: [])
    empty = True
    for table, first, _ in reader.batches():
        empty = False
        yield table.replace_schema_metadata(reader.schema.metadata), first
    if empty:
        yield reader.schema.empty_table(), 1


def _geojson_tables(name: str, path: str, source: Any, batch_rows: int
                    ) -> Iterator[tuple[Any, int]]:
    from geokern_tools._geojson import GeoJSONReader, scan_properties
    from geokern_tools._input import open_input

    schema = None
    if path != "-" and os.path.isfile(path):
        with open_input(path) as (_, again, _kind):
            schema = scan_properties(again, name)
    row = 1
    for table in GeoJSONReader(source, batch_rows, name, schema):
        yield table, row
        row += table.num_rows


def _wkt_lines(name: str, source: Any, block: int) -> Iterator[tuple[list[str], int]]:
    """The lines of a text stream in batches, with the number of the first;
    blank lines at the end are dropped, other blank lines kept (and refused
    by the reader of the texts)."""
    from geokern_tools._text import MAX_LINE_BYTES

    pending, line, blanks = b"", 1, 0
    while True:
        data = source.read(block)
        pending += data
        cut = pending.rfind(b"\n") + 1 if data else len(pending)
        if not cut and len(pending) > MAX_LINE_BYTES:
            raise DataError(f"{name}: line {line + blanks}: a line longer than "
                            f"{MAX_LINE_BYTES} bytes (GEOKERN_MAX_LINE_BYTES)")
        if cut:
            chunk, pending = pending[:cut], pending[cut:]
            lines = chunk.decode("utf-8", "strict").splitlines()
            texts = []
            for text in lines:
                if text.strip():
                    texts.extend([""] * blanks)
                    blanks = 0
                    texts.append(text)
                else:
                    blanks += 1
            if texts:
                yield texts, line
                line += len(texts)
        if not data:
            return


def _wkt_tables(name: str, source: Any, src: Any, batch_bytes: int
                ) -> Iterator[tuple[Any, int]]:
    """WKT lines as tables of one WKB column "geometry"; the reference system
    is the lines' SRID, which every line must share, or `src`."""
    import numpy as np
    import pyarrow as pa
    import shapely

    srid: int | None = None
    seen = False
    try:
        for texts, first in _wkt_lines(name, source, batch_bytes):
            bodies = []
            for k, text in enumerate(texts):
                if not text.strip():
                    raise DataError(f"{name}: line {first + k}: no WKT geometry (a blank line)")
                m = _SRID.match(text)
                code = int(m.group(1)) if m else None
                if not seen:
                    srid, seen = code, True
                if code != srid:
                    raise DataError(f"{name}: line {first + k}: every line must have the same "
                                    "SRID prefix, or none")
                bodies.append(text[m.end():] if m else text)
            try:
                geoms = parse_wkt(shapely, np.array(bodies, dtype=object),
                                  np.arange(first, first + len(bodies)), "line", name)
            except ValueError as exc:
                raise DataError(str(exc)) from None
            crs = f"EPSG:{srid}" if srid is not None else (
                None if src is None else _projjson(src))
            wkb = pa.array(shapely.to_wkb(geoms, flavor="iso", output_dimension=4), pa.binary())
            table = pa.table({"geometry": wkb}).replace_schema_metadata(
                {_GEO: _geo_metadata(crs), b"geokern:srid": b"1" if srid is not None else b""})
            yield table, first
    except UnicodeDecodeError as exc:
        raise DataError(f"{name}: not UTF-8 text ({exc.reason})") from None
    if not seen:
        crs = None if src is None else _projjson(src)
        yield pa.table({"geometry": pa.array([], pa.binary())}).replace_schema_metadata(
            {_GEO: _geo_metadata(crs)}), 1


def _projjson(crs: Any) -> Any:
    from geokern_tools._crs import crs_projjson

    return crs_projjson(crs)


def _ogr_tables(path: str, batch_rows: int) -> Iterator[tuple[Any, int]]:
    """A vector file's features; the geometry column marked with the layer's
    reference system, or none where the layer states none (a Shapefile
    without .prj)."""
    import pyarrow as pa

    from geokern_tools._ogr import read_ogr

    row = 1
    try:
        for table in read_ogr(path, batch_rows):
            yield _with_ogr_metadata(table), row
            row += table.num_rows
    except (pa.ArrowException, OSError) as exc:
        raise DataError(f"{path}: cannot read it ({' '.join(str(exc).split())})") from None
    if row == 1:
        yield pa.table({"geometry": pa.array([], pa.binary())}).replace_schema_metadata(
            {_GEO: _geo_metadata(None)}), 1


def _with_ogr_metadata(table: Any) -> Any:
    column, crs = None, None
    for f in table.schema:
        meta = f.metadata or {}
        if meta.get(b"ARROW:extension:name", b"").startswith(b"geoarrow."):
            column = f.name
            try:
                crs = json.loads(meta.get(b"ARROW:extension:metadata") or b"{}").get("crs")
            except ValueError:
                crs = None
            break
    if column is None:
        raise DataError("the layer has no geometry column")
    return table.replace_schema_metadata({_GEO: _geo_metadata(crs, column)})


def geo_tables(name: str, path: str, source: Any, kind: str, src: Any, batch_rows: int,
               batch_bytes: int) -> Iterator[tuple[Any, int]]:
    """(table with "geo" metadata, number of its first row or line) of one
    geometry input."""
    if kind == "geoparquet":
        return _geoparquet_tables(name, source, batch_rows)
    if kind == "geojson":
        return _geojson_tables(name, path, source, batch_rows)
    if kind == "wkt":
        return _wkt_tables(name, source, src, batch_bytes)
    return _ogr_tables(path, batch_rows)


# ---------------------------------------------------------------------------
# Checking the source against the file


def _column_crs(schema: Any) -> dict[str, Any]:
    """Each geometry column's reference system as the file states it (None:
    not stated)."""
    from geokern_tools._geoparquet import _from_extensions, read_geo_metadata

    try:
        meta = read_geo_metadata(schema) or _from_extensions(schema) or {"columns": {}}
    except ValueError as exc:
        raise DataError(str(exc)) from None
    return {name: (c["crs"] if "crs" in c else "OGC:CRS84")
            for name, c in meta["columns"].items()}


def check_source(name: str, schema: Any, src: Any) -> None:
    """Usage errors for a --from that is missing where the file does not
    state its reference system, or that names another system than the
    file's."""
    for column, crs in _column_crs(schema).items():
        if crs is None:
            if src is None:
                raise UsageError(f"{name}: the geometries (column {column!r}) do not state "
                                 "their reference system: give it with --from")
            continue
        try:
            own = resolve(crs).system
        except (ValueError, TypeError) as exc:
            raise DataError(f"{name}: column {column!r}: {exc}") from None
        if src is not None and resolve(src).system != own:
            raise UsageError(f"{name}: --from {src} is {resolve(src).system}, but the file "
                             f"states {describe(crs)} ({own}) for column {column!r}; leave "
                             "--from out to convert from the file's own")


# ---------------------------------------------------------------------------
# Writing


def _merged(metas: list[dict[str, Any]]) -> dict[str, Any]:
    """The "geo" metadata of several inputs' batches written as one file:
    their geometry types and bounding boxes joined."""
    out = metas[0]
    for other in metas[1:]:
        for name, column in out["columns"].items():
            more = other["columns"].get(name, {})
            column["geometry_types"] = sorted(set(column.get("geometry_types", []))
                                              | set(more.get("geometry_types", [])))
            a, b = column.get("bbox"), more.get("bbox")
            if a is None or b is None:
                if b is not None:
                    column["bbox"] = b
                continue
            if len(a) != len(b):  # one is 2-D: the joined box is too
                a = a[:2] + a[len(a) // 2:len(a) // 2 + 2]
                b = b[:2] + b[len(b) // 2:len(b) // 2 + 2]
            half = len(a) // 2
            column["bbox"] = [min(x, y) for x, y in zip(a[:half], b[:half])] + \
                             [max(x, y) for x, y in zip(a[half:], b[half:])]
    return out


class _GeoParquetSink:
    """One GeoParquet file.  Its Arrow schema and "geo" metadata go into the
    footer once the last batch is written, so that they describe all of
    them."""

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.writer: Any = None
        self.schema: Any = None

    def write(self, table: Any, geometry_columns: list[str]) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        from geokern_tools._parquet import schema_mismatch

        if self.writer is None:
            self.schema = table.schema
            encoded = [f.name for f in table.schema if not pa.types.is_floating(f.type)
                       and f.name not in geometry_columns]
            # Neither dictionaries nor min/max statistics of WKB help a reader.
            plain = [f.name for f in table.schema if f.name not in geometry_columns]
            self.writer = pq.ParquetWriter(self.stream, table.schema.remove_metadata(),
                                           use_dictionary=encoded, write_statistics=plain,
                                           store_schema=False)
        elif not table.schema.equals(self.schema, check_metadata=False):
            if any(f.type != before.type and not pa.types.is_null(f.type)
                   for f, before in zip(table.schema, self.schema)) or \
                    table.schema.names != self.schema.names:
                raise DataError(schema_mismatch(table.schema, self.schema))
            table = table.cast(self.schema)
        self.writer.write_table(table.replace_schema_metadata(None))

    def close(self, metadata: dict[bytes, bytes]) -> None:
        schema = self.schema.with_metadata(metadata)
        self.writer.add_key_value_metadata({
            **{k.decode(): v.decode() for k, v in metadata.items()},
            "ARROW:schema": base64.b64encode(schema.serialize().to_pybytes()).decode()})
        self.writer.close()


class _WktSink:
    """WKT lines of the primary geometry column, with the target's SRID
    prefix where the input's lines had one."""

    def __init__(self, stream: IO[bytes], dst: Any) -> None:
        self.stream = stream
        self.code = _EPSG.get(resolve(dst).definition)
        self.rows = 0

    def write(self, table: Any, column: str, encoding: str, srid: bool, name: str,
              first: int) -> None:
        import shapely

        from geokern_tools._geoarrow import to_shapely

        geoms = to_shapely(table.column(column), encoding)
        missing = shapely.is_missing(geoms)
        if missing.any():
            at = first + int(missing.argmax())
            raise DataError(f"{name}: row {at}: a missing geometry has no WKT line; write "
                            "GeoParquet or GeoJSON to keep it")
        texts = shapely.to_wkt(geoms, rounding_precision=-1, output_dimension=4)
        prefix = f"SRID={self.code};" if srid and self.code is not None else ""
        if len(texts):
            self.stream.write(("".join(f"{prefix}{t}\n" for t in texts)).encode())
        self.rows += len(texts)


class GeoOutput:
    """The output of a run over geometry inputs: GeoParquet ("parquet"),
    GeoJSON ("geojson") or WKT lines ("wkt"); `kind` None takes that of the
    first input (GeoParquet for GeoParquet and GDAL's formats)."""

    def __init__(self, stream: IO[bytes], kind: str | None, src: Any, dst: Any,
                 china_inverse: str, batch_rows: int, batch_bytes: int) -> None:
        self.stream, self.kind = stream, kind
        self.src, self.dst, self.china_inverse = src, dst, china_inverse
        self.batch_rows, self.batch_bytes = batch_rows, batch_bytes
        self.sink: Any = None
        self.pool: Any = None
        self.pending: Any = None
        self.metas: list[dict[str, Any]] = []
        self.schema_metadata: dict[bytes, bytes] = {}
        self.rows = 0

    def _start(self, kind: str) -> None:
        if self.sink is not None:
            return
        if self.kind is None:
            self.kind = {"geojson": "geojson", "wkt": "wkt"}.get(kind, "parquet")
        if self.kind == "geojson":
            refuse_geojson(self.dst)
            from geokern_tools._geojson import GeoJSONWriter

            self.sink = GeoJSONWriter(self.stream)
        elif self.kind == "wkt":
            self.sink = _WktSink(self.stream, self.dst)
        elif self.kind == "parquet":
            self.sink = _GeoParquetSink(self.stream)
        else:
            raise UsageError(f"geometries cannot be written as {self.kind}: write .parquet "
                             "(GeoParquet), .geojson or .wkt")

    def add(self, name: str, path: str, source: Any, kind: str) -> None:
        """Converts one geometry input into the output."""
        from geokern_tools._geoparquet import GeoParquetConverter

        self._start(kind)
        converter = None
        for table, first in geo_tables(name, path, source, kind, self.src, self.batch_rows,
                                       self.batch_bytes):
            if converter is None:
                check_source(name, table.schema, self.src)
                converter = GeoParquetConverter(table.schema, self.src, self.dst,
                                                self.china_inverse, name)
                srid = bool((table.schema.metadata or {}).get(b"geokern:srid"))
            self._submit(converter, converter.convert(table), name, first, srid)
        self.wait()
        assert converter is not None
        meta = converter.metadata()
        self.metas.append(meta)
        if not self.schema_metadata:
            self.schema_metadata = {k: v for k, v in (converter.schema.metadata or {}).items()
                                    if k not in (_GEO, b"geokern:srid")}

    def _submit(self, converter: Any, table: Any, name: str, first: int, srid: bool) -> None:
        """Writes a converted batch on a second thread while the next one is
        read and converted (Arrow's writing and GEOS release the interpreter
        lock); at most one batch waits, so memory stays bounded."""
        from concurrent.futures import ThreadPoolExecutor

        self.wait()
        if self.pool is None:
            self.pool = ThreadPoolExecutor(1)
        meta = converter.metadata()
        rows = self.rows
        self.rows += table.num_rows
        self.pending = self.pool.submit(self._write, meta, converter.schema.metadata, table,
                                        name, first, srid, rows)

    def wait(self) -> None:
        """Waits for the batch being written; raises what its writing did."""
        pending, self.pending = self.pending, None
        if pending is not None:
            pending.result()

    def shutdown(self) -> None:
        """Stops the writing thread (after the batch it writes, if any)."""
        if self.pool is not None:
            self.pool.shutdown(wait=True)

    def _write(self, meta: dict[str, Any], schema_metadata: Any, table: Any, name: str,
               first: int, srid: bool, rows: int) -> None:
        primary = meta["primary_column"]
        if self.kind == "geojson":
            try:
                self.sink.write_table(table.replace_schema_metadata(schema_metadata), primary)
            except ValueError as exc:  # the writer counts rows from 0 over all it wrote
                m = re.match(r"row (\d+): ", str(exc))
                if m is None:
                    raise DataError(f"{name}: {exc}") from None
                at = first + int(m.group(1)) - rows
                raise DataError(f"{name}: row {at}: {str(exc)[m.end():]}") from None
        elif self.kind == "wkt":
            self.sink.write(table, primary, meta["columns"][primary]["encoding"], srid, name,
                            first)
        else:
            self.sink.write(table, list(meta["columns"]))

    def close(self) -> None:
        self.wait()
        if self.sink is None:
            return
        if self.kind == "parquet":
            self.sink.close({**self.schema_metadata,
                             _GEO: json.dumps(_merged(self.metas)).encode()})
        elif self.kind == "geojson":
            self.sink.close()


def refuse_geojson(dst: Any) -> None:
    """A usage error for GeoJSON output in any system but WGS 84."""
    system = resolve(dst).system
    if system != "wgs84":
        raise UsageError(f"GeoJSON (RFC 7946) holds WGS 84 longitude and latitude only, not "
                         f"{system}: write GeoParquet (-o NAME.parquet), which records the "
                         "reference system")


# ---------------------------------------------------------------------------
# A WKT column of an ordinary table


def wkt_column_index(names: list[str], wanted: str, where: str) -> int:
    """The index of the WKT column `wanted` (a name or a 1-based number)."""
    if wanted in names:
        return names.index(wanted)
    if wanted.isdigit() and 1 <= int(wanted) <= len(names):
        return int(wanted) - 1
    raise DataError(f"{where}: no column {wanted!r} (columns: {', '.join(names)})")


def convert_wkt_table(table: Any, index: int, src: Any, dst: Any, china_inverse: str,
                      name: str, first: int, unit: str) -> Any:
    """`table` with its column `index` of WKT text converted."""
    import pyarrow as pa

    from geokern_tools._wkt import convert_wkt

    column = table.column(index)
    if not (pa.types.is_string(column.type) or pa.types.is_large_string(column.type)
            or pa.types.is_binary(column.type) or pa.types.is_null(column.type)):
        raise DataError(f"{name}: the WKT column holds {column.type}, not text")
    if pa.types.is_binary(column.type):
        try:
            column = column.cast(pa.string())
        except pa.ArrowInvalid:
            raise DataError(f"{name}: the WKT column holds bytes that are not UTF-8") from None
    # An empty field of delimited text is a missing geometry.
    values = [v if v else None for v in column.to_pylist()]
    try:
        out = convert_wkt(values, src, dst, china_inverse, first, unit, name)
    except ValueError as exc:
        if "carries no reference system" in str(exc):
            raise UsageError(f"{name}: the WKT texts state no reference system (an SRID "
                             "prefix): give it with --from") from None
        raise DataError(str(exc)) from None
    kind = pa.large_string() if pa.types.is_large_string(column.type) else pa.string()
    return table.set_column(index, table.schema.field(index).name, pa.array(out, kind))
