# Runs inside a private mount namespace (see env.sh): mounts what the root
# needs, runs the command in it, unmounts on every exit path.
# Usage: enter-root.sh ROOT CHECKOUT COMMAND...
# With GK_OUT set (gk_out_folder in env.sh), that host folder is bound at
# /mnt inside the root; with GK_NPM_DIR set, the npm tools at /opt/npm.
set -euo pipefail
root=$1 checkout=$2
shift 2

cleanup() {
    umount "$root/mnt" 2>/dev/null || true
    umount "$root/dev/shm" 2>/dev/null || true
    umount "$root/dev" 2>/dev/null || true
    umount "$root/src" 2>/dev/null || true
    umount "$root/opt/npm" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

mount -t proc proc "$root/proc"
mount --bind "$checkout" "$root/src"
mount --bind /dev "$root/dev"
mount -t tmpfs -o size=1g tmpfs "$root/dev/shm"
if [ -n "${GK_NPM_DIR:-}" ]; then
    mkdir -p "$root/opt/npm"
    mount --bind "$GK_NPM_DIR" "$root/opt/npm"
fi
if [ -n "${GK_OUT:-}" ]; then
    mount --bind "$GK_OUT" "$root/mnt"
fi

# sid refuses pip installs into the system interpreter, so geokern goes into a
# venv that still sees the Debian packages.  It lives in the checkout, so
# checkouts used at the same time never install over each other.
if [ ! -x "$checkout/.venv/bin/python" ]; then
    chroot "$root" /usr/bin/python3.14 -m venv --system-site-packages /src/.venv
fi

chroot "$root" /usr/bin/env -i \
    PATH=/src/.venv/bin:/usr/local/bin:/usr/bin:/bin:/opt/npm/node_modules/.bin \
    HOME=/root LANG=C.UTF-8 ${GK_NPM_DIR:+GEOKERN_NPM=/opt/npm/node_modules NODE_PATH=/opt/npm/node_modules} \
    PROJ_DATA=/usr/share/proj \
    TERM="${TERM:-dumb}" CI="${CI:-}" ${OMP_NUM_THREADS:+OMP_NUM_THREADS=$OMP_NUM_THREADS} \
    ${GEOKERN_RACE_SECONDS:+GEOKERN_RACE_SECONDS=$GEOKERN_RACE_SECONDS} \
    ${GEOKERN_FUZZ_EXAMPLES:+GEOKERN_FUZZ_EXAMPLES=$GEOKERN_FUZZ_EXAMPLES} \
    ${GEOKERN_CHAOS_EXAMPLES:+GEOKERN_CHAOS_EXAMPLES=$GEOKERN_CHAOS_EXAMPLES} \
    /bin/bash -c 'cd /src && exec "$@"' bash "$@"
