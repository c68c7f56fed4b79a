#!/bin/bash
# The agent's main job without a switch: two computers (two Xvfb displays), the virtual switch
# between them, and the real agent on each. A's pointer is pushed through A's right edge; the
# switch hands keyboard and mouse to B, whose agent places the pointer and blinks the frame.
# Screenshots go to demo/ (or the folder given as the first argument).
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib/need.sh"
. "$root/scripts/lib/rig.sh"
scripts/setup.sh >/dev/null
need import
out=$(realpath -m "${1:-demo}")
mkdir -p "$out"
say() { printf '%s\n' "$*"; }

rig_begin spanlink-demo
rig_desk 2 --compositor --tray --duration 3
a=${rig_displays[1]} b=${rig_displays[2]}
driver=$rig_build/pointer-driver
say "1. Computer A is display $a, computer B is display $b (each one 1920 x 1080 monitor)."
say "2. The virtual switch holds A's monitor on port 1 in cell (1, 1) and B's on port 2 in cell (1, 2)."
sleep 1 # the tray icons embed themselves
say "3. Both agents run and answer the switch (blue tray icons)."

"$driver" move "$a" 1300 540
say "4. A's pointer moves right at 2 px/ms (40 px every 20 ms) through A's right edge..."
"$driver" push "$a" 40 0 20 20 --until-port "$rig_socket" 2 || true
sleep 0.3

port=$(rig_port)
if [[ $port != 2 ]]; then
    say "5. The switch still serves port ${port:-?}: A did not ask for port 2. The agents' logs: $(rig_logdir 1)"
    rig_keep=1
    exit 1
fi
last=$(rig_ctl last)
say "5. A asked the switch for port 2: $last (port, row, column, direction 7 = right edge, percent)."
say "   A's pointer is parked at $("$driver" where "$a")."
say "6. The switch pressed F13 on B; B read the crossing back and put its pointer at" \
    "$("$driver" where "$b") (8 px inside the left edge, 50 %)."
DISPLAY=$b import -window root "$out/computer-b.png"
DISPLAY=$a import -window root "$out/computer-a.png"
say "7. B blinks a green frame around its monitor. Screenshots: $out/computer-a.png, $out/computer-b.png"
say "   The switch now serves port $port."
