"""Chaos: generated inputs, and signals at random moments, against the
`geokern` command.  Whatever happens, the command

- exits 0, 1 (bad data, one line on standard error) or with the signal's
  status (128 + n; or killed by SIGTERM or SIGHUP before it took them
  over), without a traceback or "Exception ignored" noise;
- leaves its inputs as they were;
- leaves the earlier output as it was, or a complete new one;
- leaves no temporary behind.

Ctrl-C is sent once the command has taken the signals over: in the few
milliseconds before, while Python itself starts, it is Python's own (a
KeyboardInterrupt traceback).

The cases are drawn from two tables, INPUTS (kind of input -> a strategy
for its bytes) and COMMANDS (command line -> how to read its output back);
add a row to either to widen the test.  CI runs CHAOS_EXAMPLES cases on
fixed seeds; for a longer run on fresh seeds:
GEOKERN_CHAOS_EXAMPLES=2000 tools/test -q tests/geokern_tools/test_chaos.py
"""
import io
import os
import signal
import subprocess
import time

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from .conftest import start_geokern, temporaries

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

CHAOS_EXAMPLES = int(os.environ.get("GEOKERN_CHAOS_EXAMPLES", 50))
OLD_OUTPUT = b"the earlier output\n"


# ============================================================================
# Inputs: name -> strategy of (file suffix, bytes)


def _points(seed, rows, columns=3):
    rng = np.random.default_rng(seed)
    return np.c_[rng.uniform(-180, 180, rows), rng.uniform(-85, 85, rows),
                 rng.uniform(-100, 9000, rows)][:, :columns]


def _text(points, delimiter, header):
    lines = [delimiter.join(("lon", "lat", "h")[:points.shape[1]])] if header else []
    lines += [delimiter.join(repr(v) for v in row) for row in points.tolist()]
    return ("\n".join(lines) + "\n").encode() if lines else b""


def _parquet(points, names):
    sink = io.BytesIO()
    columns = {"lon": points[:, 0], "lat": points[:, 1], "h": points[:, 2]}
    columns["name"] = pa.array([f"p{i}" for i in range(len(points))], pa.string())
    pq.write_table(pa.table({k: columns[k] for k in names}), sink, row_group_size=5000)
    return sink.getvalue()


def _npy(points):
    sink = io.BytesIO()
    np.save(sink, points)
    return sink.getvalue()


seeds = st.integers(0, 2**32 - 1)
rows = st.sampled_from([0, 1, 7, 300, 40_000, 150_000])


@st.composite
def _malformed(draw):
    data = bytearray(_text(_points(draw(seeds), draw(st.integers(1, 300))), ",", True))
    for _ in range(draw(st.integers(1, 4))):
        at = draw(st.integers(0, len(data)))
        data[at:at + draw(st.integers(0, 8))] = draw(st.binary(max_size=12))
    return ".csv", bytes(data)


INPUTS = {
    "csv": st.builds(lambda s, n, h: (".csv", _text(_points(s, n), ",", h)),
                     seeds, rows, st.booleans()),
    "text": st.builds(lambda s, n, k: (".txt", _text(_points(s, n, k), " ", False)),
                      seeds, rows, st.sampled_from([2, 3])),
    "parquet": st.builds(lambda s, n, names: (".parquet", _parquet(_points(s, n), names)),
                         seeds, rows, st.sampled_from([["lon", "lat", "h"],
                                                       ["name", "lon", "lat", "h"]])),
    "npy": st.builds(lambda s, n: (".npy", _npy(_points(s, n))), seeds, rows),
    "malformed": _malformed(),
    "empty": st.just((".csv", b"")),
    "huge line": st.builds(lambda n: (".csv", b"lon,lat,h\n" + b"1," * n + b"2\n"),
                           st.integers(10_000, 300_000)),
    "binary": st.builds(lambda prefix, body: (".csv", prefix + body),
                        st.sampled_from([b"", b"PAR1", b"\x93NUMPY", b"\x1f\x8b"]),
                        st.binary(min_size=1, max_size=3000)),
}


# ============================================================================
# Commands: name -> (arguments after the input, output suffix or None for
# standard output, reader that raises unless the output is complete)


def _read_text(data):
    assert data == b"" or data.endswith(b"\n")


def _read_parquet(data):
    pq.read_table(io.BytesIO(data))


def _read_npy(data):
    assert np.load(io.BytesIO(data), allow_pickle=False).ndim == 2


CONVERT = ["convert", "--from", "wgs84", "--to", "ecef"]
COMMANDS = {
    "convert to csv": (CONVERT, ".csv", _read_text),
    "convert to parquet": (CONVERT, ".parquet", _read_parquet),
    "convert to npy": (["convert", "--from", "wgs84", "--to", "webmercator"], ".npy", _read_npy),
    "convert to standard output": (["convert", "--from", "bd09", "--to", "gcj02"], None, None),
}

SIGNALS = [None, signal.SIGINT, signal.SIGTERM, signal.SIGHUP]


# ============================================================================


def started(proc):
    """Whether the command has taken the signals over (it catches SIGTERM,
    which Python alone does not), or has ended."""
    try:
        with open(f"/proc/{proc.pid}/status") as f:
            caught = next(line for line in f if line.startswith("SigCgt:"))
    except (OSError, StopIteration):
        return True
    return proc.poll() is not None or bool(int(caught.split()[1], 16)
                                           & 1 << (signal.SIGTERM - 1))


def run_case(folder, suffix, data, command, signum, delay, at_once):
    arguments, out_suffix, read = COMMANDS[command]
    source = folder / f"input{suffix}"
    source.write_bytes(data)
    out = folder / f"output{out_suffix}" if out_suffix else None
    if out is not None:
        out.write_bytes(OLD_OUTPUT)
    extra = ["-o", out] if out is not None else []
    proc = start_geokern(*arguments, source, *extra, stdout=subprocess.DEVNULL)
    if signum is not None:
        while not (at_once and signum != signal.SIGINT) and not started(proc):
            time.sleep(0.001)
        time.sleep(delay)
        proc.send_signal(signum)
    _, err = proc.communicate(timeout=120)
    err = err.decode("utf-8", "replace")
    allowed = {0, 1} | ({128 + signum, -signum} if signum else set())
    assert proc.returncode in allowed, err
    assert "Traceback" not in err and "Exception ignored" not in err, err
    lines = err.splitlines()
    # One line for bad data, none on success; a signal may come after a line.
    assert len(lines) == {0: 0, 1: 1}.get(proc.returncode, len(lines[:1])), err
    assert all(line.startswith("geokern: ") for line in lines), err
    assert source.read_bytes() == data
    if out is not None:
        written = out.read_bytes()
        if proc.returncode == 0 or written != OLD_OUTPUT:
            assert proc.returncode != 1, err  # bad data leaves the earlier output
            read(written)
    assert temporaries(folder) == []
    for path in folder.iterdir():
        path.unlink()


@settings(max_examples=CHAOS_EXAMPLES, derandomize="GEOKERN_CHAOS_EXAMPLES" not in os.environ)
@given(kind=st.sampled_from(sorted(INPUTS)), data=st.data(),
       command=st.sampled_from(sorted(COMMANDS)), signum=st.sampled_from(SIGNALS),
       delay=st.floats(0.0, 0.6), at_once=st.booleans())
def test_chaos(tmp_path_factory, kind, data, command, signum, delay, at_once):
    folder = tmp_path_factory.mktemp("chaos")
    suffix, content = data.draw(INPUTS[kind], label=kind)
    run_case(folder, suffix, content, command, signum, delay, at_once)
