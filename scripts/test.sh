#!/bin/sh
# Installs what is missing, builds (the Linux agent and the Windows one), and runs the whole
# test suite.
set -eu

cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build-windows.sh
cd build
ctest --output-on-failure -j "$(nproc)"
