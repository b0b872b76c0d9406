// specblur_band_check: the tool behind compare_outputs.sh.
//
//   specblur_band_check make W H BITS SEED out.tif
//     writes a random image: smooth waves with noise over the whole range
//     of BITS bits, some samples at 0 and at the maximum.
//   specblur_band_check check in.tif RADIUS BIAS a.tif b.tif
//     counts the samples in which the two filter outputs a and b differ
//     and, for each, computes the exact filtered value (the circular
//     convolution over the padded grid by direct sums in long double, on
//     the axis kernels of the tests' reference) and its distance from the
//     nearest half-integer and from the clamp bounds 0 and 2^BITS - 1.
//     Prints "samples N changed C outside-band D max-distance E" (D counts
//     changed samples farther than 1e-9 from both) and exits 1 when D > 0.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "circular_convolution.hpp"
#include "error.hpp"
#include "rif.hpp"
#include "sif.hpp"

namespace {

struct Raster {
    explicit Raster(const char* path)
    {
        ReadImageFile(path, &width, &height, &bits, &rows, &description);
    }
    ~Raster() { FreeImageFile(height, rows, description); }
    Raster(const Raster&) = delete;
    Raster& operator=(const Raster&) = delete;
    std::int32_t width = 0, height = 0, bits = 0;
    std::uint16_t** rows = nullptr;
    char* description = nullptr;
};

int Make(char** argv)
{
    const std::int32_t width = std::atoi(argv[0]);
    const std::int32_t height = std::atoi(argv[1]);
    const std::int32_t bits = std::atoi(argv[2]);
    std::mt19937 random(static_cast<std::uint32_t>(std::atoi(argv[3])));
    const double maxval = (1 << bits) - 1;
    std::uniform_real_distribution<double> noise(-0.3, 0.3);
    std::uniform_int_distribution<int> pick(0, 40);
    std::vector<std::uint16_t> samples(static_cast<std::size_t>(width) * height);
    std::vector<const std::uint16_t*> rows(height);
    for (std::int32_t y = 0; y < height; ++y) {
        std::uint16_t* row = &samples[static_cast<std::size_t>(y) * width];
        rows[y] = row;
        for (std::int32_t x = 0; x < width; ++x) {
            double v = 0.5 + 0.4 * std::sin(x * 0.07) * std::cos(y * 0.05) + noise(random);
            const int p = pick(random);
            if (p == 0) v = 0;
            if (p == 1) v = 1;
            row[x] = static_cast<std::uint16_t>(std::lround(maxval * std::clamp(v, 0.0, 1.0)));
        }
    }
    StoreImageFile(argv[4], width, height, bits, rows.data(), nullptr);
    return 0;
}

int Check(char** argv)
{
    const Raster in(argv[0]);
    const double radius = std::strtod(argv[1], nullptr);
    const double bias = std::strtod(argv[2], nullptr);
    const Raster a(argv[3]);
    const Raster b(argv[4]);
    const std::int32_t w = in.width, h = in.height;
    if (a.width != w || b.width != w || a.height != h || b.height != h || a.bits != in.bits ||
        b.bits != in.bits) {
        std::printf("outputs differ in size or depth\n");
        return 1;
    }
    const long double maxval = (1 << in.bits) - 1;
    const std::int32_t nx = specref::PowerOfTwoAtLeast(w), ny = specref::PowerOfTwoAtLeast(h);
    std::vector<long double> kx, ky;
    long changed = 0, outside = 0;
    long double worst = 0;
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            if (a.rows[y][x] == b.rows[y][x]) continue;
            ++changed;
            if (kx.empty()) {
                kx = specref::AxisKernel(nx, radius);
                ky = specref::AxisKernel(ny, radius);
            }
            long double val = 0;
            for (std::int32_t t = 0; t < h; ++t) {
                long double along = 0;
                for (std::int32_t s = 0; s < w; ++s) {
                    along +=
                        kx[(x - s + nx) % nx] * (in.rows[t][s] - static_cast<long double>(bias));
                }
                val += ky[(y - t + ny) % ny] * along;
            }
            val += bias;
            const long double half = std::fabs(val - std::floor(val) - 0.5L);
            const long double bound = std::min(std::fabs(val), std::fabs(val - maxval));
            const long double distance = std::min(half, bound);
            worst = std::max(worst, distance);
            if (distance > 1e-9L) ++outside;
            std::printf(
                "  changed at %d,%d: %u -> %u, exact value %.12Lf (%.3Le from a half-integer or "
                "clamp bound)\n",
                x, y, a.rows[y][x], b.rows[y][x], val, distance);
        }
    }
    std::printf("samples %ld changed %ld outside-band %ld max-distance %.3Le\n",
                static_cast<long>(w) * h, changed, outside, worst);
    return outside == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && std::strcmp(argv[1], "make") == 0) return Make(argv + 2);
    if (argc == 7 && std::strcmp(argv[1], "check") == 0) return Check(argv + 2);
    Error(
        "usage : specblur_band_check make W H BITS SEED out.tif | check in.tif RADIUS BIAS a.tif "
        "b.tif");
}
