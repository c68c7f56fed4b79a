#!/bin/sh
# The staged Windows folder as Windows loads it: every DLL a staged program or plugin imports is
# staged or part of Windows, and the platform plugin and QML modules are where qt.conf says;
# Spanlink.exe is a GUI program whose manifest asks to run elevated and whose version names it.
# Usage: check-pe.sh STAGE
set -eu
root=$(cd "$(dirname "$0")/../../.." && pwd)
. "$root/scripts/lib/need.sh"
need x86_64-w64-mingw32-objdump
s=$1
f=0
fail() { echo "FAILED: $*" && f=$((f + 1)); }
[ -f "$s/Spanlink.exe" ] || { echo "FAILED: no $s/Spanlink.exe (run scripts/build-windows.sh)"; exit 1; }
windows='^(kernel32|user32|gdi32|msvcrt|advapi32|shell32|ole32|oleaut32|ws2_32|dwmapi|imm32|winmm|wtsapi32|uxtheme|version|netapi32|userenv|mpr|iphlpapi|dnsapi|crypt32|comdlg32|setupapi|cfgmgr32|hid|shlwapi|secur32|bcrypt|ncrypt|comctl32|winspool\.drv|d3d9|d3d11|dxgi|dwrite|d2d1|api-ms-win-.*)\.dll$'
staged=$(find "$s" -iname '*.dll' -exec basename {} \; | tr 'A-Z' 'a-z')
# One name a line: "Spanlink Setup.exe" has a space.
nl='
'
IFS=$nl
for bin in $(find "$s" \( -iname '*.exe' -o -iname '*.dll' \)); do
    for dll in $(x86_64-w64-mingw32-objdump -p "$bin" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
        echo "$dll" | grep -Eq "$windows" || echo "$staged" | grep -qx "$dll" || fail "${bin#$s/} imports $dll, not staged"
    done
done
for p in platforms/qwindows.dll qml/QtQuick.2/qmldir qml/QtQuick/Window.2/qmldir qml/QtQuick/Controls/qmldir \
    qml/QtQuick/Controls/Styles/qmldir qml/QtQuick/Dialogs/qmldir qml/Qt/labs/platform/qmldir \
    qml/QtQuick/Controls.2/qmldir qml/QtQuick/Controls.2/Fusion/qmldir qml/QtQuick/Templates.2/qmldir \
    qml/QtQuick/Layouts/qmldir; do
    [ -f "$s/$p" ] || fail "$p is not staged"
done
grep -q '^Qml2Imports=qml' "$s/qt.conf" || fail "qt.conf does not point at qml/"
for exe in Spanlink.exe "Spanlink Setup.exe"; do
    [ -f "$s/$exe" ] || { fail "no $exe"; continue; }
    x86_64-w64-mingw32-objdump -p "$s/$exe" | grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' ||
        fail "$exe is not a GUI-subsystem program"
done
rc=$(x86_64-w64-mingw32-windres -i "$s/Spanlink.exe" -O rc)
echo "$rc" | grep -q 'requestedExecutionLevel level=""requireAdministrator"" uiAccess=""false""' || fail "no requireAdministrator"
echo "$rc" | grep -q 'VALUE "ProductName", "Spanlink"' && echo "$rc" | grep -q '^ FILEVERSION 1, 0, 67, 2$' ||
    fail "the version resource does not name Spanlink 1.0.67.2"
[ "$f" -eq 0 ] || { echo "$f failed"; exit 1; }
echo "the staged folder loads, Spanlink.exe as expected"
