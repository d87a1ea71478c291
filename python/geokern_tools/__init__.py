"""geokern_tools: the geokern conversions for everyday files and pipelines.

`convert` moves coordinate arrays between WGS-84, ECEF, Web Mercator and the
China datums; `read_obj`, `write_obj` and `footprint` handle mesh files; the
`geokern` command (`geokern_tools.cli`) does the same jobs on files.
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself is not imported: see __getattr__
if TYPE_CHECKING:
    from typing import Any

    from geokern_tools._convert import CRS_NAMES, convert
    from geokern_tools._footprint import footprint
    from geokern_tools._obj import read_obj, write_obj

    __version__: str

__all__ = ["CRS_NAMES", "convert", "footprint", "read_obj", "write_obj", "__version__"]

# The names are imported on first use, so that the command starts (and
# takes over Ctrl-C) before numpy, geokern or even typing are loaded.
_HOMES = {"CRS_NAMES": "_convert", "convert": "_convert", "footprint": "_footprint",
          "read_obj": "_obj", "write_obj": "_obj"}


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
