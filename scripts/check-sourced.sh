#!/bin/sh
# Fails when a script sources a file that is not there: every `. "$ROOT/..."`
# or `source "$ROOT/..."` in scripts/, packaging/tests/ and .ci/ must name a
# file of the repository. Such a line only runs on some paths (a missing
# tool, a rare option), so a stale one can hide for a long time.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
missing=0
for f in scripts/*.sh packaging/tests/*.sh .ci/run; do
    # The sourced path as written, when it is given from $ROOT.
    sed -n 's/^[[:space:]]*\(\.\|source\)[[:space:]]\{1,\}"\$ROOT\/\([^"]*\)".*/\2/p' "$f" |
        while read -r path; do
            [ -f "$path" ] || { echo "$f sources $path, which does not exist"; exit 1; }
        done || missing=1
done
[ "$missing" -eq 0 ] || exit 1
echo "check-sourced: every sourced file exists"
