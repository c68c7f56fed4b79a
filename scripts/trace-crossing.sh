#!/bin/bash
# The per-hop budget of a crossing: two computers (two Xvfb displays, A left of B), the virtual
# switch and the agent on each, all with SPANLINK_TRACE on; N crossings from A to B (the pointer
# runs into A's right edge at 2 px/ms), then a table of the median time of each hop.
#
# usage: scripts/trace-crossing.sh [N] [BUILD_DIR]   (N: 20; BUILD_DIR: build)
# env:   VSWITCH_ARGS  more arguments for `vswitch serve` (e.g. "--delay-ms 2")
#        EDGE_RUN=MSEC instead of crossings, run A's pointer along its top edge band (a port
#                      status exchange for every move, nothing beyond to cross to) at 2 px/ms
#                      and print how far A's view of the pointer lags behind it
#        KEEP=1        keep the trace file and logs (the folder is printed)
set -u
N=${1:-20}
HERE=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$HERE/.." && pwd)
. "$root/scripts/lib/need.sh"
. "$root/scripts/lib/rig.sh"
need python3
rig_begin spanlink-trace "${2:-$root/build}"
rig_keep=${KEEP:-0}
rig_built pointer-driver
TRACE=$rig_work/trace.txt
rig_env=(SPANLINK_TRACE="$TRACE")
serve=()
for arg in ${VSWITCH_ARGS:-}; do serve+=(--switch-arg "$arg"); done
rig_desk 2 "${serve[@]}"
DA=${rig_displays[1]} DB=${rig_displays[2]} A=${rig_agents[1]} B=${rig_agents[2]} SW=$rig_switch_pid
sleep 1

if [[ -n ${EDGE_RUN:-} ]]; then
    "$rig_build/pointer-driver" edge-run "$EDGE_RUN" "$DA" "$DB" "$TRACE"
    sleep 0.6 # the agents write their hops out every 250 ms
    python3 "$HERE/trace/budget.py" --edge-run "$TRACE" "$A"
    exit
fi
"$rig_build/pointer-driver" crossings "$N" "$DA" "$DB" "$TRACE" | grep -v "^trial [0-9]*: [0-9.]* ms$"
sleep 0.6 # the agents write their hops out every 250 ms
python3 "$HERE/trace/budget.py" "$TRACE" "$A" "$B" "$SW"
