#!/bin/sh
# Whole-process read + write: `convblur IN 0.29 OUT` (a 1 x 1 window, so
# the run is reading and writing the file) beside `tiffcp -c lzw IN OUT`
# (libtiff) on the same LZW file, one thread.  Smooth gradients with noise
# at 2048² and 4096², 8 and 16 bits.
#
#   sh bench/io/bench_io.sh [BUILD_DIR [RUNS]]
#
# BUILD_DIR (default build) holds bin/convblur.  Prints, per image, the
# median over RUNS (default 5) runs of the CPU time (user + system) of
# each command and their ratio; the machine may be shared, so CPU time is
# the steadier figure.
set -eu
build="${1:-build}"
repeats="${2:-5}"
convblur="$build/bin/convblur"
sh "$(dirname "$0")/../../scripts/install-deps.sh"
[ -x "$convblur" ] || { echo "no $convblur: build the suite first" >&2; exit 1; }
here="$(dirname "$0")"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Median CPU seconds of RUNS runs of a command.
median() {
    : >"$work/cpu"
    i=0
    while [ "$i" -lt "$repeats" ]; do
        /usr/bin/time -f "%U %S" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
            cat "$work/err" >&2
            exit 1
        }
        awk '{ printf "%.3f\n", $1 + $2 }' "$work/time" >>"$work/cpu"
        i=$((i + 1))
    done
    sort -n "$work/cpu" | awk '{ v[NR] = $1 } END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

printf "%-5s %-4s %-12s %-12s %s\n" size bits "convblur s" "tiffcp s" ratio
for size in 2048 4096; do
    for bits in 16 8; do
        python3 "$here/make_input.py" "$size" "$bits" "$work/raw.tif"
        tiffcp -c lzw "$work/raw.tif" "$work/in.tif"
        ours=$(median "$convblur" "$work/in.tif" 0.29 "$work/out.tif")
        peer=$(median tiffcp -c lzw "$work/in.tif" "$work/peer.tif")
        ratio=$(echo "$ours $peer" | awk '{ printf "%.2f", $1 / $2 }')
        printf "%-5s %-4s %-12s %-12s %s\n" "$size" "$bits" "$ours" "$peer" "$ratio"
    done
done
echo "(median CPU seconds, user + system, of $repeats runs; ratio = convblur / tiffcp)"
