#!/bin/sh
# Builds the Debian package, installs it, starts the agent from it, checks what it put where and
# purges it again; `package_test.sh with-ctl` also expects the companion command. It installs
# into this machine, so it runs only as root; otherwise it exits 77 (skipped).
set -eu
ctl=${1:-without-ctl}
root=$(cd "$(dirname "$0")/../.." && pwd)
state() { dpkg-query -W -f='${db:Status-Abbrev}' spanlink 2>/dev/null || true; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root: it installs and purges spanlink here"; exit 77; }
case "$(state)" in "" | un*) ;; *) echo "SKIP: spanlink is installed here ($(state)); the test would remove it"; exit 77 ;; esac
APT="apt-get -o DPkg::Lock::Timeout=300 -y -q"
export DEBIAN_FRONTEND=noninteractive
tmp=$(mktemp -d)
agent=""
cleanup() { # never leave the package behind, whatever failed
    [ -z "$agent" ] || kill "$agent" 2>/dev/null || true
    case "$(state)" in "" | un*) ;; *) $APT purge spanlink >/dev/null 2>&1 || dpkg --purge spanlink ;; esac
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "FAIL: $*" && exit 1; }
# Anything named after the package in the system's own places: what maintainer scripts leave.
traces() { find /etc /usr /var /opt -xdev -iname '*spanlink*' -print 2>/dev/null | sort; }

"$root/scripts/package.sh"
traces >"$tmp/before"
cd "$root"
$APT install --no-install-recommends ./dist/spanlink_*.deb
dpkg -L spanlink >"$tmp/files"
expected="/usr/bin/spanlink /usr/share/man/man1/spanlink.1.gz /usr/lib/udev/rules.d/70-spanlink.rules
/etc/xdg/autostart/spanlink.desktop /usr/share/applications/spanlink.desktop /usr/share/icons/hicolor/48x48/apps/spanlink.png"
programs="/usr/bin/spanlink"
if [ "$ctl" = with-ctl ]; then
    expected="$expected /usr/bin/spanlinkctl /usr/share/man/man1/spanlinkctl.1.gz"
    programs="/usr/bin/spanlink /usr/bin/spanlinkctl"
fi
[ "$ctl" = with-ctl ] || ! grep -q spanlinkctl "$tmp/files" || fail "a build without spanlinkctl ships its files"
for f in $expected; do
    grep -qx "$f" "$tmp/files" && [ -f "$f" ] || fail "$f is not listed by dpkg -L spanlink or not on disk"
done
[ "$(grep '^/usr/bin/.' "$tmp/files" | sort | xargs)" = "$programs" ] ||
    fail "unexpected programs in /usr/bin: $(grep '^/usr/bin/.' "$tmp/files" | xargs)"
icon=$(sed -n 's/^Icon=//p' /usr/share/applications/spanlink.desktop)
[ -f "/usr/share/icons/hicolor/48x48/apps/$icon.png" ] || fail "the menu entry's icon '$icon' is not installed"

# The udev rule names the device the agent opens: bus 0003 (USB), vendor, product in capitals.
ident() { sed -n "s/.*constexpr ushort $1 = 0x\([0-9A-Fa-f]\{4\}\);.*/\1/p" "$root/src/kv830data.h" | tr 'a-f' 'A-F'; }
vid=$(ident VendorId)
pid=$(ident ProductId)
[ -n "$vid" ] && [ -n "$pid" ] || fail "cannot read KV830::VendorId and ProductId from src/kv830data.h"
grep -v '^#' /usr/lib/udev/rules.d/70-spanlink.rules | grep 'KERNEL=="hidraw\*"' |
    grep "KERNELS==\"0003:$vid:$pid\.\*\"" | grep -q 'TAG+="uaccess"' ||
    fail "the udev rule does not give the user the hidraw node of $vid:$pid"

# The installed agent starts headless as an ordinary user and logs whether it found the switch
# (with one attached, whether nobody may open its node depends on the node's rights).
mkdir -p "$tmp/home" "$tmp/data" "$tmp/run" "$tmp/tmp"
chmod 755 "$tmp" && chmod 700 "$tmp/run" && chown nobody "$tmp/home" "$tmp/data" "$tmp/run" "$tmp/tmp"
as_user() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin HOME="$tmp/home" \
        XDG_DATA_HOME="$tmp/data" XDG_RUNTIME_DIR="$tmp/run" TMPDIR="$tmp/tmp" QT_QPA_PLATFORM=offscreen "$@"
}
line='Debug: Connection device fail \(.*monitor\.cpp:[0-9]+, .*connectDevice.*\)'
attached=$(ls /sys/bus/hid/devices/ | grep ":$vid:$pid\." || true)
[ -z "$attached" ] || line="($line|Debug: hid_open\(\) ok, handle = .* \(.*hidcommand\.cpp:[0-9]+, .*opendevice.*\))"
as_user spanlink >"$tmp/agent.out" 2>&1 &
agent=$!
log="$tmp/data/VORN/Spanlink/log$(date +%F).txt"
i=0
until grep -Eq "^Date: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}, $line\$" "$log" 2>/dev/null; do
    i=$((i + 1))
    if [ "$i" -gt 60 ] || ! kill -0 "$agent" 2>/dev/null; then
        cat "$tmp/agent.out" "$log" 2>/dev/null || true
        fail "no line /$line/ in $log"
    fi
    sleep 0.5
done
kill -0 "$agent" 2>/dev/null || fail "the agent ended after writing its log"
kill "$agent" && wait "$agent" || true
agent=""
if [ "$ctl" = with-ctl ]; then
    as_user spanlinkctl --version >/dev/null || fail "spanlinkctl --version failed"
    rc=0
    as_user timeout 30 spanlinkctl status >/dev/null 2>&1 || rc=$?
    [ "$rc" -eq 1 ] || { [ -n "$attached" ] && [ "$rc" -eq 0 ]; } || fail "spanlinkctl status exited $rc, not 1"
fi

# Purge leaves nothing: no file, and no empty directory that no other package owns.
$APT purge spanlink
case "$(state)" in "" | un*) ;; *) fail "spanlink is still known to dpkg as $(state) after the purge" ;; esac
while read -r f; do
    if [ -d "$f" ] && [ ! -L "$f" ]; then
        [ -n "$(ls -A "$f")" ] || dpkg-query -S "$f" >/dev/null 2>&1 || fail "the purge left the empty directory $f"
    elif [ -e "$f" ] || [ -L "$f" ]; then
        fail "the purge left $f"
    fi
done <"$tmp/files"
left=$(traces | comm -13 "$tmp/before" -)
[ -z "$left" ] || fail "the purge left: $left"
echo "PASS: package built, installed, started and purged"
