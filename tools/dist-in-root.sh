# Builds dist/'s sdist and wheel (see dist; run inside the build root).
# Usage: dist-in-root.sh SOURCE_DATE_EPOCH
set -euo pipefail
export SOURCE_DATE_EPOCH=$1
# auditwheel lists the bundled libraries' packages in its bill of materials
# in the iteration order of a set of strings, which follows the hash seed.
export PYTHONHASHSEED=0
cd /src
work=$(mktemp -d /tmp/geokern-dist.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "tools: $*" >&2; exit 1; }

# python -m build makes the sdist from the checkout and then the wheel from
# the unpacked sdist, in a fresh build folder.
python -m build --no-isolation --outdir "$work/built" /src >"$work/build.log" 2>&1 ||
    { cat "$work/build.log" >&2; fail "building the distributions failed"; }
sdist=$(echo "$work"/built/*.tar.gz)
auditwheel repair --wheel-dir "$work/repaired" "$work"/built/*.whl >"$work/repair.log" 2>&1 ||
    { cat "$work/repair.log" >&2; fail "auditwheel could not repair the wheel"; }

# The licences of what auditwheel bundled go into the dist-info.
python -m wheel unpack --dest "$work/unpacked" "$work"/repaired/*.whl >/dev/null
python tools/wheel_licences.py "$work"/unpacked/*/
mkdir "$work/final"
python -m wheel pack --dest-dir "$work/final" "$work"/unpacked/*/ >/dev/null
wheel=$(echo "$work"/final/*.whl)

# The sdist: the build files, readme, licence, sources and packages only.
extra=$(tar -tzf "$sdist" | cut -d/ -f2 | sort -u |
        grep -vxE 'PKG-INFO|pyproject.toml|CMakeLists.txt|README.md|LICENSE|src|python' || true)
[ -z "$extra" ] || fail "the sdist holds more than the build needs: $extra"

# The wheel: both modules and their implementations, the typing files, the
# bundled libraries and their licences; no tests, benchmarks or build files.
listing=$(python -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$wheel")
for needed in 'geokern\.cpython-314-x86_64-linux-gnu\.so' \
        'geokern_tools/_native\.cpython-314-x86_64-linux-gnu\.so' \
        'geokern_tools/_lib/libgeokern\.so' 'geokern_tools/_lib/libgeokern_native\.so' \
        'geokern_tools/py\.typed' 'geokern_tools/_native\.pyi' 'geokern-stubs/__init__\.pyi' \
        'geokern\.libs/libsleef-.*' 'geokern\.libs/libgomp-.*' \
        'geokern-.*\.dist-info/licenses/bundled/libsleef3/copyright' \
        'geokern-.*\.dist-info/licenses/bundled/libgomp1/copyright'; do
    grep -qxE "$needed" <<<"$listing" || fail "the wheel lacks $needed"
done
unwanted=$(grep -E '^(tests|bench|tools|docs|examples|src)/|CMakeLists|pyproject|\.(cpp|hpp|pyc)$' <<<"$listing" || true)
[ -z "$unwanted" ] || fail "the wheel holds files it must not: $unwanted"

# auditwheel must find the wheel consistent with the tag it carries.
tag=$(basename "$wheel" .whl | cut -d- -f5)
auditwheel show "$wheel" >"$work/show.txt" 2>/dev/null
grep -q "consistent with the following platform tag: \"${tag}\"" <(tr '\n' ' ' <"$work/show.txt" | tr -s ' ') ||
    { cat "$work/show.txt" >&2; fail "auditwheel does not find the wheel consistent with $tag"; }

mkdir -p dist
rm -f dist/geokern-*
cp "$sdist" "$wheel" dist/
cat "$work/show.txt"
for f in dist/geokern-*; do
    printf '%s  %s bytes  sha256 %s\n' "$f" "$(stat -c %s "$f")" "$(sha256sum "$f" | cut -c1-16)"
done
