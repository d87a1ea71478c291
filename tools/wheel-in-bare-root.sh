# Installs the wheel into venvs of the bare root and tests it (see
# test-wheel; run inside the bare root).
# Usage: wheel-in-bare-root.sh WHEEL [pytest arguments]
set -euo pipefail
wheel=/src/$1
shift
work=$(mktemp -d /tmp/geokern-wheel.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "tools: $*" >&2; exit 1; }

# Without numpy, pip refuses the wheel itself.
python3.14 -m venv "$work/no-numpy"
if out=$("$work/no-numpy/bin/pip" install --no-index --no-cache-dir "$wheel" 2>&1); then
    fail "pip installed the wheel without numpy"
fi
grep -q "No matching distribution found for numpy" <<<"$out" ||
    { echo "$out" >&2; fail "pip failed without numpy, but not for want of numpy"; }
echo "without numpy: $(grep -m1 "No matching distribution" <<<"$out")"

# The wheel alone, then with the one extra whose packages this root has;
# pip check after each finds nothing that it did not find before (Debian's
# own packages may already disagree with their metadata).
python3.14 -m venv --system-site-packages "$work/venv"
pip=$work/venv/bin/pip
before=$("$pip" check 2>&1 || true)
for install in "$wheel" "$wheel[test]"; do
    "$pip" install --no-index --no-cache-dir --quiet "$install"
    new=$(comm -13 <(sort <<<"$before") <("$pip" check 2>&1 | sort) || true)
    [ -z "$new" ] || fail "pip check after installing ${install#/src/}: $new"
done
echo "pip check: nothing new after installing the wheel and its [test] extra" \
    "(before: $(tr '\n' ' ' <<<"$before"))"

# Every library the wheel installed resolves what it needs inside the
# installation, or to glibc, the C++ runtime or the interpreter.
site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
system='linux-vdso\.so\.1|ld-linux-x86-64\.so\.2|libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libpython3\.14\.so\.1\.0'
libraries=$("$work/venv/bin/python" -c '
import sys, zipfile
print("\n".join(n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".so" in n.rsplit("/", 1)[-1]))
' "$wheel")
for library in $libraries; do
    resolved=$(ldd "$site/$library") || fail "ldd $library failed"
    ! grep -q "not found" <<<"$resolved" || { echo "$resolved" >&2; fail "$library: a library is missing"; }
    # "name => path (address)" or "path (address)"; the names found outside
    # the installation.
    outside=$(awk '$2 == "=>" { print $1, $3; next } { print $1, $1 }' <<<"$resolved" |
              grep -vF " $site/" | awk '{ n = split($1, p, "/"); print p[n] }' |
              grep -vxE "$system" || true)
    [ -z "$outside" ] || { echo "$resolved" >&2; fail "$library needs $outside from outside the wheel"; }
    echo "ldd $library: $(awk '$2 == "=>" { n = split($1, p, "/"); printf "%s ", p[n] }' <<<"$resolved")"
done

bash /src/tools/suite-in-root.sh "$work/venv" "$@"
