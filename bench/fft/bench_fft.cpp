// Nanoseconds per in-place complex transform: our FFT against FFTW's
// in-place complex plans (FFTW_ESTIMATE and FFTW_MEASURE) on the same
// lengths, in the same run.  Each iteration runs one forward and one inverse
// transform; the "transform" counter gives the time of one (CPU time).  On
// a shared machine, interleave the runs and take medians:
//   bench_fft --benchmark_filter='BM_FFT/|Measure' --benchmark_repetitions=7
//     --benchmark_enable_random_interleaving=true
//     --benchmark_report_aggregates_only=true --benchmark_min_time=0.1
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "fft.hpp"

namespace {

void Fill(double* data, std::size_t count)
{
    std::mt19937 random(42);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    for (std::size_t i = 0; i < count; ++i) data[i] = value(random);
}

void PerTransform(benchmark::State& state)
{
    state.counters["transform"] = benchmark::Counter(
        2, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_FFT(benchmark::State& state)
{
    const auto n = static_cast<std::int32_t>(state.range(0));
    double* table = nullptr;
    SetUpFFT(n, &table);
    std::vector<double> data(2 * n);
    Fill(data.data(), data.size());
    for (auto _ : state) {
        FFT(-1, n, table, data.data());
        FFT(1, n, table, data.data());
        benchmark::ClobberMemory();
    }
    PerTransform(state);
    std::free(table);
}

void RunFFTW(benchmark::State& state, unsigned flags)
{
    const auto n = static_cast<int>(state.range(0));
    auto* data = static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * n));
    const fftw_plan forward = fftw_plan_dft_1d(n, data, data, FFTW_FORWARD, flags);
    const fftw_plan inverse = fftw_plan_dft_1d(n, data, data, FFTW_BACKWARD, flags);
    Fill(&data[0][0], 2 * static_cast<std::size_t>(n));
    for (auto _ : state) {
        fftw_execute(forward);
        fftw_execute(inverse);
        benchmark::ClobberMemory();
    }
    PerTransform(state);
    fftw_destroy_plan(forward);
    fftw_destroy_plan(inverse);
    fftw_free(data);
}

void BM_FFTW_Estimate(benchmark::State& state)
{
    RunFFTW(state, FFTW_ESTIMATE);
}
void BM_FFTW_Measure(benchmark::State& state)
{
    RunFFTW(state, FFTW_MEASURE);
}

BENCHMARK(BM_FFT)->RangeMultiplier(2)->Range(256, 8192);
BENCHMARK(BM_FFTW_Estimate)->RangeMultiplier(2)->Range(256, 8192);
BENCHMARK(BM_FFTW_Measure)->RangeMultiplier(2)->Range(256, 8192);

}  // namespace

BENCHMARK_MAIN();
