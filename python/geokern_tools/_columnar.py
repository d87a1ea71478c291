"""Parquet and .npy inputs and outputs, read and written in row batches."""
from __future__ import annotations

import os
from collections.abc import Iterator
from typing import IO, Any

import numpy as np

from geokern_tools._columns import arrow_column, column_numpy
from geokern_tools._errors import DataError

NPY_MAGIC = b"\x93NUMPY"
PARQUET_MAGIC = b"PAR1"


class ParquetReader:
    def __init__(self, name: str, source: Any, batch_rows: int, coordinate_columns: Any) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        self.name, self.batch_rows = name, batch_rows
        try:
            self.file = pq.ParquetFile(source)
        except (pa.ArrowInvalid, OSError) as exc:
            raise DataError(f"{name}: not a Parquet file ({exc})") from None
        self.names = list(self.file.schema_arrow.names)
        self.header = True
        # Progress is counted in file bytes: each batch its share of the file.
        size = os.path.getsize(source) if isinstance(source, str) else 0
        self.bytes_per_row = size / max(1, self.file.metadata.num_rows)
        self.picked: list[int] = coordinate_columns(self.names)

    def batches(self) -> Iterator[tuple[Any, int, int]]:
        import pyarrow as pa

        row = 1
        for group in range(self.file.num_row_groups):
            try:  # a broken row group is named with the file
                for batch in self.file.iter_batches(batch_size=self.batch_rows,
                                                    row_groups=[group]):
                    yield (pa.Table.from_batches([batch]), row,
                           int(batch.num_rows * self.bytes_per_row))
                    row += batch.num_rows
            except (pa.ArrowException, OSError) as exc:
                message = " ".join(str(exc).split())  # Arrow's may run over lines
                raise DataError(f"{self.name}: row group {group}: {message}") from None


class ParquetWriter:
    """Writes Parquet; float columns go without dictionary encoding, which
    fresh coordinates never profit from and which costs more than the rest of
    the writing."""

    def __init__(self, stream: IO[bytes], names: list[str]) -> None:
        self.stream, self.names = stream, names
        self.writer: Any = None

    def write(self, table: Any) -> None:
        import pyarrow.parquet as pq

        table = table.rename_columns(self.names)
        if self.writer is None:
            import pyarrow as pa

            encoded = [field.name for field in table.schema
                       if not pa.types.is_floating(field.type)]
            self.writer = pq.ParquetWriter(self.stream, table.schema, use_dictionary=encoded)
        self.writer.write_table(table)

    def close(self) -> None:
        if self.writer is not None:
            self.writer.close()


class NpyReader:
    def __init__(self, name: str, source: Any, batch_rows: int, coordinate_columns: Any) -> None:
        self.name, self.batch_rows = name, batch_rows
        try:
            self.array = np.load(source, mmap_mode="r" if isinstance(source, str) else None,
                                 allow_pickle=False)
        except (ValueError, OSError) as exc:
            raise DataError(f"{name}: not a .npy array ({exc})") from None
        if self.array.ndim != 2 or self.array.dtype.kind not in "fiu":
            raise DataError(f"{name}: needs a two-dimensional numeric array, found "
                            f"{self.array.dtype} {self.array.shape}")
        self.names = [f"field{i + 1}" for i in range(self.array.shape[1])]
        self.header = False
        self.picked: list[int] = coordinate_columns(self.names)

    def batches(self) -> Iterator[tuple[Any, int, int]]:
        import pyarrow as pa

        for start in range(0, len(self.array), self.batch_rows):
            rows = np.asarray(self.array[start:start + self.batch_rows], dtype=np.float64)
            columns = [arrow_column(rows[:, i]) for i in range(rows.shape[1])]
            table = pa.Table.from_arrays(columns, names=self.names)
            yield table, start + 1, rows.nbytes


class NpyWriter:
    """Writes float64 rows to a .npy file whose header is fixed up at the end
    with the final row count (the header is padded to a fixed length)."""

    HEADER = 128

    def __init__(self, stream: IO[bytes], names: list[str]) -> None:
        self.stream, self.names, self.columns, self.rows = stream, names, len(names), 0
        self.seekable = stream.seekable()
        self.held: list[np.ndarray] = []
        if self.seekable:
            self.stream.write(self._header())

    def _header(self) -> bytes:
        text = repr({"descr": "<f8", "fortran_order": False, "shape": (self.rows, self.columns)})
        body = NPY_MAGIC + b"\x01\x00"
        pad = self.HEADER - len(body) - 2 - len(text) - 1
        return body + (self.HEADER - len(body) - 2).to_bytes(2, "little") + \
            text.encode() + b" " * pad + b"\n"

    def write(self, table: Any) -> None:
        import pyarrow as pa

        for column, name in zip(table.columns, self.names):
            if not (pa.types.is_floating(column.type) or pa.types.is_integer(column.type)):
                raise DataError(f"column {name!r} is not numeric ({column.type}); "
                                ".npy output holds numbers only")
        rows = np.column_stack([column_numpy(c) for c in table.columns])
        self.rows += len(rows)
        if self.seekable:
            self.stream.write(np.ascontiguousarray(rows).tobytes())
        else:
            self.held.append(rows)

    def close(self) -> None:
        if self.seekable:
            self.stream.seek(0)
            self.stream.write(self._header())
        else:
            rows = np.concatenate(self.held) if self.held else np.empty((0, self.columns))
            np.save(self.stream, rows)

