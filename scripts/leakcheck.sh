#!/bin/sh
# Runs the end-to-end tests with every bridge process under valgrind's
# memcheck, and fails on any memory error or definitely lost byte.
#
#   scripts/leakcheck.sh [ctest options...]      e.g. -R Faults
#
# Builds with scripts/setup.sh (into build/, or BUILD_DIR), installing
# valgrind when it is missing. Each bridge runs as
#   valgrind --leak-check=full ... --log-file=valgrind.%p.log
# in its test's work dir. At teardown the harness ends it with SIGTERM
# rather than SIGKILL, so valgrind gets to write its leak summary, and copies
# the logs to <build>/valgrind-logs/, named after the test. Waits in the
# tests are stretched by E2E_TIMEOUT_SCALE (default 10) for valgrind's pace.
#
# Left out: the long runs (label "long"), a thousand commands and 500
# commands through 20 broker kills, which take their time because of the
# 100 ms poll and would take it again under valgrind without reaching other
# code.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}
LOGS=$BUILD/valgrind-logs

EXTRA_PACKAGES="valgrind ${EXTRA_PACKAGES:-}" BUILD_DIR=$BUILD "$ROOT/scripts/setup.sh"

rm -rf "$LOGS"
mkdir -p "$LOGS"
export E2E_ARTIFACTS=$LOGS
export E2E_TIMEOUT_SCALE=${E2E_TIMEOUT_SCALE:-10}
export BRIDGE_WRAPPER="valgrind --leak-check=full --errors-for-leak-kinds=definite \
--error-exitcode=99 --log-file=valgrind.%p.log --suppressions=$ROOT/scripts/valgrind.supp"

start=$(date +%s)
status=0
(cd "$BUILD" && ctest -L e2e -LE long --output-on-failure -j"$(nproc)" "$@") || status=$?

# One log per process that valgrind ran. A log without a summary is either
# the shell that the bridge's popen forks (valgrind stops at its exec; its
# parent's log, from the same test, carries the verdict) or a bridge that
# had to be SIGKILLed unplanned, which proves nothing and fails the run
# (a test that kills the bridge on purpose renames its log to .killed).
runs=0 clean=0 errors=0 lost=0 unfinished=0
for f in "$LOGS"/*.log; do
    [ -f "$f" ] || continue
    if ! grep -q "ERROR SUMMARY" "$f"; then
        ppid=$(sed -n 's/^==[0-9]*== Parent PID: \([0-9]*\)$/\1/p' "$f")
        parent=${f%.valgrind.*.log}.valgrind.$ppid
        [ -n "$ppid" ] && { [ -f "$parent.log" ] || [ -f "$parent.killed" ]; } && continue
        unfinished=$((unfinished + 1))
        echo "== no summary (killed before valgrind finished): $f"
        continue
    fi
    runs=$((runs + 1))
    e=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$f" | tail -1 | tr -d ,)
    d=$(sed -n 's/.*definitely lost: \([0-9,]*\) bytes.*/\1/p' "$f" | tail -1 | tr -d ,)
    e=${e:-0} d=${d:-0}
    errors=$((errors + e))
    lost=$((lost + d))
    if [ "$e" -eq 0 ] && [ "$d" -eq 0 ]; then
        clean=$((clean + 1))
    else
        echo "== $f: $e error(s), $d byte(s) definitely lost"
        cat "$f"
    fi
done

echo "leakcheck: ctest exit $status; $runs bridge run(s) under valgrind, $clean clean;" \
    "$errors error(s); $lost byte(s) definitely lost; $unfinished without summary;" \
    "$(($(date +%s) - start)) s; logs in $LOGS"
[ "$status" -eq 0 ] && [ "$runs" -gt 0 ] && [ "$errors" -eq 0 ] && [ "$lost" -eq 0 ] &&
    [ "$unfinished" -eq 0 ]
