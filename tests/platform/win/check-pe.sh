#!/bin/sh
# The staged Windows folder as Windows loads it: every DLL a staged program or plugin imports is
# staged or part of Windows, and the platform plugin and QML modules are where qt.conf says;
# Spanlink.exe is a GUI program whose manifest asks to run elevated and per-monitor DPI aware
# (desktop pixels on every monitor), and whose version resource carries the project version.
# Usage: check-pe.sh STAGE
set -eu
root=$(cd "$(dirname "$0")/../../.." && pwd)
. "$root/scripts/lib/need.sh"
# No Windows build here: nothing to check (skipped), not a fault of the build.
[ -f "$1/Spanlink.exe" ] || { echo "SKIP: no $1/Spanlink.exe (run scripts/build-windows.sh)"; exit 77; }
need x86_64-w64-mingw32-objdump
s=$1
f=0
fail() { echo "FAILED: $*" && f=$((f + 1)); }
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
# windres doubles the quotes of the manifest's XML.
echo "$rc" | grep -q '<dpiAwareness xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">PerMonitorV2,PerMonitor</dpiAwareness>' ||
    fail "the manifest does not ask for PerMonitorV2 with PerMonitor as fallback"
echo "$rc" | grep -q '<dpiAware xmlns=""http://schemas.microsoft.com/SMI/2005/WindowsSettings"">true/pm</dpiAware>' ||
    fail "the manifest has no per-monitor dpiAware for Windows before 10 1607"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$s/../CMakeCache.txt")
numbers=$(echo "$version" | sed 's/\./, /g')
text=$(echo "$version" | awk -F. '{ printf "%d.%d.%03d.%03d", $1, $2, $3, $4 }')
echo "$rc" | grep -q 'VALUE "ProductName", "Spanlink"' && echo "$rc" | grep -q "^ FILEVERSION $numbers\$" &&
    echo "$rc" | grep -q "VALUE \"ProductVersion\", \"$text\"" ||
    fail "the version resource does not name Spanlink $version ($text)"
# The installer of that version: 64-bit (Windows puts it in the 64-bit Program Files and registry
# without redirection), asking for administrator rights, carrying the same version.
setup=$s/../../dist/Spanlink-Setup-$version.exe
if [ -f "$setup" ]; then
    x86_64-w64-mingw32-objdump -f "$setup" | grep -q 'file format pei-x86-64' || fail "the installer is not 64-bit"
    rc=$(x86_64-w64-mingw32-windres -i "$setup" -O rc)
    grep -aq 'requestedExecutionLevel level="requireAdministrator"' "$setup" || fail "the installer does not ask for rights"
    echo "$rc" | grep -q "^ FILEVERSION $numbers\$" && echo "$rc" | grep -q "VALUE \"ProductVersion\", \"$text\"" ||
        fail "the installer does not carry version $text"
else
    fail "no installer $setup"
fi
[ "$f" -eq 0 ] || { echo "$f failed"; exit 1; }
echo "the staged folder loads, Spanlink.exe and its installer as expected"
