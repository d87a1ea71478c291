"""Typed use of geokern and geokern_tools; mypy must accept it."""
from typing import Any

import numpy as np
import numpy.typing as npt
import pyproj

import geokern
import geokern_tools
from geokern_tools import convert, crs_projjson, crs_wkt

rows: npt.NDArray[np.float64] = np.array([[116.4, 39.9, 44.0]])
ecef: npt.NDArray[np.float64] = geokern.geodetic2ecef_fast_array(rows)
back: npt.NDArray[np.float64] = geokern.ecef2geodetic_nparray_cy(ecef, np.eye(3), True)
inside: bool = not geokern.out_of_china_cpp(116.4, 39.9)
lon, lat = geokern.wgs84_to_gcj02_cy(116.4, 39.9)
h: float = geokern.ecef2geodetic_cy(6378137.0, 0, 0)[2]
wkt: str = geokern.generate_obb_2d_from_points(np.zeros((4, 2)))
maybe: str | None = geokern.generate_obb_2d_from_obj_file("building.obj")
pos = np.zeros((3, 3), np.float32)
idx = np.arange(3, dtype=np.uint32)
normals: npt.NDArray[np.float32] = geokern.calculate_smooth_normals_cy(pos, idx, 3)
new_pos, new_normals, new_indices, src = geokern.expand_crease_normals_mesh_cy(pos, idx, 45)
version: str = geokern.__version__ + geokern_tools.__version__
angle: float = geokern.radians(180.0)

out: npt.NDArray[np.float64] = convert([[116.4, 39.9]], "wgs84", "EPSG:4978")
systems: tuple[str, ...] = geokern_tools.CRS_NAMES
back_to_wgs84: npt.NDArray[np.float64] = convert(rows, "gcj02", "wgs84", china_inverse="one-step")
masked: np.ma.MaskedArray[Any, Any] = convert(np.ma.masked_invalid(rows), 4326, "ecef")
merc = convert(rows, pyproj.CRS(4326), {"id": {"authority": "EPSG", "code": 3857}})
label: dict[str, Any] = crs_projjson("gcj02")
wkt2: str = crs_wkt(pyproj.CRS("OGC:CRS84"))
enu: npt.NDArray[np.float64] = geokern_tools.local_to_ecef([[1.0, 2.0, 3.0]], (7.0, 46.0))
frame: npt.NDArray[np.float64] = geokern_tools.local_to_ecef_matrix((7.0, 46.0), up="y")
shaded: geokern_tools.ShadedMesh = geokern_tools.mesh_normals(rows, [[0, 0, 0]], "crease")
origin: npt.NDArray[np.float64] = geokern_tools.obj_to_glb("in.obj", "out.glb").origin
