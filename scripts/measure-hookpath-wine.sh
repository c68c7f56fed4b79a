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
. "$root/scripts/lib/rig.sh"
need python3 wine wineboot wineserver xmodmap
[[ -f $STAGE/Spanlink-virtual.exe ]] || { echo "no $STAGE/Spanlink-virtual.exe: run scripts/build-windows.sh"; exit 1; }
rig_begin spanlink-hookwine "$BUILD"
rig_keep=${KEEP:-0}
rig_built pointer-driver
W=$rig_work
export WINEPREFIX=$W/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
rig_at_end 'wineserver -k 2>/dev/null; chmod -R u+w "$rig_work" 2>/dev/null'

# B runs the Linux agent; A's Windows agent is started below, once Wine is ready.
rig_desk 2 --agents 2 --switch-arg --tcp --switch-arg 0 --switch-arg --delay-ms --switch-arg "${DELAY_MS:-2}"
DA=${rig_displays[1]} DB=${rig_displays[2]}

# F13 where a keyboard has it (the switch presses it); one Wine desktop, or the hooks see only Wine's windows.
DISPLAY=$DA xmodmap -e 'keycode 191 = F13 F13 F13 F13'
(unset DISPLAY; wineboot -i && wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f &&
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1920x1080 /f && wineserver -w) >"$W/wineboot.log" 2>&1 \
    || { echo "wineboot failed (see $W/wineboot.log)"; rig_keep=1; exit 1; }

TRACE=$W/trace.txt
for _ in $(seq 50); do grep -qs "virtual switch on tcp" "$rig_dir/switch.log" && break; sleep 0.1; done
TCP=$(grep -o "tcp:127.0.0.1:[0-9]*" "$rig_dir/switch.log" | head -n 1)

mkdir -p "$W/homeA"
rig_start --out "$W/agentA.log" env DISPLAY="$DA" TMPDIR="$W/homeA" XDG_RUNTIME_DIR="$W/homeA" \
    XDG_DATA_HOME="$W/homeA" QT_QPA_PLATFORM=xcb SPANLINK_TRACE="Z:$W/traceA.txt" SPANLINK_VSWITCH_SOCKET="$TCP" \
    SPANLINK_VSWITCH_PORT=1 wine "$STAGE/Spanlink-virtual.exe"
rig_wait_agents 2 60 || { echo "the Windows agent did not connect"; rig_keep=1; exit 1; }
sleep 3

# The Windows agent's clock is not the driver's: each part is told apart by the agent's own
# hops, counted between the parts.
part() { # name, driver arguments...
    local name=$1
    shift
    local before
    before=$(wc -l <"$W/traceA.txt" 2>/dev/null || echo 0)
    "$rig_build/pointer-driver" "$@" "$DA" "$DB" "$TRACE" >"$W/driver.out"
    sleep 0.6 # the agent writes its hops out every 250 ms
    echo "== $name"
    grep -v "^trial [0-9]*: [0-9.]* ms$" "$W/driver.out"
    tail -n +$((before + 1)) "$W/traceA.txt" >"$W/part.txt"
    python3 "$HERE/trace/hookpath.py" agent "$W/part.txt"
}
part "right edge band, 1 s at 0.2 px/ms (held back)" band-run 1000 right 1 5000
part "top edge band, 1 s at 2 px/ms (nothing beyond)" band-run 1000 top 4 2000
part "a crossing to B" crossings 1
