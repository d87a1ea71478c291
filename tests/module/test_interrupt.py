"""Ctrl-C during long calls: the call itself stops with KeyboardInterrupt
soon after the signal, from native loops and from reads of any kind of file.

The child installs Python's own SIGINT handler itself: a child inherits
SIGINT ignored when the suite runs as a background job of a non-interactive
shell, and Python then leaves it ignored."""

import signal
import subprocess
import sys
import time

import pytest

CHILD = """
import os, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
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
OBJ = "geokern.generate_obb_2d_from_obj_file(path)"
LONG_CALLS = {
    "smooth normals": (
        "pos = np.zeros((1, 3), np.float32)\nidx = np.broadcast_to(np.uint32(0), (3 << 32,))",
        "geokern.calculate_smooth_normals_cy(pos, idx, 1)"),
    "OBJ from a device": ("path = '/dev/zero'", OBJ),
    # A FIFO that has a writer (the child itself) but never any data.
    "OBJ from a FIFO": ("path = sys.argv[1] + '/pipe.obj'\nos.mkfifo(path)\n"
                        "fd = os.open(path, os.O_RDWR)", OBJ),
    # 64 GiB of zero bytes (sparse: it takes no disk).
    "OBJ from a sparse file": ("path = sys.argv[1] + '/zeros.obj'\n"
                               "open(path, 'wb').truncate(64 << 30)", OBJ),
}


def ignore_sigint():
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# Every call as the suite's own process starts it, and one with SIGINT
# ignored from the start, as in a background job.
CASES = [(name, None) for name in LONG_CALLS] + [("smooth normals", ignore_sigint)]


@pytest.mark.parametrize("name, preexec", CASES,
                         ids=[name + (" started ignoring SIGINT" if preexec else "")
                              for name, preexec in CASES])
def test_long_calls_stop_on_ctrl_c(name, preexec, tmp_path):
    """Starts the call in a child, sends SIGINT 0.5 s into it, and measures
    how long the child takes to leave the call with KeyboardInterrupt."""
    setup, call = LONG_CALLS[name]
    code = CHILD.format(setup=setup, call=call)
    child = subprocess.Popen([sys.executable, "-c", code, str(tmp_path)], stdout=subprocess.PIPE,
                             text=True, preexec_fn=preexec)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert out.strip() != "finished", "the call ended before the signal"
    delay = float(out) - sent
    print(f"{name}: stopped {delay:.3f} s after SIGINT")
    assert delay < 2
