# The board's ABI as the OpenWrt SDK builds the package: linked against the
# shared libmosquitto (2.0.18, as OpenWrt 23.05 and 24.10 ship it), OpenSSL
# and musl's libc.so in BRIDGE_MIPS_SYSROOT/dynamic, which
# scripts/build-mips-sysroot.sh --musl builds; executables run under
# qemu-mips -cpu 24Kc -L that folder. Otherwise as mips-linux-musl.cmake.
set(BRIDGE_MUSL_DYNAMIC ON)
include(${CMAKE_CURRENT_LIST_DIR}/mips-linux-musl.cmake)
