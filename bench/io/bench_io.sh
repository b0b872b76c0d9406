#!/bin/sh
# Whole-process read + write: `convblur IN 0.29 OUT` (a 1 x 1 window, so
# the run is reading and writing the file) beside `tiffcp -c lzw IN OUT`
# (libtiff) on the same LZW file, one thread.  Smooth gradients with noise
# at 2048² and 4096², 8 and 16 bits.
#
#   sh bench/io/bench_io.sh [BUILD_DIR [RUNS [BASE_BUILD_DIR]]]
#
# BUILD_DIR (default build) holds bin/convblur.  Prints, per image, the
# median over RUNS (default 5) runs of the CPU time (user + system) of
# each command and their ratio; the machine may be shared, so CPU time is
# the steadier figure, and the commands take turns, one run each a round.
# With BASE_BUILD_DIR, that build's convblur (an earlier state of the
# suite) runs in the same rounds, and its time and ours / base are added;
# both convblurs must write the same file.
set -eu
build="${1:-build}"
repeats="${2:-5}"
base="${3:-}"
convblur="$build/bin/convblur"
sh "$(dirname "$0")/../../scripts/install-deps.sh"
[ -x "$convblur" ] || { echo "no $convblur: build the suite first" >&2; exit 1; }
[ -z "$base" ] || [ -x "$base/bin/convblur" ] || { echo "no $base/bin/convblur" >&2; exit 1; }
here="$(dirname "$0")"
# shellcheck source=scripts/bench-lib.sh
. "$here/../../scripts/bench-lib.sh"
make_work_dir

if [ -n "$base" ]; then
    printf "%-5s %-4s %-10s %-10s %-10s %-7s %s\n" size bits "convblur s" "base s" "tiffcp s" ratio "vs base"
else
    printf "%-5s %-4s %-10s %-10s %s\n" size bits "convblur s" "tiffcp s" ratio
fi
for size in 2048 4096; do
    for bits in 16 8; do
        python3 "$here/make_input.py" "$size" "$bits" "$work/raw.tif"
        tiffcp -c lzw "$work/raw.tif" "$work/in.tif"
        if [ -n "$base" ]; then
            python3 "$here/cpu_seconds.py" "$repeats" \
                -- "$convblur" "$work/in.tif" 0.29 "$work/out.tif" \
                -- "$base/bin/convblur" "$work/in.tif" 0.29 "$work/base.tif" \
                -- tiffcp -c lzw "$work/in.tif" "$work/peer.tif" >"$work/times"
            cmp -s "$work/out.tif" "$work/base.tif" || {
                echo "convblur and the base convblur wrote different files" >&2
                exit 1
            }
        else
            python3 "$here/cpu_seconds.py" "$repeats" \
                -- "$convblur" "$work/in.tif" 0.29 "$work/out.tif" \
                -- tiffcp -c lzw "$work/in.tif" "$work/peer.tif" >"$work/times"
        fi
        awk -v size="$size" -v bits="$bits" -v base="$base" '
            { t[NR] = $1 }
            END {
                if (base != "")
                    printf "%-5s %-4s %-10s %-10s %-10s %-7.2f %.2f\n", size, bits, t[1], t[2], t[3], t[1] / t[3], t[1] / t[2]
                else
                    printf "%-5s %-4s %-10s %-10s %.2f\n", size, bits, t[1], t[2], t[1] / t[2]
            }' "$work/times"
    done
done
echo "(median CPU seconds, user + system, of $repeats runs; ratio = convblur / tiffcp)"
