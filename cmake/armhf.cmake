# Cross build for the board: Debian 12 armhf (ARMv7-A, VFPv3-D16, hard float, Thumb-2), against
# the sysroot that scripts/make-sysroot.sh makes from Debian's armhf packages. Needs natively
# only g++-arm-linux-gnueabihf and, to run what it builds, qemu-user-static.
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake [-DARMHF_SYSROOT=DIR] [-DARMHF_RUN_FROM_SYSROOT=ON] ...
#
# Sysroot: ARMHF_SYSROOT, else $VEK_ARMHF_SYSROOT, else ${VEK_CACHE:-$HOME/.cache/vek}/armhf/sysroot
# (where the script puts it). ARMHF_RUN_FROM_SYSROOT is for test builds only (see below).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT ARMHF_SYSROOT)
  if(DEFINED ENV{VEK_ARMHF_SYSROOT} AND NOT "$ENV{VEK_ARMHF_SYSROOT}" STREQUAL "")
    set(ARMHF_SYSROOT "$ENV{VEK_ARMHF_SYSROOT}")
  elseif(DEFINED ENV{VEK_CACHE} AND NOT "$ENV{VEK_CACHE}" STREQUAL "")
    set(ARMHF_SYSROOT "$ENV{VEK_CACHE}/armhf/sysroot")
  else()
    set(ARMHF_SYSROOT "$ENV{HOME}/.cache/vek/armhf/sysroot")
  endif()
endif()
if(NOT EXISTS "${ARMHF_SYSROOT}/lib/ld-linux-armhf.so.3")
  message(FATAL_ERROR "No armhf sysroot in ${ARMHF_SYSROOT}: make it with scripts/make-sysroot.sh")
endif()
set(ARMHF_SYSROOT "${ARMHF_SYSROOT}" CACHE PATH "armhf sysroot")
# try_compile projects read this file again: hand the settings on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ARMHF_SYSROOT ARMHF_RUN_FROM_SYSROOT)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_SYSROOT "${ARMHF_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH "${ARMHF_SYSROOT}")
# Programs (the mosquitto broker, bash) from the host; libraries, headers and packages only from
# the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's pkg-config, reading only the sysroot's .pc files and prefixing their paths with it.
set(PKG_CONFIG_EXECUTABLE /usr/bin/pkg-config CACHE FILEPATH "pkg-config")
set(ENV{PKG_CONFIG_DIR} "")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${ARMHF_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ARMHF_SYSROOT}/usr/lib/pkgconfig:${ARMHF_SYSROOT}/usr/share/pkgconfig")

# GCC notes that the ARM parameter passing of some types changed in GCC 7; nothing here talks to
# code built before that.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

# Running what is built, on the x86-64 host, under user-mode QEMU:
# - default: qemu-arm-static -L <sysroot>. QEMU then maps every absolute path that exists in the
#   sysroot onto it, "/" included, which breaks the umockdev preload library the tests use
#   (libudev opens "/" and then "sys" relative to it).
# - ARMHF_RUN_FROM_SYSROOT=ON, for test builds only and never for the board: every program and
#   library names the sysroot's loader as its interpreter and carries a DT_RPATH into the
#   sysroot (unlike DT_RUNPATH, it also serves the dependencies of the libraries), so it runs through binfmt_misc (qemu-arm) with no path mapping at all, and so do the
#   programs the tests start.
if(ARMHF_RUN_FROM_SYSROOT)
  set(_armhf_rpath "${ARMHF_SYSROOT}/lib/arm-linux-gnueabihf:${ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
  set(_armhf_loader "${ARMHF_SYSROOT}/lib/ld-linux-armhf.so.3")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT
    " -Wl,--dynamic-linker=${_armhf_loader} -Wl,--disable-new-dtags -Wl,-rpath,${_armhf_rpath}")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -Wl,--disable-new-dtags -Wl,-rpath,${_armhf_rpath}")
  string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -Wl,--disable-new-dtags -Wl,-rpath,${_armhf_rpath}")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static -L "${ARMHF_SYSROOT}")
endif()
