// The three parts of one diskblur run on a 4096 x 4096 image with a 16-bit
// level: the profile table, the pixel fill of both images, and writing the
// blurred image.  bench/diskblur/bench_diskblur.sh times the whole process beside it.
#include <benchmark/benchmark.h>
#include <gsl/gsl_errno.h>
#include <gsl/gsl_sf_bessel.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "phantom.hpp"
#include "profile.hpp"
#include "render.hpp"
#include "rounding.hpp"
#include "sif.hpp"

namespace {

constexpr std::int32_t kSize = 4096;
constexpr double kCentre = 2047.5;
constexpr double kRadius = 1000.0;
constexpr double kValue = 60000.0;
constexpr double kBias = 0.0;

struct Scene {
    std::vector<double> table;
    std::uint16_t** disk = nullptr;
    std::uint16_t** blurred = nullptr;
    DiskPhantom phantom;
};

Scene MakeScene(double gaussRadius)
{
    Scene s;
    s.table.resize(ProfileLength(FarthestDistance(kSize, kSize, kCentre, kCentre)));
    FillProfile(s.table.data(), 0, s.table.size(), kRadius, gaussRadius, kBias, kValue);
    s.disk = AllocateImage(kSize, kSize);
    s.blurred = AllocateImage(kSize, kSize);
    s.phantom.nx = kSize;
    s.phantom.ny = kSize;
    s.phantom.ox = kCentre;
    s.phantom.oy = kCentre;
    s.phantom.radius = kRadius;
    s.phantom.diskSample = RoundSample(kBias + kValue, TopSample(16));
    s.phantom.backgroundSample = RoundSample(kBias, TopSample(16));
    s.phantom.bits = PhantomBits(kBias, kValue);
    s.phantom.profile = s.table.data();
    FillDiskImages(s.phantom, s.disk, s.blurred);
    return s;
}

// The table fill of one library call per Bessel order, as the program did
// before its recurrence: the same shortcuts for saturated entries, then
// gsl_sf_bessel_In_scaled for orders 0, 1, 2, ...  Counts the calls.
double PerOrderFraction(double r, double R, double L, double outsideLimit, long* calls)
{
    auto bessel = [calls](int n, double x) {
        ++*calls;
        gsl_sf_result result;
        return gsl_sf_bessel_In_scaled_e(n, x, &result) == GSL_SUCCESS ? result.val : 0.0;
    };
    const double l2 = L * L;
    const double a = 2.0 * r * R / l2;
    const double e = std::exp(-(r - R) * (r - R) / l2);
    const bool inside = r < R;
    const double q = inside ? r / R : R / r;
    const double limit = inside ? 0x1p-56 : outsideLimit;
    if (q < 1.0) {
        const double bound = e * 2.0 * (inside ? 1.0 : q) / (1.0 - q);
        if (bound <= limit) return inside ? 1.0 : 0.0;
        if (bound * bessel(0, a) <= limit) return inside ? 1.0 : 0.0;
    }
    double sum = inside ? bessel(0, a) : 0.0;
    double power = 1.0;
    for (int order = 1;; ++order) {
        power *= q;
        const double term = power * bessel(order, a);
        sum += term;
        if (!(term != 0.0 && std::fabs(term / sum) > 1e-9)) break;
    }
    return inside ? 1.0 - e * sum : e * sum;
}

// Entries that sum the series (not set by a saturation shortcut): both
// fills take the same ones.
long SummedEntries(const std::vector<double>& table)
{
    long n = 0;
    for (const double t : table) n += (t != kBias + kValue + 0.5 && t != kBias + 0.5);
    return n;
}

// The counters of a table fill: its entries, those that sum the series, the
// Bessel values computed, and the time per summed entry and per value.
void SetTableCounters(benchmark::State& state, const std::vector<double>& table, long calls)
{
    const long summed = SummedEntries(table);
    state.counters["entries"] = static_cast<double>(table.size());
    state.counters["summed"] = static_cast<double>(summed);
    state.counters["values"] = static_cast<double>(calls);
    state.counters["per_summed"] = benchmark::Counter(
        static_cast<double>(summed),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["per_value"] = benchmark::Counter(
        static_cast<double>(calls),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Argument: the Gaussian radius L.  The series is longest near the rim,
// where it takes about sqrt(2 a ln 1e9) terms with a = 2 r R / L^2.
// Per summed entry, and per library call of the per-order fill (the same
// count of Bessel values the recurrence makes).
void BM_ProfileTable(benchmark::State& state)
{
    const double L = static_cast<double>(state.range(0));
    std::vector<double> table(ProfileLength(FarthestDistance(kSize, kSize, kCentre, kCentre)));
    long calls = 0;
    gsl_set_error_handler_off();
    for (std::size_t i = 0; i < table.size(); ++i)
        PerOrderFraction(i / 16.0, kRadius, L, 0x1p-56 / kValue, &calls);
    for (auto _ : state) {
        FillProfile(table.data(), 0, table.size(), kRadius, L, kBias, kValue);
        benchmark::DoNotOptimize(table.data());
    }
    SetTableCounters(state, table, calls);
}
BENCHMARK(BM_ProfileTable)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_ProfileTablePerOrder(benchmark::State& state)
{
    const double L = static_cast<double>(state.range(0));
    std::vector<double> table(ProfileLength(FarthestDistance(kSize, kSize, kCentre, kCentre)));
    gsl_set_error_handler_off();
    long calls = 0;
    for (auto _ : state) {
        calls = 0;
        for (std::size_t i = 0; i < table.size(); ++i)
            table[i] = kBias +
                       kValue * PerOrderFraction(i / 16.0, kRadius, L, 0x1p-56 / kValue, &calls) +
                       0.5;
        benchmark::DoNotOptimize(table.data());
    }
    SetTableCounters(state, table, calls);
}
BENCHMARK(BM_ProfileTablePerOrder)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_PixelFill(benchmark::State& state)
{
    Scene s = MakeScene(4.0);
    for (auto _ : state) {
        FillDiskImages(s.phantom, s.disk, s.blurred);
        benchmark::DoNotOptimize(s.blurred[0]);
    }
    state.SetItemsProcessed(state.iterations() * kSize * kSize);
    FreeImage(s.disk);
    FreeImage(s.blurred);
}
BENCHMARK(BM_PixelFill)->Unit(benchmark::kMillisecond);

// Argument 0: the disk image, 1: the blurred image.
void BM_WriteImage(benchmark::State& state)
{
    Scene s = MakeScene(4.0);
    const std::string path =
        (std::filesystem::temp_directory_path() / "bench_diskblur.tif").string();
    const std::string description = PhantomDescription(kBias, s.phantom.bits);
    std::uint16_t** image = state.range(0) == 0 ? s.disk : s.blurred;
    for (auto _ : state) {
        StoreImageFile(path.c_str(), kSize, kSize, s.phantom.bits, image, description.c_str());
    }
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
    FreeImage(s.disk);
    FreeImage(s.blurred);
}
BENCHMARK(BM_WriteImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
