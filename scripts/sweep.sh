#!/bin/sh
# The accuracy sweep: a grid of disk phantoms (Gaussian radius L from 0.05 to
# 16, three disk radii, 8 and 16 bits) run through diskblur, then specblur
# and convblur with the same radius and bias, each result set beside the
# exact blur (and the two beside each other) with imgcompare; diskblur's own
# blurred image is set beside the blur of the ideal disk computed by
# quadrature (scripts/accuracy.py).  The filters on a smooth input are
# graded by blurgrade over the same radii (its one disk, so the same figures
# stand in the rows of every disk radius).  Writes a TSV and draws the
# picture.
#
#   sh scripts/sweep.sh [BIN_DIR [OUT_DIR]]
#
# BIN_DIR defaults to build/bin, OUT_DIR to out/sweep.  Writes
# OUT_DIR/accuracy.tsv, OUT_DIR/kernel-sums.tsv and, with gnuplot,
# docs/accuracy.png with copies of both tables beside it (ACCURACY_PNG
# overrides the path; ACCURACY_PNG=- skips the picture and the copies).  Jobs run in parallel, one per processor.  Needs libvips'
# command-line tools and gnuplot (Debian: libvips-tools gnuplot-nox), which
# it installs through scripts/install-deps.sh when they are missing; they are
# documentation tools only, not needed to build or test the suite.
set -eu
cd "$(dirname "$0")/.."
bin="${1:-build/bin}"
out="${2:-out/sweep}"
png="${ACCURACY_PNG:-docs/accuracy.png}"

need=""
command -v vips >/dev/null 2>&1 || need="$need libvips-tools"
[ "$png" = - ] || command -v gnuplot >/dev/null 2>&1 || need="$need gnuplot-nox"
[ -z "$need" ] || BLUR_DOC_DEPS=1 sh scripts/install-deps.sh
for program in diskblur specblur convblur imgcompare blurgrade; do
    [ -x "$bin/$program" ] || { echo "sweep: $bin/$program is not built" >&2; exit 1; }
done
mkdir -p "$out"

# One grid point: bits, disk radius R, Gaussian radius L.  The image holds
# the disk and 5 L of blur around it; the disk is centred on a pixel corner.
# Prints one TSV line.
job() {
    bits=$1 r=$2 l=$3
    if [ "$bits" = 8 ]; then bias=20 value=200; else bias=1000 value=60000; fi
    n=$(awk -v r="$r" -v l="$l" 'BEGIN { n = 2 * int(r + 5 * l + 1) + 2; print n < 32 ? 32 : n }')
    c=$(awk -v n="$n" 'BEGIN { print (n - 1) / 2 }')
    margin=$(awk -v l="$l" 'BEGIN { m = int(l + 0.999); print m < 1 ? 1 : m }')
    dir="$out/b$bits-R$r-L$l"
    mkdir -p "$dir"
    "$bin/diskblur" "$n" "$n" "$c" "$c" "$r" "$value" "$bias" "$l" "$dir/disk.tif" "$dir/exact.tif"
    "$bin/specblur" "$dir/disk.tif" "$l" "$bias" "$dir/fft.tif"
    "$bin/convblur" "$dir/disk.tif" "$l" "$bias" "$dir/conv.tif"
    # interior: max |d|, rms d, mean d
    inner() { "$bin/imgcompare" "$1" "$2" "$margin" | awk '$1 == "interior" { printf "%s\t%s\t%s", $4, $6, $7 }'; }
    fft=$(inner "$dir/fft.tif" "$dir/exact.tif")
    conv=$(inner "$dir/conv.tif" "$dir/exact.tif")
    both=$(inner "$dir/fft.tif" "$dir/conv.tif")
    # The filters' own error, without the phantom's pixel sampling, as
    # blurgrade found it on its smooth input (graded before the grid).
    graded() { awk -F "$(printf '\t')" -v b="$bits" -v l="$l" '$1 == b && $2 == l { printf "%s\t%s\t%s", $4, $5, $6 }' "$out/grade-$1/report.tsv"; }
    sfft=$(graded specblur)
    sconv=$(graded convblur)
    vips csvsave "$dir/exact.tif" "$dir/exact.csv"
    table=$(python3 scripts/accuracy.py disk "$dir/exact.csv" "$c" "$c" "$r" "$value" "$bias" "$l" "$bits")
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$bits" "$r" "$l" "$n" "$margin" \
        "$fft" "$conv" "$both" "$table" "$sfft" "$sconv"
    rm -rf "$dir"
}

if [ "${SWEEP_JOB:-}" ]; then
    # shellcheck disable=SC2086
    job $SWEEP_JOB
    exit 0
fi

radii="${SWEEP_L:-0.05 0.1 0.2 0.3 0.5 0.7 1 1.5 2 3 4 6 8 11 16}"
disks="${SWEEP_R:-4 16 48}"
# The smooth-input grades: a smooth input filtered with radius L must give
# the exact blur at sqrt(L0^2 + L^2), since Gaussian radii add in quadrature.
list=$(echo $radii | tr ' ' ',')
"$bin/blurgrade" "$bin/specblur {in} {r} {bias} {out}" "$out/grade-specblur" "$list" >/dev/null
"$bin/blurgrade" "$bin/convblur {in} {r} {bias} {out}" "$out/grade-convblur" "$list" >/dev/null
tsv="$out/accuracy.tsv"
{
    printf 'bits\tR\tL\tsize\tmargin\tfft_max\tfft_rms\tfft_mean\tconv_max\tconv_rms\tconv_mean'
    printf '\tfft_conv_max\tfft_conv_rms\tfft_conv_mean\ttable_max\ttable_rms\ttable_misrounded'
    printf '\tsmooth_fft_max\tsmooth_fft_rms\tsmooth_fft_mean\tsmooth_conv_max\tsmooth_conv_rms\tsmooth_conv_mean\n'
    for bits in 8 16; do
        for r in $disks; do
            for l in $radii; do echo "$bits $r $l"; done
        done
    done | xargs -P "$(nproc)" -I{} env SWEEP_JOB={} sh "$PWD/scripts/sweep.sh" "$bin" "$out" | sort -t "$(printf '\t')" -k1,1n -k2,2n -k3,3g
} >"$tsv.tmp"
mv "$tsv.tmp" "$tsv"

# The direct filter's kernel sums (independent sums) and what they do to a
# flat 16-bit image of 1000 (measured through convblur).
sums="$out/kernel-sums.tsv"
{
    printf 'r\th\tsum\tflat1000\n'
    diskblur=$bin/diskblur
    "$diskblur" 64 64 31.5 31.5 1 0 1000 1 "$out/flat.tif" - 2>/dev/null
    python3 scripts/accuracy.py kernelsums 16 0.25 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1 1.5 2 |
        while IFS="$(printf '\t')" read -r r h sum; do
            "$bin/convblur" "$out/flat.tif" "$r" "$out/flat-out.tif"
            flat=$(vips getpoint "$out/flat-out.tif" 32 32 | tr -d " ")
            printf '%s\t%s\t%s\t%s\n' "$r" "$h" "$sum" "$flat"
        done
    rm -f "$out/flat.tif" "$out/flat-out.tif"
} >"$sums"

cat "$tsv"
echo
cat "$sums"

[ "$png" = - ] && exit 0
# One panel of the picture: the curves of the disk of radius 16 at BITS bits.
#   panel BITS TITLE
panel() {
    cat <<EOF
set title "$2"
plot "$tsv" using (\$1==$1 && \$2==16 ? \$3 : 1/0):(\$18+0.01) with linespoints title "specblur max |d|", \
     "" using (\$1==$1 && \$2==16 ? \$3 : 1/0):(\$19+0.01) with linespoints title "specblur rms d", \
     "" using (\$1==$1 && \$2==16 ? \$3 : 1/0):(\$21+0.01) with linespoints title "convblur max |d|", \
     "" using (\$1==$1 && \$2==16 ? \$3 : 1/0):(\$22+0.01) with linespoints title "convblur rms d", \
     "" using (\$1==$1 && \$2==16 ? \$3 : 1/0):(\$12+0.01) with linespoints title "specblur vs convblur max |d| (disk phantom)", \
     "" using (\$1==$1 && \$2==16 ? \$3 : 1/0):(\$15+0.01) with linespoints title "diskblur table max error", \
     "" using (\$1==$1 && \$2==16 ? \$3 : 1/0):(\$6+0.01) with linespoints title "specblur max |d| on the point-sampled disk"
EOF
}
gnuplot <<EOF
set terminal pngcairo size 1200,480 font ",10"
set output "$png"
set datafile separator "\t"
set logscale xy
set xrange [0.04:20]
set key top right font ",8"
set grid
set xlabel "Gaussian radius L (samples)"
set ylabel "sample units"
set multiplot layout 1,2 title "Interior error against the exact blur, in sample units (+0.01 to show 0): disk of radius 16; filters on blurgrade's smooth input (exact blur at L0 = 12)"
$(panel 8 "8 bits: 200 above 20")
$(panel 16 "16 bits: 60000 above 1000")
unset multiplot
EOF
# The tables beside the picture, for the figures the documentation quotes.
cp "$tsv" "$(dirname "$png")/accuracy.tsv"
cp "$sums" "$(dirname "$png")/kernel-sums.tsv"
echo "sweep: $tsv, $sums, $png and the two tables beside it"
