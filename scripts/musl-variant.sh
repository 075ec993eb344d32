#!/bin/sh
# Sourced by the measurement scripts: builds a variant of the musl MIPS test
# build of the bridge (device ./ttyATH0, broker localhost:18883) with the
# given settings, and writes a wrapper that runs it under qemu-mips -cpu 24Kc
# (exec keeps the pid, so /proc readings of it are the emulated bridge's).
#
#   musl_variant NAME [CMAKE ARGUMENT]...
#       builds $ROOT/build-mips-musl-NAME/mqtt-serial-bridge-test and sets
#       MUSL_VARIANT_RUN to its wrapper.
#
# The toolchain and sysroot are those of scripts/cross-test.sh --musl
# (build-mips-musl/toolchain and build-mips-musl/sysroot, made when missing:
# about 9 minutes from cold). ROOT must be the repository.

. "$ROOT/scripts/common.sh"

musl_variant() {
    name=$1
    shift
    BRIDGE_MUSL_TOOLCHAIN=${BRIDGE_MUSL_TOOLCHAIN:-$ROOT/build-mips-musl/toolchain}
    export BRIDGE_MUSL_TOOLCHAIN
    sysroot=${BRIDGE_MIPS_SYSROOT:-$ROOT/build-mips-musl/sysroot}
    command -v qemu-mips >/dev/null 2>&1 || apt_install qemu-user
    sh "$ROOT/scripts/build-mips-sysroot.sh" --musl "$sysroot"
    sysroot=$(cd "$sysroot" && pwd)
    dir=$ROOT/build-mips-musl-$name
    mkdir -p "$dir"
    echo "== musl variant $name ($*) in $dir"
    BUILD_LOG=$dir/variant-build.log BUILD_TARGETS=mqtt-serial-bridge-test build_tree "$dir" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mips-linux-musl.cmake" \
        -DBRIDGE_MIPS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=MinSizeRel -DBRIDGE_BUILD_TESTS=ON \
        "$@" || return 1
    MUSL_VARIANT_RUN=$dir/run-qemu
    printf '#!/bin/sh\nexec qemu-mips -cpu 24Kc "%s/mqtt-serial-bridge-test" "$@"\n' "$dir" \
        >"$MUSL_VARIANT_RUN"
    chmod +x "$MUSL_VARIANT_RUN"
}
