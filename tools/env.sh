# Shared helpers of the tools/ scripts: build (once) and enter the Debian sid
# root that carries CPython 3.14, numpy 2 and the toolchain.  Sourced, not run.
#
# The root lives under /opt, keyed by a hash of its package list (packages.txt
# unless GK_PACKAGE_LIST names another) and of the recipe's version number
# (GK_RECIPE_VERSION, raised by hand when a change to the recipe below must
# build a new root), so adding a package builds a new root and nothing else
# does.  It is
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

# The npm tools (tools/npm: the glTF validator, the viewer's globe, the
# converters the benchmarks compare against) live in a folder of their own,
# keyed by the lock file, and are mounted into the root at /opt/npm.
gk_npm_path() {
    echo "/opt/geokern-npm-$(sha256sum <"$GK_TOOLS/npm/package-lock.json" | cut -c1-16)"
}

# Installs the locked npm packages with the root's node and npm unless a
# finished folder exists.  The host's certificate bundle goes along, for
# networks that reach the registry through a proxy of their own.  Call with
# the lock held and the root built.
gk_build_npm() {
    local root=$1 npm=$2
    [ -d "$npm" ] && return 0
    local tmp="$npm.tmp" ca=${NODE_EXTRA_CA_CERTS:-/etc/ssl/certs/ca-certificates.crt}
    rm -rf "$tmp"
    mkdir -p "$tmp"
    cp "$GK_TOOLS/npm/package.json" "$GK_TOOLS/npm/package-lock.json" "$tmp/"
    [ -r "$ca" ] && cp "$ca" "$tmp/host-ca.crt"
    echo "tools: installing the npm tools into $npm (one time)" >&2
    unshare --mount --propagation private -- bash -c '
        mkdir -p "$1/opt/npm"
        mount --bind "$2" "$1/opt/npm"
        chroot "$1" /usr/bin/env -i PATH=/usr/bin:/bin HOME=/opt/npm/.home \
            ${3:+NODE_EXTRA_CA_CERTS=/opt/npm/host-ca.crt} \
            bash -c "cd /opt/npm && npm ci --no-audit --no-fund --loglevel=error"
    ' bash "$root" "$tmp" "$([ -r "$tmp/host-ca.crt" ] && echo yes)" >"$GK_CHECKOUT/.npm.log" 2>&1 || {
        echo "tools: installing the npm tools failed; see .npm.log" >&2
        rm -rf "$tmp"
        exit 1
    }
    rm -rf "$tmp/.home" "$tmp/host-ca.crt"
    mv "$tmp" "$npm"
    rm -f "$GK_CHECKOUT/.npm.log"
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
    local root npm=
    root=$(gk_root_path)
    exec 9>"$GK_LOCK"
    # A shared lock is enough when everything is built already; an exclusive
    # one, taken only to build, would wait for every command running in the
    # root to end.
    flock -s 9
    if [ -x "$root/usr/bin/npm" ]; then npm=$(gk_npm_path); fi
    if [ ! -d "$root" ] || { [ -n "$npm" ] && [ ! -d "$npm" ]; }; then
        flock 9
        gk_build_root "$root"
        # Roots without npm (the bare root of the wheel tests) go without it.
        if [ -x "$root/usr/bin/npm" ]; then
            npm=$(gk_npm_path)
            gk_build_npm "$root" "$npm"
        fi
        flock -s 9
    fi
    touch "$root" ${npm:+"$npm"}
    GK_NPM_DIR=$npm unshare --mount --propagation private -- \
        bash "$GK_TOOLS/enter-root.sh" "$root" "$GK_CHECKOUT" "$@"
}

# The root sees the checkout only (at /src).  A command that writes into a
# folder named by `--out DIR` gets DIR bound at /mnt inside the root instead.
GK_OUT_MOUNT=/mnt

# gk_out_folder ARG...: sets the array GK_ARGS to ARG... with the folder of
# every `--out DIR` or `--out=DIR` replaced by /mnt, and exports GK_OUT as
# that DIR (the last one given) created and made absolute from the caller's
# folder, for enter-root.sh to bind there; GK_OUT is empty without --out.
gk_out_folder() {
    GK_ARGS=()
    GK_OUT=
    while [ $# -gt 0 ]; do
        case $1 in
            --out | --out=*)
                if [ "$1" = --out ]; then
                    [ $# -ge 2 ] || set -- --out ""
                    GK_OUT=$2
                    shift
                else
                    GK_OUT=${1#--out=}
                fi
                if [ -z "$GK_OUT" ]; then
                    echo "tools: --out needs a folder" >&2
                    exit 2
                fi
                GK_ARGS+=(--out "$GK_OUT_MOUNT")
                ;;
            *) GK_ARGS+=("$1") ;;
        esac
        shift
    done
    [ -n "$GK_OUT" ] || return 0
    if ! mkdir -p -- "$GK_OUT" 2>/dev/null || [ ! -w "$GK_OUT" ]; then
        echo "tools: cannot write into the folder $GK_OUT" >&2
        exit 1
    fi
    GK_OUT=$(cd -- "$GK_OUT" && pwd -P)
    export GK_OUT
}

# gk_host_paths: a filter that shows the paths a command in the root prints
# as the host sees them: /src/... in the checkout, /mnt/... in GK_OUT.
gk_host_paths() {
    local checkout out
    checkout=$(printf '%s' "$GK_CHECKOUT" | sed 's/[|&\\]/\\&/g')
    out=$(printf '%s' "${GK_OUT:-$GK_OUT_MOUNT}" | sed 's/[|&\\]/\\&/g')
    sed -u -e "s|/src/|$checkout/|g" -e "s|$GK_OUT_MOUNT/|$out/|g"
}

