# Builds and installs the checkout into the root's venv (run inside the root).
set -euo pipefail
cd /src
mkdir -p build
if ! pip install --no-build-isolation --no-index --quiet \
        --config-settings=cmake.define.GEOKERN_WERROR=ON . >/src/build/install.log 2>&1; then
    cat /src/build/install.log >&2
    echo "tools: building geokern failed" >&2
    exit 1
fi
