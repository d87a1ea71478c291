"""geokern_tools: the geokern conversions for everyday files and pipelines.

`convert` moves coordinate arrays between WGS-84, ECEF, Web Mercator and the
China datums; `read_obj`, `write_obj` and `footprint` handle mesh files; the
`geokern` command (`geokern_tools.cli`) does the same jobs on files.
"""

from importlib.metadata import version as _version

from geokern_tools._convert import CRS_NAMES, convert
from geokern_tools._footprint import footprint
from geokern_tools._obj import read_obj, write_obj

__version__: str = _version("geokern")

__all__ = ["CRS_NAMES", "convert", "footprint", "read_obj", "write_obj", "__version__"]
