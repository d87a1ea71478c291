"""Earth-centred and Web Mercator conversions against pyproj and pymap3d.

Batches on 2 000 000 random points and per-call costs of the scalar entry
points, all on the same run; printed as peer time / geokern time.
"""
import numpy as np
import pymap3d
import pyproj

import geokern
from timing import best_time, per_call, report

N = 2_000_000
rng = np.random.default_rng(0)
lon, lat, h = rng.uniform(-180, 180, N), rng.uniform(-85, 85, N), rng.uniform(-1e3, 1e4, N)
geo = np.column_stack([lon, lat, h])
xyz = geokern.geodetic2ecef_fast_array(geo)
merc = geokern.geodetic_to_web_mercator_fast_array(geo)
eye3 = np.eye(3)


def transformer(src, dst):
    return pyproj.Transformer.from_crs(src, dst, always_xy=True)


to_ecef, to_geo = transformer("EPSG:4979", "EPSG:4978"), transformer("EPSG:4978", "EPSG:4979")
to_merc, from_merc = transformer("EPSG:4326", "EPSG:3857"), transformer("EPSG:3857", "EPSG:4326")

print(f"batches of {N} points ({geokern.__name__} {geokern.__version__})")
report("geodetic2ecef_fast_array", best_time(lambda: geokern.geodetic2ecef_fast_array(geo)), [
    ("pyproj 4979->4978", best_time(lambda: to_ecef.transform(lon, lat, h), 3)),
    ("pymap3d.geodetic2ecef", best_time(lambda: pymap3d.geodetic2ecef(lat, lon, h), 3)),
])
report("ecef2geodetic_nparray_cy (3x3 identity, heights)",
       best_time(lambda: geokern.ecef2geodetic_nparray_cy(xyz, eye3, True)), [
    ("pyproj 4978->4979", best_time(lambda: to_geo.transform(xyz[:, 0], xyz[:, 1], xyz[:, 2]), 3)),
    ("pymap3d.ecef2geodetic",
     best_time(lambda: pymap3d.ecef2geodetic(xyz[:, 0], xyz[:, 1], xyz[:, 2]), 3)),
])
report("geodetic_to_web_mercator_fast_array",
       best_time(lambda: geokern.geodetic_to_web_mercator_fast_array(geo)), [
    ("pyproj 4326->3857", best_time(lambda: to_merc.transform(lon, lat), 3)),
])
report("web_mercator_to_geodetic_fast_array",
       best_time(lambda: geokern.web_mercator_to_geodetic_fast_array(merc)), [
    ("pyproj 3857->4326", best_time(lambda: from_merc.transform(merc[:, 0], merc[:, 1]), 3)),
])
report("web_mercator_to_ecef_fast_array",
       best_time(lambda: geokern.web_mercator_to_ecef_fast_array(merc)), [
    ("pyproj 3857->4326->4978", best_time(
        lambda: to_ecef.transform(*from_merc.transform(merc[:, 0], merc[:, 1]), h), 3)),
])

print("per call")
scalar_to_ecef = per_call(to_ecef.transform, (116.4, 39.9, 44.0), 50_000)
scalar_to_geo = per_call(to_geo.transform, tuple(xyz[0]), 50_000)
report("geodetic2ecef_cpp", per_call(geokern.geodetic2ecef_cpp, (116.4, 39.9, 44.0)),
       [("pyproj Transformer.transform", scalar_to_ecef)])
report("geodetic2ecef_cy", per_call(geokern.geodetic2ecef_cy, (116.4, 39.9, 44.0)),
       [("pyproj Transformer.transform", scalar_to_ecef)])
report("ecef2geodetic_cy", per_call(geokern.ecef2geodetic_cy, tuple(xyz[0])),
       [("pyproj Transformer.transform", scalar_to_geo)])
