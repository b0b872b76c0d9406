#!/bin/sh
# The README's performance table, measured on the machine at hand: every row
# runs our program and its peer in the same run on the same input, one
# thread, RUNS times each (alternating), and reports the median CPU time
# (user + system; the steadier figure on a shared machine) and the peer's
# ratio to ours.  Prints a Markdown table headed by the date, the CPU model,
# the load average and the SIMD path the programs dispatch to on this CPU.
#
#   sh scripts/bench-table.sh [RUNS]        (default 3)
#
# BENCH_QUICK=1 runs every row on small sizes, to check the script itself.
#
# Builds build-bench (-DBLUR_BENCH=ON: the FFTW peer and the Google
# Benchmark binaries) when it is missing.  Needs libvips' command-line tools
# for the convblur peer (installed when missing) and libtiff's tiffcp.
set -eu
cd "$(dirname "$0")/.."
runs="${1:-3}"
build=build-bench
bin="$build/bin"

command -v vips >/dev/null 2>&1 || BLUR_EXTRA_PACKAGES=libvips-tools sh scripts/install-deps.sh
[ -x /usr/bin/time ] || { echo "bench-table: needs GNU time (/usr/bin/time)" >&2; exit 1; }
if [ ! -x "$bin/specblur_fftw" ] || [ ! -x "$bin/bench_fft" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBLUR_BENCH=ON -DBLUR_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$(nproc)" >/dev/null

# shellcheck source=scripts/bench-lib.sh
. scripts/bench-lib.sh
make_work_dir
export VIPS_CONCURRENCY=1
if [ "${BENCH_QUICK:-}" ]; then
    sizes="256 512" shapes="256x256 300x200" disk="512 512 255.5 255.5 100 60000 4" volume=32 brepeat=1
else
    sizes="2048 4096" shapes="2048x2048 3000x2000 4096x4096" disk="4096 4096 2047.5 2047.5 1000 60000 4" volume=256 brepeat="$runs"
fi

# CPU seconds (user + system) of one run of the command.
cpu() {
    /usr/bin/time -f "%U %S" -o "$work/time" "$@" >/dev/null 2>"$work/err" || {
        cat "$work/err" >&2
        exit 1
    }
    awk '{ printf "%.3f\n", $1 + $2 }' "$work/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] }'; }

# Runs "ours" and "peer" (two command strings) alternately RUNS times;
# sets ours_s and peer_s to the medians.
pair() {
    : >"$work/ours" && : >"$work/peer"
    i=0
    while [ "$i" -lt "$runs" ]; do
        # shellcheck disable=SC2086
        cpu $1 >>"$work/ours"
        # shellcheck disable=SC2086
        [ -z "$2" ] || cpu $2 >>"$work/peer"
        i=$((i + 1))
    done
    ours_s=$(median <"$work/ours")
    if [ -n "$2" ]; then peer_s=$(median <"$work/peer"); else peer_s=-; fi
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == "-" || a == 0) print "-"; else printf "%.2f", b / a }'; }

row() {
    peer="$5 s"
    [ "$5" != - ] || peer=-
    printf '| %s | %s | %s s | %s | %s | %s |\n' "$1" "$2" "$3" "$4" "$peer" "$(ratio "$3" "$5")"
}

flags=$(grep -m1 '^flags' /proc/cpuinfo)
has() { echo "$flags" | grep -qw "$1"; }
if has avx512f; then conv_path="AVX-512"; elif has avx2 && has fma; then conv_path="AVX2+FMA"; else conv_path="portable"; fi
if has avx2; then fft_path="AVX2"; else fft_path="portable"; fi
model=$(lscpu | sed -n 's/^Model name: *//p' | head -1)

echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $model ($(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg));"
echo "SIMD path taken: convblur $conv_path, FFT (specblur) $fft_path, chosen at run time from the CPU's flags."
echo "CPU seconds (user + system), median of $runs runs, one thread; ratio = peer / ours."
echo
echo '| what | case | ours | peer | peer'"'"'s figure | ratio |'
echo '|---|---|---|---|---|---|'

# The peer plans with FFTW_MEASURE and keeps its wisdom in a file, so its
# planning is paid once, before the timed runs.
export SPECBLUR_FFTW_WISDOM="$work/fftw.wisdom"
for shape in $shapes; do
    w=${shape%x*} h=${shape#*x}
    "$bin/specblur_bench_input" "$w" "$h" "$work/in.tif"
    "$bin/specblur_fftw" "$work/in.tif" 2 20000 "$work/ref.tif" >/dev/null
    pair "$bin/specblur $work/in.tif 2 20000 $work/out.tif" "$bin/specblur_fftw $work/in.tif 2 20000 $work/ref.tif"
    row specblur "${w}×${h}, 16 bits, r = 2" "$ours_s" "FFTW real-to-complex rows and half-spectrum columns, MEASURE plans" "$peer_s"
done

# Reading and writing alone: convblur with a 1 x 1 window against tiffcp.
for size in $sizes; do
    for bits in 16 8; do
        python3 bench/io/make_input.py "$size" "$bits" "$work/raw.tif" >/dev/null
        tiffcp -c lzw "$work/raw.tif" "$work/io.tif"
        pair "$bin/convblur $work/io.tif 0.29 $work/out.tif" "tiffcp -c lzw $work/io.tif $work/peer.tif"
        row "read + write" "${size}², ${bits} bits, convblur r = 0.29" "$ours_s" "tiffcp -c lzw" "$peer_s"
    done
done

for size in $sizes; do
    vips_noise_tiff "$size" "$work/in.tif"
    for r in 1 2 4; do
        convblur_vips_matrix "$r" >"$work/k.mat"
        pair "$bin/convblur $work/in.tif $r $work/out.tif" "vips conv $work/in.tif $work/peer.tif $work/k.mat --precision float"
        row convblur "${size}², 16 bits, r = $r" "$ours_s" "vips conv, one thread" "$peer_s"
    done
done

args="$disk"
"$bin/diskblur" $args "$work/c.tif" "$work/g.tif"
tiffcp -c none "$work/g.tif" "$work/raw.tif"
pair "$bin/diskblur $args $work/c.tif $work/g.tif" "tiffcp -c lzw -r 8 $work/raw.tif $work/peer.tif"
row diskblur "$(echo "$args" | awk '{ print $1 }')², R = $(echo "$args" | awk '{ print $5 }'), 16 bits, whole process" "$ours_s" "tiffcp -c lzw of the blurred image" "$peer_s"

mkdir -p "$work/s" "$work/g"
c=$(awk -v n="$volume" 'BEGIN { print (n - 1) / 2 }')
pair "$bin/ballblur $volume $volume $volume $c $c $c $((volume * 2 / 5)) 60000 4 $work/s $work/g" ""
row ballblur "${volume}³, 16 bits, whole process" "$ours_s" "none" "-"

# The library benchmarks hold their peers as cases of their own; each is
# listed with its median CPU time per iteration.
echo
echo "Library benchmarks (Google Benchmark, median of $brepeat repetitions, CPU time per iteration):"
echo
echo '| benchmark | CPU time | counters |'
echo '|---|---|---|'
for b in bench_convolve bench_sif bench_rif bench_fft; do
    [ -x "$bin/$b" ] || continue
    "$bin/$b" --benchmark_repetitions="$brepeat" --benchmark_report_aggregates_only=true \
        --benchmark_format=json 2>/dev/null | python3 -c '
import json, sys
runs = [r for r in json.load(sys.stdin)["benchmarks"] if not r.get("error_occurred")]
medians = [r for r in runs if r.get("aggregate_name") == "median"]
skip = {"name", "run_name", "run_type", "repetitions", "repetition_index", "threads",
        "iterations", "real_time", "cpu_time", "time_unit", "aggregate_name",
        "aggregate_unit", "family_index", "per_family_instance_index", "label"}
for r in medians or runs:
    extra = ", ".join("%s %.4g" % (k, v) for k, v in r.items()
                      if k not in skip and isinstance(v, (int, float)))
    print("| %s: %s | %.4g %s | %s |" % (sys.argv[1], r["run_name"], r["cpu_time"],
                                         r["time_unit"], extra))
' "$b"
done
