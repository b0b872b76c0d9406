#!/bin/sh
# Whole-process time of convblur beside a direct 2-D peer on the same kernel
# and image at one thread: `vips conv` (libvips, float precision) with the
# same (2h − 1) × (2h − 1) matrix, VIPS_CONCURRENCY=1.  16-bit images of
# 2048² and 4096² samples, r = 1, 2 and 4, bias 0.
#
#   sh bench/convblur/bench_convblur.sh [BUILD_DIR [RUNS]]
#
# BUILD_DIR (default build) holds bin/convblur.  Installs libvips-tools (through
# scripts/install-deps.sh) when vips is missing.  Prints the best of RUNS (default 3) wall-clock times
# and the peak resident memory of each run.
set -eu
build="${1:-build}"
repeats="${2:-3}"
convblur="$build/bin/convblur"
[ -x "$convblur" ] || { echo "no $convblur: build the suite first" >&2; exit 1; }
BLUR_EXTRA_PACKAGES=libvips-tools sh "$(dirname "$0")/../../scripts/install-deps.sh"
# shellcheck source=scripts/bench-lib.sh
. "$(dirname "$0")/../../scripts/bench-lib.sh"
export VIPS_CONCURRENCY=1

make_work_dir

# "WALL CPU MAXRSS" of the run with the least CPU time (user + system)
# over the repeats of a command; the machine may be shared, so CPU time is
# the steadier figure.
best() {
    b=""
    i=0
    while [ "$i" -lt "$repeats" ]; do
        /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
            cat "$work/err" >&2
            exit 1
        }
        t="$(awk '{ printf "%s %.2f %s", $1, $2 + $3, $4 }' "$work/time")"
        if [ -z "$b" ] || [ "$(echo "$t $b" | awk '{print ($2 < $5)}')" = 1 ]; then b="$t"; fi
        i=$((i + 1))
    done
    echo "$b"
}

printf "%-5s %-2s %-3s %-22s %-22s %-9s %s\n" size r h "convblur wall cpu KiB" "vips-conv wall cpu KiB" madd "convblur Gmadd/cpu-s"
for size in 2048 4096; do
    vips_noise_tiff "$size" "$work/in.tif"
    for r in 1 2 4; do
        h=$(convblur_half_width "$r")
        convblur_vips_matrix "$r" >"$work/k.mat"
        ours=$(best "$convblur" "$work/in.tif" "$r" "$work/out.tif")
        peer=$(best vips conv "$work/in.tif" "$work/peer.tif" "$work/k.mat" --precision float)
        madd=$(awk -v s="$size" -v h="$h" 'BEGIN {
            t = 0; for (x = 0; x < s; x++) { a = x - h + 1; if (a < 0) a = 0; b = x + h; if (b > s) b = s; t += b - a }
            printf "%.4g", t * t }')
        rate=$(echo "$madd $ours" | awk '{ printf "%.2f", $1 / $3 / 1e9 }')
        printf "%-5s %-2s %-3s %-22s %-22s %-9s %s\n" "$size" "$r" "$h" "$ours" "$peer" "$madd" "$rate"
    done
done
echo "(wall and CPU seconds, peak resident KiB; the run of least CPU time of $repeats)"
