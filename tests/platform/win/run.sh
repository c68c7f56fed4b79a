#!/bin/sh
# Checks the Windows hook unit from Linux: `run.sh build OUT` cross-compiles it, the version
# resource and its console test with mingw-w64; `run.sh wine OUT` runs that test under Wine
# on an Xvfb of its own. Exit code 77 means the tools are missing (the test is skipped).
set -eu

mode=$1
out=$2
root=$(cd "$(dirname "$0")/../../.." && pwd)
CXX=x86_64-w64-mingw32-g++
WINDRES=x86_64-w64-mingw32-windres

case "$mode" in
build)
    command -v "$CXX" >/dev/null || { echo "no $CXX"; exit 77; }
    mkdir -p "$out"
    "$CXX" -std=c++17 -Wall -Wextra -Werror -I"$root/src" -c "$root/src/platform/win/wininputhooks.cpp" \
        -o "$out/wininputhooks.o"
    "$WINDRES" -I"$root/packaging/windows" "$root/packaging/windows/spanlink.rc" -O coff -o "$out/spanlink.res.o"
    "$CXX" -std=c++17 -Wall -O1 -static -I"$root/src" "$root/tests/platform/win/tst_winhooks.cpp" \
        "$out/wininputhooks.o" -o "$out/tst_winhooks.exe"
    echo "built $out/tst_winhooks.exe"
    ;;
wine)
    command -v wine >/dev/null || { echo "no wine"; exit 77; }
    command -v Xvfb >/dev/null || { echo "no Xvfb"; exit 77; }
    [ -f "$out/tst_winhooks.exe" ] || { echo "not built: $out/tst_winhooks.exe"; exit 1; }

    fifo="$out/xvfb-display"
    rm -f "$fifo"
    mkfifo "$fifo"
    Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$fifo" &
    xvfb=$!
    read -r display <"$fifo"
    rm -f "$fifo"
    export DISPLAY=":$display" WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    status=0
    timeout 300 wine "$out/tst_winhooks.exe" || status=$?
    wineserver -k 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
    exit $status
    ;;
esac
