# Shared part of the cross toolchain files: Debian's cross compiler for
# BLUR_CROSS_TRIPLET, the target's libraries from the root that
# scripts/cross-deps.sh unpacks (build-cross/sysroot-<arch>, or the
# BLUR_CROSS_SYSROOT environment variable), and qemu-user with that root as
# the emulator that runs the test programs, at build time (test discovery)
# and under ctest.  The cross compiler keeps its own C and C++ runtimes.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${BLUR_CROSS_TRIPLET}-g++)

if(DEFINED ENV{BLUR_CROSS_SYSROOT})
  set(BLUR_CROSS_SYSROOT $ENV{BLUR_CROSS_SYSROOT})
else()
  get_filename_component(BLUR_CROSS_SYSROOT
                         ${CMAKE_CURRENT_LIST_DIR}/../build-cross/sysroot-${BLUR_DEB_ARCH} ABSOLUTE)
endif()
set(CMAKE_FIND_ROOT_PATH ${BLUR_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Multiarch headers (tiffconf.h) and the libraries that the target's
# libraries load in turn, which the linker must find too.
set(blur_multiarch_lib
    ${BLUR_CROSS_SYSROOT}/usr/lib/${BLUR_CROSS_TRIPLET}:${BLUR_CROSS_SYSROOT}/lib/${BLUR_CROSS_TRIPLET})
set(CMAKE_CXX_FLAGS_INIT "-isystem ${BLUR_CROSS_SYSROOT}/usr/include/${BLUR_CROSS_TRIPLET}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${blur_multiarch_lib}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,-rpath-link,${blur_multiarch_lib}")

set(CMAKE_CROSSCOMPILING_EMULATOR ${BLUR_QEMU};-L;${BLUR_CROSS_SYSROOT})
