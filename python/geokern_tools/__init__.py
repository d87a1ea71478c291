"""geokern_tools: the geokern conversions for everyday files and pipelines.

`convert` moves coordinate arrays, shapely geometries, GeoSeries and
GeoDataFrames between WGS-84, ECEF, Web Mercator and the China datums;
`crs_projjson` and `crs_wkt` give the definitions of those reference systems
(GCJ-02 and BD-09 included); `read_obj`, `write_obj` and `footprint` handle
mesh files; `write_tileset` and `tileset_output` place GLB models on the
globe as a 3D Tiles tileset; the `geokern` command (`geokern_tools.cli`) does
the same jobs on files.  Neither shapely nor GeoPandas is imported until
geometries come in.
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself is not imported: see __getattr__
if TYPE_CHECKING:
    from typing import Any

    from geokern_tools._convert import CRS_NAMES, convert
    from geokern_tools._crs import crs_projjson, crs_wkt
    from geokern_tools._footprint import footprint
    from geokern_tools._obj import read_obj, write_obj
    from geokern_tools._tiles import Tileset, tileset_output, write_tileset

    __version__: str

__all__ = ["CRS_NAMES", "Tileset", "convert", "crs_projjson", "crs_wkt", "footprint",
           "read_obj", "tileset_output", "write_obj", "write_tileset", "__version__"]

# The names are imported on first use, so that the command starts (and
# takes over Ctrl-C) before numpy, geokern or even typing are loaded.
_HOMES = {"CRS_NAMES": "_convert", "convert": "_convert", "crs_projjson": "_crs",
          "crs_wkt": "_crs", "footprint": "_footprint", "read_obj": "_obj",
          "write_obj": "_obj", "Tileset": "_tiles", "tileset_output": "_tiles",
          "write_tileset": "_tiles"}


def __getattr__(name: str) -> Any:
    import importlib

    if name == "__version__":
        from importlib.metadata import version

        value: Any = version("geokern")
    elif name in _HOMES:
        value = getattr(importlib.import_module(f"geokern_tools.{_HOMES[name]}"), name)
    else:
        raise AttributeError(f"module 'geokern_tools' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
