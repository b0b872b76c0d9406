#!/bin/sh
# diskblur at 4096 x 4096 with a 16-bit level: the whole process (user and
# system time, peak memory) a few times, then the split between the profile
# table, the pixel fill and the writing (bench_diskblur).  As a peer for the
# writing part, libtiff's tiffcp compresses the same blurred image with LZW.
#
#   sh bench/diskblur/bench_diskblur.sh [BUILD_DIR [RUNS]]
#
# BUILD_DIR (default build-bench, relative to the repository) is configured
# with -DBLUR_BENCH=ON and the two programs are built there; RUNS (default 3)
# repetitions of each case.
set -eu
cd "$(dirname "$0")/../.."
build="${1:-build-bench}"
runs="${2:-3}"
sh scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBLUR_BENCH=ON -DBLUR_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target diskblur bench_diskblur >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

args="4096 4096 2047.5 2047.5 1000 60000 4"
echo "== whole process: diskblur $args C.tif GF.tif"
for i in $(seq "$runs"); do
    /usr/bin/time -f "run $i: %e s elapsed, %U s user, %S s system, %M KiB peak" \
        "$build/bin/diskblur" $args "$work/c.tif" "$work/g.tif"
done
echo "== without writing: diskblur $args - -"
for i in $(seq "$runs"); do
    /usr/bin/time -f "run $i: %e s elapsed, %U s user, %S s system, %M KiB peak" \
        "$build/bin/diskblur" $args - -
done
ls -l "$work"/c.tif "$work"/g.tif

echo "== peer: tiffcp -c lzw of the blurred image (from an uncompressed copy)"
tiffcp -c none "$work/g.tif" "$work/raw.tif"
for i in $(seq "$runs"); do
    /usr/bin/time -f "run $i: %e s elapsed, %U s user, %S s system" \
        tiffcp -c lzw -r 8 "$work/raw.tif" "$work/peer.tif"
done
ls -l "$work/peer.tif"

echo "== split"
"$build/bin/bench_diskblur" --benchmark_repetitions="$runs" --benchmark_report_aggregates_only=true
