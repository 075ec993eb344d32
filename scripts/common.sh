#!/bin/sh
# Sourced by the scripts, once they have set ROOT to the repository's top
# folder:
#   log TEXT...            a step of the script, as "== TEXT"
#   section TEXT...        a part of a longer run (CI, the demo): a blank
#                          line, then "==== HH:MM:SS TEXT" (UTC)
#   die TEXT...            "<script>: TEXT" on stderr, then exit 1
#   apt_install PACKAGE... installs them on a Debian machine without
#                          recommends, as root or through sudo, updating the
#                          package lists once should the first try fail; one
#                          install at a time across the scripts
#   board_abi EXE [dynamic]
#                          succeeds when EXE has the board's ABI: MIPS32r2,
#                          soft float, static (no program interpreter, no
#                          shared library), or with "dynamic" loaded by
#                          musl's soft-float loader; prints what it found,
#                          or the first mismatch
#   mosquitto_tarball VERSION
#                          sets MOSQUITTO_TARBALL to mosquitto-VERSION.tar.gz
#                          in $MOSQUITTO_DEPS_DIR (default ../shared/deps
#                          beside the repository) once its SHA-256 matches
#                          that folder's SHA256SUMS; dies otherwise
#   build_tree DIR [CMAKE ARGS...]
#                          configures the repository into DIR with those
#                          arguments and builds it, or only $BUILD_TARGETS
#                          when set; with BUILD_LOG set the output goes to
#                          that file and only its end is shown on failure
#   CLANG_PACKAGES         what the clang builds (sanitizers, fuzzing) need

log() { printf '== %s\n' "$*"; }
section() { printf '\n==== %s %s\n' "$(date -u +%H:%M:%S)" "$*"; }
die() {
    printf '%s: %s\n' "$(basename "$0" .sh)" "$*" >&2
    exit 1
}

apt_install() {
    [ $# -gt 0 ] || return 0
    echo "installing: $*"
    apt_sudo=
    [ "$(id -u)" -eq 0 ] || apt_sudo=sudo
    # One install at a time: CI builds the board's libraries beside the
    # tests, and a second apt-get would fail on dpkg's lock.
    DEBIAN_FRONTEND=noninteractive flock "${TMPDIR:-/tmp}/bridge-apt.lock" sh -c '
        $0 apt-get install -y -qq --no-install-recommends "$@" ||
            { $0 apt-get update -qq && $0 apt-get install -y -qq --no-install-recommends "$@"; }' \
        "${apt_sudo:-env}" "$@"
}

board_abi() {
    _fp=$(readelf -A "$1" | sed -n 's/^FP ABI: *//p')
    _flags=$(readelf -h "$1" | sed -n 's/^ *Flags: *//p')
    case ", $_flags," in *", mips32r2,"*) _r2=1 ;; *) _r2=0 ;; esac
    if [ "$_fp" != "Soft float" ]; then
        echo "FP ABI is '$_fp', not soft float"
    elif [ $_r2 = 0 ]; then
        echo "the ELF flags ($_flags) do not say mips32r2"
    elif [ "${2:-}" = dynamic ]; then
        _interp=$(readelf -lW "$1" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
        if [ "$_interp" = /lib/ld-musl-mips-sf.so.1 ]; then
            echo "dynamic, soft float, ELF flags $_flags, loader $_interp"
            return 0
        fi
        echo "its loader is '$_interp', not musl's soft-float /lib/ld-musl-mips-sf.so.1"
    elif readelf -lW "$1" | grep -q ' INTERP '; then
        echo "it asks for a program interpreter"
    elif readelf -d "$1" | grep -q 'NEEDED'; then
        echo "it needs shared libraries"
    else
        echo "static, soft float, ELF flags $_flags"
        return 0
    fi
    return 1
}

mosquitto_tarball() {
    _deps=${MOSQUITTO_DEPS_DIR:-$ROOT/../shared/deps}
    _name=mosquitto-$1.tar.gz
    [ -f "$_deps/$_name" ] ||
        die "no $_deps/$_name (MOSQUITTO_DEPS_DIR names the folder with it and SHA256SUMS)"
    _want=$(awk -v f="$_name" '$2 == f || $2 == "*" f { print $1 }' "$_deps/SHA256SUMS" 2>/dev/null)
    [ -n "$_want" ] || die "no checksum for $_name in $_deps/SHA256SUMS"
    _got=$(sha256sum "$_deps/$_name" | cut -d' ' -f1)
    [ "$_got" = "$_want" ] || die "$_deps/$_name: SHA-256 $_got, but SHA256SUMS says $_want"
    MOSQUITTO_TARBALL=$(cd "$_deps" && pwd)/$_name
}

build_tree() {
    _dir=$1
    shift
    if [ -n "${BUILD_LOG:-}" ]; then
        BUILD_LOG= build_tree "$_dir" "$@" >"$BUILD_LOG" 2>&1 || {
            tail -60 "$BUILD_LOG" >&2
            return 1
        }
        return 0
    fi
    # shellcheck disable=SC2086
    cmake -S "$ROOT" -B "$_dir" "$@" &&
        cmake --build "$_dir" --parallel "$(nproc 2>/dev/null || echo 2)" \
            ${BUILD_TARGETS:+--target $BUILD_TARGETS}
}

CLANG_PACKAGES="clang libclang-rt-14-dev"
