#!/bin/sh
# The main job: builds the suite and makes a sample phantom.
set -eu
cd "$(dirname "$0")/.."
sh scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
out="${DEMO_DIR:-out}"
mkdir -p "$out"
if [ -x build/bin/diskblur ]; then
    build/bin/diskblur 512 512 255.5 255.5 100 1000 4 "$out/disk.tif" "$out/disk-blur.tif"
    echo "disk phantom:      $out/disk.tif"
    echo "its exact blur:    $out/disk-blur.tif"
else
    echo "diskblur is not built yet"
fi
