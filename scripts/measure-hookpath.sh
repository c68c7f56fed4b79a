#!/bin/bash
# What the pointer hook costs and how reliably the pointer crosses, on two computers (two Xvfb
# displays, A left of B, each two monitors high), the virtual switch answering each exchange
# after a USB-like delay, and the agent on each, traced (SPANLINK_TRACE). In order:
#   1. A's pointer slides 1 s along its top edge band at 2 px/ms (nothing lies beyond): how far
#      behind the pointer A's handling runs, its exchanges, the hook's time per event;
#   2. it slides 1 s down its right edge band at 0.2 px/ms (B lies beyond; too slow to cross);
#   3. N crossings from A to B at 2 px/ms: the hook's time for the crossing move;
#   4. 12 flicks into A's right edge from 10 px before its band, 40, 100 and 120 ms long;
#   5. 3 crossings each followed at once by a push straight back from B;
#   6. with B's port absent, a 1 s push into A's right edge at 2 px/ms: switch requests and log.
#
# usage: scripts/measure-hookpath.sh [N] [BUILD_DIR]   (N: 10; BUILD_DIR: build)
# env:   DELAY_MS   the switch's answer delay (2)
#        ONLY="1 4" only these parts
#        KEEP=1     keep the trace file and logs (the folder is printed)
set -u
N=${1:-10}
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(realpath "${2:-$HERE/../build}")
root=$(cd "$HERE/.." && pwd)
. "$root/scripts/lib/need.sh"
need Xvfb gcc python3
W=$(mktemp -d -t spanlink-hookpath.XXXX)
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    if [[ ${KEEP:-0} == 1 ]]; then echo "kept $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT

gcc -O2 -o "$W/driver" "$HERE/trace/crossing-driver.c" -lX11 -lXtst || exit 1

for side in a b; do
    Xvfb -displayfd 3 -screen 0 1920x2160x24 -nolisten tcp 3>"$W/display.$side" >/dev/null 2>&1 &
    PIDS+=($!)
done
for _ in $(seq 100); do [[ -s $W/display.a && -s $W/display.b ]] && break; sleep 0.05; done
DA=:$(cat "$W/display.a"); DB=:$(cat "$W/display.b")

cat >"$W/layout.json" <<JSON
{ "ports": [ { "port": 1, "display": "$DA" }, { "port": 2, "display": "$DB" } ],
  "monitors": [ { "port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080 },
                { "port": 1, "index": 2, "row": 2, "col": 1, "width": 1920, "height": 1080 },
                { "port": 2, "index": 1, "row": 1, "col": 2, "width": 1920, "height": 1080 },
                { "port": 2, "index": 2, "row": 2, "col": 2, "width": 1920, "height": 1080 } ],
  "currentPort": 1, "mousePosition": 4, "cyclicSwitch": 0, "highlight": { "on": true, "duration": 1 } }
JSON
TRACE=$W/trace.txt
SPANLINK_TRACE=$TRACE "$BUILD/vswitch" serve "$W/sw" "$W/layout.json" --delay-ms "${DELAY_MS:-2}" \
    >"$W/vswitch.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do grep -qs "virtual switch on" "$W/vswitch.log" && break; sleep 0.1; done

start_agent() { # port display
    mkdir -p "$W/home$1"
    DISPLAY=$2 HOME=$W/home$1 XDG_RUNTIME_DIR=$W/home$1 XDG_DATA_HOME=$W/home$1/data TMPDIR=$W/home$1 \
        SPANLINK_TRACE=$TRACE SPANLINK_VSWITCH_SOCKET=$W/sw SPANLINK_VSWITCH_PORT=$1 \
        "$BUILD/spanlink-virtual" >"$W/agent$1.log" 2>&1 &
}
start_agent 1 "$DA"; A=$!; PIDS+=($A)
start_agent 2 "$DB"; B=$!; PIDS+=($B)
for _ in $(seq 100); do "$BUILD/vswitch" ctl "$W/sw" status 2>/dev/null | grep -q '"agents":2' && break; sleep 0.1; done
sleep 1

# The driver's own pid names its stamps in the trace.
drive() {
    "$W/driver" "$@" >"$W/driver.out" &
    DRIVER=$!
    wait $DRIVER
    grep -v "^trial [0-9]*: [0-9.]* ms$" "$W/driver.out"
    sleep 0.6 # the agents write their hops out every 250 ms
}
part() { [[ -z ${ONLY:-} || " $ONLY " == *" $1 "* ]]; }
logsize() { cat "$W"/home1/data/VORN/Spanlink/log*.txt 2>/dev/null | wc -c; }

part 1 && {
echo "== 1. along A's top edge band, 1 s at 2 px/ms (nothing beyond)"
drive --band-run 1000 top 4 2000 "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/budget.py" --edge-run "$TRACE" "$A" | tail -n +2
python3 "$HERE/trace/hookpath.py" band "$TRACE" "$DRIVER" "$A"

}
part 2 && {
echo "== 2. down A's right edge band, 1 s at 0.2 px/ms (B beyond; too slow to cross)"
drive --band-run 1000 right 1 5000 "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/hookpath.py" band "$TRACE" "$DRIVER" "$A"

}
part 3 && {
echo "== 3. $N crossings from A to B at 2 px/ms"
drive "$N" "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/hookpath.py" crossing "$TRACE" "$DRIVER" "$A"

}
part 4 && {
echo "== 4. flicks into A's right edge from 10 px before its band, 2 px/ms"
for ms in 40 100 120; do drive --flick 12 $ms "$DA" "$DB" "$TRACE"; done

}
part 5 && {
echo "== 5. crossings pushed straight back from B (rows alternate: from the 2nd on, B's other monitor)"
drive --push-back 3 "$DA" "$DB" "$TRACE"

}
part 6 && {
echo "== 6. B's port absent: 1 s push into A's right edge at 2 px/ms"
"$BUILD/vswitch" ctl "$W/sw" absent 2 >/dev/null
before=$(logsize)
drive --band-run 1000 push 4 2000 "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/hookpath.py" band "$TRACE" "$DRIVER" "$A" >"$W/push.txt"
head -n 1 "$W/push.txt"
echo "log written: $(($(logsize) - before)) bytes"
"$BUILD/vswitch" ctl "$W/sw" present 2 >/dev/null
}
