// Encoder throughput of the TIFF writer against libtiff's LZW encoder on the
// same bytes, in MB/s of uncompressed sample bytes.  Both write a whole file
// with strips of at most 8192 uncompressed bytes into the same temporary
// directory.
#include <benchmark/benchmark.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "sif.hpp"

namespace {

constexpr std::uint32_t kStripBytes = 8192;
constexpr double kPi = 3.14159265358979323846;

struct Image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::vector<std::uint16_t> samples;
    std::vector<const std::uint16_t*> rows;
    std::vector<std::uint8_t> packed;  // the same samples as stored in a strip

    std::size_t rowBytes() const { return static_cast<std::size_t>(width) * bits / 8; }
};

void Finish(Image& image)
{
    for (std::int32_t y = 0; y < image.height; ++y)
        image.rows.push_back(image.samples.data() + static_cast<std::size_t>(y) * image.width);
    for (const std::uint16_t v : image.samples) {
        image.packed.push_back(static_cast<std::uint8_t>(v & 0xFF));
        if (image.bits == 16) image.packed.push_back(static_cast<std::uint8_t>(v >> 8));
    }
}

// An image of `level(u, v)` over the unit square, u across and v down,
// plus Gaussian noise of `sigma` drawn from a generator seeded with `seed`,
// clamped to the range of the depth.
template <typename Level>
Image Synthesise(std::int32_t width, std::int32_t height, std::int32_t bits, unsigned seed,
                 double sigma, Level level)
{
    Image im{width, height, bits, {}, {}, {}};
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, sigma);
    const double top = static_cast<double>((1 << bits) - 1);
    for (std::int32_t y = 0; y < im.height; ++y)
        for (std::int32_t x = 0; x < im.width; ++x) {
            const double u = x / static_cast<double>(width), v = y / static_cast<double>(height);
            const double value = level(u, v);
            im.samples.push_back(
                static_cast<std::uint16_t>(std::clamp(value + noise(random), 0.0, top)));
        }
    Finish(im);
    return im;
}

// The smooth part of Gradient16's scene, level(u, v).
double GradientLevel(double u, double v)
{
    return 8000 + 30000 * u * v + 12000 * std::sin(2 * kPi * (u + 0.5 * v)) +
           6000 * std::exp(-((u - 0.6) * (u - 0.6) + (v - 0.3) * (v - 0.3)) * 20);
}

// Smooth gradients plus sensor noise over much of the 16-bit range, like a
// blurred phantom or a microscope frame.
const Image& Gradient16()
{
    static const Image image = Synthesise(2048, 2048, 16, 1, 4.0, GradientLevel);
    return image;
}

// Waves with 2 % noise scaled up almost four times, as convblur's smallest
// window leaves bench/io's input: most samples saturate at the top of the
// range, the rest keep their noise.  Long runs: the case of the encoder's
// remembered extensions.
const Image& Clamped16()
{
    static const Image image = Synthesise(2048, 2048, 16, 1, 2900.0, [](double u, double v) {
        return 3.78 * 65535 *
               (0.45 + 0.3 * std::sin(u * 2048 * 0.013) * std::cos(v * 2048 * 0.021));
    });
    return image;
}

// A photograph-like 8-bit scene: a sky gradient, soft blobs, a textured
// ground with edges, and a little grain.
const Image& Photo8()
{
    static const Image image = Synthesise(3072, 2048, 8, 2, 2.0, [](double u, double v) {
        double level = 0;
        if (v < 0.45 + 0.05 * std::sin(9 * u)) {
            level = 200 - 90 * v + 20 * std::exp(-((u - 0.7) * (u - 0.7)) * 40);
        } else {
            level = 70 + 25 * std::sin(40 * u + 13 * v) * std::sin(31 * v) +
                    30 * (std::fmod(u * 7 + v * 3, 1.0) > 0.8);
        }
        return level + 40 * std::exp(-((u - 0.3) * (u - 0.3) + (v - 0.6) * (v - 0.6)) * 60);
    });
    return image;
}

std::string TempPath(const char* name)
{
    return (std::filesystem::temp_directory_path() /
            (std::string("bench_sif_") + std::to_string(getpid()) + "_" + name))
        .string();
}

void SetRate(benchmark::State& state, const Image& image)
{
    const double bytes = static_cast<double>(image.packed.size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * image.packed.size()));
    state.counters["MB/s"] =
        benchmark::Counter(bytes * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

// Each image is made on its first use, so a filtered run builds only the
// images it times.
using MakeImage = const Image& (*)();

void Ours(benchmark::State& state, MakeImage make)
{
    const Image& image = make();
    const std::string path = TempPath("ours.tif");
    for (auto _ : state)
        StoreImageFile(path.c_str(), image.width, image.height, image.bits, image.rows.data(),
                       "0.000000\t1.000000");
    state.counters["ratio"] = static_cast<double>(image.packed.size()) /
                              static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
    SetRate(state, image);
}

void Libtiff(benchmark::State& state, MakeImage make)
{
    const Image& image = make();
    const std::string path = TempPath("libtiff.tif");
    const std::uint32_t rowsPerStrip = kStripBytes / static_cast<std::uint32_t>(image.rowBytes());
    const std::size_t stripSize = rowsPerStrip * image.rowBytes();
    for (auto _ : state) {
        TIFF* tif = TIFFOpen(path.c_str(), "w");
        if (tif == nullptr) {
            state.SkipWithError("cannot open the libtiff output");
            return;
        }
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.width));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.height));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(image.bits));
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(1));
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
        TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, "0.000000\t1.000000");
        const std::size_t total = image.packed.size();
        std::uint32_t strip = 0;
        for (std::size_t at = 0; at < total; at += stripSize, ++strip) {
            const std::size_t size = std::min(stripSize, total - at);
            if (TIFFWriteEncodedStrip(tif, strip,
                                      const_cast<std::uint8_t*>(image.packed.data() + at),
                                      static_cast<tmsize_t>(size)) < 0) {
                state.SkipWithError("TIFFWriteEncodedStrip failed");
            }
        }
        TIFFClose(tif);
    }
    state.counters["ratio"] = static_cast<double>(image.packed.size()) /
                              static_cast<double>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
    SetRate(state, image);
}

BENCHMARK_CAPTURE(Ours, Gradient16, Gradient16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Libtiff, Gradient16, Gradient16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Ours, Clamped16, Clamped16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Libtiff, Clamped16, Clamped16)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Ours, Photo8, Photo8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Libtiff, Photo8, Photo8)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
