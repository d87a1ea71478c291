"""geokern_tools.dask on a local cluster of two worker processes: results
equal the single-process ones bit for bit, also when a worker dies."""
import contextlib
import os
import signal
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from geokern_tools import convert
from geokern_tools._errors import DataError, UsageError
from shared import same_bits

from .conftest import run_geokern, start_geokern, temporaries

pytestmark = pytest.mark.timeout(120)

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
gk_dask = pytest.importorskip("geokern_tools.dask")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pd = pytest.importorskip("pandas")


def test_importing_the_package_does_not_import_dask(python):
    out = python("""
        import sys
        import geokern_tools
        print(sorted(m for m in sys.modules if m == "dask" or m.startswith(("dask.", "distributed"))))
    """)
    assert out.strip() == "[]"


# A killed worker's nanny starts a new one; under the sanitizer build a
# worker takes minutes to import what it needs.
WORKERS_BACK = 300


@pytest.fixture(scope="module")
def client():
    with gk_dask.client_for("local:2") as client:
        client.wait_for_workers(2, timeout=WORKERS_BACK)
        yield client


def points(n, seed=1):
    rng = np.random.default_rng(seed)
    return np.c_[rng.uniform(70, 140, n), rng.uniform(0, 60, n), rng.uniform(-100, 9000, n)]


@pytest.mark.parametrize("src, dst, columns", [
    ("wgs84", "ecef", 3), ("wgs84", "ecef", 2), ("ecef", "wgs84", 3),
    ("wgs84", "webmercator", 3), ("webmercator", "wgs84", 2), ("webmercator", "ecef", 3),
    ("wgs84", "gcj02", 3), ("bd09", "wgs84", 2),
])
def test_arrays_equal_one_call(client, src, dst, columns):
    pts = convert(points(50_001), "wgs84", src)[:, :columns]
    darr = da.from_array(pts, chunks=(7_000, 1))  # columns get rechunked
    result = gk_dask.convert(darr, src, dst)
    want = convert(pts, src, dst)
    assert result.shape == want.shape and result.dtype == np.float64
    assert same_bits(result.compute(scheduler=client), want)


@pytest.mark.parametrize("darr, src, message", [
    (da.zeros((4, 3)), "nad27", r"unsupported reference system EPSG:4267 \(NAD27\)"),
    (da.zeros((4, 2)), "ecef", "ecef points must have 3 columns"),
    (da.zeros((4, 2), dtype=complex), "wgs84", "real numbers"),
])
def test_array_errors_are_raised_at_once(darr, src, message):
    with pytest.raises((ValueError, TypeError), match=message):
        gk_dask.convert(darr, src, "ecef")


def test_dataframe_columns_replaced_or_added(client):
    import dask.dataframe as dd
    pts = points(10_000)
    frame = pd.DataFrame({"id": np.arange(len(pts)), "lon": pts[:, 0], "lat": pts[:, 1],
                          "note": ["a"] * len(pts)})
    ddf = dd.from_pandas(frame, npartitions=4)
    out = gk_dask.convert_dataframe(ddf, ["lon", "lat"], "wgs84", "ecef", ["X", "Y", "Z"])
    assert list(out.columns) == ["id", "lon", "lat", "note", "X", "Y", "Z"]
    assert out.dtypes["X"] == np.float64
    got = out.compute(scheduler=client)
    assert same_bits(got[["X", "Y", "Z"]].to_numpy(), convert(pts[:, :2], "wgs84", "ecef"))
    assert (got["note"] == "a").all() and (got["id"].to_numpy() == np.arange(len(pts))).all()
    same = gk_dask.convert_dataframe(ddf, ["lon", "lat"], 4326, "gcj02").compute(scheduler=client)
    assert list(same.columns) == list(frame.columns)
    assert same_bits(same[["lon", "lat"]].to_numpy(), convert(pts[:, :2], "wgs84", "gcj02"))
    with pytest.raises(ValueError, match="out_columns must name the 3 result columns"):
        gk_dask.convert_dataframe(ddf, ["lon", "lat"], "wgs84", "ecef")
    with pytest.raises(ValueError, match="no column 'h'"):
        gk_dask.convert_dataframe(ddf, ["lon", "lat", "h"], "wgs84", "ecef")


def write_dataset(folder, sizes):
    folder.mkdir()
    frames = []
    for i, n in enumerate(sizes):
        pts = points(n, seed=10 + i)
        table = pa.table({"name": [f"p{i}-{j}" for j in range(n)], "lon": pts[:, 0],
                          "lat": pts[:, 1], "h": pts[:, 2].astype(np.float32)})
        pq.write_table(table, folder / f"tile{i}.parquet", row_group_size=1_000)
        frames.append(table)
    return frames


def test_parquet_dataset_through_the_command_equals_single_process(client, tmp_path):
    tables = write_dataset(tmp_path / "in", [3_000, 0, 2_500, 4_321])
    out = tmp_path / "out"
    proc = run_geokern("convert", "--from", "wgs84", "--to", "EPSG:4978", "--scheduler",
                       client.scheduler.address, tmp_path / "in", "-o", out)
    assert proc.returncode == 0, proc.stderr
    parts = sorted(out.iterdir())
    assert [p.name for p in parts] == [f"part-0000{i}.parquet" for i in range(4)]
    for part, table in zip(parts, tables):
        got = pq.read_table(part)
        assert got.column_names == ["name", "X", "Y", "Z"]
        assert got.column("name").equals(table.column("name"))
        pts = np.c_[table.column("lon").to_numpy(), table.column("lat").to_numpy(),
                    table.column("h").to_numpy().astype(np.float64)]
        xyz = np.stack([got.column(c).to_numpy() for c in "XYZ"], axis=1) if len(got) else \
            np.empty((0, 3))
        assert same_bits(xyz, convert(pts, "wgs84", "ecef"))


def test_parquet_inputs_by_glob_columns_by_name_and_errors(client, tmp_path):
    write_dataset(tmp_path / "in", [1_000, 1_500])
    out = tmp_path / "out"
    rows = gk_dask.convert_parquet_dataset([str(tmp_path / "in" / "tile*.parquet")], str(out),
                                           "wgs84", "bd09", ["lon", "lat"], client.scheduler.address)
    assert rows == 2_500
    got = pq.read_table(out / "part-00001.parquet")
    assert got.column_names == ["name", "lon", "lat", "h"]
    with pytest.raises(FileNotFoundError, match="no Parquet file"):
        gk_dask.convert_parquet_dataset([str(tmp_path / "none*.parquet")], str(out), "wgs84",
                                        "ecef", None, client.scheduler.address)
    with pytest.raises(DataError, match="no column 'height'"):
        gk_dask.convert_parquet_dataset([str(tmp_path / "in")], str(out), "wgs84", "ecef",
                                        ["lon", "lat", "height"], client.scheduler.address)
    # A failure in a file's second batch (of 65536 rows): its partly written output goes.
    pq.write_table(pa.table({"lon": [1.0] * 70_000, "lat": [2.0] * 69_999 + [None]}),
                   tmp_path / "gap.parquet")
    with pytest.raises(DataError, match="row 70000: missing value in column 'lat'"):
        gk_dask.convert_parquet_dataset([str(tmp_path / "gap.parquet")], str(out), "wgs84",
                                        "ecef", None, client.scheduler.address)
    assert temporaries(tmp_path) == [] and sorted(os.listdir(out)) == [
        "part-00000.parquet", "part-00001.parquet"]


def write_obj(path, corners, height=3.0):
    lines = [f"v {x} {y} {z}" for x, z in corners for y in (0.0, height)]
    lines += ["f 1 3 5", "f 3 5 7", "f 2 4 6"]
    open(path, "w").write("\n".join(lines) + "\n")


def test_footprint_files_and_the_command(client, tmp_path):
    from geokern_tools import _footprint as footprint_module
    plain, loose = tmp_path / "plain.obj", tmp_path / "loose.obj"
    write_obj(plain, [(0, 0), (4, 0), (4, 2), (0, 2)])
    # Doubled blanks and a fourth vertex coordinate.
    loose.write_text("".join(line.replace("v ", "v  ") + " 1.0\n" if line.startswith("v ")
                             else line + "\n" for line in plain.read_text().splitlines()))
    paths = [str(plain), str(loose)]
    got = gk_dask.footprint_files(paths, client.scheduler.address)
    assert got == [footprint_module.footprint_with_note(p) for p in paths]
    assert got[0] == got[1] and got[0][1] is None
    missing = str(tmp_path / "missing.obj")
    proc = run_geokern("footprint", "--scheduler", client.scheduler.address, *paths, missing)
    assert proc.returncode == 1 and proc.stderr == f"geokern: {missing}: No such file or directory\n"
    assert proc.stdout.decode().splitlines() == [wkt for wkt, _ in got]


def test_a_killed_worker_loses_and_duplicates_no_rows(client):
    pts = points(400_000, seed=9)
    # Slow chunks (a sleep task under each) keep both workers busy while one is killed.
    slow = da.map_blocks(lambda block: (time.sleep(0.15), block)[1],
                         da.from_array(pts, chunks=(10_000, 3)), dtype=np.float64)
    future = client.compute(gk_dask.convert(slow, "wgs84", "ecef"))
    pids = client.run(os.getpid)
    deadline = time.monotonic() + 30
    while not any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.05)
    time.sleep(0.5)
    killed = next(iter(pids.values()))
    os.kill(killed, signal.SIGKILL)
    got = future.result(timeout=90)
    assert same_bits(got, convert(pts, "wgs84", "ecef"))
    client.wait_for_workers(2, timeout=WORKERS_BACK)
    assert killed not in client.run(os.getpid).values()


# ============================================================================
# The dataset output: staged, swapped whole, never mixed


def running_dataset(folder, files=2, rows=1_500_000):
    """Parquet files large enough that converting one takes a while."""
    folder.mkdir()
    lon = np.linspace(70, 140, rows)
    for i in range(files):
        pq.write_table(pa.table({"lon": lon, "lat": lon / 3, "id": np.arange(rows)}),
                       folder / f"tile{i}.parquet", row_group_size=250_000)
    return [str(p) for p in sorted(folder.iterdir())]


def staged_temporaries(out):
    """The part files being written in the staging folder beside `out`."""
    return [name for folder in out.parent.glob(f".{out.name}.geokern-*.tmp")
            for name in os.listdir(folder) if name.endswith(".tmp")]


def interrupt():
    raise KeyboardInterrupt


def test_dataset_output_is_refused_or_kept(client, tmp_path):
    from geokern_tools._output import output_folder
    write_dataset(tmp_path / "in", [100, 200])
    inputs = [str(tmp_path / "in")]
    os.symlink(tmp_path / "in", tmp_path / "alias")
    for output in (tmp_path / "in", tmp_path / "alias"):
        with pytest.raises(UsageError, match="holds the input"):
            gk_dask.convert_parquet_dataset(inputs, str(output), "wgs84", "ecef", None,
                                            client.scheduler.address)
    assert sorted(os.listdir(tmp_path / "in")) == ["tile0.parquet", "tile1.parquet"]
    out = tmp_path / "out"
    assert gk_dask.convert_parquet_dataset(inputs, str(out), "wgs84", "ecef", None,
                                           client.scheduler.address) == 300
    before = {p.name: p.read_bytes() for p in out.iterdir()}
    pq.write_table(pa.table({"lon": [1.0], "lat": [None], "name": ["x"]}), tmp_path / "gap.parquet")
    pq.write_table(pa.table({"name": [1], "lon": [1.0], "lat": [1.0]}), tmp_path / "int.parquet")
    for extra, error, message in [("gap.parquet", DataError, "missing value"),
                                  ("int.parquet", DataError, "column 'name' holds int64"),
                                  (None, BlockingIOError, "another geokern run")]:
        with contextlib.ExitStack() as stack:
            if extra is None:  # another run holds the folder (and fails in the end)
                stack.enter_context(pytest.raises(KeyboardInterrupt))
                stack.enter_context(output_folder(str(out)))
                stack.callback(interrupt)
            with pytest.raises(error, match=message):
                gk_dask.convert_parquet_dataset(
                    inputs + ([str(tmp_path / extra)] if extra else []), str(out), "wgs84",
                    "ecef", None, client.scheduler.address)
        assert {p.name: p.read_bytes() for p in out.iterdir()} == before
    assert temporaries(tmp_path) == []


def processing_worker(client):
    """The process number of a worker that is running a task."""
    pids = client.run(os.getpid)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        busy = [address for address, tasks in client.processing().items() if tasks]
        if busy:
            return pids[busy[0]]
        time.sleep(0.02)
    raise AssertionError("no task started")


def wait_for_writing(pid, inputs):
    """Waits until process `pid` has a file open beside the folder
    `inputs`: it is writing an output."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            with contextlib.suppress(OSError):
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target.startswith(str(inputs.parent)) and not target.startswith(str(inputs)):
                    return
        time.sleep(0.005)
    raise AssertionError("no output file opened")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="a killed worker's restart under the sanitizer's preloaded runtime "
                    "is slow and its timing uncertain; the plain run of the suite checks this")
@pytest.mark.parametrize("allowed_failures", [3, 0])
def test_a_killed_worker_leaves_no_partial_file(client, tmp_path, allowed_failures):
    inputs = running_dataset(tmp_path / "in")
    out = tmp_path / "out"
    previous = client.run_on_scheduler(lambda dask_scheduler: dask_scheduler.allowed_failures)
    client.run_on_scheduler(lambda dask_scheduler: setattr(
        dask_scheduler, "allowed_failures", allowed_failures))
    try:
        with ThreadPoolExecutor(1) as pool:
            job = pool.submit(gk_dask.convert_parquet_dataset, inputs, str(out), "wgs84", "ecef",
                              None, client.scheduler.address)
            pid = processing_worker(client)
            wait_for_writing(pid, tmp_path / "in")
            os.kill(pid, signal.SIGKILL)
            if allowed_failures:
                assert job.result(timeout=90) == 3_000_000
            else:
                with pytest.raises(DataError, match="tile.\\.parquet: the workers converting it "
                                   "died"):
                    job.result(timeout=90)
    finally:
        client.run_on_scheduler(lambda dask_scheduler: setattr(
            dask_scheduler, "allowed_failures", previous))
        client.wait_for_workers(2, timeout=WORKERS_BACK)
    assert temporaries(tmp_path) == []
    if allowed_failures:
        assert sorted(os.listdir(out)) == ["part-00000.parquet", "part-00001.parquet"]
        assert pq.read_table(out).num_rows == 3_000_000
    else:
        assert not out.exists()


def test_sigterm_of_the_dataset_command_leaves_no_temporaries(client, tmp_path):
    inputs = running_dataset(tmp_path / "in")
    out = tmp_path / "out"
    write_dataset(out, [10])
    before = sorted(os.listdir(out))
    proc = start_geokern("convert", "--from", "wgs84", "--to", "ecef", "--scheduler",
                         client.scheduler.address, *inputs, "-o", out)
    deadline = time.monotonic() + 60
    while not staged_temporaries(out):
        assert time.monotonic() < deadline and proc.poll() is None
        time.sleep(0.01)
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=60)
    assert (proc.returncode, err) == (143, b"")
    assert sorted(os.listdir(out)) == before and temporaries(tmp_path) == []
