#!/bin/sh
# The whole CTest suite built with AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer, in build-asan/. Findings inside libraries we do not build are
# suppressed in scripts/sanitizers/, each with its reason. The Wine tests are left out: they
# run the Windows build, which is not instrumented, and the package test builds its own
# uninstrumented package. Extra arguments go to ctest.
set -eu

cd "$(dirname "$0")/.."
root=$(pwd)
. "$root/scripts/lib/need.sh"
need cmake ctest ninja llvm-symbolizer # leaks are told from known ones by their symbols
BUILD=build-asan

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake --preset sanitizers
fi
cmake --build "$BUILD" -j2

# Child processes (agents, the switch daemon) inherit these and are instrumented too.
export ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:abort_on_error=0:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$root/scripts/sanitizers/ubsan.supp"
export LSAN_OPTIONS="suppressions=$root/scripts/sanitizers/lsan.supp:print_suppressions=0"
cd "$BUILD"
ctest -j2 --output-on-failure -LE "wine|package" "$@"
