# Runs inside a private mount namespace (see env.sh): mounts what the root
# needs, runs the command in it, unmounts on every exit path.
# Usage: enter-root.sh ROOT CHECKOUT COMMAND...
set -euo pipefail
root=$1 checkout=$2
shift 2

cleanup() {
    umount "$root/dev/shm" 2>/dev/null || true
    umount "$root/dev" 2>/dev/null || true
    umount "$root/src" 2>/dev/null || true
    umount "$root/proc" 2>/dev/null || true
}
trap cleanup EXIT INT TERM

mount -t proc proc "$root/proc"
mount --bind "$checkout" "$root/src"
mount --bind /dev "$root/dev"
mount -t tmpfs -o size=1g tmpfs "$root/dev/shm"

chroot "$root" /usr/bin/env -i \
    PATH=/opt/venv/bin:/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    TERM="${TERM:-dumb}" CI="${CI:-}" ${OMP_NUM_THREADS:+OMP_NUM_THREADS=$OMP_NUM_THREADS} \
    /bin/bash -c 'cd /src && exec "$@"' bash "$@"
