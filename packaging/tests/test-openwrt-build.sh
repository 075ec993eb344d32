#!/bin/sh
# Runs the OpenWrt package's own recipe the way the SDK would, with this
# repository's musl toolchain standing in for the SDK's, from a feed in both
# ways a maintainer adds it (feeds.conf):
#  - src-link: feeds/<name> links to this checkout's packaging/openwrt, and
#    the recipe's Build/Prepare copies the checkout's sources;
#  - the package folder copied into a feed: the SDK's download step finds
#    the release tarball (scripts/dist.sh, of the commit that set PKG_HASH)
#    in dl/, checks its sha256 against PKG_HASH (a changed tarball is
#    refused) and unpacks it into the build folder;
#  - in each, make reads the recipe over stand-ins for the SDK's rules.mk,
#    package.mk and cmake.mk, through package/feeds/<name>/ as
#    ./scripts/feeds install links it;
#  - the settings of Config.in at their defaults (which must be CMake's),
#    two of them changed as in make menuconfig, reach CMAKE_OPTIONS;
#  - that folder alone is configured with CMAKE_OPTIONS as the Makefile
#    leaves them, built and installed (PKG_INSTALL), and the changed
#    settings are in its bridge_config.h;
#  - the Makefile's Package/install puts the files into a package root, where
#    the executable must be a static soft-float MIPS32r2 one.
# So it fails when the copied subset no longer builds on its own (a source
# the Makefile does not copy, a CMakeLists.txt reaching outside the subset),
# when PKG_HASH is not the tarball's or the tarball lacks what the build
# needs (PKG_LICENSE_FILES too), or when the install recipe names a file the
# build does not make.
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
mkdir -p "$sdk/include" "$sdk/dl"
cat >"$sdk/rules.mk" <<'EOF'
-include $(TOPDIR)/.config
INCLUDE_DIR:=$(TOPDIR)/include
DL_DIR:=$(TOPDIR)/dl
qstrip=$(strip $(subst ",,$(1)))
CP:=cp -fpR
INSTALL_DIR:=install -d -m0755
INSTALL_BIN:=install -m0755
INSTALL_DATA:=install -m0644
EOF
# The download step refuses a tarball whose sha256 is not PKG_HASH; the
# default Build/Prepare unpacks it beside PKG_BUILD_DIR, whose name is the
# tarball's top folder.
cat >"$sdk/include/package.mk" <<'EOF'
PKG_BUILD_DIR ?= $(BUILD_DIR)/$(PKG_NAME)-$(PKG_VERSION)
PKG_INSTALL_DIR ?= $(PKG_BUILD_DIR)/ipkg-install
define Build/Prepare/Default
	mkdir -p $(PKG_BUILD_DIR)
	$(if $(PKG_SOURCE),gzip -dc $(DL_DIR)/$(PKG_SOURCE) | tar -C $(PKG_BUILD_DIR)/.. -xf -)
endef
define Build/Prepare
	$(call Build/Prepare/Default)
endef
download:
ifneq ($(PKG_SOURCE),)
	@sum=$$(sha256sum <$(DL_DIR)/$(PKG_SOURCE) | cut -d' ' -f1); [ "$$sum" = "$(PKG_HASH)" ] || \
		{ echo "Hash mismatch for file $(PKG_SOURCE): expected $(PKG_HASH), got $$sum" >&2; exit 1; }
endif
prepare: download
	$(Build/Prepare)
print-%:
	@echo '$(strip $($*))'
define BuildPackage
package-install:
	$$(call Package/$(1)/install,$$(PKG_ROOT))
endef
EOF
: >"$sdk/include/cmake.mk"

# The two feeds, linked into package/feeds/ as ./scripts/feeds install does.
mkdir -p "$sdk/feeds/copied" "$sdk/package/feeds/linked" "$sdk/package/feeds/copied"
ln -s "$ROOT/packaging/openwrt" "$sdk/feeds/linked"
cp -R "$pkg" "$sdk/feeds/copied/"
for feed in linked copied; do
    ln -s ../../../feeds/$feed/mqtt-serial-bridge "$sdk/package/feeds/$feed/mqtt-serial-bridge"
done
sdk_make() { # FEED TARGET...
    feed=$1
    shift
    make --no-print-directory -C "$sdk/package/feeds/$feed/mqtt-serial-bridge" TOPDIR="$sdk" \
        BUILD_DIR="$tmp/build-$feed" PKG_ROOT="$tmp/root-$feed" "$@"
}

# --- the settings (Config.in) ----------------------------------------------------
# .config as make defconfig leaves it: each option at its first default
# whose condition holds, as CONFIG_NAME=value (strings quoted), a choice's
# default as CONFIG_NAME=y. Two settings are then changed as a board owner
# would in make menuconfig, and another speed is chosen.
awk -v choices="$tmp/choices" '
    /^choice/ { name = ""; next }
    /^config / { name = $2; next }
    /^[ \t]+default / {
        v = $0
        sub(/^[ \t]+default /, "", v)
        if (name == "") { chosen["CONFIG_" v] = 1; print "CONFIG_" v "=y" >choices; next }
        if (v ~ / if /) {
            cond = v
            sub(/.* if /, "CONFIG_", cond)
            sub(/ if .*/, "", v)
            if (!(cond in chosen)) next
        }
        if (!(name in set)) { set[name] = 1; print "CONFIG_" name "=" v }
    }' "$pkg/Config.in" >"$tmp/defaults"
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
offered=$(sed -n 's/^config MQTT_SERIAL_BRIDGE_SERIAL_BAUD_\([0-9]*\)$/\1/p' "$pkg/Config.in" | tr '\n' ' ')
taken=$(sed -n 's/^set(BRIDGE_SERIAL_RATES \(.*\))$/\1/p' "$ROOT/CMakeLists.txt")
if [ -n "$taken" ] && [ "$offered" = "$taken " ]; then ok "Config.in offers the speeds CMake takes: $taken"; else
    fail "Config.in offers the speeds '$offered', CMake takes '$taken'"
fi
{
    sed -e 's/^\(CONFIG_MQTT_SERIAL_BRIDGE_BROKER_HOST\)=.*/\1="broker.example.org"/' \
        -e 's/^\(CONFIG_MQTT_SERIAL_BRIDGE_POLL_INTERVAL_MS\)=.*/\1=50/' \
        -e 's/^\(CONFIG_MQTT_SERIAL_BRIDGE_SERIAL_BAUD\)=.*/\1=230400/' "$tmp/defaults"
    sed 's/^CONFIG_MQTT_SERIAL_BRIDGE_SERIAL_BAUD_[0-9]*=y$/CONFIG_MQTT_SERIAL_BRIDGE_SERIAL_BAUD_230400=y/' \
        "$tmp/choices"
} >"$sdk/.config"

# --- the release tarball in dl/ ------------------------------------------------------
# The recipe's PKG_HASH is that of the tarball dist.sh makes of the commit
# that set it (dist.sh --set-hash, committed): a clone must make it again
# byte for byte.
recipe_path=packaging/openwrt/mqtt-serial-bridge/Makefile
hash_commit=$(git -C "$ROOT" log -1 --format=%H -G '^PKG_HASH:=' -- "$recipe_path")
pkg_source=$(sdk_make copied print-PKG_SOURCE)
if [ -z "$hash_commit" ]; then
    fail "no commit sets PKG_HASH in $recipe_path (scripts/dist.sh --set-hash)"
elif ! sh "$ROOT/scripts/dist.sh" -o "$sdk/dl" "$hash_commit" >"$tmp/dist.log" 2>&1; then
    fail "scripts/dist.sh $hash_commit"
    cat "$tmp/dist.log"
elif [ -z "$pkg_source" ] || [ ! -f "$sdk/dl/$pkg_source" ]; then
    fail "dist.sh made $(ls "$sdk/dl"), not PKG_SOURCE '$pkg_source'"
else
    ok "dist.sh: $(sed -n 1p "$tmp/dist.log")"
    # A tarball changed since PKG_HASH was set is refused before Build/Prepare.
    cp "$sdk/dl/$pkg_source" "$tmp/genuine.tar.gz"
    echo >>"$sdk/dl/$pkg_source"
    if sdk_make copied prepare >"$tmp/refused.log" 2>&1; then
        fail "a changed tarball was taken"
    elif grep -q "^Hash mismatch for file $pkg_source" "$tmp/refused.log"; then
        ok "a changed tarball is refused: $(head -1 "$tmp/refused.log")"
    else
        fail "a changed tarball was refused for another reason:"
        cat "$tmp/refused.log"
    fi
    mv "$tmp/genuine.tar.gz" "$sdk/dl/$pkg_source"
fi

# --- each feed: prepare, configure, build, install, package -------------------------
# cmake.mk's own settings for a release package (its build type with the
# target's -Os in the plain flags), then the Makefile's.
feed_build() { # FEED
    feed=$1
    src=$(sdk_make "$feed" print-PKG_BUILD_DIR)
    if sdk_make "$feed" prepare >"$tmp/prepare.log" 2>&1; then
        ok "$feed: Build/Prepare: $(cd "$src" && ls | tr '\n' ' ')"
    else
        fail "$feed: Build/Prepare"
        cat "$tmp/prepare.log"
        return
    fi
    license=$(sdk_make "$feed" print-PKG_LICENSE_FILES)
    if [ -n "$license" ] && [ -f "$src/$license" ]; then ok "$feed: the build folder holds $license"; else
        fail "$feed: no PKG_LICENSE_FILES ('$license') in the build folder"
    fi
    options=$(sdk_make "$feed" print-CMAKE_OPTIONS) || { fail "$feed: CMAKE_OPTIONS"; return; }
    echo "$feed: CMAKE_OPTIONS: $options"
    missing=
    while IFS='=' read -r name value; do
        case " $options " in *" -DBRIDGE_${name#CONFIG_MQTT_SERIAL_BRIDGE_}="*) ;; *) missing="$missing $name" ;; esac
    done <"$tmp/defaults"
    if [ -z "$missing" ]; then ok "$feed: CMAKE_OPTIONS carries every option of Config.in"; else
        fail "$feed: CMAKE_OPTIONS lacks:$missing"
    fi

    obj=$tmp/obj-$feed
    # shellcheck disable=SC2086
    if cmake -S "$src" -B "$obj" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mips-linux-musl.cmake" \
        -DBRIDGE_MIPS_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_C_FLAGS=-Os -DCMAKE_CXX_FLAGS=-Os \
        -DCMAKE_C_FLAGS_RELEASE=-DNDEBUG -DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG \
        $options >"$tmp/configure.log" 2>&1; then
        ok "$feed: configures with CMAKE_OPTIONS"
    else
        fail "$feed: configures with CMAKE_OPTIONS"
        tail -30 "$tmp/configure.log"
        return
    fi
    if cmake --build "$obj" --parallel "$(nproc 2>/dev/null || echo 2)" >"$tmp/build.log" 2>&1 &&
        DESTDIR="$src/ipkg-install" cmake --install "$obj" >>"$tmp/build.log" 2>&1; then
        ok "$feed: builds and installs"
    else
        fail "$feed: builds and installs"
        tail -30 "$tmp/build.log"
        return
    fi
    for line in '#define BRIDGE_BROKER_HOST "broker.example.org"' '#define BRIDGE_POLL_INTERVAL_MS 50' \
        '#define BRIDGE_SERIAL_BAUD 230400' '#define BRIDGE_SERIAL_DEVICE "/dev/ttyATH0"'; do
        if grep -qxF "$line" "$obj/config/bridge_config.h"; then ok "$feed: bridge_config.h: $line"; else
            fail "$feed: bridge_config.h lacks: $line"
        fi
    done

    if sdk_make "$feed" package-install >"$tmp/install.log" 2>&1; then ok "$feed: Package/install"; else
        fail "$feed: Package/install"
        cat "$tmp/install.log"
        return
    fi
    exe=$tmp/root-$feed/usr/sbin/mqtt-serial-bridge
    for f in usr/sbin/mqtt-serial-bridge etc/init.d/mqtt-serial-bridge; do
        if [ -x "$tmp/root-$feed/$f" ]; then ok "$feed: package holds $f"; else fail "$feed: package lacks $f"; fi
    done
    if [ -f "$exe" ]; then
        if abi_found=$(board_abi "$exe"); then
            ok "$feed: the packaged executable has the board's ABI: $abi_found"
        else
            fail "$feed: the packaged executable: $abi_found"
        fi
    fi
}
feed_build linked
feed_build copied
finish
