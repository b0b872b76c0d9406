#!/bin/sh
# Whole-process time and peak memory of ballblur on a 256 x 256 x 256 volume
# with a 16-bit level (value 60000, bias 1000, R 100, L 4), and the split
# between computing and writing: the same run with both series suppressed
# ("-") computes every slice and writes nothing.
#
#   sh bench/ballblur/bench_ballblur.sh [BUILD_DIR [RUNS]]
#
# BUILD_DIR (default build) holds bin/ballblur; RUNS (default 3) repetitions
# of each case.
set -eu
bin="${1:-build}/bin/ballblur"
runs="${2:-3}"
sh "$(dirname "$0")/../../scripts/install-deps.sh"
[ -x "$bin" ] || { echo "no ballblur at $bin (build first)" >&2; exit 1; }

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT INT TERM

# One run: prints label, wall seconds, user, system, peak resident KiB.
measure() {
    label="$1"
    shift
    /usr/bin/time -v "$bin" "$@" 2>"$out/time.txt" >/dev/null
    awk -v label="$label" -F': ' '
        /Elapsed \(wall clock\)/ { n = split($2, p, ":"); wall = (n == 3) ? p[1] * 3600 + p[2] * 60 + p[3] : p[1] * 60 + p[2] }
        /User time/ { user = $2 }
        /System time/ { sys = $2 }
        /Maximum resident set size/ { rss = $2 }
        END { printf "%-34s wall %6.2f s  user %6.2f s  sys %5.2f s  peak %7d KiB\n", label, wall, user, sys, rss }
    ' "$out/time.txt"
}

size=256
level="100 60000 1000 4"
# A centre on a half-voxel gives mirror images in x and y; an arbitrary one
# evaluates every voxel.
for centre in "127.5 127.5 127.5" "127.3 128.6 126.9"; do
    echo "centre $centre"
    i=0
    while [ "$i" -lt "$runs" ]; do
        # shellcheck disable=SC2086
        measure "  compute only (- -)" $size $size $size $centre $level - -
        rm -rf "$out/S" "$out/G"
        mkdir "$out/S" "$out/G"
        # shellcheck disable=SC2086
        measure "  compute and write both series" $size $size $size $centre $level "$out/S" "$out/G"
        i=$((i + 1))
    done
    echo "  written: $(du -sk "$out/S" | cut -f1) KiB sphere + $(du -sk "$out/G" | cut -f1) KiB blurred, $(ls "$out/S" | wc -l) + $(ls "$out/G" | wc -l) files"
done
echo "one slice: $((size * size * 2 / 1024)) KiB of samples"
