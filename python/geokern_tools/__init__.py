"""geokern_tools: the geokern conversions for everyday files and pipelines.

`convert` moves coordinate arrays, shapely geometries, GeoSeries and
GeoDataFrames between WGS-84, ECEF, Web Mercator and the China datums;
`crs_projjson` and `crs_wkt` give the definitions of those reference systems
(GCJ-02 and BD-09 included); the local-frame functions place points given in
metres east, north and up (or a model's own axes) at a place on the globe;
`read_obj`, `write_obj`, `mesh_normals`, `obj_to_glb` and `footprint` handle
building models; `write_tileset` and `tileset_output` place GLB models on
the globe as a 3D Tiles tileset; the `geokern` command (`geokern_tools.cli`)
does the same jobs on files.  Neither shapely nor GeoPandas is imported
until geometries come in.
"""

from __future__ import annotations

TYPE_CHECKING = False  # typing itself is not imported: see __getattr__
if TYPE_CHECKING:
    from typing import Any

    from geokern_tools._convert import CRS_NAMES, convert
    from geokern_tools._crs import crs_projjson, crs_wkt
    from geokern_tools._footprint import footprint
    from geokern_tools._frames import (ecef_to_local, ecef_to_local_matrix, geodetic_to_local,
                                       local_to_ecef, local_to_ecef_matrix, local_to_geodetic)
    from geokern_tools._gltf import Material, write_glb
    from geokern_tools._mesh import ShadedMesh, mesh_normals
    from geokern_tools._model_files import GlbSummary, obj_to_glb, obj_with_normals
    from geokern_tools._mtl import MaterialWarning
    from geokern_tools._obj import ObjError, ObjModel, read_obj, read_obj_model, write_obj
    from geokern_tools._tiles import Tileset, tileset_output, write_tileset

    __version__: str

# The names are imported on first use, so that the command starts (and
# takes over Ctrl-C) before numpy, geokern or even typing are loaded.
_HOMES = {
    "CRS_NAMES": "_convert", "convert": "_convert",
    "crs_projjson": "_crs", "crs_wkt": "_crs",
    "footprint": "_footprint",
    "ecef_to_local": "_frames", "ecef_to_local_matrix": "_frames",
    "geodetic_to_local": "_frames", "local_to_ecef": "_frames",
    "local_to_ecef_matrix": "_frames", "local_to_geodetic": "_frames",
    "Material": "_gltf", "write_glb": "_gltf",
    "ShadedMesh": "_mesh", "mesh_normals": "_mesh",
    "GlbSummary": "_model_files", "obj_to_glb": "_model_files",
    "obj_with_normals": "_model_files",
    "MaterialWarning": "_mtl",
    "ObjError": "_obj", "ObjModel": "_obj", "read_obj": "_obj", "read_obj_model": "_obj",
    "write_obj": "_obj",
    "Tileset": "_tiles", "tileset_output": "_tiles", "write_tileset": "_tiles",
}

__all__ = ["CRS_NAMES", "GlbSummary", "Material", "MaterialWarning", "ObjError", "ObjModel",
           "ShadedMesh", "Tileset", "convert", "crs_projjson", "crs_wkt", "ecef_to_local",
           "ecef_to_local_matrix", "footprint", "geodetic_to_local", "local_to_ecef",
           "local_to_ecef_matrix", "local_to_geodetic", "mesh_normals", "obj_to_glb",
           "obj_with_normals", "read_obj", "read_obj_model", "tileset_output", "write_glb",
           "write_obj", "write_tileset", "__version__"]


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
