#!/bin/sh
# The programs of two builds on the same inputs, alternately, one thread:
# median CPU seconds (user + system) of RUNS runs each, and their ratio.
# For a change's before and after on a shared machine, where two runs of
# scripts/bench-table.sh far apart in time see different loads.
#
#   sh bench/compare_builds.sh BASE_BIN NEW_BIN [RUNS]     (default 5)
#
# BASE_BIN and NEW_BIN are build directories' bin/ folders; NEW_BIN also
# needs specblur_bench_input (-DBLUR_BENCH=ON), which makes the inputs.
set -eu
cd "$(dirname "$0")/.."
base="$1" new="$2" runs="${3:-5}"
. scripts/bench-lib.sh
require_bench_programs "$new" specblur_bench_input
make_work_dir
"$new/specblur_bench_input" 2048 2048 "$work/s2048.tif"
"$new/specblur_bench_input" 4096 4096 "$work/s4096.tif"
for bits in 16 8; do
    python3 bench/io/make_input.py 4096 "$bits" "$work/raw.tif" >/dev/null
    tiffcp -c lzw "$work/raw.tif" "$work/io$bits.tif"
done
mkdir -p "$work/s" "$work/g"

cpu() {
    /usr/bin/time -f "%U %S" -o "$work/time" "$@" >/dev/null 2>&1
    awk '{ printf "%.3f\n", $1 + $2 }' "$work/time"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# row NAME PROGRAM ARGS...
row() {
    name="$1"
    shift
    : >"$work/a" && : >"$work/b"
    i=0
    while [ "$i" -lt "$runs" ]; do
        cpu "$base/$@" >>"$work/a"
        cpu "$new/$@" >>"$work/b"
        i=$((i + 1))
    done
    a=$(median <"$work/a") b=$(median <"$work/b")
    echo "| $name | $a | $b | $(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.2f", b / a }') |"
}

echo "| case | base s | new s | new/base |"
echo "|---|---|---|---|"
row "specblur 2048², r = 2" specblur "$work/s2048.tif" 2 20000 "$work/o.tif"
row "specblur 4096², r = 2" specblur "$work/s4096.tif" 2 20000 "$work/o.tif"
row "read + write 4096², 16 bits" convblur "$work/io16.tif" 0.29 "$work/o.tif"
row "read + write 4096², 8 bits" convblur "$work/io8.tif" 0.29 "$work/o.tif"
for r in 1 2 4; do
    row "convblur 4096², 16 bits, r = $r" convblur "$work/s4096.tif" "$r" "$work/o.tif"
done
row "diskblur 4096², R = 1000" diskblur 4096 4096 2047.5 2047.5 1000 60000 4 "$work/c.tif" "$work/d.tif"
row "ballblur 256³" ballblur 256 256 256 127.5 127.5 127.5 102 60000 4 "$work/s" "$work/g"
