#!/bin/sh
# Benchmarks of the release build: throughput, latency, CPU, memory, intake
# time and executable size, against a real mosquitto broker (mutual TLS on
# loopback) and the simulated firmware on a pty. Prints one table.
#
#   scripts/bench.sh           full run, about 7 minutes; writes docs/latency.png
#   scripts/bench.sh --smoke   a short run (well under a minute) for CI: the same
#                              phases with small counts; fails when the harness
#                              breaks, never on a missed target
#
# Builds into build-bench/ (BUILD_DIR overrides) with CMAKE_BUILD_TYPE=Release.
# Raw results and samples stay in BUILD_DIR/bench-out/.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
SMOKE=0
case "${1:-}" in
--smoke) SMOKE=1 ;;
"") ;;
*)
    echo "usage: $0 [--smoke]" >&2
    exit 2
    ;;
esac

BUILD_DIR=$BUILD BUILD_TYPE=Release \
    CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release -DBRIDGE_BUILD_TESTS=ON -DBRIDGE_BENCH=ON ${CMAKE_ARGS:-}" \
    EXTRA_PACKAGES="gnuplot-nox binutils ${EXTRA_PACKAGES:-}" \
    "$ROOT/scripts/setup.sh"

OUT=$BUILD/bench-out
rm -rf "$OUT"
mkdir -p "$OUT"
RESULTS=$OUT/results.txt
: >"$RESULTS"
# The bench measures the bridge itself, never under a wrapper.
unset BRIDGE_WRAPPER

if [ "$SMOKE" -eq 1 ]; then
    E2E_ARGS=--smoke
    QUEUE_N=10000
    PLOT=$OUT/latency.png
else
    E2E_ARGS=
    QUEUE_N=100000
    PLOT=$ROOT/docs/latency.png
fi

echo "== end to end: bridge process, mosquitto with mutual TLS, simulated firmware"
# shellcheck disable=SC2086
"$BUILD/bench/bridge-bench" $E2E_ARGS --data "$OUT" --results "$RESULTS"

echo "== in-process: intake and drain of a $QUEUE_N-command list"
# The bridge's log goes to a file, as under a supervisor.
"$BUILD/bench/bridge-bench-queue" --commands "$QUEUE_N" --results "$RESULTS" \
    >"$OUT/queue.stdout"
"$BUILD/bench/bridge-bench-queue" --commands "$QUEUE_N" --results "$RESULTS" \
    --stdout-fully-buffered >"$OUT/queue-full.stdout"
tokenized=$(grep -c '^TOKENIZED COMMAND: ' "$OUT/queue.stdout" || true)
if [ "$tokenized" -ne "$QUEUE_N" ]; then
    echo "bench: FAILED: the in-process bridge logged $tokenized of $QUEUE_N queued commands" >&2
    exit 1
fi

echo "== executable size"
BIN=$BUILD/mqtt-serial-bridge
strip -o "$OUT/mqtt-serial-bridge.stripped" "$BIN"
size_b=$(stat -c %s "$OUT/mqtt-serial-bridge.stripped")
needed=$(readelf -d "$BIN" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
if [ -z "$needed" ]; then
    echo "bench: FAILED: readelf found no NEEDED entries in $BIN" >&2
    exit 1
fi
echo "stripped $size_b bytes; NEEDED: $needed"
awk -v b="$size_b" 'BEGIN {
    r = b / 65536
    printf "stripped executable mqtt-serial-bridge|%d B (%.1f KiB)|<= 64 KiB|%.3f|%s\n", \
        b, b / 1024, r, (r <= 1 ? "met" : "MISSED") }' >>"$RESULTS"
case " $needed" in
*" libstdc++"*) verdict=MISSED ;;
*) verdict=met ;;
esac
echo "NEEDED libraries|$needed|no libstdc++|-|$verdict" >>"$RESULTS"

if command -v gnuplot >/dev/null 2>&1; then
    gnuplot -e "dir='$OUT'; out='$PLOT'" "$ROOT/bench/latency.gp"
    echo "plot: $PLOT"
else
    echo "bench: FAILED: gnuplot is missing" >&2
    exit 1
fi

echo
echo "== results ($([ "$SMOKE" -eq 1 ] && echo smoke run || echo full run); figure/target below 1 is better for limits, above 1 for floors)"
{
    echo "what|figure|target|figure/target|verdict"
    cat "$RESULTS"
} | awk -F'|' '
    { for (i = 1; i <= NF; i++) { cell[NR, i] = $i; if (length($i) > w[i]) w[i] = length($i) } }
    END { for (r = 1; r <= NR; r++) {
        line = ""
        for (i = 1; i <= 5; i++) line = line sprintf("%-" w[i] "s  ", cell[r, i])
        sub(/ +$/, "", line); print line } }'
