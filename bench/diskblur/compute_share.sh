#!/bin/sh
# Share of the whole run that is computing, for diskblur and ballblur, of
# two builds side by side: each case runs with both outputs "-" (compute
# only) and writing its files, alternating between the builds; CPU time
# (user + system) per run, then the median of each.
#
#   sh bench/diskblur/compute_share.sh OLD_BIN_DIR NEW_BIN_DIR [RUNS]
set -eu
old="$1"
new="$2"
runs="${3:-5}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT INT TERM

cpu() {  # prints user + system seconds of one run
    /usr/bin/time -f "%U %S" -o "$work/t" "$@" >/dev/null 2>&1
    awk '{ printf "%.3f\n", $1 + $2 }' "$work/t"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

disk="4096 4096 2047.5 2047.5 1000 60000 4"
ball="256 256 256 127.3 127.6 127.1 100 60000 4"
for build in old new; do : >"$work/$build.disk.c"; : >"$work/$build.disk.w"; : >"$work/$build.ball.c"; : >"$work/$build.ball.w"; done
i=0
while [ "$i" -lt "$runs" ]; do
    for build in old new; do
        eval bin=\$$build
        # shellcheck disable=SC2086
        cpu "$bin/diskblur" $disk - - >>"$work/$build.disk.c"
        # shellcheck disable=SC2086
        cpu "$bin/diskblur" $disk "$work/C.tif" "$work/GF.tif" >>"$work/$build.disk.w"
        rm -rf "$work/S" "$work/G"
        mkdir "$work/S" "$work/G"
        # shellcheck disable=SC2086
        cpu "$bin/ballblur" $ball - - >>"$work/$build.ball.c"
        # shellcheck disable=SC2086
        cpu "$bin/ballblur" $ball "$work/S" "$work/G" >>"$work/$build.ball.w"
    done
    i=$((i + 1))
done
echo "CPU seconds (user + system), median of $runs runs"
for prog in disk ball; do
    [ "$prog" = disk ] && echo "diskblur $disk C.tif GF.tif" || echo "ballblur $ball S G"
    for build in old new; do
        c="$(median <"$work/$build.$prog.c")"
        w="$(median <"$work/$build.$prog.w")"
        echo "  $build: compute only $c s, whole run $w s, share $(awk -v c="$c" -v w="$w" 'BEGIN { printf "%.2f", c / w }')"
    done
done
