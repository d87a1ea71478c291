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

from importlib.metadata import version as _version

from geokern_tools._convert import CRS_NAMES, convert
from geokern_tools._crs import crs_projjson, crs_wkt
from geokern_tools._footprint import footprint
from geokern_tools._obj import read_obj, write_obj
from geokern_tools._tiles import Tileset, tileset_output, write_tileset

__version__: str = _version("geokern")

__all__ = ["CRS_NAMES", "Tileset", "convert", "crs_projjson", "crs_wkt", "footprint",
           "read_obj", "tileset_output", "write_obj", "write_tileset", "__version__"]
