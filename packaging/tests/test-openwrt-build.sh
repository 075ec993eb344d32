#!/bin/sh
# Runs the OpenWrt package's own recipe the way the SDK would, with this
# repository's musl toolchain standing in for the SDK's:
#  - make reads packaging/openwrt/mqtt-serial-bridge/Makefile over stand-ins
#    for the SDK's rules.mk, package.mk and cmake.mk, and runs its
#    Build/Prepare into an empty build folder;
#  - that folder alone is configured with CMAKE_OPTIONS as the Makefile
#    leaves them, built and installed (PKG_INSTALL);
#  - the Makefile's Package/install puts the files into a package root, where
#    the executable must be a static soft-float MIPS32r2 one.
# So it fails when the copied subset no longer builds on its own (a source
# the Makefile does not copy, a CMakeLists.txt reaching outside the subset)
# or when the install recipe names a file the build does not make.
#
# The toolchain and the libraries are those of scripts/cross-test.sh --musl
# (BRIDGE_MUSL_TOOLCHAIN, BRIDGE_MIPS_SYSROOT; made when missing).
set -u

repo=$(cd "$(dirname "$0")/../.." && pwd)
pkg=$repo/packaging/openwrt/mqtt-serial-bridge
musl_build=$repo/build-mips-musl
BRIDGE_MUSL_TOOLCHAIN=${BRIDGE_MUSL_TOOLCHAIN:-$musl_build/toolchain}
sysroot=${BRIDGE_MIPS_SYSROOT:-$musl_build/sysroot}
export BRIDGE_MUSL_TOOLCHAIN
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

. "$repo/packaging/tests/tally.sh"

sh "$repo/scripts/build-mips-sysroot.sh" --musl "$sysroot" || { fail "musl sysroot"; finish; }
sysroot=$(cd "$sysroot" && pwd)

# --- the SDK's include files, as far as this Makefile uses them ---------------
sdk=$tmp/sdk
mkdir -p "$sdk/include"
cat >"$sdk/rules.mk" <<'EOF'
INCLUDE_DIR:=$(TOPDIR)/include
CP:=cp -fpR
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
EOF
cat >"$sdk/include/package.mk" <<'EOF'
PKG_BUILD_DIR ?= $(BUILD_DIR)/$(PKG_NAME)-$(PKG_VERSION)
PKG_INSTALL_DIR ?= $(PKG_BUILD_DIR)/ipkg-install
define BuildPackage
prepare:
	$$(Build/Prepare)
cmake-options:
	@echo '$$(strip $$(CMAKE_OPTIONS))'
package-install:
	$$(call Package/$(1)/install,$$(PKG_ROOT))
endef
EOF
: >"$sdk/include/cmake.mk"
build_dir=$tmp/build
src=$build_dir/mqtt-serial-bridge-subset
root=$tmp/root
sdk_make() {
    make --no-print-directory -C "$pkg" TOPDIR="$sdk" BUILD_DIR="$build_dir" \
        PKG_BUILD_DIR="$src" PKG_INSTALL_DIR="$src/ipkg-install" PKG_ROOT="$root" "$@"
}

# --- Build/Prepare ---------------------------------------------------------------
mkdir -p "$build_dir"
if sdk_make prepare >"$tmp/prepare.log" 2>&1; then
    ok "Build/Prepare copies the subset: $(cd "$src" && ls | tr '\n' ' ')"
else
    fail "Build/Prepare"
    cat "$tmp/prepare.log"
    finish
fi
options=$(sdk_make cmake-options) || { fail "CMAKE_OPTIONS"; finish; }
echo "CMAKE_OPTIONS: $options"

# --- configure, build and install the subset alone ---------------------------
# cmake.mk's own settings for a release package (its build type with the
# target's -Os in the plain flags), then the Makefile's.
obj=$tmp/obj
# shellcheck disable=SC2086
if cmake -S "$src" -B "$obj" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mips-linux-musl.cmake" \
    -DBRIDGE_MIPS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_C_FLAGS=-Os -DCMAKE_CXX_FLAGS=-Os \
    -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
    $options >"$tmp/configure.log" 2>&1; then
    ok "the subset configures with CMAKE_OPTIONS"
else
    fail "the subset configures with CMAKE_OPTIONS"
    tail -30 "$tmp/configure.log"
    finish
fi
if cmake --build "$obj" --parallel "$(nproc 2>/dev/null || echo 2)" >"$tmp/build.log" 2>&1 &&
    DESTDIR="$src/ipkg-install" cmake --install "$obj" >>"$tmp/build.log" 2>&1; then
    ok "the subset builds and installs"
else
    fail "the subset builds and installs"
    tail -30 "$tmp/build.log"
    finish
fi

# --- Package/install ---------------------------------------------------------------
if sdk_make package-install >"$tmp/install.log" 2>&1; then ok "Package/install"; else
    fail "Package/install"
    cat "$tmp/install.log"
    finish
fi
exe=$root/usr/sbin/mqtt-serial-bridge
for f in usr/sbin/mqtt-serial-bridge etc/init.d/mqtt-serial-bridge; do
    if [ -x "$root/$f" ]; then ok "package holds $f"; else fail "package lacks $f"; fi
done
if [ -f "$exe" ]; then
    fp=$(readelf -A "$exe" | sed -n 's/^FP ABI: *//p')
    if [ "$fp" = "Soft float" ] && readelf -h "$exe" | grep -q 'Flags:.*mips32r2' &&
        ! readelf -lW "$exe" | grep -q ' INTERP '; then
        ok "the packaged executable is static, soft float, mips32r2"
    else
        fail "the packaged executable: FP ABI '$fp', $(readelf -h "$exe" | grep Flags:)"
    fi
fi
finish
