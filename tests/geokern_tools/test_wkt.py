"""WKT text converted line by line or as a column: full precision, named
errors, SRID prefixes."""
import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
shapely = pytest.importorskip("shapely")

from geokern_tools import _wkt, convert

TEXTS = ["POINT (116.4 39.9)", "LINESTRING Z (116 39 1, 117 40 2)", None, "POINT EMPTY",
         "POINT M (1 2 3)", "POLYGON ((0 0, 1 0, 1 1, 0 0))"]


@pytest.mark.parametrize("dst", ["ecef", "webmercator", "gcj02"])
def test_texts_convert_as_their_geometries_do(dst):
    got = _wkt.convert_wkt(TEXTS, "wgs84", dst)
    want = convert(np.array([None if t is None else shapely.from_wkt(t) for t in TEXTS]),
                   "wgs84", dst)
    assert got[2] is None
    # Written in full: read back, the geometries are the same to the bit.
    back = np.array([None if t is None else shapely.from_wkt(t) for t in got])
    assert shapely.equals_exact(back[[0, 1, 4, 5]], want[[0, 1, 4, 5]], 0).all()
    assert (shapely.get_coordinates(back[4], include_m=True)[:, -1] == 3).all()
    column = _wkt.convert_wkt_column(pa.array(TEXTS), "wgs84", dst)
    assert column.to_pylist() == list(got)


@pytest.mark.parametrize("texts, src, match", [
    (["POINT (1 2)", "POINT (1"], "wgs84", r"input: line 12: not a WKT geometry \('POINT \(1'\)"),
    (["POINT (1 2)", "  "], "wgs84", "input: line 12: no WKT geometry"),
    (["POINT (1 2)"], "ecef", "input: line 11: ecef geometries must be 3-D"),
    (["SRID=4326;POINT (1 2)", "POINT (1 2)"], None, "line 12: every text must have the same"),
    (["SRID=3857;POINT (1 2)"], "wgs84", r"of input \(its SRID\) is 'EPSG:3857'"),
    (["POINT (1 2)"], None, "carries no reference system: give src"),
])
def test_bad_text_is_named_by_line(texts, src, match):
    with pytest.raises(ValueError, match=match):
        _wkt.convert_wkt(texts, src, "ecef", first=11)


def test_srid_prefix_stands_for_src_and_is_written_back():
    assert _wkt.convert_wkt(["SRID=4326;POINT (0 0)"], None, 3857)[0].startswith(
        "SRID=3857;POINT (0 ")
    assert _wkt.convert_wkt(["srid=4326; POINT (0 0)"], "wgs84", "gcj02")[0] == "POINT (0 0)"
