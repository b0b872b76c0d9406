// specblur_bench_input W H out.tif: a 16-bit test image for the filter
// benchmarks: smooth waves, a bright square and some noise, so that the
// LZW-compressed file is neither trivial nor pure noise.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "error.hpp"
#include "sif.hpp"

int main(int argc, char** argv)
{
    if (argc != 4) Error("usage : specblur_bench_input W H out.tif");
    const std::int32_t width = std::atoi(argv[1]);
    const std::int32_t height = std::atoi(argv[2]);
    if (width < 1 || height < 1) Error("bad size.");
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(width) * height);
    std::vector<const std::uint16_t*> rows(height);
    std::mt19937 random(1);
    std::uniform_real_distribution<double> noise(-500.0, 500.0);
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint16_t* row = &samples[static_cast<std::size_t>(y) * width];
        rows[y] = row;
        for (std::int32_t x = 0; x < width; ++x) {
            double v = 20000 + 8000 * std::sin(x * 0.013) * std::cos(y * 0.021);
            if (std::abs(x - width / 2) < width / 8 && std::abs(y - height / 2) < height / 8) {
                v += 25000;
            }
            v += noise(random);
            row[x] = static_cast<std::uint16_t>(std::lround(std::fmin(65535.0, std::fmax(0.0, v))));
        }
    }
    StoreImageFile(argv[3], width, height, 16, rows.data(), "bench input");
    return 0;
}
