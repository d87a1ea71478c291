"""`geokern convert` on geometry files: GeoParquet, GeoJSON, WKT and GDAL's
vector formats, end to end through the installed command."""
import io
import json
import os
import signal
import time

import numpy as np
import pytest

from .conftest import run_geokern, start_geokern, temporaries

gpd = pytest.importorskip("geopandas")
shapely = pytest.importorskip("shapely")
pq = pytest.importorskip("pyarrow.parquet")
pyproj = pytest.importorskip("pyproj")


def sample_frame(crs=4326):
    """Every kind of row the command must keep: 2-D and 3-D, holes, Multi*,
    an empty and a missing geometry, a NaN coordinate, null attributes."""
    geoms = [
        shapely.Point(116.3912, 39.9061, 44.5),
        shapely.Polygon([(2.35, 48.85), (2.36, 48.85), (2.36, 48.86), (2.35, 48.85)]),
        shapely.Polygon([(0, 0, 1), (4, 0, 1), (4, 4, 2), (0, 4, 2)],
                        [[(1, 1, 1), (1, 2, 1), (2, 2, 1)]]),
        shapely.MultiLineString([[(-74, 40.7), (-73.9, 40.8)], [(10, 50), (11, 51)]]),
        shapely.from_wkt("POINT EMPTY"),
        None,
        shapely.Point(5, np.nan),
    ]
    return gpd.GeoDataFrame({"name": ["a", "b", None, "d", "e", "f", "g"],
                             "v": [1.5, None, 3, 4, 5, 6, 7]}, geometry=geoms, crs=crs)


def assert_same(got, expected, tol=1e-6):
    """Same rows, attributes, CRS and geometry types; coordinates within
    `tol` metres (or degrees * 1e-5 for geographic frames)."""
    assert got.crs == expected.crs or got.crs.to_epsg() == expected.crs.to_epsg()
    assert list(got.columns) == list(expected.columns)
    assert got.drop(columns="geometry").equals(expected.drop(columns="geometry"))
    g, e = got.geometry.values, expected.geometry.values
    assert list(shapely.is_missing(g)) == list(shapely.is_missing(e))
    assert list(shapely.get_type_id(g)) == list(shapely.get_type_id(e))
    a = shapely.get_coordinates(g, include_z=True)
    b = shapely.get_coordinates(e, include_z=True)
    assert a.shape == b.shape
    np.testing.assert_allclose(a, b, rtol=0, atol=tol, equal_nan=True)


def geokern_ok(*args, **kw):
    proc = run_geokern("convert", *args, **kw)
    assert proc.returncode == 0, proc.stderr
    return proc


@pytest.mark.parametrize("encoding", ["WKB", "geoarrow"])
@pytest.mark.parametrize("dst,epsg", [("ecef", 4978), ("3857", 3857)])
@pytest.mark.parametrize("how", ["file", "stdin", "batches"])
def test_geoparquet_against_to_crs(tmp_path, encoding, dst, epsg, how):
    frame = sample_frame()
    if encoding == "geoarrow":  # native encodings hold one geometry type a column
        frame = frame.iloc[[1, 5, 1]].reset_index(drop=True)
    src = tmp_path / "in.parquet"
    frame.to_parquet(src, geometry_encoding=encoding)
    out = tmp_path / "out.parquet"
    if how == "stdin":
        proc = geokern_ok("--to", dst, stdin=src.read_bytes())
        got = gpd.read_parquet(io.BytesIO(proc.stdout))
    else:
        env = {"GEOKERN_BATCH_ROWS": "2"} if how == "batches" else None
        geokern_ok("--to", dst, src, "-o", out, env=env)
        got = gpd.read_parquet(out)
    if dst == "ecef":  # ECEF geometries are 3-D: 2-D ones at height 0
        frame = frame.set_geometry(shapely.force_3d(frame.geometry.values), crs=4326)
    expected = frame.to_crs(epsg)
    if encoding == "WKB":  # the NaN point: NaN where pyproj gives inf or NaN
        assert np.isnan(shapely.get_coordinates(got.geometry.values[6:7])).any() or \
            shapely.is_empty(got.geometry.values[6])  # all NaN: WKB's empty point
        got, expected = got.drop(index=6), expected.drop(index=6)
    assert_same(got, expected)
    meta = json.loads(pq.read_schema(out if how != "stdin" else io.BytesIO(proc.stdout))
                      .metadata[b"geo"])["columns"]["geometry"]
    assert meta["encoding"] == ("WKB" if encoding == "WKB" else "polygon")
    coords = shapely.get_coordinates(got.geometry.values, include_z=dst == "ecef")
    finite = coords[np.isfinite(coords).all(axis=1)]
    half = len(meta["bbox"]) // 2
    assert meta["bbox"] == [*finite.min(axis=0)[:half], *finite.max(axis=0)[:half]]


def test_two_inputs_into_one_file(tmp_path):
    frame = sample_frame().iloc[:4]
    frame.iloc[:2].to_parquet(tmp_path / "a.parquet")
    frame.iloc[2:].to_crs(3857).to_parquet(tmp_path / "b.parquet")  # each its own CRS
    geokern_ok("--to", "4326", tmp_path / "a.parquet", tmp_path / "b.parquet",
               "-o", tmp_path / "out.parquet")
    got = gpd.read_parquet(tmp_path / "out.parquet")
    assert_same(got, frame, tol=1e-9)
    meta = json.loads(pq.read_schema(tmp_path / "out.parquet").metadata[b"geo"])
    column = meta["columns"]["geometry"]
    assert column["geometry_types"] == ["MultiLineString", "Point Z", "Polygon", "Polygon Z"]
    # The box of both files, 2-D as one of them is.
    np.testing.assert_allclose(column["bbox"], [*got.total_bounds], atol=1e-9)


def test_geojson_in_and_out(tmp_path):
    frame = sample_frame().iloc[:6]  # JSON has no NaN coordinate
    frame.to_file(tmp_path / "in.geojson")
    geokern_ok("--to", "webmercator", tmp_path / "in.geojson", "-o", tmp_path / "m.parquet")
    merc = gpd.read_parquet(tmp_path / "m.parquet")
    expected = gpd.read_file(tmp_path / "in.geojson").to_crs(3857)
    assert_same(merc, expected)
    # Back to WGS 84 as GeoJSON: the file's own CRS is the source.
    geokern_ok("--to", "wgs84", tmp_path / "m.parquet", "-o", tmp_path / "back.json")
    back = gpd.read_file(tmp_path / "back.json")
    assert_same(back, gpd.read_file(tmp_path / "in.geojson"), tol=1e-9)


def test_geojson_from_stdin(tmp_path):
    text = json.dumps({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {"k": 1},
         "geometry": {"type": "Point", "coordinates": [116.39, 39.9, 10]}}]}).encode()
    # Standard output takes the input's kind, and GCJ-02 is no GeoJSON system.
    proc = run_geokern("convert", "--to", "gcj02", stdin=text)
    assert proc.returncode == 2 and "GeoParquet" in proc.stderr and not proc.stdout
    geokern_ok("--to", "gcj02", "--from", "OGC:CRS84", "-o", tmp_path / "g.parquet", stdin=text)
    got = gpd.read_parquet(tmp_path / "g.parquet")
    assert got.crs.name == "GCJ-02" and got["k"].tolist() == [1]
    proc = geokern_ok("--to", "wgs84", stdin=(tmp_path / "g.parquet").read_bytes())
    again = gpd.read_parquet(io.BytesIO(proc.stdout))
    np.testing.assert_allclose(shapely.get_coordinates(again.geometry.values, include_z=True),
                               [[116.39, 39.9, 10]], rtol=0, atol=1e-9)


@pytest.mark.parametrize("suffix", [".gpkg", ".shp", ".fgb"])
def test_vector_files(tmp_path, suffix):
    pytest.importorskip("pyogrio")
    frame = gpd.GeoDataFrame({"name": ["a", "b"]}, crs=4326, geometry=[
        shapely.Point(116.3912, 39.9061, 44.5), shapely.Point(-74, 40.7, 10)])
    frame.to_file(tmp_path / f"in{suffix}")
    geokern_ok("--to", "ecef", tmp_path / f"in{suffix}", "-o", tmp_path / "out.parquet")
    got = gpd.read_parquet(tmp_path / "out.parquet")
    assert got["name"].tolist() == ["a", "b"] and got.crs.to_epsg() == 4978
    np.testing.assert_allclose(shapely.get_coordinates(got.geometry.values, include_z=True),
                               shapely.get_coordinates(frame.to_crs(4978).geometry.values,
                                                       include_z=True), rtol=0, atol=1e-6)


def test_wkt_lines_full_precision():
    # CRLF line ends, and the last line without one.
    lines = "SRID=4326;POINT (116.3912 39.9061)\r\nSRID=4326;LINESTRING Z (1 2 3, 4 5 6)"
    proc = geokern_ok("--to", "3857", stdin=lines.encode())
    out = proc.stdout.decode().splitlines()
    assert len(out) == 2 and all(line.startswith("SRID=3857;") for line in out)
    got = shapely.get_coordinates(shapely.from_wkt([line[10:] for line in out]), include_z=True)
    x, y = pyproj.Transformer.from_crs(4326, 3857, always_xy=True).transform(
        [116.3912, 1, 4], [39.9061, 2, 5])
    np.testing.assert_allclose(got[:, :2], np.column_stack([x, y]), rtol=0, atol=1e-6)
    assert np.isnan(got[0, 2]) and list(got[1:, 2]) == [3, 6]


def test_wkt_column_of_a_csv(tmp_path):
    (tmp_path / "w.csv").write_text('id,geometry\n1,"POINT (116.4 39.9)"\n'
                                    '2,"LINESTRING (1 2, 3 4)"\n3,\n')
    proc = geokern_ok("--from", "4326", "--to", "4326", "--wkt", "geometry", tmp_path / "w.csv")
    lines = proc.stdout.decode().splitlines()
    assert lines[0] == "id,geometry" and lines[1] == "1,POINT (116.4 39.9)"
    assert lines[3] == "3,"
    bad = tmp_path / "bad.csv"
    bad.write_text("id,wkt\n1,POINT (1 2)\n2,POINT (3\n")
    proc = run_geokern("convert", "--from", "4326", "--to", "3857", "--wkt", "wkt", bad)
    assert proc.returncode == 1 and "line 3" in proc.stderr


# Each refused run: the arguments ({tmp} is the folder), its exit status and
# a piece of its one-line message.  An existing output must survive it.
REFUSALS = [
    (["--to", "ecef", "{tmp}/in.parquet", "-o", "{tmp}/out.geojson"], 2, "GeoParquet"),
    (["--from", "3857", "--to", "ecef", "{tmp}/in.parquet", "-o", "{tmp}/out.parquet"], 2,
     "--from 3857 is webmercator"),
    (["--to", "3857", "{tmp}/good.wkt", "-o", "{tmp}/out.wkt"], 2, "give it with --from"),
    (["--to", "3857", "{tmp}/in.csv", "-o", "{tmp}/out.parquet"], 2, "give it with --from"),
    (["--to", "ecef", "{tmp}/out.parquet", "-o", "{tmp}/out.parquet"], 2, ""),
    (["--to", "3857", "{tmp}/in.parquet", "-o", "{tmp}/out.csv"], 2, "geometries"),
    (["--from", "4326", "--to", "4326", "{tmp}/in.csv", "-o", "{tmp}/out.geojson"], 2,
     "needs geometries"),
    (["--to", "wgs84", "{tmp}/in.parquet", "-o", "{tmp}/out.geojson"], 1,
     "row 7: a NaN coordinate"),
    (["--from", "4326", "--to", "3857", "{tmp}/lines.wkt", "-o", "{tmp}/out.wkt"], 1,
     "lines.wkt: line 3: not a WKT geometry"),
    (["--to", "3857", "{tmp}/bad.geojson", "-o", "{tmp}/out.parquet"], 1, "bad.geojson: line 3"),
    (["--to", "3857", "{tmp}/in.parquet", "{tmp}/in.csv", "-o", "{tmp}/out.parquet"], 1,
     "holds coordinate columns"),
    (["--from", "4326", "--to", "3857", "{tmp}/in.parquet", "-o", "{tmp}/out.wkt"], 1,
     "row 6: a missing geometry"),
]


@pytest.mark.parametrize("args,status,message", REFUSALS)
def test_refusals_leave_the_old_output(tmp_path, args, status, message):
    sample_frame().to_parquet(tmp_path / "in.parquet")
    (tmp_path / "in.csv").write_text("lon,lat\n1,2\n")
    (tmp_path / "lines.wkt").write_text("POINT (1 2)\nPOINT (3 4)\nPOINT (5\n")
    (tmp_path / "good.wkt").write_text("POINT (1 2)\n")
    (tmp_path / "bad.geojson").write_text('{"type": "FeatureCollection", "features": [\n'
                                          '{"type": "Feature", "properties": {}, "geometry":'
                                          ' {"type": "Point", "coordinates": [1, 2]}},\n'
                                          '{"type": "Feature", "geometry": 7}]}\n')
    outputs = {tmp_path / f"out{s}" for s in (".parquet", ".geojson", ".wkt", ".csv")}
    for out in outputs:
        out.write_bytes(b"old output")
    proc = run_geokern("convert", *[a.format(tmp=tmp_path) for a in args])
    assert proc.returncode == status, proc.stderr
    lines = [line for line in proc.stderr.splitlines() if line.startswith("geokern:")]
    assert len(lines) == 1 and message in lines[0], proc.stderr
    assert "Traceback" not in proc.stderr
    assert all(out.read_bytes() == b"old output" for out in outputs)
    assert not temporaries(tmp_path)


def test_all_null_geometry_column_is_kept(tmp_path):
    frame = gpd.GeoDataFrame({"k": [1, 2]}, geometry=[None, None], crs=4326)
    frame.to_parquet(tmp_path / "in.parquet")
    geokern_ok("--to", "ecef", tmp_path / "in.parquet", "-o", tmp_path / "out.parquet")
    got = gpd.read_parquet(tmp_path / "out.parquet")
    assert got["k"].tolist() == [1, 2] and got.geometry.isna().all()
    assert got.crs.to_epsg() == 4978


def test_without_pyogrio_one_line(tmp_path):
    (tmp_path / "fake" / "pyogrio").mkdir(parents=True)
    (tmp_path / "fake" / "pyogrio" / "__init__.py").write_text("raise ImportError('absent')\n")
    (tmp_path / "in.gpkg").write_bytes(b"SQLite format 3\0")
    proc = run_geokern("convert", "--to", "ecef", tmp_path / "in.gpkg",
                       env={"PYTHONPATH": str(tmp_path / "fake")})
    assert proc.returncode == 1 and "needs pyogrio" in proc.stderr
    assert len(proc.stderr.splitlines()) == 1


def test_sigterm_mid_stream_keeps_the_old_output(tmp_path):
    out = tmp_path / "out.parquet"
    out.write_bytes(b"old output")
    feature = json.dumps({"type": "Feature", "properties": {"k": 1},
                          "geometry": {"type": "Point", "coordinates": [1, 2]}})
    proc = start_geokern("convert", "--to", "3857", "-o", out, stdin=-1,
                         env=dict(os.environ, GEOKERN_BATCH_ROWS="10"))
    proc.stdin.write(b"\n".join([feature.encode()] * 1000) + b"\n")
    proc.stdin.flush()
    time.sleep(1.5)  # the command is waiting for more features
    proc.send_signal(signal.SIGTERM)
    assert proc.wait(10) == 143
    proc.stdin.close()
    assert out.read_bytes() == b"old output" and not temporaries(tmp_path)
