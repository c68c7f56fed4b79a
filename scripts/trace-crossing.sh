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
BUILD=$(realpath "${2:-$HERE/../build}")
root=$(cd "$HERE/.." && pwd)
. "$root/scripts/lib/need.sh"
need gcc Xvfb python3
W=$(mktemp -d -t spanlink-trace.XXXX)
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    if [[ ${KEEP:-0} == 1 ]]; then echo "kept $W"; else rm -rf "$W"; fi
}
trap cleanup EXIT

gcc -O2 -o "$W/driver" "$HERE/trace/crossing-driver.c" -lX11 -lXtst || exit 1

# Two displays on free numbers, each reported by the server itself.
for side in a b; do
    Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$W/display.$side" >/dev/null 2>&1 &
    PIDS+=($!)
done
for _ in $(seq 100); do [[ -s $W/display.a && -s $W/display.b ]] && break; sleep 0.05; done
DA=:$(cat "$W/display.a"); DB=:$(cat "$W/display.b")

cat >"$W/layout.json" <<JSON
{ "ports": [ { "port": 1, "display": "$DA" }, { "port": 2, "display": "$DB" } ],
  "monitors": [ { "port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080 },
                { "port": 2, "index": 1, "row": 1, "col": 2, "width": 1920, "height": 1080 } ],
  "currentPort": 1, "mousePosition": 4, "cyclicSwitch": 0, "highlight": { "on": true, "duration": 1 } }
JSON
TRACE=$W/trace.txt
SPANLINK_TRACE=$TRACE "$BUILD/vswitch" serve "$W/sw" "$W/layout.json" ${VSWITCH_ARGS:-} >"$W/vswitch.log" 2>&1 &
SW=$!; PIDS+=($SW)
for _ in $(seq 50); do grep -q "virtual switch on" "$W/vswitch.log" && break; sleep 0.1; done

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

if [[ -n ${EDGE_RUN:-} ]]; then
    "$W/driver" --edge-run "$EDGE_RUN" "$DA" "$DB" "$TRACE"
    sleep 0.6 # the agents write their hops out every 250 ms
    python3 "$HERE/trace/budget.py" --edge-run "$TRACE" "$A"
    exit
fi
"$W/driver" "$N" "$DA" "$DB" "$TRACE" | grep -v "^trial [0-9]*: [0-9.]* ms$"
sleep 0.6 # the agents write their hops out every 250 ms
python3 "$HERE/trace/budget.py" "$TRACE" "$A" "$B" "$SW"
