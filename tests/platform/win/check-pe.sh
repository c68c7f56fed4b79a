#!/bin/sh
# The staged Windows folder as Windows loads it: every DLL a staged program or plugin imports is
# staged or part of Windows; Spanlink.exe is a GUI program, its manifest asks to run elevated and
# its version resource names the product. Usage: check-pe.sh STAGE
set -eu
stage=$1
failures=0
fail() { echo "FAILED: $*" && failures=$((failures + 1)); }
[ -f "$stage/Spanlink.exe" ] || { echo "FAILED: no $stage/Spanlink.exe (run scripts/build-windows.sh)"; exit 1; }

system='^(kernel32|user32|gdi32|msvcrt|advapi32|shell32|ole32|oleaut32|ws2_32|dwmapi|imm32|winmm|wtsapi32|uxtheme|version|netapi32|userenv|mpr|iphlpapi|dnsapi|crypt32|comdlg32|setupapi|cfgmgr32|hid|shlwapi|secur32|bcrypt|ncrypt|comctl32|winspool\.drv|d3d9|d3d11|dxgi|dwrite|d2d1|api-ms-win-.*)\.dll$'
staged=$(find "$stage" -iname '*.dll' -exec basename {} \; | tr 'A-Z' 'a-z')
for bin in $(find "$stage" \( -iname '*.exe' -o -iname '*.dll' \)); do
    for dll in $(x86_64-w64-mingw32-objdump -p "$bin" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z'); do
        echo "$dll" | grep -Eq "$system" || echo "$staged" | grep -qx "$dll" || fail "${bin#$stage/} imports $dll, not staged"
    done
done
for f in platforms/qwindows.dll qml/QtQuick.2/qmldir qml/QtQuick/Window.2/qmldir qml/QtQuick/Controls/qmldir \
    qml/QtQuick/Controls/Styles/qmldir qml/QtQuick/Dialogs/qmldir qml/Qt/labs/platform/qmldir libstdc++-6.dll \
    libgcc_s_seh-1.dll libwinpthread-1.dll; do
    [ -f "$stage/$f" ] || fail "$f is not staged"
done
grep -q '^Qml2Imports=qml' "$stage/qt.conf" || fail "qt.conf does not point at qml/"
for exe in Spanlink.exe Spanlink-virtual.exe; do
    x86_64-w64-mingw32-objdump -p "$stage/$exe" | grep -Eq '^Subsystem[[:space:]]+0+2[[:space:]]+\(Windows GUI\)' ||
        fail "$exe is not a GUI-subsystem program"
done
rc=$(x86_64-w64-mingw32-windres -i "$stage/Spanlink.exe" -O rc)
echo "$rc" | sed -n '/RT_MANIFEST/,/^END/p' | grep -q 'requestedExecutionLevel level=""requireAdministrator"" uiAccess=""false""' ||
    fail "the manifest does not ask for requireAdministrator without uiAccess"
echo "$rc" | grep -q '^ FILEVERSION 1, 0, 67, 2$' || fail "numeric file version is not 1.0.67.2"
for pair in 'CompanyName", "VORN' 'FileDescription", "Spanlink' 'ProductName", "Spanlink' \
    'OriginalFilename", "Spanlink.exe' 'FileVersion", "1.0.067.002' 'ProductVersion", "1.0.067.002'; do
    echo "$rc" | grep -qF "VALUE \"$pair\"" || fail "version resource lacks \"$pair\""
done
[ "$failures" -eq 0 ] || { echo "$failures failed"; exit 1; }
echo "staged folder and Spanlink.exe as expected"
