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
root=$(cd "$HERE/.." && pwd)
. "$root/scripts/lib/need.sh"
. "$root/scripts/lib/rig.sh"
need python3
rig_begin spanlink-hookpath "${2:-$root/build}"
rig_keep=${KEEP:-0}
rig_built pointer-driver
BUILD=$rig_build
W=$rig_work
TRACE=$W/trace.txt
rig_env=(SPANLINK_TRACE="$TRACE")
rig_desk 2 --high 2 --switch-arg --delay-ms --switch-arg "${DELAY_MS:-2}"
DA=${rig_displays[1]} DB=${rig_displays[2]} A=${rig_agents[1]}
sleep 1

# The driver's own pid names its stamps in the trace.
drive() {
    "$BUILD/pointer-driver" "$@" >"$W/driver.out" &
    DRIVER=$!
    wait $DRIVER
    grep -v "^trial [0-9]*: [0-9.]* ms$" "$W/driver.out"
    sleep 0.6 # the agents write their hops out every 250 ms
}
part() { [[ -z ${ONLY:-} || " $ONLY " == *" $1 "* ]]; }
logsize() { cat "$(rig_logdir 1)"/log*.txt 2>/dev/null | wc -c; }

part 1 && {
echo "== 1. along A's top edge band, 1 s at 2 px/ms (nothing beyond)"
drive band-run 1000 top 4 2000 "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/budget.py" --edge-run "$TRACE" "$A" | tail -n +2
python3 "$HERE/trace/hookpath.py" band "$TRACE" "$DRIVER" "$A"

}
part 2 && {
echo "== 2. down A's right edge band, 1 s at 0.2 px/ms (B beyond; too slow to cross)"
drive band-run 1000 right 1 5000 "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/hookpath.py" band "$TRACE" "$DRIVER" "$A"

}
part 3 && {
echo "== 3. $N crossings from A to B at 2 px/ms"
drive crossings "$N" "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/hookpath.py" crossing "$TRACE" "$DRIVER" "$A"

}
part 4 && {
echo "== 4. flicks into A's right edge from 10 px before its band, 2 px/ms"
for ms in 40 100 120; do drive flick 12 $ms "$DA" "$DB" "$TRACE"; done

}
part 5 && {
echo "== 5. crossings pushed straight back from B (rows alternate: from the 2nd on, B's other monitor)"
drive push-back 3 "$DA" "$DB" "$TRACE"

}
part 6 && {
echo "== 6. B's port absent: 1 s push into A's right edge at 2 px/ms"
rig_ctl absent 2 >/dev/null
before=$(logsize)
drive band-run 1000 push 4 2000 "$DA" "$DB" "$TRACE"
python3 "$HERE/trace/hookpath.py" band "$TRACE" "$DRIVER" "$A" >"$W/push.txt"
head -n 1 "$W/push.txt"
echo "log written: $(($(logsize) - before)) bytes"
rig_ctl present 2 >/dev/null
}
