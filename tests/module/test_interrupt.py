"""Ctrl-C during long calls: the call itself stops with KeyboardInterrupt
soon after the signal, from native loops and from reads of any kind of file."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = """
import sys, time
import numpy as np
import geokern
{setup}
print("ready", flush=True)
try:
    {call}
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
else:
    print("finished", flush=True)
"""


def seconds_to_stop(setup, call, wait=0.5):
    """Starts `call` in a child, sends SIGINT `wait` s into it, and returns
    how long the child took to leave the call with KeyboardInterrupt."""
    code = CHILD.format(setup=textwrap.dedent(setup), call=call)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(wait)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert out.strip() != "finished", "the call ended before the signal"
    return float(out) - sent


@pytest.fixture
def fifo(tmp_path):
    """A FIFO that has a writer (this process) but never any data."""
    path = tmp_path / "pipe.obj"
    os.mkfifo(path)
    fd = os.open(path, os.O_RDWR)
    yield str(path)
    os.close(fd)


@pytest.fixture
def sparse_file(tmp_path):
    """A regular file of 64 GiB of zero bytes (sparse: it takes no disk)."""
    path = tmp_path / "zeros.obj"
    with open(path, "wb") as f:
        f.truncate(64 << 30)
    return str(path)


LONG_CALLS = {
    "smooth normals": (
        "pos = np.zeros((1, 3), np.float32)\n"
        "idx = np.broadcast_to(np.uint32(0), (3 << 32,))",
        "geokern.calculate_smooth_normals_cy(pos, idx, 1)"),
    "OBJ from a device": ("", "geokern.generate_obb_2d_from_obj_file('/dev/zero')"),
}


@pytest.mark.parametrize("name", LONG_CALLS)
def test_long_calls_stop_on_ctrl_c(name):
    delay = seconds_to_stop(*LONG_CALLS[name])
    print(f"{name}: stopped {delay:.3f} s after SIGINT")
    assert delay < 2


@pytest.mark.parametrize("source", ["fifo", "sparse_file"])
def test_obj_reads_stop_on_ctrl_c(request, source):
    path = request.getfixturevalue(source)
    delay = seconds_to_stop("", f"geokern.generate_obb_2d_from_obj_file({path!r})")
    print(f"OBJ from a {source}: stopped {delay:.3f} s after SIGINT")
    assert delay < 2
