#!/bin/sh
# Builds one upstream release of libmosquitto (the C library alone, with TLS)
# for this machine, x86-64, to run the tests against the versions the boards
# have rather than Debian's.
#
#   scripts/build-libmosquitto.sh VERSION [PREFIX]     e.g. 2.0.18, 2.0.22
#
# The source is mosquitto-VERSION.tar.gz in $MOSQUITTO_DEPS_DIR (default
# ../shared/deps beside the repository), checked against the SHA256SUMS
# there. It is unpacked and built in build-libmosquitto-VERSION/ and
# installed into PREFIX (default build-libmosquitto-VERSION/prefix): include/,
# lib/libmosquitto.so.1 and lib/pkgconfig/libmosquitto.pc. A prefix made
# from the same tarball with the same options is reused as it is.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 VERSION [PREFIX]" >&2
    exit 2
fi
version=$1
case $version in
*[!0-9.]* | "") die "'$version' is not a version such as 2.0.22" ;;
esac
[ "$(uname -m)" = x86_64 ] || die "builds for x86-64 only, not $(uname -m)"
work=$ROOT/build-libmosquitto-$version
prefix=${2:-$work/prefix}
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd)

mosquitto_tarball "$version"

# The library alone: no broker, clients, plugins, C++ wrapper or manuals;
# cJSON (for the clients) and c-ares (SRV lookups) are not needed then.
# The .pc names $prefix/lib, whatever GNUInstallDirs would choose.
options="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_LIBDIR=lib \
-DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF \
-DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF -DWITH_CJSON=OFF -DWITH_SRV=OFF \
-DWITH_TLS=ON -DWITH_TLS_PSK=ON -DWITH_THREADING=ON -DWITH_STATIC_LIBRARIES=OFF"
stamp="$(sha256sum "$MOSQUITTO_TARBALL" | cut -d' ' -f1) $options"
if [ -f "$prefix/.built" ] && [ "$(cat "$prefix/.built")" = "$stamp" ] &&
    [ -f "$prefix/lib/libmosquitto.so.1" ]; then
    log "reusing libmosquitto $version in $prefix"
    exit 0
fi

need_pkgs=
command -v cmake >/dev/null 2>&1 || need_pkgs="$need_pkgs cmake"
command -v make >/dev/null 2>&1 || need_pkgs="$need_pkgs make"
command -v pkg-config >/dev/null 2>&1 || need_pkgs="$need_pkgs pkg-config"
# Its CMake project enables C++ as well as C.
command -v g++ >/dev/null 2>&1 || need_pkgs="$need_pkgs g++"
dpkg-query -W -f='${Status}' libssl-dev 2>/dev/null | grep -q "ok installed" ||
    need_pkgs="$need_pkgs libssl-dev"
# shellcheck disable=SC2086
apt_install $need_pkgs || die "could not install:$need_pkgs"

start=$(date +%s)
log "building libmosquitto $version into $prefix"
rm -rf "$work/src" "$work/build" "$prefix/.built"
mkdir -p "$work/src"
tar -xzf "$MOSQUITTO_TARBALL" -C "$work/src" --strip-components=1
# shellcheck disable=SC2086
cmake -S "$work/src" -B "$work/build" -DCMAKE_INSTALL_PREFIX="$prefix" $options \
    >"$work/configure.log" 2>&1 || { tail -40 "$work/configure.log" >&2; die "configure failed"; }
cmake --build "$work/build" --parallel "$(nproc)" >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log" >&2; die "build failed"; }
cmake --install "$work/build" >"$work/install.log" 2>&1 ||
    { tail -40 "$work/install.log" >&2; die "install failed"; }

# Installed whatever WITH_LIB_CPP says, for a library that was not built.
rm -f "$prefix/lib/pkgconfig/libmosquittopp.pc"
pc_version=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion libmosquitto 2>/dev/null) ||
    die "no libmosquitto.pc in $prefix/lib/pkgconfig"
[ "$pc_version" = "$version" ] || die "$prefix's libmosquitto.pc says $pc_version, not $version"
echo "$stamp" >"$prefix/.built"
log "libmosquitto $version in $prefix, built in $(($(date +%s) - start)) s"
