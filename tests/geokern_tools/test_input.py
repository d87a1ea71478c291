"""What `geokern convert` reads: files, FIFOs, process substitution and
standard input alike, compressed or not; binary and broken inputs refused
in one line; endless inputs bounded and stopped by signals."""
import bz2
import gzip
import lzma
import os
import pickle
import signal
import subprocess
import sys
import threading
from compression import zstd

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

from .conftest import run_geokern, start_geokern

CSV = b"id,lon,lat,h\np1,116.4,39.9,44\np2,2.35,48.85,35\np3,-74,40.7,10\n"
CONVERT = ["convert", "--from", "wgs84", "--to", "ecef"]
COMPRESS = {"gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress,
            "zst": zstd.compress}


@pytest.fixture(scope="module")
def contents(tmp_path_factory):
    """The same positions as CSV, Parquet and .npy bytes."""
    folder = tmp_path_factory.mktemp("contents")
    rows = np.array([[116.4, 39.9, 44], [2.35, 48.85, 35], [-74, 40.7, 10]])
    pq.write_table(pa.table({"lon": rows[:, 0], "lat": rows[:, 1], "h": rows[:, 2]}),
                   folder / "p.parquet")
    np.save(folder / "p.npy", rows)
    return {"csv": CSV, "parquet": (folder / "p.parquet").read_bytes(),
            "npy": (folder / "p.npy").read_bytes()}


def feed_fifo(path, data):
    """A thread that opens the FIFO for writing and writes `data` into it."""
    def write():
        with open(path, "wb") as f:
            f.write(data)
    thread = threading.Thread(target=write, daemon=True)
    thread.start()
    return thread


def run_shell(script, tmp_path, env=None):
    """Runs a bash script (for process substitution) in tmp_path."""
    proc = subprocess.run(["bash", "-c", script], cwd=tmp_path, capture_output=True,
                          timeout=120, env=dict(os.environ, **(env or {})))
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    return proc


WAYS_IN = [(kind, how) for kind in ("csv", "parquet", "npy")
           for how in ("stdin", "fifo", "process substitution", "gz")] + [
    ("csv", "bz2"), ("csv", "xz"), ("csv", "zst"), ("csv", "gz fifo"), ("npy", "xz pipe"),
    ("parquet", "zst stdin")]


@pytest.mark.parametrize("kind,how", WAYS_IN)
def test_every_way_in_reads_alike(tmp_path, contents, kind, how):
    data = contents[kind]
    plain = tmp_path / f"plain.{kind}"
    plain.write_bytes(data)
    reference = run_geokern(*CONVERT, plain, "-o", tmp_path / "reference.csv")
    assert reference.returncode == 0, reference.stderr
    out = tmp_path / "out.csv"
    compression = how.split()[0] if how.split()[0] in COMPRESS else None
    if compression:
        data = COMPRESS[compression](data)
    if how in ("stdin", "zst stdin"):
        proc = run_geokern(*CONVERT, "-o", out, stdin=data)
    elif how.endswith("fifo"):
        fifo = tmp_path / (f"in.{kind}.{compression}" if compression else f"in.{kind}")
        os.mkfifo(fifo)
        writer = feed_fifo(fifo, data)
        proc = run_geokern(*CONVERT, fifo, "-o", out)
        writer.join()
    elif how.endswith("pipe") or how == "process substitution":
        (tmp_path / "data").write_bytes(data)
        source = "<(cat data)" if how == "process substitution" else "- < <(cat data)"
        proc = run_shell(f"geokern {' '.join(CONVERT)} {source} -o out.csv", tmp_path)
    else:
        named = tmp_path / f"in.{kind}.{compression}"
        named.write_bytes(data)
        proc = run_geokern(*CONVERT, named, "-o", out)
    assert proc.returncode == 0, proc.stderr
    assert out.read_bytes() == (tmp_path / "reference.csv").read_bytes()


def npy_claiming(rows):
    header = {"descr": "<f8", "fortran_order": False, "shape": (rows, 3)}
    text = repr(header).encode()
    text += b" " * (118 - len(text)) + b"\n"
    return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text + bytes(24)


def parquet_broken_in_row_group(group):
    sink = pa.BufferOutputStream()
    pq.write_table(pa.table({"lon": np.arange(90.0), "lat": np.arange(90.0)}), sink,
                   row_group_size=30, compression="none")
    data = bytearray(sink.getvalue().to_pybytes())
    page = pq.ParquetFile(pa.BufferReader(bytes(data))).metadata.row_group(group).column(0)
    data[page.data_page_offset:page.data_page_offset + 40] = b"\xff" * 40
    return bytes(data)


REFUSED = [
    ("p.npy", pickle.dumps(np.zeros((3, 3))), "p.npy: not a .npy array (it holds a Python pickle)"),
    ("g.csv", gzip.compress(CSV), "g.csv: not text, Parquet or .npy: it holds gzip-compressed "
     "data; name it g.csv.gz to read it"),
    ("u.csv", CSV.decode().encode("utf-16"), "u.csv: not text, Parquet or .npy: it holds "
     "UTF-16 text (save it as UTF-8)"),
    ("t.csv.gz", CSV, "t.csv.gz: not gzip-compressed data or broken"),
    ("cut.csv.gz", gzip.compress(CSV * 50)[:-30], "cut.csv.gz: the gzip-compressed data ends "
     "early"),
    ("huge.npy", npy_claiming(10**12), "huge.npy: the header describes a float64 array of shape "
     "(1000000000000, 3) (21.8 TiB) but only 24 bytes follow it"),
    ("-", zstd.compress(pickle.dumps([1, 2])), "<stdin>: not text, Parquet or .npy: it holds a "
     "Python pickle"),
    ("b.parquet", parquet_broken_in_row_group(1), "b.parquet: row group 1: "),
]


@pytest.mark.parametrize("name,data,message", REFUSED, ids=[r[0] + ":" + r[2][-20:]
                                                           for r in REFUSED])
def test_binary_and_broken_inputs_are_refused_in_one_line(tmp_path, name, data, message):
    out = tmp_path / "out" / "o.csv"
    out.parent.mkdir()
    if name == "-":
        proc = run_geokern(*CONVERT, "-o", out, stdin=data)
    else:
        (tmp_path / name).write_bytes(data)
        proc = run_geokern(*CONVERT, name, "-o", out, cwd=tmp_path)
    assert proc.returncode == 1
    assert proc.stderr.startswith(f"geokern: {message}")
    assert proc.stderr.count("\n") == 1 and "Traceback" not in proc.stderr
    assert os.listdir(out.parent) == []


def test_unusable_sources_are_named(tmp_path):
    script = ("geokern convert --from wgs84 --to ecef - <&-; "
              "geokern convert --from wgs84 --to ecef .; "
              "geokern convert --from wgs84 --to ecef /dev/zero; "
              "geokern convert --from wgs84 --to ecef <(printf 'lon,lat\\n1,2\\n3,x\\n')")
    proc = run_shell(script, tmp_path)
    lines = proc.stderr.splitlines()
    assert lines[0] == "geokern: <stdin>: standard input is closed"
    assert lines[1] == "geokern: .: Is a directory"
    assert lines[2] == "geokern: /dev/zero: not text, Parquet or .npy: it holds binary data"
    assert lines[3].startswith("geokern: /dev/fd/") and lines[3].endswith(
        ":3: column 'lat' is not a number: 'x'")
    assert len(lines) == 4


def test_parquet_from_a_pipe_is_spooled_and_removed(tmp_path, contents):
    spool = tmp_path / "spool"
    spool.mkdir()
    proc = run_geokern(*CONVERT, "-o", tmp_path / "o.parquet", stdin=contents["parquet"],
                       env={"TMPDIR": str(spool)})
    assert proc.returncode == 0, proc.stderr
    assert pq.read_table(tmp_path / "o.parquet").num_rows == 3
    assert os.listdir(spool) == []


def endless(line):
    """A process writing `line` forever to a pipe."""
    code = f"import sys\nwhile True: sys.stdout.buffer.write({line!r} * 4096)"
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE)


def test_an_endless_line_stops_at_the_limit():
    producer = endless(b"a")
    try:
        proc = subprocess.run(["geokern", *CONVERT], stdin=producer.stdout, capture_output=True,
                              timeout=60, env=dict(os.environ, GEOKERN_MAX_LINE_BYTES="1000000"))
    finally:
        producer.kill()
        producer.wait()
    assert proc.returncode == 1
    assert proc.stderr.decode() == ("geokern: <stdin>:1: a line longer than 1000000 bytes "
                                    "(GEOKERN_MAX_LINE_BYTES)\n")


@pytest.mark.parametrize("source", ["silent fifo", "endless pipe"])
@pytest.mark.parametrize("signum,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_signals_stop_an_endless_input(tmp_path, source, signum, status):
    if source == "silent fifo":
        fifo = tmp_path / "in.csv"
        os.mkfifo(fifo)
        proc = start_geokern(*CONVERT, fifo, stdout=subprocess.PIPE)
        writer = os.open(fifo, os.O_WRONLY)  # returns once the command has opened it
        producer = None
    else:
        producer = endless(b"1.5,2.5,3\n")
        proc = start_geokern(*CONVERT, stdin=producer.stdout, stdout=subprocess.PIPE)
        assert proc.stdout.read(1)  # converting
    try:
        proc.send_signal(signum)
        _, stderr = proc.communicate(timeout=20)
    finally:
        if producer is None:
            os.close(writer)
        else:
            producer.kill()
            producer.wait()
    assert proc.returncode == status
    assert b"Traceback" not in stderr
