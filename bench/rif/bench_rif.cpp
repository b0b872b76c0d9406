// Read throughput of ReadImageFile against libtiff on the same files:
// 4096 x 4096 images at 8 and 16 bits, LZW (as our writer stores them),
// PackBits and uncompressed (written by libtiff); the benchmarks' first
// argument is the Compression value.  Throughput counts the bytes of samples
// delivered (1 or 2 per sample).  libtiff decodes whole strips into one
// buffer (TIFFReadEncodedStrip), its fastest path, with no widening.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "rif.hpp"
#include "sif.hpp"
#include "support.hpp"

namespace {

constexpr int kSize = 4096;

// A smooth image with a disk, gradients and some noise: compressible the
// way phantoms and photographs are, not a trivial run.
testsupport::Image MakeImage(int bits)
{
    testsupport::Image image(kSize, kSize, bits);
    std::mt19937 rng(42);
    const double top = std::ldexp(1.0, bits) - 1;
    for (int y = 0; y < kSize; ++y) {
        for (int x = 0; x < kSize; ++x) {
            const double dx = x - 2048.0;
            const double dy = y - 1900.0;
            const double disk = dx * dx + dy * dy < 1500.0 * 1500.0 ? 0.5 : 0.1;
            const double v = disk + 0.2 * std::sin(x * 0.01) * std::cos(y * 0.013) +
                             0.02 * ((rng() & 0xFF) / 255.0 - 0.5);
            image.at(x, y) = static_cast<std::uint16_t>(std::fmin(top, std::fmax(0.0, v * top)));
        }
    }
    return image;
}

std::string Dir()
{
    static const std::string dir = [] {
        std::string t = "/tmp/bench_rif_XXXXXX";
        if (mkdtemp(t.data()) == nullptr) std::abort();
        return t;
    }();
    return dir;
}

void WriteOurs(const std::string& path, const testsupport::Image& image)
{
    StoreImageFile(path.c_str(), kSize, kSize, image.bits, image.Rows().data(), nullptr);
}

// PackBits or uncompressed strips of at most 8192 bytes, little-endian,
// written by libtiff.
void WriteWithLibtiff(const std::string& path, const testsupport::Image& image,
                      std::uint16_t compression)
{
    const int rowBytes = kSize * image.bits / 8;
    testsupport::LibtiffLayout layout;
    layout.bigEndian = false;
    layout.compression = compression;
    layout.rowsPerStrip = static_cast<std::uint32_t>(std::max(1, 8192 / rowBytes));
    if (!testsupport::StoreWithLibtiff(path, image, layout)) std::abort();
}

// The file for (compression, bits), made on first use: LZW as our writer
// stores it, PackBits and uncompressed from libtiff.
const std::string& File(std::int64_t compression, int bits)
{
    static std::map<std::pair<std::int64_t, int>, std::string> files;
    auto& path = files[{compression, bits}];
    if (path.empty()) {
        path = Dir() + "/" + std::to_string(compression) + "-" + std::to_string(bits) + ".tif";
        const auto image = MakeImage(bits);
        if (compression == COMPRESSION_LZW)
            WriteOurs(path, image);
        else
            WriteWithLibtiff(path, image, static_cast<std::uint16_t>(compression));
    }
    return path;
}

void SetRate(benchmark::State& state, int bits)
{
    const double bytes = static_cast<double>(kSize) * kSize * (bits / 8);
    state.SetBytesProcessed(
        static_cast<std::int64_t>(bytes * static_cast<double>(state.iterations())));
}

void BM_ReadImageFile(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(1));
    const std::string& path = File(state.range(0), bits);
    for (auto _ : state) {
        std::int32_t w = 0, h = 0, b = 0;
        std::uint16_t** rows = nullptr;
        char* text = nullptr;
        ReadImageFile(path.c_str(), &w, &h, &b, &rows, &text);
        benchmark::DoNotOptimize(rows[h - 1][w - 1]);
        FreeImageFile(h, rows, text);
    }
    SetRate(state, bits);
}

// libtiff decodes every strip into one image buffer, allocated for each read
// as a program would (its pages are fresh, like the rows of ReadImageFile).
// With `rows`, the samples are then widened into separately allocated
// 16-bit rows, the form ReadImageFile hands over.
void ReadWithLibtiff(benchmark::State& state, bool rows)
{
    const int bits = static_cast<int>(state.range(1));
    const std::string& path = File(state.range(0), bits);
    const std::size_t rowBytes = static_cast<std::size_t>(kSize) * (bits / 8);
    for (auto _ : state) {
        auto* buffer = static_cast<std::uint8_t*>(std::malloc(rowBytes * kSize));
        TIFF* tif = TIFFOpen(path.c_str(), "r");
        const tstrip_t strips = TIFFNumberOfStrips(tif);
        const tmsize_t stripSize = TIFFStripSize(tif);
        std::uint8_t* at = buffer;
        for (tstrip_t s = 0; s < strips; ++s) {
            const tmsize_t n = TIFFReadEncodedStrip(tif, s, at, stripSize);
            if (n < 0) std::abort();
            at += n;
        }
        TIFFClose(tif);
        if (rows) {
            auto** table =
                static_cast<std::uint16_t**>(std::malloc(kSize * sizeof(std::uint16_t*)));
            for (int y = 0; y < kSize; ++y) {
                auto* row = static_cast<std::uint16_t*>(std::malloc(kSize * sizeof(std::uint16_t)));
                const std::uint8_t* src = buffer + static_cast<std::size_t>(y) * rowBytes;
                if (bits == 8)
                    for (int x = 0; x < kSize; ++x) row[x] = src[x];
                else
                    std::memcpy(row, src, rowBytes);
                table[y] = row;
            }
            benchmark::DoNotOptimize(table[kSize - 1][kSize - 1]);
            for (int y = 0; y < kSize; ++y) std::free(table[y]);
            std::free(table);
        }
        benchmark::DoNotOptimize(buffer[rowBytes * kSize - 1]);
        std::free(buffer);
    }
    SetRate(state, bits);
}

// What every read into our rows costs before any decoding: the file's bytes
// read through a 64 KiB buffer, as ReadImageFile reads them, and the rows
// allocated and written once (their first touch).  The floor under
// BM_ReadImageFile.
void BM_FileAndRows(benchmark::State& state)
{
    const int bits = static_cast<int>(state.range(1));
    const std::string& path = File(state.range(0), bits);
    std::vector<unsigned char> buffer(std::size_t{1} << 16);
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        std::setvbuf(file, nullptr, _IONBF, 0);
        std::size_t sum = 0;
        for (std::size_t n = 0; (n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;)
            sum += buffer[n - 1];
        std::fclose(file);
        auto** table = static_cast<std::uint16_t**>(std::malloc(kSize * sizeof(std::uint16_t*)));
        for (int y = 0; y < kSize; ++y) {
            table[y] = static_cast<std::uint16_t*>(std::malloc(kSize * sizeof(std::uint16_t)));
            std::memset(table[y], static_cast<int>(sum), kSize * sizeof(std::uint16_t));
        }
        benchmark::DoNotOptimize(table[kSize - 1][kSize - 1]);
        for (int y = 0; y < kSize; ++y) std::free(table[y]);
        std::free(table);
    }
    SetRate(state, bits);
}

void BM_Libtiff(benchmark::State& state)
{
    ReadWithLibtiff(state, false);
}

void BM_LibtiffRows(benchmark::State& state)
{
    ReadWithLibtiff(state, true);
}

}  // namespace

// Every benchmark runs on the same files: each compression at 8 and 16 bits.
void EveryFile(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"compression", "bits"})
        ->ArgsProduct({{COMPRESSION_LZW, COMPRESSION_PACKBITS, COMPRESSION_NONE}, {8, 16}})
        ->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_ReadImageFile)->Apply(EveryFile);
BENCHMARK(BM_FileAndRows)->Apply(EveryFile);
BENCHMARK(BM_Libtiff)->Apply(EveryFile);
BENCHMARK(BM_LibtiffRows)->Apply(EveryFile);

int main(int argc, char** argv)
{
    // Fixed thresholds: freed memory goes back to the system, so every read
    // gets fresh pages for its output, as in a program that reads one image.
    // (glibc would otherwise raise them after the first large free and let
    // later reads reuse pages, differently for each benchmark.)
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Dir());
    return 0;
}
