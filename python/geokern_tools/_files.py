"""Converting coordinate files: picks the reader and writer for each kind
and streams the batches through the conversion into one output, which
appears whole or not at all (geokern_tools._output)."""
from __future__ import annotations

import contextlib
import os
import sys
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import IO, Any

from geokern_tools._coordinate_columns import AXES, convert_table, output_names, pick_columns
from geokern_tools._crs import crs_name
from geokern_tools._errors import DataError, UsageError
from geokern_tools._geofiles import GeoOutput, geo_kind, ogr_path
from geokern_tools._input import open_input
from geokern_tools._npy import NpyReader, NpyWriter, check_numbers
from geokern_tools._output import output_file
from geokern_tools._parquet import ParquetReader, ParquetWriter
from geokern_tools._text import WHITESPACE, TextReader, TextWriter

#: Block size of text reads and row count of Parquet and .npy batches; the
#: environment variables exist to test the batching on small files.
BATCH_BYTES = int(os.environ.get("GEOKERN_BATCH_BYTES", 1 << 20))
BATCH_ROWS = int(os.environ.get("GEOKERN_BATCH_ROWS", 1 << 18))
PROGRESS_BYTES = 64 << 20

_SUFFIXES = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet", ".npy": "npy",
             ".txt": "text", ".xyz": "text", ".dat": "text", ".tsv": "tsv"}


def kind_of_path(path: str) -> str | None:
    return _SUFFIXES.get(os.path.splitext(path)[1].lower())


def _plain_suffix(path: str) -> bool:
    """Whether a (possibly compressed) input's name says it holds delimited
    text, Parquet or .npy."""
    stem, suffix = os.path.splitext(path.lower())
    if suffix in (".gz", ".bz2", ".xz", ".zst"):
        suffix = os.path.splitext(stem)[1]
    return path != "-" and suffix in _SUFFIXES


def _progress(inputs: list[str]) -> Any:
    """A tqdm bar on standard error for large inputs when it is a terminal."""
    sizes = [os.path.getsize(p) for p in inputs if p != "-" and os.path.isfile(p)]
    if sys.stderr is None or not sys.stderr.isatty() or sum(sizes) < PROGRESS_BYTES:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=sum(sizes), unit="B", unit_scale=True, file=sys.stderr, leave=False)


def _reader(name: str, source: Any, kind: str, columns: list[str] | None) -> Any:
    def choose(names: list[str]) -> list[int]:
        return pick_columns(names, columns, name)

    if kind == "parquet":
        return ParquetReader(name, source, BATCH_ROWS, choose)
    if kind == "npy":
        return NpyReader(name, source, BATCH_ROWS, choose)
    return TextReader(name, source, BATCH_BYTES, choose)


def _writer(stream: IO[bytes], kind: str, reader: Any, names: list[str]) -> Any:
    if kind == "parquet":
        return ParquetWriter(stream, names)
    if kind == "npy":
        return NpyWriter(stream, names)
    if kind == "csv":
        delimiter = b","
    elif kind == "tsv":
        delimiter = b"\t"
    elif isinstance(reader, TextReader):
        delimiter = reader.delimiter
    else:
        delimiter = WHITESPACE
    return TextWriter(stream, delimiter, names if reader.header else None)


def _empty_table(reader: Any) -> Any:
    """A table without rows of the reader's columns and types."""
    import pyarrow as pa

    schema = getattr(reader, "schema", None)
    if schema is None:  # text: coordinates as numbers, the rest as text
        schema = pa.schema([(f"c{i}", pa.float64() if i in reader.picked else pa.string())
                            for i in range(len(reader.names))])
    return schema.empty_table()


def _text_fault(table: Any, names: list[str], first_row: int) -> str | None:
    """Why a text output refused `table`: a column of bytes that are not
    UTF-8 (as a Parquet binary column may hold); None if none is."""
    import pyarrow as pa
    import pyarrow.compute as pc

    for column, name in zip(table.columns, names):
        if not pa.types.is_binary(column.type) and not pa.types.is_large_binary(column.type):
            continue
        try:
            pc.cast(column, pa.string())
        except pa.ArrowInvalid:
            for row, value in enumerate(column.to_pylist()):
                try:
                    if value is not None:
                        value.decode("utf-8")
                except UnicodeDecodeError:
                    return (f"row {first_row + row}: column {name!r} holds bytes that are not "
                            "UTF-8 text; write Parquet to keep them")
    return None


class _BackgroundWriter:
    """Writes each converted batch on a second thread while the next one is
    read and converted (Arrow's parsing, formatting and writing release the
    interpreter lock); at most one batch waits, so memory stays bounded."""

    def __init__(self) -> None:
        self.pool = ThreadPoolExecutor(1)
        self.pending: Future[None] | None = None
        self.batch: tuple[Any, list[str], str, int] | None = None

    def submit(self, writer: Any, table: Any, names: list[str], name: str,
               first_row: int) -> None:
        """Writes `table` (columns `names`, rows from `first_row` of the
        input `name`) once the previous batch is written."""
        self.wait()
        self.batch = table, names, name, first_row
        self.pending = self.pool.submit(writer.write, table)

    def wait(self) -> None:
        import pyarrow as pa

        if self.pending is None or self.batch is None:
            return
        (pending, self.pending), (table, names, name, first_row) = (self.pending, None), self.batch
        self.batch = None
        try:
            pending.result()
        except DataError as exc:
            raise DataError(f"{name}: {exc}") from exc
        except pa.ArrowInvalid as exc:
            fault = _text_fault(table, names, first_row)
            raise DataError(f"{name}: {fault or f'cannot write the output ({exc})'}") from exc

    def close(self) -> None:
        self.pool.shutdown(wait=True)


class _Output:
    """The writer of the output, made for the first input with columns."""

    def __init__(self, stream: IO[bytes], kind: str | None, dst: str) -> None:
        self.stream, self.kind, self.dst = stream, kind, dst
        self.writer: Any = None
        self.names: list[str] = []
        self.first: tuple[Any, str] | None = None
        self.rows = 0

    def start(self, reader: Any, kind: str, name: str, names: list[str]) -> None:
        if self.writer is None:
            self.kind = self.kind or kind
            self.writer, self.names = _writer(self.stream, self.kind, reader, names), names
            self.first = reader, name
        elif names != self.names:
            raise DataError(f"{name}: columns {names} differ from those of the first input "
                            f"{self.names}")

    def close(self, src: str) -> None:
        """Completes the output; without rows, a file of its kind that holds
        none (Parquet with the schema, .npy of shape (0, k), text with the
        header when there is one)."""
        if self.writer is None:
            if self.kind not in ("parquet", "npy"):
                return
            # Inputs without any column: the destination's three axes.
            import pyarrow as pa

            self.names = list(AXES[self.dst])
            self.writer = _writer(self.stream, self.kind, None, self.names)
            self.writer.write(pa.schema([(n, pa.float64()) for n in self.names]).empty_table())
        elif self.rows == 0 and self.first is not None:
            reader, name = self.first
            self.writer.write(convert_table(_empty_table(reader), reader.picked, reader.names,
                                            src, self.dst, name, 1))
        self.writer.close()


class _Run:
    """What one run converts: the source and target, and how."""

    def __init__(self, src: str | None, dst: str, columns: list[str] | None,
                 china_inverse: str, wkt: str | None) -> None:
        # Geometry files keep the systems as spelt (EPSG:4979 is not
        # EPSG:4326 in their metadata); coordinate columns need the names.
        self.src, self.dst, self.columns = src, dst, columns
        self.dst_name = crs_name(dst)
        self.china_inverse, self.wkt = china_inverse, wkt

    def plain_source(self, name: str) -> str:
        """The name of --from, which coordinate columns need."""
        if self.src is None:
            raise UsageError(f"{name}: coordinate columns do not state their reference system: "
                             "give it with --from")
        return crs_name(self.src)


def _convert_into(output: _Output, inputs: list[str], run: _Run, geo: GeoOutput,
                  background: _BackgroundWriter, progress: Any) -> int:
    dst, columns = run.dst_name, run.columns
    for path in inputs:
        if ogr_path(path):
            _refuse_mixing(output, path, True)
            geo.add(path, path, None, "ogr")
            continue
        with open_input(path) as (name, source, kind):
            gkind = None if run.wkt else geo_kind(name, source, kind, _plain_suffix(path))
            _refuse_mixing(output, name, gkind is not None, geo)
            if gkind is not None:
                geo.add(name, path, source, gkind)
                continue
            if run.wkt is not None:
                _convert_wkt_input(output, name, source, kind, run, background)
                continue
            src = run.plain_source(name)
            reader = _reader(name, source, kind, columns)
            if not reader.names:
                continue  # an empty input adds nothing
            output.start(reader, kind, name,
                         output_names(reader.names, reader.picked, src, dst, reader.header))
            if isinstance(reader, TextReader):
                reader.write_to(output.writer)
            for table, first, size in reader.batches():
                try:
                    table = convert_table(table, reader.picked, reader.names, src, dst,
                                          name, first, run.china_inverse)
                except (ValueError, TypeError) as exc:
                    raise DataError(f"{name}:{first}: {exc}") from exc
                if output.kind == "npy":
                    try:
                        check_numbers(table, output.names, first)
                    except DataError as exc:
                        raise DataError(f"{name}: {exc}") from exc
                background.submit(output.writer, table, output.names, name, first)
                output.rows += table.num_rows
                if progress is not None:
                    progress.update(size)
            background.wait()
    if geo.sink is not None:
        geo.close()
        return geo.rows
    if output.kind in ("geojson", "wkt"):
        raise UsageError(f"{output.kind} output needs geometries (GeoParquet, GeoJSON, WKT "
                         "or a vector file); coordinate columns go to .csv, .txt, .tsv, "
                         ".parquet or .npy")
    output.close(crs_name(run.src) if run.src is not None else run.dst_name)
    return output.rows


def _refuse_mixing(output: _Output, name: str, geometry: bool,
                   geo: GeoOutput | None = None) -> None:
    """One run converts geometries or coordinate columns, not both."""
    if geometry and output.writer is not None:
        raise DataError(f"{name}: holds geometries, but the first input holds coordinate "
                        "columns; convert them in separate runs")
    if not geometry and geo is not None and geo.sink is not None:
        raise DataError(f"{name}: holds coordinate columns, but the first input holds "
                        "geometries; convert them in separate runs")
    if not geometry and output.kind in ("geojson", "wkt"):
        raise UsageError(f"{name}: {output.kind} output needs geometries; coordinate columns "
                         "go to .csv, .txt, .tsv, .parquet or .npy")


def _convert_wkt_input(output: _Output, name: str, source: Any, kind: str, run: _Run,
                       background: _BackgroundWriter) -> None:
    """A table with a column of WKT geometries (--wkt): that column
    converted, the others passed through."""
    from geokern_tools._geofiles import convert_wkt_table, wkt_column_index

    if kind == "npy":
        raise UsageError(f"{name}: --wkt needs a text column (CSV, text or Parquet)")
    index: list[int] = []

    def choose(names: list[str]) -> list[int]:
        assert run.wkt is not None
        index.append(wkt_column_index(names, run.wkt, name))
        return []

    reader: Any = (ParquetReader(name, source, BATCH_ROWS, choose) if kind == "parquet"
                   else TextReader(name, source, BATCH_BYTES, choose))
    if not reader.names:
        return
    if output.kind == "npy":
        raise UsageError("--wkt writes text columns, which .npy cannot hold")
    output.start(reader, kind, name, list(reader.names))
    unit = "row" if kind == "parquet" else "line"
    for table, first, _ in reader.batches():
        table = convert_wkt_table(table, index[0], run.src, run.dst, run.china_inverse, name,
                                  first, unit)
        background.submit(output.writer, table, output.names, name, first)
        output.rows += table.num_rows
    background.wait()


def convert_files(inputs: list[str], output: str | None, src: str | None, dst: str,
                  columns: list[str] | None, china_inverse: str = "iterative",
                  wkt: str | None = None) -> int:
    """Converts the inputs into one output; returns the number of rows (or
    features).  `src` None takes each geometry file's own reference
    system; `wkt` names a column of WKT geometries to convert."""
    from geokern_tools._geofiles import output_kind, refuse_geojson

    out_kind = None
    if output not in (None, "-"):
        assert output is not None
        out_kind = kind_of_path(output) or output_kind(output)
        if out_kind == "geojson":
            refuse_geojson(dst)
        if out_kind in ("geojson", "wkt") and wkt is not None:
            raise UsageError("--wkt converts a column of a table: write .csv, .txt, .tsv or "
                             ".parquet")
    progress = _progress(inputs)
    background = _BackgroundWriter()
    run = _Run(src, dst, columns, china_inverse, wkt)
    try:
        with output_file(output, inputs) as stream:
            geo = GeoOutput(stream, out_kind, src, dst, china_inverse, BATCH_ROWS, BATCH_BYTES)
            try:
                rows = _convert_into(_Output(stream, out_kind, run.dst_name), inputs, run, geo,
                                     background, progress)
            finally:
                background.close()  # no write may outlive the output file
                geo.shutdown()
    finally:
        if progress is not None:
            progress.close()
    return rows
