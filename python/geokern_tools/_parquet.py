"""Parquet inputs and outputs, read and written in row batches.

`ParquetWriter` is the one Parquet writer of the command and of
`geokern_tools.dask`: float columns go without dictionary encoding, which
fresh coordinates never profit from and which costs more than the rest of
the writing; every batch must have the columns and types of the first; a
file without rows still gets the schema.
"""
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
        except (pa.ArrowException, OSError) as exc:
            raise DataError(f"{name}: not a Parquet file ({exc})") from exc
        self.schema = self.file.schema_arrow
        self.names = list(self.schema.names)
        self.header = True
        # Progress is counted in file bytes: each batch its share of the file.
        size = os.path.getsize(source) if isinstance(source, str) else 0
        self.bytes_per_row = size / max(1, self.file.metadata.num_rows)
        self.picked: list[int] = coordinate_columns(self.names)

    def batches(self) -> Iterator[tuple[Any, int, int]]:
        """(table, number of its first row, file bytes) for each batch; a
        row group that cannot be read stops with its number named."""
        import pyarrow as pa

        row = 1
        for group in range(self.file.num_row_groups):
            batches = self.file.iter_batches(batch_size=self.batch_rows, row_groups=[group])
            while True:
                try:
                    batch = next(batches, None)
                except (pa.ArrowException, OSError) as exc:
                    message = " ".join(str(exc).split())  # Arrow's may run over lines
                    raise DataError(f"{self.name}: row group {group}: cannot read it "
                                    f"({message})") from None
                if batch is None:
                    break
                yield pa.Table.from_batches([batch]), row, int(batch.num_rows * self.bytes_per_row)
                row += batch.num_rows


def schema_mismatch(schema: Any, first: Any) -> str:
    """What differs between `schema` and the `first` input's schema."""
    import pyarrow as pa

    # By place when the names agree, else by name (get_field_index is -1
    # for a name that is missing or not unique).
    pairs = (zip(schema, first) if schema.names == first.names else
             ((field, first.field(field.name)) for field in schema
              if first.get_field_index(field.name) >= 0))
    for field, before in pairs:
        if field.type != before.type and not (pa.types.is_null(field.type)
                                              or pa.types.is_null(before.type)):
            return (f"column {field.name!r} holds {field.type} where the first input "
                    f"holds {before.type}")
    return f"columns {schema.names} differ from the first input's {first.names}"


class ParquetWriter:
    """Writes tables to a binary stream as one Parquet file."""

    def __init__(self, stream: IO[bytes], names: list[str]) -> None:
        self.stream, self.names = stream, names
        self.writer: Any = None
        self.schema: Any = None

    def write(self, table: Any) -> None:
        import pyarrow as pa
        import pyarrow.parquet as pq

        table = table.rename_columns(self.names)
        if self.writer is None:
            self.schema = table.schema
            encoded = [field.name for field in table.schema
                       if not pa.types.is_floating(field.type)]
            self.writer = pq.ParquetWriter(self.stream, table.schema, use_dictionary=encoded)
        elif not table.schema.equals(self.schema, check_metadata=False):
            # Only a column without any value (of type null) takes the type
            # the first batch gave it.
            if any(field.type != before.type and not pa.types.is_null(field.type)
                   for field, before in zip(table.schema, self.schema)):
                raise DataError(schema_mismatch(table.schema, self.schema))
            table = table.cast(self.schema)
        self.writer.write_table(table)

    def close(self) -> None:
        """Completes the file; write a table without rows first to give a
        file without rows its schema."""
        if self.writer is not None:
            self.writer.close()
