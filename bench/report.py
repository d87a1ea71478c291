"""Every benchmark in one report: geokern against its peers, against a plain
copy of the same bytes (batches) or an empty function (scalar entry
points), its parallel batches on one thread and on all, on a quiet machine
and with one core kept busy by a spinning process, the peak extra memory
of every batch against its result, and where a batch's time goes on one
thread and on two.

Prints one table and writes it as report.json and report.png into --out.
The thread timings run in a fresh process (OMP_NUM_THREADS unset) that
times every batch on one thread and on the default count in turn, setting
the count through the OpenMP runtime between calls: the machine may be
shared, and a busy moment then costs both counts alike.

Usage: python bench/report.py [--out DIR]
"""
import argparse
import contextlib
import datetime
import json
import os
import pathlib
import platform
import subprocess
import sys
import time

import bench_china
import bench_city
import bench_cli
import bench_ecef
import bench_geo
import bench_geo_cli
import bench_memory
import bench_mesh
import bench_models
import bench_obb
import bench_threads
import report_table
from timing import fresh_pages

import geokern

CLI_ROWS = 1_000_000


def batch_times():
    """Best time of every parallel batch in this process on one thread and on
    the default thread count, timed in turn: {"one": {name: s}, "all": ...}.
    On a shared machine a busy moment then costs both counts alike."""
    calls = {**bench_ecef.batches(bench_ecef.inputs()), **bench_mesh.batches(bench_mesh.inputs())}
    default = bench_threads.default_threads()
    best = bench_threads.in_turns({name: (lambda _, c=call: c(), 1, 1)
                                   for name, call in calls.items()},
                                  bench_threads.omp_threads, repeat=9, counts=(1, default),
                                  before=fresh_pages)
    return {"one": best["1"], "all": best[str(default)]}


def batch_times_in_child():
    """batch_times() in a fresh process, OMP_NUM_THREADS unset."""
    env = dict(os.environ)
    env.pop("OMP_NUM_THREADS", None)
    result = subprocess.run([sys.executable, __file__, "--batch-times"], env=env, check=True,
                            stdout=subprocess.PIPE, text=True)
    return json.loads(result.stdout)


@contextlib.contextmanager
def busy_core():
    """One process spinning on a core for the length of the block; it is
    killed however the block ends."""
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.2)
        yield
    finally:
        spinner.kill()
        spinner.wait()


def thread_timings():
    quiet = batch_times_in_child()
    with busy_core():
        busy = batch_times_in_child()
    return {name: {"one": quiet["one"][name], "all": quiet["all"][name],
                   "busy_one": busy["one"][name], "busy_all": busy["all"][name]}
            for name in quiet["one"]}


def section(title, measure):
    print(f"== {title}", file=sys.stderr, flush=True)
    start = time.perf_counter()
    result = measure()
    print(f"   {time.perf_counter() - start:.0f} s", file=sys.stderr, flush=True)
    return result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default="bench-report", help="folder of report.json and "
                        "report.png (default: bench-report)")
    parser.add_argument("--batch-times", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.batch_times:
        print(json.dumps(batch_times()))
        return

    load_before = os.getloadavg()[0]
    rows = (section("earth-centred and Web Mercator", bench_ecef.rows)
            + section("mesh normals", bench_mesh.rows)
            # The line-by-line Python reader alone would take most of the run.
            + section("footprint boxes", lambda: bench_obb.rows(python_reader=False))
            + section("building models: local frames, OBJ to GLB", bench_models.rows)
            + section("a city of 10 000 buildings to a tileset", bench_city.rows)
            + section("China datums", bench_china.rows)
            + section("geometries and GeoParquet tables", bench_geo.rows)
            + section("geokern convert", lambda: bench_cli.measure(CLI_ROWS, repeat=2))
            + section("geokern convert on GeoParquet", bench_geo_cli.rows))
    threads = section("thread scaling, quiet and with one core busy", thread_timings)
    memory = section("peak extra memory, a fresh process per function", bench_memory.rows)
    memory.append(section("peak memory of geokern convert on GeoParquet",
                           bench_geo_cli.memory_line))
    analysis = section("where a batch's time goes on one and two threads",
                       bench_threads.measure_in_child)
    report = report_table.build(rows, threads, memory)
    context = {"geokern": geokern.__version__, "python": platform.python_version(),
               "machine": platform.machine(), "cpus": os.cpu_count(),
               "date": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
               "load_average_1min": [load_before, os.getloadavg()[0]]}
    # Other processes on the machine change every figure; the load average
    # before and after the run tells a reader whether it was quiet.
    print(f"geokern {context['geokern']}, {context['cpus']} CPUs, {context['date']}; "
          f"load average {load_before:.2f} before the run, {os.getloadavg()[0]:.2f} after; "
          "best of several repeats, one report run")
    print(report_table.format_text(report))
    print()
    print(bench_threads.format_text(analysis))
    out = pathlib.Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    report_table.write_json(report, out / "report.json", thread_analysis=analysis, **context)
    report_table.plot(report, out / "report.png")
    print(f"wrote {out / 'report.json'} and {out / 'report.png'}")


if __name__ == "__main__":
    main()
