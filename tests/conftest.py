import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, settings

# Fuzzers run on fixed seeds with a bounded number of cases; for a longer
# run on fresh seeds: GEOKERN_FUZZ_EXAMPLES=20000 tools/test -q -k fuzz
FUZZ_EXAMPLES = os.environ.get("GEOKERN_FUZZ_EXAMPLES")
settings.register_profile(
    "geokern", derandomize=FUZZ_EXAMPLES is None, max_examples=int(FUZZ_EXAMPLES or 100),
    deadline=None, suppress_health_check=[HealthCheck.too_slow], print_blob=True)
settings.load_profile("geokern")


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


def capsule_function(name, restype, *argtypes):
    """(signature text, callable) of a function published in __pyx_capi__."""
    import ctypes

    import geokern
    capsule = geokern.__pyx_capi__[name]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    signature = get_name(capsule)
    return signature.decode(), ctypes.PYFUNCTYPE(restype, *argtypes)(get_pointer(capsule, signature))


@pytest.fixture
def write_file(tmp_path):
    """Writes text (str, as UTF-8) or bytes to a file in tmp_path; returns its path."""
    def write(content, name="model.obj"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)
    return write


@pytest.fixture
def capsule():
    return capsule_function
