#!/bin/sh
# Builds the Windows agent on Linux: unpacks the Windows Qt into a cache folder (once),
# configures build-win/ with the mingw-w64 toolchain, builds Spanlink.exe, Spanlink-virtual.exe
# and the Windows test programs, and stages a folder that runs as it is on Windows:
# build-win/Spanlink/, and its installer dist/Spanlink-Setup-<version>.exe (packaging/windows/).
# Needs the packages scripts/setup.sh installs.
set -eu

cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib/need.sh"
need cmake ninja xz x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windres
shared=${SPANLINK_SHARED:-$root/../shared}
cache=${XDG_CACHE_HOME:-$HOME/.cache}/spanlink
qt=$cache/qt5-mingw

if [ ! -f "$qt/lib/cmake/Qt5/Qt5Config.cmake" ]; then
    echo "Unpacking the Windows Qt into $cache"
    mkdir -p "$cache"
    rm -rf "$qt"
    tar -xJf "$shared/windows/qt5-mingw-5.15.8.tar.xz" -C "$cache"
fi

if [ ! -f build-win/CMakeCache.txt ]; then
    cmake --preset windows -DSPANLINK_QT_WIN="$qt" -DSPANLINK_HIDAPI_SOURCE="$shared/windows/hidapi_0.13.1.orig.tar.gz"
fi
cmake --build build-win -j "$(nproc)"
rm -rf build-win/Spanlink
cmake --install build-win >/dev/null
echo "Staged: build-win/Spanlink"

# The installer: the staged folder without the virtual switch's twins, which are for testing.
need makensis
payload=build-win/installer/Spanlink
rm -rf build-win/installer
mkdir -p build-win/installer dist
cp -a build-win/Spanlink "$payload"
rm -f "$payload"/*-virtual.exe
# The uninstaller removes exactly these files, then the folders they leave empty.
(
    cd "$payload"
    find . -type f | sort | sed 's|^\./||; s|/|\\|g' | while read -r f; do printf 'Delete "$INSTDIR\\%s"\n' "$f"; done
    find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g' | while read -r d; do printf 'RMDir "$INSTDIR\\%s"\n' "$d"; done
) >build-win/installer/files.nsh
makensis -V2 -DPAYLOAD="$root/$payload" -DFILES="$root/build-win/installer/files.nsh" \
    -DICON="$root/src/Images/kv830mt.ico" -DOUTDIR="$root/dist" packaging/windows/spanlink.nsi
ls dist/Spanlink-Setup-*.exe
