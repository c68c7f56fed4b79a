#!/bin/sh
# Builds the Debian package into dist/ and checks it with lintian. Installs what the build
# needs first (only what is missing; as root, or through sudo). The build runs on a copy of
# the sources in build-deb/, so dpkg-buildpackage writes nothing outside this directory.
set -eu

cd "$(dirname "$0")/.."
root=$(pwd)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
apt_install() {
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"
}

missing=""
for p in dpkg-dev debhelper lintian; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
updated=""
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    apt_install update -q
    updated=1
    # shellcheck disable=SC2086
    apt_install install -y -q --no-install-recommends $missing
fi
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    echo "Installing the build dependencies of debian/control"
    [ -n "$updated" ] || apt_install update -q
    apt_install build-dep -y -q --no-install-recommends "$root"
fi

work="$root/build-deb"
rm -rf "$work"
mkdir -p "$work/spanlink"
tar --exclude=./.git --exclude=./build --exclude='./build-*' --exclude=./dist --exclude=./demo -cf - . |
    tar -xf - -C "$work/spanlink"

# Without the test suite (CI runs it through scripts/test.sh) and on two cores at most.
(cd "$work/spanlink" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-nocheck parallel=2}" dpkg-buildpackage -b -us -uc)

mkdir -p dist
rm -f dist/spanlink_* dist/spanlink-dbgsym_*
mv "$work"/spanlink_*.deb "$work"/spanlink-dbgsym_*.deb "$work"/spanlink_*.buildinfo "$work"/spanlink_*.changes dist/
rm -rf "$work"

echo "lintian:"
lintian dist/spanlink_*.deb dist/spanlink-dbgsym_*.deb
echo "Built: $(ls dist/spanlink_*.deb)"
