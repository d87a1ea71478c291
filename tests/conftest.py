import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env_update=None, check=True):
    """Runs `code` in a fresh interpreter and returns its stdout."""
    env = dict(os.environ)
    env.update(env_update or {})
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=300)
    if check and proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stderr}")
    return proc.stdout


@pytest.fixture
def python():
    return run_python
