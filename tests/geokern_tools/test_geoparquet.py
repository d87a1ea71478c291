"""GeoParquet tables converted batch by batch: every encoding GeoPandas
writes, the "geo" metadata rewritten, files read back by GeoPandas."""
import json

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pyproj = pytest.importorskip("pyproj")
shapely = pytest.importorskip("shapely")

from geokern_tools import _geoparquet, convert, crs_projjson

POINTS = ["POINT Z (116.4 39.9 5)", "POINT Z (121.4 31.2 6)", None, "POINT Z (2 48 1)"]
POLYGONS = ["POLYGON ((116 39, 117 39, 117 40, 116 39), (116.2 39.1, 116.4 39.1, 116.4 39.3, "
            "116.2 39.1))", None, "POLYGON ((2 48, 3 48, 3 49, 2 48))"]
MULTI = ["MULTILINESTRING ((116 39, 117 40), (2 48, 3 49))", "MULTILINESTRING EMPTY", None]


def frame(wkt, crs=4326):
    n = len(wkt)
    return gpd.GeoDataFrame({"n": pa.array(range(n)).to_pandas(),
                             "s": ["x", None, "z", "w"][:n]},
                            geometry=shapely.from_wkt(wkt), crs=crs)


def written(tmp_path, gdf, **options):
    path = tmp_path / "in.parquet"
    gdf.to_parquet(path, **options)
    return pq.read_table(path)


@pytest.mark.parametrize("wkt", [POINTS, POLYGONS, MULTI], ids=["points", "polygons", "multi"])
@pytest.mark.parametrize("encoding", ["WKB", "geoarrow"])
@pytest.mark.parametrize("dst", ["ecef", "gcj02", 3857])
def test_files_round_trip_through_geopandas(tmp_path, wkt, encoding, dst):
    gdf = frame(wkt)
    table = written(tmp_path, gdf, geometry_encoding=encoding, write_covering_bbox=True)
    converter = _geoparquet.GeoParquetConverter(table.schema, None, dst)
    # Two batches, as a stream gives them.
    batches = [converter.convert(b) for b in table.to_batches(max_chunksize=2)]
    out = pa.Table.from_batches(batches, schema=converter.schema)
    pq.write_table(out, tmp_path / "out.parquet")
    back = gpd.read_parquet(tmp_path / "out.parquet")
    want = convert(gdf, dst=dst)
    assert back.crs == want.crs
    assert back[["n", "s"]].equals(gdf[["n", "s"]])
    assert (shapely.equals_exact(back.geometry.values, want.geometry.values, 0)
            | want.geometry.isna().to_numpy()).all()
    meta = json.loads(out.schema.metadata[b"geo"])["columns"]["geometry"]
    assert meta["crs"] == crs_projjson(dst)
    assert meta["encoding"] == json.loads(table.schema.metadata[b"geo"])["columns"][
        "geometry"]["encoding"]
    kinds = set(shapely.get_type_id(want.geometry.dropna().values))
    assert len(meta["geometry_types"]) == len(kinds)
    assert all(t.endswith(" Z") for t in meta["geometry_types"]) == (dst == "ecef" or
                                                                        wkt is POINTS)
    bounds = want.geometry.total_bounds
    np.testing.assert_allclose(meta["bbox"][:2] + meta["bbox"][-3 if len(meta["bbox"]) == 6
                                                                else -2:][:2], bounds)
    # The covering column holds each row's new box.
    boxes = out.column("bbox").to_pylist()
    np.testing.assert_allclose([[b[k] for k in ("xmin", "ymin", "xmax", "ymax")] for b in boxes],
                               want.geometry.bounds.to_numpy(), equal_nan=True)


def test_metadata_rules():
    gdf = frame(POLYGONS)
    table = pa.Table.from_pandas(gdf.to_wkb())
    geo = {"version": "0.4.0", "primary_column": "geometry", "creator": {"library": "x"},
           "columns": {"geometry": {"encoding": "WKB", "geometry_types": ["Polygon"],
                                    "orientation": "counterclockwise", "edges": "spherical",
                                    "epoch": 2020.5}}}
    table = table.replace_schema_metadata({b"geo": json.dumps(geo).encode()})
    # No crs key: OGC:CRS84, so wgs84.
    to_ecef = json.loads(_geoparquet.convert_table(table, None, "ecef").schema.metadata[b"geo"])
    column = to_ecef["columns"]["geometry"]
    assert to_ecef["version"] == "1.0.0" and to_ecef["creator"] == {"library": "x"}
    assert "orientation" not in column and "edges" not in column and column["epoch"] == 2020.5
    assert column["geometry_types"] == ["Polygon Z"] and len(column["bbox"]) == 6
    to_gcj = json.loads(_geoparquet.convert_table(table, "wgs84", "gcj02").schema.metadata[
        b"geo"])["columns"]["geometry"]
    assert to_gcj["orientation"] == "counterclockwise" and to_gcj["edges"] == "spherical"


@pytest.mark.parametrize("geo, src, match", [
    (None, None, "no geometry column"),
    ({"columns": {"geometry": {"encoding": "WKB", "crs": None}}}, None,
     "column 'geometry' carries no reference system: give src"),
    ({"columns": {"geometry": {"encoding": "WKB"}}}, "gcj02",
     r"src 'gcj02' is gcj02, but the reference system of column 'geometry' is 'OGC:CRS84' "
     r"\(wgs84\)"),
    ({"columns": {"geometry": {"encoding": "WKB", "crs": pyproj.CRS(32650).to_json_dict()}}},
     None, "unsupported reference system EPSG:32650"),
    ({"columns": {"geom": {"encoding": "WKB"}}}, None, "names a column 'geom'"),
    ({"columns": {"geometry": {"encoding": "WKT"}}}, None, "unknown geometry encoding 'WKT'"),
    ({"columns": {"geometry": {"encoding": "WKB",
                               "covering": {"bbox": {"xmin": ["b", "x"]}}}}},
     None, "covering must name"),
])
def test_bad_schemas(geo, src, match):
    table = pa.table({"geometry": pa.array([shapely.to_wkb(shapely.Point(1, 2))])})
    if geo is not None:
        table = table.replace_schema_metadata({b"geo": json.dumps(geo).encode()})
    with pytest.raises(ValueError, match=match):
        _geoparquet.GeoParquetConverter(table.schema, src, "ecef", where="in.parquet")


def test_bad_geometry_is_named_by_file_row_and_column():
    blobs = [shapely.to_wkb(shapely.Point(1, 2))] * 3 + [b"\x01\x02"]
    table = pa.table({"geometry": pa.array(blobs)}).replace_schema_metadata(
        {b"geo": json.dumps({"columns": {"geometry": {"encoding": "WKB"}}}).encode()})
    converter = _geoparquet.GeoParquetConverter(table.schema, None, "ecef", where="in.parquet")
    first, second = table.to_batches(max_chunksize=2)
    converter.convert(first)
    with pytest.raises(ValueError, match=r"in.parquet: row 3: column 'geometry': truncated WKB"):
        converter.convert(second)


def test_a_column_of_nulls_is_converted_not_dropped():
    table = pa.table({"geometry": pa.nulls(3, pa.binary()), "v": [1, 2, 3]})
    table = table.replace_schema_metadata(
        {b"geo": json.dumps({"columns": {"geometry": {"encoding": "WKB"}}}).encode()})
    out = _geoparquet.convert_table(table, None, "ecef")
    assert out.column("geometry").null_count == 3 and out.column("v").to_pylist() == [1, 2, 3]
    column = json.loads(out.schema.metadata[b"geo"])["columns"]["geometry"]
    assert column["geometry_types"] == [] and "bbox" not in column


@pytest.mark.parametrize("suffix", [".gpkg", ".shp", ".fgb"])
def test_other_vector_formats_read_through_pyogrio(tmp_path, suffix):
    from geokern_tools._ogr import read_ogr

    gdf = frame(POINTS[:2] + POINTS[3:])
    path = tmp_path / f"in{suffix}"
    gdf.to_file(path)
    tables = list(read_ogr(path, batch_rows=2))
    assert [t.num_rows for t in tables] == [2, 1]
    converter = _geoparquet.GeoParquetConverter(tables[0].schema, None, "ecef")
    out = pa.concat_tables([converter.convert(t) for t in tables])
    name = converter.metadata()["primary_column"]
    got = shapely.from_wkb(out.column(name).to_numpy(zero_copy_only=False))
    order = out.column("n").to_numpy()  # FlatGeobuf's spatial index reorders the features
    want = convert(gdf, dst="ecef").geometry.values[order]
    assert shapely.equals_exact(got, want, 0).all()
    assert out.column("s").to_pylist() == list(gdf["s"].iloc[order])


def test_unreadable_vector_files_are_named(tmp_path):
    from geokern_tools._ogr import read_ogr

    path = tmp_path / "broken.gpkg"
    path.write_bytes(b"not a geopackage")
    with pytest.raises(ValueError, match="broken.gpkg: "):
        list(read_ogr(path, where="broken.gpkg"))


def test_interleaved_coordinates_and_sliced_batches():
    xyz = np.array([[116.4, 39.9, 5.0], [116.5, 40.0, 6.0], [2.0, 48.0, 1.0], [3.0, 49.0, 2.0]])
    coords = pa.FixedSizeListArray.from_arrays(
        pa.array(xyz.ravel()), type=pa.list_(pa.field("xyz", pa.float64()), 3))
    lines = pa.ListArray.from_arrays(pa.array([0, 2, 2, 4], pa.int32()), coords,
                                     mask=pa.array([False, True, False]))
    table = pa.table({"geometry": lines, "v": [1, 2, 3]}).replace_schema_metadata(
        {b"geo": json.dumps({"columns": {"geometry": {"encoding": "linestring"}}}).encode()})
    out = _geoparquet.convert_table(table.slice(1), None, "webmercator")  # an offset array
    column = out.column("geometry").combine_chunks()
    assert column.null_count == 1 and column.type.value_type.value_field.name == "xyz"
    got = np.array(column[1].as_py())
    np.testing.assert_array_equal(got, convert(xyz[2:], "wgs84", "webmercator"))
    from geokern_tools._geoarrow import to_shapely
    assert to_shapely(column, "linestring")[0] is None

