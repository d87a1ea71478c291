import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys

import pytest


def geokern_command():
    return shutil.which("geokern") or os.path.join(os.path.dirname(sys.executable), "geokern")


def run_geokern(*args, stdin=None, env=None, cwd=None, **popen):
    """Runs the installed `geokern` command; returns the completed process
    (stdout as bytes, stderr as text).  Where the command stops because an
    optional package it needs is not installed here (an installation without
    the [tools] extra), the calling test is skipped with that reason."""
    full_env = dict(os.environ, **(env or {}))
    proc = subprocess.run([geokern_command(), *map(str, args)], input=stdin, capture_output=True,
                          env=full_env, cwd=cwd, timeout=120, **popen)
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    missing = re.search(r"No module named '([\w.]+)'", proc.stderr)
    if missing and importlib.util.find_spec(missing[1].partition(".")[0]) is None:
        pytest.skip(f"the geokern command needs {missing[1]}, which is not installed")
    return proc


def default_signals(ignored=()):
    """For preexec_fn: the interrupting signals at their defaults, whatever
    the test run inherited (a background job starts with SIGINT ignored),
    except those in `ignored`."""
    def reset():
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, signal.SIG_IGN if signum in ignored else signal.SIG_DFL)
    return reset


def start_geokern(*args, ignored=(), **popen):
    """Starts the `geokern` command (stderr piped) with the interrupting
    signals at their defaults (or ignored); returns the Popen."""
    if importlib.util.find_spec("pyarrow") is None:
        pytest.skip("the geokern command needs pyarrow, which is not installed")
    popen.setdefault("stderr", subprocess.PIPE)
    return subprocess.Popen([geokern_command(), *map(str, args)],
                            preexec_fn=default_signals(ignored), **popen)


def temporaries(folder):
    """Names the output helper's temporaries and locks in `folder`."""
    return sorted(name for name in os.listdir(folder) if ".geokern-" in name)
