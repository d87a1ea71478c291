"""geokern_tools: the geokern conversions for everyday files and pipelines.

`convert` moves coordinate arrays between WGS-84, ECEF, Web Mercator and the
China datums; `read_obj`, `write_obj` and `footprint` handle mesh files;
`write_tileset` and `tileset_output` place GLB models on the globe as a 3D
Tiles tileset; the `geokern` command (`geokern_tools.cli`) does the same jobs
on files.
"""

from importlib.metadata import version as _version

from geokern_tools._convert import CRS_NAMES, convert
from geokern_tools._footprint import footprint
from geokern_tools._obj import read_obj, write_obj
from geokern_tools._tiles import Tileset, tileset_output, write_tileset

__version__: str = _version("geokern")

__all__ = ["CRS_NAMES", "Tileset", "convert", "footprint", "read_obj", "tileset_output",
           "write_obj", "write_tileset", "__version__"]
