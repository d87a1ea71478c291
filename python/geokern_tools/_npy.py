""".npy inputs and outputs: two-dimensional numeric arrays, read in row
batches."""
from __future__ import annotations

from collections.abc import Iterator
from typing import IO, Any

import numpy as np

from geokern_tools._coordinate_columns import arrow_column, column_numpy
from geokern_tools._errors import DataError

NPY_MAGIC = b"\x93NUMPY"


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

