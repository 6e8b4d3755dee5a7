# Cross build for the concentrator (ARMv7 hard-float, Debian armhf).
#
# The sysroot is an unpacked set of Debian armhf packages (see mk/deploy.mk);
# ARM_SYSROOT in the environment overrides the default cache folder.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(MTR_ARM_TRIPLE arm-linux-gnueabihf)
if(MTR_ARM_SYSROOT)
  # given with -D; kept in the cache
elseif(DEFINED ENV{ARM_SYSROOT} AND NOT "$ENV{ARM_SYSROOT}" STREQUAL "")
  set(MTR_ARM_SYSROOT "$ENV{ARM_SYSROOT}")
elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(MTR_ARM_SYSROOT "$ENV{XDG_CACHE_HOME}/mtr_main/armhf-sysroot")
else()
  set(MTR_ARM_SYSROOT "$ENV{HOME}/.cache/mtr_main/armhf-sysroot")
endif()
if(NOT EXISTS "${MTR_ARM_SYSROOT}/usr/lib/${MTR_ARM_TRIPLE}")
  message(FATAL_ERROR "armhf sysroot not found at ${MTR_ARM_SYSROOT}; run `make arm` to create it")
endif()

# try_compile projects read this file again; they see the cache only through this list.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MTR_ARM_SYSROOT)

set(CMAKE_C_COMPILER ${MTR_ARM_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MTR_ARM_TRIPLE}-g++)
set(CMAKE_SYSROOT "${MTR_ARM_SYSROOT}")
# GCC notes every std::vector<double> iterator passed by value that its ABI
# changed in GCC 7.1; nothing here links against code built before that.
# 64-bit file offsets: without them stat() fails with EOVERFLOW on file systems
# with 64-bit inode numbers (cards formatted elsewhere, and the host under qemu).
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -Wno-psabi")
set(CMAKE_LIBRARY_ARCHITECTURE ${MTR_ARM_TRIPLE})

# Headers, libraries and CMake package files come from the sysroot only; build
# tools (pkg-config, the compiler) from the host.
set(CMAKE_FIND_ROOT_PATH "${MTR_ARM_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not see the host's .pc files, only the sysroot's.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${MTR_ARM_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${MTR_ARM_SYSROOT}/usr/lib/${MTR_ARM_TRIPLE}/pkgconfig:${MTR_ARM_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Target programs (test discovery, ctest) run under user-mode emulation with the
# sysroot's dynamic loader and libraries.
find_program(MTR_QEMU_ARM qemu-arm)
if(MTR_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${MTR_QEMU_ARM};-L;${MTR_ARM_SYSROOT}")
endif()
