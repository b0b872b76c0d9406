#!/bin/sh
# Makes a viewable 8-bit PNG of a greyscale TIFF image: the image's own
# sample range (lowest to highest sample) is stretched to black .. white.
# A 16-bit result holding 100 .. 1100 looks black in an ordinary viewer,
# which maps 0 .. 65535; this shows it.
#
#   sh scripts/view.sh IN.tif OUT.png [LOW HIGH]
#
# LOW and HIGH, when given, fix the sample values shown as black and white
# instead (for several images on one scale).  Needs libvips' command-line
# tools (Debian package libvips-tools; installed when missing) or
# ImageMagick's convert.
set -eu
if [ $# -ne 2 ] && [ $# -ne 4 ]; then
    echo "usage: sh scripts/view.sh IN.tif OUT.png [LOW HIGH]" >&2
    exit 1
fi
in="$1" png="$2"
[ -r "$in" ] || { echo "view: $in cannot be read" >&2; exit 1; }

if command -v vips >/dev/null 2>&1; then
    if [ $# -eq 4 ]; then
        low="$3" high="$4"
    else
        low=$(vips min "$in")
        high=$(vips max "$in")
    fi
    # out = (in - low) * 255 / (high - low), clipped to 0 .. 255.
    awk -v lo="$low" -v hi="$high" 'BEGIN { exit !(hi > lo) }' || high=$(awk -v lo="$low" 'BEGIN { print lo + 1 }')
    scale=$(awk -v lo="$low" -v hi="$high" 'BEGIN { printf "%.10g", 255 / (hi - lo) }')
    offset=$(awk -v lo="$low" -v s="$scale" 'BEGIN { printf "%.10g", -lo * s }')
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    vips linear -- "$in" "$tmp/scaled.v" "$scale" "$offset"
    vips cast "$tmp/scaled.v" "$tmp/cast.v" uchar
    vips copy "$tmp/cast.v" "$tmp/grey.v" --interpretation b-w
    vips pngsave "$tmp/grey.v" "$png" --bitdepth 8
elif command -v convert >/dev/null 2>&1 && convert -version 2>/dev/null | grep -q ImageMagick; then
    if [ $# -eq 4 ]; then
        # -level in per cent of the largest sample of the file's depth.
        top=$(( (1 << $(identify -format %z "$in")) - 1 ))
        convert "$in" -level "$(awk -v v="$3" -v t="$top" 'BEGIN { print 100 * v / t }')%,$(awk -v v="$4" -v t="$top" 'BEGIN { print 100 * v / t }')%" -depth 8 "$png"
    else
        convert "$in" -auto-level -depth 8 "$png"
    fi
else
    BLUR_EXTRA_PACKAGES=libvips-tools sh "$(dirname "$0")/install-deps.sh"
    exec sh "$0" "$@"
fi
