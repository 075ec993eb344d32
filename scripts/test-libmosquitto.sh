#!/bin/sh
# Runs the end-to-end tests (but the long runs) with the bridge and the tests
# built against one upstream release of libmosquitto instead of Debian's:
# the versions the boards run.
#
#   scripts/test-libmosquitto.sh VERSION [ctest options...]     e.g. 2.0.18
#
# The library comes from scripts/build-libmosquitto.sh VERSION (its prefix,
# build-libmosquitto-VERSION/prefix); the bridge is built by scripts/setup.sh
# into build-mosq-VERSION/. Before the tests run, the build must prove that
# it compiled against that prefix's mosquitto.h (not /usr/include's, which
# libmosquitto-dev keeps there) and that its executables load that prefix's
# libmosquitto.so.1 (through the build tree's RUNPATH).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
[ $# -ge 1 ] || {
    echo "usage: $0 VERSION [ctest options...]" >&2
    exit 2
}
version=$1
shift
prefix=$ROOT/build-libmosquitto-$version/prefix
BUILD=$ROOT/build-mosq-$version

start=$(date +%s)
"$ROOT/scripts/build-libmosquitto.sh" "$version" "$prefix"

log "building the bridge and its tests against $prefix into $BUILD"
PKG_CONFIG_PATH=$prefix/lib/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH} \
    BUILD_DIR=$BUILD CMAKE_ARGS="-DCMAKE_PREFIX_PATH=$prefix ${CMAKE_ARGS:-}" \
    "$ROOT/scripts/setup.sh"

# The header the compiler read for the bridge's client module, from the
# compiler's own dependency list, and the version it declares.
depfile=$BUILD/CMakeFiles/bridge_core.dir/src/mosquitto-client.cpp.o.d
[ -f "$depfile" ] || die "no $depfile: cannot tell which mosquitto.h was compiled"
header=$(tr ' ' '\n' <"$depfile" | grep '/mosquitto\.h$' | sort -u)
[ "$header" = "$prefix/include/mosquitto.h" ] ||
    die "the bridge was compiled with ${header:-no mosquitto.h}, not $prefix/include/mosquitto.h"
seen=$(for part in MAJOR MINOR REVISION; do
    sed -n "s/^#define LIBMOSQUITTO_$part \([0-9]*\).*/\1/p" "$header"
done | paste -sd.)
[ "$seen" = "$version" ] || die "$header declares libmosquitto $seen, not $version"
echo "compiled with $header ($seen)"

# Every executable of the build that needs libmosquitto, the test builds of
# the bridge first among them, must load the prefix's.
checked=0
for exe in "$BUILD"/mqtt-serial-bridge* "$BUILD"/tests/test_*; do
    if [ ! -f "$exe" ] || [ ! -x "$exe" ]; then continue; fi
    lib=$(ldd "$exe" | sed -n 's/^[[:space:]]*libmosquitto\.so\.1 => \([^ ]*\) .*/\1/p')
    [ -n "$lib" ] || continue
    [ "$lib" = "$prefix/lib/libmosquitto.so.1" ] ||
        die "$exe loads $lib, not $prefix/lib/libmosquitto.so.1"
    checked=$((checked + 1))
done
ldd "$BUILD/mqtt-serial-bridge-test" | grep -q "libmosquitto\.so\.1 => $prefix/lib/" ||
    die "mqtt-serial-bridge-test does not load $prefix/lib/libmosquitto.so.1"
echo "$checked executables load $prefix/lib/libmosquitto.so.1"

log "end-to-end tests against libmosquitto $version"
status=0
(cd "$BUILD" && ctest -L e2e -LE long --output-on-failure -j"$(nproc)" "$@") || status=$?
echo "libmosquitto $version: ctest exit $status, $(($(date +%s) - start)) s"
exit $status
