#!/bin/bash
# The agent's main job without a switch: two computers (two Xvfb displays), the virtual switch
# between them, and the real agent on each. A's pointer is pushed through A's right edge; the
# switch hands keyboard and mouse to B, whose agent places the pointer and blinks the frame.
# Screenshots go to demo/ (or the folder given as the first argument).
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib/need.sh"
scripts/setup.sh >/dev/null
need Xvfb xcompmgr trayer xdotool import
out=$(realpath -m "${1:-demo}")
mkdir -p "$out"
work=$(mktemp -d)
pids=()

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

say() { printf '%s\n' "$*"; }

xserver() { # name -> sets $display to the display it got
    local fifo="$work/$1.fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1920x1080x24 3>"$fifo" >/dev/null 2>&1 &
    pids+=($!)
    local n
    read -r n <"$fifo"
    display=":$n"
}

xserver a
a=$display
xserver b
b=$display
say "1. Computer A is display $a, computer B is display $b (each one 1920 x 1080 monitor)."

for d in "$a" "$b"; do
    DISPLAY=$d xcompmgr >/dev/null 2>&1 &
    pids+=($!)
    DISPLAY=$d trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false >/dev/null 2>&1 &
    pids+=($!)
done

cat >"$work/layout.json" <<JSON
{ "ports": [ { "port": 1, "display": "$a" }, { "port": 2, "display": "$b" } ],
  "monitors": [ { "port": 1, "index": 1, "row": 1, "col": 1, "width": 1920, "height": 1080 },
                { "port": 2, "index": 1, "row": 1, "col": 2, "width": 1920, "height": 1080 } ],
  "currentPort": 1, "mousePosition": 4, "cyclicSwitch": 0, "highlight": { "on": true, "duration": 3 } }
JSON
build/vswitch serve "$work/switch" "$work/layout.json" >"$work/switch.log" 2>&1 &
pids+=($!)
until grep -q "virtual switch on" "$work/switch.log"; do sleep 0.05; done
say "2. The virtual switch holds A's monitor on port 1 in cell (1, 1) and B's on port 2 in cell (1, 2)."

agent() { # port display
    mkdir -p "$work/home$1"
    DISPLAY=$2 TMPDIR="$work/home$1" XDG_RUNTIME_DIR="$work/home$1" XDG_DATA_HOME="$work/data$1" \
        SPANLINK_VSWITCH_SOCKET="$work/switch" SPANLINK_VSWITCH_PORT=$1 build/spanlink-virtual >/dev/null 2>&1 &
    pids+=($!)
}
agent 1 "$a"
agent 2 "$b"
until build/vswitch ctl "$work/switch" status | grep -q '"agents":2'; do sleep 0.1; done
sleep 1 # the tray icons embed themselves
say "3. Both agents run and answer the switch (blue tray icons)."

DISPLAY=$a xdotool mousemove 1300 540
say "4. A's pointer moves right at about 2 px/ms through A's right edge..."
for _ in $(seq 1 20); do
    DISPLAY=$a xdotool mousemove_relative 40 0
    build/vswitch ctl "$work/switch" status | grep -q '"currentPort":2' && break
    sleep 0.01
done
sleep 0.3

last=$(build/vswitch ctl "$work/switch" last)
say "5. A asked the switch for port 2: $last (port, row, column, direction 7 = right edge, percent)."
say "   A's pointer is parked at $(DISPLAY=$a xdotool getmouselocation | cut -d' ' -f1-2)."
say "6. The switch pressed F13 on B; B read the crossing back and put its pointer at" \
    "$(DISPLAY=$b xdotool getmouselocation | cut -d' ' -f1-2) (8 px inside the left edge, 50 %)."
DISPLAY=$a import -window root "$out/computer-a.png"
DISPLAY=$b import -window root "$out/computer-b.png"
say "7. B blinks a green frame around its monitor. Screenshots: $out/computer-a.png, $out/computer-b.png"
grep -h "postSwitchCmd" "$work"/data1/VORN/Spanlink/*.txt | sed 's/^/   A logged: /' | cut -c1-120 || true
