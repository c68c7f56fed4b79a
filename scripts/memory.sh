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
need Xvfb xdotool trayer
for tool in "$build/vswitch" "$build/spanlink-virtual"; do
    [ -x "$tool" ] || { echo "memory.sh: $tool is not built" >&2; exit 1; }
done
work=$(mktemp -d -t spanlink-memory.XXXX)
pids=()

stop() { # pids...
    local pid
    for pid in "$@"; do kill "$pid" 2>/dev/null; done
    for pid in "$@"; do wait "$pid" 2>/dev/null; done
}
cleanup() {
    stop "${pids[@]}"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

xserver() { # name -> $display
    local fifo="$work/$1.fifo"
    rm -f "$fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1920x1080x24 3>"$fifo" >/dev/null 2>&1 &
    pids+=($!)
    local n
    read -r n <"$fifo"
    display=":$n"
}

# One line of figures in MB: VmRSS Pss RssAnon RssFile
figures() { # pid
    awk '/^VmRSS:|^RssAnon:|^RssFile:/ {v[$1] = $2} END {printf "%.1f %.1f %.1f\n", v["VmRSS:"] / 1024, v["RssAnon:"] / 1024, v["RssFile:"] / 1024}' \
        "/proc/$1/status" | {
        read -r rss anon file
        pss=$(awk '/^Pss:/ {printf "%.1f", $2 / 1024}' "/proc/$1/smaps_rollup")
        echo "$rss $pss $anon $file"
    }
}

status() { "$build/vswitch" ctl "$work/switch" status 2>/dev/null; }

one_run() { # run number; appends "phase agent rss pss anon file" to $work/all
    local run=$1 a b
    local first=${#pids[@]}
    xserver a$run
    a=$display
    xserver b$run
    b=$display
    if [[ ${TRAY:-0} == 1 ]]; then
        for d in "$a" "$b"; do
            DISPLAY=$d trayer --edge top --align right --widthtype request --height 32 \
                --SetDockType true --transparent false >/dev/null 2>&1 &
            pids+=($!)
        done
    fi
    cat >"$work/layout.json" <<JSON
{ "ports": [ { "port": 1, "display": "$a" }, { "port": 2, "display": "$b" } ],
  "monitors": [ { "port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080 },
                { "port": 2, "index": 1, "row": 1, "col": 2, "width": 1920, "height": 1080 } ],
  "currentPort": 1, "mousePosition": 4, "cyclicSwitch": 0, "highlight": { "on": true, "duration": 1 } }
JSON
    rm -f "$work/switch"
    "$build/vswitch" serve "$work/switch" "$work/layout.json" >"$work/switch.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do grep -q "virtual switch on" "$work/switch.log" && break; sleep 0.05; done

    local port display pid agent_a agent_b
    for port in 1 2; do
        [[ $port == 1 ]] && display=$a || display=$b
        local home="$work/r$run-$port"
        mkdir -p "$home"
        DISPLAY=$display HOME=$home TMPDIR=$home XDG_RUNTIME_DIR=$home XDG_DATA_HOME=$home/data \
            XDG_CACHE_HOME=$home/cache XDG_CONFIG_HOME=$home/config \
            SPANLINK_VSWITCH_SOCKET="$work/switch" SPANLINK_VSWITCH_PORT=$port \
            "$build/spanlink-virtual" >/dev/null 2>&1 &
        pid=$!
        pids+=($pid)
        [[ $port == 1 ]] && agent_a=$pid || agent_b=$pid
    done
    for _ in $(seq 200); do status | grep -q '"agents":2' && break; sleep 0.1; done
    sleep 3 # start-up settles
    echo "idle A $(figures "$agent_a")" >>"$work/all"
    echo "idle B $(figures "$agent_b")" >>"$work/all"

    # A crossing at speed: 4 px every 2 ms from x = 1500 toward A's right edge, then on
    # pushing against it as a hand would, until the switch has handed over to port 2.
    DISPLAY=$a xdotool mousemove 1500 540
    sleep 0.3
    local steps=()
    for _ in $(seq 200); do steps+=(mousemove_relative 4 0 sleep 0.002); done
    DISPLAY=$a xdotool "${steps[@]}" &
    local pusher=$!
    local crossed=0
    for _ in $(seq 100); do
        status | grep -q '"currentPort":2' && { crossed=1; break; }
        sleep 0.02
    done
    wait $pusher
    if [[ $crossed != 1 ]]; then
        echo "run $run: no crossing (switch: $(status))" >&2
    fi
    sleep 0.5 # the frame is up on B
    echo "frame A $(figures "$agent_a")" >>"$work/all"
    echo "frame B $(figures "$agent_b")" >>"$work/all"
    sleep 4 # blinked three times and hidden
    echo "after A $(figures "$agent_a")" >>"$work/all"
    echo "after B $(figures "$agent_b")" >>"$work/all"
    grep "^[a-z]* [AB] " "$work/all" | tail -n 6 | sed "s/^/run $run: /"

    stop "${pids[@]:$first}"
    pids=("${pids[@]:0:$first}")
}

echo "MB: VmRSS Pss RssAnon RssFile"
for r in $(seq "$runs"); do one_run "$r"; done
echo "median of $runs runs (MB):     VmRSS    Pss  RssAnon RssFile"
for phase in idle frame after; do
    for agent in A B; do
        awk -v p=$phase -v g=$agent '$1 == p && $2 == g' "$work/all" | awk -v p=$phase -v g=$agent '
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
