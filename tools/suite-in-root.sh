# Runs the test suite against the geokern installed in VENV, from a copy of
# tests/ outside the checkout, so that nothing is imported from the checkout
# (run inside a root; see test-wheel).
# Usage: suite-in-root.sh VENV [pytest arguments]
set -euo pipefail
venv=$1
shift
suite=$(mktemp -d /tmp/geokern-suite.XXXXXX)
trap 'rm -rf "$suite"' EXIT
# The tests and their pytest settings.
tar -C /src --exclude=__pycache__ -cf - tests pyproject.toml | tar -C "$suite" -xf -
cd "$suite"
# The venv's commands (the `geokern` script among them) come first.
export PATH=$venv/bin:/usr/bin:/bin
python - "$venv" <<'PY'
import pathlib, sys
import geokern, geokern_tools._native as native
for module in (geokern, native):
    path = pathlib.Path(module.__file__)
    if pathlib.Path(sys.argv[1]) not in path.parents:
        sys.exit(f"tools: {module.__name__} comes from {path}, not from the venv under test")
    print("testing", path)
PY
python -m pytest "$@"
