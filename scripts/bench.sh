#!/bin/sh
# Benchmarks of the release build: throughput, latency, CPU, memory, intake
# time and executable size, against a real mosquitto broker (mutual TLS on
# loopback) and the simulated firmware on a pty, and the same figures at poll
# intervals of 50, 20 and 10 ms (variant builds of the bridge). Prints one
# table and the curve.
#
#   scripts/bench.sh           full run, about 14 minutes; writes docs/latency.png
#                              and docs/poll-curve.png
#   scripts/bench.sh --smoke   a short run (about 50 s once built) for CI: the
#                              same phases with small counts; fails when the harness
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
    PLOTS=$OUT
else
    E2E_ARGS=
    QUEUE_N=100000
    PLOTS=$ROOT/docs
fi
CURVE=$OUT/curve.dat
: >"$CURVE"

echo "== end to end at the default 100 ms poll: bridge process, mosquitto with mutual TLS, simulated firmware"
# shellcheck disable=SC2086
"$BUILD/bench/bridge-bench" $E2E_ARGS --data "$OUT" --results "$RESULTS" --curve-data "$CURVE"
for ms in 50 20 10; do
    echo "== end to end at a $ms ms poll (build mqtt-serial-bridge-test-poll$ms): idle, singles, info, throughput"
    # shellcheck disable=SC2086
    "$BUILD/bench/bridge-bench" $E2E_ARGS --poll-ms "$ms" --curve --results "$RESULTS" \
        --curve-data "$CURVE"
done

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
    gnuplot -e "dir='$OUT'; out='$PLOTS/latency.png'" "$ROOT/bench/latency.gp"
    gnuplot -e "data='$CURVE'; out='$PLOTS/poll-curve.png'" "$ROOT/bench/curve.gp"
    echo "plots: $PLOTS/latency.png $PLOTS/poll-curve.png"
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

echo
echo "== the poll interval's curve (one run; targets at 10 ms: >= 45/s, report p99 <= 15 ms, idle CPU < 0.5 %)"
awk 'BEGIN { printf "%-9s %-22s %-18s %-19s %s\n", "interval", "throughput", "report p50/p99", "command p50/p99", "idle CPU" }
    { printf "%-9s %-22s %-18s %-19s %s\n", $1 " ms", sprintf("%.2f/s = %.1f %%", $2, $3 * 100),
        sprintf("%.1f / %.1f ms", $4, $5), sprintf("%.2f / %.2f ms", $6, $7), sprintf("%.3f %%", $8) }' "$CURVE"
