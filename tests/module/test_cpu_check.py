"""The processor check runs before any x86-64-v3 instruction.

The libraries are compiled for x86-64-v3 except the entry point, which
checks the processor first and only then opens the implementation library
(and with it the OpenMP runtime and SLEEF).  That holds only while the entry
point's object code uses no instruction beyond baseline x86-64 and no object
of ours has code that runs when its library is loaded.  Both are read off
the build's object files; what the import maps is read off the process.
"""

import importlib
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

OBJECTS = pathlib.Path(__file__).parents[2] / "build"
# VEX- and EVEX-encoded instructions all start with v; then the scalar
# extensions of x86-64-v2 and -v3.
BEYOND_BASELINE = re.compile(
    r"\t(v[a-z0-9]+|andn|bextr|blsi|blsmsk|blsr|bzhi|mulx|pdep|pext|rorx|sarx|shlx|shrx|"
    r"tzcnt|lzcnt|movbe|popcnt|crc32|pshufb|ptest|pminsd|pmaxsd|roundsd|roundpd|dppd)\b")


def object_files():
    # Every target of the release builds; the sanitizer build's objects
    # register their globals with the sanitizer runtime at load time.
    found = sorted(o for o in OBJECTS.glob("*/CMakeFiles/*.dir/src/**/*.o")
                   if o.parts[len(OBJECTS.parts)] != "sanitize")
    if not found:
        pytest.skip("no build directory with object files (run through tools/test)")
    if shutil.which("objdump") is None:
        pytest.skip("objdump not installed")
    return found


def disassembly(path):
    return subprocess.run(["objdump", "-d", "--no-show-raw-insn", str(path)],
                          capture_output=True, text=True, check=True).stdout


def test_entry_point_uses_baseline_instructions_only():
    entries = [o for o in object_files() if o.name in ("init.cpp.o", "cpu_check.cpp.o")]
    code = {o.parent.name + "/" + o.name: disassembly(o) for o in entries}
    assert "<PyInit_geokern>:" in code["module/init.cpp.o"]
    assert "<PyInit__native>:" in code["tools_native/init.cpp.o"]
    assert "processor_supported" in code["module/cpu_check.cpp.o"]
    for name, text in code.items():
        assert BEYOND_BASELINE.findall(text) == [], name


def test_no_code_runs_when_the_library_is_loaded():
    initialisers = []
    for o in object_files():
        sections = subprocess.run(["objdump", "-h", str(o)], capture_output=True, text=True,
                                  check=True).stdout
        if ".init_array" in sections or ".ctors" in sections:
            initialisers.append(o.name)
    assert initialisers == []


def mapped_files(maps):
    """The files that a /proc/PID/maps text shows mapped."""
    fields = (line.split(maxsplit=5) for line in maps.splitlines())
    return {pathlib.Path(f[5]) for f in fields if len(f) == 6 and f[5].startswith("/")}


@pytest.mark.parametrize("module", ["geokern", "geokern_tools._native"])
def test_import_refuses_a_processor_without_the_instructions(module):
    # The C library reports a feature switched off by GLIBC_TUNABLES as not
    # usable, which stands in for a processor that lacks it.  The library is
    # loaded from its file, so that no other module's check comes first.
    # Of the installation only the entry library may have been mapped then:
    # neither the implementation nor what it needs (the OpenMP runtime,
    # SLEEF, the wheel's copies of them) has been loaded or run.
    path = pathlib.Path(importlib.import_module(module).__file__)
    site = path.parents[module.count(".")]
    load = ("import importlib.util as u\n"
            f"spec = u.spec_from_file_location({module!r}, {str(path)!r})\n"
            "try:\n"
            "    u.module_from_spec(spec)\n"
            "finally:\n"
            "    print(open('/proc/self/maps').read())\n")
    env = dict(os.environ, GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2,-FMA")
    done = subprocess.run([sys.executable, "-c", load], env=env, capture_output=True, text=True)
    assert done.returncode == 1
    assert done.stderr.rstrip().splitlines()[-1] == (
        f"ImportError: {module} needs an x86-64-v3 processor (AVX2, FMA, BMI1/2); "
        "this one lacks AVX2, FMA")
    mapped = mapped_files(done.stdout)
    assert path in mapped
    assert {m for m in mapped if site in m.parents} == {path}
    assert [m.name for m in mapped if "gomp" in m.name or "sleef" in m.name] == []


@pytest.mark.parametrize("module", ["geokern", "geokern_tools._native"])
def test_an_entry_library_without_its_implementation(module, tmp_path):
    # A copy of the entry library alone: the import fails with the loader's
    # reason instead of crashing.
    entry = pathlib.Path(importlib.import_module(module).__file__)
    copy = tmp_path / entry.name
    shutil.copy(entry, copy)
    spec = importlib.util.spec_from_file_location(module, copy)
    with pytest.raises(ImportError, match=rf"^{module}: cannot load its implementation: "
                                          rf"{re.escape(str(tmp_path))}/.*No such file"):
        importlib.util.module_from_spec(spec)
