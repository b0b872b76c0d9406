#!/bin/sh
# Makes docs/demo.png from the images of the main job (scripts/demo.sh): the
# phantom and both filter results in the top row, the exact blur and the two
# difference maps (filter result minus exact blur) below them.
#
# Run at documentation time only; it needs libvips' command-line tools
# (Debian package libvips-tools), which it installs when they are missing.
#
#   sh scripts/picture.sh [DEMO_DIR [OUTPUT.png]]
#
# Grey levels: the images map bias - value/10 .. bias + 1.1 value to black ..
# white; the difference maps show 0 as mid grey and +-GAIN_RANGE sample units
# as white and black, clipped beyond.
set -eu
cd "$(dirname "$0")/.."
in="${1:-out}"
png="${2:-docs/demo.png}"
range="${GAIN_RANGE:-20}"

if ! command -v vips >/dev/null 2>&1; then
    BLUR_EXTRA_PACKAGES=libvips-tools sh scripts/install-deps.sh
fi
for f in disk exact fft conv; do
    if [ ! -f "$in/$f.tif" ]; then
        echo "picture: $in/$f.tif is missing; run scripts/demo.sh first" >&2
        exit 1
    fi
done

# The levels of the phantom: its description holds -bias and the value of
# the largest sample; the lowest and the highest sample give the levels.
bias=$(vips min "$in/disk.tif")
top=$(vips max "$in/disk.tif")
value=$(awk -v a="$bias" -v b="$top" 'BEGIN { print b - a }')

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Panel: an image scaled to 8 bits in a thin black frame, with a caption
# above it.
panel() { # name caption scale offset
    vips linear "$tmp/$1.v" "$tmp/$1-l.v" "$3" "$4" --uchar
    w=$(vipsheader -f width "$tmp/$1-l.v")
    h=$(vipsheader -f height "$tmp/$1-l.v")
    vips embed "$tmp/$1-l.v" "$tmp/$1-8.v" 2 2 $((w + 4)) $((h + 4)) --extend black
    vips text "$tmp/$1-t.v" "$2" --dpi 110
    width=$(vipsheader -f width "$tmp/$1-8.v")
    vips embed "$tmp/$1-t.v" "$tmp/$1-c.v" 6 6 "$width" 30 --extend black
    vips invert "$tmp/$1-c.v" "$tmp/$1-ci.v"
    vips join "$tmp/$1-ci.v" "$tmp/$1-8.v" "$tmp/$1-p.v" vertical
}

low=$(awk -v b="$bias" -v v="$value" 'BEGIN { print b - v / 10 }')
scale=$(awk -v v="$value" 'BEGIN { print 255 / (1.2 * v) }')
offset=$(awk -v l="$low" -v s="$scale" 'BEGIN { print -l * s }')
for f in disk exact fft conv; do
    vips cast "$in/$f.tif" "$tmp/$f.v" float
done
vips subtract "$tmp/fft.v" "$tmp/exact.v" "$tmp/dfft.v"
vips subtract "$tmp/conv.v" "$tmp/exact.v" "$tmp/dconv.v"

dscale=$(awk -v r="$range" 'BEGIN { print 127.5 / r }')
panel disk "phantom (diskblur)" "$scale" "$offset"
panel fft "specblur" "$scale" "$offset"
panel conv "convblur" "$scale" "$offset"
panel exact "exact blur (diskblur)" "$scale" "$offset"
panel dfft "specblur - exact, +-$range" "$dscale" 127.5
panel dconv "convblur - exact, +-$range" "$dscale" 127.5

vips arrayjoin "$tmp/disk-p.v $tmp/fft-p.v $tmp/conv-p.v $tmp/exact-p.v $tmp/dfft-p.v $tmp/dconv-p.v" \
    "$tmp/all.v" --across 3 --shim 8 --background 255
mkdir -p "$(dirname "$png")"
vips pngsave "$tmp/all.v" "$png" --compression 9 --strip
echo "picture: $png"
