# 32-bit little-endian MIPS with Debian's cross toolchain; tests run under qemu-mipsel, which traps
# unaligned loads as the hardware does.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

# Libraries of the target come from Debian's mipsel multiarch packages; tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/mipsel-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/mipsel-linux-gnu/pkgconfig:/usr/share/pkgconfig)

set(ZU_QEMU_SYSROOT /usr/mipsel-linux-gnu CACHE PATH "Sysroot given to qemu-mipsel with -L")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L ${ZU_QEMU_SYSROOT})
