"""Vector files that GDAL reads (Shapefile, GeoPackage, FlatGeobuf, ...),
through pyogrio where it is installed, as bounded batches of Arrow tables.

Each table holds the layer's fields and its geometry column as WKB, marked
as a GeoArrow WKB column with the layer's reference system (pyogrio's own
marking), which geokern_tools._geoparquet converts as it does a GeoParquet
file's.  Reading only: writing these formats is left to GDAL's own tools.
"""
from __future__ import annotations

from collections.abc import Iterator
from typing import Any

__all__ = ["read_ogr"]


def read_ogr(source: Any, batch_rows: int = 65536, layer: str | int | None = None,
             where: str | None = None) -> Iterator[Any]:
    """Arrow tables of at most `batch_rows` features of a vector file (a path
    or a binary stream), one layer (the first unless `layer` names one).
    ValueError naming `where` (or the source) for a file GDAL cannot read or
    without pyogrio."""
    import pyarrow as pa

    name = where or str(source)
    try:
        from pyogrio.errors import DataLayerError, DataSourceError
        from pyogrio.raw import open_arrow
    except ImportError:
        raise ValueError(f"{name}: reading this format needs pyogrio (pip install "
                         "'geokern[geo]')") from None
    try:
        with open_arrow(source, layer=layer, batch_size=batch_rows, use_pyarrow=True) as (
                meta, reader):
            if not meta.get("geometry_type"):
                raise ValueError(f"{name}: the layer has no geometry")
            for batch in reader:
                yield pa.Table.from_batches([batch])
    except (DataSourceError, DataLayerError) as exc:
        raise ValueError(f"{name}: {exc}") from None
