#!/bin/sh
# Grades the suite's two filters and the peers' Gaussian filters with
# blurgrade, one thread each, and prints the README's table of them.
#
#   sh scripts/grade-peers.sh [BIN_DIR [OUT_DIR]]
#
# BIN_DIR defaults to build/bin, OUT_DIR to out/grade-peers.  Each filter's
# blurgrade files go to OUT_DIR/<name>/ (report.tsv, grade.png, the cases);
# OUT_DIR/peers.tsv gathers the figures and, with gnuplot, docs/grade.png
# shows every filter's interior max |d| against r (GRADE_PNG overrides the
# path; GRADE_PNG=- skips it).  The peers (libvips' and ImageMagick's
# command-line tools, SciPy and OpenCV for Debian's python3) are documentation
# tools, installed through scripts/install-deps.sh when missing.
set -eu
cd "$(dirname "$0")/.."
bin="${1:-build/bin}"
out="${2:-out/grade-peers}"
png="${GRADE_PNG:-docs/grade.png}"
python=/usr/bin/python3

need=""
command -v vips >/dev/null 2>&1 || need=1
command -v convert >/dev/null 2>&1 || need=1
command -v gnuplot >/dev/null 2>&1 || need=1
"$python" -c "import cv2, scipy.ndimage" 2>/dev/null || need=1
[ -z "$need" ] || BLUR_DOC_DEPS=1 sh scripts/install-deps.sh
for program in blurgrade specblur convblur; do
    [ -x "$bin/$program" ] || { echo "grade-peers: $bin/$program is not built" >&2; exit 1; }
done
mkdir -p "$out"

# One thread everywhere.
export VIPS_CONCURRENCY=1 OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MAGICK_THREAD_LIMIT=1
bin=$(cd "$bin" && pwd)
peer="$python $PWD/scripts/peer_filter.py"

# name<TAB>what the README calls it<TAB>command
filters() {
    cat <<EOF2
specblur	specblur	$bin/specblur {in} {r} {bias} {out}
convblur	convblur	$bin/convblur {in} {r} {bias} {out}
vips	vips gaussblur (defaults)	vips gaussblur {in} {out} {sigma}
vips-float	vips gaussblur --precision float --min-ampl 0.001	vips gaussblur {in} {out}.v {sigma} --precision float --min-ampl 0.001 && vips round {out}.v {out}.r.v rint && vips cast {out}.r.v {out} \$(test {bits} = 8 && echo uchar || echo ushort) && rm -f {out}.v {out}.r.v
magick	ImageMagick -gaussian-blur 0x{sigma}	convert {in} -limit thread 1 -gaussian-blur 0x{sigma} {out}
scipy	scipy.ndimage.gaussian_filter (float64, rounded)	$peer scipy {sigma} {in} {out}
opencv	OpenCV GaussianBlur (ksize from sigma)	$peer opencv {sigma} {in} {out}
EOF2
}

tab=$(printf '\t')
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
{
    printf 'name\tfilter\tmax16_0.7\tmax16_1\tmax16_2\tmax16_4\tmax8_0.7\tmax8_1\tmax8_2\tmax8_4'
    printf '\tdc16_0.5\tdc8_0.5\ts_per_mp\tverdict16\tverdict8\n'
    filters | while IFS="$tab" read -r name label command; do
        echo "grade-peers: $label" >&2
        "$bin/blurgrade" "$command" "$out/$name" >"$out/$name.txt"
        tsv="$out/$name/report.tsv"
        # field of report.tsv: bits, r, column number
        at() { awk -F "$tab" -v b="$1" -v r="$2" -v c="$3" '$1 == b && $2 == r { print ($c == "" ? "-" : $c) }' "$tsv"; }
        verdict() { sed -n "s/^$1 bits: //p" "$out/$name.txt"; }
        mp=$(sed -n 's/.*(\([0-9.]*\) s per megapixel).*/\1/p' "$out/$name.txt")
        printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$label" \
            "$(at 16 0.7 4)" "$(at 16 1 4)" "$(at 16 2 4)" "$(at 16 4 4)" \
            "$(at 8 0.7 4)" "$(at 8 1 4)" "$(at 8 2 4)" "$(at 8 4 4)" \
            "$(at 16 0.5 7)" "$(at 8 0.5 7)" "$mp" "$(verdict 16)" "$(verdict 8)"
    done
} >"$out/peers.tsv"

# The README's table.
echo "Graded $(date -u '+%Y-%m-%d %H:%M') UTC on $cpu, one thread per filter:"
echo
echo '| filter | 16 bits: max \|d\| at r = 0.7 | 1 | 2 | 4 | 8 bits: at 0.7 | 1 | 2 | 4 | DC gain at r = 0.5 (16 / 8 bits) | s per megapixel |'
echo '|---|---|---|---|---|---|---|---|---|---|---|'
awk -F "$tab" 'NR > 1 {
    printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s / %s | %s |\n", $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13
}' "$out/peers.tsv" | sed 's/{sigma}/σ/'
echo
awk -F "$tab" 'NR > 1 { printf "%s: 16 bits %s; 8 bits %s\n", $2, $14, $15 }' "$out/peers.tsv"

[ "$png" = - ] && exit 0
command -v gnuplot >/dev/null 2>&1 || exit 0
plots() {
    first=1
    filters | while IFS="$tab" read -r name label command; do
        [ "$first" ] || printf ', \\\n'
        first=
        printf '"%s" using ($1 == %s && strcol(9) eq "ok" ? $2 : 1/0):($4 + 0.01) with linespoints title "%s"' \
            "$out/$name/report.tsv" "$1" "$name"
    done
    echo
}
gnuplot <<EOF3
set terminal pngcairo size 900,380 font ",9"
set output "$png"
set datafile separator "\t"
set logscale xy
set yrange [0.005:*]
set grid
set key top left font ",8"
set xlabel "Gaussian radius r = sqrt(2) sigma (pixels)"
set ylabel "interior max |d| (+0.01)"
set multiplot layout 1,2 title "blurgrade: each filter's largest error against the exact blur"
set title "16 bits (60000 above 1000)"
plot $(plots 16)
set title "8 bits (200 above 20)"
plot $(plots 8)
unset multiplot
EOF3
echo "grade-peers: $out/peers.tsv and $png" >&2
