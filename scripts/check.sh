#!/bin/sh
# Builds the suite and runs every test.  BUILD_DIR and CMAKE_ARGS may be set
# to build a variant (the sanitizer build of .ci/run uses them).
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
build="${BUILD_DIR:-build}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release ${CMAKE_ARGS:-}
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
