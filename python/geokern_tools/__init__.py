"""geokern_tools: the geokern conversions for everyday files and pipelines.

`convert` moves coordinate arrays between WGS-84, ECEF, Web Mercator and the
China datums; the local-frame functions place points given in metres east,
north and up (or a model's own axes) at a place on the globe;
`read_obj`, `write_obj`, `mesh_normals`, `obj_to_glb` and `footprint`
handle building models; the `geokern` command (`geokern_tools.cli`) does
the same jobs on files.
"""

from importlib.metadata import version as _version

from geokern_tools._convert import CRS_NAMES, convert
from geokern_tools._footprint import footprint
from geokern_tools._frames import (ecef_to_local, ecef_to_local_matrix, geodetic_to_local,
                                   local_to_ecef, local_to_ecef_matrix, local_to_geodetic)
from geokern_tools._gltf import Material, write_glb
from geokern_tools._mesh import ShadedMesh, mesh_normals
from geokern_tools._model_files import GlbSummary, obj_to_glb, obj_with_normals
from geokern_tools._mtl import MaterialWarning
from geokern_tools._obj import ObjError, ObjModel, read_obj, read_obj_model, write_obj

__version__: str = _version("geokern")

__all__ = ["CRS_NAMES", "GlbSummary", "Material", "MaterialWarning", "ObjError", "ObjModel",
           "ShadedMesh", "convert", "ecef_to_local", "ecef_to_local_matrix", "footprint",
           "geodetic_to_local", "local_to_ecef", "local_to_ecef_matrix", "local_to_geodetic",
           "mesh_normals", "obj_to_glb", "obj_with_normals", "read_obj", "read_obj_model",
           "write_glb", "write_obj", "__version__"]
