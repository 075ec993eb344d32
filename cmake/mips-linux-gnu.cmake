# Cross-building for MIPS32 big-endian Linux (the OpenWrt board) with Debian's
# mips-linux-gnu toolchain.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake \
#         -DBRIDGE_MIPS_SYSROOT=/abs/path/to/sysroot ...
#
# BRIDGE_MIPS_SYSROOT is a staging tree with OpenSSL, libmosquitto and
# GoogleTest for MIPS installed under usr/ (scripts/build-mips-sysroot.sh
# makes one). The C library comes from the compiler's own target tree,
# /usr/mips-linux-gnu. Executables run under qemu-mips (tests, and the test
# discovery of gtest_discover_tests).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(BRIDGE_MIPS_TRIPLET mips-linux-gnu)
set(CMAKE_C_COMPILER ${BRIDGE_MIPS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BRIDGE_MIPS_TRIPLET}-g++)

set(BRIDGE_MIPS_LIBC_ROOT /usr/${BRIDGE_MIPS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${BRIDGE_MIPS_LIBC_ROOT})
include(${CMAKE_CURRENT_LIST_DIR}/mips-staging.cmake)

# The loader finds libc in the -L tree and the staged libraries (libssl is
# needed by libmosquitto, not by the executable) through the target-side
# LD_LIBRARY_PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-mips -L ${BRIDGE_MIPS_LIBC_ROOT}
    -E LD_LIBRARY_PATH=${BRIDGE_MIPS_SYSROOT}/usr/lib)
