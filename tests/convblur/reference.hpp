// Independent reference for the convblur tests: the plain window loop with
// long-double weights and sums, and the comparison rule for its results.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "image.hpp"

namespace convref {

// ⌈r·√((bits + 1)·ln 2)⌉ computed in long double, clamped to the axis.
inline std::int32_t HalfWidth(double radius, int bits, std::int32_t size)
{
    const long double h = std::ceil(radius * std::sqrt((bits + 1) * std::log(2.0L)));
    return h >= size ? size : static_cast<std::int32_t>(h);
}

// Unrounded result of each output sample: bias + Σ (s − bias)·g over the
// clipped window, g(dx, dy) = exp(−(dx² + dy²)/r²)/(π r²), the window
// sized for the image's depth.
inline std::vector<long double> Sums(const testsupport::Image& image, double radius, double bias)
{
    const std::int32_t hx = HalfWidth(radius, image.bits, image.width);
    const std::int32_t hy = HalfWidth(radius, image.bits, image.height);
    const long double r2 = static_cast<long double>(radius) * radius;
    const long double pi = std::acos(-1.0L);
    // g by absolute offsets, computed once.
    std::vector<long double> g(std::size_t(hx) * hy);
    for (std::int32_t i = 0; i < hy; ++i)
        for (std::int32_t j = 0; j < hx; ++j)
            g[i * hx + j] =
                std::exp(-(static_cast<long double>(i) * i + static_cast<long double>(j) * j) /
                         r2) /
                (pi * r2);
    std::vector<long double> sums(image.samples.size());
    for (std::int32_t y = 0; y < image.height; ++y)
        for (std::int32_t x = 0; x < image.width; ++x) {
            long double sum = bias;
            for (std::int32_t k = std::max(0, y - hy + 1); k < std::min(y + hy, image.height); ++k)
                for (std::int32_t c = std::max(0, x - hx + 1); c < std::min(x + hx, image.width);
                     ++c)
                    sum += (image.at(c, k) - static_cast<long double>(bias)) *
                           g[std::abs(k - y) * hx + std::abs(c - x)];
            sums[y * image.width + x] = sum;
        }
    return sums;
}

}  // namespace convref
