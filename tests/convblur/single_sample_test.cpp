// A window of one sample (radius small enough that the half-width is 1):
// every output sample is bias + (sample − bias) · w, w = 1/(π r²), taken
// as the block loops take it — the product rounded and then added on the
// portable path, one fused multiply-add on the AVX paths — and rounded by
// the sample rule.  Widths 1 to 19 put every count of left-over samples
// behind the whole vectors of 2, 4 and 8 lanes; the biases include
// negative, fractional and non-finite ones, and the samples run from 0 to
// the top of the depth, so that sums fall below 0 and beyond the top.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "convolve.hpp"
#include "dispatch.hpp"
#include "image.hpp"

namespace {

using testsupport::Image;

// The sum as the code path of the run computes it: the AVX builds with a
// fused multiply-add; `product` keeps the portable path's product a rounded
// double of its own.
double PathSum(double sample, double bias, double weight)
{
    const double v = sample - bias;
    if (ActiveCodePath() != CodePath::kPortable) return std::fma(v, weight, bias);
    volatile double product = v * weight;
    return bias + product;
}

// floor(sum + 0.5) clamped to 0 .. 2^bits − 1; 0 for a NaN.
std::uint16_t SampleOf(double sum, int bits)
{
    const double top = std::ldexp(1.0, bits) - 1;
    const double v = std::floor(sum + 0.5);
    if (!(v >= 0)) return 0;
    return static_cast<std::uint16_t>(v > top ? top : v);
}

TEST(SingleSampleWindow, EveryTailEveryBias)
{
    const double biases[] = {0.0, 100.25, -7.5, 30000.0, -0.0};
    std::mt19937 random(29);
    for (const int bits : {1, 7, 8, 12, 16}) {
        // r √((bits + 1) ln 2) ≤ 1 keeps the half-width at 1.
        const double radius = 0.9 / std::sqrt((bits + 1) * std::numbers::ln2);
        ASSERT_EQ(KernelHalfWidth(radius, bits, 1000), 1);
        const double weight = std::exp(-0.0) / (std::numbers::pi * (radius * radius));
        for (const double bias : biases)
            for (std::int32_t width = 1; width <= 19; ++width) {
                SCOPED_TRACE(testing::Message()
                             << bits << " bits, bias " << bias << ", width " << width);
                Image image(width, 3, bits);
                for (auto& s : image.samples)
                    s = static_cast<std::uint16_t>(random() & ((1u << bits) - 1));
                image.at(0, 0) = 0;
                image.at(width - 1, 2) = static_cast<std::uint16_t>((1u << bits) - 1);
                Image result = image;
                const auto rows = result.Rows();
                ASSERT_TRUE(ConvolveImage(rows.data(), width, 3, bits, radius, bias));
                for (std::size_t i = 0; i < image.samples.size(); ++i)
                    ASSERT_EQ(result.samples[i],
                              SampleOf(PathSum(image.samples[i], bias, weight), bits))
                        << "sample " << i << " was " << image.samples[i];
            }
    }
}

// A bias that is not finite takes the plain loop (0 · inf would not
// vanish in the padded vectors): every sum is NaN or infinite.
TEST(SingleSampleWindow, NonFiniteBiasTakesThePlainLoop)
{
    for (const double bias :
         {std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::quiet_NaN()}) {
        SCOPED_TRACE(bias);
        Image image(13, 2, 8);
        for (std::size_t i = 0; i < image.samples.size(); ++i)
            image.samples[i] = static_cast<std::uint16_t>(i * 19 % 256);
        const auto rows = image.Rows();
        ASSERT_TRUE(ConvolveImage(rows.data(), 13, 2, 8, 0.2, bias));
        // inf + (s − inf)·w is NaN, as is anything with a NaN bias: all 0.
        for (const std::uint16_t s : image.samples) EXPECT_EQ(s, 0);
    }
}

}  // namespace
