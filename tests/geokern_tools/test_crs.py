"""The reference-system table: aliases, definitions, pyproj objects, and
the messages for what it does not know."""
import json

import numpy as np
import pytest

pyproj = pytest.importorskip("pyproj")

import geokern_tools
from geokern_tools import _crs, crs_projjson, crs_wkt


@pytest.mark.parametrize("alias, system, definition", [
    (np.int64(4979), "wgs84", "EPSG:4979"), (" ogc:crs84 ", "wgs84", "OGC:CRS84"),
    ("urn:ogc:def:crs:OGC:1.3:CRS84", "wgs84", "OGC:CRS84"),
    ("urn:ogc:def:crs:EPSG::4978", "ecef", "EPSG:4978"),
    ("http://www.opengis.net/def/crs/EPSG/0/3857", "webmercator", "EPSG:3857"),
    ("GCJ-02", "gcj02", "GEOKERN:GCJ02"), ("wgs84", "wgs84", "EPSG:4326"),
    # Read by pyproj and recognised:
    (pyproj.CRS("OGC:CRS84"), "wgs84", "OGC:CRS84"),
    ("+proj=geocent +datum=WGS84", "ecef", "EPSG:4978"),
    (pyproj.CRS(3857).to_wkt(), "webmercator", "EPSG:3857"),
    # Recognised by the id alone, without pyproj:
    ({"type": "GeographicCRS", "name": "x", "id": {"authority": "EPSG", "code": 4979}},
     "wgs84", "EPSG:4979"),
])
def test_aliases(alias, system, definition):
    assert _crs.resolve(alias) == _crs.Resolved(system, definition)


@pytest.mark.parametrize("key", ["EPSG:4326", "EPSG:4979", "OGC:CRS84", "EPSG:4978", "EPSG:3857",
                                 "GEOKERN:GCJ02", "GEOKERN:BD09"])
def test_definitions_read_back_as_themselves(key):
    projjson, wkt = crs_projjson(key), crs_wkt(key)
    for text in (projjson, json.dumps(projjson), wkt):
        assert _crs.resolve(pyproj.CRS.from_user_input(text)).definition == key
    if not key.startswith("GEOKERN"):  # the stored definitions are PROJ's own
        assert pyproj.CRS(projjson) == pyproj.CRS(key)


@pytest.mark.parametrize("datum", ["gcj02", "bd09"])
def test_china_datums_are_never_taken_for_wgs84(datum):
    crs = pyproj.CRS(crs_projjson(datum))
    assert not crs.equals(pyproj.CRS(4326), ignore_axis_order=True) and crs.to_epsg() is None
    with pytest.raises(pyproj.exceptions.ProjError):
        pyproj.Transformer.from_crs(crs, 4326, always_xy=True).transform(116.4, 39.9)


@pytest.mark.parametrize("crs, error, match", [
    ("²", ValueError, r"unknown reference system '²'; expected one of wgs84"),
    (" 4326x", ValueError, "unknown reference system ' 4326x'"),
    ("EPSG:32650", ValueError, r"unsupported reference system EPSG:32650 \(WGS 84 / UTM zone "
     r"50N\); geokern converts between wgs84"),
    (999999, ValueError, "unknown reference system 999999"),
    ({"type": "GeographicCRS"}, ValueError, "cannot read the reference system"),
    (4326.0, TypeError, "a reference system must be a name, an EPSG code"),
    (True, TypeError, "a reference system must be"),
])
def test_what_it_does_not_know(crs, error, match):
    with pytest.raises(error, match=match):
        _crs.resolve(crs)


def test_without_pyproj_codes_and_ids_still_resolve(monkeypatch):
    monkeypatch.setattr(_crs, "_pyproj", lambda: None)
    assert _crs.crs_name("EPSG:4978") == "ecef"
    assert _crs.crs_name(crs_projjson("gcj02")) == "gcj02"
    with pytest.raises(ValueError, match="without pyproj"):
        _crs.resolve({"type": "GeographicCRS", "name": "Unknown"})
    with pytest.raises(ValueError, match="unknown reference system 'EPSG:32650'"):
        _crs.resolve("EPSG:32650")


def test_exported_names_keep_working():
    assert geokern_tools.CRS_NAMES == ("wgs84", "ecef", "webmercator", "gcj02", "bd09")
    from geokern_tools._convert import crs_name
    assert crs_name("4326") == "wgs84"
