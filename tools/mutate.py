"""Mutation run: applies small faults to the sources one at a time and runs
the test suite on each, to show which faults the suite catches.

Each mutant in tools/mutants.toml names a file, a text that must occur in it
exactly once, and its replacement (a flipped comparison, an off-by-one
bound, a dropped check, swapped arguments).  The run works on a copy of the
checkout's tracked files (build/mutate/tree) with its own build folder and
venv, so the checkout and its .venv are never touched.  For every mutant it
applies the change, builds and installs the copy, runs the mutant's own test
folders first and, if they all pass, the rest of the suite; the mutant is
"killed" when a test fails, "survived" when the whole suite passes, "broken"
when the copy does not build (a mutant that no compiler accepts says nothing
about the tests).  Results are written as JSON; `--compare OLD.json` lists
the mutants whose verdict changed.

Run inside the build root (tools/mutate does that):
    python tools/mutate.py [--only NAME ...] [--out FILE] [--compare OLD.json]
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time
import tomllib
from pathlib import Path

CHECKOUT = Path(__file__).resolve().parent.parent
WORK = CHECKOUT / "build" / "mutate"
TREE = WORK / "tree"
VENV = WORK / "venv"


def load_mutants(path: Path) -> list[dict[str, object]]:
    mutants = tomllib.loads(path.read_text())["mutant"]
    names = [m["name"] for m in mutants]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        sys.exit(f"mutate: duplicate mutant names: {', '.join(sorted(duplicates))}")
    return mutants


def check_applies(mutants: list[dict[str, object]]) -> None:
    """Every mutant's text occurs exactly once in its file: a list that has
    drifted from the sources stops the run before anything is built."""
    bad = []
    for m in mutants:
        text = (CHECKOUT / str(m["file"])).read_text()
        count = text.count(str(m["find"]))
        if count != 1:
            bad.append(f"{m['name']}: {m['file']} holds its text {count} times")
    if bad:
        sys.exit("mutate: mutants that do not apply:\n  " + "\n  ".join(bad))


def copy_tree() -> None:
    """Copies the tracked files (listed by tools/mutate on the host, where
    git sees the repository) into the scratch tree."""
    names = (WORK / "files.txt").read_text().split("\0")
    if TREE.exists():
        shutil.rmtree(TREE)
    for name in filter(None, names):
        source, target = CHECKOUT / name, TREE / name
        if source.is_file():  # a deleted file not yet committed is skipped
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(source, target)


def install() -> bool:
    if not (VENV / "bin" / "python").exists():
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(VENV)],
                       check=True)
    proc = subprocess.run(
        [str(VENV / "bin" / "pip"), "install", "--no-build-isolation", "--no-index", "--quiet",
         "-C", f"build-dir={WORK / 'cmake'}", "-C", "cmake.define.GEOKERN_WERROR=ON", "."],
        cwd=TREE, capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        (WORK / "last-build.log").write_text(proc.stdout + proc.stderr)
    return proc.returncode == 0


def pytest(args: list[str], timeout: float) -> bool:
    """True when every selected test passes."""
    env = dict(os.environ, PATH=f"{VENV / 'bin'}:{os.environ['PATH']}")
    try:
        proc = subprocess.run([str(VENV / "bin" / "python"), "-m", "pytest", "-x", "-q",
                               "-p", "no:cacheprovider", "-m", "not slow", *args],
                              cwd=TREE, env=env, capture_output=True, text=True,
                              timeout=timeout, check=False)
    except subprocess.TimeoutExpired:
        return False  # a fault that hangs the suite is caught by its timeout
    # 5: no tests collected (an empty selection passes trivially).
    return proc.returncode in (0, 5)


def run_mutant(m: dict[str, object], timeout: float) -> str:
    path = TREE / str(m["file"])
    original = path.read_text()
    path.write_text(original.replace(str(m["find"]), str(m["replace"]), 1))
    try:
        if not install():
            return "broken"
        first = [str(t) for t in m.get("tests", [])]  # type: ignore[union-attr]
        if first and not pytest(first, timeout):
            return "killed"
        ignore = [f"--ignore={t}" for t in first]
        return "survived" if pytest(["tests", *ignore], timeout) else "killed"
    finally:
        path.write_text(original)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", type=Path, default=CHECKOUT / "tools" / "mutants.toml")
    parser.add_argument("--only", nargs="*", default=[], help="mutant names to run")
    parser.add_argument("--out", type=Path, default=WORK / "results.json")
    parser.add_argument("--compare", type=Path, help="an earlier results.json")
    parser.add_argument("--timeout", type=float, default=900, help="seconds per pytest run")
    args = parser.parse_args()

    mutants = load_mutants(args.list)
    if args.only:
        unknown = set(args.only) - {m["name"] for m in mutants}
        if unknown:
            sys.exit(f"mutate: unknown mutants: {', '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m["name"] in args.only]
    check_applies(mutants)
    WORK.mkdir(parents=True, exist_ok=True)
    copy_tree()
    if not install() or not pytest(["tests"], args.timeout):
        sys.exit("mutate: the unmutated copy does not build or pass its tests "
                 f"(see {WORK / 'last-build.log'} or run the suite)")

    results: dict[str, str] = {}
    for number, m in enumerate(mutants, 1):
        started = time.monotonic()
        results[str(m["name"])] = verdict = run_mutant(m, args.timeout)
        print(f"[{number}/{len(mutants)}] {m['name']}: {verdict} "
              f"({time.monotonic() - started:.0f} s)", flush=True)
    install()  # leave the copy's venv unmutated

    counts = {v: sum(1 for r in results.values() if r == v)
              for v in ("killed", "survived", "broken")}
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({"counts": counts, "results": results}, indent=1) + "\n")
    print(f"killed {counts['killed']}, survived {counts['survived']}, "
          f"broken {counts['broken']} of {len(results)}; written to {args.out}")
    if args.compare:
        old = json.loads(args.compare.read_text())["results"]
        changed = {n: (old.get(n), v) for n, v in results.items() if old.get(n) != v}
        for name, (before, after) in sorted(changed.items()):
            print(f"changed: {name}: {before} -> {after}")
        if not changed:
            print(f"no verdict changed against {args.compare}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
