#!/bin/sh
# Builds the Debian package, installs it, starts the agent from it, checks what it put where
# and purges it again. `package_test.sh with-ctl` also expects the companion command.
# It installs into this machine, so it runs only as root; otherwise it exits 77 (skipped).
set -eu

ctl=${1:-without-ctl}
root=$(cd "$(dirname "$0")/../.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root: it installs and purges the spanlink package on this machine"
    exit 77
fi
state() { dpkg-query -W -f='${db:Status-Abbrev}' spanlink 2>/dev/null || true; }
case "$(state)" in
"" | un*) ;;
*)
    echo "SKIP: spanlink is installed on this machine ($(state)); the test would remove it"
    exit 77
    ;;
esac

APT="apt-get -o DPkg::Lock::Timeout=300 -y -q"
export DEBIAN_FRONTEND=noninteractive
tmp=$(mktemp -d)
agent=""
cleanup() {
    [ -z "$agent" ] || kill "$agent" 2>/dev/null || true
    # Never leave the package behind, whatever failed.
    case "$(state)" in
    "" | un*) ;;
    *) $APT purge spanlink >/dev/null 2>&1 || dpkg --purge spanlink ;;
    esac
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
fail() {
    echo "FAIL: $*"
    exit 1
}

# Anything named after the package in the system's own places, to find what maintainer scripts
# leave behind (home and source trees are left out: other builds and tests write there).
traces() {
    find /etc /usr /var /opt -xdev -iname '*spanlink*' -print 2>/dev/null | sort
}

start=$(date +%s)
"$root/scripts/package.sh"
built=$(date +%s)
traces >"$tmp/before"
cd "$root"
$APT install --no-install-recommends ./dist/spanlink_*.deb

# What the package holds.
dpkg -L spanlink >"$tmp/files"
expected="/usr/bin/spanlink
/usr/share/man/man1/spanlink.1.gz
/usr/lib/udev/rules.d/70-spanlink.rules
/etc/xdg/autostart/spanlink.desktop
/usr/share/applications/spanlink.desktop
/usr/share/icons/hicolor/48x48/apps/spanlink.png"
programs="/usr/bin/spanlink"
if [ "$ctl" = with-ctl ]; then
    expected="$expected
/usr/bin/spanlinkctl
/usr/share/man/man1/spanlinkctl.1.gz"
    programs="$programs
/usr/bin/spanlinkctl"
elif grep -q spanlinkctl "$tmp/files"; then
    fail "the build has no spanlinkctl, yet the package ships: $(grep spanlinkctl "$tmp/files" | tr "\n" " ")"
fi
for f in $expected; do
    grep -qx "$f" "$tmp/files" || fail "dpkg -L spanlink does not list $f"
    [ -f "$f" ] || fail "$f is listed but not on disk"
done
[ "$(grep '^/usr/bin/.' "$tmp/files" | sort)" = "$(echo "$programs" | sort)" ] ||
    fail "unexpected programs in /usr/bin: $(grep '^/usr/bin/.' "$tmp/files" | tr '\n' ' ')"
icon=$(sed -n 's/^Icon=//p' /usr/share/applications/spanlink.desktop)
[ -f "/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "the menu entry's icon '$icon' is not installed"

# The udev rule names the device the agent opens.
ident() {
    sed -n "s/.*constexpr ushort $1 = 0x\([0-9A-Fa-f]\{4\}\);.*/\1/p" "$root/src/kv830data.h" | tr 'a-f' 'A-F'
}
vid=$(ident VendorId)
pid=$(ident ProductId)
if [ -z "$vid" ] || [ -z "$pid" ]; then
    fail "cannot read KV830::VendorId and ProductId from src/kv830data.h"
fi
# The kernel names a HID device bus:vendor:product.instance in upper-case hex; bus 0003 is USB.
grep -v '^#' /usr/lib/udev/rules.d/70-spanlink.rules | grep 'KERNEL=="hidraw\*"' |
    grep "KERNELS==\"0003:$vid:$pid\.\*\"" | grep -q 'TAG+="uaccess"' ||
    fail "the udev rule does not give the user the hidraw node of $vid:$pid"

# The installed agent starts headless as an ordinary user and logs whether it found the switch.
chmod 755 "$tmp"
mkdir -p "$tmp/home" "$tmp/data" "$tmp/run" "$tmp/tmp"
chmod 700 "$tmp/run"
chown nobody "$tmp/home" "$tmp/data" "$tmp/run" "$tmp/tmp"
as_user() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin HOME="$tmp/home" \
        XDG_DATA_HOME="$tmp/data" XDG_RUNTIME_DIR="$tmp/run" TMPDIR="$tmp/tmp" QT_QPA_PLATFORM=offscreen "$@"
}
# Without a switch the agent says it cannot open it. With one attached, whether nobody may open
# its node depends on the node's rights, so either line will do (the kernel's names use capitals).
line='Debug: Connection device fail \(.*monitor\.cpp:[0-9]+, .*connectDevice.*\)'
attached=""
for d in /sys/bus/hid/devices/*; do
    case "${d##*/}" in
    *":$(echo "$vid:$pid" | tr 'a-f' 'A-F')."*) attached=1 ;;
    esac
done
if [ -n "$attached" ]; then
    line="($line|Debug: hid_open\(\) ok, handle = .* \(.*hidcommand\.cpp:[0-9]+, .*opendevice.*\))"
fi
as_user spanlink >"$tmp/agent.out" 2>&1 &
agent=$!
log="$tmp/data/VORN/Spanlink/log$(date +%F).txt"
i=0
until grep -Eq "^Date: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}, $line\$" "$log" 2>/dev/null; do
    i=$((i + 1))
    if [ "$i" -gt 60 ] || ! kill -0 "$agent" 2>/dev/null; then
        echo "agent output:"
        cat "$tmp/agent.out"
        echo "log:"
        cat "$log" 2>/dev/null || true
        fail "no line /$line/ in $log"
    fi
    sleep 0.5
done
kill -0 "$agent" 2>/dev/null || fail "the agent ended after writing its log"
kill "$agent"
wait "$agent" || true
agent=""
echo "agent logged: $(grep -E "$line" "$log")"

if [ "$ctl" = with-ctl ]; then
    as_user spanlinkctl --version >/dev/null || fail "spanlinkctl --version failed"
    rc=0
    as_user timeout 30 spanlinkctl status >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 1 ] || { [ -n "$attached" ] && [ "$rc" -eq 0 ]; } ||
        fail "spanlinkctl status exited $rc, not 1 (the switch does not answer)"
fi

# Purge leaves nothing: no file, and no empty directory that no other package owns.
$APT purge spanlink
case "$(state)" in
"" | un*) ;;
*) fail "spanlink is still known to dpkg as $(state) after the purge" ;;
esac
while read -r f; do
    if [ -d "$f" ] && [ ! -L "$f" ]; then
        if [ -z "$(ls -A "$f")" ] && ! dpkg-query -S "$f" >/dev/null 2>&1; then
            fail "the purge left the empty directory $f"
        fi
    elif [ -e "$f" ] || [ -L "$f" ]; then
        fail "the purge left $f"
    fi
done <"$tmp/files"
traces >"$tmp/after"
left=$(comm -13 "$tmp/before" "$tmp/after")
[ -z "$left" ] || fail "the purge left: $left"

end=$(date +%s)
echo "PASS: package built in $((built - start)) s, install, start and purge checked in $((end - built)) s"
