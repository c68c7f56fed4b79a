#!/bin/bash
# The README's two commands on a freshly installed Debian 12: builds a minimal root with
# mmdebstrap from the apt sources this machine uses, puts a clean clone of this checkout's HEAD
# and ../shared into it (at /work/spanlink and /work/shared, side by side as here), and runs
# scripts/demo.sh and then scripts/test.sh inside it as root, in a chroot with /proc, /sys,
# /dev, /dev/shm and /tmp mounted. Prints each result and the time it took; the exit status is
# that of the first that failed. Root only; takes the better part of an hour on two cores.
#
# usage: scripts/fresh-check.sh [WORK_DIR]   (default: a new folder under /var/tmp; removed
#        afterwards unless a step failed or KEEP=1)
set -uo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib/need.sh"
need mmdebstrap git

[ "$(id -u)" -eq 0 ] || { echo "fresh-check: needs root (mmdebstrap, mount, chroot)" >&2; exit 1; }
shared=$(realpath "${SPANLINK_SHARED:-$root/../shared}")
[ -d "$shared/windows" ] || { echo "fresh-check: no shared folder at $shared" >&2; exit 1; }
sources=$(ls /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -n 1)
[ -n "$sources" ] || { echo "fresh-check: no apt sources on this machine" >&2; exit 1; }

work=${1:-$(mktemp -d /var/tmp/spanlink-fresh.XXXXXX)}
chroot_dir="$work/root"
mounted=()
failed=0

unmount_all() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount -R "${mounted[$i]}" 2>/dev/null || umount -lR "${mounted[$i]}" 2>/dev/null || true
    done
    mounted=()
}
cleanup() {
    # Whatever the chroot left running holds its mounts: end it first.
    for p in /proc/[0-9]*; do
        [ "$(readlink "$p/root" 2>/dev/null)" = "$chroot_dir" ] && kill -9 "${p#/proc/}" 2>/dev/null
    done
    unmount_all
    # Kept when asked or when a step failed, for its logs (the build folders are in the root).
    if [ "${KEEP:-0}" = 1 ] || [ "$failed" = 1 ]; then echo "kept $work"; else rm -rf --one-file-system "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

mount_in() { # type-or-bind source target
    mkdir -p "$chroot_dir$3"
    if [ "$1" = bind ]; then
        mount --rbind "$2" "$chroot_dir$3" && mount --make-rslave "$chroot_dir$3"
    else
        mount -t "$1" "$2" "$chroot_dir$3"
    fi || { echo "fresh-check: cannot mount $3" >&2; exit 1; }
    mounted+=("$chroot_dir$3")
}

elapsed() { # seconds -> "12 min 34 s"
    printf '%d min %02d s' $(($1 / 60)) $(($1 % 60))
}

rev=$(git rev-parse --short HEAD)
echo "== fresh-check of $rev in $work"
start=$(date +%s)
mkdir -p "$work"
if ! mmdebstrap --variant=minbase bookworm "$chroot_dir" "$sources" >"$work/mmdebstrap.log" 2>&1; then
    tail -n 20 "$work/mmdebstrap.log"
    echo "fresh-check: mmdebstrap failed (log above)" >&2
    exit 1
fi
echo "root built in $(elapsed $(($(date +%s) - start)))"

mkdir -p "$chroot_dir/work"
git clone -q --no-checkout "$root" "$chroot_dir/work/spanlink" && git -C "$chroot_dir/work/spanlink" checkout -q "$rev" \
    || exit 1
cp -a "$shared" "$chroot_dir/work/shared" || exit 1
cp /etc/resolv.conf "$chroot_dir/etc/resolv.conf" 2>/dev/null || true

mount_in proc proc /proc
mount_in sysfs sys /sys
mount_in bind /dev /dev
mountpoint -q "$chroot_dir/dev/shm" || mount_in tmpfs shm /dev/shm
# The host's /tmp: X servers pick display numbers that no other server on this machine uses.
mount_in bind /tmp /tmp

run_in() { # label command
    local t0 status
    t0=$(date +%s)
    chroot "$chroot_dir" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 TERM=dumb /bin/sh -c "cd /work/spanlink && $2" 2>&1 | tee "$work/$1.log"
    status=${PIPESTATUS[0]}
    [ "$status" -eq 0 ] || failed=1
    results+=("$1: $([ "$status" -eq 0 ] && echo passed || echo "FAILED (exit $status)") in $(elapsed $(($(date +%s) - t0)))")
    return "$status"
}

results=()
run_in demo scripts/demo.sh
demo=$?
run_in test scripts/test.sh
test=$?

echo "== fresh-check of $rev on a new Debian 12 root ($(cat "$chroot_dir/etc/debian_version"))"
printf '%s\n' "${results[@]}"
[ "$demo" -eq 0 ] || exit "$demo"
exit "$test"
