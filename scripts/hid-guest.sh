#!/bin/sh
# Runs the switch link against a real kernel HID device: boots a QEMU guest with Debian's own
# kernel (uhid, hidraw), the host's root read-only over 9p so that the guest runs this build,
# and runs tst_hidguest there (the real hidapi-hidraw against vswitch-uhid, the real spanlink,
# the udev rule). Ends the guest on every path and never runs longer than the limit.
#   scripts/hid-guest.sh [BUILD_DIR]     (default build/; SPANLINK_GUEST_LIMIT seconds, 600)
# Exit code: that of the tests in the guest; 77 when the guest cannot be had here.
set -eu

cd "$(dirname "$0")/.."
root=$(pwd)
build=$(cd "${1:-build}" && pwd)
limit=${SPANLINK_GUEST_LIMIT:-600}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/spanlink/kernel

. "$root/scripts/lib/need.sh"
need qemu-system-x86_64 busybox udevadm
[ -x "$build/tests/tst_hidguest" ] || { echo "not built: $build/tests/tst_hidguest"; exit 1; }

# Debian's kernel, unpacked, not installed: the version linux-image-amd64 names.
kernel=$(ls "$cache"/*/boot/vmlinuz-* 2>/dev/null | head -n 1 || true)
if [ -z "$kernel" ]; then
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    [ -n "$pkg" ] || { echo "apt-cache does not name the kernel of linux-image-amd64 (apt-get update?)"; exit 1; }
    mkdir -p "$cache"
    (cd "$cache" && apt-get download -q "$pkg" 2>/dev/null && dpkg -x "$pkg"_*.deb "$pkg" && rm -f "$pkg"_*.deb)
    kernel=$(ls "$cache/$pkg"/boot/vmlinuz-* | head -n 1)
fi
modules=$(dirname "$(dirname "$kernel")")/lib/modules

work=$(mktemp -d)
qemu=""
cleanup() {
    [ -n "$qemu" ] && kill "$qemu" 2>/dev/null && wait "$qemu" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

mkdir -p "$work/initrd/bin" "$work/initrd/lib/modules" "$work/initrd/dev" "$work/initrd/proc" "$work/initrd/sys"
cp "$(command -v busybox)" "$work/initrd/bin/busybox"
for m in hid hid-generic uhid virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache \
    9pnet 9pnet_virtio 9p; do
    ko=$(find "$modules" -name "$m.ko" | head -n 1)
    [ -n "$ko" ] || { echo "module $m not in $modules"; exit 1; }
    cp "$ko" "$work/initrd/lib/modules/"
done
cat >"$work/initrd/init" <<INIT
#!/bin/busybox sh
/bin/busybox mount -t devtmpfs dev /dev
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sys /sys
for m in hid hid-generic uhid virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs fscache 9pnet 9pnet_virtio 9p; do
    /bin/busybox insmod /lib/modules/\$m.ko || echo "insmod \$m failed"
done
/bin/busybox mkdir -p /host
/bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 host /host
/bin/busybox mount -t devtmpfs dev /host/dev
/bin/busybox mount -t proc proc /host/proc
/bin/busybox mount -t sysfs sys /host/sys
# Writable places of the guest's own; the host's /tmp stays visible (a build may live there).
/bin/busybox mount -t tmpfs run /host/run
/bin/busybox mkdir -p /host/run/tmp /host/run/home
/bin/busybox mkdir -m 700 /host/run/user
/bin/busybox chroot /host /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/run/home TMPDIR=/run/tmp \
    XDG_RUNTIME_DIR=/run/user QT_QPA_PLATFORM=offscreen $build/tests/tst_hidguest
echo "HIDGUEST-RESULT \$?"
/bin/busybox poweroff -f
INIT
chmod +x "$work/initrd/init"
(cd "$work/initrd" && find . | busybox cpio -o -H newc 2>/dev/null | gzip) >"$work/initrd.gz"

started=$(date +%s)
timeout "$limit" qemu-system-x86_64 -m 1024 -smp 2 -accel tcg,thread=multi -nographic -no-reboot \
    -kernel "$kernel" -initrd "$work/initrd.gz" -append "console=ttyS0 quiet panic=-1" \
    -virtfs local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap \
    >"$work/console.log" 2>&1 </dev/null &
qemu=$!
status=0
wait "$qemu" || status=$?
qemu=""
tr -d '\r' <"$work/console.log" | grep -v '^\s*$' || true
echo "guest ran $(($(date +%s) - started)) s"
[ "$status" -eq 124 ] && { echo "the guest ran past the limit of $limit s"; exit 1; }
result=$(tr -d '\r' <"$work/console.log" | sed -n 's/^HIDGUEST-RESULT //p' | tail -n 1)
[ -n "$result" ] || { echo "the guest ended without a result"; exit 1; }
exit "$result"
