"""The `geokern convert` command, end to end through subprocesses."""
import itertools
import os
from concurrent.futures import ThreadPoolExecutor
from importlib import resources

import numpy as np
import pytest

import geokern
from geokern_tools import CRS_NAMES, convert

from .conftest import run_geokern

SAMPLE = str(resources.files("geokern_tools") / "samples" / "positions.csv")


def read_csv(data):
    lines = data.decode().splitlines()
    return lines[0].split(","), [line.split(",") for line in lines[1:]]


def test_every_pair_against_the_module(tmp_path):
    ids = np.loadtxt(SAMPLE, delimiter=",", skiprows=1, usecols=0, dtype=str)
    wgs = np.loadtxt(SAMPLE, delimiter=",", skiprows=1, usecols=(1, 2, 3))
    sources = {crs: convert(wgs, "wgs84", crs) for crs in CRS_NAMES}
    for crs, values in sources.items():  # the sample positions in each system, same ids
        (tmp_path / f"{crs}.csv").write_text("id,a,b,c\n" + "".join(
            f"{i},{x!r},{y!r},{z!r}\n" for i, (x, y, z) in zip(ids, values.tolist())))
    pairs = [(s, d) for s, d in itertools.product(CRS_NAMES, CRS_NAMES) if s != d]
    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda pair: run_geokern(
            "convert", "--from", pair[0], "--to", pair[1], "--columns", "a,b,c",
            tmp_path / f"{pair[0]}.csv"), pairs))
    for (src, dst), proc in zip(pairs, results):
        assert proc.returncode == 0, (src, dst, proc.stderr)
        header, rows = read_csv(proc.stdout)
        assert header[0] == "id" and len(header) == 4
        assert [r[0] for r in rows] == list(ids)  # the extra column passes through
        got = np.array([[float(v) for v in r[1:]] for r in rows])
        # convert itself is checked against the module's functions in test_convert.
        assert np.array_equal(got, convert(sources[src], src, dst)), (src, dst)


def test_stdin_to_stdout_blank_separated():
    data = b"116.4 39.9 44\n  2.35\t48.85   35 \n\n-74.0 40.7 10\n"
    proc = run_geokern("convert", "--from", "4326", "--to", "3857", stdin=data)
    assert proc.returncode == 0, proc.stderr
    got = np.array([[float(v) for v in line.split()] for line in proc.stdout.decode().splitlines()])
    rows = np.array([[116.4, 39.9, 44], [2.35, 48.85, 35], [-74.0, 40.7, 10]])
    assert np.array_equal(got, geokern.geodetic_to_web_mercator_fast_array(rows))


@pytest.mark.parametrize("data,expected", [
    (b"", b""),
    (b"lon,lat,h\n", b"X,Y,Z\n"),
    (b"\n\nlon,lat\r\n0,0\r\n", b"X,Y,Z\r\n6378137,0,0\r\n"),  # line ends kept
])
def test_empty_and_header_only_inputs(data, expected):
    proc = run_geokern("convert", "--from", "wgs84", "--to", "ecef", stdin=data)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected


def test_batches_give_the_bytes_of_a_whole_conversion(tmp_path):
    out_whole, out_small = tmp_path / "whole.csv", tmp_path / "small.csv"
    whole = run_geokern("convert", "--from", "wgs84", "--to", "ecef", SAMPLE, "-o", out_whole)
    small = run_geokern("convert", "--from", "wgs84", "--to", "ecef", SAMPLE, "-o", out_small,
                        env={"GEOKERN_BATCH_BYTES": "512"})
    assert whole.returncode == small.returncode == 0, small.stderr
    assert out_whole.read_bytes() == out_small.read_bytes()
    assert len(out_whole.read_bytes()) > 20 * 512


@pytest.mark.parametrize("line,text,message", [
    (150, "p150,12.5,oops,3\n", "column 'lat' is not a number: 'oops'"),
    (200, "p200,12.5,4\n", "expected 4 fields, found 3"),
])
def test_a_bad_line_stops_without_output(tmp_path, line, text, message):
    lines = open(SAMPLE).read().splitlines(keepends=True)
    lines[line - 1] = text
    bad = tmp_path / "bad.csv"
    bad.write_text("".join(lines))
    out = tmp_path / "out.csv"
    proc = run_geokern("convert", "--from", "wgs84", "--to", "gcj02", bad, "-o", out,
                       env={"GEOKERN_BATCH_BYTES": "1024"})
    assert proc.returncode == 1
    assert proc.stderr == f"geokern: {bad}:{line}: {message}\n"
    assert os.listdir(tmp_path) == ["bad.csv"]


@pytest.mark.parametrize("suffix", [".parquet", ".npy", ".txt"])
def test_kinds_follow_the_output_suffix_and_read_back(tmp_path, suffix):
    wgs = np.loadtxt(SAMPLE, delimiter=",", skiprows=1, usecols=(1, 2, 3))
    source = tmp_path / "wgs.csv"
    source.write_text("lon,lat,h\n" + "".join(f"{x!r},{y!r},{z!r}\n" for x, y, z in wgs.tolist()))
    middle, back = tmp_path / f"ecef{suffix}", tmp_path / "back.csv"
    env = {"GEOKERN_BATCH_ROWS": "64"}
    first = run_geokern("convert", "--from", "wgs84", "--to", "ecef", source, "-o", middle, env=env)
    assert first.returncode == 0, first.stderr
    second = run_geokern("convert", "--from", "ecef", "--to", "wgs84", middle, "-o", back, env=env)
    assert second.returncode == 0, second.stderr
    header, rows = read_csv(back.read_bytes())
    if suffix == ".npy":  # numbers only: no header on the way back
        header, rows = None, [header] + rows
    got = np.array([[float(v) for v in r] for r in rows])
    assert np.array_equal(got, convert(convert(wgs, "wgs84", "ecef"), "ecef", "wgs84"))
    assert header in (None, ["lon", "lat", "h"])


def test_npy_output_refuses_text_columns(tmp_path):
    proc = run_geokern("convert", "--from", "wgs84", "--to", "ecef", SAMPLE, "-o",
                       tmp_path / "out.npy")
    assert proc.returncode == 1 and "holds numbers only" in proc.stderr
    assert os.listdir(tmp_path) == []


def test_npy_keeps_two_columns_and_ecef_adds_one(tmp_path):
    pts = np.array([[116.4, 39.9], [2.35, 48.85]], dtype=np.float32)
    np.save(tmp_path / "p.npy", pts)
    for dst, columns in (("gcj02", 2), ("ecef", 3)):
        out = tmp_path / f"{dst}.npy"
        proc = run_geokern("convert", "--from", "wgs84", "--to", dst, tmp_path / "p.npy", "-o", out)
        assert proc.returncode == 0, proc.stderr
        got = np.load(out)
        assert got.dtype == np.float64 and got.shape == (2, columns)
        assert np.array_equal(got, convert(pts, "wgs84", dst))


@pytest.mark.parametrize("args,message", [
    (["--from", "nowhere", "--to", "ecef"], "unknown reference system"),
    (["--from", "²", "--to", "ecef"], "unknown reference system '²'; expected one of wgs84"),
    (["--from", "wgs84"], "required: --to"),
    (["--from", "wgs84", "--to", "ecef", "--columns", "a"], "two or three"),
    (["--from", "wgs84", "--to", "ecef", "--columns", "lon,lon,lat"], "'lon' twice"),
    (["--from", "wgs84", "--to", "ecef", "--columns", "field1,1"], "'field1' twice"),
    (["--from", "wgs84", "--to", "ecef", "--scheduler", "local"], "-o"),
    (["--from", "wgs84", "--to", "ecef", "--scheduler", "local:0"], "local:N"),
])
def test_usage_errors_exit_2(args, message):
    proc = run_geokern("convert", *args, stdin=b"1 2 3\n")
    assert proc.returncode == 2 and message in proc.stderr
    assert "Traceback" not in proc.stderr


def test_missing_file_and_help():
    proc = run_geokern("convert", "--from", "wgs84", "--to", "ecef", "/nonexistent.csv")
    assert proc.returncode == 1
    assert proc.stderr == "geokern: /nonexistent.csv: No such file or directory\n"
    for command in ("convert", "footprint", "normals", "info", "demo"):
        assert run_geokern(command, "--help").returncode == 0
    version = run_geokern("--version")
    assert version.stdout.decode().strip() == f"geokern {geokern.__version__}"


def test_scheduler_without_the_dask_module(tmp_path):
    try:
        import geokern_tools.dask  # noqa: F401
    except ImportError:
        pass
    else:
        pytest.skip("geokern_tools.dask is installed")
    proc = run_geokern("convert", "--from", "wgs84", "--to", "ecef", "--scheduler", "local:1",
                       SAMPLE, "-o", tmp_path / "out")
    assert proc.returncode == 2 and "needs geokern_tools.dask" in proc.stderr
