#!/bin/sh
# Runs the OpenWrt package's own recipe the way the SDK would, with this
# repository's musl toolchain standing in for the SDK's:
#  - make reads packaging/openwrt/mqtt-serial-bridge/Makefile over stand-ins
#    for the SDK's rules.mk, package.mk and cmake.mk, and runs its
#    Build/Prepare into an empty build folder;
#  - the settings of Config.in at their defaults (which must be CMake's),
#    two of them changed as in make menuconfig, reach CMAKE_OPTIONS;
#  - that folder alone is configured with CMAKE_OPTIONS as the Makefile
#    leaves them, built and installed (PKG_INSTALL), and the changed
#    settings are in its bridge_config.h;
#  - the Makefile's Package/install puts the files into a package root, where
#    the executable must be a static soft-float MIPS32r2 one.
# So it fails when the copied subset no longer builds on its own (a source
# the Makefile does not copy, a CMakeLists.txt reaching outside the subset)
# or when the install recipe names a file the build does not make.
#
# The toolchain and the libraries are those of scripts/cross-test.sh --musl
# (BRIDGE_MUSL_TOOLCHAIN, BRIDGE_MIPS_SYSROOT; made when missing).
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
pkg=$ROOT/packaging/openwrt/mqtt-serial-bridge
musl_build=$ROOT/build-mips-musl
BRIDGE_MUSL_TOOLCHAIN=${BRIDGE_MUSL_TOOLCHAIN:-$musl_build/toolchain}
sysroot=${BRIDGE_MIPS_SYSROOT:-$musl_build/sysroot}
export BRIDGE_MUSL_TOOLCHAIN
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

. "$ROOT/scripts/common.sh"
. "$ROOT/packaging/tests/tally.sh"

sh "$ROOT/scripts/build-mips-sysroot.sh" --musl "$sysroot" || { fail "musl sysroot"; finish; }
sysroot=$(cd "$sysroot" && pwd)

# --- the SDK's include files, as far as this Makefile uses them ---------------
sdk=$tmp/sdk
mkdir -p "$sdk/include"
cat >"$sdk/rules.mk" <<'EOF'
-include $(TOPDIR)/.config
INCLUDE_DIR:=$(TOPDIR)/include
qstrip=$(strip $(subst ",,$(1)))
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

# --- the settings (Config.in) ----------------------------------------------------
# .config as make defconfig leaves it: each option at its default, as
# CONFIG_NAME=value (strings quoted). Two are then changed as a board owner
# would in make menuconfig.
awk '/^config /{name=$2} /^[ \t]+default /{sub(/^[ \t]+default /, ""); print "CONFIG_" name "=" $0}' \
    "$pkg/Config.in" >"$tmp/defaults"
mismatched=
while IFS='=' read -r name value; do
    setting=BRIDGE_${name#CONFIG_MQTT_SERIAL_BRIDGE_}
    cmake_default=$(sed -n "s/^set($setting \(.*\) CACHE .*/\1/p" "$ROOT/CMakeLists.txt")
    # Settings not (yet) in CMakeLists.txt are passed on and ignored there.
    [ -z "$cmake_default" ] || [ "$cmake_default" = "$value" ] ||
        mismatched="$mismatched $setting ($value, CMake $cmake_default)"
done <"$tmp/defaults"
if [ -z "$mismatched" ]; then ok "Config.in's defaults are CMake's"; else
    fail "Config.in's defaults differ from CMake's:$mismatched"
fi
sed -e 's/^\(CONFIG_MQTT_SERIAL_BRIDGE_BROKER_HOST\)=.*/\1="broker.example.org"/' \
    -e 's/^\(CONFIG_MQTT_SERIAL_BRIDGE_POLL_INTERVAL_MS\)=.*/\1=50/' "$tmp/defaults" >"$sdk/.config"

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
missing=
while IFS='=' read -r name value; do
    case " $options " in *" -DBRIDGE_${name#CONFIG_MQTT_SERIAL_BRIDGE_}="*) ;; *) missing="$missing $name" ;; esac
done <"$tmp/defaults"
if [ -z "$missing" ]; then ok "CMAKE_OPTIONS carries every option of Config.in"; else
    fail "CMAKE_OPTIONS lacks:$missing"
fi

# --- configure, build and install the subset alone ---------------------------
# cmake.mk's own settings for a release package (its build type with the
# target's -Os in the plain flags), then the Makefile's.
obj=$tmp/obj
# shellcheck disable=SC2086
if cmake -S "$src" -B "$obj" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mips-linux-musl.cmake" \
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

config_h=$obj/config/bridge_config.h
for line in '#define BRIDGE_BROKER_HOST "broker.example.org"' '#define BRIDGE_POLL_INTERVAL_MS 50' \
    '#define BRIDGE_SERIAL_DEVICE "/dev/ttyATH0"'; do
    if grep -qxF "$line" "$config_h"; then ok "bridge_config.h: $line"; else
        fail "bridge_config.h lacks: $line"
    fi
done

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
    if abi_found=$(board_abi "$exe"); then
        ok "the packaged executable has the board's ABI: $abi_found"
    else
        fail "the packaged executable: $abi_found"
    fi
fi
finish
