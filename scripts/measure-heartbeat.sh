#!/bin/bash
# What a heartbeat costs the agent with and without the layout watch, and how long after an
# upload the new layout is in force, against `vswitch serve --delay-ms D` (benchmarks/bench_heartbeat).
#
# usage: scripts/measure-heartbeat.sh [BUILD_DIR]   (BUILD_DIR: build)
# env:   DELAYS="0 2 5"    answer delays, ms
#        ENTRIES="2 4 8"   monitor entries the switch holds
#        BEATS=20          heartbeats measured per case
#        UPLOADS=6         uploads timed (with the real heartbeat) at the first delay and entry count, of
#                          the columns turned round and of one entry changed; 0: none
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(realpath "${1:-$root/build}")
for bin in vswitch bench_heartbeat; do
    [[ -x $BUILD/$bin || -x $BUILD/benchmarks/$bin ]] || { echo "$bin not built in $BUILD" >&2; exit 1; }
done
BENCH=$BUILD/benchmarks/bench_heartbeat
. "$root/scripts/lib/need.sh"
. "$root/scripts/lib/rig.sh"
rig_begin spanlink-heartbeat "$BUILD"
W=$rig_work

# n entries in row 1, ports 1 and 2 in turn, each its own index.
layout() {
    local n=$1 list=()
    for ((i = 1; i <= n; i++)); do
        list+=("{\"port\":$((1 + (i + 1) % 2)),\"index\":$i,\"row\":1,\"col\":$i,\"width\":1920,\"height\":1080}")
    done
    local IFS=,
    echo "{\"ports\":[{\"port\":1},{\"port\":2}],\"monitors\":[${list[*]}],\"currentPort\":1,\"mousePosition\":4}"
}

serve() { # delay entries
    layout "$2" >"$W/layout.json"
    rig_switch "$W/layout.json" --delay-ms "$1"
}
stop() { rig_end_since 0; }

export SPANLINK_VSWITCH_SOCKET=$W/switch XDG_RUNTIME_DIR=$W
first=1
for d in ${DELAYS:-0 2 5}; do
    for n in ${ENTRIES:-2 4 8}; do
        serve "$d" "$n"
        echo "# --delay-ms $d"
        "$BENCH" beat "${BEATS:-20}" "$BUILD/vswitch"
        if [[ $first == 1 && ${UPLOADS:-6} -gt 0 ]]; then
            "$BENCH" upload "${UPLOADS:-6}" | tail -1
            "$BENCH" upload "${UPLOADS:-6}" one | tail -1
            first=0
        fi
        stop
    done
done
