#!/bin/sh
# Configure refuses topic settings that would make a unit unaddressable and
# serial speeds the port is never set to, each with its one line, and takes
# the ones a fleet and a board use.
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
rates="BRIDGE_SERIAL_BAUD must be one of the rates the port is set to (50 75 110 134 150 200 300 600 1200 1800\
 2400 9600 19200 38400 57600 115200 230400)"
# 4800 is a standard rate the port's table lacks; 460800 is past the fallback.
refused "$rates, not '4800'" -DBRIDGE_SERIAL_BAUD=4800
refused "$rates, not '460800'" -DBRIDGE_SERIAL_BAUD=460800
accepted -DBRIDGE_SERIAL_BAUD=115200
accepted -DBRIDGE_SERIAL_BAUD=230400
rm -rf "$scratch"
exit $status
