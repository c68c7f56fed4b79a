#!/bin/sh
# Builds the libFuzzer targets (clang 14, into build-fuzz/) and runs each for SECONDS
# (60 by default), one after the other. New inputs go to build-fuzz/corpus/<target>/, the
# committed seeds in fuzz/<target>_seeds/ are only read; a crash leaves its input in
# build-fuzz/crash-* and makes the script fail. Logs: build-fuzz/<target>.log.
set -eu

cd "$(dirname "$0")/.."
SECONDS_EACH=${1:-60}
. scripts/lib/need.sh
need cmake ninja clang-14 clang++-14 llvm-symbolizer # leaks are told from known ones by their symbols
TARGETS="switch_replies layout_events layout_file"
BUILD=build-fuzz

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake --preset fuzz
fi
for t in $TARGETS; do
    cmake --build "$BUILD" -j2 --target "fuzz_$t"
done

status=0
for t in $TARGETS; do
    mkdir -p "$BUILD/corpus/$t"
    echo "== fuzz_$t for ${SECONDS_EACH}s"
    # Leak checking stays on; a run stops at its first finding. The layout file goes through
    # Qt's JSON reader, whose known leak (scripts/sanitizers/lsan.supp) is only recognised on a
    # whole stack: Qt is built without frame pointers.
    unwind=""
    [ "$t" = layout_file ] && unwind=:fast_unwind_on_malloc=0
    if ! ASAN_OPTIONS=detect_leaks=1$unwind UBSAN_OPTIONS=print_stacktrace=1 \
        LSAN_OPTIONS=suppressions="$PWD/scripts/sanitizers/lsan.supp" \
        "$BUILD/fuzz_$t" -max_total_time="$SECONDS_EACH" -print_final_stats=1 -artifact_prefix="$BUILD/" \
        "$BUILD/corpus/$t" "fuzz/${t}_seeds" >"$BUILD/$t.log" 2>&1; then
        echo "fuzz_$t FOUND SOMETHING: see $BUILD/$t.log"
        status=1
    fi
    grep -E '^#[0-9]+.*(DONE|cov:)' "$BUILD/$t.log" | tail -1
    grep -E 'stat::number_of_executed_units' "$BUILD/$t.log" || true
done
exit $status
