#!/bin/sh
# Fuzzes the TIFF reader for SECONDS seconds (default 60) with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer; exits non-zero when an
# input crashes, leaks, hangs or exhausts memory.  Needs clang and
# libclang-rt (scripts/install-deps.sh).  Crash inputs are left in
# build-fuzz/artifacts/ and should become regression tests.
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build-fuzz
cxx="${FUZZ_CXX:-clang++}"
mkdir -p "$out/corpus" "$out/seeds" "$out/artifacts"

flags="-std=c++20 -g -O1 -Iimagefile -Icommon -Itests/rif -Itests/support"
"$cxx" $flags -o "$out/make_seeds" tests/fuzz/make_seeds.cpp imagefile/sif.cpp imagefile/error.cpp
"$out/make_seeds" "$out/seeds"

sanitize="-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
"$cxx" $flags $sanitize -o "$out/rif_fuzz" tests/fuzz/rif_fuzz.cpp imagefile/rif.cpp imagefile/error.cpp \
    common/memlimit.cpp

# Each input is written to this file for the reader.
RIF_FUZZ_FILE="$(mktemp /dev/shm/rif_fuzz.XXXXXX 2>/dev/null || mktemp)"
export RIF_FUZZ_FILE
trap 'rm -f "$RIF_FUZZ_FILE"' EXIT

# The target's own messages (one per refused file) go nowhere; libFuzzer
# keeps its report on the original standard error.
"$out/rif_fuzz" "$out/corpus" "$out/seeds" \
    -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=3072 \
    -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$out/artifacts/"
