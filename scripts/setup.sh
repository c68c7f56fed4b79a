#!/bin/sh
# Installs the Debian packages that building, running and testing Spanlink need (only those
# missing), then configures and builds into build/. Safe to run again.
set -eu

cd "$(dirname "$0")/.."

PACKAGES="
    build-essential
    cmake
    pkg-config
    qtbase5-dev
    qtdeclarative5-dev
    libhidapi-dev
    libbenchmark-dev
    libx11-dev
    libxi-dev
    qml-module-qtquick2
    qml-module-qtquick-window2
    qml-module-qtquick-controls
    qml-module-qtquick-dialogs
    qml-module-qt-labs-platform
    fonts-dejavu-core
    xvfb
    xserver-xorg-core
    xserver-xorg-video-dummy
    xauth
    xdotool
    x11-utils
    x11-xserver-utils
    trayer
    xcompmgr
    imagemagick
    libxtst-dev
    g++-mingw-w64-x86-64
    wine
    wine64
    qemu-system-x86
    busybox-static
    udev
    clang-14
    libclang-rt-14-dev
"

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
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build build -j "$(nproc)"
