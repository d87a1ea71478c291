"""The reference systems geokern converts between, in one table that
`convert`, the command and the column picker share.

Five systems, each named in lower case and reached through its aliases
(names case-insensitive, blanks around them ignored):

=========== =============================================== ==============
system      aliases                                          columns
=========== =============================================== ==============
wgs84       4326, 4979, EPSG:4326, EPSG:4979, OGC:CRS84      lon, lat[, h]
ecef        4978, EPSG:4978                                  X, Y, Z
webmercator 3857, EPSG:3857                                  x, y[, h]
gcj02       gcj-02, GEOKERN:GCJ02                            lon, lat[, h]
bd09        bd-09, GEOKERN:BD09                              lon, lat[, h]
=========== =============================================== ==============

EPSG and OGC codes are also taken as OGC URNs and URLs
("urn:ogc:def:crs:EPSG::4326", "http://www.opengis.net/def/crs/OGC/1.3/CRS84").
With pyproj installed, anything `pyproj.CRS.from_user_input` reads (a pyproj
CRS, WKT, a PROJ string, PROJJSON) is identified with one of the systems; a
PROJJSON dict whose "id" names one of the codes above needs no pyproj.

Each alias names a definition: the PROJJSON (and WKT2:2019) of the code, as
PROJ 9.9 exports it, kept in reference_systems.json.  A result is labelled
with the definition of the target as given (EPSG:4979 stays EPSG:4979); a
bare system name takes the system's own (wgs84: EPSG:4326).  GCJ-02 and
BD-09 have no EPSG code: their definitions are derived geographic systems
whose base is WGS 84 and whose deriving conversion ("GCJ-02 offset",
"BD-09 offset") PROJ cannot carry out, so a reader that does not know them
refuses to transform them instead of taking them for WGS 84; geokern knows
them again by their id (GEOKERN:GCJ02, GEOKERN:BD09).
"""
from __future__ import annotations

import copy
import functools
import importlib
import json
import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Final

import numpy as np

if TYPE_CHECKING:
    import pyproj

__all__ = ["CRS", "CRS_NAMES", "AXES", "System", "Resolved", "SYSTEMS", "check_source",
           "crs_name", "crs_projjson", "crs_wkt", "describe", "resolve", "supported_text"]

#: A reference system as geokern_tools accepts it: a name, an EPSG code, a
#: definition (PROJJSON dict, WKT or PROJ text) or a pyproj CRS.
type CRS = str | int | np.integer[Any] | Mapping[str, Any] | pyproj.CRS


@dataclass(frozen=True, slots=True)
class System:
    """One of the five systems."""

    name: str
    title: str
    axes: tuple[str, str, str]  # the column names of its coordinates
    three_columns: bool  # coordinates always come as three columns (X, Y, Z)
    geographic: bool  # longitude and latitude in degrees
    definition: str  # the definition a result in this system is labelled with


@dataclass(frozen=True, slots=True)
class Resolved:
    """A reference system as a caller gave it: its system and the definition
    its alias names."""

    system: str
    definition: str


SYSTEMS: Final[dict[str, System]] = {
    "wgs84": System("wgs84", "WGS 84 longitude, latitude (degrees), ellipsoidal height (m)",
                    ("lon", "lat", "h"), False, True, "EPSG:4326"),
    "ecef": System("ecef", "WGS 84 earth-centred earth-fixed X, Y, Z (m)",
                   ("X", "Y", "Z"), True, False, "EPSG:4978"),
    "webmercator": System("webmercator", "Web Mercator x, y (m), ellipsoidal height (m)",
                          ("x", "y", "h"), False, False, "EPSG:3857"),
    "gcj02": System("gcj02", "GCJ-02 longitude, latitude (degrees), ellipsoidal height (m)",
                    ("lon", "lat", "h"), False, True, "GEOKERN:GCJ02"),
    "bd09": System("bd09", "BD-09 longitude, latitude (degrees), ellipsoidal height (m)",
                   ("lon", "lat", "h"), False, True, "GEOKERN:BD09"),
}

CRS_NAMES: tuple[str, ...] = tuple(SYSTEMS)

#: The axis names written for each system's coordinates.
AXES: Final[dict[str, tuple[str, str, str]]] = {name: s.axes for name, s in SYSTEMS.items()}

# Definition -> (system, whether it has a height axis).
_DEFINITIONS: Final[dict[str, tuple[str, bool]]] = {
    "EPSG:4326": ("wgs84", False),
    "OGC:CRS84": ("wgs84", False),
    "EPSG:4979": ("wgs84", True),
    "EPSG:4978": ("ecef", True),
    "EPSG:3857": ("webmercator", False),
    "GEOKERN:GCJ02": ("gcj02", False),
    "GEOKERN:BD09": ("bd09", False),
}

# Lower-case aliases -> definition.
_ALIASES: Final[dict[str, str]] = {
    **{name: s.definition for name, s in SYSTEMS.items()},
    **{key.lower(): key for key in _DEFINITIONS},
    **{key.split(":")[1]: key for key in ("EPSG:4326", "EPSG:4979", "EPSG:4978", "EPSG:3857")},
    "crs84": "OGC:CRS84",
    "gcj-02": "GEOKERN:GCJ02",
    "bd-09": "GEOKERN:BD09",
}

_CODES: Final[dict[int, str]] = {4326: "EPSG:4326", 4979: "EPSG:4979", 4978: "EPSG:4978",
                                 3857: "EPSG:3857"}

# urn:ogc:def:crs:EPSG::4326, urn:ogc:def:crs:OGC:1.3:CRS84,
# http(s)://www.opengis.net/def/crs/EPSG/0/4326
_URN = re.compile(r"urn:ogc:def:crs:(epsg|ogc):[^:]*:(\w+)|"
                  r"https?://www\.opengis\.net/def/crs/(epsg|ogc)/[^/]+/(\w+)", re.ASCII)


def supported_text() -> str:
    """The supported systems and codes, for messages and help texts."""
    return ("wgs84 (EPSG:4326, EPSG:4979, OGC:CRS84), ecef (EPSG:4978), "
            "webmercator (EPSG:3857), gcj02, bd09")


def _unknown(crs: object) -> ValueError:
    return ValueError(f"unknown reference system {crs!r}; expected one of {supported_text()}")


def _unsupported(what: str) -> ValueError:
    return ValueError(f"unsupported reference system {what}; geokern converts between "
                      f"{supported_text()}")


def _from_key(key: str) -> Resolved:
    return Resolved(_DEFINITIONS[key][0], key)


def resolve(crs: CRS | Resolved) -> Resolved:
    """The system and definition that `crs` names.

    TypeError for objects that cannot name a reference system (floats,
    booleans, ...); ValueError for unknown or unsupported ones and for odd
    spellings ("EPSG:", " 4326x", "²"), with the supported systems named.
    """
    if isinstance(crs, Resolved):
        return crs
    if isinstance(crs, str):
        key = _ALIASES.get(crs.strip().lower()) or _from_urn(crs)
        return _from_key(key) if key else _from_text(crs)
    if isinstance(crs, (int, np.integer)) and not isinstance(crs, bool):
        code = int(crs)
        return _from_key(_CODES[code]) if code in _CODES else _from_epsg(code)
    if isinstance(crs, Mapping):
        return _from_projjson(crs)
    if hasattr(crs, "to_json_dict") and hasattr(crs, "to_epsg"):
        return _from_pyproj(crs)
    raise TypeError("a reference system must be a name, an EPSG code, a definition (PROJJSON, "
                    f"WKT) or a pyproj CRS, got {type(crs).__name__}")


def describe(crs: Any) -> str:
    """A short name of a reference system as data carry it: "EPSG:4326" for
    a pyproj CRS or a PROJJSON object with an id, else its name."""
    if hasattr(crs, "to_string"):
        return str(crs.to_string())
    if isinstance(crs, Mapping):
        ident = crs.get("id")
        if isinstance(ident, Mapping):
            return f"{ident.get('authority')}:{ident.get('code')}"
        return repr(crs.get("name", "without a name"))
    return repr(crs)


def check_source(src: CRS | Resolved | None, data_crs: Any, what: str, remedy: str) -> Resolved:
    """The source system of data whose own reference system is `data_crs`
    (None: not known): `src` when given, which must name the same system,
    else the data's.  ValueError when neither is known or when they differ;
    the message names `what` ("the data", "column 'geometry'") and ends with
    `remedy` (how to proceed, with {system} standing for src's system)."""
    if src is None:
        if data_crs is None:
            raise ValueError(f"{what} carries no reference system: give src")
        return resolve(data_crs)
    source = resolve(src)
    if data_crs is None:
        return source
    try:
        own: str | None = resolve(data_crs).system
    except ValueError:
        own = None
    if own != source.system:
        raise ValueError(f"src {src!r} is {source.system}, but the reference system of {what} is "
                         f"{describe(data_crs)}{f' ({own})' if own else ''}: "
                         + remedy.format(system=source.system))
    return source


def crs_name(crs: CRS | Resolved) -> str:
    """The canonical name of `crs` ("wgs84", "ecef", ...); see resolve()."""
    return resolve(crs).system


def crs_projjson(crs: CRS | Resolved) -> dict[str, Any]:
    """The PROJJSON definition (a new dict) of the reference system `crs`:
    of the code it names, or of the system's own definition for a bare name
    (wgs84: EPSG:4326).  `crs_projjson("gcj02")` labels GCJ-02 data, e.g.
    ``gdf.set_crs(crs_projjson("gcj02"), allow_override=True)``."""
    return copy.deepcopy(_definitions()[resolve(crs).definition]["projjson"])


def crs_wkt(crs: CRS | Resolved) -> str:
    """The WKT2:2019 definition of the reference system `crs` (see
    crs_projjson)."""
    text: str = _definitions()[resolve(crs).definition]["wkt"]
    return text


def height_axis(resolved: Resolved) -> bool:
    """Whether the definition has a height (or third) axis: EPSG:4979 and
    EPSG:4978 do, the two-dimensional ones do not."""
    return _DEFINITIONS[resolved.definition][1]


def pyproj_crs(resolved: Resolved) -> pyproj.CRS:
    """The definition as a pyproj CRS (made once per definition); needs
    pyproj."""
    return _pyproj_crs(resolved.definition)


@functools.cache
def _pyproj_crs(key: str) -> pyproj.CRS:
    import pyproj

    # By code where PROJ has one, so that the CRS shows as "EPSG:3857".
    if key.startswith(("EPSG:", "OGC:")):
        return pyproj.CRS.from_user_input(key)
    return pyproj.CRS.from_json_dict(_definitions()[key]["projjson"])


@functools.cache
def _definitions() -> dict[str, dict[str, Any]]:
    with open(Path(__file__).with_name("reference_systems.json"), encoding="utf-8") as f:
        loaded: dict[str, dict[str, Any]] = json.load(f)
    return loaded


def _from_urn(text: str) -> str | None:
    m = _URN.fullmatch(text.strip().lower())
    if not m:
        return None
    authority, code = (m.group(1), m.group(2)) if m.group(1) else (m.group(3), m.group(4))
    return _ALIASES.get(f"{authority}:{code}")


def _pyproj() -> Any:
    try:
        return importlib.import_module("pyproj")
    except ImportError:
        return None


def _from_text(text: str) -> Resolved:
    """A definition in text (WKT, a PROJ string, an authority code) read by
    pyproj where it is installed."""
    pyproj = _pyproj()
    if pyproj is None or not text.strip():
        raise _unknown(text)
    try:
        parsed = pyproj.CRS.from_user_input(text)
    except (pyproj.exceptions.CRSError, ValueError, TypeError):
        raise _unknown(text) from None
    return _from_pyproj(parsed, text)


def _from_epsg(code: int) -> Resolved:
    pyproj = _pyproj()
    if pyproj is not None:
        try:
            return _from_pyproj(pyproj.CRS.from_epsg(code), f"EPSG:{code}")
        except pyproj.exceptions.CRSError:
            pass
    raise _unknown(code)


def _id_key(projjson: Mapping[str, Any]) -> str | None:
    """The definition that the "id" (or first of the "ids") of a PROJJSON
    object names, if it is in the table."""
    ident = projjson.get("id")
    if ident is None:
        ids = projjson.get("ids")
        ident = ids[0] if isinstance(ids, list) and ids else None
    if not isinstance(ident, Mapping):
        return None
    key = f"{ident.get('authority')}:{ident.get('code')}"
    return key if key in _DEFINITIONS else None


def _from_projjson(projjson: Mapping[str, Any]) -> Resolved:
    key = _id_key(projjson)
    if key:
        return _from_key(key)
    pyproj = _pyproj()
    name = projjson.get("name", "without a name")
    if pyproj is None:
        raise ValueError(f"cannot identify the reference system {name!r} without pyproj: its "
                         "definition carries no id naming one of "
                         f"{supported_text()}")
    try:
        parsed = pyproj.CRS.from_json_dict(dict(projjson))
    except (pyproj.exceptions.CRSError, ValueError, TypeError):
        raise ValueError(f"cannot read the reference system {name!r}: not a valid PROJJSON "
                         "definition") from None
    return _from_pyproj(parsed)


def _from_pyproj(crs: Any, given: str | None = None) -> Resolved:
    """The table's system that the pyproj CRS `crs` is: by its id, by
    equality with one of the definitions (axis order aside), or by the EPSG
    code PROJ finds for it."""
    key = _id_key(crs.to_json_dict())
    if key:
        return _from_key(key)
    for candidate in _DEFINITIONS:
        if crs.equals(_pyproj_crs(candidate), ignore_axis_order=True):
            return _from_key(candidate)
    code = crs.to_epsg()
    if code in _CODES:
        return _from_key(_CODES[code])
    authority = crs.to_authority()
    what = f"{authority[0]}:{authority[1]}" if authority else repr(given or crs.name)
    raise _unsupported(f"{what} ({crs.name})" if crs.name and crs.name != "unknown" else what)
