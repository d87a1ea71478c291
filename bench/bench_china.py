"""China offset datums: per-call cost of the six conversions.

The peer is the same arithmetic written in plain Python, the way small
pure-Python datum helpers compute it, with the same box test.
"""
import math

import geokern
from timing import per_call, report

A, EE, PI = 6378245.0, 0.006693421622965943, 3.141592653589793


def out_of_china(lon, lat):
    return not (73.66 <= lon <= 135.05 and 3.86 <= lat <= 53.55)


def transform_lat(x, y):
    ret = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * math.sqrt(abs(x))
    ret += (20.0 * math.sin(6.0 * x * PI) + 20.0 * math.sin(2.0 * x * PI)) * 2.0 / 3.0
    ret += (20.0 * math.sin(y * PI) + 40.0 * math.sin(y / 3.0 * PI)) * 2.0 / 3.0
    ret += (160.0 * math.sin(y / 12.0 * PI) + 320.0 * math.sin(y * PI / 30.0)) * 2.0 / 3.0
    return ret


def transform_lon(x, y):
    ret = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * math.sqrt(abs(x))
    ret += (20.0 * math.sin(6.0 * x * PI) + 20.0 * math.sin(2.0 * x * PI)) * 2.0 / 3.0
    ret += (20.0 * math.sin(x * PI) + 40.0 * math.sin(x / 3.0 * PI)) * 2.0 / 3.0
    ret += (150.0 * math.sin(x / 12.0 * PI) + 300.0 * math.sin(x / 30.0 * PI)) * 2.0 / 3.0
    return ret


def wgs84_to_gcj02(lon, lat):
    if out_of_china(lon, lat):
        return [lon, lat]
    dlat = transform_lat(lon - 105.0, lat - 35.0)
    dlon = transform_lon(lon - 105.0, lat - 35.0)
    radlat = lat / 180.0 * PI
    magic = 1 - EE * math.sin(radlat) ** 2
    sqrtmagic = math.sqrt(magic)
    dlat = (dlat * 180.0) / ((A * (1 - EE)) / (magic * sqrtmagic) * PI)
    dlon = (dlon * 180.0) / (A / sqrtmagic * math.cos(radlat) * PI)
    return lon + dlon, lat + dlat


def gcj02_to_wgs84(lon, lat):
    mlon, mlat = wgs84_to_gcj02(lon, lat)
    return [lon * 2 - mlon, lat * 2 - mlat]


def gcj02_to_bd09(lon, lat):
    z = math.sqrt(lon * lon + lat * lat) + 0.00002 * math.sin(lat * PI)
    theta = math.atan2(lat, lon) + 0.000003 * math.cos(lon * PI)
    return [z * math.cos(theta) + 0.0065, z * math.sin(theta) + 0.006]


def bd09_to_gcj02(lon, lat):
    x, y = lon - 0.0065, lat - 0.006
    z = math.sqrt(x * x + y * y) - 0.00002 * math.sin(y * PI)
    theta = math.atan2(y, x) - 0.000003 * math.cos(x * PI)
    return [z * math.cos(theta), z * math.sin(theta)]


def wgs84_to_bd09(lon, lat):
    return gcj02_to_bd09(*wgs84_to_gcj02(lon, lat))


def bd09_to_wgs84(lon, lat):
    return gcj02_to_wgs84(*bd09_to_gcj02(lon, lat))


PEERS = {"wgs84_to_gcj02": wgs84_to_gcj02, "gcj02_to_wgs84": gcj02_to_wgs84,
         "wgs84_to_bd09": wgs84_to_bd09, "bd09_to_wgs84": bd09_to_wgs84,
         "gcj02_to_bd09": gcj02_to_bd09, "bd09_to_gcj02": bd09_to_gcj02}


def main():
    for where, point in [("inside China", (116.4, 39.9)), ("outside China", (2.35, 48.85))]:
        for name, peer in PEERS.items():
            ours = getattr(geokern, name + "_cy")
            # Same numbers up to the last bits, so both sides do the same work.
            assert all(math.isclose(a, b, rel_tol=1e-12) for a, b in zip(ours(*point), peer(*point)))
            report(f"{name}_cy, {where}", per_call(ours, point),
                   [("same formulas in plain Python", per_call(peer, point, number=50_000))])


if __name__ == "__main__":
    main()
