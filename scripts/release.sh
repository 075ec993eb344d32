#!/bin/sh
# Makes the release artifact for boards whose owners have no OpenWrt SDK:
#
#   dist/mqtt-serial-bridge-<version>-mips_24kc-musl.tar.gz
#
# holding the static musl executable (stripped), the procd init script and
# an INSTALL text that ends with the build's compiled-in settings. The
# version is PKG_VERSION of the OpenWrt package. The executable is built by
# scripts/cross-test.sh --musl --build-only (which checks its ABI); settings
# for another broker or device come from CMAKE_ARGS, as there, and only from
# there: whatever an earlier build of that folder was given does not carry
# over (packaging/tests/test-release.sh checks it).
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
pkg=$ROOT/packaging/openwrt/mqtt-serial-bridge
build=${BRIDGE_MIPS_BUILD:-$ROOT/build-mips-musl}
dist=$ROOT/dist

version=$(sed -n 's/^PKG_VERSION:=//p' "$pkg/Makefile")
[ -n "$version" ] || { echo "release: no PKG_VERSION in $pkg/Makefile" >&2; exit 1; }

BRIDGE_MIPS_BUILD=$build sh "$ROOT/scripts/cross-test.sh" --musl --build-only

name=mqtt-serial-bridge-$version-mips_24kc-musl
stage=$build/release/$name
rm -rf "$build/release"
mkdir -p "$stage" "$dist"
install -m 0755 "$build/mqtt-serial-bridge.stripped" "$stage/mqtt-serial-bridge"
install -m 0755 "$pkg/files/mqtt-serial-bridge.init" "$stage/mqtt-serial-bridge.init"
{
    sed "s/@VERSION@/$version/" "$ROOT/packaging/release/INSTALL.in"
    sed -n 's/^#define \(BRIDGE_[A-Z_]*\) /     \1 /p' "$build/config/bridge_config.h"
} >"$stage/INSTALL"
tar -C "$build/release" --owner=0 --group=0 --sort=name -czf "$dist/$name.tar.gz" "$name"
echo "== $dist/$name.tar.gz ($(wc -c <"$dist/$name.tar.gz") bytes):"
tar -tvzf "$dist/$name.tar.gz"
