# The sanitizer build and its test run (see test-sanitize; run inside the root).
set -euo pipefail
cd /src
venv=/src/.venv-sanitize
[ -x "$venv/bin/python" ] || /usr/bin/python3.14 -m venv --system-site-packages "$venv"
mkdir -p build
if ! "$venv/bin/pip" install --no-build-isolation --no-index --quiet \
        -C cmake.build-type=Debug -C build-dir=build/sanitize \
        -C cmake.define.GEOKERN_SANITIZE=ON . >/src/build/install-sanitize.log 2>&1; then
    cat /src/build/install-sanitize.log >&2
    echo "tools: the sanitizer build failed" >&2
    exit 1
fi
# The interpreter is not instrumented: libasan must come first.  CPython
# keeps memory until exit by design, so leaks are not reported.  The C++
# runtime is preloaded too, so that libasan finds the exception functions it
# wraps even when the first C++ library (matplotlib's, say) is loaded late.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PATH="$venv/bin:$PATH"
exec python -m pytest "$@"
