"""`geokern convert` on GeoParquet files, a fresh process each run.

- 1 000 000 3-D points (WKB, EPSG:4979, with an id column) converted to
  ECEF into a GeoParquet file; the peer is GeoPandas in one process:
  read_parquet, to_crs(4978), to_parquet, as a GeoPandas user would write
  it.  The two are run in turn, round after round.
- The peak resident memory of the command on 10 000 000 such points,
  against the size the file's columns take in memory (Arrow): the command
  streams row-group batches, so its peak must stay far below that.

Usage: python bench/bench_geo_cli.py [--points N] [--memory-points N]
"""
import argparse
import json
import os
import sys
import tempfile

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import shapely

import bench_memory
from bench_cli import best_in_turn, geokern_command, run
from timing import print_rows, row

POINTS = 1_000_000
MEMORY_POINTS = 10_000_000
MEMORY_BOUND = 400 << 20
_GEO = {"version": "1.1.0", "primary_column": "geometry",
        "columns": {"geometry": {"encoding": "WKB", "geometry_types": ["Point Z"],
                                 "crs": None}}}


def write_points(path, n, part=1_000_000):
    """A GeoParquet file of `n` random 3-D points and an id, written a part
    at a time (row groups of `part`), so that making it stays small."""
    import pyproj

    geo = dict(_GEO)
    geo["columns"] = {"geometry": {**_GEO["columns"]["geometry"],
                                   "crs": pyproj.CRS.from_epsg(4979).to_json_dict()}}
    schema = pa.schema([("id", pa.int64()), ("geometry", pa.binary())],
                       metadata={"geo": json.dumps(geo)})
    rng = np.random.default_rng(0)
    with pq.ParquetWriter(path, schema) as writer:
        for start in range(0, n, part):
            k = min(part, n - start)
            xyz = np.column_stack([rng.uniform(-180, 180, k), rng.uniform(-85, 85, k),
                                   rng.uniform(-100, 3000, k)])
            wkb = shapely.to_wkb(shapely.points(xyz), flavor="iso")
            writer.write_table(pa.table({"id": np.arange(start, start + k),
                                         "geometry": pa.array(wkb, pa.binary())}, schema=schema))


PEER = ("import sys, geopandas as gpd; "
        "gpd.read_parquet(sys.argv[1]).to_crs(4978).to_parquet(sys.argv[2])")


def rows(points=POINTS, repeat=2):
    gk = geokern_command()
    with tempfile.TemporaryDirectory() as folder:
        src = os.path.join(folder, "points.parquet")
        write_points(src, points)
        t = best_in_turn({
            "ours": [gk, "convert", "--to", "ecef", src, "-o", os.path.join(folder, "a.parquet")],
            "peer": [sys.executable, "-c", PEER, src, os.path.join(folder, "b.parquet")],
        }, repeat)
    return [row("geokern convert GeoParquet", t["ours"],
                [("GeoPandas read_parquet, to_crs, to_parquet", t["peer"])],
                note=f"{points:,} 3-D points to ECEF, a process each".replace(",", " "))]


# The command's own high-water mark (VmHWM).  The rusage of a child counts
# the memory of the process it was forked from (Linux carries it over the
# exec), which here holds the points just made.
_PEAK = ("import sys\nfrom geokern_tools.cli import main\nstatus = main(sys.argv[2:])\n"
         "hwm = next(l for l in open('/proc/self/status') if l.startswith('VmHWM'))\n"
         "open(sys.argv[1], 'w').write(hwm.split()[1])\nsys.exit(status)")


def command_peak(args, folder):
    """Peak resident memory (bytes) of one run of `geokern ARGS...`."""
    record = os.path.join(folder, "peak")
    run([sys.executable, "-c", _PEAK, record, *args])
    with open(record) as f:
        return int(f.read()) * 1024


def memory_line(points=MEMORY_POINTS):
    """The command's peak resident memory on `points` points, as a line of
    the report's memory table: nothing of the result stays in memory, so the
    whole peak is held to the bound."""
    gk = geokern_command()
    with tempfile.TemporaryDirectory() as folder:
        src = os.path.join(folder, "points.parquet")
        write_points(src, points)
        arrow = points * (8 + 29 + 4)  # an int64, a WKB point Z and its offset a row
        peak = command_peak(["convert", "--to", "ecef", src, "-o",
                             os.path.join(folder, "ecef.parquet")], folder)
    line = bench_memory.judge({"function": "geokern convert GeoParquet (process)", "n": points,
                               "result": 0, "interface": 0, "rss_extra": peak,
                               "traced_extra": 0}, MEMORY_BOUND)
    line["arrow_bytes"] = arrow
    return line


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=int, default=POINTS)
    parser.add_argument("--memory-points", type=int, default=MEMORY_POINTS)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    print_rows(rows(args.points, args.repeat))
    if args.memory_points:
        m = memory_line(args.memory_points)
        print(f"peak resident memory on {args.memory_points} points: "
              f"{m['rss_extra'] / 2**20:.0f} MiB (the columns take "
              f"{m['arrow_bytes'] / 2**20:.0f} MiB in memory; bound "
              f"{MEMORY_BOUND >> 20} MiB: {'met' if m['met'] else 'NOT MET'})")


if __name__ == "__main__":
    main()
