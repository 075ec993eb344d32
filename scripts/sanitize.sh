#!/bin/sh
# Builds everything with a sanitizer and runs the test suite in that build:
# "address" (ASan and UBSan, into build-asan/) or "thread" (TSan, into
# build-tsan/). The long scenarios (label "long": minutes of the 100 ms poll
# that reach no other code) run in the normal build only.
#
#   scripts/sanitize.sh address|thread [ctest options...]
#
# The bridge also runs as a child process of the end-to-end tests, where a
# finding would only show as a changed exit status. So every instrumented
# process writes its reports to files in <build>/sanitizer-reports/, and the
# run fails when any report file appears, whatever ctest says; the reports
# are printed.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
kind=${1:-}
case $kind in
address)
    dir=build-asan
    # clang links ASan and UBSan as one runtime, so UBSan's reports go to the
    # report files too; with GCC's separate libubsan they only reach stderr.
    export CC=clang CXX=clang++
    export EXTRA_PACKAGES="$CLANG_PACKAGES ${EXTRA_PACKAGES:-}"
    ;;
thread) dir=build-tsan ;;
*)
    echo "usage: $0 address|thread [ctest options...]" >&2
    exit 2
    ;;
esac
shift
BUILD=$ROOT/$dir
REPORTS=$BUILD/sanitizer-reports
mkdir -p "$BUILD"
rm -rf "$REPORTS"
mkdir -p "$REPORTS"

# exitcode 66 sets a finding apart from the bridge's own exit statuses.
common="halt_on_error=1:exitcode=66:print_stacktrace=1"
export ASAN_OPTIONS="$common:log_path=$REPORTS/asan:detect_leaks=1:abort_on_error=0"
export UBSAN_OPTIONS="$common:log_path=$REPORTS/ubsan"
export TSAN_OPTIONS="$common:log_path=$REPORTS/tsan:second_deadlock_stack=1"

start=$(date +%s)
status=0
BUILD_DIR=$BUILD CMAKE_ARGS="-DBRIDGE_SANITIZE=$kind ${CMAKE_ARGS:-}" \
    "$ROOT/scripts/test.sh" -LE long "$@" || status=$?

reports=0
for f in "$REPORTS"/*; do
    [ -f "$f" ] || continue
    reports=$((reports + 1))
    echo "== sanitizer report $f"
    cat "$f"
done
echo "sanitize $kind: ctest exit $status, $reports report file(s), $(($(date +%s) - start)) s"
[ "$reports" -eq 0 ] && [ "$status" -eq 0 ]
