#!/bin/sh
# Installs the Debian packages that building, running and testing Spanlink need (only those
# missing), then configures and builds into build/. Safe to run again.
set -eu

cd "$(dirname "$0")/.."

# Libraries, fonts and the scenes' modules; the packages of the programs the scripts and tests
# start come from scripts/lib/commands.
LIBRARIES="
    build-essential
    wine64
    qtbase5-dev
    qtdeclarative5-dev
    libhidapi-dev
    libbenchmark-dev
    libx11-dev
    libxi-dev
    qml-module-qtquick2
    qml-module-qtquick-window2
    qml-module-qtquick-controls
    qml-module-qtquick-controls2
    qtquickcontrols2-5-dev
    qml-module-qtquick-layouts
    qml-module-qtquick-dialogs
    qml-module-qt-labs-platform
    fonts-dejavu-core
    xserver-xorg-video-dummy
    libxtst-dev
    g++-mingw-w64-x86-64
    libclang-rt-14-dev
"
PACKAGES="$LIBRARIES $(awk '!/^#/ && NF { print $2 }' scripts/lib/commands | sort -u)"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    echo "Installing:$missing"
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        SUDO="sudo"
    fi
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -q
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
fi

if [ ! -f build/CMakeCache.txt ]; then
    cmake --preset linux
fi
cmake --build build -j "$(nproc)"
