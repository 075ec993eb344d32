#!/bin/sh
# Configure refuses topic settings that would make a unit unaddressable, each
# with its one line, and takes the ones a fleet uses.
#   tests/configure-refusals.sh SOURCE-DIR SCRATCH-DIR
set -u
src=$1
scratch=$2
status=0

configure() { # ARGS...: cmake's output in $out, its status returned
    rm -rf "$scratch"
    out=$(cmake -S "$src" -B "$scratch" -DBRIDGE_BUILD_TESTS=OFF "$@" 2>&1)
}

refused() { # LINE ARGS...
    line=$1
    shift
    if configure "$@"; then
        echo "FAIL: configured with $*"
        status=1
    elif ! printf '%s\n' "$out" | tr -s ' \n' '  ' | grep -qF "$line"; then
        echo "FAIL: $* refused without '$line':"
        printf '%s\n' "$out" | tail -5
        status=1
    else
        echo "ok: refused $*"
    fi
}

accepted() { # ARGS...
    if configure "$@"; then echo "ok: configured with $*"; else
        echo "FAIL: refused $*:"
        printf '%s\n' "$out" | tail -5
        status=1
    fi
}

# CMake wraps a message's lines: compared with the spaces collapsed.
chars="BRIDGE_TOPIC_PREFIX: no + # quote or backslash in"
refused "$chars 'units/+/'" "-DBRIDGE_TOPIC_PREFIX=units/+/"
refused "$chars 'units/#'" "-DBRIDGE_TOPIC_PREFIX=units/#"
refused "$chars 'units/\"%c/'" "-DBRIDGE_TOPIC_PREFIX=units/\"%c/"
refused "BRIDGE_TOPIC_PREFIX: more than one %c in 'units/%c/%c/'" "-DBRIDGE_TOPIC_PREFIX=units/%c/%c/"
refused "BRIDGE_AVAILABILITY=ON needs %c in BRIDGE_TOPIC_PREFIX ''" -DBRIDGE_AVAILABILITY=ON
refused "BRIDGE_AVAILABILITY=ON needs %c in BRIDGE_TOPIC_PREFIX 'units/'" \
    -DBRIDGE_AVAILABILITY=ON -DBRIDGE_TOPIC_PREFIX=units/
accepted "-DBRIDGE_TOPIC_PREFIX=units/%c/" -DBRIDGE_AVAILABILITY=ON
rm -rf "$scratch"
exit $status
