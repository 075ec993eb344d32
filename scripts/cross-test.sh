#!/bin/sh
# Cross-builds the bridge for MIPS32 big-endian (the board's architecture),
# reports the executable's size and shared-library needs, and runs the unit
# tests under qemu-mips.
#
#   scripts/cross-test.sh          build, report, unit tests (ctest label "unit")
#   scripts/cross-test.sh --e2e    also the end-to-end tests (ctest label "e2e")
#                                  of the host build with the MIPS bridge in place
#                                  of the host one; the host build is configured
#                                  and brought up to date first
#
# Environment:
#   BRIDGE_MIPS_BUILD    build folder (default build-mips)
#   BRIDGE_MIPS_SYSROOT  MIPS libraries (default BRIDGE_MIPS_BUILD/sysroot; made
#                        by scripts/build-mips-sysroot.sh when missing)
#   BRIDGE_HOST_BUILD    host build folder holding the e2e tests (default build)
#   BRIDGE_CROSS_E2E_REGEX  with --e2e, only the e2e tests matching this ctest -R
#                        pattern (default: all of them)
#   E2E_TIMEOUT_SCALE    factor on the e2e harness's waits (default 3 here)
#   CTEST_PARALLEL_LEVEL ctest jobs (default 1: the tests use ptys and time)
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BRIDGE_MIPS_BUILD:-$repo/build-mips}
sysroot=${BRIDGE_MIPS_SYSROOT:-$build/sysroot}
host_build=${BRIDGE_HOST_BUILD:-$repo/build}
e2e_regex=${BRIDGE_CROSS_E2E_REGEX:-}
triplet=mips-linux-gnu
jobs=$(nproc 2>/dev/null || echo 2)
run_e2e=0
for arg in "$@"; do
    case $arg in
    --e2e) run_e2e=1 ;;
    *) echo "usage: $0 [--e2e]" >&2; exit 2 ;;
    esac
done

log() { printf '== %s\n' "$*"; }
die() { printf 'cross-test: %s\n' "$*" >&2; exit 1; }
start=$(date +%s)

need_pkgs=
command -v qemu-mips >/dev/null 2>&1 || need_pkgs="$need_pkgs qemu-user"
command -v file >/dev/null 2>&1 || need_pkgs="$need_pkgs file"
command -v readelf >/dev/null 2>&1 || need_pkgs="$need_pkgs binutils"
command -v ctest >/dev/null 2>&1 || need_pkgs="$need_pkgs cmake"
if [ -n "$need_pkgs" ]; then
    log "installing:$need_pkgs"
    # shellcheck disable=SC2086
    apt-get install -y --no-install-recommends $need_pkgs ||
        { apt-get update && apt-get install -y --no-install-recommends $need_pkgs; } ||
        die "could not install:$need_pkgs"
fi

sh "$repo/scripts/build-mips-sysroot.sh" "$sysroot"
sysroot=$(cd "$sysroot" && pwd)

mkdir -p "$build"
log "configuring $build"
# MinSizeRel (-Os) as the firmware build does.
cmake -S "$repo" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mips-linux-gnu.cmake" \
    -DBRIDGE_MIPS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DBRIDGE_BUILD_TESTS=ON >"$build/cross-configure.log" 2>&1 ||
    { cat "$build/cross-configure.log" >&2; die "configure failed"; }
log "building"
t0=$(date +%s)
cmake --build "$build" --parallel "$jobs" >"$build/cross-build.log" 2>&1 ||
    { tail -60 "$build/cross-build.log" >&2; die "build failed"; }
log "built in $(($(date +%s) - t0)) s"

# --- the executable ------------------------------------------------------------
exe=$build/mqtt-serial-bridge
desc=$(file -b "$exe")
echo "file: $desc"
case $desc in
*"ELF 32-bit MSB"*MIPS*) ;;
*) die "$exe is not a 32-bit big-endian MIPS executable" ;;
esac
$triplet-strip -o "$build/mqtt-serial-bridge.stripped" "$exe"
echo "size: $(wc -c <"$exe") bytes as built, $(wc -c <"$build/mqtt-serial-bridge.stripped") bytes stripped"
needed=$(readelf -d "$exe" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $(echo "$needed" | tr '\n' ' ')"
# The package depends on libmosquitto and the C library only.
for lib in $needed; do
    case $lib in
    libstdc++*) die "the executable needs $lib: the package does not depend on libstdcpp" ;;
    esac
done

# --- unit tests under qemu ------------------------------------------------------
# The unit tests carry the label "unit"; until they do, every test without
# the label "e2e" is taken (the e2e tests start the bridge as a child, which
# qemu-user cannot exec).
if ctest --test-dir "$build" --print-labels | grep -qx '  unit'; then
    select="-L unit"
else
    select="-LE e2e"
    echo "note: no test is labelled unit; running the tests not labelled e2e"
fi
log "unit tests under qemu-mips (ctest $select)"
t0=$(date +%s)
# shellcheck disable=SC2086
ctest --test-dir "$build" $select --no-tests=error --output-on-failure \
    -j "${CTEST_PARALLEL_LEVEL:-1}" || die "unit tests failed"
log "unit tests took $(($(date +%s) - t0)) s"

# --- end-to-end with the MIPS bridge ---------------------------------------------
if [ $run_e2e = 1 ]; then
    log "host build in $host_build"
    if [ ! -f "$host_build/CMakeCache.txt" ]; then
        cmake -S "$repo" -B "$host_build" >"$build/host-configure.log" 2>&1 ||
            { cat "$build/host-configure.log" >&2; die "host configure failed"; }
    fi
    cmake --build "$host_build" --parallel "$jobs" >"$build/host-build.log" 2>&1 ||
        { tail -60 "$build/host-build.log" >&2; die "host build failed"; }
    # The harness starts BRIDGE_EXE in its working folder; this wrapper runs
    # the MIPS test build of the bridge there under qemu (exec keeps the pid,
    # so the harness's signals reach it), and counts its starts.
    wrapper=$build/run-mips-bridge
    calls=$build/run-mips-bridge.calls
    : >"$calls"
    cat >"$wrapper" <<EOF
#!/bin/sh
echo started >>"$calls"
exec qemu-mips -L /usr/$triplet -E LD_LIBRARY_PATH=$sysroot/usr/lib "$build/mqtt-serial-bridge-test" "\$@"
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
