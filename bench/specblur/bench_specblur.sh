#!/bin/sh
# Whole-process timing of specblur against specblur_fftw (the same filter on
# FFTW's 2-D plans) on 16-bit images of 2048x2048 and 4096x4096, in the same
# run, alternating the two programs.  Prints, for each, the wall time and the
# CPU time (user + system; on a shared machine the steadier figure), best and
# median of RUNS, and the peak resident memory.
#
#   sh bench/specblur/bench_specblur.sh [build-dir] [runs]
#
# The build directory must be configured with -DBLUR_BENCH=ON.
set -eu
build="${1:-build-bench}"
runs="${2:-5}"
bin="$build/bin"
for program in specblur specblur_fftw specblur_bench_input; do
    [ -x "$bin/$program" ] || { echo "missing $bin/$program (build with -DBLUR_BENCH=ON)" >&2; exit 1; }
done
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT INT TERM
radius=8
bias=20000

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

for size in 2048 4096; do
    input="$work/in$size.tif"
    "$bin/specblur_bench_input" "$size" "$size" "$input"
    : >"$work/specblur.times"
    : >"$work/fftw.times"
    i=0
    while [ "$i" -lt "$runs" ]; do
        measure "$bin/specblur" "$input" "$radius" "$bias" "$work/out.tif" >>"$work/specblur.times"
        measure "$bin/specblur_fftw" "$input" "$radius" "$bias" "$work/ref.tif" >>"$work/fftw.times"
        i=$((i + 1))
    done
    printf '%sx%s 16-bit, radius %s:\n' "$size" "$size" "$radius"
    printf '  specblur       '; summarise "$work/specblur.times"
    printf '  specblur_fftw  '; summarise "$work/fftw.times"
done
