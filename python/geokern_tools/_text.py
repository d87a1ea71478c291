"""Delimited text: CSV, tab-, semicolon- or blank-separated coordinates.

The input is read in blocks of whole records (about `batch_bytes` each; a
quoted field may span lines and blocks), scanned for their fields with numpy
(`_delimited`), so memory stays flat for any input size.  A record may be at
most `MAX_LINE_BYTES` long and have at most `MAX_FIELDS` fields.

Into text of the same delimiter, only the coordinates are parsed: the
converted numbers are written in place of the old ones and every other byte
of the line (other fields, quotes, blanks, line ends) passes through as it
was read.  Into other kinds, Arrow's CSV reader gives the columns' values.
Numbers are written in their shortest round-trip form by Arrow's float
formatting.
"""
from __future__ import annotations

import os
import re
from collections import deque
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import IO, Any

import numpy as np

from geokern_tools._delimited import (WHITESPACE, Layout, NumberError, Records, ScanError,
                                      binary_values, format_numbers, parse_numbers, repeated,
                                      sniff)
from geokern_tools._errors import DataError

__all__ = ["NUMBER", "WHITESPACE", "TextReader", "TextWriter"]

#: The longest record (a line, or lines joined by a quoted field) and the
#: most fields one may have; the environment variables lower or raise them.
MAX_LINE_BYTES = int(os.environ.get("GEOKERN_MAX_LINE_BYTES", 16 << 20))
MAX_FIELDS = int(os.environ.get("GEOKERN_MAX_FIELDS", 10_000))

NUMBER = re.compile(rb"\s*[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|nan|inf|infinity)\s*",
                    re.IGNORECASE)
_BLANK_LINES = re.compile(rb"(?:[ \t\f\v]*(?:\r\n|\n|\r))*")
_BLANKS = re.compile(rb"[ \t]+")
_EDGE_BLANKS = re.compile(rb"(?:^|(?<=[\r\n])) | (?=[\r\n]|$)")
_BOM = b"\xef\xbb\xbf"


def _keep_freed_memory() -> None:
    """Asks the C library to keep freed memory for reuse: every block
    allocates and frees buffers of about its size, which would otherwise be
    handed back to the system and faulted in afresh for the next block (page
    faults cost more than the scanning).  Peak memory stays what it was."""
    import ctypes

    try:
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # not the GNU C library
        return
    mallopt(-1, 256 << 20)  # M_TRIM_THRESHOLD
    mallopt(-2, 64 << 20)   # M_TOP_PAD
    mallopt(-3, 64 << 20)   # M_MMAP_THRESHOLD


def _decode(value: bytes) -> str:
    """Text of a header field; bytes that are not UTF-8 are kept as
    surrogates, so that the name is written back as the same bytes."""
    return value.decode("utf-8", "surrogateescape").strip()


class TextReader:
    """Blocks of a text input as Arrow tables: coordinates float64, the other
    columns as strings (binary for text output), or placeholders when the
    output is text of the same delimiter (`write_to`)."""

    def __init__(self, name: str, stream: Any, batch_bytes: int,
                 coordinate_columns: Any) -> None:
        _keep_freed_memory()
        self.name, self.stream = name, stream
        self.batch_bytes = max(1, batch_bytes)
        self.pending = b""
        self.eof = False
        self.line = 1  # the line number of the first pending byte
        self.layouts: deque[Layout] | None = None  # a splicing writer's queue
        self.binary_text = False
        self.bom = self._skip_to_first_record()
        end = self._first_line_end()
        self.dialect = sniff(self.pending[:end + 2])
        self.delimiter = self.dialect.delimiter
        self.names: list[str] = []
        self.header = False
        self.picked: list[int] = []
        self.header_record: tuple[bytes, Layout] | None = None
        records = self._records()
        if records is None:  # an empty input converts to an empty output
            return
        self.fields = int(records.counts()[0])
        if self.fields > MAX_FIELDS:
            raise DataError(f"{name}:{self.line + records.line(0)}: {self.fields} fields, "
                            f"more than the {MAX_FIELDS} a line may have (GEOKERN_MAX_FIELDS)")
        values = records.fields(0)
        self.header = not any(NUMBER.fullmatch(v) for v in values)
        self.names = ([_decode(v) for v in values] if self.header
                      else [f"field{i + 1}" for i in range(self.fields)])
        self.picked = coordinate_columns(self.names)
        if self.header:
            stop = int(records.stops[0])
            raw = records.block[:stop]
            header = Records(raw, self.dialect, True)
            starts, ends = header.spans(sorted(self.picked), self.fields)
            self.header_record = (raw, Layout(raw, header.starts, header.stops, starts, ends))
            self._consume(records.block, stop)

    # -- reading -------------------------------------------------------------

    def _fill(self, size: int) -> bool:
        """Reads until `size` bytes are pending or the input ends; False when
        nothing more came."""
        parts = [self.pending]
        have = len(self.pending)
        while have < size and not self.eof:
            data = self.stream.read(size - have)
            if not data:
                self.eof = True
                break
            parts.append(data)
            have += len(data)
        if len(parts) == 1:
            return False
        self.pending = b"".join(parts)
        return True

    def _skip_to_first_record(self) -> bool:
        """Drops a byte-order mark and the blank lines before the first
        record; True when there was a mark."""
        self._fill(3)
        bom = self.pending.startswith(_BOM)
        if bom:
            self.pending = self.pending[3:]
        while True:
            self._fill(self.batch_bytes)
            blank = _BLANK_LINES.match(self.pending)
            size = blank.end() if blank else 0
            if size < len(self.pending) or self.eof:
                self._drop_lines(size)
                return bom
            self._drop_lines(size)

    def _drop_lines(self, size: int) -> None:
        dropped = self.pending[:size]
        self.line += dropped.count(b"\n") + len(re.findall(rb"\r(?!\n)", dropped))
        self.pending = self.pending[size:]

    def _first_line_end(self) -> int:
        """The end of the first line, reading on until it is pending."""
        while True:
            ends = [i for i in (self.pending.find(b"\n"), self.pending.find(b"\r")) if i >= 0]
            if ends or self.eof:
                end = min(ends) if ends else len(self.pending)
                self._fill(end + 2)  # a CR's next byte tells CR LF from a bare CR
                return end
            self._check_length()
            self._fill(len(self.pending) + self.batch_bytes)

    def _check_length(self) -> None:
        if len(self.pending) > MAX_LINE_BYTES:
            raise DataError(f"{self.name}:{self.line}: a line longer than {MAX_LINE_BYTES} bytes "
                            "(GEOKERN_MAX_LINE_BYTES)")

    def _records(self) -> Records | None:
        """The whole records of the next block (None at the end)."""
        self._fill(self.batch_bytes)
        while True:
            block = self.pending
            try:
                records = Records(block, self.dialect, self.eof)
            except ScanError as exc:
                line = self.line + block.count(bytes([self.dialect.end]), 0, exc.offset)
                raise DataError(f"{self.name}:{line}: {exc}") from None
            if records.size or self.eof:
                if not records.size:
                    return None
                if len(records):
                    return records
                self._consume(block, records.size)  # blank lines only
                self._fill(self.batch_bytes)
                continue
            # No record ends in what is pending: read on, but only scan again
            # once a line end has come.
            while True:
                self._check_length()
                before = len(self.pending)
                if not self._fill(before + self.batch_bytes):
                    break
                if self.pending.find(bytes([self.dialect.end]), before) >= 0:
                    break

    def _consume(self, block: bytes, size: int) -> None:
        self.line += block.count(bytes([self.dialect.end]), 0, size)
        self.pending = self.pending[size:]

    # -- batches ---------------------------------------------------------------

    def write_to(self, writer: Any) -> None:
        """Tells the reader where its rows go: into text of the same
        delimiter they are spliced (the writer takes each block's layout
        from the reader), elsewhere they are parsed whole."""
        self.layouts = None
        self.binary_text = isinstance(writer, TextWriter)
        if self.binary_text and writer.delimiter == self.delimiter:
            self.layouts = writer.layouts
            if writer.header is not None and self.header_record is not None:
                raw, layout = self.header_record
                columns = sorted(self.picked)
                new = [writer.names[i] for i in columns]
                if len(writer.names) > self.fields:  # a height column added after them
                    new.append(writer.names[columns[-1] + 1])
                texts = [None if k < len(columns) and name == self.names[columns[k]]
                         else _encode(name) for k, name in enumerate(new)]
                writer.header = (_BOM if self.bom else b"") + _splice_header(
                    raw, layout, texts, writer.delimiter)
        elif not self.binary_text:
            for name in self.names:
                if _encode(name) != name.encode("utf-8", "replace"):
                    raise DataError(f"{self.name}: the column name {_encode(name)!r} is not "
                                    "UTF-8 text, which Parquet and .npy outputs need")

    def batches(self) -> Iterator[tuple[Any, int, int]]:
        """(table, number of its first line, bytes read) for each block."""
        if not self.names:
            return
        while (records := self._records()) is not None:
            first = self.line + records.line(0)
            self._check(records)
            if self.layouts is not None:
                table = self._spliced(records)
            else:
                table = self._parsed(records)
            yield table, first, records.size
            self.line += records.line_ends
            self.pending = self.pending[records.size:]

    def _where(self, records: Records, record: int) -> str:
        return f"{self.name}:{self.line + records.line(record)}"

    def _check(self, records: Records) -> None:
        nul = records.block.find(b"\0", 0, records.size)
        if nul >= 0:
            line = self.line + records.block.count(bytes([self.dialect.end]), 0, nul)
            raise DataError(f"{self.name}:{line}: a NUL byte: binary data, not text")
        longest = int(np.argmax(records.stops - records.starts))
        if records.stops[longest] - records.starts[longest] > MAX_LINE_BYTES:
            raise DataError(f"{self._where(records, longest)}: a line longer than "
                            f"{MAX_LINE_BYTES} bytes (GEOKERN_MAX_LINE_BYTES)")
        if records.uniform(self.fields):
            return
        counts = records.counts()
        bad = np.flatnonzero(counts != self.fields)
        if len(bad):
            record = int(bad[0])
            raise DataError(f"{self._where(records, record)}: expected {self.fields} fields, "
                            f"found {int(counts[record])}")

    def _numbers(self, records: Records, a: np.ndarray, starts: np.ndarray, ends: np.ndarray,
                 columns: list[int], quoted: bool) -> np.ndarray:
        try:
            return parse_numbers(a, starts, ends, quoted).reshape(starts.shape)
        except NumberError as exc:
            record, k = divmod(exc.index, starts.shape[1])
            text = bytes(a[starts.flat[exc.index]:ends.flat[exc.index]]).decode(
                "utf-8", "replace")
            index = columns[k]
            column = f"column {self.names[index]!r}" if self.header else f"field {index + 1}"
            raise DataError(f"{self._where(records, record)}: {column} is not a number: "
                            f"{text!r}") from None

    def _spliced(self, records: Records) -> Any:
        """Coordinates only, other columns as placeholders; the layout goes to
        the writer, which puts the converted numbers into the lines."""
        import pyarrow as pa

        columns = sorted(self.picked)
        starts, ends = records.spans(columns, self.fields)
        numbers = self._numbers(records, records.a, starts, ends, columns, self.dialect.quoted)
        assert self.layouts is not None
        # In CSV, neighbouring columns lie one delimiter apart.
        adjacent = (columns[-1] - columns[0] == len(columns) - 1) if self.dialect.quoted else None
        self.layouts.append(Layout(records.block, records.starts, records.stops, starts, ends,
                                   adjacent))
        arrays: list[Any] = [pa.nulls(len(records))] * self.fields
        for k, index in enumerate(columns):
            arrays[index] = _float_array(numbers[:, k])
        return pa.Table.from_arrays(arrays, names=[f"c{i}" for i in range(self.fields)])

    def _parsed(self, records: Records) -> Any:
        """Every column by Arrow's CSV reader; coordinates parsed as in
        `_spliced`."""
        import pyarrow as pa
        import pyarrow.csv as pcsv

        block = records.block[:records.size]
        delimiter = self.dialect.delimiter
        quote = '"' if self.dialect.quoted else False
        if not self.dialect.quoted and (b"\t" in block or b"  " in block or block[:1] == b" "
                                        or b"\n " in block or b" \n" in block
                                        or b" \r" in block or b"\r " in block):
            block = _EDGE_BLANKS.sub(b"", _BLANKS.sub(b" ", block))
        names = [f"c{i}" for i in range(self.fields)]
        text = pa.binary() if self.binary_text else pa.string()
        types = {name: text for name in names}
        for index in self.picked:
            types[names[index]] = pa.binary()
        try:
            table = pcsv.read_csv(
                pa.py_buffer(block),
                read_options=pcsv.ReadOptions(column_names=names,
                                              block_size=max(1 << 22, len(block) + 1)),
                parse_options=pcsv.ParseOptions(delimiter=delimiter.decode(), quote_char=quote,
                                                newlines_in_values=True),
                convert_options=pcsv.ConvertOptions(column_types=types, null_values=[],
                                                    strings_can_be_null=False,
                                                    quoted_strings_can_be_null=False))
        except pa.ArrowInvalid as exc:
            raise DataError(self._locate(records, str(exc))) from None
        if table.num_rows != len(records):
            raise DataError(f"{self._where(records, 0)}: {table.num_rows} rows read where "
                            f"{len(records)} lines were found")
        columns = list(table.columns)
        for index in self.picked:
            values = columns[index].combine_chunks()
            data = np.frombuffer(values.buffers()[2] or b"", dtype=np.uint8)
            offsets = np.frombuffer(values.buffers()[1], dtype=np.int32, count=len(values) + 1,
                                    offset=values.offset * 4).astype(np.int64)
            numbers = self._numbers(records, data, offsets[:-1, None], offsets[1:, None],
                                    [index], False)
            columns[index] = _float_array(numbers[:, 0])
        return pa.Table.from_arrays(columns, names=names)

    def _locate(self, records: Records, arrow_message: str) -> str:
        """The first line of a block that Arrow refused, as a message."""
        for record in range(len(records)):
            for index, value in enumerate(records.fields(record)):
                try:
                    value.decode("utf-8")
                except UnicodeDecodeError:
                    column = (f"column {self.names[index]!r}" if self.header
                              else f"field {index + 1}")
                    return (f"{self._where(records, record)}: {column} is not UTF-8 text "
                            f"({value!r}), which Parquet and .npy outputs need")
        return f"{self._where(records, 0)}: {arrow_message}"


def _float_array(values: np.ndarray) -> Any:
    import pyarrow as pa

    data = np.ascontiguousarray(values, dtype=np.float64)
    return pa.Array.from_buffers(pa.float64(), len(data), [None, pa.py_buffer(data)])


def _encode(name: str) -> bytes:
    return name.encode("utf-8", "surrogateescape")


def _splice_header(raw: bytes, layout: Layout, texts: list[bytes | None],
                   separator: bytes) -> bytes:
    """The header line with renamed coordinate fields (None: kept as read)."""
    new = [t if t is not None else raw[int(layout.starts[0, k]):int(layout.ends[0, k])]
           for k, t in enumerate(texts)]
    line: bytes = layout.splice(binary_values(new), len(new), separator).to_pybytes()
    return line


# ---------------------------------------------------------------------------
# Writing


_pool: ThreadPoolExecutor | None = None


def _as_text(column: Any) -> Any:
    """A float column as Arrow text, cut into pieces formatted on all cores
    (Arrow's cast releases the interpreter lock)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    global _pool
    if len(column) < 65536:
        return pc.cast(column, pa.string())
    threads = os.cpu_count() or 1
    if _pool is None:
        _pool = ThreadPoolExecutor(threads)
    step = -(-len(column) // (2 * threads))
    pieces = [column.slice(start, step) for start in range(0, len(column), step)]
    return pa.concat_arrays(list(_pool.map(lambda piece: pc.cast(piece, pa.string()), pieces)))


def _binary_text(column: Any) -> Any:
    """Any column as Arrow binary text, nulls as empty fields."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    if pa.types.is_floating(column.type):
        column = _as_text(column)
    elif not (pa.types.is_string(column.type) or pa.types.is_binary(column.type)):
        try:
            column = pc.cast(column, pa.string())
        except (pa.ArrowNotImplementedError, pa.ArrowInvalid) as exc:
            raise DataError(f"cannot write a column as text: {exc}") from None
    if pa.types.is_string(column.type):
        column = column.view(pa.binary())
    if column.null_count:
        column = pc.coalesce(column, repeated(b"", len(column)))
    return column


class TextWriter:
    """Writes tables as delimited text, the header first when one is given.
    A table whose layout a text reader has queued in `layouts` is spliced into
    its own lines; others are written field by field, a field quoted only
    when it holds the delimiter, a quote or a line break."""

    def __init__(self, stream: IO[bytes], delimiter: bytes, header: list[str] | None) -> None:
        self.stream = stream
        self.delimiter = b" " if delimiter == WHITESPACE else delimiter
        self.names = list(header or [])
        self.header = None if header is None else self._line(
            [_encode(name) for name in header], "the header")
        self.layouts: deque[Layout] = deque()
        self.rows = 0

    def _quoted(self, column: Any, where: str) -> Any:
        """The column with values quoted where the delimiter needs it."""
        import pyarrow.compute as pc

        if self.delimiter == WHITESPACE:
            bad = pc.match_substring_regex(column, r"[ \t\r\n]|^$")
            if bad.true_count:
                row = pc.indices_nonzero(bad)[0].as_py()
                raise DataError(f"{where.format(row=self.rows + row + 1)}: a value that is "
                                "empty or holds a blank cannot be written blank-separated "
                                "(write CSV instead)")
            return column
        pattern = "[" + re.escape(self.delimiter.decode()) + "\"\r\n]"
        needs = pc.match_substring_regex(column, pattern)
        if not needs.true_count:
            return column
        quote, nothing = repeated(b'"', len(column)), repeated(b"", len(column))
        quoted = pc.binary_join_element_wise(
            quote, pc.replace_substring(column, b'"', b'""'), quote, nothing)
        return pc.if_else(needs, quoted, column)

    def _line(self, fields: list[bytes], where: str) -> bytes:
        quoted = [self._quoted(binary_values([f]), where)[0].as_py() for f in fields]
        return self.delimiter.join(quoted) + b"\n"

    def _write_header(self) -> None:
        if self.header is not None:
            self.stream.write(self.header)
            self.header = None

    def write(self, table: Any) -> None:
        import pyarrow as pa
        import pyarrow.compute as pc

        self._write_header()
        if self.layouts:
            layout = self.layouts.popleft()
            assert layout.rows == table.num_rows
            numbers = [_column_numpy(c) for c in table.columns if pa.types.is_floating(c.type)]
            texts = format_numbers(np.column_stack(numbers)) if numbers else None
            self.stream.write(layout.splice(texts, len(numbers), self.delimiter))
        elif table.num_rows:
            columns = [self._quoted(_binary_text(column), f"row {{row}}, field {i + 1}")
                       for i, column in enumerate(table.columns)]
            rows = table.num_rows
            columns[-1] = pc.binary_join_element_wise(columns[-1], repeated(b"\n", rows),
                                                      repeated(b"", rows))
            lines = pc.binary_join_element_wise(*columns, repeated(self.delimiter, rows))
            self.stream.write(_data(lines))
        self.rows += table.num_rows

    def close(self) -> None:
        self._write_header()  # a header without rows


def _column_numpy(column: Any) -> np.ndarray:
    import pyarrow as pa

    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    return np.frombuffer(column.buffers()[1], dtype=np.float64, count=len(column),
                         offset=column.offset * 8)


def _data(lines: Any) -> Any:
    """The bytes of a binary array's values, one after another."""
    offsets = np.frombuffer(lines.buffers()[1], dtype=np.int32, count=len(lines) + 1,
                            offset=lines.offset * 4)
    return lines.buffers()[2].slice(int(offsets[0]), int(offsets[-1] - offsets[0]))
