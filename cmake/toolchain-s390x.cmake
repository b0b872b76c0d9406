# Cross build for Debian s390x, the big-endian host: sh scripts/cross-check.sh s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(BLUR_CROSS_TRIPLET s390x-linux-gnu)
set(BLUR_DEB_ARCH s390x)
set(BLUR_QEMU /usr/bin/qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
