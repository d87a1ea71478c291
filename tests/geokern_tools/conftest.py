import importlib.util
import os
import re
import shutil
import subprocess
import sys

import pytest


def run_geokern(*args, stdin=None, env=None, cwd=None):
    """Runs the installed `geokern` command; returns the completed process
    (stdout as bytes, stderr as text).  Where the command stops because an
    optional package it needs is not installed here (an installation without
    the [tools] extra), the calling test is skipped with that reason."""
    command = shutil.which("geokern") or os.path.join(os.path.dirname(sys.executable), "geokern")
    full_env = dict(os.environ, **(env or {}))
    proc = subprocess.run([command, *map(str, args)], input=stdin, capture_output=True,
                          env=full_env, cwd=cwd, timeout=120)
    proc.stderr = proc.stderr.decode("utf-8", "replace")
    missing = re.search(r"^ModuleNotFoundError: No module named '([\w.]+)'", proc.stderr, re.M)
    if missing and importlib.util.find_spec(missing[1].partition(".")[0]) is None:
        pytest.skip(f"the geokern command needs {missing[1]}, which is not installed")
    return proc

