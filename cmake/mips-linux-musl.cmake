# Cross-building for the board's own ABI: MIPS32r2 big-endian, soft float,
# musl, linked statically (mips-linux-musl-dynamic.cmake: dynamically, as the
# OpenWrt SDK links the package), with Zig's bundled clang (C library, libc++ and
# compiler-rt come with it and are built on first use).
#
#   scripts/install-musl-toolchain.sh            # the compiler and its wrappers
#   scripts/build-mips-sysroot.sh --musl         # OpenSSL and libmosquitto
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-musl.cmake \
#         -DBRIDGE_MIPS_SYSROOT=/abs/path/to/sysroot ...
#
# BRIDGE_MUSL_TOOLCHAIN is the folder install-musl-toolchain.sh filled
# (default build-mips-musl/toolchain in this repository). BRIDGE_MIPS_SYSROOT
# is a staging tree with static OpenSSL, libmosquitto and GoogleTest for this
# target under usr/. Executables run under qemu-mips with the board's CPU.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

# The value reaches try_compile projects through the environment.
if(NOT BRIDGE_MUSL_TOOLCHAIN AND DEFINED ENV{BRIDGE_MUSL_TOOLCHAIN})
  set(BRIDGE_MUSL_TOOLCHAIN "$ENV{BRIDGE_MUSL_TOOLCHAIN}")
endif()
if(NOT BRIDGE_MUSL_TOOLCHAIN)
  get_filename_component(BRIDGE_MUSL_TOOLCHAIN "${CMAKE_CURRENT_LIST_DIR}/../build-mips-musl/toolchain"
                         ABSOLUTE)
endif()
set(BRIDGE_MUSL_BIN "${BRIDGE_MUSL_TOOLCHAIN}/bin/mips-linux-musl")
if(NOT EXISTS "${BRIDGE_MUSL_BIN}-c++")
  message(FATAL_ERROR "No musl cross compiler in ${BRIDGE_MUSL_TOOLCHAIN} "
                      "(scripts/install-musl-toolchain.sh installs one)")
endif()
set(BRIDGE_MUSL_TOOLCHAIN "${BRIDGE_MUSL_TOOLCHAIN}" CACHE PATH "Zig toolchain folder")
set(ENV{BRIDGE_MUSL_TOOLCHAIN} "${BRIDGE_MUSL_TOOLCHAIN}")

set(CMAKE_C_COMPILER "${BRIDGE_MUSL_BIN}-cc")
set(CMAKE_CXX_COMPILER "${BRIDGE_MUSL_BIN}-c++")
set(CMAKE_AR "${BRIDGE_MUSL_BIN}-ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${BRIDGE_MUSL_BIN}-ranlib" CACHE FILEPATH "Ranlib")
set(CMAKE_STRIP "${BRIDGE_MUSL_BIN}-strip" CACHE FILEPATH "Strip")

# Sections per function and object, so that the link keeps only what is
# reached: most of libcrypto is not, and flash is what the board lacks.
set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
if(BRIDGE_MUSL_DYNAMIC)
  # As the SDK links the package: the shared libmosquitto and musl's libc.so
  # (the real one: Zig's stub for MIPS lacks the 64-bit time functions).
  # Zig names the hard-float loader; the board's soft-float musl has its own.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--dynamic-linker=/lib/ld-musl-mips-sf.so.1 -Wl,--gc-sections")
else()
  # One file to copy to the board, whatever its packages: the libraries in
  # the staging tree are static archives only.
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/mips-staging.cmake)

if(BRIDGE_MUSL_DYNAMIC)
  # The board's root: shared libraries, the C library and its loader.
  set(BRIDGE_MUSL_ROOT "${BRIDGE_MIPS_SYSROOT}/dynamic")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " ${BRIDGE_MUSL_ROOT}/lib/libc.so")
  list(PREPEND CMAKE_FIND_ROOT_PATH ${BRIDGE_MUSL_ROOT})
  set(ENV{PKG_CONFIG_LIBDIR} "${BRIDGE_MUSL_ROOT}/usr/lib/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BRIDGE_MUSL_ROOT}")
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -cpu 24Kc -L ${BRIDGE_MUSL_ROOT})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips -cpu 24Kc)
endif()
