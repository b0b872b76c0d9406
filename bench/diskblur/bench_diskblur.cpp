// The three parts of one diskblur run on a 4096 x 4096 image with a 16-bit
// level: the profile table, the pixel fill of both images, and writing the
// blurred image.  bench/diskblur/bench_diskblur.sh times the whole process beside it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "phantom.hpp"
#include "profile.hpp"
#include "render.hpp"
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
    s.phantom.diskSample = LevelSample(kBias + kValue);
    s.phantom.backgroundSample = LevelSample(kBias);
    s.phantom.bits = PhantomBits(kBias, kValue);
    s.phantom.profile = s.table.data();
    FillDiskImages(s.phantom, s.disk, s.blurred);
    return s;
}

// Argument: the Gaussian radius L.  The series is longest near the rim,
// where it takes about sqrt(2 a ln 1e9) terms with a = 2 r R / L^2.
void BM_ProfileTable(benchmark::State& state)
{
    const double L = static_cast<double>(state.range(0));
    std::vector<double> table(ProfileLength(FarthestDistance(kSize, kSize, kCentre, kCentre)));
    for (auto _ : state) {
        FillProfile(table.data(), 0, table.size(), kRadius, L, kBias, kValue);
        benchmark::DoNotOptimize(table.data());
    }
    state.counters["entries"] = static_cast<double>(table.size());
}
BENCHMARK(BM_ProfileTable)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond);

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
