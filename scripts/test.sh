#!/bin/sh
# Runs every test: unit tests, and end-to-end tests against a real mosquitto
# broker with mutual TLS and a device on a pseudo-terminal.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build}

"$ROOT/scripts/setup.sh"
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" "$@"
