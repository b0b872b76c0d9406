#!/bin/sh
# Fuzzes the image-file library with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer: the reader (tests/fuzz/rif_fuzz.cpp) and the
# writer-to-reader round trip (tests/fuzz/roundtrip_fuzz.cpp), SECONDS
# seconds each (default 60), one after the other.  Each target starts from
# the committed corpus in tests/fuzz/corpus/<target>/ (the reader's also
# from the generated seeds); what it finds goes to build-fuzz/corpus/<target>/.
# Exits non-zero when an input crashes, leaks, hangs or exhausts memory.
# Needs clang and libclang-rt (scripts/install-deps.sh).  Crash inputs are
# left in build-fuzz/artifacts/ and should become regression tests.
#
# To grow the committed corpus after a longer run:
#   build-fuzz/rif_fuzz -merge=1 tests/fuzz/corpus/rif build-fuzz/corpus/rif
set -eu
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build-fuzz
cxx="${FUZZ_CXX:-clang++}"
mkdir -p "$out/seeds" "$out/artifacts"

# The library's sources as its CMakeLists.txt names them.
writer=$(cmake -DLIST=WRITER -P imagefile/sources.cmake)
reader=$(cmake -DLIST=READER -P imagefile/sources.cmake)
flags="-std=c++20 -g -O1 -Iimagefile/include -Iimagefile -Icommon -Itests/rif -Itests/fuzz -Itests/support"
"$cxx" $flags -o "$out/make_seeds" tests/fuzz/make_seeds.cpp $writer common/error.cpp
"$out/make_seeds" "$out/seeds"

sanitize="-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
"$cxx" $flags $sanitize -o "$out/rif_fuzz" tests/fuzz/rif_fuzz.cpp $reader common/error.cpp \
    common/memlimit.cpp
"$cxx" $flags $sanitize -o "$out/roundtrip_fuzz" tests/fuzz/roundtrip_fuzz.cpp $reader $writer \
    common/error.cpp common/memlimit.cpp

# Each input is written to this file (the reader and the writer take a path).
RIF_FUZZ_FILE="$(mktemp /dev/shm/rif_fuzz.XXXXXX 2>/dev/null || mktemp)"
export RIF_FUZZ_FILE
trap 'rm -f "$RIF_FUZZ_FILE"' EXIT

# The targets' own messages (one per refused file) go nowhere; libFuzzer
# keeps its report on the original standard error.
run() {
    target="$1"
    shift
    mkdir -p "$out/corpus/$target"
    "$out/${target}_fuzz" "$out/corpus/$target" "tests/fuzz/corpus/$target" "$@" \
        -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=3072 \
        -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$out/artifacts/${target}-"
}
run rif "$out/seeds"
run roundtrip
