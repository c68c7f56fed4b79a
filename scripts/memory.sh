#!/bin/bash
# Resident memory of the agent on two computers (two Xvfb displays, the virtual switch, one
# spanlink-virtual on each): idle before any crossing, right after one crossing from A to B
# (frame shown on B), and after the frame has blinked out. Prints each run and the median.
# usage: scripts/memory.sh [RUNS] [BUILD_DIR]     (TRAY=1: a tray host on each display)
set -u

cd "$(dirname "$0")/.."
runs=${1:-3}
build=$(realpath "${2:-build}")
root=$(pwd)
. "$root/scripts/lib/need.sh"
. "$root/scripts/lib/rig.sh"
rig_begin spanlink-memory "$build"
trap 'exit 1' INT TERM
rig_built pointer-driver

# One line of figures in MB: VmRSS Pss RssAnon RssFile
figures() { # pid
    awk '/^VmRSS:|^RssAnon:|^RssFile:/ {v[$1] = $2} END {printf "%.1f %.1f %.1f\n", v["VmRSS:"] / 1024, v["RssAnon:"] / 1024, v["RssFile:"] / 1024}' \
        "/proc/$1/status" | {
        read -r rss anon file
        pss=$(awk '/^Pss:/ {printf "%.1f", $2 / 1024}' "/proc/$1/smaps_rollup")
        echo "$rss $pss $anon $file"
    }
}

one_run() { # run number; appends "phase agent rss pss anon file" to $rig_work/all
    local run=$1 a
    local first
    first=$(rig_mark)
    rig_dir=$rig_work/r$run
    if [[ ${TRAY:-0} == 1 ]]; then
        rig_desk 2 --tray
    else
        rig_desk 2
    fi
    a=${rig_displays[1]}
    local agent_a=${rig_agents[1]} agent_b=${rig_agents[2]}
    sleep 3 # start-up settles
    echo "idle A $(figures "$agent_a")" >>"$rig_work/all"
    echo "idle B $(figures "$agent_b")" >>"$rig_work/all"

    # A crossing at speed: 4 px every 2 ms from x = 1500 toward A's right edge, then on
    # pushing against it as a hand would, until the switch has handed over to port 2.
    "$rig_build/pointer-driver" move "$a" 1500 540
    sleep 0.3
    "$rig_build/pointer-driver" push "$a" 4 0 200 2 &
    local pusher=$!
    local crossed=0
    for _ in $(seq 100); do
        [[ $(rig_port) == 2 ]] && { crossed=1; break; }
        sleep 0.02
    done
    wait $pusher
    if [[ $crossed != 1 ]]; then
        echo "run $run: no crossing (switch: $(rig_ctl status))" >&2
    fi
    sleep 0.5 # the frame is up on B
    echo "frame A $(figures "$agent_a")" >>"$rig_work/all"
    echo "frame B $(figures "$agent_b")" >>"$rig_work/all"
    sleep 4 # blinked three times and hidden
    echo "after A $(figures "$agent_a")" >>"$rig_work/all"
    echo "after B $(figures "$agent_b")" >>"$rig_work/all"
    grep "^[a-z]* [AB] " "$rig_work/all" | tail -n 6 | sed "s/^/run $run: /"

    rig_end_since "$first"
}

echo "MB: VmRSS Pss RssAnon RssFile"
for r in $(seq "$runs"); do one_run "$r"; done
echo "median of $runs runs (MB):     VmRSS    Pss  RssAnon RssFile"
for phase in idle frame after; do
    for agent in A B; do
        awk -v p=$phase -v g=$agent '$1 == p && $2 == g' "$rig_work/all" | awk -v p=$phase -v g=$agent '
            { for (i = 3; i <= 6; i++) v[i, NR] = $i }
            END {
                printf "%-6s %s                    ", p, g
                for (i = 3; i <= 6; i++) {
                    n = 0
                    for (k = 1; k <= NR; k++) s[++n] = v[i, k]
                    for (x = 1; x <= n; x++) for (y = x + 1; y <= n; y++) if (s[y] < s[x]) { t = s[x]; s[x] = s[y]; s[y] = t }
                    m = (n % 2) ? s[(n + 1) / 2] : (s[n / 2] + s[n / 2 + 1]) / 2
                    printf " %7.1f", m
                }
                printf "\n"
            }'
    done
done
