"""convert on shapely geometries, GeoSeries and GeoDataFrames: against
GeoDataFrame.to_crs and geokern's own batches, kinds, dimensions and CRSs."""
import subprocess
import sys

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas")
pyproj = pytest.importorskip("pyproj")
shapely = pytest.importorskip("shapely")

from geokern_tools import convert, crs_projjson
from shared import bits

WKT = [
    "POINT (116.4 39.9)", "POINT Z (121.47 31.23 12.5)",
    "LINESTRING (116.3 39.8, 116.5 40.1, 116.7 39.95)",
    "POLYGON Z ((116 39 10, 117 39 10, 117 40 20, 116 39 10))",
    "POLYGON ((2 48, 3 48, 3 49, 2 49, 2 48), (2.2 48.2, 2.2 48.4, 2.4 48.4, 2.2 48.2))",
    "MULTIPOINT Z ((-74 40.7 5), (-73.9 40.8 6))",
    "MULTILINESTRING ((10 50, 11 51), (12 52, 13 53, 14 50))",
    "MULTIPOLYGON (((0 0, 1 0, 1 1, 0 0)), ((5 5, 6 5, 6 6, 5 5), (5.2 5.1, 5.8 5.1, 5.8 5.7, 5.2 5.1)))",
    "GEOMETRYCOLLECTION (POINT (116 40), LINESTRING (116 39, 117 39))",
    "POINT EMPTY", "POLYGON EMPTY",
]


def geometries(with_missing=True):
    geoms = shapely.from_wkt(WKT)
    return np.append(geoms, None) if with_missing else geoms


def coords(geoms):
    return shapely.get_coordinates(geoms, include_z=True)


# Tolerances: 1e-6 m, or 1e-11 degrees (about 1e-6 m) for longitude and latitude.
@pytest.mark.parametrize("src, dst, peer_src, peer_dst, tolerance", [
    ("wgs84", "webmercator", 4326, 3857, 1e-6),
    ("wgs84", "ecef", 4979, 4978, 1e-6),
    ("webmercator", "wgs84", 3857, 4326, [1e-11, 1e-11, 1e-6]),
    ("ecef", "wgs84", 4978, 4979, [1e-11, 1e-11, 1e-6]),
])
def test_equals_to_crs_and_geokern_batches(src, dst, peer_src, peer_dst, tolerance):
    geoms = geometries()
    if src != "wgs84":
        geoms = convert(shapely.force_3d(geoms, 0.0), "wgs84", src)
    frame = gpd.GeoDataFrame({"id": np.arange(len(geoms))}, geometry=geoms, crs=peer_src)
    got = convert(frame, dst=dst)
    peer = gpd.GeoDataFrame(geometry=shapely.force_3d(geoms, 0.0) if dst == "ecef" else geoms,
                            crs=peer_src).to_crs(peer_dst)
    difference = np.abs(coords(got.geometry.values) - coords(peer.geometry.values))
    assert (np.nan_to_num(difference) <= tolerance).all()
    assert (shapely.get_type_id(got.geometry.values) == shapely.get_type_id(geoms)).all()
    # The coordinates are those of the batches, bit for bit (2-D at height 0 for ECEF).
    xyz, owner = shapely.get_coordinates(geoms, include_z=True, return_index=True)
    if dst == "ecef":
        xyz[~shapely.has_z(geoms)[owner], 2] = 0.0
    want = convert(xyz, src, dst)
    flat = ~shapely.has_z(got.geometry.values)
    got_xyz = coords(got.geometry.values)
    if flat.any():  # 2-D results have no z to compare
        got_xyz[:, 2], want[:, 2] = 0.0, 0.0
    np.testing.assert_array_equal(bits(got_xyz), bits(want))


def test_nan_coordinates_go_through_the_arithmetic():
    # Unlike PROJ, which makes the whole coordinate NaN, a NaN stays where
    # the arithmetic takes it: a NaN height leaves Web Mercator x and y alone.
    line = shapely.from_wkt("LINESTRING Z (100 30 1, 101 31 NaN)")
    got = coords(convert(line, 4326, 3857))
    assert np.isfinite(got[:, :2]).all() and np.isnan(got[1, 2])
    got = coords(convert(line, 4326, "ecef"))
    assert np.isfinite(got[0]).all() and np.isnan(got[1]).all()
    got = coords(convert(shapely.from_wkt("POINT (NaN 45)"), 4326, 3857))
    assert np.isnan(got[0, 0]) and np.isfinite(got[0, 1])


def test_dimensions_missing_and_empty():
    geoms = geometries()
    merc = convert(geoms, "wgs84", "webmercator")
    assert merc[-1] is None
    np.testing.assert_array_equal(shapely.has_z(merc[:-1]), shapely.has_z(geoms[:-1]))
    np.testing.assert_array_equal(shapely.is_empty(merc[:-1]), shapely.is_empty(geoms[:-1]))
    ecef = convert(geoms, "wgs84", "ecef")
    assert shapely.has_z(ecef[:-1][~shapely.is_empty(ecef[:-1])]).all()
    # A 2-D point goes to ECEF at height 0, not NaN.
    np.testing.assert_array_equal(coords(ecef[0]), convert([[116.4, 39.9, 0.0]], 4326, "ecef"))
    with pytest.raises(ValueError, match=r"geometry 0: ecef geometries must be 3-D"):
        convert(geoms, "ecef", "wgs84")
    nothing = convert(gpd.GeoSeries([None, None], crs=4326), dst="ecef")
    assert nothing.isna().all() and nothing.crs == 4978


def test_m_values_are_kept():
    geoms = shapely.from_wkt(["POINT M (116.4 39.9 7)", "LINESTRING ZM (116 39 1 2, 117 40 3 4)"])
    got = convert(geoms, "wgs84", "ecef")
    np.testing.assert_array_equal(shapely.get_coordinates(got, include_m=True)[:, 2], [7, 2, 4])
    np.testing.assert_array_equal(
        coords(got), convert([[116.4, 39.9, 0], [116, 39, 1], [117, 40, 3]], 4326, "ecef"))


def test_kinds_come_back_as_they_went():
    geoms = geometries()
    n = len(geoms)
    frame = gpd.GeoDataFrame({"name": list("abcdefghijklmn"[:n]), "v": np.arange(n * 1.0)},
                             geometry=geoms, crs="EPSG:4326", index=np.arange(100, 100 + n))
    frame["other"] = gpd.GeoSeries(geoms, index=frame.index, crs=4326)
    before = frame.copy()
    got = convert(frame, dst="EPSG:3857")
    assert isinstance(got, gpd.GeoDataFrame) and got.crs == pyproj.CRS(3857)
    assert list(got.columns) == list(frame.columns) and (got.index == frame.index).all()
    assert got[["name", "v"]].equals(frame[["name", "v"]]) and got["other"].crs == 4326
    assert frame.equals(before)  # the input is left alone
    series = convert(frame.geometry.rename("g"), dst=3857)
    assert isinstance(series, gpd.GeoSeries) and series.name == "g"
    assert (series.index == frame.index).all()
    array = convert(frame.geometry.values, dst=3857)
    assert type(array).__name__ == "GeometryArray" and array.crs == 3857
    assert isinstance(convert(geoms[0], 4326, 3857), shapely.Point)
    assert convert(geoms[:12].reshape(3, 4), 4326, 3857).shape == (3, 4)


def test_reference_systems_of_the_data():
    frame = gpd.GeoDataFrame(geometry=geometries(False)[:4], crs=4326)
    gcj = convert(frame, dst="gcj02")
    assert gcj.crs == pyproj.CRS(crs_projjson("gcj02"))
    back = convert(gcj, dst="wgs84")  # known again from its own CRS
    np.testing.assert_allclose(coords(back.geometry.values), coords(frame.geometry.values),
                               rtol=0, atol=1e-9)
    assert convert(frame, 4979, "webmercator").crs == 3857  # 4979 and 4326 are both wgs84
    with pytest.raises(ValueError, match=r"src 'gcj02' is gcj02, but the reference system of "
                       r"the data is EPSG:4326 \(wgs84\).*set_crs"):
        convert(frame, "gcj02", "wgs84")
    with pytest.raises(ValueError, match="carries no reference system: give src"):
        convert(frame.set_crs(None, allow_override=True), dst="ecef")
    with pytest.raises(ValueError, match="the data is EPSG:32650: leave src"):
        convert(frame.set_crs(32650, allow_override=True), "wgs84", "ecef")


def test_china_datum_survives_geoparquet(tmp_path):
    frame = gpd.GeoDataFrame({"v": [1, 2]}, geometry=shapely.points([[116.4, 39.9], [121.5, 31.2]]),
                             crs=4326)
    gcj = convert(frame, dst="gcj02")
    gcj.to_parquet(tmp_path / "gcj.parquet")
    read = gpd.read_parquet(tmp_path / "gcj.parquet")
    assert read.crs == gcj.crs and read.crs.to_json_dict()["id"]["code"] == "GCJ02"
    assert convert(read, dst="gcj02").crs == gcj.crs


def test_importing_the_package_imports_no_geometry_library():
    code = ("import sys, geokern_tools, numpy as np; geokern_tools.convert(np.zeros((1, 2)), "
            "4326, 'ecef'); print(sorted({'shapely', 'geopandas', 'pyproj', 'pyarrow'} "
            "& set(sys.modules)))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"
