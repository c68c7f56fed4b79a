#!/bin/sh
# Runs the test programs of the Windows build BUILD under Wine, on an Xvfb and in a fresh prefix
# of this run's own, the Windows Qt found through the environment.
# The boot settles (wineserver -w) before anything starts a service.
set -eu
root=$(cd "$(dirname "$0")/../../.." && pwd)
. "$root/scripts/lib/need.sh"
need xvfb-run wine wineboot wineserver
build=$(cd "$1" && pwd)
qt=$(sed -n 's/^SPANLINK_QT_WIN:PATH=//p' "$build/CMakeCache.txt") || { echo "not built: run scripts/build-windows.sh"; exit 1; }
work=$(mktemp -d)
trap 'WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true; chmod -R u+w "$work"; rm -rf "$work"' EXIT
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPATH="Z:$qt/bin;Z:/usr/lib/gcc/x86_64-w64-mingw32/12-posix;Z:/usr/x86_64-w64-mingw32/lib"
export QT_PLUGIN_PATH="Z:$qt/plugins" QML2_IMPORT_PATH="Z:$qt/qml"
xvfb-run -a -s '-nolisten tcp -screen 0 1280x1024x24' sh -c \
    "{ wineboot -i && wineserver -w; } >'$work/wineboot.log' 2>&1 || { cat '$work/wineboot.log'; exit 1; }
     ctest --test-dir '$build' --output-on-failure -j1 --timeout 120"
