# Shared helpers of the tools/ scripts: build (once) and enter the Debian sid
# root that carries CPython 3.14, numpy 2 and the toolchain.  Sourced, not run.
#
# The root lives under /opt, keyed by a hash of its package list (packages.txt
# unless GK_PACKAGE_LIST names another) and of this recipe, so adding a
# package builds a new root and nothing else does.  It is
# built into a temporary folder and renamed when complete.  A lock is held
# exclusively while a root is checked or built and shared while commands run,
# so several checkouts can run at once but never beside a build.

set -euo pipefail

GK_TOOLS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
GK_CHECKOUT=$(cd "$GK_TOOLS/.." && pwd)
GK_MIRROR=${GK_MIRROR:-http://deb.debian.org/debian}
GK_RECIPE_VERSION=3
GK_LOCK=/opt/geokern-env.lock
GK_PACKAGE_LIST=${GK_PACKAGE_LIST:-$GK_TOOLS/packages.txt}

gk_packages() {
    grep -v -e '^\s*#' -e '^\s*$' "$GK_PACKAGE_LIST" | tr -d ' '
}

gk_root_path() {
    local key
    key=$( { echo "recipe $GK_RECIPE_VERSION"; gk_packages; } | sha256sum | cut -c1-16)
    echo "/opt/geokern-root-$key"
}

gk_need_root_user() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "tools: the build root needs root rights (debootstrap, chroot, mount)" >&2
        exit 1
    fi
}

# Builds the root unless a finished one exists.  Call with the lock held.
gk_build_root() {
    local root=$1
    [ -d "$root" ] && return 0
    if ! command -v debootstrap >/dev/null; then
        echo "tools: installing debootstrap on the host" >&2
        apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null
    fi
    local tmp="$root.tmp"
    rm -rf "$tmp"
    echo "tools: building $root (one time, several minutes)" >&2
    # A minimal base first; the package list then goes through apt inside
    # the root, which orders the configuration of a large dependency tree
    # properly (debootstrap's own --include does not, for some libraries).
    # The mirror may serve a snapshot whose Release file has expired; its
    # signatures are still checked.
    {
        debootstrap --variant=minbase sid "$tmp" "$GK_MIRROR" &&
            cp /etc/resolv.conf "$tmp/etc/resolv.conf" &&
            unshare --mount --propagation private -- bash -c '
                mount -t proc proc "$1/proc"
                chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
                    DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 \
                    bash -c "apt-get -o Acquire::Check-Valid-Until=false update -q && apt-get install -y -q --no-install-recommends \$0 && apt-get clean" "$2"
            ' bash "$tmp" "$(gk_packages | paste -sd' ' -)"
    } >"$GK_CHECKOUT/.debootstrap.log" 2>&1 || {
        echo "tools: building the root failed; see .debootstrap.log" >&2
        rm -rf "$tmp"
        exit 1
    }
    mkdir -p "$tmp/src"
    mv "$tmp" "$root"
    # Roots of other package lists that have not been used for a day go;
    # recent ones may still serve another checkout (a branch with another
    # list), so they stay.
    local old
    for old in /opt/geokern-root-*; do
        [ "$old" = "$root" ] || [ ! -d "$old" ] ||
            [ -z "$(find "$old" -maxdepth 0 -mtime +0)" ] || rm -rf --one-file-system "$old"
    done
    rm -f "$GK_CHECKOUT/.debootstrap.log"
}

# gk_in_root COMMAND...: runs COMMAND inside the root, in /src (the checkout),
# with proc and the checkout mounted.  The mounts live in a private mount
# namespace, so they vanish when the command ends, whatever way it ends.
gk_in_root() {
    gk_need_root_user
    local root
    root=$(gk_root_path)
    exec 9>"$GK_LOCK"
    flock 9
    gk_build_root "$root"
    touch "$root"
    flock -s 9
    unshare --mount --propagation private -- \
        bash "$GK_TOOLS/enter-root.sh" "$root" "$GK_CHECKOUT" "$@"
}
