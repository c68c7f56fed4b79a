#!/bin/bash
# The pointer hook's time per event of the Windows agent: A runs Spanlink-virtual.exe under Wine
# (a fresh prefix, one Wine desktop), B the Linux agent, each exchange with the virtual switch
# 2 ms late. A's pointer slides 1 s down its right edge band at 0.2 px/ms (too slow to cross),
# 1 s along its top edge band at 2 px/ms (nothing beyond), then makes one crossing to B. (In
# this rig the Wine agent does not get the switch's key when B sends the pointer back, so there
# is one crossing only; tests/e2e's windowsComputer case checks the way back.)
#
# usage: scripts/measure-hookpath-wine.sh [BUILD_DIR] [WINDOWS_STAGE]
#        (BUILD_DIR: build; WINDOWS_STAGE: build-win/Spanlink, scripts/build-windows.sh)
# env:   DELAY_MS   the switch's answer delay (2)
#        KEEP=1     keep the trace files and logs (the folder is printed)
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(realpath "${1:-$HERE/../build}")
STAGE=$(realpath "${2:-$HERE/../build-win/Spanlink}")
root=$(cd "$HERE/.." && pwd)
. "$root/scripts/lib/need.sh"
need Xvfb gcc python3 wine wineserver xmodmap
[[ -f $STAGE/Spanlink-virtual.exe ]] || { echo "no $STAGE/Spanlink-virtual.exe: run scripts/build-windows.sh"; exit 1; }
W=$(mktemp -d -t spanlink-hookwine.XXXX)
export WINEPREFIX=$W/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    wineserver -k 2>/dev/null
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    chmod -R u+w "$W" 2>/dev/null
    if [[ ${KEEP:-0} == 1 ]]; then echo "kept $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT

gcc -O2 -o "$W/driver" "$HERE/trace/crossing-driver.c" -lX11 -lXtst || exit 1
for side in a b; do
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$W/display.$side" >/dev/null 2>&1 &
    PIDS+=($!)
done
for _ in $(seq 100); do [[ -s $W/display.a && -s $W/display.b ]] && break; sleep 0.05; done
DA=:$(cat "$W/display.a"); DB=:$(cat "$W/display.b")

# F13 where a keyboard has it (the switch presses it); one Wine desktop, or the hooks see only Wine's windows.
DISPLAY=$DA xmodmap -e 'keycode 191 = F13 F13 F13 F13'
(unset DISPLAY; wineboot -i && wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f &&
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1920x1080 /f && wineserver -w) >"$W/wineboot.log" 2>&1 \
    || { echo "wineboot failed (see $W/wineboot.log)"; KEEP=1; exit 1; }

cat >"$W/layout.json" <<JSON
{ "ports": [ { "port": 1, "display": "$DA" }, { "port": 2, "display": "$DB" } ],
  "monitors": [ { "port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080 },
                { "port": 2, "index": 1, "row": 1, "col": 2, "width": 1920, "height": 1080 } ],
  "currentPort": 1, "mousePosition": 4, "cyclicSwitch": 0, "highlight": { "on": true, "duration": 1 } }
JSON
TRACE=$W/trace.txt
"$BUILD/vswitch" serve "$W/sw" "$W/layout.json" --tcp 0 --delay-ms "${DELAY_MS:-2}" >"$W/vswitch.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do grep -qs "virtual switch on tcp" "$W/vswitch.log" && break; sleep 0.1; done
TCP=$(grep -o "tcp:127.0.0.1:[0-9]*" "$W/vswitch.log" | head -n 1)

mkdir -p "$W/homeA" "$W/homeB"
DISPLAY=$DA TMPDIR=$W/homeA XDG_RUNTIME_DIR=$W/homeA XDG_DATA_HOME=$W/homeA QT_QPA_PLATFORM=xcb \
    SPANLINK_TRACE="Z:$W/traceA.txt" SPANLINK_VSWITCH_SOCKET=$TCP SPANLINK_VSWITCH_PORT=1 \
    wine "$STAGE/Spanlink-virtual.exe" >"$W/agentA.log" 2>&1 &
PIDS+=($!)
DISPLAY=$DB HOME=$W/homeB XDG_RUNTIME_DIR=$W/homeB XDG_DATA_HOME=$W/homeB TMPDIR=$W/homeB \
    SPANLINK_VSWITCH_SOCKET=$W/sw SPANLINK_VSWITCH_PORT=2 "$BUILD/spanlink-virtual" >"$W/agentB.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 600); do "$BUILD/vswitch" ctl "$W/sw" status 2>/dev/null | grep -q '"agents":2' && break; sleep 0.1; done
"$BUILD/vswitch" ctl "$W/sw" status | grep -q '"agents":2' || { echo "the Windows agent did not connect"; KEEP=1; exit 1; }
sleep 3

# The Windows agent's clock is not the driver's: each part is told apart by the agent's own
# hops, counted between the parts.
part() { # name, driver arguments...
    local name=$1
    shift
    local before
    before=$(wc -l <"$W/traceA.txt" 2>/dev/null || echo 0)
    "$W/driver" "$@" "$DA" "$DB" "$TRACE" >"$W/driver.out"
    sleep 0.6 # the agent writes its hops out every 250 ms
    echo "== $name"
    grep -v "^trial [0-9]*: [0-9.]* ms$" "$W/driver.out"
    tail -n +$((before + 1)) "$W/traceA.txt" >"$W/part.txt"
    python3 "$HERE/trace/hookpath.py" agent "$W/part.txt"
}
part "right edge band, 1 s at 0.2 px/ms (held back)" --band-run 1000 right 1 5000
part "top edge band, 1 s at 2 px/ms (nothing beyond)" --band-run 1000 top 4 2000
part "a crossing to B" 1
