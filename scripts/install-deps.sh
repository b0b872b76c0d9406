#!/bin/sh
# Installs the Debian packages the suite needs to build, test and benchmark,
# when they are missing.  Needs root (apt-get).  BLUR_DOC_DEPS=1 adds the
# documentation tools (libvips' command-line tools and gnuplot, for
# scripts/sweep.sh, scripts/view.sh and the pictures; ImageMagick, SciPy and
# OpenCV's Python module, the peers that scripts/grade-peers.sh grades); the
# build and the tests never need them.
set -eu
packages="g++ cmake make pkg-config libgtest-dev libbenchmark-dev libgsl-dev libtiff-dev libtiff-tools libfftw3-dev man-db time python3 clang libclang-rt-14-dev"
[ "${BLUR_DOC_DEPS:-}" ] && packages="$packages libvips-tools gnuplot-nox imagemagick python3-scipy python3-opencv"
[ "${BLUR_EXTRA_PACKAGES:-}" ] && packages="$packages $BLUR_EXTRA_PACKAGES"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "installing:$missing"
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps: missing packages need root: apt-get install$missing" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
fi
