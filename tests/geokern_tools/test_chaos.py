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
a command is tried with the inputs of its family (points or models, and
the kinds that are bad for both); add a row to either to widen the test.  CI runs CHAOS_EXAMPLES cases on
fixed seeds; for a longer run on fresh seeds:
GEOKERN_CHAOS_EXAMPLES=2000 tools/test -q tests/geokern_tools/test_chaos.py
"""
import io
import json
import os
import shutil
import signal
import struct
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


def _obj(seed, faces, negative=False):
    """OBJ text of `faces` random triangles and quads over random vertices,
    with positive or negative (relative) references."""
    rng = np.random.default_rng(seed)
    count = max(3, faces)
    vertices = rng.uniform(-50, 50, (count, 3))
    lines = [f"v {x:.4f} {y:.4f} {z:.4f}" for x, y, z in vertices.tolist()]
    for number in range(faces):
        corners = rng.choice(count, 3 + number % 2, replace=False) + 1
        if negative:
            corners = corners - count - 1
        lines.append("f " + " ".join(map(str, corners.tolist())))
    return ("\n".join(lines) + "\n").encode()


@st.composite
def _cut(draw, content):
    data = draw(content)
    return data[:draw(st.integers(0, max(0, len(data) - 1)))]


faces = st.sampled_from([0, 1, 12, 100, 5000, 60_000])
POINTS, MODELS = "points", "models"
# name -> (the families of commands it is drawn for, strategy of (suffix, bytes))
INPUTS = {
    "csv": ({POINTS}, st.builds(lambda s, n, h: (".csv", _text(_points(s, n), ",", h)),
                                seeds, rows, st.booleans())),
    "text": ({POINTS}, st.builds(lambda s, n, k: (".txt", _text(_points(s, n, k), " ", False)),
                                 seeds, rows, st.sampled_from([2, 3]))),
    "parquet": ({POINTS}, st.builds(lambda s, n, names: (".parquet", _parquet(_points(s, n),
                                                                              names)),
                                    seeds, rows, st.sampled_from([["lon", "lat", "h"],
                                                                  ["name", "lon", "lat", "h"]]))),
    "npy": ({POINTS}, st.builds(lambda s, n: (".npy", _npy(_points(s, n))), seeds, rows)),
    "malformed": ({POINTS}, _malformed()),
    "empty": ({POINTS, MODELS}, st.just((".csv", b""))),
    "huge line": ({POINTS, MODELS}, st.builds(lambda n: (".csv", b"lon,lat,h\n" + b"1," * n
                                                          + b"2\n"),
                                               st.integers(10_000, 300_000))),
    "binary": ({POINTS, MODELS}, st.builds(lambda prefix, body: (".csv", prefix + body),
                                           st.sampled_from([b"", b"PAR1", b"\x93NUMPY",
                                                            b"\x1f\x8b", b"glTF", b"v 1 2 3\n"]),
                                           st.binary(min_size=1, max_size=3000))),
    "obj": ({MODELS}, st.builds(lambda s, n: (".obj", _obj(s, n)), seeds, faces)),
    "obj truncated": ({MODELS}, st.builds(lambda d: (".obj", d),
                                          _cut(st.builds(_obj, seeds, faces)))),
    "obj negative references": ({MODELS}, st.builds(lambda s, n: (".obj", _obj(s, n, True)),
                                                    seeds, faces)),
    "obj huge": ({MODELS}, st.builds(
        lambda n, big: (".obj", b"v 0 0 0\nv 1 0 0\nv 0 1 0\n" + (
            b"v %b 0 0\nf 1 2 4\n" % big if big else b"f " + b"1 2 3 " * n + b"\n")),
        st.integers(10_000, 1_000_000), st.sampled_from([b"", b"1e308", b"1e39", b"nan"]))),
}


# ============================================================================
# Commands: name -> (command line with IN and OUT in their places, the
# output's suffix ("/" a folder, None standard output), a reader that raises
# unless the output is complete, the family of inputs it is drawn with)

IN, OUT = object(), object()


def _read_text(data):
    assert data == b"" or data.endswith(b"\n")


def _read_parquet(data):
    pq.read_table(io.BytesIO(data))


def _read_npy(data):
    assert np.load(io.BytesIO(data), allow_pickle=False).ndim == 2


def _read_glb(data):
    magic, version, length = struct.unpack_from("<4sII", data)
    assert (magic, version, length) == (b"glTF", 2, len(data))


def _read_tileset(folder):
    tileset = json.loads((folder / "tileset.json").read_bytes())
    assert tileset["asset"]["version"] == "1.1"
    json.loads((folder / "footprints.geojson").read_bytes())
    for glb in folder.glob("*.glb"):
        _read_glb(glb.read_bytes())


CONVERT = ["convert", "--from", "wgs84", "--to", "ecef", IN, "-o", OUT]
COMMANDS = {
    "convert to csv": (CONVERT, ".csv", _read_text, POINTS),
    "convert to parquet": (CONVERT, ".parquet", _read_parquet, POINTS),
    "convert to npy": (["convert", "--from", "wgs84", "--to", "webmercator", IN, "-o", OUT],
                       ".npy", _read_npy, POINTS),
    "convert to standard output": (["convert", "--from", "bd09", "--to", "gcj02", IN], None,
                                   None, POINTS),
    "normals to obj": (["normals", IN, OUT, "--mode", "smooth"], ".obj", _read_text, MODELS),
    "normals to glb": (["normals", IN, OUT, "--mode", "crease"], ".glb", _read_glb, MODELS),
    "footprint": (["footprint", IN], None, None, MODELS),
    "footprint in processes": (["footprint", "--jobs", "2", "--at", "8.5,47.3", "--geojson",
                                IN, IN], None, None, MODELS),
    "tiles": (["tiles", IN, "--at", "8.5,47.3,10", "--heading", "30", "-o", OUT], "/",
              _read_tileset, MODELS),
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


def _written(out):
    """The output's bytes, or a folder's {name: bytes}."""
    if out.is_dir():
        return {path.name: path.read_bytes() for path in out.iterdir()}
    return out.read_bytes()


def run_case(folder, suffix, data, command, signum, delay, at_once):
    arguments, out_suffix, read, _ = COMMANDS[command]
    source = folder / f"input{suffix}"
    source.write_bytes(data)
    out = old = None
    if out_suffix == "/":
        out = folder / "output"
        out.mkdir()
        (out / "tileset.json").write_bytes(OLD_OUTPUT)
        old = {"tileset.json": OLD_OUTPUT}
    elif out_suffix is not None:
        out = folder / f"output{out_suffix}"
        out.write_bytes(OLD_OUTPUT)
        old = OLD_OUTPUT
    line = [source if a is IN else out if a is OUT else a for a in arguments]
    proc = start_geokern(*line, stdout=subprocess.DEVNULL)
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
    # Points: one line for bad data, none on success; a signal may come
    # after a line.  Models: a note (no faces, materials) and an error line
    # per model at most.
    if COMMANDS[command][3] == MODELS:
        assert len(lines) <= 2 * arguments.count(IN), err
    else:
        assert len(lines) <= (proc.returncode != 0), err
    assert proc.returncode != 1 or lines, err
    assert all(line.startswith("geokern: ") for line in lines), err
    assert source.read_bytes() == data
    if out is not None:
        written = _written(out)
        if proc.returncode == 0 or written != old:
            assert proc.returncode != 1, err  # bad data leaves the earlier output
            read(out if out.is_dir() else written)
    assert temporaries(folder) == []
    for path in folder.iterdir():
        shutil.rmtree(path) if path.is_dir() else path.unlink()


@settings(max_examples=CHAOS_EXAMPLES, derandomize="GEOKERN_CHAOS_EXAMPLES" not in os.environ)
@given(data=st.data(), command=st.sampled_from(sorted(COMMANDS)),
       signum=st.sampled_from(SIGNALS), delay=st.floats(0.0, 0.6), at_once=st.booleans())
def test_chaos(tmp_path_factory, data, command, signum, delay, at_once):
    folder = tmp_path_factory.mktemp("chaos")
    family = COMMANDS[command][3]
    kind = data.draw(st.sampled_from(sorted(k for k, (families, _) in INPUTS.items()
                                            if family in families)), label="input")
    suffix, content = data.draw(INPUTS[kind][1], label=kind)
    run_case(folder, suffix, content, command, signum, delay, at_once)
