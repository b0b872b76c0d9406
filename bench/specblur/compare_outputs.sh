#!/bin/sh
# Runs two specblur builds on the same corpus of generated images (every
# depth 1 .. 16, odd, even and power-of-two sizes, several radii and biases,
# and the 16-bit benchmark images) and counts the samples in which their
# outputs differ.  Each changed sample's exact filtered value is computed by
# direct sums; the script fails when one lies farther than 1e-9 from a
# half-integer and from the clamp bounds (where rounding may go either way).
#
#   sh bench/specblur/compare_outputs.sh OLD-specblur [build-dir]
#
# The build directory must be configured with -DBLUR_BENCH=ON.
set -eu
old="$1"
build="${2:-build-bench}"
bin="$build/bin"
# shellcheck source=scripts/bench-lib.sh
. "$(dirname "$0")/../../scripts/bench-lib.sh"
require_bench_programs "$bin" specblur specblur_band_check specblur_bench_input
make_work_dir

files=0
total=0
changed=0
failed=0
# One case: width height bits seed radius bias.
run_case() {
    input="$work/in.tif"
    "$bin/specblur_band_check" make "$1" "$2" "$3" "$4" "$input"
    compare "$input" "$5" "$6" "$1x$2 $3-bit radius $5 bias $6"
}
compare() {
    "$old" "$1" "$2" "$3" "$work/old.tif"
    "$bin/specblur" "$1" "$2" "$3" "$work/new.tif"
    if "$bin/specblur_band_check" check "$1" "$2" "$3" "$work/old.tif" "$work/new.tif" >"$work/report"; then
        :
    else
        failed=$((failed + 1))
    fi
    line="$(tail -n 1 "$work/report")"
    printf '%-36s %s\n' "$4" "$line"
    sed '$d' "$work/report"
    total=$((total + $(echo "$line" | awk '{ print $2 }')))
    changed=$((changed + $(echo "$line" | awk '{ print $4 }')))
    files=$((files + 1))
}

seed=1
for bits in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16; do
    for size in "37 23 2.5 0" "64 64 1.3 -3.5" "100 129 7 0.5"; do
        set -- $size
        bias="$4"
        if [ "$bits" -ge 8 ]; then bias="$(awk -v b="$4" -v m="$bits" 'BEGIN { print b * 2 ^ (m - 4) }')"; fi
        run_case "$1" "$2" "$bits" "$seed" "$3" "$bias"
        seed=$((seed + 1))
    done
done
run_case 1 1 16 100 5 0
run_case 1 300 12 101 2 100
run_case 255 1 8 102 3 300
run_case 513 257 16 103 2 0
run_case 640 480 16 104 30 40000
for size in "2048 2048" "3000 2000"; do
    set -- $size
    "$bin/specblur_bench_input" "$1" "$2" "$work/bench.tif"
    compare "$work/bench.tif" 2 0 "$1x$2 16-bit bench radius 2"
done
printf 'files %s samples %s changed %s outside the band %s\n' "$files" "$total" "$changed" "$failed"
[ "$failed" -eq 0 ]
