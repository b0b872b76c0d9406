#!/bin/sh
# Installs what a cross build for ARCH (arm64 or s390x) needs: Debian's
# cross compiler and qemu-user on the host, and a target root in
# build-cross/sysroot-ARCH unpacked from the target's own .deb files (the C
# and C++ runtimes, GSL, GoogleTest, libtiff and everything they load).
# The target's -dev packages do not all install beside their amd64 selves,
# and a foreign archive can lag the host's security updates, so the target
# libraries are unpacked rather than installed.  Needs root (dpkg and
# apt-get) the first time; a root already unpacked is kept.
set -eu
cd "$(dirname "$0")/.."
arch="$1"
case "$arch" in
arm64) triplet=aarch64-linux-gnu ;;
s390x) triplet=s390x-linux-gnu ;;
*)
    echo "cross-deps: ARCH is arm64 or s390x" >&2
    exit 1
    ;;
esac
BLUR_EXTRA_PACKAGES="g++-$triplet qemu-user" sh scripts/install-deps.sh

root="build-cross/sysroot-$arch"
[ -f "$root/.complete" ] && exit 0
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
    apt-get update -qq
fi
apt-cache show "libgsl27:$arch" >/dev/null 2>&1 || apt-get update -qq

# The dependency closure of the roots among the target's own packages,
# without the C library's development files (the cross compiler brings its
# own) and what only they pull in.
roots="libc6 libstdc++6 libgcc-s1 libgsl-dev libgtest-dev libtiff-dev"
skip=" libc6-dev libc-dev linux-libc-dev libcrypt-dev libnsl-dev libtirpc-dev "
todo="$roots"
seen=" "
while [ -n "$todo" ]; do
    level=""
    for p in $todo; do
        case "$seen$skip" in *" $p "*) continue ;; esac
        seen="$seen$p "
        level="$level $p:$arch"
    done
    [ -n "$level" ] || break
    # Virtual names (<googletest> for libgtest-dev) are not followed: their
    # providers hold sources only.
    todo="$(apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances $level |
        sed -n "s/^ *|\{0,1\}\(Pre\)\{0,1\}Depends: \([^:<> ]*\)\(:$arch\)\{0,1\}$/\2/p")"
done

rm -rf "$root" "build-cross/debs-$arch"
mkdir -p "$root" "build-cross/debs-$arch"
packages=""
for p in $seen; do packages="$packages $p:$arch"; done
# apt's download user cannot write here; root downloads, with a warning
# that says so.
(cd "build-cross/debs-$arch" && apt-get download -qq $packages 2>&1 | grep -v unsandboxed) || true
for p in $seen; do
    if ! ls "build-cross/debs-$arch/${p}_"*.deb >/dev/null 2>&1; then
        echo "cross-deps: $p:$arch was not downloaded" >&2
        exit 1
    fi
done
for deb in "build-cross/debs-$arch"/*.deb; do
    dpkg-deb -x "$deb" "$root"
done
# Debian 12's library links are absolute (/lib/...); inside the root they
# must point into it.
find "$root" -type l -lname '/*' | while read -r link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$root$(readlink "$link")")" "$link"
done
touch "$root/.complete"
echo "cross-deps: $root holds: $(ls "build-cross/debs-$arch" | sed 's/_.*//' | tr '\n' ' ')"
