#include "filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "circular_convolution.hpp"
#include "fft.hpp"
#include "image.hpp"

namespace {

using specref::AxisKernel;
using specref::ExpectMatches;
using specref::Reference;
using testsupport::Image;
using testsupport::RandomImage;

Image Filtered(Image image, double radius, double bias)
{
    auto rows = image.Rows();
    EXPECT_TRUE(FilterImage(image.width, image.height, image.bits, rows.data(), radius, bias));
    return image;
}

TEST(FilterImage, MatchesDirectCircularConvolution)
{
    const struct {
        std::int32_t width, height, bits;
        double radius, bias;
    } cases[] = {
        {5, 3, 8, 1.3, 0},       {17, 9, 12, 2.5, 100}, {31, 33, 16, 4.0, -500.25},
        {1, 7, 8, 1.0, 10},      {13, 1, 10, 0.6, 0},   {7, 5, 1, 0.9, 0.5},
        {9, 11, 8, 30.0, 128},   {16, 8, 8, 1.5, 0},    {21, 19, 16, 0.25, 30000},
        {3, 3, 4, 100.0, -3.75}, {25, 15, 8, 2.0, 300},
    };
    std::uint32_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " bits " << c.bits
                                        << " radius " << c.radius << " bias " << c.bias);
        const Image in = RandomImage(c.width, c.height, c.bits, seed++);
        const int compared =
            ExpectMatches(Filtered(in, c.radius, c.bias), Reference(in, c.radius, c.bias));
        EXPECT_GE(compared, c.width * c.height - 2);
    }
}

// Every depth, on odd, even and power-of-two sizes (one or both axes
// padded, or none), with biases of zero, inside the range, fractional,
// negative and above the largest sample.
struct DepthCase {
    std::int32_t width, height, bits;
    double radius;
    int bias;  // index into Biases()
};

void PrintTo(const DepthCase& c, std::ostream* os)
{
    *os << c.width << "x" << c.height << ", " << c.bits << " bits, radius " << c.radius << ", bias "
        << c.bias;
}

std::vector<double> Biases(std::int32_t bits)
{
    const double maxval = (1 << bits) - 1;
    return {0.0, std::floor(maxval / 2), maxval / 3 + 0.25, -maxval / 5 - 0.5, maxval * 1.5};
}

std::vector<DepthCase> DepthCases()
{
    const struct {
        std::int32_t width, height;
        double radius;
    } sizes[] = {{19, 11, 1.7}, {16, 32, 2.5}, {32, 9, 0.8}, {1, 16, 3.0}, {27, 1, 1.1}};
    std::vector<DepthCase> cases;
    for (std::int32_t bits = 1; bits <= 16; ++bits) {
        for (const auto& size : sizes) {
            for (int bias = 0; bias < 5; ++bias) {
                cases.push_back({size.width, size.height, bits, size.radius, bias});
            }
        }
    }
    return cases;
}

class FilterImageDepths : public testing::TestWithParam<DepthCase> {};

TEST_P(FilterImageDepths, MatchesDirectCircularConvolution)
{
    const DepthCase c = GetParam();
    const double bias = Biases(c.bits)[c.bias];
    const Image in = RandomImage(c.width, c.height, c.bits,
                                 static_cast<std::uint32_t>(c.bits * 100 + c.width + c.bias));
    const int compared = ExpectMatches(Filtered(in, c.radius, bias), Reference(in, c.radius, bias));
    // Values within the band are rare; most samples must have been compared.
    EXPECT_GE(compared, c.width * c.height * 9 / 10);
}

INSTANTIATE_TEST_SUITE_P(EveryDepth, FilterImageDepths, testing::ValuesIn(DepthCases()),
                         [](const testing::TestParamInfo<DepthCase>& info) {
                             const DepthCase& c = info.param;
                             return std::to_string(c.width) + "x" + std::to_string(c.height) +
                                    "_bits" + std::to_string(c.bits) + "_bias" +
                                    std::to_string(c.bias);
                         });

TEST(FilterWorkBytes, IsAboutHalfTheFullGrid)
{
    // 2048 x 2048: 2048 rows of 1028 complex values, tables of 2048 complex
    // values each, one complex row, four complex columns, 1025 + 2048
    // transfer factors.
    std::size_t bytes = 0;
    ASSERT_TRUE(FilterWorkBytes(2048, 2048, &bytes));
    EXPECT_EQ(bytes,
              2048u * 1028 * 16 + 2 * 2048 * 16 + 2048 * 16 + 4 * 2048 * 16 + (1025 + 2048) * 8);
    // 300 x 200 on a 512 x 256 grid: 200 rows of 260 values.
    ASSERT_TRUE(FilterWorkBytes(300, 200, &bytes));
    EXPECT_EQ(bytes,
              200u * 260 * 16 + (512 + 256) * 16 + 512 * 16 + 4 * 256 * 16 + (257 + 256) * 8);
    ASSERT_TRUE(FilterWorkBytes(1, 1, &bytes));
    EXPECT_EQ(bytes, 4u * 16 + 2 * 16 + 16 + 4 * 16 + 2 * 8);
}

TEST(FilterWorkBytes, RefusesLengthsBeyondTwoToThe30)
{
    std::size_t bytes = 1;
    EXPECT_FALSE(FilterWorkBytes((1 << 30) + 1, 1, &bytes));
    EXPECT_FALSE(FilterWorkBytes(1, (1 << 30) + 1, &bytes));
    EXPECT_TRUE(FilterWorkBytes(1 << 30, 1 << 30, &bytes));
    EXPECT_GT(bytes, std::size_t{1} << 60);
}

TEST(FilterImage, RadiusZeroReproducesEveryDepth)
{
    for (std::int32_t bits = 1; bits <= 16; ++bits) {
        for (const double bias : {0.0, 1000.5, -77.0}) {
            const Image in = RandomImage(23 + bits, 14, bits, 40 + bits);
            EXPECT_EQ(Filtered(in, 0.0, bias).samples, in.samples) << "bits " << bits;
        }
    }
}

TEST(FilterImage, OnePixelIsKept)
{
    for (const double radius : {0.0, 3.0, 1e6, 1e200, HUGE_VAL}) {
        Image in(1, 1, 16, 4321);
        EXPECT_EQ(Filtered(in, radius, 17.0).samples, in.samples) << "radius " << radius;
    }
}

TEST(FilterImage, ImageAtTheBiasIsKept)
{
    const Image in(37, 21, 12, 200);
    for (const double radius : {0.5, 5.0, 80.0}) {
        EXPECT_EQ(Filtered(in, radius, 200.0).samples, in.samples) << "radius " << radius;
    }
}

// With bias 0 the padding counts as 0: a uniform image is pulled down near
// its right and bottom borders and, through the wrap-around, near the left
// and top ones, while the middle keeps its value.  Without padding (sizes
// that are powers of two) nothing changes.
TEST(FilterImage, UniformImageAndThePadding)
{
    const Image in(37, 21, 8, 200);
    const Image out = Filtered(in, 3.0, 0.0);
    EXPECT_EQ(out.at(18, 10), 200);
    for (const auto& [x, y] : {std::pair{36, 10}, {0, 10}, {18, 20}, {18, 0}, {0, 0}, {36, 20}}) {
        EXPECT_LT(out.at(x, y), 180) << x << "," << y;
    }
    // Toward the padding the values fall monotonically.
    for (std::int32_t x = 18; x < 36; ++x) EXPECT_GE(out.at(x, 10), out.at(x + 1, 10)) << x;
    ExpectMatches(out, Reference(in, 3.0, 0.0));

    const Image square(32, 16, 8, 200);
    EXPECT_EQ(Filtered(square, 3.0, 0.0).samples, square.samples);
    EXPECT_EQ(Filtered(square, 1e6, 0.0).samples, square.samples);
}

TEST(FilterImage, ClampsAtBothEnds)
{
    // Below: the padding stands for -50, the image for 10.
    const Image low(37, 21, 8, 10);
    const Image lowOut = Filtered(low, 3.0, -50.0);
    EXPECT_EQ(lowOut.at(18, 10), 10);
    EXPECT_EQ(lowOut.at(36, 20), 0);
    ExpectMatches(lowOut, Reference(low, 3.0, -50.0));
    // Above: the padding stands for 400 in an 8-bit image of 250.
    const Image high(37, 21, 8, 250);
    const Image highOut = Filtered(high, 3.0, 400.0);
    EXPECT_EQ(highOut.at(18, 10), 250);
    EXPECT_EQ(highOut.at(36, 20), 255);
    ExpectMatches(highOut, Reference(high, 3.0, 400.0));
}

// 300 x 200 is filtered on a 512 x 256 grid: checked at the corners, the
// borders and the middle against the convolution over that grid.
TEST(FilterImage, PadsToTheNextPowersOfTwo)
{
    const std::int32_t width = 300, height = 200, nx = 512, ny = 256;
    const double radius = 6.0, bias = 20.0;
    const Image in = RandomImage(width, height, 8, 3);
    const Image out = Filtered(in, radius, bias);
    const auto kx = AxisKernel(nx, radius);
    const auto ky = AxisKernel(ny, radius);
    for (const auto& [x, y] : {std::pair{0, 0},
                               {299, 0},
                               {0, 199},
                               {299, 199},
                               {150, 0},
                               {150, 199},
                               {0, 100},
                               {299, 100},
                               {150, 100},
                               {290, 190}}) {
        long double sum = 0;
        for (std::int32_t t = 0; t < height; ++t) {
            long double row = 0;
            for (std::int32_t s = 0; s < width; ++s) {
                row += kx[(x - s + nx) % nx] * (in.at(s, t) - static_cast<long double>(bias));
            }
            sum += ky[(y - t + ny) % ny] * row;
        }
        const double val = static_cast<double>(bias + sum);
        if (std::fabs(val - std::floor(val) - 0.5) < 1e-9) continue;
        const double expected = val < 0 ? 0 : val > 255 ? 255 : std::floor(val + 0.5);
        EXPECT_EQ(out.at(x, y), expected) << x << "," << y << " value " << val;
    }
}

// A bias that is not a finite number makes every value NaN; each sample
// becomes 0 rather than an undefined conversion.
TEST(FilterImage, NonFiniteBiasGivesZeros)
{
    const Image in = RandomImage(11, 6, 8, 77);
    for (const double bias : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        const Image out = Filtered(in, 2.0, bias);
        EXPECT_EQ(out.samples, std::vector<std::uint16_t>(in.samples.size(), 0)) << bias;
    }
}

TEST(FilterImage, LengthBeyondTwoToThe30IsRefused)
{
    std::uint16_t sample = 7;
    std::uint16_t* rows[1] = {&sample};
    EXPECT_FALSE(FilterImage((1 << 30) + 1, 1, 8, rows, 1.0, 0.0));
    EXPECT_FALSE(FilterImage(1, (1 << 30) + 1, 8, rows, 1.0, 0.0));
    EXPECT_EQ(sample, 7);
}

}  // namespace
