"""Mistyped use of geokern and geokern_tools; mypy must reject every line
marked `# E`."""
import numpy as np

import geokern
from geokern_tools import convert, crs_wkt

geokern.geodetic2ecef_cy("116.4", 39.9, 0.0)  # E: str is no number
geokern.geodetic2ecef_fast_array([[1.0, 2.0, 3.0]])  # E: a list has no buffer
wkt: int = geokern.generate_obb_2d_from_points(np.zeros((4, 2)))  # E: a str
geokern.generate_obb_2d_from_obj_file(b"building.obj")  # E: the path must be a str
lon: str = geokern.wgs84_to_bd09_cy(116.4, 39.9)[0]  # E: floats
convert(np.zeros((2, 2)), "wgs84", 4326.0)  # E: EPSG codes are ints
geokern.no_such_function()  # E: not in the module
convert(np.zeros((2, 2)), "gcj02", "wgs84", china_inverse="exact")  # E: one of two inverses
convert(np.zeros((2, 2)), dst="ecef")  # E: arrays carry no reference system
crs_wkt(4326.0)  # E: EPSG codes are ints
