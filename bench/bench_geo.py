"""Geometries: geokern_tools.convert on GeoDataFrames against
GeoDataFrame.to_crs, and a GeoParquet table's WKB column converted in place
against the same through GeoPandas.

- 1 000 000 3-D points to ECEF; the peer is to_crs from EPSG:4979 or from
  EPSG:4326 to EPSG:4978, whichever is faster here.
- 100 000 3-D building polygons (a roof ring of 8 vertices around Beijing)
  to Web Mercator; the peer is to_crs(3857).
- The WKB column of those 1 000 000 points as a GeoParquet file holds it
  (an Arrow table) converted to ECEF; the peer reads it with GeoPandas
  (from WKB), converts with to_crs and writes WKB back, as a GeoPandas
  user would.

Every call's result is kept until its clock has stopped: freeing a million
geometries takes time of its own, which neither side is charged.  Ours and
the peers are timed in turn, round after round (timing.best_times does the
same for the batches).
"""
import gc
import time

import geopandas as gpd
import numpy as np
import pyarrow as pa
import shapely

from geokern_tools import _geoparquet, convert
from timing import fresh_pages, print_rows, row

POINTS = 1_000_000
BUILDINGS = 100_000


def points(n=POINTS):
    rng = np.random.default_rng(0)
    xyz = np.column_stack([rng.uniform(-180, 180, n), rng.uniform(-85, 85, n),
                           rng.uniform(-100, 3000, n)])
    return shapely.points(xyz)


def buildings(n=BUILDINGS, corners=8):
    rng = np.random.default_rng(1)
    lon, lat = rng.uniform(116.0, 117.0, n), rng.uniform(39.5, 40.5, n)
    angle = np.linspace(0, 2 * np.pi, corners, endpoint=False)
    radius = rng.uniform(1e-4, 5e-4, (n, 1))
    roof = np.broadcast_to(rng.uniform(10, 150, (n, 1)), (n, corners))
    ring = np.stack([lon[:, None] + radius * np.cos(angle), lat[:, None] + radius * np.sin(angle),
                     roof], axis=-1)
    return shapely.polygons(np.concatenate([ring, ring[:, :1]], axis=1))


def geoparquet_table(geoms):
    frame = gpd.GeoDataFrame({"id": np.arange(len(geoms))}, geometry=geoms, crs=4326)
    return pa.Table.from_pandas(frame.to_wkb(), preserve_index=False).replace_schema_metadata(
        {b"geo": b'{"primary_column": "geometry", "columns": {"geometry": '
                 b'{"encoding": "WKB", "geometry_types": ["Point Z"]}}}'})


def through_geopandas(table):
    frame = gpd.GeoDataFrame(table.drop_columns(["geometry"]).to_pandas(),
                             geometry=gpd.GeoSeries.from_wkb(table.column("geometry")
                                                             .to_numpy(zero_copy_only=False)),
                             crs=4979)
    out = frame.to_crs(4978)
    return out.geometry.to_wkb(flavor="iso")


def best_kept(calls, rounds=3):
    """Best time of each call, in turn round after round, its result freed
    after the clock stops."""
    best = dict.fromkeys(calls, float("inf"))
    for _ in range(rounds):
        for name, fn in calls.items():
            gc.collect()
            fresh_pages()
            start = time.perf_counter()
            result = fn()
            best[name] = min(best[name], time.perf_counter() - start)
            del result
    return best


def rows():
    pts = points()
    frame_4979 = gpd.GeoDataFrame({"id": np.arange(POINTS)}, geometry=pts, crs=4979)
    frame_4326 = frame_4979.set_crs(4326, allow_override=True)
    houses = gpd.GeoDataFrame({"height": np.arange(BUILDINGS, dtype=float)},
                              geometry=buildings(), crs=4326)
    table = geoparquet_table(pts)
    t = best_kept({
        "ours points": lambda: convert(frame_4979, dst="ecef"),
        "GeoDataFrame.to_crs 4979->4978": lambda: frame_4979.to_crs(4978),
        "GeoDataFrame.to_crs 4326->4978": lambda: frame_4326.to_crs(4978),
        "ours buildings": lambda: convert(houses, dst=3857),
        "GeoDataFrame.to_crs 4326->3857": lambda: houses.to_crs(3857),
        "ours table": lambda: _geoparquet.convert_table(table, None, "ecef"),
        "GeoPandas from_wkb, to_crs, to_wkb": lambda: through_geopandas(table),
    })
    peer = min(("GeoDataFrame.to_crs 4979->4978", "GeoDataFrame.to_crs 4326->4978"),
               key=t.__getitem__)
    return [
        row("convert(GeoDataFrame, dst='ecef')", t["ours points"], [(peer, t[peer])],
            note=f"{POINTS:,} 3-D points".replace(",", " ")),
        row("convert(GeoDataFrame, dst=3857)", t["ours buildings"],
            [("GeoDataFrame.to_crs 4326->3857", t["GeoDataFrame.to_crs 4326->3857"])],
            note=f"{BUILDINGS:,} 3-D building polygons".replace(",", " ")),
        row("GeoParquet table to ECEF (WKB)", t["ours table"],
            [("GeoPandas from_wkb, to_crs, to_wkb", t["GeoPandas from_wkb, to_crs, to_wkb"])],
            note=f"{POINTS:,} 3-D points".replace(",", " ")),
    ]


if __name__ == "__main__":
    print_rows(rows())
