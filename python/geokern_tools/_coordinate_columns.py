"""Which columns of a table hold the coordinates, and their conversion.

Every file kind reaches the conversion as Arrow tables whose coordinate
columns are float64; the other columns pass through untouched.  Without
`--columns`, a header naming a known triple or pair (lon/lat/h, x/y/z, ...)
picks the coordinates, and otherwise the first three columns (two when there
are only two) are taken.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from geokern_tools._convert import convert
from geokern_tools._crs import AXES
from geokern_tools._errors import DataError, UsageError

_KNOWN = [
    ("lon", "lat", "h"), ("lon", "lat", "height"), ("lon", "lat", "alt"), ("lon", "lat", "z"),
    ("longitude", "latitude", "height"), ("longitude", "latitude", "altitude"),
    ("lng", "lat", "h"), ("x", "y", "z"), ("x", "y", "h"),
    ("lon", "lat"), ("longitude", "latitude"), ("lng", "lat"), ("x", "y"),
]


def parse_columns(spec: str | None) -> list[str] | None:
    """The names or 1-based numbers of `--columns a,b[,c]`."""
    if spec is None:
        return None
    names = [name.strip() for name in spec.split(",")]
    if len(names) not in (2, 3) or not all(names):
        raise UsageError("--columns takes two or three comma-separated names or numbers")
    for k, name in enumerate(names):
        if name in names[:k]:
            raise UsageError(f"--columns names the column {name!r} twice")
    return names


def pick_columns(names: Sequence[str], wanted: list[str] | None, where: str) -> list[int]:
    """Indices of the coordinate columns among `names`."""
    if wanted is None:
        lower = [name.strip().lower() for name in names]
        for triple in _KNOWN:
            if all(axis in lower for axis in triple):
                return [lower.index(axis) for axis in triple]
        if len(names) < 2:
            raise DataError(f"{where}: needs at least two columns, found {len(names)}")
        return list(range(min(3, len(names))))
    picked = []
    for name in wanted:
        if name in names:
            picked.append(list(names).index(name))
        elif name.isdigit() and 1 <= int(name) <= len(names):
            picked.append(int(name) - 1)
        else:
            raise DataError(f"{where}: no column {name!r} (columns: {', '.join(names)})")
        if picked[-1] in picked[:-1]:
            raise UsageError(f"--columns names the column {names[picked[-1]]!r} twice "
                             f"(as {wanted[picked.index(picked[-1])]!r} and {name!r})")
    return picked


def output_names(names: Sequence[str], picked: list[int], src: str, dst: str,
                 header: bool) -> list[str]:
    """Column names after conversion: the coordinates renamed after the
    destination's axes unless both systems share them, and a third column
    added after the coordinates when the destination is ECEF."""
    out = list(names)
    count = 3 if dst == "ecef" else len(picked)
    axes = AXES[dst]
    keep = header and AXES[src] == axes
    for k, index in enumerate(picked):
        out[index] = names[index] if keep else axes[k]
    if picked and count > len(picked):
        out.insert(max(picked) + 1, axes[2])
    return out


def convert_table(table: Any, picked: list[int], names: list[str], src: str, dst: str,
                  where: str, first_row: int, china_inverse: str = "iterative") -> Any:
    """The table with its coordinate columns converted (a new Arrow table)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    columns = []
    for index in picked:
        column = table.column(index)
        if column.null_count:
            row = first_row + pc.index(pc.is_null(column), True).as_py()
            raise DataError(f"{where}: row {row}: missing value in column {names[index]!r}")
        if not pa.types.is_floating(column.type) and not pa.types.is_integer(column.type):
            raise DataError(f"{where}: column {names[index]!r} is not numeric ({column.type})")
        columns.append(column_numpy(column))
    points = np.column_stack(columns) if columns else np.empty((0, len(picked)))
    result = convert(points, src, dst, china_inverse=china_inverse)
    out = list(table.columns)
    for k, index in enumerate(picked):
        out[index] = arrow_column(result[:, k])
    if result.shape[1] > len(picked):
        out.insert(max(picked) + 1, arrow_column(result[:, -1]))
    return pa.Table.from_arrays(out, names=[f"c{i}" for i in range(len(out))])


# Arrow's own conversions from and to numpy import pandas, which costs more
# than the rest of a small conversion; these two go through the buffers.

def arrow_column(values: np.ndarray) -> Any:
    """A float64 Arrow array holding a copy of `values`."""
    import pyarrow as pa

    data = np.ascontiguousarray(values, dtype=np.float64)
    return pa.Array.from_buffers(pa.float64(), len(data), [None, pa.py_buffer(data)])


def column_numpy(column: Any) -> np.ndarray:
    """A column without nulls as float64 numpy, read from its buffer."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    if column.type != pa.float64():
        column = pc.cast(column, pa.float64())
    return np.frombuffer(column.buffers()[1], dtype=np.float64, count=len(column),
                         offset=column.offset * 8)
