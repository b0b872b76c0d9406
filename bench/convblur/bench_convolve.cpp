// Speed of the convolution core on in-memory 16-bit images, in multiply-adds
// per second, beside this processor's double-precision multiply-add peak
// measured by a small register-only kernel.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBLUR_BENCH=ON
//   cmake --build build-bench --target bench_convolve
//   build-bench/bin/bench_convolve
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "convolve.hpp"
#include "dispatch.hpp"

namespace {

constexpr std::int32_t kBits = 16;

// Multiply-adds of the convolution: per axis, the clipped window lengths
// summed over the output positions; the 2-D count is their product.
double WindowTerms(std::int32_t size, std::int32_t h)
{
    double terms = 0;
    for (std::int32_t x = 0; x < size; ++x) terms += std::min(x + h, size) - std::max(0, x - h + 1);
    return terms;
}

// Arguments: code path, image size, radius.  Radius 0 stands for r = 0.25,
// whose window is the one centre sample: its time is the fixed cost of a
// call (working copy, kernel, rounding and storing), to be taken off the
// other times for the rate of the convolution loop proper.
void BM_Convolve(benchmark::State& state)
{
    const auto path = static_cast<CodePath>(state.range(0));
    const auto size = static_cast<std::int32_t>(state.range(1));
    const double radius = state.range(2) == 0 ? 0.25 : static_cast<double>(state.range(2));
    if (!SelectCodePath(path)) {
        state.SkipWithError("code path not supported here");
        return;
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(0, 65535);
    std::vector<std::uint16_t> pixels(static_cast<std::size_t>(size) * size);
    for (auto& p : pixels) p = static_cast<std::uint16_t>(sample(random));
    std::vector<std::uint16_t*> rows(size);
    std::vector<std::uint16_t> image = pixels;
    for (std::int32_t y = 0; y < size; ++y) rows[y] = image.data() + std::size_t(y) * size;
    for (auto _ : state) {
        state.PauseTiming();
        image = pixels;
        state.ResumeTiming();
        ConvolveImage(rows.data(), size, size, kBits, radius, 1000.0);
        benchmark::ClobberMemory();
    }
    const std::int32_t h = KernelHalfWidth(radius, kBits, size);
    const double terms = WindowTerms(size, h) * WindowTerms(size, h);
    state.counters["madd/s"] =
        benchmark::Counter(terms, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["h"] = h;
}

// Peak: many independent multiply-add chains that never leave the registers.
template <class V, int N>
[[gnu::always_inline]] inline double Peak(std::int64_t rounds, double seed)
{
    V acc[N];
#pragma GCC unroll 32
    for (int i = 0; i < N; ++i) acc[i] = V{} + (seed + i);
    const V m = V{} + 0.999999;
    const V a = V{} + 1e-7;
    for (std::int64_t r = 0; r < rounds; ++r) {
#pragma GCC unroll 32
        for (int i = 0; i < N; ++i) acc[i] = acc[i] * m + a;
    }
    V total{};
#pragma GCC unroll 32
    for (int i = 0; i < N; ++i) total += acc[i];
    return total[0];
}

using Vec2 = double __attribute__((vector_size(16)));
using Vec4 = double __attribute__((vector_size(32)));
using Vec8 = double __attribute__((vector_size(64)));
using PeakFunction = double (*)(std::int64_t);

double PeakPortable(std::int64_t rounds)
{
    return Peak<Vec2, 8>(rounds, 1.0);
}

BLUR_BUILD_AVX2_FMA double PeakAvx2(std::int64_t rounds)
{
    return Peak<Vec4, 12>(rounds, 1.0);
}

BLUR_BUILD_AVX512 double PeakAvx512(std::int64_t rounds)
{
    return Peak<Vec8, 24>(rounds, 1.0);
}

constexpr CodeBuilds<PeakFunction> kPeaks = {PeakPortable, BLUR_X86_BUILD(PeakAvx2),
                                             BLUR_X86_BUILD(PeakAvx512)};

void BM_FmaPeak(benchmark::State& state)
{
    const auto path = static_cast<CodePath>(state.range(0));
    if (!ProcessorRuns(path)) {
        state.SkipWithError("code path not supported here");
        return;
    }
    constexpr std::int64_t kRounds = 1 << 20;
    for (auto _ : state) benchmark::DoNotOptimize(kPeaks.For(path)(kRounds));
    // Multiply-adds per round: chains times lanes.
    const int perRound = path == CodePath::kAvx512 ? 24 * 8
                         : path == CodePath::kAvx2 ? 12 * 4
                                                   : 8 * 2;
    const double madds = double(kRounds) * perRound;
    state.counters["madd/s"] =
        benchmark::Counter(madds, benchmark::Counter::kIsIterationInvariantRate);
}

constexpr int kPortable = static_cast<int>(CodePath::kPortable);
constexpr int kAvx2 = static_cast<int>(CodePath::kAvx2);
constexpr int kAvx512 = static_cast<int>(CodePath::kAvx512);

BENCHMARK(BM_FmaPeak)->Arg(kPortable)->Arg(kAvx2)->Arg(kAvx512);
BENCHMARK(BM_Convolve)
    ->ArgNames({"code", "size", "r"})
    ->ArgsProduct({{kPortable, kAvx2, kAvx512}, {2048, 4096}, {0, 1, 2, 4}})
    ->Unit(benchmark::kMillisecond);

}  // namespace

// The working memory of ConvolveImage is taken from the heap again and
// again instead of fresh pages from the system, so that the figures are
// those of the computation rather than of the page faults of one first
// touch (the whole-process script measures those).
int main(int argc, char** argv)
{
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
