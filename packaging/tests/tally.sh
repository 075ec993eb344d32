# Sourced by the packaging tests: counts checks and ends the run with the
# tally (non-zero when any check failed).
passed=0
failed=0
ok() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
finish() {
    echo "$passed passed, $failed failed"
    [ $failed = 0 ]
    exit
}
