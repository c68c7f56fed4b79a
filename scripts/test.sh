#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite.
set -eu

cd "$(dirname "$0")/.."
scripts/setup.sh
cd build
ctest --output-on-failure -j "$(nproc)"
