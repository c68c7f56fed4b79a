#!/bin/sh
# Installs what is missing, builds (the Linux agent and the Windows one), fuzzes each libFuzzer
# target for a minute, runs the whole test suite, then runs it again built with the address,
# leak and undefined-behaviour sanitizers.
set -eu

cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build-windows.sh
scripts/fuzz.sh "${SPANLINK_FUZZ_SECONDS:-60}"
(cd build && ctest --output-on-failure -j "$(nproc)")
scripts/test-sanitizers.sh
