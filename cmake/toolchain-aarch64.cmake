# Cross build for Debian arm64: sh scripts/cross-check.sh arm64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(BLUR_CROSS_TRIPLET aarch64-linux-gnu)
set(BLUR_DEB_ARCH arm64)
set(BLUR_QEMU /usr/bin/qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
