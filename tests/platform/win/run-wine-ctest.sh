#!/bin/sh
# Runs the test programs of the Windows build BUILD under Wine: an Xvfb and a fresh prefix of
# this run's own, the Windows Qt found through the environment. Ends only what it started.
set -eu
build=$(cd "$1" && pwd)
[ -f "$build/CMakeCache.txt" ] || { echo "not built: $build (run scripts/build-windows.sh)"; exit 1; }
qt=$(sed -n 's/^SPANLINK_QT_WIN:PATH=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
xvfb=""
cleanup() {
    WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT INT TERM
mkfifo "$work/display"
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>/dev/null &
xvfb=$!
read -r display <"$work/display"
export DISPLAY=":$display" WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPATH="Z:$qt/bin;Z:/usr/lib/gcc/x86_64-w64-mingw32/12-posix;Z:/usr/x86_64-w64-mingw32/lib"
export QT_PLUGIN_PATH="Z:$qt/plugins" QML2_IMPORT_PATH="Z:$qt/qml"
wineboot -i >/dev/null 2>&1
ctest --test-dir "$build" --output-on-failure -j1 --timeout 120
