"""Converts a few city coordinates with geokern and prints what it finds.

Usage: python examples/convert_cities.py [cities.csv]
The CSV has the columns name, lon, lat, height (degrees, degrees, metres).
"""

import csv
import pathlib
import sys

import numpy as np

import geokern

DEFAULT = pathlib.Path(__file__).parent / "data" / "cities.csv"


def main(path):
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    geodetic = np.array([[float(r["lon"]), float(r["lat"]), float(r["height"])] for r in rows])
    ecef = geokern.geodetic2ecef_fast_array(geodetic)
    back = geokern.ecef2geodetic_nparray_cy(ecef, np.eye(3), True)
    assert np.abs(back - geodetic).max() < 1e-6, back

    print(f"geokern {geokern.__version__}: {len(rows)} positions from {path}")
    print(f"{'name':<14}{'X m':>16}{'Y m':>16}{'Z m':>16}{'merc x m':>16}{'merc y m':>16}"
          f"  GCJ-02 (inside China)")
    for row, (lon, lat, h), xyz in zip(rows, geodetic, ecef):
        scalar = geokern.geodetic2ecef_cpp(lon, lat, h)
        assert np.allclose(scalar, xyz, rtol=0, atol=1e-6), (row["name"], scalar, xyz)
        x, y, _ = geokern.geodetic_to_web_mercator_cpp(lon, lat, h)
        back = geokern.web_mercator_to_geodetic_cpp(x, y, h)
        assert abs(back[0] - lon) < 1e-9 and abs(back[1] - lat) < 1e-9, (row["name"], back)
        china = "-"
        if not geokern.out_of_china_cpp(lon, lat):
            g_lon, g_lat = geokern.wgs84_to_gcj02_cy(lon, lat)
            china = f"{g_lon:.6f}, {g_lat:.6f}"
        print(f"{row['name']:<14}{xyz[0]:>16.3f}{xyz[1]:>16.3f}{xyz[2]:>16.3f}"
              f"{x:>16.3f}{y:>16.3f}  {china}")
    print("scalar and batch ECEF agree within 1e-6 m; ECEF and Web Mercator round trips hold")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else DEFAULT)
