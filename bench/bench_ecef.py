"""Earth-centred and Web Mercator conversions against pyproj and pymap3d.

Batches on 2 000 000 random points and per-call costs of the scalar entry
points, all on the same run; printed as peer time / geokern time.  Every
peer gets the input form its users would give it: contiguous 1-D coordinate
arrays, never strided column views (which pyproj would copy first).
"""
import numpy as np
import pymap3d
import pyproj

import geokern
from timing import best_times, floor_time, per_call, print_rows, row

N = 2_000_000


def inputs(n=N):
    """The random points of every batch, as rows and as contiguous columns."""
    rng = np.random.default_rng(0)
    lon, lat, h = rng.uniform(-180, 180, n), rng.uniform(-85, 85, n), rng.uniform(-1e3, 1e4, n)
    geo = np.column_stack([lon, lat, h])
    xyz = geokern.geodetic2ecef_fast_array(geo)
    merc = geokern.geodetic_to_web_mercator_fast_array(geo)
    x, y, z = (np.ascontiguousarray(xyz[:, i]) for i in range(3))
    mx, my = (np.ascontiguousarray(merc[:, i]) for i in range(2))
    return {"lon": lon, "lat": lat, "h": h, "geo": geo, "xyz": xyz, "merc": merc,
            "xyz_list": xyz.tolist(), "x": x, "y": y, "z": z, "mx": mx, "my": my,
            "eye3": np.eye(3)}


def batches(d):
    """Our parallel batches on the inputs `d`, as calls without arguments."""
    return {
        "geodetic2ecef_fast_array": lambda: geokern.geodetic2ecef_fast_array(d["geo"]),
        "ecef2geodetic_nparray_cy": lambda: geokern.ecef2geodetic_nparray_cy(
            d["xyz"], d["eye3"], True),
        "ecef2geodetic_list_cy": lambda: geokern.ecef2geodetic_list_cy(d["xyz_list"], d["eye3"]),
        "geodetic_to_web_mercator_fast_array":
            lambda: geokern.geodetic_to_web_mercator_fast_array(d["geo"]),
        "web_mercator_to_geodetic_fast_array":
            lambda: geokern.web_mercator_to_geodetic_fast_array(d["merc"]),
        "web_mercator_to_ecef_fast_array":
            lambda: geokern.web_mercator_to_ecef_fast_array(d["merc"]),
    }


def transformer(src, dst):
    return pyproj.Transformer.from_crs(src, dst, always_xy=True)


def batch_rows(d):
    to_ecef, to_geo = transformer("EPSG:4979", "EPSG:4978"), transformer("EPSG:4978", "EPSG:4979")
    to_merc, from_merc = transformer("EPSG:4326", "EPSG:3857"), transformer("EPSG:3857", "EPSG:4326")
    merc_to_ecef = transformer("EPSG:3857", "EPSG:4978")
    lon, lat, h, x, y, z, mx, my = (d[k] for k in ("lon", "lat", "h", "x", "y", "z", "mx", "my"))
    # Ours, the peers and the copies timed in turn, round after round.
    t = best_times({
        **batches(d),
        "pyproj 4979->4978": lambda: to_ecef.transform(lon, lat, h),
        "pymap3d.geodetic2ecef": lambda: pymap3d.geodetic2ecef(lat, lon, h),
        "pyproj 4978->4979": lambda: to_geo.transform(x, y, z),
        "pymap3d.ecef2geodetic": lambda: pymap3d.ecef2geodetic(x, y, z),
        "pyproj 4326->3857": lambda: to_merc.transform(lon, lat),
        "pyproj 3857->4326": lambda: from_merc.transform(mx, my),
        "pyproj 3857->4978": lambda: merc_to_ecef.transform(mx, my, h),
        "copy geo": d["geo"].copy, "copy xyz": d["xyz"].copy, "copy merc": d["merc"].copy,
    })

    def peers(*names):
        return [(name, t[name]) for name in names]
    return [
        row("geodetic2ecef_fast_array", t["geodetic2ecef_fast_array"],
            peers("pyproj 4979->4978", "pymap3d.geodetic2ecef"), t["copy geo"]),
        row("ecef2geodetic_nparray_cy", t["ecef2geodetic_nparray_cy"],
            peers("pyproj 4978->4979", "pymap3d.ecef2geodetic"), t["copy xyz"],
            "3x3 identity, heights"),
        row("ecef2geodetic_list_cy", t["ecef2geodetic_list_cy"], peers("pyproj 4978->4979"),
            t["copy xyz"], "a list of lists"),
        row("geodetic_to_web_mercator_fast_array", t["geodetic_to_web_mercator_fast_array"],
            peers("pyproj 4326->3857"), t["copy geo"]),
        row("web_mercator_to_geodetic_fast_array", t["web_mercator_to_geodetic_fast_array"],
            peers("pyproj 3857->4326"), t["copy merc"]),
        row("web_mercator_to_ecef_fast_array", t["web_mercator_to_ecef_fast_array"],
            peers("pyproj 3857->4978"), t["copy merc"]),
    ]


def scalar_rows(d):
    """Per-call cost of every scalar entry point here, with its scalar peers
    and the empty function of the same argument count (timing.floor_time)."""
    to_ecef, to_geo = transformer("EPSG:4979", "EPSG:4978"), transformer("EPSG:4978", "EPSG:4979")
    to_merc, from_merc = transformer("EPSG:4326", "EPSG:3857"), transformer("EPSG:3857", "EPSG:4326")
    point, xyz0 = (116.4, 39.9, 44.0), tuple(d["xyz"][0])
    merc0 = tuple(geokern.geodetic_to_web_mercator_cpp(*point))
    lon, lat, h = point
    floor = floor_time(point)
    geo_peers = [("pyproj Transformer.transform", per_call(to_ecef.transform, point, 50_000)),
                 ("pymap3d.geodetic2ecef", per_call(pymap3d.geodetic2ecef, (lat, lon, h), 50_000))]
    scalars = [
        ("geodetic2ecef_cpp", point, geo_peers),
        ("geodetic2ecef_cy", point, geo_peers),
        ("ecef2geodetic_cy", xyz0, [
            ("pyproj Transformer.transform", per_call(to_geo.transform, xyz0, 50_000)),
            ("pymap3d.ecef2geodetic", per_call(pymap3d.ecef2geodetic, xyz0, 20_000))]),
        ("geodetic_to_web_mercator_cpp", point,
         [("pyproj Transformer.transform", per_call(to_merc.transform, point[:2], 50_000))]),
        ("web_mercator_to_geodetic_cpp", merc0,
         [("pyproj Transformer.transform", per_call(from_merc.transform, merc0[:2], 50_000))]),
    ]
    return [row(name, per_call(getattr(geokern, name), args), peers, note="per call",
                floor=floor) for name, args, peers in scalars]


def rows(n=N):
    d = inputs(n)
    return batch_rows(d) + scalar_rows(d)


if __name__ == "__main__":
    print(f"batches of {N} points ({geokern.__name__} {geokern.__version__})")
    print_rows(rows())
