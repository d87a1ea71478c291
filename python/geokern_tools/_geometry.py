"""`convert` for geometries: shapely geometries and object arrays of them,
GeoPandas GeometryArrays, GeoSeries and GeoDataFrames.

Every geometry type converts (points, lines, polygons with holes, Multi*,
collections, and the curved and surface types WKB knows), each coordinate
as `convert` converts a point.  Missing geometries (None) stay missing and
empty ones empty; a geometry keeps its dimensions (2-D stays 2-D, 3-D stays
3-D, M values are kept as they are), except that ECEF results are always
3-D: a 2-D geometry goes to ECEF at height 0.  ECEF geometries must be 3-D.
A GeoDataFrame keeps its index and every other column (a copy, as
`to_crs` gives); its active geometry column is converted.  The result's
CRS is the target's definition (geokern_tools._crs), also for GCJ-02 and
BD-09.

The data's own CRS (`.crs` of a GeoSeries, GeoDataFrame or GeometryArray)
is the source when `src` is None; a `src` naming another system is an
error, and so is a missing `src` for data without a CRS.

How the coordinates travel: shapely's vectorised get_coordinates, geokern's
batches, and new geometries built straight from the converted coordinates
and their offsets (shapely.points, from_ragged_array) where every geometry
is a point, a line or a polygon without holes, of one type and dimension,
none empty; building them is cheaper than set_coordinates' clone-and-write.
Other arrays go through set_coordinates on a copy, which keeps each
geometry's dimensions.  Writing WKB (to_wkb, the native rewrite, from_wkb)
costs more than either and is taken only where they cannot go: M values
(set_coordinates drops them) and ECEF results of 2-D geometries or
collections (whose parts may be 2-D).  bench/bench_geo.py measures the
result against GeoDataFrame.to_crs.
"""
from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from geokern_tools._convert import convert_xyz
from geokern_tools._crs import CRS, Resolved, check_source, pyproj_crs, resolve

__all__ = ["convert_geo", "convert_geometries"]

_POINT, _LINESTRING, _POLYGON, _COLLECTION = 0, 1, 3, 7


def convert_geo(data: Any, src: CRS | None, dst: CRS, china_inverse: str) -> Any:
    """`data` (a geometry, an array of geometries, a GeometryArray, GeoSeries
    or GeoDataFrame) with its coordinates converted, as the same kind."""
    target = resolve(dst)
    source = _source(data, src)
    kind = type(data).__name__
    module = type(data).__module__
    if module.startswith("geopandas"):
        import geopandas

        if isinstance(data, geopandas.GeoDataFrame):
            return _frame(data, source, target, china_inverse)
        if isinstance(data, geopandas.GeoSeries):
            values = convert_geometries(np.asarray(data.values), source.system, target.system,
                                        china_inverse)
            return geopandas.GeoSeries(values, index=data.index, name=data.name,
                                       crs=pyproj_crs(target))
        if kind == "GeometryArray":
            values = convert_geometries(np.asarray(data), source.system, target.system,
                                        china_inverse)
            return geopandas.array.from_shapely(values, crs=pyproj_crs(target))
        raise TypeError(f"cannot convert a {kind}: expected geometries, a GeoSeries or a "
                        "GeoDataFrame")
    if module.startswith("shapely"):
        single = np.empty(1, dtype=object)
        single[0] = data
        return convert_geometries(single, source.system, target.system, china_inverse)[0]
    arr = np.asarray(data, dtype=object)
    return convert_geometries(arr.ravel(), source.system, target.system,
                              china_inverse).reshape(arr.shape)


def _source(data: Any, src: CRS | None) -> Resolved:
    """The source system: `src`, checked against the data's CRS, or the
    data's CRS."""
    return check_source(src, getattr(data, "crs", None), "the data",
                        "leave src out to convert from the data's own, or, if the coordinates "
                        "really are {system}, relabel them first with data.set_crs("
                        "geokern_tools.crs_projjson('{system}'), allow_override=True)")


def _frame(frame: Any, source: Resolved, target: Resolved, china_inverse: str) -> Any:
    import geopandas

    column = frame.geometry
    values = convert_geometries(np.asarray(column.values), source.system, target.system,
                                china_inverse)
    out = frame.copy()
    out[column.name] = geopandas.GeoSeries(values, index=frame.index, name=column.name,
                                           crs=pyproj_crs(target))
    return out


def convert_geometries(geoms: npt.NDArray[np.object_], src: str, dst: str,
                       china_inverse: str = "iterative") -> npt.NDArray[np.object_]:
    """A new one-dimensional object array: the geometries of `geoms` (shapely
    geometries or None) converted between the systems named `src` and `dst`."""
    import shapely

    geoms = np.asarray(geoms, dtype=object)
    types = shapely.get_type_id(geoms)  # -1 for a missing geometry
    present = types >= 0
    everywhere = bool(present.all())
    if not everywhere:
        geoms, types = geoms[present], types[present]
    converted = _convert_present(shapely, geoms, types, src, dst, china_inverse,
                                 np.flatnonzero(present))
    if everywhere:
        return converted
    out = np.empty(len(present), dtype=object)
    out[present] = converted
    return out


def _convert_present(shapely: Any, geoms: npt.NDArray[np.object_], types: npt.NDArray[Any],
                     src: str, dst: str, china_inverse: str,
                     rows: npt.NDArray[np.intp]) -> npt.NDArray[np.object_]:
    """The conversion of geometries none of which is missing; `rows` are
    their places in the caller's array, for messages."""
    if len(geoms) == 0:
        return geoms.copy()
    has_z = shapely.has_z(geoms)
    counts = shapely.get_num_coordinates(geoms)
    if src == "ecef":
        flat = ~has_z & (counts > 0)
        if flat.any():
            at = int(np.argmax(flat))
            raise ValueError(f"geometry {rows[at]}: ecef geometries must be 3-D (X, Y, Z), got "
                             f"{shapely.to_wkt(geoms[at], rounding_precision=-1)}")
    if shapely.has_m(geoms).any():
        return _by_wkb(shapely, geoms, src, dst, china_inverse)
    first = int(types[0])
    all_z = bool(has_z.all())
    uniform = ((all_z or not has_z.any()) and bool((types == first).all())
               and bool((counts > 0).all()))
    if uniform and first in (_POINT, _LINESTRING, _POLYGON) and (
            first != _POLYGON or not shapely.get_num_interior_rings(geoms).any()):
        return _by_offsets(shapely, geoms, first, all_z, counts, src, dst, china_inverse)
    if dst == "ecef" and not (all_z and not (types == _COLLECTION).any()):
        return _by_wkb(shapely, geoms, src, dst, china_inverse)
    coords = shapely.get_coordinates(geoms, include_z=True)
    result = convert_xyz(coords, src, dst, china_inverse)
    converted: npt.NDArray[np.object_] = shapely.set_coordinates(geoms.copy(), result)
    return converted


def _by_offsets(shapely: Any, geoms: npt.NDArray[np.object_], type_id: int, has_z: bool,
                counts: npt.NDArray[Any], src: str, dst: str,
                china_inverse: str) -> npt.NDArray[np.object_]:
    """Points, lines, or polygons without holes, all of one dimension and
    none empty: new geometries built from the converted coordinates."""
    coords = shapely.get_coordinates(geoms, include_z=has_z)
    result = convert_xyz(coords, src, dst, china_inverse)
    if type_id == _POINT:
        points: npt.NDArray[np.object_] = shapely.points(result)
        return points
    ends = np.zeros(len(geoms) + 1, dtype=np.int64)
    np.cumsum(counts, out=ends[1:])
    if type_id == _LINESTRING:
        offsets: tuple[npt.NDArray[np.int64], ...] = (ends,)
        kind = shapely.GeometryType.LINESTRING
    else:
        offsets = (ends, np.arange(len(geoms) + 1, dtype=np.int64))
        kind = shapely.GeometryType.POLYGON
    built: npt.NDArray[np.object_] = shapely.from_ragged_array(kind, result, offsets)
    return built


def _by_wkb(shapely: Any, geoms: npt.NDArray[np.object_], src: str, dst: str,
            china_inverse: str) -> npt.NDArray[np.object_]:
    """Any geometries, through their WKB: M values kept, 2-D parts at height
    0 and written 3-D for ECEF."""
    from geokern_tools import _wkb

    blobs = shapely.to_wkb(geoms, flavor="iso", output_dimension=4)
    data, offsets = _wkb.pack(blobs)
    new_offsets, new_data = _wkb.convert_blobs(data, offsets, None, src, dst, china_inverse)
    # NaN coordinates are no error: GEOS's arithmetic on them sets the
    # floating-point flags that numpy would otherwise warn about.
    with np.errstate(invalid="ignore"):
        rebuilt: npt.NDArray[np.object_] = shapely.from_wkb(_wkb.unpack(new_data, new_offsets))
    return rebuilt

