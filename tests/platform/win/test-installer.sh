#!/bin/sh
# The Windows installer under Wine, in a fresh prefix of this run's own on an Xvfb of its own:
# a silent install (files, shortcut, uninstall entry, logon task), the installed agent (its log,
# its DPI awareness and screens, a wake from sleep), an upgrade over it by an installer whose
# Spanlink.exe carries a newer version resource, and a silent uninstall that leaves the logs.
# Usage: test-installer.sh BUILD (the Windows build folder; scripts/build-windows.sh made it)
set -eu
root=$(cd "$(dirname "$0")/../../.." && pwd)
. "$root/scripts/lib/need.sh"
need wine wineboot wineserver Xvfb makensis python3

build=$(cd "$1" && pwd)
root=$(cd "$build/.." && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
setup=$root/dist/Spanlink-Setup-$version.exe
tool=$build/tests/wintool.exe
[ -f "$setup" ] && [ -f "$tool" ] || { echo "not built: run scripts/build-windows.sh"; exit 1; }
text() { echo "$1" | awk -F. '{ printf "%d.%d.%03d.%03d", $1, $2, $3, $4 }'; }

work=$(mktemp -d)
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPATH="Z:/usr/lib/gcc/x86_64-w64-mingw32/12-posix;Z:/usr/x86_64-w64-mingw32/lib"
xvfb=""
cleanup() {
    wineserver -k 2>/dev/null || true
    [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
    chmod -R u+w "$work" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
Xvfb -displayfd 3 -nolisten tcp -screen 0 1920x1080x24 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

f=0
fail() { echo "FAILED: $*" && f=$((f + 1)); }
ok() { echo "ok: $*"; }
# Waits up to $1 tenths of a second for the command that follows to succeed.
within() {
    n=$1
    shift
    while ! "$@" 2>/dev/null; do
        n=$((n - 1))
        [ "$n" -gt 0 ] || return 1
        sleep 0.1
    done
}

drive=$WINEPREFIX/drive_c
dir="$drive/Program Files/VORN/Spanlink"
link="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Spanlink.lnk"
setup_link="$drive/ProgramData/Microsoft/Windows/Start Menu/Programs/Spanlink Setup.lnk"
logs="$drive/users/$(id -un)/AppData/Roaming/VORN/Spanlink"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Spanlink'
start=$(date +%s)

# One desktop for all, as the agent needs for its hooks; the boot settles before services start.
wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1920x1080 /f >/dev/null 2>&1
wineserver -w
# Windows runs it always; Wine on demand.
wine net start schedule >/dev/null 2>&1 || true
echo "prefix ready after $(($(date +%s) - start)) s"

# --- A silent install into the fresh prefix.
wine "$setup" /S && ok "silent install" || fail "silent install: exit code $?"
for p in Spanlink.exe spanlinkctl.exe uninstall.exe Qt5Core.dll qt.conf platforms/qwindows.dll qml/QtQuick.2/qmldir; do
    [ -f "$dir/$p" ] || fail "$p not installed"
done
[ -z "$(find "$dir" -name '*-virtual.exe')" ] || fail "a virtual switch program was installed"
staged=$(cd "$build/installer/Spanlink" && find . -type f | wc -l)
installed=$(cd "$dir" && find . -type f | wc -l)
[ "$installed" -eq $((staged + 1)) ] && ok "all $staged files and the uninstaller" ||
    fail "$installed files installed, $staged staged"
[ -f "$link" ] && [ -f "$setup_link" ] && ok "Start menu shortcuts" || fail "no Start menu shortcut"

entry() { wine reg query "$key" /reg:64 2>/dev/null | tr -d '\r'; }
value() { entry | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
for row in "DisplayName|Spanlink" "DisplayVersion|$(text "$version")" "Publisher|VORN" \
    'DisplayIcon|C:\Program Files\VORN\Spanlink\Spanlink.exe,0' \
    'UninstallString|"C:\Program Files\VORN\Spanlink\uninstall.exe"' \
    'QuietUninstallString|"C:\Program Files\VORN\Spanlink\uninstall.exe" /S' \
    'InstallLocation|C:\Program Files\VORN\Spanlink'; do
    name=${row%%|*}
    want=${row#*|}
    got=$(value "$name")
    [ "$got" = "$want" ] && ok "$name is $want" || fail "$name is '$got', not '$want'"
done
size=$(value EstimatedSize)
kb=$(du -sk "$dir" | cut -f1)
[ -n "$size" ] && [ $((size)) -gt $((kb / 2)) ] && [ $((size)) -lt $((kb * 2)) ] && ok "EstimatedSize $((size)) KB" ||
    fail "EstimatedSize '$size', the folder has $kb KB"

# --- The logon task: Wine keeps its registration info and settings (the rest: tst_logontask).
task() { wine "$tool" task >"$work/task.xml" 2>/dev/null; }
task || true
xml=$(tr -d '\r' <"$work/task.xml")
echo "$xml" | grep -q '<URI>\\VORN\\Spanlink</URI>' && echo "$xml" | grep -q '<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>' &&
    echo "$xml" | grep -q '<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>' &&
    ok "logon task registered" || fail "no logon task: $xml"
[ "$(ls "$drive/windows/system32/tasks/VORN" 2>/dev/null)" = Spanlink ] || fail "not one task in \\VORN"

# --- The installed agent, started as the Start menu would, logs as before.
log=$logs/log$(date +%F).txt
wine "C:\\Program Files\\VORN\\Spanlink\\Spanlink.exe" >/dev/null 2>&1 &
lines() { grep -c "$1" "$log" 2>/dev/null || true; }
has() { [ "$(lines "$1")" -ge "$2" ]; }
within 600 has 'Connection device fail' 1 && ok "installed agent started and logs" || fail "installed agent: no log in $log"
has 'DPI awareness: per-monitor' 1 && ok "$(grep -o 'DPI awareness: [^(]*' "$log" | head -1)" || fail "DPI awareness not per-monitor"
grep -q 'Screen .*: 1920x1080 at 0,0 desktop pixels, .*; the same in Qt' "$log" && ok "screen in desktop pixels, as Qt has it" ||
    fail "screen line: $(grep 'Screen ' "$log" | head -1)"

# --- Spanlink Setup from its install folder, given a layout file (the real hidapi finds no switch
# here): it loads its scene and stays up; a scene that fails to load ends it at once.
printf '%s' '{"monitors":[{"port":1,"index":1,"row":1,"col":1,"width":1920,"height":1080}]}' >"$work/layout.json"
wine "C:\\Program Files\\VORN\\Spanlink\\Spanlink Setup.exe" "Z:$work/layout.json" >"$work/setup.out" 2>&1 &
setup_pid=$!
sleep 5
if kill -0 "$setup_pid" 2>/dev/null && ! grep -q 'qrc:' "$work/setup.out"; then
    ok "Spanlink Setup started and stays up"
else
    fail "Spanlink Setup: $(cat "$work/setup.out")"
fi
kill "$setup_pid" 2>/dev/null
wait "$setup_pid" 2>/dev/null || true

# --- Sleep and wake: the switch is closed, then reopened within a second of the wake.
within 100 wine "$tool" suspend && within 50 has 'Going to sleep: switch closed' 1 && ok "sleep logged" || fail "sleep not seen"
before=$(date +%s%N)
wine "$tool" resume >/dev/null || fail "no agent window to wake"
if within 10 has 'Woke from sleep: switch reopened' 1; then
    ok "wake: switch reopened after $((($(date +%s%N) - before) / 1000000)) ms (wintool's own start included)"
else
    fail "wake: no reopen in the log within a second"
fi
# At once, not at the next heartbeat: the switch closed, and a heartbeat tried it and reopened.
grep -B3 'Woke from sleep' "$log" | grep -q 'closedev() called' &&
    grep -B3 'Woke from sleep' "$log" | grep -q 'please open device first' ||
    fail "wake: the switch was not closed and tried at once: $(grep -B3 'Woke from sleep' "$log")"

# --- An upgrade by a newer build (its version resource bumped here) while the agent runs.
newer=$(echo "$version" | awk -F. '{ printf "%d.%d.%d.%d", $1, $2, $3, $4 + 1 }')
cp -a "$build/installer/Spanlink" "$work/newer"
python3 - "$work/newer/Spanlink.exe" "$version" "$newer" <<'EOF'
# The fixed part of the version resource and its texts, in place: same length, same layout.
import struct, sys
path, old, new = sys.argv[1:]
data = bytearray(open(path, 'rb').read())
at = data.find(struct.pack('<I', 0xFEEF04BD))
assert at > 0, 'no VS_FIXEDFILEINFO'
def words(v):
    a, b, c, d = (int(x) for x in v.split('.'))
    return struct.pack('<II', (a << 16) | b, (c << 16) | d)
for offset in (8, 16):
    assert data[at + offset:at + offset + 8] == words(old)
    data[at + offset:at + offset + 8] = words(new)
pad = lambda v: '%d.%d.%03d.%03d' % tuple(int(x) for x in v.split('.'))
a, b = pad(old).encode('utf-16-le'), pad(new).encode('utf-16-le')
assert len(a) == len(b) and data.count(a) == 2
data = data.replace(a, b)
open(path, 'wb').write(data)
EOF
# The faster compressor: this installer is only run here.
makensis -V1 -X"SetCompressor /FINAL zlib" -DPAYLOAD="$work/newer" -DFILES="$build/installer/files.nsh" -DICON="$root/src/Images/kv830mt.ico" \
    -DOUTDIR="$work" "$root/packaging/windows/spanlink.nsi" || fail "newer installer not built"
wine "$work/Spanlink-Setup-$newer.exe" /S && ok "silent upgrade" || fail "silent upgrade: exit code $?"
has 'Asked to end: quitting' 1 && ok "running agent ended" || fail "running agent not asked to end"
within 600 has 'DPI awareness' 2 && ok "agent started again" || fail "agent not started again"
[ "$(value DisplayVersion)" = "$(text "$newer")" ] && ok "uninstall entry shows $(text "$newer")" ||
    fail "uninstall entry shows '$(value DisplayVersion)'"
[ "$(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /reg:64 2>/dev/null | grep -c 'Spanlink')" -eq 1 ] ||
    fail "not one uninstall entry"
cmp -s "$work/newer/Spanlink.exe" "$dir/Spanlink.exe" && ok "Spanlink.exe replaced" || fail "Spanlink.exe not replaced"
[ "$(ls "$drive/windows/system32/tasks/VORN" 2>/dev/null)" = Spanlink ] && ok "one logon task" || fail "not one task after the upgrade"

# --- A silent uninstall, as the uninstall entry says: everything of ours goes but the logs.
quiet=$(value QuietUninstallString)
program=${quiet% /S}
program=${program#\"}
wine "${program%\"}" /S || fail "silent uninstall: exit code $?"
gone() { [ ! -e "$dir" ] && ! entry | grep -q DisplayName; }
within 300 gone && ok "uninstalled" || fail "still installed: $(ls "$dir" 2>/dev/null | head -3)"
[ ! -e "$drive/Program Files/VORN" ] || fail "Program Files\\VORN left"
[ ! -e "$link" ] && [ ! -e "$setup_link" ] || fail "Start menu shortcut left"
wine reg query 'HKLM\Software\VORN' /reg:64 >/dev/null 2>&1 && fail "HKLM\\Software\\VORN left"
task >/dev/null && fail "logon task left"
[ ! -e "$drive/windows/system32/tasks/VORN" ] || fail "task folder left"
has 'Asked to end: quitting' 2 && ok "agent ended by the uninstaller" || fail "agent not ended by the uninstaller"
[ -f "$log" ] && ok "logs kept" || fail "logs removed"

# --- Elsewhere and without autostart, then the same switch afterwards; an uninstall asked to
# take the logs too.
other="$drive/Tools/Spanlink"
windir='C:\Tools\Spanlink'
program="$windir\Spanlink.exe"
wine "$setup" /S /AUTOSTART=0 "/D=$windir" && [ -f "$other/Spanlink.exe" ] && [ "$(value InstallLocation)" = 'C:\Tools\Spanlink' ] &&
    ok "installed into C:\\Tools\\Spanlink" || fail "/D= not followed"
task && fail "a logon task despite /AUTOSTART=0"
wine "$program" --autostart on && task && ok "--autostart on" || fail "--autostart on"
wine "$program" --autostart off && ! task && ok "--autostart off" || fail "--autostart off"
wine "$program" --autostart maybe 2>/dev/null && fail "--autostart maybe accepted"
wine "$windir\uninstall.exe" /S /REMOVELOGS
within 300 eval '[ ! -e "$other" ] && ! entry | grep -q DisplayName' && [ ! -e "$logs" ] && ok "uninstalled with the logs" ||
    fail "/REMOVELOGS left $(ls "$other" "$logs" 2>/dev/null | head -3)"

# --- A folder that cannot be made (a file has its name): a failure in the exit code, no entry.
mkdir -p "$drive/Program Files/VORN"
: >"$dir"
if wine "$setup" /S; then
    fail "an install that could not write its folder reported success"
else
    code=$?
    ! entry | grep -q DisplayName && ok "a failed install exits with $code and leaves no entry" || fail "a failed install left an entry"
fi
rm -f "$dir"

echo "$(($(date +%s) - start)) s in all"
[ "$f" -eq 0 ] || { echo "$f failed"; exit 1; }
echo "installed, upgraded and removed as a Windows user would"
