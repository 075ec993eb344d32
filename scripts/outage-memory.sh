#!/bin/sh
# The bridge's memory through a long outage: no broker, a device sending
# information reports as fast as the bridge answers them, past the bound of
# held reports several times; VmRSS sampled the whole time
# (bench/bench_outage.cpp). By hand, not in CI: a few minutes per bound.
#
#   scripts/outage-memory.sh [--mips] [--x86-only] [--bounds "1000 10000"] [--passes 3]
#
#   (default)   the x86-64 glibc test builds mqtt-serial-bridge-test-outageN
#   --mips      also the musl MIPS build under qemu-mips -cpu 24Kc, one variant
#               per bound in build-mips-musl-outage-N/ (scripts/musl-variant.sh)
#   --mips-only the musl MIPS build only
#   --bounds    BRIDGE_HELD_REPORTS_MAX of each run; the x86-64 builds exist for
#               1000 and 10000 (bench/CMakeLists.txt)
#   --passes    how many times the bound is passed (at least 2)
#
# Every build takes reports event-driven with a 1 ms gap, only so that the
# bound is passed quickly: a held report costs the same whatever the mode.
# Builds build-bench/ as scripts/bench.sh does; samples and results go to
# build-bench/outage-out/.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
x86=1
mips=0
bounds="1000 10000"
passes=3
while [ $# -gt 0 ]; do
    case $1 in
    --mips) mips=1 ;;
    --mips-only) mips=1 x86=0 ;;
    --bounds) bounds=$2; shift ;;
    --passes) passes=$2; shift ;;
    *) echo "usage: $0 [--mips | --mips-only] [--bounds \"N...\"] [--passes K]" >&2; exit 2 ;;
    esac
    shift
done

BUILD_DIR=$BUILD BUILD_TYPE=Release \
    CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release -DBRIDGE_BUILD_TESTS=ON -DBRIDGE_BENCH=ON ${CMAKE_ARGS:-}" \
    "$ROOT/scripts/setup.sh" >/dev/null
OUT=$BUILD/outage-out
mkdir -p "$OUT"
RESULTS=$OUT/results.txt
: >"$RESULTS"
unset BRIDGE_WRAPPER BRIDGE_EXE

for bound in $bounds; do
    if [ $x86 = 1 ]; then
        echo "== x86-64 glibc, bound $bound"
        "$BUILD/bench/bridge-bench-outage" --bound "$bound" --passes "$passes" \
            --build "mqtt-serial-bridge-test-outage$bound" --samples "$OUT/x86-64-$bound.dat" \
            --results "$RESULTS" --label "x86-64 glibc"
    fi
    if [ $mips = 1 ]; then
        . "$ROOT/scripts/musl-variant.sh"
        musl_variant "outage-$bound" -DBRIDGE_POLL_INTERVAL_MS=0 -DBRIDGE_REPORT_GAP_MS=1 \
            -DBRIDGE_HELD_REPORTS_MAX="$bound"
        echo "== MIPS32 musl under qemu-mips -cpu 24Kc, bound $bound (VmRSS is the emulator's)"
        BRIDGE_EXE=$MUSL_VARIANT_RUN "$BUILD/bench/bridge-bench-outage" --bound "$bound" \
            --passes "$passes" --samples "$OUT/mips-$bound.dat" --results "$RESULTS" \
            --label "MIPS32 musl, qemu"
    fi
done
echo
echo "== results (samples: $OUT/*.dat)"
cat "$RESULTS"
