#!/bin/sh
# The main job: build the suite, make a disk phantom with its exact blur,
# smooth the phantom with both filters (same radius, same bias), set each
# result beside the exact blur and print a table of times and errors; then a
# smaller case with a sphere volume and its exact blurred slices.
#
# Environment:
#   DEMO_DIR   directory for the images and the tables (default: out, in the
#              top directory of the repository)
#   DEMO_BIN   directory of programs already built; skips the set-up and
#              the build (the test suite uses it)
#   DEMO_CASE  default | small (a quick case for the test suite)
set -eu
cd "$(dirname "$0")/.."

programs="diskblur ballblur specblur convblur imgcompare"
if [ -z "${DEMO_BIN:-}" ]; then
    sh scripts/install-deps.sh
    # Only the programs are built; the build's output is shown when it fails.
    mkdir -p build
    log=build/demo-build.log
    { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release &&
        cmake --build build -j "$(nproc)" --target $programs; } >"$log" 2>&1 ||
        { cat "$log" >&2; exit 1; }
    bin=build/bin
else
    bin="$DEMO_BIN"
fi
for program in $programs; do
    if [ ! -x "$bin/$program" ]; then
        echo "demo: $bin/$program is not built" >&2
        exit 1
    fi
done

out="${DEMO_DIR:-out}"
mkdir -p "$out"

# Case parameters.  The disk reaches beyond the right border on purpose:
# there the exact blur still sees the disk outside the image, the filters see
# the background, so the border band shows how each filter treats what lies
# outside the image.  Its width is a power of two, so the frequency-domain
# filter wraps the right border directly onto the left one; its height is
# padded.  The interior leaves a band of 4 Gaussian radii out at each border.
case "${DEMO_CASE:-default}" in
default)
    nx=512 ny=384 ox=439.5 oy=189.5 r=110 value=1000 bias=100 l=4 margin=16
    bx=96 by=96 bz=49 bo=48 boz=24 br=24 bl=3 bmargin=12
    ;;
small)
    nx=128 ny=96 ox=110.5 oy=45.5 r=30 value=1000 bias=100 l=3 margin=12
    bx=40 by=40 bz=25 bo=20 boz=12 br=12 bl=2 bmargin=8
    ;;
*)
    echo "demo: DEMO_CASE is default or small" >&2
    exit 1
    ;;
esac

now() { date +%s.%N; }
# Seconds since $1, to the millisecond.
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }

# Runs a program; a message on standard error other than the expected
# warning of a phantom that reaches beyond the image is shown.
run() {
    log="$out/stderr.log"
    "$@" 2>"$log" || { cat "$log" >&2; exit 1; }
    grep -v 'is out of image (warning)\.$' "$log" >&2 || true
}

# One row of the table: label, seconds, and the whole and interior lines of
# imgcompare A B margin.
row() {
    label="$1" seconds="$2"
    "$bin/imgcompare" "$3" "$4" "$5" | awk -v label="$label" -v t="$seconds" '
        $1 == "whole"    { w = sprintf("%8d %9.4f %8.4f", $4, $5, $6) }
        $1 == "interior" { i = sprintf("%8d %9.4f %8.4f", $4, $5, $6) }
        END { printf "%-10s %7s   %s   %s\n", label, t, w, i }'
}

heads() {
    printf '%-10s %7s   %-27s   %s\n' "" "" "whole image" "interior (margin $1)"
    printf '%-10s %7s   %8s %9s %8s   %8s %9s %8s\n' "$2" "time/s" \
        "max |d|" "mean |d|" "rms d" "max |d|" "mean |d|" "rms d"
}

# --- Case 1: a disk, its exact blur and the two filters --------------------
t=$(now)
run "$bin/diskblur" $nx $ny $ox $oy $r $value $bias $l "$out/disk.tif" "$out/exact.tif"
tdisk=$(since "$t")
t=$(now)
run "$bin/specblur" "$out/disk.tif" $l $bias "$out/fft.tif"
tfft=$(since "$t")
t=$(now)
run "$bin/convblur" "$out/disk.tif" $l $bias "$out/conv.tif"
tconv=$(since "$t")

{
    echo "Disk: $nx x $ny pixels, centre ($ox, $oy), radius $r, value $value on a"
    echo "background of $bias, Gaussian radius $l; each image beside the exact blur"
    echo "(differences in sample units, d = image - exact; the time of exact is that"
    echo "of diskblur making the phantom and its exact blur)."
    echo
    heads $margin "image"
    row exact "$tdisk" "$out/exact.tif" "$out/exact.tif" $margin
    row specblur "$tfft" "$out/fft.tif" "$out/exact.tif" $margin
    row convblur "$tconv" "$out/conv.tif" "$out/exact.tif" $margin
    row phantom - "$out/disk.tif" "$out/exact.tif" $margin
} >"$out/table.txt"

# --- Case 2: a sphere volume and its exact blurred slices -------------------
# The central slice of the sphere is the disk of the same radius, drawn by
# the same rule; its exact 3-D blur is set beside the exact 2-D blur of that
# disk, which it approaches as the Gaussian radius becomes small beside the
# sphere's.
mkdir -p "$out/sphere" "$out/sphere-exact"
rm -f "$out"/sphere/*.tif "$out"/sphere-exact/*.tif
t=$(now)
run "$bin/ballblur" $bx $by $bz $bo $bo $boz $br $value $bias $bl "$out/sphere" "$out/sphere-exact"
tball=$(since "$t")
t=$(now)
run "$bin/diskblur" $bx $by $bo $bo $br $value $bias $bl "$out/section.tif" "$out/section-exact.tif"
tsection=$(since "$t")
slice=$(ls "$out/sphere" | sed -n "$((boz + 1))p")
slices=$(ls "$out/sphere" | wc -l)
{
    echo "Sphere: $bx x $by x $bz voxels, centre ($bo, $bo, $boz), radius $br, value $value"
    echo "on a background of $bias, Gaussian radius $bl; $slices + $slices slices in ${tball} s."
    echo "Central slice sphere/$slice beside the disk of the same radius (diskblur, ${tsection} s)."
    echo
    heads $bmargin "slice"
    row sphere - "$out/sphere/$slice" "$out/section.tif" $bmargin
    row 3-D-blur - "$out/sphere-exact/$slice" "$out/section-exact.tif" $bmargin
} >"$out/volume.txt"

rm -f "$out/stderr.log"
cat "$out/table.txt"
echo
cat "$out/volume.txt"
echo
echo "Images in $out/: disk.tif, exact.tif, fft.tif, conv.tif; sphere slices in"
echo "$out/sphere/ and $out/sphere-exact/.  scripts/picture.sh makes the picture."
