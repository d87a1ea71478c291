"""The `geokern convert` command end to end against the classic projection
command-line tool (`cs2cs`, with `-f %.17g` so that it prints every digit).

Measures, each as the best of a few runs of a fresh process:
- geodetic -> ECEF on a 1 000 000-row blank-separated text file, text out;
- the same rows as Parquet in and out, against the text run of cs2cs (which
  reads and writes text only: the job a user would otherwise script);
- a CSV of the same rows with a quoted text column (names holding commas
  and quotes) against the same CSV unquoted, CSV out; the two runs are
  timed in turn, round after round;
- the peak resident memory of `geokern convert` on a 10 000 000-row CSV.

Usage: python bench/bench_cli.py [--rows N] [--memory-rows N]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pcsv
import pyarrow.parquet as pq

from timing import print_rows, row

CS2CS = ["cs2cs", "-f", "%.17g", "+proj=longlat", "+datum=WGS84", "+to",
         "+proj=geocent", "+datum=WGS84"]


def geokern_command():
    return shutil.which("geokern") or os.path.join(os.path.dirname(sys.executable), "geokern")


def positions(rows, seed=1):
    rng = np.random.default_rng(seed)
    lon = np.round(rng.uniform(-180, 180, rows), 7)
    lat = np.round(np.degrees(np.arcsin(rng.uniform(-0.99, 0.99, rows))), 7)
    h = np.round(rng.uniform(-100, 4000, rows), 3)
    return pa.table({"lon": lon, "lat": lat, "h": h})


def write_text(table, path, delimiter=" ", header=False):
    pcsv.write_csv(table, path, pcsv.WriteOptions(include_header=header, delimiter=delimiter))


NAMES = ['"Station, north exit"', '"Old ""town"" hall"', '"Harbour"', '"Park; east gate"']


def write_named(table, path, quoted):
    """The rows as CSV with an id and a name column before the coordinates;
    the names quoted as a spreadsheet writes them, or bare without the
    characters that need quotes."""
    names = np.array(NAMES if quoted else
                     [n.strip('"').replace('""', "").replace(",", "") for n in NAMES])
    columns = [pc.cast(pa.array(np.arange(table.num_rows)), pa.string()),
               pa.array(names[np.arange(table.num_rows) % len(names)])]
    columns += [pc.cast(table.column(c), pa.string()) for c in table.column_names]
    lines = pc.binary_join_element_wise(*columns[:-1], pc.binary_join_element_wise(
        columns[-1], "\n", ""), ",")
    with open(path, "wb") as f:
        f.write(("id,name," + ",".join(table.column_names) + "\n").encode())
        f.write("".join(lines.to_pylist()).encode())


def best_in_turn(commands, repeat):
    """Best wall time of each command ({label: argv}), run in turn, round
    after round, so that a busy stretch of the machine costs them alike."""
    best = dict.fromkeys(commands, float("inf"))
    for _ in range(repeat):
        for label, command in commands.items():
            best[label] = min(best[label], run(command)[0])
    return best


def run(command, stdin=None, stdout=None):
    """Wall time and peak resident memory (bytes) of one child process."""
    start = time.perf_counter()
    proc = subprocess.Popen(command, stdin=stdin, stdout=stdout or subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SystemExit(f"{command[0]} failed with status {proc.returncode}")
    return time.perf_counter() - start, usage.ru_maxrss * 1024


def best(command, repeat, stdin_path=None, stdout_path=None):
    times = []
    for _ in range(repeat):
        with open(stdin_path or os.devnull, "rb") as fin, open(stdout_path or os.devnull, "wb") as fout:
            times.append(run(command, stdin=fin, stdout=fout)[0])
    return min(times)


def check_agreement(ours, theirs, rows=2000):
    """Our ECEF text against cs2cs's, on the first rows (metres)."""
    a = np.loadtxt(ours, max_rows=rows)
    b = np.loadtxt(theirs, max_rows=rows)
    return float(np.abs(a - b).max())


def measure(rows, repeat, memory_rows=0):
    """Rows of the table: text and Parquet runs of `geokern convert` against
    cs2cs; prints the agreement and, with `memory_rows`, the peak memory."""
    gk = geokern_command()
    with tempfile.TemporaryDirectory() as folder:
        text = os.path.join(folder, "positions.txt")
        parquet = os.path.join(folder, "positions.parquet")
        table = positions(rows)
        write_text(table, text)
        pq.write_table(table, parquet)
        ours_txt, theirs_txt = os.path.join(folder, "gk.txt"), os.path.join(folder, "cs.txt")

        geokern_text = best([gk, "convert", "--from", "wgs84", "--to", "ecef", text, "-o", ours_txt],
                            repeat)
        cs2cs_text = best(CS2CS, repeat, text, theirs_txt)
        print(f"{rows} rows; geokern and cs2cs agree within "
              f"{check_agreement(ours_txt, theirs_txt):.1e} m")

        out_parquet = os.path.join(folder, "ecef.parquet")
        geokern_parquet = best([gk, "convert", "--from", "wgs84", "--to", "ecef", parquet,
                                "-o", out_parquet], repeat)
        csv = {}
        for quoted in (True, False):
            csv[quoted] = os.path.join(folder, f"named_{'quoted' if quoted else 'bare'}.csv")
            write_named(table, csv[quoted], quoted)
        named = best_in_turn({quoted: [gk, "convert", "--from", "wgs84", "--to", "ecef", path,
                                       "-o", path + ".ecef.csv"]
                              for quoted, path in csv.items()}, repeat)
        del table
        result = [
            row("geokern convert", geokern_text, [("cs2cs -f %.17g (text)", cs2cs_text)],
                note=f"text, geodetic -> ECEF, {rows} rows"),
            row("geokern convert", geokern_parquet,
                [("cs2cs -f %.17g (text)", cs2cs_text), ("geokern, text", geokern_text)],
                note=f"Parquet in and out, {rows} rows"),
            row("geokern convert", named[True], [("geokern, the CSV unquoted", named[False])],
                note=f"CSV with a quoted text column, {rows} rows"),
        ]

        if memory_rows:
            big = os.path.join(folder, "big.csv")
            for start in range(0, memory_rows, 1_000_000):
                part = positions(min(1_000_000, memory_rows - start), seed=start)
                with open(big, "ab") as f:
                    pcsv.write_csv(part, f, pcsv.WriteOptions(include_header=start == 0))
            size = os.path.getsize(big)
            seconds, peak = run([gk, "convert", "--from", "wgs84", "--to", "ecef", big,
                                 "-o", os.path.join(folder, "big_ecef.csv")])
            print(f"memory: {memory_rows} rows of CSV ({size / 1e6:.0f} MB) in "
                  f"{seconds:.1f} s, peak resident memory {peak / 1e6:.0f} MB (goal: under 400 MB)")
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--memory-rows", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    print_rows(measure(args.rows, args.repeat, args.memory_rows))


if __name__ == "__main__":
    main()
