# Included by the MIPS toolchain files once they have set BRIDGE_MIPS_SYSROOT
# and CMAKE_FIND_ROOT_PATH: libraries, headers and packages come from the
# target trees only, programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config sees only the staging tree; its .pc files say prefix=/usr.
set(ENV{PKG_CONFIG_LIBDIR} "${BRIDGE_MIPS_SYSROOT}/usr/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${BRIDGE_MIPS_SYSROOT}")
unset(ENV{PKG_CONFIG_PATH})
