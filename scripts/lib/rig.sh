# shellcheck shell=bash
# A desk of computers without a switch, for the scripts that run agents: per computer an X
# server (Xvfb, or the X.Org dummy server with RandR monitors), a tray host and a compositor when
# asked, and an agent (spanlink-virtual) with a home of its own; between them the virtual switch
# (vswitch serve) holding the desk's layout. Everything started here is ended by its own id,
# newest first, by the one trap on exit; then the work folder goes, unless it is to be kept.
#
# Sourced after need.sh, with $root set to the checkout:
#     . "$root/scripts/lib/need.sh"
#     . "$root/scripts/lib/rig.sh"
#
#   rig_begin NAME [BUILD_DIR]  the work folder $rig_work (a fresh temporary one named after
#                               NAME) and the trap; programs come from BUILD_DIR (build)
#   rig_keep=1                  keep the work folder: "kept DIR" when the script ends
#   rig_desk N [option...]      N computers in one row, left to right, computer k on port k:
#     --monitor WxH             each monitor (1920x1080)
#     --high R                  monitors per computer, one above the other (1)
#     --duration S              the switch's highlight duration, seconds (1)
#     --tray                    a tray host on every display (trayer)
#     --compositor              a compositor on every display (xcompmgr)
#     --xdummy                  the X.Org dummy server, one RandR output per monitor, not Xvfb
#     --switch-arg ARG          one more argument for `vswitch serve` (again for more)
#     --agents "PORTS"          only these ports get an agent (all); waits until they are online
#   It sets rig_displays[k], rig_agents[k] (the agents' ids), rig_socket and rig_switch_pid, and
#   keeps the layout, the switch's log and the homes in $rig_dir ($rig_work unless set before).
#   rig_env=(VAR=VALUE...)      more environment for the switch and every agent
#
# The parts, for a desk of another shape:
#   rig_xvfb WxH                an Xvfb on a free display: rig_display
#   rig_xdummy WxH+X+Y...       the dummy X server with these monitors: rig_display
#   rig_tray DISPLAY, rig_compositor DISPLAY
#   rig_switch LAYOUT [SERVE_ARG...]       the virtual switch on $rig_dir/switch
#   rig_agent PORT DISPLAY [VAR=VALUE...] [-- COMMAND...]   an agent in $rig_dir/homePORT, by
#                               default $rig_build/spanlink-virtual; its output in agentPORT.log
#   rig_start [--out FILE] COMMAND...      any process, ended with the rig: rig_pid
#   rig_adopt PID               a process started otherwise, ended with the rig
#   rig_mark, rig_end_since MARK           end what was started after the mark (a desk of many)
#   rig_at_end COMMAND          a command line run once everything has ended
#   rig_built PROGRAM...        build these targets of BUILD_DIR when they are not there
#
# And to ask it:
#   rig_ctl COMMAND...          a control command to the switch; its answer on stdout
#   rig_port                    the port the switch serves now
#   rig_wait_agents N [SECONDS] until the switch holds N agents (30 s); 1 with a line if not
#   rig_logdir PORT             the folder of that agent's daily log

rig_pids=()
rig_hooks=()
rig_env=()
rig_displays=()
rig_agents=()
rig_keep=0

rig_die() {
    echo "rig: $*" >&2
    exit 1
}

rig_begin() { # NAME [BUILD_DIR]
    rig_build=$(realpath "${2:-$root/build}")
    rig_work=$(mktemp -d -t "$1.XXXX")
    rig_dir=$rig_work
    trap rig_end EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

rig_start() { # [--out FILE] COMMAND...
    local out=/dev/null
    if [[ $1 == --out ]]; then
        out=$2
        shift 2
    fi
    "$@" >"$out" 2>&1 &
    rig_pid=$!
    rig_pids+=("$rig_pid")
}

rig_adopt() { rig_pids+=("$1"); }
rig_mark() { echo "${#rig_pids[@]}"; }
rig_at_end() { rig_hooks+=("$1"); }

# Whether the process runs: a child that has ended but is not yet waited for does not.
_rig_alive() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [[ ${stat:0:1} != Z ]]
}

rig_end_since() { # MARK
    local i n=${#rig_pids[@]} pid
    for ((i = n - 1; i >= $1; i--)); do kill "${rig_pids[i]}" 2>/dev/null || true; done
    for ((i = $1; i < n; i++)); do
        pid=${rig_pids[i]}
        for _ in $(seq 50); do _rig_alive "$pid" || break; sleep 0.1; done
        if _rig_alive "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
        wait "$pid" 2>/dev/null || true
    done
    rig_pids=("${rig_pids[@]:0:$1}")
}

rig_end() {
    trap - EXIT
    rig_end_since 0
    local hook
    for hook in "${rig_hooks[@]}"; do eval "$hook" || true; done
    if [[ $rig_keep == 1 ]]; then
        echo "kept $rig_work"
    else
        rm -rf "$rig_work"
    fi
}

rig_built() { # PROGRAM...
    local program missing=()
    for program in "$@"; do
        [[ -x $rig_build/$program ]] || missing+=("$program")
    done
    ((${#missing[@]} == 0)) && return 0
    [[ -f $rig_build/CMakeCache.txt ]] || rig_die "$rig_build is not configured: run scripts/setup.sh"
    # A build folder from before a target existed knows it once configured again.
    cmake "$rig_build" >/dev/null || rig_die "configuring $rig_build failed"
    cmake --build "$rig_build" -j2 --target "${missing[@]}" >/dev/null || rig_die "building ${missing[*]} failed"
}

# Reads the display a server reports on the fifo; sets rig_display.
_rig_display() { # fifo server-name
    local n
    read -r -t 20 n <"$1" || rig_die "$2 did not start"
    rm -f "$1"
    rig_display=:$n
}

rig_xvfb() { # WxH
    need Xvfb
    local fifo=$rig_work/display.$RANDOM$RANDOM
    mkfifo "$fifo"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 "${1}x24" 3>"$fifo" >/dev/null 2>&1 &
    rig_adopt $!
    _rig_display "$fifo" Xvfb
}

rig_xdummy() { # WxH+X+Y...
    need Xorg xrandr
    [[ -f /usr/lib/xorg/modules/drivers/dummy_drv.so ]] \
        || rig_die "the dummy video driver not found: install xserver-xorg-video-dummy (scripts/setup.sh does)"
    local m w=1 h=1 dir
    for m in "$@"; do
        [[ $m =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]] || rig_die "bad monitor '$m', want WxH+X+Y"
        ((BASH_REMATCH[1] + BASH_REMATCH[3] > w)) && w=$((BASH_REMATCH[1] + BASH_REMATCH[3]))
        ((BASH_REMATCH[2] + BASH_REMATCH[4] > h)) && h=$((BASH_REMATCH[2] + BASH_REMATCH[4]))
    done
    dir=$(mktemp -d "$rig_work/xdummy.XXXX")
    cat >"$dir/xorg.conf" <<CONF
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam $((w * h * 4 / 1024 + 16384))
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual $w $h
  EndSubSection
EndSection
CONF
    mkfifo "$dir/display"
    Xorg -displayfd 3 -config "$dir/xorg.conf" -configdir "$dir" -logfile "$dir/Xorg.log" -noreset -nolisten tcp \
        3>"$dir/display" >/dev/null 2>&1 &
    rig_adopt $!
    _rig_display "$dir/display" "Xorg (see $dir/Xorg.log)"
    local i=0 mw mh mode outputs=()
    for m in "$@"; do
        [[ $m =~ ^([0-9]+)x([0-9]+)\+([0-9]+)\+([0-9]+)$ ]]
        mw=${BASH_REMATCH[1]} mh=${BASH_REMATCH[2]} mode=m${BASH_REMATCH[1]}x${BASH_REMATCH[2]}
        # A mode line the dummy accepts: about 60 Hz with small blanking; a second one of a size exists.
        DISPLAY=$rig_display xrandr --newmode "$mode" $(((mw + 160) * (mh + 45) * 60 / 1000000 + 1)) \
            "$mw" $((mw + 48)) $((mw + 80)) $((mw + 160)) "$mh" $((mh + 3)) $((mh + 8)) $((mh + 45)) 2>/dev/null || true
        DISPLAY=$rig_display xrandr --addmode "DUMMY$i" "$mode" || rig_die "xrandr --addmode DUMMY$i $mode failed"
        outputs+=(--output "DUMMY$i" --mode "$mode" --pos "${BASH_REMATCH[3]}x${BASH_REMATCH[4]}")
        i=$((i + 1))
    done
    DISPLAY=$rig_display xrandr "${outputs[@]}" || rig_die "xrandr could not set the monitors; see $dir/Xorg.log"
    # A full query probes the outputs: until then a client that reads only the current resources,
    # as Qt does, sees the new ones as not connected.
    local query
    query=$(DISPLAY=$rig_display xrandr --query) || rig_die "xrandr --query failed"
    for ((i = 0; i < $#; i++)); do
        [[ $query == *"DUMMY$i connected"* ]] || rig_die "DUMMY$i is not connected: $query"
    done
}

rig_tray() { # DISPLAY
    need trayer
    rig_start env DISPLAY="$1" trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false
}

rig_compositor() { # DISPLAY
    need xcompmgr
    rig_start env DISPLAY="$1" xcompmgr
}

rig_switch() { # LAYOUT [SERVE_ARG...]
    rig_socket=$rig_dir/switch
    rm -f "$rig_socket"
    rig_start --out "$rig_dir/switch.log" env "${rig_env[@]}" "$rig_build/vswitch" serve "$rig_socket" "$@"
    rig_switch_pid=$rig_pid
    for _ in $(seq 200); do
        grep -qs "virtual switch on" "$rig_dir/switch.log" && return 0
        _rig_alive "$rig_switch_pid" || break
        sleep 0.05
    done
    rig_die "the virtual switch did not start: $(tail -n 3 "$rig_dir/switch.log")"
}

rig_agent() { # PORT DISPLAY [VAR=VALUE...] [-- COMMAND...]
    local port=$1 display=$2 home=$rig_dir/home$1 vars=()
    shift 2
    while [[ $# -gt 0 && $1 != -- ]]; do
        vars+=("$1")
        shift
    done
    [[ ${1:-} == -- ]] && shift
    [[ $# -gt 0 ]] || set -- "$rig_build/spanlink-virtual"
    mkdir -p "$home" && chmod 700 "$home" # also its runtime folder, which must be private
    rig_start --out "$rig_dir/agent$port.log" env DISPLAY="$display" HOME="$home" TMPDIR="$home" \
        XDG_RUNTIME_DIR="$home" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" \
        XDG_CONFIG_HOME="$home/config" QT_QPA_PLATFORM=xcb SPANLINK_VSWITCH_SOCKET="$rig_socket" \
        SPANLINK_VSWITCH_PORT="$port" "${rig_env[@]}" "${vars[@]}" "$@"
    rig_agents[port]=$rig_pid
}

rig_logdir() { echo "$rig_dir/home$1/data/VORN/Spanlink"; }

rig_ctl() { "$rig_build/vswitch" ctl "$rig_socket" "$@" 2>/dev/null; }

rig_port() { { rig_ctl status || true; } | sed -n 's/.*"currentPort":\([0-9]*\).*/\1/p'; }

rig_wait_agents() { # N [SECONDS]
    local i
    for ((i = 0; i < ${2:-30} * 10; i++)); do
        rig_ctl status | grep -q "\"agents\":$1[,}]" && return 0
        sleep 0.1
    done
    echo "rig: $1 agents did not reach the switch within ${2:-30} s (status: $(rig_ctl status))" >&2
    return 1
}

rig_desk() { # N [option...]
    local n=$1 monitor=1920x1080 high=1 duration=1 tray=0 compositor=0 xdummy=0 serve=() ports
    shift
    ports=$(seq "$n")
    while [[ $# -gt 0 ]]; do
        case $1 in
        --monitor) monitor=$2 && shift ;;
        --high) high=$2 && shift ;;
        --duration) duration=$2 && shift ;;
        --tray) tray=1 ;;
        --compositor) compositor=1 ;;
        --xdummy) xdummy=1 ;;
        --switch-arg) serve+=("$2") && shift ;;
        --agents) ports=$2 && shift ;;
        *) rig_die "rig_desk: unknown option $1" ;;
        esac
        shift
    done
    [[ $monitor =~ ^([0-9]+)x([0-9]+)$ ]] || rig_die "rig_desk: bad monitor '$monitor', want WxH"
    local w=${BASH_REMATCH[1]} h=${BASH_REMATCH[2]} p i
    mkdir -p "$rig_dir"
    rig_built vswitch spanlink-virtual

    for p in $(seq "$n"); do
        if ((xdummy)); then
            local heads=()
            for i in $(seq "$high"); do heads+=("${w}x$h+0+$(((i - 1) * h))"); done
            rig_xdummy "${heads[@]}"
        else
            rig_xvfb "${w}x$((h * high))"
        fi
        rig_displays[p]=$rig_display
    done
    for p in $(seq "$n"); do
        if ((compositor)); then rig_compositor "${rig_displays[p]}"; fi
        if ((tray)); then rig_tray "${rig_displays[p]}"; fi
    done

    local list=() monitors=()
    for p in $(seq "$n"); do
        list+=("{ \"port\": $p, \"display\": \"${rig_displays[p]}\" }")
        for i in $(seq "$high"); do
            monitors+=("{ \"port\": $p, \"index\": $i, \"row\": $i, \"col\": $p, \"width\": $w, \"height\": $h }")
        done
    done
    {
        echo "{ \"ports\": [ $(IFS=,; echo "${list[*]}") ],"
        echo "  \"monitors\": [ $(IFS=,; echo "${monitors[*]}") ],"
        echo "  \"currentPort\": 1, \"mousePosition\": 4, \"cyclicSwitch\": 0, \"highlight\": { \"on\": true, \"duration\": $duration } }"
    } >"$rig_dir/layout.json"
    rig_switch "$rig_dir/layout.json" "${serve[@]}"

    local count=0
    for p in $ports; do
        rig_agent "$p" "${rig_displays[p]}"
        count=$((count + 1))
    done
    rig_wait_agents "$count" || exit 1
}
