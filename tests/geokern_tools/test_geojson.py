"""GeoJSON read in bounded batches and written by the one writer: contents,
block boundaries, named errors, RFC 7946's rules, GeoPandas round trips."""
import io
import json

import numpy as np
import pytest

gpd = pytest.importorskip("geopandas")
pa = pytest.importorskip("pyarrow")
shapely = pytest.importorskip("shapely")

from geokern_tools import _geojson, _geoparquet, convert

FEATURES = [
    {"type": "Feature", "id": 7, "properties": {"name": "Tiān'ānmén", "h": 1.5, "tags": [1, 2]},
     "geometry": {"type": "Point", "coordinates": [116.3912, 39.9061, 44.0]}},
    {"type": "Feature", "properties": {"name": "b", "h": None}, "geometry": None},
    {"type": "Feature", "properties": None,
     "geometry": {"type": "Polygon", "coordinates": [[[116, 39], [116, 40], [117, 40], [116, 39]]]}},
    {"type": "Feature", "properties": {"h": 3},
     "geometry": {"type": "MultiLineString", "coordinates": [[[1, 2], [3, 4]], [[5, 6], [7, 8]]]}},
]


def collection(features=FEATURES, **members):
    return json.dumps({"type": "FeatureCollection", **members, "features": features},
                      indent=1, ensure_ascii=False).encode()


def read(raw, batch_rows=1000, **options):
    return pa.concat_tables(_geojson.GeoJSONReader(io.BytesIO(raw), batch_rows, **options))


def test_contents():
    table = read(collection())
    assert table.column_names == ["name", "h", "tags", "id", "geometry"]
    assert table.column("name").to_pylist() == ["Tiān'ānmén", "b", None, None]
    assert table.column("id").to_pylist() == [7, None, None, None]
    geoms = shapely.from_wkb(table.column("geometry").to_numpy(zero_copy_only=False))
    assert geoms[1] is None and shapely.get_coordinates(geoms[0], include_z=True).tolist() == [
        [116.3912, 39.9061, 44.0]]
    geo = json.loads(table.schema.metadata[b"geo"])["columns"]["geometry"]
    assert geo["crs"]["id"] == {"authority": "OGC", "code": "CRS84"}


def test_a_feature_id_beside_an_id_property_keeps_both():
    feature = {"type": "Feature", "id": "f1", "properties": {"id": 42}, "geometry": None}
    table = read(collection([feature]))
    assert table.column("id").to_pylist() == [42]
    assert table.column("feature_id").to_pylist() == ["f1"]


@pytest.mark.parametrize("block", [7, 64, 1 << 20])
@pytest.mark.parametrize("batch_rows", [1, 3])
def test_any_block_and_batch_size_reads_the_same(monkeypatch, block, batch_rows):
    want = read(collection())
    monkeypatch.setattr(_geojson, "_BLOCK", block)
    tables = list(_geojson.GeoJSONReader(io.BytesIO(collection()), batch_rows))
    assert [t.num_rows for t in tables] == [batch_rows] * (4 // batch_rows) + [4 % batch_rows] * (
        4 % batch_rows > 0)
    assert pa.concat_tables(tables).equals(want)


@pytest.mark.parametrize("raw", [
    b"\n".join(json.dumps(f).encode() for f in FEATURES),                  # newline-delimited
    b"".join(b"\x1e" + json.dumps(f).encode() + b"\n" for f in FEATURES),  # RFC 8142
    b"\xef\xbb\xbf" + collection(),                                         # a byte-order mark
])
def test_sequences_of_features(raw):
    assert read(raw).column("h").to_pylist() == [1.5, None, None, 3]


def test_a_bare_geometry_and_the_2008_crs_member():
    assert read(b'{"type": "Point", "coordinates": [1, 2]}').num_rows == 1
    table = read(collection(FEATURES[:1], crs={"type": "name", "properties": {
        "name": "urn:ogc:def:crs:EPSG::3857"}}))
    out = _geoparquet.convert_table(table, None, "wgs84")  # the file's own system
    point = shapely.from_wkb(out.column("geometry")[0].as_py())
    np.testing.assert_allclose(shapely.get_coordinates(point),
                               convert([[116.3912, 39.9061]], 3857, "wgs84"))


@pytest.mark.parametrize("raw, match", [
    (collection() + b"\n{", "line 92: Expecting property name"),
    (collection()[:-40], r"line \d+: Expecting"),
    (b'{"type": "FeatureCollection", "features": [1]}', "line 1: expected a GeoJSON object"),
    (b'{"type": "Topology"}', "line 1: expected a Feature or a geometry, got type 'Topology'"),
    (b'\n\n{"type": "Polygon", "coordinates": [[[0, 0], [1, 0], [1, 1]]]}',
     "line 3: invalid geometry: .*closed linestring"),
    (b'{"type": "Feature", "properties": [], "geometry": null}', "line 1: a feature's properties must be an object"),
    (b'{"type": "Point", "coordinates": [1, 2]}\n\xff', "line 2: not UTF-8"),
    (collection(FEATURES[:1]) + b"\n" + collection(FEATURES[:1], crs={
        "type": "name", "properties": {"name": "EPSG:3857"}}), "line 28: the 'crs' member comes after"),
], ids=["trailing", "truncated", "number", "topology", "ring", "properties", "utf-8", "crs"])
def test_bad_input_names_its_line(raw, match):
    with pytest.raises(ValueError, match=f"input: {match}"):
        read(raw, batch_rows=1)


def test_columns_are_fixed_by_the_first_batch_or_by_a_scan():
    features = [{"type": "Feature", "properties": {"a": 1}, "geometry": None},
                {"type": "Feature", "properties": {"a": "x", "b": True}, "geometry": None}]
    with pytest.raises(ValueError, match="line 11: property .b. is not among the columns"):
        read(collection(features), batch_rows=1)
    schema = _geojson.scan_properties(io.BytesIO(collection(features)))
    table = read(collection(features), batch_rows=1, schema=schema)
    assert table.column("a").to_pylist() == ["1", '"x"']  # no common type: JSON text
    assert table.column("b").to_pylist() == [None, True]


def test_written_files_read_back_through_geopandas():
    gdf = gpd.GeoDataFrame(
        {"name": ["a", None, "c"], "v": [1.5, np.nan, 3.0], "n": [1, 2, 3]},
        geometry=shapely.from_wkt(["POINT Z (116.4 39.9 44)", None,
                                   "POLYGON ((2 48, 2 49, 3 49, 2 48), (2.2 48.5, 2.6 48.7, "
                                   "2.6 48.5, 2.2 48.5))"]), crs=4326)
    table = pa.Table.from_pandas(gdf.to_wkb(), preserve_index=False).replace_schema_metadata(
        {b"geo": json.dumps({"primary_column": "geometry", "columns": {
            "geometry": {"encoding": "WKB"}}}).encode()})
    out = io.BytesIO()
    with _geojson.GeoJSONWriter(out) as writer:
        writer.write_table(table)
    text = out.getvalue().decode()
    assert text.count("\n") == 5 and '"v":null' in text  # a feature per line; NaN is null
    back = gpd.read_file(io.BytesIO(out.getvalue()))
    assert back.crs == 4326 and back["name"].tolist() == ["a", None, "c"]
    assert shapely.equals(back.geometry[[0, 2]].values, gdf.geometry[[0, 2]].values).all()
    # RFC 7946: exterior rings counterclockwise, holes clockwise.
    polygon = back.geometry[2]
    assert polygon.exterior.is_ccw and not polygon.interiors[0].is_ccw


def test_features_from_geometries_and_dicts():
    out = io.StringIO()
    writer = _geojson.GeoJSONWriter(out)
    writer.write_features(["POINT (1 2)", shapely.to_wkb(shapely.Point(3, 4)), None,
                           shapely.from_wkt("POLYGON EMPTY")],
                          [{"a": 1}, {"when": np.datetime64("2024-01-02", "D").item()}, {},
                           {"x": float("inf")}], ids=["p", 2, None, None])
    writer.close()
    doc = json.loads(out.getvalue())
    assert [f.get("id") for f in doc["features"]] == ["p", 2, None, None]
    assert doc["features"][1]["properties"] == {"when": "2024-01-02"}
    assert doc["features"][3] == {"type": "Feature", "properties": {"x": None},
                                  "geometry": {"type": "Polygon", "coordinates": []}}
    empty = io.StringIO()
    _geojson.GeoJSONWriter(empty).close()
    assert json.loads(empty.getvalue()) == {"type": "FeatureCollection", "features": []}


def test_rfc_7946_rules_are_kept():
    with pytest.raises(ValueError, match="GeoJSON .RFC 7946. holds WGS 84 longitude and "
                       "latitude only, not gcj02.*write GeoParquet"):
        _geojson.GeoJSONWriter(io.StringIO(), crs="gcj02")
    gcj = _geoparquet.convert_table(read(collection()), None, "gcj02")
    with pytest.raises(ValueError, match="not gcj02 .column 'geometry'."):
        _geojson.GeoJSONWriter(io.StringIO()).write_table(gcj)
    with pytest.raises(ValueError, match="row 1: a NaN coordinate has no GeoJSON form"):
        _geojson.GeoJSONWriter(io.StringIO()).write_features(["POINT (1 2)", "POINT (NaN 1)"])


def test_a_syntax_error_is_found_without_reading_on():
    feature = json.dumps(FEATURES[0]).encode()
    raw = b'{"type": "FeatureCollection", "features": [' + feature + b", {,"
    raw += b", ".join([feature] * 100_000) + b"]}"
    stream = io.BytesIO(raw)
    with pytest.raises(ValueError, match="line 1: Expecting property name"):
        list(_geojson.GeoJSONReader(stream))
    assert stream.tell() <= 2 * _geojson._BLOCK < len(raw)
