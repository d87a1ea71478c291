"""Parquet inputs and outputs, read and written in row batches."""
from __future__ import annotations

import os
from collections.abc import Iterator
from typing import IO, Any

from geokern_tools._errors import DataError

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
        for batch in self.file.iter_batches(batch_size=self.batch_rows):
            yield pa.Table.from_batches([batch]), row, int(batch.num_rows * self.bytes_per_row)
            row += batch.num_rows


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
