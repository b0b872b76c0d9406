#!/bin/sh
# Whole-process timing of specblur against specblur_fftw (the same filter on
# FFTW's 2-D plans) on 16-bit images of 2048x2048 and 4096x4096, in the same
# run, alternating the two programs.  Prints wall time (best and median of
# RUNS) and peak resident memory of each.
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

# One run: prints "seconds kilobytes".
measure() {
    /usr/bin/time -f "%e %M" -o "$work/time" "$@"
    cat "$work/time"
}

# Best and median of the lines "seconds kilobytes" on standard input.
summarise() {
    sort -n | awk '{ t[NR] = $1; if ($2 > m) m = $2 }
        END { printf "best %.3f s  median %.3f s  peak %.0f MiB\n", t[1], t[int((NR + 1) / 2)], m / 1024 }'
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
    printf '  specblur       '; summarise <"$work/specblur.times"
    printf '  specblur_fftw  '; summarise <"$work/fftw.times"
done
