# Included by the MIPS toolchain files, after they have put the compiler's
# own target tree (if any) into CMAKE_FIND_ROOT_PATH. BRIDGE_MIPS_SYSROOT is
# the staging tree with the libraries under usr/ (a cache variable or, for
# try_compile projects, the environment); libraries, headers and packages
# come from the target trees only, programs from the host.

if(NOT BRIDGE_MIPS_SYSROOT AND DEFINED ENV{BRIDGE_MIPS_SYSROOT})
  set(BRIDGE_MIPS_SYSROOT "$ENV{BRIDGE_MIPS_SYSROOT}")
endif()
if(NOT BRIDGE_MIPS_SYSROOT)
  message(FATAL_ERROR "Set BRIDGE_MIPS_SYSROOT to the MIPS staging tree "
                      "(scripts/build-mips-sysroot.sh builds one; --musl for the musl tree)")
endif()
get_filename_component(BRIDGE_MIPS_SYSROOT "${BRIDGE_MIPS_SYSROOT}" ABSOLUTE)
set(BRIDGE_MIPS_SYSROOT "${BRIDGE_MIPS_SYSROOT}" CACHE PATH "MIPS staging tree (libraries under usr/)")
set(ENV{BRIDGE_MIPS_SYSROOT} "${BRIDGE_MIPS_SYSROOT}")

list(PREPEND CMAKE_FIND_ROOT_PATH ${BRIDGE_MIPS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the staging tree; its .pc files say prefix=/usr.
set(ENV{PKG_CONFIG_LIBDIR} "${BRIDGE_MIPS_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BRIDGE_MIPS_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})
