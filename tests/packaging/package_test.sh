#!/bin/sh
# Builds the Debian package, installs it, starts the agent from it as an ordinary user and purges
# it again. Installs into this machine: root only, else 77 (skipped).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/lib/need.sh"
need setpriv apt-get
state() { dpkg-query -W -f='${db:Status-Abbrev}' spanlink 2>/dev/null || true; }
gone() { case "$(state)" in "" | un*) ;; *) return 1 ;; esac; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root: it installs and purges spanlink here"; exit 77; }
gone || { echo "SKIP: spanlink is installed here ($(state)); the test would remove it"; exit 77; }
APT="apt-get -o DPkg::Lock::Timeout=300 -y -q"
export DEBIAN_FRONTEND=noninteractive
tmp=$(mktemp -d)
agent=""
trap '[ -z "$agent" ] || kill "$agent" 2>/dev/null; gone || $APT purge spanlink >/dev/null 2>&1 || dpkg --purge spanlink; rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "FAIL: $*" && exit 1; }
# Each file it installs, and whatever its maintainer scripts make, is named after the package.
traces() { find /etc /usr /var /opt -xdev -iname '*spanlink*' -print 2>/dev/null | sort; }

"$root/scripts/package.sh"
traces >"$tmp/before"
cd "$root" && $APT install --no-install-recommends ./dist/spanlink_*.deb
# What a user's desktop needs from it: the programs, their pages, the rule, the menu and autostart.
for f in /usr/bin/spanlink /usr/bin/spanlinkctl /usr/bin/spanlink-setup /usr/share/man/man1/spanlink.1.gz \
    /usr/share/man/man1/spanlinkctl.1.gz /usr/share/man/man1/spanlink-setup.1.gz /usr/lib/udev/rules.d/70-spanlink.rules \
    /etc/xdg/autostart/spanlink.desktop /usr/share/applications/spanlink.desktop \
    /usr/share/applications/spanlink-setup.desktop; do
    dpkg -L spanlink | grep -qx "$f" && [ -f "$f" ] || fail "$f is not installed by the package"
done
mkdir -m 700 "$tmp/run" && chmod 755 "$tmp" && chown nobody "$tmp/run"
# The background shell becomes setpriv, then env, then the agent: $! is the agent's own id.
as_user() { exec setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin HOME="$tmp/run" \
    XDG_DATA_HOME="$tmp/run" XDG_RUNTIME_DIR="$tmp/run" TMPDIR="$tmp/run" QT_QPA_PLATFORM=offscreen "$@"; }
# Agents of this run: those of user nobody whose home is this run's folder.
ours() {
    for pid in $(pgrep -u nobody -x spanlink); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "HOME=$tmp/run" && echo "$pid"
    done
    return 0
}
(as_user /usr/bin/spanlink) >"$tmp/agent.out" 2>&1 &
agent=$!
log="$tmp/run/VORN/Spanlink/log$(date +%F).txt"
line='^Date: [0-9-]{10} [0-9:]{8}, Debug: (Connection device fail|hid_open\(\) ok)'
for _ in $(seq 60); do grep -Eq "$line" "$log" 2>/dev/null && break || sleep 0.5; done
grep -Eq "$line" "$log" 2>/dev/null || { cat "$tmp/agent.out" "$log" || true; fail "no /$line/ in $log"; }
[ "$(ours)" = "$agent" ] || fail "the agent runs as $(ours), not as the process $agent the test started"
kill "$agent"
wait "$agent" || true
agent=""
[ -z "$(ours)" ] || fail "an agent is left running: $(ours)"

$APT purge spanlink
gone || fail "spanlink is still known to dpkg as $(state) after the purge"
left=$(traces | comm -13 "$tmp/before" -)
[ -z "$left" ] || fail "the purge left: $left"
echo "PASS: package built, installed, started and purged"
