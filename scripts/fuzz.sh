#!/bin/sh
# Builds the libFuzzer targets with clang, ASan and UBSan into build-fuzz/
# (installing clang when missing) and runs each for SECONDS (default 60).
# Fails when a target crashes, leaks, hangs for 10 s or breaks one of its
# invariants; the input that did it is left in build-fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer options...]
#
# Inputs that found new coverage collect in build-fuzz/corpus/<target>/ and
# are reused by the next run; the seeds in fuzz/corpus/ are only read.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
BUILD=$ROOT/build-fuzz
SECONDS_PER_TARGET=${1:-60}
if [ $# -gt 0 ]; then shift; fi

CC=clang CXX=clang++ BUILD_DIR=$BUILD \
    EXTRA_PACKAGES="$CLANG_PACKAGES ${EXTRA_PACKAGES:-}" \
    CMAKE_ARGS="-DBRIDGE_FUZZ=ON -DBRIDGE_BUILD_TESTS=OFF ${CMAKE_ARGS:-}" \
    "$ROOT/scripts/setup.sh"

# The bridge's log lines are dropped (-close_fd_mask=1), and libFuzzer's
# progress lines go to build-fuzz/logs/; the summary and any finding are printed.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
mkdir -p "$BUILD/artifacts" "$BUILD/logs"
failed=""
for target in fuzz_intake fuzz_exchange; do
    corpus=$BUILD/corpus/$target
    log=$BUILD/logs/$target.log
    mkdir -p "$corpus"
    echo "== $target: $SECONDS_PER_TARGET s (log: $log)"
    if "$BUILD/fuzz/$target" -max_total_time="$SECONDS_PER_TARGET" -max_len=4096 -timeout=10 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" \
        "$@" "$corpus" "$ROOT/fuzz/corpus/$target" >"$log" 2>&1; then
        grep -E '^(Done|INFO: exiting|stat::(number_of_executed_units|new_units_added))' "$log" || true
    else
        grep -v -E '^#[0-9]+' "$log" | tail -60
        failed="$failed $target"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz: crash in:$failed (inputs in $BUILD/artifacts/)" >&2
    exit 1
fi
echo "fuzz: no crash"
