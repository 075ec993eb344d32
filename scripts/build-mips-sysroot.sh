#!/bin/sh
# Builds the MIPS32 big-endian staging tree that the cross build links against:
# OpenSSL 3.0 from Debian's source package, libmosquitto (library only) and
# GoogleTest from /usr/src/googletest. Everything is installed with prefix
# /usr under SYSROOT. libmosquitto is Debian's source package for glibc; for
# musl, the board's build, it is the upstream release that OpenWrt's main
# line ships, from mosquitto-<version>.tar.gz in $MOSQUITTO_DEPS_DIR (default
# ../shared/deps beside the repository), checked against its SHA256SUMS.
#
#   scripts/build-mips-sysroot.sh [SYSROOT]          Debian's glibc toolchain;
#                                                    shared libraries, the C
#                                                    library stays in
#                                                    /usr/mips-linux-gnu
#   scripts/build-mips-sysroot.sh --musl [SYSROOT]   the board's ABI (musl, soft
#                                                    float, MIPS32r2) with the
#                                                    compiler that
#                                                    install-musl-toolchain.sh
#                                                    installs; static archives
#                                                    (libmosquitto 2.0.22), and
#                                                    in SYSROOT/dynamic a board's
#                                                    root for the dynamic build:
#                                                    the same OpenSSL shared,
#                                                    libmosquitto 2.0.18 shared
#                                                    and musl's libc.so with its
#                                                    loader, from Debian's musl
#                                                    source package
#
# SYSROOT defaults to $BRIDGE_MIPS_SYSROOT, else build-mips/sysroot (with
# --musl build-mips-musl/sysroot) in the repository. Build trees go to
# SYSROOT.work beside it; downloaded sources to $BRIDGE_MIPS_SOURCES (default
# build-mips/sources), shared by both. A finished tree (marked by
# SYSROOT/.complete) is reused as it is; each component that finished is kept
# when an earlier run stopped half-way. REBUILD=1 starts over.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
abi=gnu
if [ "${1:-}" = --musl ]; then
    abi=musl
    shift
fi
triplet=mips-linux-$abi
default_build=$ROOT/build-mips
[ $abi = gnu ] || default_build=$ROOT/build-mips-$abi
sysroot=${1:-${BRIDGE_MIPS_SYSROOT:-$default_build/sysroot}}
mkdir -p "$sysroot"
sysroot=$(cd "$sysroot" && pwd)
work=$sysroot.work
# With --musl: the board's root for the dynamic build (shared libraries, the
# C library and its loader), linked against and run under qemu with -L.
dynamic=$sysroot/dynamic
srcdir=${BRIDGE_MIPS_SOURCES:-$ROOT/build-mips/sources}
toolchain=$ROOT/cmake/$triplet.cmake
jobs=$(nproc 2>/dev/null || echo 2)
# 2.0.22 is the first 2.0.x whose network loop survives a refused first TLS
# connection; OpenWrt's main line ships it.
musl_mosquitto=2.0.22
# The dynamic build's, as the board's packages have it.
shared_mosquitto=2.0.18
# What the bridge's TLS needs of OpenSSL: a TLS 1.2/1.3 client that
# verifies and presents certificates (RSA and EC, as brokers use them),
# with the ciphers those versions negotiate (AES-GCM, AES-CBC, ChaCha20-
# Poly1305) over ECDHE (X25519, P-256, P-384), OCSP, sockets and the UI
# libmosquitto calls unguarded. The rest would only cost the board flash:
# libcrypto's providers reference every algorithm built, so what is built
# is linked. no-dh drops the DHE suites only: ECDHE is what every broker
# offers first, and the tests' certificates are EC. no-autoload-config:
# libmosquitto asks for the configuration itself (OPENSSL_INIT_LOAD_CONFIG).
# no-filenames: errors name no source file.
openssl_musl_trim="no-engine no-legacy no-module no-dso no-deprecated
    no-dtls no-dgram no-srp no-psk no-srtp no-tls1 no-tls1_1 no-ssl3 no-comp
    no-nextprotoneg no-ct no-cms no-cmp no-ts no-rfc3779 no-ssl-trace no-async
    no-aria no-bf no-camellia no-cast no-des no-idea no-rc2 no-rc4 no-seed
    no-sm2 no-sm3 no-sm4 no-gost no-md4 no-mdc2 no-rmd160 no-whirlpool
    no-blake2 no-siphash no-scrypt no-ocb no-siv no-cmac no-dsa no-ec2m
    no-dh no-autoload-config no-filenames no-multiblock no-secure-memory"
# Size first; function and data sections let the executable's link drop
# what no caller reaches; C needs no unwind tables (the bridge has no
# exceptions to carry through it).
openssl_musl_flags="-Oz -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables
    -fno-unwind-tables"
# The archives only ever go into the static executable: without PIC its
# calls and data references skip the GOT (about 300 KB of code less).
musl_static_cflags="-fno-pic -mno-abicalls"

# logged NAME COMMAND...: runs COMMAND with its output in $work/NAME.log,
# which is shown (its end) when the command fails.
logged() {
    _log="$work/$1.log"
    shift
    "$@" >"$_log" 2>&1 || { tail -40 "$_log" >&2; exit 1; }
}

if [ "${REBUILD:-0}" = 1 ]; then
    rm -rf "$sysroot" "$work"
    mkdir -p "$sysroot"
fi
# A musl tree made with another libmosquitto gets this one in its place; the
# rest of it is kept.
if [ $abi = musl ] && [ -f "$sysroot/.complete" ] &&
    ! grep -qx "mosquitto=mosquitto-$musl_mosquitto.tar.gz" "$sysroot/.complete"; then
    log "$sysroot has $(sed -n 's/^mosquitto=//p' "$sysroot/.complete"): rebuilding libmosquitto $musl_mosquitto"
    rm -f "$sysroot/.complete" "$sysroot/.stamps/mosquitto"
fi
# OpenSSL built with other options is built again, and so is what links it;
# a tree from before the dynamic root gets the missing parts.
openssl_stamp=openssl
if [ $abi = musl ]; then
    # shellcheck disable=SC2086
    openssl_stamp=$(echo openssl $openssl_musl_trim $openssl_musl_flags static $musl_static_cflags)
    if [ -f "$sysroot/.stamps/openssl" ] && [ "$(cat "$sysroot/.stamps/openssl")" != "$openssl_stamp" ]; then
        log "$sysroot has OpenSSL built with other options: rebuilding it and libmosquitto"
        rm -rf "$sysroot/.complete" "$sysroot/.stamps/openssl" "$sysroot/.stamps/mosquitto" \
            "$sysroot/.stamps/mosquitto_shared" "${dynamic:?}/usr"
    fi
    if [ -f "$dynamic/lib/libc.so" ] && ! readelf -d "$dynamic/lib/libc.so" | grep -q 'SONAME.*\[libc\.so\]'; then
        rm -f "$sysroot/.stamps/musl"
    fi
    for c in musl mosquitto_shared; do
        [ -f "$sysroot/.stamps/$c" ] || rm -f "$sysroot/.complete"
    done
fi
if [ -f "$sysroot/.complete" ]; then
    log "reusing $sysroot ($(tr '\n' ' ' <"$sysroot/.complete"))"
    exit 0
fi
mkdir -p "$work" "$sysroot/.stamps"
# Before the long OpenSSL build: a missing or altered tarball stops the run.
[ $abi = gnu ] || [ -f "$sysroot/.stamps/mosquitto" ] || mosquitto_tarball $musl_mosquitto
[ $abi = gnu ] || [ -f "$sysroot/.stamps/mosquitto_shared" ] || mosquitto_tarball $shared_mosquitto

# --- tools -------------------------------------------------------------------
need_pkgs=
if [ $abi = gnu ]; then
    command -v $triplet-g++ >/dev/null 2>&1 || need_pkgs="$need_pkgs g++-$triplet"
fi
command -v cmake >/dev/null 2>&1 || need_pkgs="$need_pkgs cmake"
command -v make >/dev/null 2>&1 || need_pkgs="$need_pkgs make"
command -v perl >/dev/null 2>&1 || need_pkgs="$need_pkgs perl"
command -v pkg-config >/dev/null 2>&1 || need_pkgs="$need_pkgs pkg-config"
command -v dpkg-source >/dev/null 2>&1 || need_pkgs="$need_pkgs dpkg-dev"
[ -f /usr/src/googletest/CMakeLists.txt ] || need_pkgs="$need_pkgs googletest"
# shellcheck disable=SC2086
apt_install $need_pkgs || die "could not install:$need_pkgs"
if [ $abi = musl ]; then
    tc=${BRIDGE_MUSL_TOOLCHAIN:-$ROOT/build-mips-musl/toolchain}
    sh "$ROOT/scripts/install-musl-toolchain.sh" "$tc"
    tc=$(cd "$tc" && pwd)
    export BRIDGE_MUSL_TOOLCHAIN="$tc"
fi
mkdir -p "$srcdir"
srcdir=$(cd "$srcdir" && pwd)

# --- sources -----------------------------------------------------------------
# apt-get source needs deb-src entries. They are derived from the machine's
# own apt sources into a private apt state under $srcdir/apt, so the system's
# configuration and lists stay untouched.
apt_opts=
setup_src_apt() {
    [ -n "$apt_opts" ] && return 0
    a=$srcdir/apt
    rm -rf "$a"
    mkdir -p "$a/lists/partial" "$a/cache/archives/partial" "$a/parts"
    : >"$a/empty.list"
    found=0
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        sed 's/^Types:.*/Types: deb-src/' "$f" >"$a/parts/$(basename "$f")"
        found=1
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        out=$a/parts/$(basename "$f")
        sed -n 's/^[[:space:]]*deb\([[:space:]]\)/deb-src\1/p' "$f" >"$out"
        if [ -s "$out" ]; then found=1; fi
    done
    [ $found = 1 ] || die "no apt sources found to derive deb-src entries from"
    apt_opts="-o Dir::Etc::SourceList=$a/empty.list -o Dir::Etc::SourceParts=$a/parts"
    apt_opts="$apt_opts -o Dir::State::Lists=$a/lists -o Dir::Cache=$a/cache"
    # shellcheck disable=SC2086
    apt-get $apt_opts update >"$a/update.log" 2>&1 ||
        { cat "$a/update.log" >&2; die "apt-get update for source entries failed"; }
}

# newest NAME_*.orig.tar.* / NAME_*.dsc in $srcdir (empty when none)
orig_tarball() {
    for f in "$srcdir/$1"_*.orig.tar.*; do
        case $f in *.asc) ;; *) [ -f "$f" ] && printf '%s\n' "$f" ;; esac
    done | sort -V | tail -1
}
newest_dsc() {
    for f in "$srcdir/$1"_*.dsc; do
        [ -f "$f" ] && printf '%s\n' "$f"
    done | sort -V | tail -1
}

fetch_source() {
    [ -n "$(orig_tarball "$1")" ] && return 0
    setup_src_apt
    log "downloading the source package of $1"
    # Some suites serve the upstream tarball but not the .dsc: a partial
    # download still leaves what is needed, so only the tarball is checked.
    # shellcheck disable=SC2086
    (cd "$srcdir" && apt-get $apt_opts source --download-only "$1") >"$srcdir/$1.log" 2>&1 || true
    [ -n "$(orig_tarball "$1")" ] || { cat "$srcdir/$1.log" >&2; die "no source tarball for $1"; }
}

# unpack NAME DIR: Debian's patches applied when the .dsc is complete,
# otherwise the upstream tarball alone.
unpack() {
    tarball=$(orig_tarball "$1")
    rm -rf "$2"
    dsc=$(newest_dsc "$1")
    if [ -n "$dsc" ] && dpkg-source --no-check -x "$dsc" "$2" >"$work/$1-unpack.log" 2>&1; then
        log "unpacked $(basename "$dsc") with Debian's patches"
        return 0
    fi
    rm -rf "$2"
    mkdir -p "$2"
    tar -xf "$tarball" -C "$2" --strip-components=1
    log "unpacked $(basename "$tarball")"
}

# --- components --------------------------------------------------------------
cmake_cross() {
    cmake -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DBRIDGE_MIPS_SYSROOT="$sysroot" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_INSTALL_LIBDIR=lib "$@"
}

# cmake_component NAME SRC [CMAKE ARGS...]: configures, builds and installs
# into the sysroot, logs in $work/NAME-*.log.
cmake_component() {
    name=$1 src=$2
    shift 2
    logged $name-configure cmake_cross -S "$src" -B "$work/$name-build" "$@"
    logged $name-build cmake --build "$work/$name-build" --parallel "$jobs"
    logged $name-install env DESTDIR="$sysroot" cmake --install "$work/$name-build"
}

# prepare_source NAME LABEL: NAME's Debian source unpacked into src=$work/NAME.
prepare_source() {
    fetch_source $1
    src=$work/$1
    unpack $1 "$src"
    log "building $2 $(basename "$(orig_tarball $1)")"
}

# In OpenSSL's build directory, after Configure: the shared libraries
# (PIC) first, then the archives without PIC. Each file is compiled for one
# of them anyway; only the providers' objects, which both link, are compiled
# twice. The rest of build_libs is made with the shared libraries taken as
# they are (-o), which are then marked newer than the providers' archives,
# so that install_dev installs them as linked (checked after).
build_openssl_musl() {
    logged openssl-build make -j"$jobs" build_generated
    logged openssl-build-shared make -j"$jobs" libcrypto.so libssl.so
    cp libcrypto.so.3 libssl.so.3 "$work/"
    find providers ssl \( -name 'libdefault-lib-*.o' -o -name 'libcommon-lib-*.o' \) -exec rm -f {} +
    rm -f providers/libdefault.a providers/libcommon.a
    grep -q '^LIB_CFLAGS=-fPIC ' Makefile || die "OpenSSL's Makefile has no LIB_CFLAGS=-fPIC to replace"
    sed -i "s/^LIB_CFLAGS=-fPIC /LIB_CFLAGS=$musl_static_cflags /" Makefile
    logged openssl-depend make depend
    logged openssl-build-static make -j"$jobs" -o libcrypto.so.3 -o libssl.so.3 _build_libs
    touch libcrypto.so.3
    touch libssl.so.3
    readelf -h crypto/x509/libcrypto-lib-x509_vfy.o providers/libdefault.a | grep -q 'Flags:.* pic,' &&
        die "OpenSSL's archives were compiled with PIC"
    return 0
}

build_openssl() {
    prepare_source openssl OpenSSL
    if [ $abi = gnu ]; then
        set -- --cross-compile-prefix=$triplet- shared -latomic
    else
        # One build gives both: the static archives the release links whole
        # and the shared libraries the dynamic build runs with, as the
        # board's packages do. no-asm: clang's assembler turns the MIPS
        # modules' "la" into a GOT16 without its LO16 pair, which lld then
        # resolves without the offset into .rodata (wrong AES tables).
        # BROKEN_CLANG_ATOMICS: compiler-rt has no __atomic_is_lock_free;
        # OpenSSL takes its lock instead.
        # linux-mips32 links the shared libraries with -latomic, which
        # compiler-rt stands in for: an empty archive satisfies it.
        mkdir -p "$work/no-atomic"
        rm -f "$work/no-atomic/libatomic.a"
        "$tc/bin/$triplet-ar" rc "$work/no-atomic/libatomic.a"
        # shellcheck disable=SC2086
        set -- CC="$tc/bin/$triplet-cc" AR="$tc/bin/$triplet-ar" \
            RANLIB="$tc/bin/$triplet-ranlib" shared no-asm -DBROKEN_CLANG_ATOMICS \
            -L"$work/no-atomic" $openssl_musl_trim $openssl_musl_flags
    fi
    (
        cd "$src"
        logged openssl-configure ./Configure linux-mips32 --prefix=/usr --libdir=lib \
            --openssldir=/etc/ssl no-tests "$@"
        if [ $abi = gnu ]; then
            logged openssl-build make -j"$jobs" build_libs
        else
            build_openssl_musl
        fi
        logged openssl-install make install_dev DESTDIR="$sysroot"
    )
    # With glibc everything links the shared libraries, as on the board.
    if [ $abi = gnu ]; then
        rm -f "$sysroot/usr/lib/libssl.a" "$sysroot/usr/lib/libcrypto.a"
    else
        # The static tree keeps the archives alone; the shared libraries go
        # to the board's root that the dynamic build links and runs with.
        mkdir -p "$dynamic/usr/lib"
        mv "$sysroot"/usr/lib/libssl.so* "$sysroot"/usr/lib/libcrypto.so* "$dynamic/usr/lib/"
        for l in libcrypto.so.3 libssl.so.3; do
            cmp -s "$work/$l" "$dynamic/usr/lib/$l" || die "$l was linked again with the archives' objects"
        done
    fi
}

build_mosquitto() {
    set -- -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF \
        -DWITH_CJSON=OFF -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF \
        -DWITH_TLS=ON -DWITH_THREADING=ON -DWITH_SRV=OFF -DWITH_WEBSOCKETS=OFF
    if [ $abi = gnu ]; then
        prepare_source mosquitto libmosquitto
        cmake_component mosquitto "$src" "$@" -DWITH_STATIC_LIBRARIES=OFF -DWITH_TLS_PSK=ON
        return 0
    fi
    mosquitto_tarball $musl_mosquitto
    src=$work/mosquitto
    # A build tree left by another version would keep its objects: the
    # tarball's files are older than they are.
    rm -rf "$src" "$work/mosquitto-build"
    mkdir -p "$src"
    tar -xzf "$MOSQUITTO_TARBALL" -C "$src" --strip-components=1
    log "building libmosquitto $(basename "$MOSQUITTO_TARBALL")"
    # The board's OpenSSL is built without PSK. The archive is for the static
    # executable alone, built as OpenSSL's archives are. Its CMake would
    # always build the shared library too, which cannot be without PIC: only
    # the archive's target is built, and installed by hand, under the name
    # -lmosquitto finds, with a .pc that names what a static link needs.
    logged mosquitto-configure cmake_cross -S "$src" -B "$work/mosquitto-build" "$@" \
        -DWITH_STATIC_LIBRARIES=ON -DWITH_SHARED_LIBRARIES=OFF -DWITH_TLS_PSK=OFF \
        -DCMAKE_C_FLAGS="-ffunction-sections -fdata-sections $musl_static_cflags" \
        -DCMAKE_C_FLAGS_RELEASE="-Oz -DNDEBUG -fno-asynchronous-unwind-tables -fno-unwind-tables"
    logged mosquitto-build cmake --build "$work/mosquitto-build" --parallel "$jobs" \
        --target libmosquitto_static
    mkdir -p "$sysroot/usr/include" "$sysroot/usr/lib/pkgconfig"
    install -m 0644 "$work/mosquitto-build/lib/libmosquitto_static.a" "$sysroot/usr/lib/libmosquitto.a"
    install -m 0644 "$src/include/mosquitto.h" "$src/include/mqtt_protocol.h" "$sysroot/usr/include/"
    sed 's/^Libs: .*/& -lssl -lcrypto/' "$work/mosquitto-build/libmosquitto.pc" \
        >"$sysroot/usr/lib/pkgconfig/libmosquitto.pc"
    readelf -h "$sysroot/usr/lib/libmosquitto.a" | grep -q 'Flags:.* pic,' &&
        die "libmosquitto's archive was compiled with PIC"
    return 0
}

# The board's C library as a shared object, for the dynamic build to link
# and run with: Zig brings musl as an archive and a stub to link against,
# which for MIPS lacks the 64-bit time functions (__clock_gettime64).
# Debian's source package is the same musl 1.2 line, built by the same
# compiler for the same CPU.
build_musl() {
    prepare_source musl musl
    (
        cd "$src"
        logged musl-configure ./configure --prefix=/usr --syslibdir=/lib --target=$triplet \
            CC="$tc/bin/$triplet-cc" AR="$tc/bin/$triplet-ar" RANLIB="$tc/bin/$triplet-ranlib"
        # Named libc.so, as executables linked against it ask for it.
        logged musl-build make -j"$jobs" lib/libc.so LDFLAGS=-Wl,-soname,libc.so
    )
    mkdir -p "$dynamic/lib"
    install -m 0755 "$src/lib/libc.so" "$dynamic/lib/libc.so"
    # Its loader is the library itself, under the name soft-float
    # executables ask for.
    ln -sf libc.so "$dynamic/lib/ld-musl-mips-sf.so.1"
}

# libmosquitto as the board's libmosquitto-ssl package ships it (shared, the
# version of OpenWrt 23.05 and 24.10), over the shared OpenSSL, into the
# dynamic root: its header and .pc stay apart from the static build's.
build_mosquitto_shared() {
    mosquitto_tarball $shared_mosquitto
    src=$work/mosquitto-shared
    rm -rf "$src" "$work/mosquitto-shared-build"
    mkdir -p "$src"
    tar -xzf "$MOSQUITTO_TARBALL" -C "$src" --strip-components=1
    log "building libmosquitto $(basename "$MOSQUITTO_TARBALL") (shared)"
    name=mosquitto-shared
    logged $name-configure cmake_cross -S "$src" -B "$work/$name-build" \
        -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_CLIENTS=OFF -DWITH_PLUGINS=OFF \
        -DWITH_CJSON=OFF -DWITH_LIB_CPP=OFF -DDOCUMENTATION=OFF \
        -DWITH_TLS=ON -DWITH_TLS_PSK=OFF -DWITH_THREADING=ON -DWITH_SRV=OFF \
        -DWITH_WEBSOCKETS=OFF -DWITH_STATIC_LIBRARIES=OFF -DWITH_SHARED_LIBRARIES=ON \
        -DCMAKE_C_FLAGS_RELEASE="-Os -DNDEBUG" \
        -DOPENSSL_INCLUDE_DIR="$sysroot/usr/include" \
        -DOPENSSL_SSL_LIBRARY="$dynamic/usr/lib/libssl.so" \
        -DOPENSSL_CRYPTO_LIBRARY="$dynamic/usr/lib/libcrypto.so"
    logged $name-build cmake --build "$work/$name-build" --parallel "$jobs"
    logged $name-install env DESTDIR="$dynamic" cmake --install "$work/$name-build"
    [ -f "$dynamic/usr/lib/libmosquitto.so.1" ] || die "no libmosquitto.so.1 in $dynamic/usr/lib"
}

build_googletest() {
    log "building GoogleTest from /usr/src/googletest"
    cmake_component googletest /usr/src/googletest -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON
}

start=$(date +%s)
components="openssl mosquitto googletest"
[ $abi = gnu ] || components="$components musl mosquitto_shared"
for c in $components; do
    if [ -f "$sysroot/.stamps/$c" ]; then
        log "$c already in $sysroot"
        continue
    fi
    t0=$(date +%s)
    "build_$c"
    if [ $c = openssl ]; then echo "$openssl_stamp"; else echo "$c"; fi >"$sysroot/.stamps/$c"
    log "$c done in $(($(date +%s) - t0)) s"
done

# what went in: the .dsc when Debian's patches were applied, else the tarball
origin() {
    if [ $abi = musl ] && [ "$1" = mosquitto ]; then
        echo "mosquitto-$musl_mosquitto.tar.gz"
    elif [ -f "$work/$1/debian/changelog" ]; then
        basename "$(newest_dsc "$1")"
    else
        basename "$(orig_tarball "$1")"
    fi
}
{
    echo "openssl=$(origin openssl)"
    echo "mosquitto=$(origin mosquitto)"
    if [ $abi = musl ]; then
        echo "musl=$(origin musl)"
        echo "mosquitto_shared=mosquitto-$shared_mosquitto.tar.gz"
    fi
    echo "googletest=$(dpkg-query -W -f '${Version}' googletest 2>/dev/null || echo unknown)"
} >"$sysroot/.complete"
log "sysroot ready in $(($(date +%s) - start)) s: $sysroot"
