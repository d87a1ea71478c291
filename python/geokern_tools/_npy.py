""".npy inputs and outputs: two-dimensional numeric arrays in row batches.

Outputs are float64 arrays written with `numpy.lib.format`.  On a stream
that can go back (a fresh file) the header is written first and its row
count fixed up at the end; numpy leaves room in the header for the count
to grow, so the header's length does not change.  Elsewhere (a pipe, a
device, a file opened for appending) the rows are kept in an unnamed
temporary file until the count is known, so nothing written before the
output is overwritten and no row is lost.
"""
from __future__ import annotations

import shutil
import tempfile
from collections.abc import Iterator
from typing import IO, Any

import numpy as np
from numpy.lib import format as npy_format

from geokern_tools._coordinate_columns import arrow_column, column_numpy
from geokern_tools._errors import DataError

NPY_MAGIC = b"\x93NUMPY"

#: The largest integer every smaller one of which a float64 holds exactly.
EXACT_INTEGERS = 2 ** 53


class NpyReader:
    """Batches of a .npy array as Arrow tables: float columns as float64,
    integer columns with their own type, so that identifiers pass through
    exactly (the coordinates are converted to float64 anyway)."""

    def __init__(self, name: str, source: Any, batch_rows: int, coordinate_columns: Any) -> None:
        self.name, self.batch_rows = name, batch_rows
        try:
            self.array = np.load(source, mmap_mode="r" if isinstance(source, str) else None,
                                 allow_pickle=False)
        except (ValueError, OSError) as exc:
            raise DataError(f"{name}: not a .npy array ({exc})") from exc
        if self.array.ndim != 2 or self.array.dtype.kind not in "fiu":
            raise DataError(f"{name}: needs a two-dimensional numeric array, found "
                            f"{self.array.dtype} {self.array.shape}")
        self.names = [f"field{i + 1}" for i in range(self.array.shape[1])]
        self.header = False
        self.picked: list[int] = coordinate_columns(self.names)
        self.integers = self.array.dtype.kind in "iu"

    @property
    def schema(self) -> Any:
        import pyarrow as pa

        kind = pa.from_numpy_dtype(self.array.dtype.newbyteorder("="))
        return pa.schema([(name, kind if self.integers else pa.float64())
                          for name in self.names])

    def batches(self) -> Iterator[tuple[Any, int, int]]:
        import pyarrow as pa

        for start in range(0, len(self.array), self.batch_rows):
            block = self.array[start:start + self.batch_rows]
            if self.integers:
                rows = np.ascontiguousarray(block, dtype=block.dtype.newbyteorder("="))
                columns = [pa.array(rows[:, i]) for i in range(rows.shape[1])]
            else:
                rows = np.asarray(block, dtype=np.float64)
                columns = [arrow_column(rows[:, i]) for i in range(rows.shape[1])]
            yield pa.Table.from_arrays(columns, names=self.names), start + 1, rows.nbytes


def _rewindable(stream: Any) -> bool:
    """Whether the writer may go back over what it wrote."""
    rewindable = getattr(stream, "rewindable", None)
    if rewindable is not None:
        return bool(rewindable)
    return bool(stream.seekable())


def check_numbers(table: Any, names: list[str], first_row: int = 1) -> None:
    """Raises DataError unless every column of `table` fits a float64 .npy
    exactly: numbers, integers within ±2**53.  Messages count the table's
    rows from `first_row`."""
    import pyarrow as pa
    import pyarrow.compute as pc

    for column, name in zip(table.columns, names):
        if pa.types.is_floating(column.type):
            continue
        if not pa.types.is_integer(column.type):
            raise DataError(f"column {name!r} is not numeric ({column.type}); "
                            ".npy output holds numbers only")
        if column.type.bit_width < 64:
            continue
        outside = pc.greater(column, EXACT_INTEGERS)
        if pa.types.is_signed_integer(column.type):
            outside = pc.or_(outside, pc.less(column, -EXACT_INTEGERS))
        if pc.any(outside).as_py():
            row = pc.index(outside, True).as_py()
            raise DataError(f"row {first_row + row}: column {name!r} holds {column[row].as_py()}, "
                            "which a float64 .npy cannot hold exactly")


class NpyWriter:
    """Writes float64 rows to a stream as one .npy array."""

    def __init__(self, stream: IO[bytes], names: list[str]) -> None:
        self.stream, self.names, self.columns, self.rows = stream, names, len(names), 0
        self.rewindable = _rewindable(stream)
        self.spool: IO[bytes] | None = None
        if self.rewindable:
            self.start = stream.tell()
            self.header = self._header()
            stream.write(self.header)
        else:
            self.spool = tempfile.TemporaryFile()

    def _header(self) -> bytes:
        import io

        out = io.BytesIO()
        npy_format.write_array_header_1_0(out, {"descr": "<f8", "fortran_order": False,
                                                "shape": (self.rows, self.columns)})
        return out.getvalue()

    def write(self, table: Any) -> None:
        check_numbers(table, self.names)
        rows = np.empty((table.num_rows, self.columns), dtype="<f8")
        for i, column in enumerate(table.columns):
            rows[:, i] = column_numpy(column)
        self.rows += len(rows)
        if len(rows):
            (self.spool or self.stream).write(memoryview(rows).cast("B"))

    def close(self) -> None:
        header = self._header()
        if self.spool is None:
            if len(header) != len(self.header):  # more rows than numpy's header can count
                raise DataError(f"{self.rows} rows do not fit the .npy header")
            end = self.stream.tell()
            self.stream.seek(self.start)
            self.stream.write(header)
            self.stream.seek(end)
            return
        self.stream.write(header)
        self.spool.seek(0)
        shutil.copyfileobj(self.spool, self.stream, 1 << 20)
        self.spool.close()
