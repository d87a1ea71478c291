"""Delimited text: CSV, tab-, semicolon- or blank-separated coordinates.

The input is read in blocks of whole lines (about `batch_bytes` each), each
parsed by Arrow's CSV reader, so memory stays flat for any input size.  When
Arrow refuses a block, the block is scanned again line by line to name the
first bad line.  Coordinates are written back in their shortest round-trip
form by Arrow's float formatting, spread over threads; the other columns are
written as they were read.
"""
from __future__ import annotations

import csv
import io
import os
import re
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import IO, Any

from geokern_tools._errors import DataError

NUMBER = re.compile(rb"\s*[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|nan|inf|infinity)\s*",
                    re.IGNORECASE)
_BLANKS = re.compile(rb"[ \t]+")
_EDGE_BLANKS = re.compile(rb"(?m)^ | (?=\r?$)")
WHITESPACE = b" "  # blank-separated: any run of blanks and tabs is one separator


def _sniff(line: bytes) -> bytes:
    for delimiter in (b",", b";", b"\t"):
        if delimiter in line:
            return delimiter
    return WHITESPACE


def split_fields(line: bytes, delimiter: bytes) -> list[bytes]:
    if delimiter == WHITESPACE:
        return line.split()
    text = line.decode("utf-8", "replace")
    return [field.encode() for field in next(csv.reader([text], delimiter=delimiter.decode()))]


class TextReader:
    """Blocks of a text input as Arrow tables: coordinates float64, the other
    columns as strings."""

    def __init__(self, name: str, stream: IO[bytes], batch_bytes: int,
                 coordinate_columns: Any) -> None:
        self.name, self.stream, self.batch_bytes = name, stream, batch_bytes
        first = stream.readline()
        if first.startswith(b"\xef\xbb\xbf"):
            first = first[3:]
        skipped = 0
        while first and not first.strip():  # blank lines before the first record
            first = stream.readline()
            skipped += 1
        self.delimiter = _sniff(first)
        fields = split_fields(first.rstrip(b"\r\n"), self.delimiter)
        self.header = bool(fields) and not any(NUMBER.fullmatch(f) for f in fields)
        self.names = ([f.decode("utf-8", "replace").strip() for f in fields] if self.header
                      else [f"field{i + 1}" for i in range(len(fields))])
        self.pending = b"" if self.header else first
        self.line = skipped + (2 if self.header else 1)
        # An empty input converts to an empty output.
        self.picked: list[int] = coordinate_columns(self.names) if first else []

    def batches(self) -> Iterator[tuple[Any, int, int]]:
        """(table, number of its first line, bytes read) for each block."""
        while True:
            block = self.pending + self.stream.read(self.batch_bytes)
            self.pending = b""
            if not block:
                return
            if not block.endswith(b"\n"):
                block += self.stream.readline()
            yield self._parse(block), self.line, len(block)
            self.line += block.count(b"\n")

    def _parse(self, block: bytes) -> Any:
        import pyarrow as pa
        import pyarrow.csv as pcsv

        delimiter = self.delimiter
        quote = '"' if delimiter != WHITESPACE else False
        if delimiter == WHITESPACE and (b"\t" in block or b"  " in block or block[:1] == b" "
                                        or b"\n " in block or b" \n" in block or b" \r" in block):
            block = _EDGE_BLANKS.sub(b"", _BLANKS.sub(b" ", block))
        names = [f"c{i}" for i in range(len(self.names))]
        types = {name: pa.string() for name in names}
        for index in self.picked:
            types[names[index]] = pa.float64()
        try:
            return pcsv.read_csv(
                pa.py_buffer(block),
                read_options=pcsv.ReadOptions(column_names=names, block_size=1 << 22),
                parse_options=pcsv.ParseOptions(delimiter=delimiter.decode(), quote_char=quote),
                convert_options=pcsv.ConvertOptions(column_types=types, null_values=[],
                                                    strings_can_be_null=False,
                                                    quoted_strings_can_be_null=False))
        except pa.ArrowInvalid as exc:
            raise DataError(self._locate(block, str(exc))) from None

    def _locate(self, block: bytes, arrow_message: str) -> str:
        """The first bad line of a block that Arrow refused, as a message."""
        for offset, line in enumerate(block.split(b"\n")):
            line = line.rstrip(b"\r")
            if not line.strip():
                continue
            where = f"{self.name}:{self.line + offset}"
            fields = split_fields(line, self.delimiter)
            if len(fields) != len(self.names):
                return f"{where}: expected {len(self.names)} fields, found {len(fields)}"
            for index in self.picked:
                if not NUMBER.fullmatch(fields[index]):
                    text = fields[index].decode("utf-8", "replace")
                    column = (f"column {self.names[index]!r}" if self.header
                              else f"field {index + 1}")
                    return f"{where}: {column} is not a number: {text!r}"
        last = self.line + block.count(b"\n")
        return f"{self.name}:{self.line}-{last}: {arrow_message}"


_pool: ThreadPoolExecutor | None = None


def _as_text(column: Any) -> Any:
    """A column as Arrow strings; float columns are cut into pieces formatted
    on all cores (Arrow's cast releases the interpreter lock)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    global _pool
    if pa.types.is_string(column.type):
        return column
    if not pa.types.is_floating(column.type) or len(column) < 65536:
        return pc.cast(column, pa.string())
    threads = os.cpu_count() or 1
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    if _pool is None:
        _pool = ThreadPoolExecutor(threads)
    step = -(-len(column) // (2 * threads))
    pieces = [column.slice(start, step) for start in range(0, len(column), step)]
    return pa.chunked_array(list(_pool.map(lambda piece: pc.cast(piece, pa.string()), pieces)),
                            type=pa.string())


class TextWriter:
    """Writes tables as delimited text, the header first when one is given."""

    def __init__(self, stream: IO[bytes], delimiter: bytes, header: list[str] | None) -> None:
        self.stream = stream
        self.delimiter = b" " if delimiter == WHITESPACE else delimiter
        self.header = header

    def write(self, table: Any) -> None:
        import pyarrow as pa
        import pyarrow.csv as pcsv

        if self.header is not None:
            self._write_rows([self.header])
            self.header = None
        try:
            table = pa.Table.from_arrays([_as_text(column) for column in table.columns],
                             names=table.column_names)
        except pa.ArrowNotImplementedError as exc:
            raise DataError(f"cannot write a column as text: {exc}") from None
        sink = pa.BufferOutputStream()
        try:
            pcsv.write_csv(table, sink, pcsv.WriteOptions(
                include_header=False, delimiter=self.delimiter.decode(), quoting_style="none"))
        except pa.ArrowInvalid:
            # A passed-through value holds the delimiter, a quote or a line
            # break: quote just those values, as the csv module does.
            self._write_rows(zip(*(column.to_pylist() for column in table.columns)))
            return
        self.stream.write(sink.getvalue())

    def close(self) -> None:
        if self.header is not None:  # a header without rows
            self._write_rows([self.header])

    def _write_rows(self, rows: Any) -> None:
        out = io.StringIO()
        csv.writer(out, delimiter=self.delimiter.decode(), lineterminator="\n").writerows(rows)
        self.stream.write(out.getvalue().encode())
