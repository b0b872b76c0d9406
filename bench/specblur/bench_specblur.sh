#!/bin/sh
# Whole-process timing of specblur against specblur_fftw (the same filter with
# FFTW's real-to-complex row and half-spectrum column plans, FFTW_MEASURE,
# wisdom kept in a file and made once before the timed runs) on 16-bit
# images of 2048x2048, 3000x2000 and 4096x4096, radius 2, in the same run,
# alternating the two programs.  Prints, for each, the wall time and the
# CPU time (user + system; on a shared machine the steadier figure), best and
# median of RUNS, and the peak resident memory.
#
#   sh bench/specblur/bench_specblur.sh [BUILD_DIR [RUNS]]
#
# The build directory must be configured with -DBLUR_BENCH=ON.
set -eu
build="${1:-build-bench}"
runs="${2:-5}"
bin="$build/bin"
sh "$(dirname "$0")/../../scripts/install-deps.sh"
# shellcheck source=scripts/bench-lib.sh
. "$(dirname "$0")/../../scripts/bench-lib.sh"
require_bench_programs "$bin" specblur specblur_fftw specblur_bench_input
make_work_dir
radius=2
bias=0
export SPECBLUR_FFTW_WISDOM="$work/fftw.wisdom"

# One run: prints "wall user system kilobytes".
measure() {
    /usr/bin/time -f "%e %U %S %M" -o "$work/time" "$@"
    cat "$work/time"
}

# Best and median of column $1 of the lines on standard input.
best_median() {
    sort -n | awk '{ v[NR] = $1 } END { printf "best %.2f median %.2f s", v[1], v[int((NR + 1) / 2)] }'
}

# Wall time, CPU time and peak memory of the lines "wall user system
# kilobytes" in file $1.
summarise() {
    printf 'wall %s   cpu %s   peak %s MiB\n' \
        "$(awk '{ print $1 }' "$1" | best_median)" \
        "$(awk '{ print $2 + $3 }' "$1" | best_median)" \
        "$(awk '$4 > m { m = $4 } END { printf "%.0f", m / 1024 }' "$1")"
}

for size in 2048x2048 3000x2000 4096x4096; do
    input="$work/in$size.tif"
    "$bin/specblur_bench_input" "${size%x*}" "${size#*x}" "$input"
    # Planning (wisdom) is paid here, outside the timed runs.
    "$bin/specblur_fftw" "$input" "$radius" "$bias" "$work/ref.tif"
    : >"$work/specblur.times"
    : >"$work/fftw.times"
    i=0
    while [ "$i" -lt "$runs" ]; do
        measure "$bin/specblur" "$input" "$radius" "$bias" "$work/out.tif" >>"$work/specblur.times"
        measure "$bin/specblur_fftw" "$input" "$radius" "$bias" "$work/ref.tif" >>"$work/fftw.times"
        i=$((i + 1))
    done
    printf '%s 16-bit, radius %s:\n' "$size" "$radius"
    printf '  specblur       '; summarise "$work/specblur.times"
    printf '  specblur_fftw  '; summarise "$work/fftw.times"
    # Ratio of the CPU-time medians.
    ours="$(awk '{ print $2 + $3 }' "$work/specblur.times" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
    peer="$(awk '{ print $2 + $3 }' "$work/fftw.times" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')"
    printf '  cpu median ratio specblur / specblur_fftw %s\n' "$(awk -v a="$ours" -v b="$peer" 'BEGIN { printf "%.2f", a / b }')"
done
