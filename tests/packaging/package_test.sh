#!/bin/sh
# Builds the Debian package, installs it, starts the agent from it as an ordinary user and purges
# it again (`with-ctl`: the companion command too). Installs into this machine: root only, else 77.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
state() { dpkg-query -W -f='${db:Status-Abbrev}' spanlink 2>/dev/null || true; }
gone() { case "$(state)" in "" | un*) ;; *) return 1 ;; esac; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root: it installs and purges spanlink here"; exit 77; }
gone || { echo "SKIP: spanlink is installed here ($(state)); the test would remove it"; exit 77; }
APT="apt-get -o DPkg::Lock::Timeout=300 -y -q"
export DEBIAN_FRONTEND=noninteractive
tmp=$(mktemp -d)
agent=""
trap '[ -z "$agent" ] || kill "$agent"; gone || $APT purge spanlink >/dev/null 2>&1 || dpkg --purge spanlink; rm -rf "$tmp"' EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "FAIL: $*" && exit 1; }
traces() { find /etc /usr /var /opt -xdev -iname '*spanlink*' -print 2>/dev/null | sort; }

"$root/scripts/package.sh"
traces >"$tmp/before"
cd "$root" && $APT install --no-install-recommends ./dist/spanlink_*.deb
mkdir -p "$tmp/data" "$tmp/run" && chmod 755 "$tmp" && chmod 700 "$tmp/run" && chown nobody "$tmp/data" "$tmp/run"
as_user() {
    setpriv --reuid=nobody --regid=nogroup --clear-groups env -i PATH=/usr/bin:/bin HOME="$tmp/data" \
        XDG_DATA_HOME="$tmp/data" XDG_RUNTIME_DIR="$tmp/run" TMPDIR="$tmp/run" QT_QPA_PLATFORM=offscreen "$@"
}
as_user spanlink >"$tmp/agent.out" 2>&1 &
agent=$!
log="$tmp/data/VORN/Spanlink/log$(date +%F).txt"
line='^Date: [0-9-]{10} [0-9:]{8}, Debug: (Connection device fail|hid_open\(\) ok)'
i=0
until grep -Eq "$line" "$log" 2>/dev/null; do
    [ $((i += 1)) -le 60 ] && kill -0 "$agent" 2>/dev/null || { cat "$tmp/agent.out" "$log" || true; fail "no /$line/ in $log"; }
    sleep 0.5
done
kill -0 "$agent" 2>/dev/null || fail "the agent ended after writing its log"
kill "$agent" && wait "$agent" || true
agent=""
[ "${1:-}" != with-ctl ] || as_user spanlinkctl --version >/dev/null || fail "spanlinkctl --version failed"

# Purge leaves nothing: what maintainer scripts leave is named after the package, as each file is.
$APT purge spanlink
gone || fail "spanlink is still known to dpkg as $(state) after the purge"
left=$(traces | comm -13 "$tmp/before" -)
[ -z "$left" ] || fail "the purge left: $left"
echo "PASS: package built, installed, started and purged"
