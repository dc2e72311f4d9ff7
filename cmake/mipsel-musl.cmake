# 32-bit little-endian MIPS against musl, the device's C library: Debian's mipsel-linux-gnu compiler
# with the sysroot that scripts/musl_sysroot.sh builds. The compiler is steered to musl by a specs
# file in the manner of musl's own gcc wrapper. C++ sees libstdc++'s headers only and is linked by
# the C driver: anything that needs the C++ runtime fails to link instead of shipping.
# ZU_MUSL_STATIC=ON links fully static.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

if(NOT ZU_MUSL_SYSROOT)
    if(DEFINED ENV{ZU_MUSL_SYSROOT})
        set(ZU_MUSL_SYSROOT $ENV{ZU_MUSL_SYSROOT})
    elseif(DEFINED ENV{ZU_CACHE_DIR})
        set(ZU_MUSL_SYSROOT $ENV{ZU_CACHE_DIR}/musl-sysroot)
    else()
        set(ZU_MUSL_SYSROOT /var/cache/zu-firmware-tools/musl-sysroot)
    endif()
endif()
set(ZU_MUSL_SYSROOT ${ZU_MUSL_SYSROOT} CACHE PATH "musl sysroot made by scripts/musl_sysroot.sh")
option(ZU_MUSL_STATIC "Link fully static" OFF)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZU_MUSL_SYSROOT ZU_MUSL_STATIC)
if(NOT EXISTS ${ZU_MUSL_SYSROOT}/usr/lib/libc.so)
    message(FATAL_ERROR "No musl sysroot at ${ZU_MUSL_SYSROOT}: run scripts/musl_sysroot.sh")
endif()

# The cross compiler's own directories, for its headers (stddef.h...) and crtbegin/crtend.
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpversion OUTPUT_VARIABLE zu_gcc_version
    OUTPUT_STRIP_TRAILING_WHITESPACE)
set(zu_cxx_include /usr/mipsel-linux-gnu/include/c++/${zu_gcc_version})

set(zu_musl_include ${ZU_MUSL_SYSROOT}/usr/include)
set(zu_musl_lib ${ZU_MUSL_SYSROOT}/usr/lib)
set(zu_musl_loader /lib/ld-musl-mipsel.so.1)
set(zu_specs ${CMAKE_BINARY_DIR}/musl-gcc.specs)
# Only the system directories change; everything else is the compiler's own.
file(CONFIGURE OUTPUT ${zu_specs} @ONLY CONTENT [[
%rename cpp_options old_cpp_options

*cpp_options:
-nostdinc -isystem @zu_musl_include@ -isystem include%s %(old_cpp_options)

*cc1:
%(cc1_cpu) -nostdinc -isystem @zu_musl_include@ -isystem include%s

*link_libgcc:
-L@zu_musl_lib@ -L .%s

*libgcc:
libgcc.a%s %:if-exists(libgcc_eh.a%s)

*startfile:
%{!shared: @zu_musl_lib@/Scrt1.o} @zu_musl_lib@/crti.o crtbeginS.o%s

*endfile:
crtendS.o%s @zu_musl_lib@/crtn.o

*link:
%{!r:--build-id} -dynamic-linker @zu_musl_loader@ -nostdlib %{shared:-shared} %{static:-static} %{rdynamic:-export-dynamic}

*esp_link:


*esp_options:


*esp_cpp_options:


]])

set(CMAKE_C_FLAGS_INIT "-specs=${zu_specs}")
# libstdc++'s directories come before musl's so that its <cstdlib> wraps musl's <stdlib.h>.
set(CMAKE_CXX_FLAGS_INIT "-specs=${zu_specs} -isystem ${zu_cxx_include} \
-isystem ${CMAKE_CURRENT_LIST_DIR}/musl-cxx -isystem ${zu_cxx_include}/mipsel-linux-gnu")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")
if(ZU_MUSL_STATIC)
    set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
    # After project() has set the platform's defaults, prefer static archives.
    set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/mipsel-musl-static.cmake)
endif()

set(CMAKE_FIND_ROOT_PATH ${ZU_MUSL_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_LIBDIR} ${ZU_MUSL_SYSROOT}/usr/lib/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ZU_MUSL_SYSROOT})

# Programs of this build run under qemu-mipsel with the sysroot's loader.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mipsel -L ${ZU_MUSL_SYSROOT})
