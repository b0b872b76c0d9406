// The Gaussian filter of specblur computed independently of the program:
// a circular convolution over the padded grid by direct sums, in long
// double.  Shared by the filter's unit tests and the program's tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "image.hpp"
#include "rounding_oracle.hpp"

namespace specref {

using testsupport::Image;

inline std::int32_t PowerOfTwoAtLeast(std::int32_t n)
{
    std::int32_t p = 1;
    while (p < n) p *= 2;
    return p;
}

// The filter as a circular convolution over the padded Nx x Ny grid, by
// direct sums: the kernel along one axis of length n is the inverse DFT of
// exp(-pi^2 r^2 f^2), f the frequency of index u folded into 0 .. 1/2.
inline std::vector<long double> AxisKernel(std::int32_t n, double radius)
{
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<long double> transfer(n);
    for (std::int32_t u = 0; u < n; ++u) {
        const long double f = static_cast<long double>(std::min(u, n - u)) / n;
        transfer[u] = std::exp(-pi * pi * radius * radius * f * f);
    }
    std::vector<long double> kernel(n);
    for (std::int32_t d = 0; d < n; ++d) {
        long double sum = 0;
        for (std::int32_t u = 0; u < n; ++u) {
            sum += transfer[u] * std::cos(2 * pi * ((static_cast<long>(u) * d) % n) / n);
        }
        kernel[d] = sum / n;
    }
    return kernel;
}

// Unrounded filtered values (bias added back) at every position.
struct Reference {
    Reference(const Image& image, double radius, double bias)
        : width(image.width), height(image.height), values(image.samples.size())
    {
        const std::int32_t nx = PowerOfTwoAtLeast(width);
        const std::int32_t ny = PowerOfTwoAtLeast(height);
        const auto kx = AxisKernel(nx, radius);
        const auto ky = AxisKernel(ny, radius);
        // Along x, then along y; positions in the padding contribute zero.
        std::vector<long double> alongX(values.size());
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                long double sum = 0;
                for (std::int32_t s = 0; s < width; ++s) {
                    sum +=
                        kx[(x - s + nx) % nx] * (image.at(s, y) - static_cast<long double>(bias));
                }
                alongX[y * width + x] = sum;
            }
        }
        for (std::int32_t y = 0; y < height; ++y) {
            for (std::int32_t x = 0; x < width; ++x) {
                long double sum = 0;
                for (std::int32_t t = 0; t < height; ++t) {
                    sum += ky[(y - t + ny) % ny] * alongX[t * width + x];
                }
                values[y * width + x] = static_cast<double>(bias + sum);
            }
        }
    }
    std::int32_t width;
    std::int32_t height;
    std::vector<double> values;
};

// Compares every sample with the rounded and clamped reference value, except
// where that value is within 1e-9 of a half-integer or of a clamp bound
// (where rounding may send it either way).  Returns the number of
// samples compared.
inline int ExpectMatches(const Image& out, const Reference& reference)
{
    const double maxval = (1 << out.bits) - 1;
    int compared = 0;
    for (std::int32_t y = 0; y < out.height; ++y) {
        for (std::int32_t x = 0; x < out.width; ++x) {
            const double val = reference.values[y * out.width + x];
            if (testsupport::NearHalf(val)) continue;
            if (std::fabs(val) < 1e-9 || std::fabs(val - maxval) < 1e-9) continue;
            EXPECT_EQ(out.at(x, y), testsupport::OracleSample(val, out.bits))
                << "at " << x << "," << y << " value " << val;
            ++compared;
        }
    }
    return compared;
}

}  // namespace specref
