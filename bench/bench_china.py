"""China offset datums: per-call cost of the six conversions and the box
test, and each as a multiple of the empty function with two arguments.

The peer is the same arithmetic written in plain Python, the way small
pure-Python datum helpers compute it, with the same box test: the tests'
reference formulas (tests/shared.py).
"""
import math

import geokern
from timing import floor_time, per_call, print_rows, row
from shared import bd09_to_gcj02, gcj02_shift, gcj02_to_bd09, inside_china  # tests/shared.py, on the path through timing



def wgs84_to_gcj02(lon, lat):
    if not inside_china(lon, lat):
        return [lon, lat]
    return gcj02_shift(lon, lat)


def gcj02_to_wgs84(lon, lat):
    mlon, mlat = wgs84_to_gcj02(lon, lat)
    return [lon * 2 - mlon, lat * 2 - mlat]


def wgs84_to_bd09(lon, lat):
    return gcj02_to_bd09(*wgs84_to_gcj02(lon, lat))


def bd09_to_wgs84(lon, lat):
    return gcj02_to_wgs84(*bd09_to_gcj02(lon, lat))


PEERS = {"wgs84_to_gcj02": wgs84_to_gcj02, "gcj02_to_wgs84": gcj02_to_wgs84,
         "wgs84_to_bd09": wgs84_to_bd09, "bd09_to_wgs84": bd09_to_wgs84,
         "gcj02_to_bd09": gcj02_to_bd09, "bd09_to_gcj02": bd09_to_gcj02}


def out_of_china(lon, lat):
    return not inside_china(lon, lat)


def rows():
    result = []
    floor = floor_time((116.4, 39.9))
    for where, point in [("inside China", (116.4, 39.9)), ("outside China", (2.35, 48.85))]:
        result.append(row("out_of_china_cpp", per_call(geokern.out_of_china_cpp, point),
                          [("same test in plain Python", per_call(out_of_china, point))],
                          note=where, floor=floor))
        for name, peer in PEERS.items():
            ours = getattr(geokern, name + "_cy")
            # Same numbers up to the last bits, so both sides do the same work.
            assert all(math.isclose(a, b, rel_tol=1e-12) for a, b in zip(ours(*point), peer(*point)))
            result.append(row(f"{name}_cy", per_call(ours, point),
                              [("same formulas in plain Python",
                                per_call(peer, point, number=50_000))], note=where,
                              floor=floor))
    return result


if __name__ == "__main__":
    print_rows(rows())
