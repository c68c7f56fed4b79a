#!/bin/bash
# Soak: two computers (two Xvfb displays), the virtual switch daemon and the real agent on each,
# as the end-to-end tests start them; then CYCLES unplug/replug cycles of the switch, each
# waiting until both agents are back online, and CROSSINGS crossings back and forth (A's right
# edge to B, B's left edge to A) pushed with XTest motion. Open fds, threads and RSS of both
# agents and of the daemon go to a CSV file every EVERY steps; a table at the end shows start,
# middle and end of each phase and whether RSS levels off (growth in the second half against
# the first). Stops only what it started, also when interrupted.
#
# usage: scripts/soak.sh [--cycles N] [--crossings N] [--every-cycles N] [--every-crossings N] [--out DIR]
#                       [--heaptrack]
#        defaults 500, 10000, 25, 250, build/soak; a short run: --cycles 20 --crossings 200;
#        --heaptrack: each agent runs under heaptrack, its record in DIR/heaptrack.agentN.zst
#        scripts/soak.sh --table DIR/usage.csv   prints the table of an earlier run again
set -uo pipefail

here=$(pwd) # where --out and --table paths are taken from
cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib/need.sh"
. "$root/scripts/lib/rig.sh"
need Xvfb xcompmgr trayer
say() { printf '%s\n' "$*"; }
die() { say "soak: $*" >&2; exit 1; }

# usage.csv: phase,step,seconds,process,pid,fds,threads,VmRSS,RssAnon,RssFile,RssShmem (kB).
# Start, middle and end of each phase per process. RSS levels off when the second half grew by
# at most half of what the first half grew (or by under 256 kB), both middle to end and peak to
# peak (the scene's JavaScript heap grows in a saw tooth until it is collected); growth and
# peaks count from the first sample after the start.
table() { # csv
    awk -F, '
    { key = $1 "," $4; if (!(key in count)) order[++n] = key
      row[key, ++count[key]] = $0 }
    END {
        printf "%-6s %-6s %5s | %-12s | %-11s | %-23s | %-13s | %-13s | %-23s | %s\n", "phase", "proc", "steps",
            "fds s/m/e", "thr s/m/e", "RSS kB start/mid/end", "growth 1st/2nd", "peak 1st/2nd",
            "of it anon start/mid/end", "RSS"
        for (i = 1; i <= n; i++) {
            key = order[i]; c = count[key]
            split(row[key, 1], s, ","); split(row[key, c], e, ",")
            mid = int((c + 1) / 2)
            for (j = 1; j <= c; j++) { split(row[key, j], r, ","); if (r[2] == int(e[2] / 2)) mid = j }
            split(row[key, mid], m, ",")
            # The first half counts from the first sample after the start: the first crossing
            # shows the frame window, a one-off of some megabytes.
            w = c > 2 ? 2 : 1
            split(row[key, w], f, ",")
            p1 = 0; p2 = 0
            for (j = w; j <= c; j++) { split(row[key, j], r, ","); if (j <= mid) { if (r[8] > p1) p1 = r[8] } else if (r[8] > p2) p2 = r[8] }
            if (c == mid) p2 = p1
            g1 = m[8] - f[8]; g2 = e[8] - m[8]; allowed = g1 / 2 > 256 ? g1 / 2 : 256
            verdict = (g2 <= allowed && p2 - p1 <= allowed) ? "levels off" : "still growing"
            if (e[6] > m[6] || e[7] > m[7]) verdict = verdict ", fds/threads grew"
            anon = s[9] == "" ? sprintf("%23s", "-") : sprintf("%7d %7d %7d", s[9], m[9], e[9])
            printf "%-6s %-6s %5d | %3d %3d %3d | %3d %3d %3d | %7d %7d %7d | %+6d %+6d | %+6d %+6d | %s | %s\n", s[1],
                s[4], e[2], s[6], m[6], e[6], s[7], m[7], e[7], s[8], m[8], e[8], g1, g2, p1 - f[8], p2 - f[8], anon,
                verdict
        }
    }' "$1"
}

cycles=500
crossings=10000
every_cycles=25
every_crossings=250
heaptrack=0
out=$(pwd)/build/soak
while [[ $# -gt 0 ]]; do
    case $1 in
    --cycles) cycles=$2 ;;
    --crossings) crossings=$2 ;;
    --every-cycles) every_cycles=$2 ;;
    --every-crossings) every_crossings=$2 ;;
    --out) out=$(cd "$here" && realpath -m "$2") ;;
    --table) table "$(cd "$here" && realpath "$2")"; exit ;;
    --heaptrack) heaptrack=1; shift; continue ;;
    *) sed -n '2,14s/^# \{0,1\}//p' "$0" >&2; exit 2 ;;
    esac
    shift 2
done

if [[ ! -f build/CMakeCache.txt ]]; then
    cmake --preset linux >/dev/null || die "configure failed"
elif [[ ! -x build/pointer-driver ]]; then
    cmake -S . -B build >/dev/null || die "configure failed" # a build from before the driver
fi
# Up to date, whatever was built before.
cmake --build build -j2 --target spanlink-virtual vswitch pointer-driver >/dev/null || die "build failed"

mkdir -p "$out"
csv=$out/usage.csv
: >"$csv"
rig_begin soak
trap 'say "soak: interrupted" >&2; exit 130' INT TERM
save_logs() { # once the agents have ended
    for port in 1 2; do
        cp "$(rig_logdir "$port")"/log*.txt "$out/agent$port.log" 2>/dev/null
    done
    cp "$rig_dir/switch.log" "$out/switch.log" 2>/dev/null
}
rig_at_end save_logs

started=$(date +%s)
# The agents are started below, under heaptrack when asked.
rig_desk 2 --compositor --tray --agents ""
a=${rig_displays[1]}
b=${rig_displays[2]}
socket=$rig_socket
daemon=$rig_switch_pid

wrap=()
if ((heaptrack)); then
    need heaptrack
fi
agent() { # port display -> sets $agent_pid
    ((heaptrack)) && wrap=(heaptrack -o "$out/heaptrack.agent$1")
    rig_agent "$1" "$2" -- "${wrap[@]}" "$rig_build/spanlink-virtual"
    agent_pid=$rig_pid
    if ((heaptrack)); then
        # The agent is heaptrack's child; it is sampled and ended by its own id, after which
        # heaptrack writes its record and ends.
        local child=""
        for _ in $(seq 100); do
            child=$(pgrep -P "$agent_pid" -f 'spanlink-virtual$') && break
            sleep 0.1
        done
        [[ -n $child ]] || die "the agent under heaptrack did not start"
        agent_pid=$child
        rig_adopt "$agent_pid"
    fi
}
agent 1 "$a"
agent_a=$agent_pid
agent 2 "$b"
agent_b=$agent_pid
rig_wait_agents 2 15 || die "the agents did not reach the switch"
sleep 1 # the tray icons embed themselves
say "rig: A on $a (agent $agent_a), B on $b (agent $agent_b), switch $daemon; samples in $csv"

# The driver runs in the background so that a signal reaches the trap at once; its lines are
# shown as they come. Sets $rc.
drive() { # output-file driver-arguments...
    local file=$1
    shift
    : >"$file"
    "$rig_build/pointer-driver" soak "$@" >>"$file" &
    local driver=$!
    rig_adopt $driver
    tail -n +1 -f --pid=$driver "$file" &
    local follower=$!
    rig_adopt $follower
    wait $driver
    rc=$?
    wait $follower
}

procs=(--proc "agentA=$agent_a" --proc "agentB=$agent_b" --proc "daemon=$daemon")
status=0
if ((cycles > 0)); then
    say "phase 1: $cycles unplug/replug cycles"
    t0=$(date +%s)
    drive "$out/cycles.txt" cycles "$cycles" --socket "$socket" --every "$every_cycles" --csv "$csv" \
        "${procs[@]}" --log "$(rig_logdir 1)" --log "$(rig_logdir 2)"
    say "phase 1 took $(($(date +%s) - t0)) s, exit $rc"
    ((rc == 0)) || status=1
fi
if ((crossings > 0 && status == 0)); then
    say "phase 2: $crossings crossings"
    t0=$(date +%s)
    drive "$out/crossings.txt" cross "$crossings" --socket "$socket" --every "$every_crossings" --csv "$csv" \
        "${procs[@]}" --display "$a" --display "$b"
    say "phase 2 took $(($(date +%s) - t0)) s, exit $rc"
    ((rc == 0)) || status=1
    grep -h "^crossings ok" "$out/crossings.txt"
fi

say ""
table "$csv" | tee "$out/table.txt"
say "wall time $(($(date +%s) - started)) s; files in $out"
exit $status
