#!/bin/sh
# Installs what building and testing need on a Debian machine (when missing)
# and builds the bridge, its test build, the tests and the simulated firmware
# into build/.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}

PACKAGES="cmake g++ make pkg-config libmosquitto-dev libssl-dev mosquitto mosquitto-clients openssl
googletest libgtest-dev iproute2 ${EXTRA_PACKAGES:-}"

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
. "$ROOT/scripts/common.sh"
# shellcheck disable=SC2086
apt_install $missing

# shellcheck disable=SC2086
build_tree "$BUILD" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CMAKE_ARGS:-}
