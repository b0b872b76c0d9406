#!/bin/sh
# Cross-builds the suite for ARCH (arm64 or s390x) with Debian's cross
# compiler into build-ARCH and runs the tests under qemu-user.  The
# target's libraries come from scripts/cross-deps.sh.  No benchmarks.
#
# Left out under emulation: the address-limit tests, which need the
# program's own RLIMIT_AS (qemu-user does not enforce the guest's, and a
# limit on the host stops qemu itself); they run in the native build.
set -eu
cd "$(dirname "$0")/.."
arch="$1"
case "$arch" in
arm64) toolchain=cmake/toolchain-aarch64.cmake ;;
s390x) toolchain=cmake/toolchain-s390x.cmake ;;
*)
    echo "cross-check: ARCH is arm64 or s390x" >&2
    exit 1
    ;;
esac
sh scripts/cross-deps.sh "$arch"
build="build-$arch"
jobs="${BLUR_JOBS:-2}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DBLUR_BENCH=OFF -DBLUR_SAME_BYTES_REFERENCE="$PWD/build/same-bytes" ${CMAKE_ARGS:-}
start=$(date +%s)
cmake --build "$build" -j "$jobs"
echo "cross-check: $arch build took $(($(date +%s) - start)) s"
start=$(date +%s)
# One CTest test per test program; gtest leaves out what GTEST_FILTER names.
address_limits="Programs/UnderAddressLimit.MessageOrRun/*_too_large"
address_limits="$address_limits:ReadImageFile.HostileSizesNeedOnlyAFewMebibytes"
address_limits="$address_limits:Convblur.WorkingCopyThatCannotBeAllocatedIsReported"
GTEST_FILTER="-$address_limits" ctest --test-dir "$build" --output-on-failure -j "$jobs"
echo "cross-check: $arch tests took $(($(date +%s) - start)) s"
