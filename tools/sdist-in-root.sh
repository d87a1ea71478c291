# Builds and installs the sdist with pip into a fresh venv of the build root
# and tests it (see test-wheel; run inside the build root).
# Usage: sdist-in-root.sh SDIST [pytest arguments]
set -euo pipefail
sdist=/src/$1
shift
work=$(mktemp -d /tmp/geokern-sdist.XXXXXX)
trap 'rm -rf "$work"' EXIT

# There is no package index here: the build backend is the root's, as in
# every build of the tools.
python3.14 -m venv --system-site-packages "$work/venv"
if ! "$work/venv/bin/pip" install --no-index --no-build-isolation --no-cache-dir "$sdist" \
        >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "tools: pip could not build and install the sdist" >&2
    exit 1
fi
bash /src/tools/suite-in-root.sh "$work/venv" "$@"
