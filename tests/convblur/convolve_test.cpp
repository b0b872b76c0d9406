#include "convolve.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "image.hpp"
#include "reference.hpp"
#include "rounding.hpp"

namespace {

using testsupport::Image;
using testsupport::RandomImage;

// Runs ConvolveImage on a copy of the image (on the code path of the run).
std::vector<std::uint16_t> Convolve(const Image& image, double radius, double bias)
{
    Image copy = image;
    const auto rows = copy.Rows();
    EXPECT_TRUE(ConvolveImage(rows.data(), copy.width, copy.height, copy.bits, radius, bias));
    return copy.samples;
}

// Checks the code path against the long-double reference, sample for
// sample, except where the reference lies within 1e-9 of a half-integer.
void ExpectMatchesReference(const Image& image, double radius, double bias)
{
    const auto sums = convref::Sums(image, radius, bias);
    {
        const auto got = Convolve(image, radius, bias);
        int mismatches = 0;
        for (std::size_t i = 0; i < sums.size() && mismatches < 5; ++i) {
            if (convref::Ambiguous(sums[i])) continue;
            if (got[i] != convref::Expected(sums[i], image.bits)) {
                ++mismatches;
                ADD_FAILURE() << "sample (" << i % image.width << ", " << i / image.width
                              << "): got " << got[i] << ", reference sum "
                              << static_cast<double>(sums[i]);
            }
        }
    }
}

TEST(KernelHalfWidth, FollowsTheCutOffDistance)
{
    struct Case {
        double radius;
        int bits;
        std::int32_t size;
        std::int32_t expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {1, 8, 1000, 3},
        {1, 16, 1000, 4},
        {2, 16, 1000, 7},
        {0.5, 1, 1000, 1},
        {4, 16, 1000, 14},
        {0.01, 16, 1000, 1},
        {2, 16, 3, 3},
        {2, 16, 100, 7},
        {1e300, 8, 77, 77},
        {inf, 16, 5, 5},
        {3e9, 1, 2147483647, 2147483647},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "r=" << c.radius << " bits=" << c.bits);
        EXPECT_EQ(KernelHalfWidth(c.radius, c.bits, c.size), c.expected);
        if (std::isfinite(c.radius)) {
            EXPECT_EQ(KernelHalfWidth(c.radius, c.bits, c.size),
                      convref::HalfWidth(c.radius, c.bits, c.size));
        }
    }
}

TEST(ConvolveImage, MatchesReferenceOnRandomImages)
{
    std::mt19937 random(2026);
    std::uniform_real_distribution<double> radii(0.2, 3.5);
    // Sizes smaller and larger than the kernel, and wide enough for the
    // unpadded interior of the vector paths (groups of up to 64 samples).
    const std::int32_t sizes[][2] = {{1, 1}, {2, 9}, {13, 1}, {23, 17}, {150, 7}, {97, 40}};
    for (int bits = 1; bits <= 16; ++bits) {
        const double top = std::ldexp(1.0, bits) - 1;
        std::uniform_real_distribution<double> biases(-0.3 * top, 1.3 * top);
        for (const auto& size : sizes) {
            const Image image = RandomImage(random, size[0], size[1], bits);
            const double radius = radii(random);
            const double bias = random() % 3 == 0 ? 0.0 : biases(random);
            SCOPED_TRACE(testing::Message() << bits << " bits, " << size[0] << "x" << size[1]
                                            << ", r=" << radius << ", bias=" << bias);
            ExpectMatchesReference(image, radius, bias);
        }
    }
}

TEST(ConvolveImage, MatchesReferenceWithBroadKernels)
{
    std::mt19937 random(17);
    // Kernels as wide as the image or wider, and a large one on a larger
    // image, where interior and padded border groups meet.
    ExpectMatchesReference(RandomImage(random, 70, 5, 16), 30.0, 1234.5);
    ExpectMatchesReference(RandomImage(random, 5, 70, 12), 9.0, 0.0);
    ExpectMatchesReference(RandomImage(random, 131, 33, 16), 4.0, 30000.0);
}

TEST(ConvolveImage, MatchesReferenceAroundVectorGroupEdges)
{
    // Widths on either side of whole vector groups (8, 12 and 48 samples)
    // and of the first group that needs no padding, heights on either side
    // of whole row blocks.
    std::mt19937 random(99);
    for (std::int32_t width = 44; width <= 62; ++width) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        ExpectMatchesReference(RandomImage(random, width, 5 + width % 4, 16), 1.2, 500.0);
    }
    for (std::int32_t width : {95, 96, 97, 107, 108, 109}) {
        SCOPED_TRACE(testing::Message() << "width " << width);
        ExpectMatchesReference(RandomImage(random, width, 9, 10), 2.2, 17.0);
    }
}

TEST(ConvolveImage, SingleSampleKernelScalesByThePeakWeight)
{
    // r·√(17 ln 2) ≤ 1 at 16 bits, and r = 0.5 at 1 bit: h = 1, so every
    // sample becomes bias + (s − bias)/(π r²).
    struct Case {
        int bits;
        double radius;
        double bias;
    };
    const Case cases[] = {{16, 0.29, 30000}, {16, 0.2, 1000.25}, {1, 0.5, 0.0}, {8, 0.3, 100}};
    std::mt19937 random(5);
    for (const Case& c : cases) {
        ASSERT_EQ(KernelHalfWidth(c.radius, c.bits, 1000), 1);
        const Image image = RandomImage(random, 67, 3, c.bits);
        {
            const auto got = Convolve(image, c.radius, c.bias);
            for (std::size_t i = 0; i < got.size(); ++i) {
                const long double sum =
                    c.bias + (image.samples[i] - static_cast<long double>(c.bias)) /
                                 (std::acos(-1.0L) * c.radius * c.radius);
                if (!convref::Ambiguous(sum)) {
                    ASSERT_EQ(got[i], convref::Expected(sum, c.bits)) << "sample " << i;
                }
            }
        }
    }
}

TEST(ConvolveImage, NarrowImageReachesTheWholeHeight)
{
    // 100 × 3 at r = 2, 16 bits: hx = 7, hy = 3.  An impulse in the top row
    // spreads to all three rows and 6 columns either side, each output the
    // Gaussian's value for its offset.
    const std::int32_t width = 100;
    const std::int32_t x0 = 40;
    Image image(width, 3, 16);
    image.samples[x0] = 65535;
    const long double pi = std::acos(-1.0L);
    {
        const auto got = Convolve(image, 2.0, 0.0);
        for (std::int32_t y = 0; y < 3; ++y)
            for (std::int32_t x = 0; x < width; ++x) {
                const std::int32_t dx = x - x0;
                long double expected = 0;
                if (std::abs(dx) <= 6)
                    expected = std::floor(
                        65535 * std::exp(-static_cast<long double>(dx * dx + y * y) / 4) /
                            (4 * pi) +
                        0.5L);
                EXPECT_EQ(got[y * width + x], expected) << "x=" << x << " y=" << y;
            }
        EXPECT_GT(got[x0 + 6], 0) << "the end of the window row is reached";
        EXPECT_GT(got[2 * width + x0], 0) << "the last window row is reached";
    }
}

TEST(ConvolveImage, ImageAtTheBiasIsReproduced)
{
    struct Case {
        int bits;
        std::uint16_t value;
        double radius;
    };
    const Case cases[] = {{16, 40000, 0.3}, {16, 12345, 2.0}, {8, 200, 4.5},
                          {1, 1, 1.0},      {12, 0, 3.0},     {16, 65535, 0.7}};
    for (const Case& c : cases) {
        const Image image(75, 21, c.bits, c.value);
        {
            SCOPED_TRACE(testing::Message() << "value " << c.value);
            EXPECT_EQ(Convolve(image, c.radius, c.value), image.samples);
        }
    }
}

TEST(ConvolveImage, UniformImageFallsSymmetricallyAtAllFourBorders)
{
    // Bias 0, r = 2: the value holds (within one step) away from the
    // borders and falls toward 0 within h = 7 samples of each border, the
    // same way at all four, with no wrap-around between opposite borders.
    const std::int32_t n = 90;
    const std::uint16_t s = 50000;
    const Image image(n, n, 16, s);
    {
        const auto got = Convolve(image, 2.0, 0.0);
        auto at = [&](std::int32_t x, std::int32_t y) { return int(got[y * n + x]); };
        for (std::int32_t y = 0; y < n; ++y)
            for (std::int32_t x = 0; x < n; ++x) {
                ASSERT_EQ(at(x, y), at(n - 1 - x, y));
                ASSERT_EQ(at(x, y), at(x, n - 1 - y));
                ASSERT_EQ(at(x, y), at(y, x));
                const bool inner = std::min({x, y, n - 1 - x, n - 1 - y}) >= 6;
                if (inner) {
                    ASSERT_LE(std::abs(at(x, y) - s), 1);
                }
            }
        // Along a row through the middle: rising from the border inward.
        for (std::int32_t x = 0; x < 6; ++x) EXPECT_LT(at(x, n / 2), at(x + 1, n / 2));
        // At the border about half the kernel (plus half its middle column)
        // lies inside: 0.641 of the value for r = 2.
        EXPECT_LT(at(0, n / 2), s * 0.65);
        EXPECT_GT(at(0, n / 2), s * 0.63);
        EXPECT_LT(at(0, 0), at(0, n / 2));
    }
}

TEST(ConvolveImage, SumsOutsideTheSampleRangeAreClamped)
{
    struct Case {
        int bits;
        std::uint16_t value;
        double radius;
        double bias;
        std::uint16_t centre;  // expected away from the borders
        std::uint16_t corner;  // expected at (0, 0)
    };
    const Case cases[] = {
        // Weights summing to 1.368 push the top of the range over it.
        {16, 65535, 0.5, 0, 65535, 65535},
        {8, 255, 0.5, 0, 255, 255},
        {1, 1, 0.5, 0, 1, 1},
        // …and a bias inside the range pulls samples at 0 below it.
        {16, 0, 0.5, 100, 0, 0},
        // A bias beyond either end of the range.
        {16, 65535, 2.0, 70000, 65535, 65535},
        {16, 0, 2.0, -5000, 0, 0},
        {8, 250, 2.0, 1e4, 255, 255},
    };
    for (const Case& c : cases) {
        const Image image(80, 12, c.bits, c.value);
        SCOPED_TRACE(testing::Message() << "bits " << c.bits << " bias " << c.bias);
        const auto got = Convolve(image, c.radius, c.bias);
        EXPECT_EQ(got[6 * 80 + 40], c.centre);
        EXPECT_EQ(got[0], c.corner);
    }
}

TEST(ConvolveImage, SumThatIsNotANumberGivesZero)
{
    const Image image(70, 4, 16, 300);
    {
        const auto got = Convolve(image, 1.0, std::nan(""));
        EXPECT_EQ(got, std::vector<std::uint16_t>(got.size(), 0));
    }
}

TEST(ConvolveImage, UnrepresentableWorkingSizeIsRefused)
{
    // 8·width·height overflows; nothing is read or allocated.
    std::uint16_t* rows[1] = {nullptr};
    EXPECT_FALSE(ConvolveImage(rows, 2147483647, 2147483647, 16, 1.0, 0.0));
}

// A radius whose single kernel weight 1 / (pi r^2) is exactly 2 and whose
// window at 8 bits per sample is one sample: every sum is then
// bias + (s - bias) * 2, exact in every code path, so the quantisers of the
// vector loops and of their scalar tails meet the rounding rule's edges
// (halves, just below halves, negatives, values above the top) exactly.
double RadiusOfWeightTwo()
{
    double r = std::sqrt(0.5 / M_PI);
    for (int step = 0; step < 64; ++step) {
        const double w = std::exp(-0.0 / (r * r)) / (M_PI * (r * r));
        if (w == 2.0) return r;
        r = std::nextafter(r, w > 2.0 ? 1.0 : 0.0);
    }
    return 0.0;
}

TEST(ConvolveImage, RoundsByTheRuleAtItsEdges)
{
    const double radius = RadiusOfWeightTwo();
    ASSERT_GT(radius, 0.0);
    ASSERT_EQ(KernelHalfWidth(radius, 8, 1000), 1);
    // 101 columns: whole vector groups and a tail in every path.
    Image image(101, 3, 8);
    for (std::size_t i = 0; i < image.samples.size(); ++i)
        image.samples[i] = static_cast<std::uint16_t>((i * 37) % 256);
    // bias -0.5: sums 2s + 0.5, halves; bias -(0.5 - 2^-20): just below;
    // bias 1000: 2s - 1000, mostly negative; bias 0: 2s, above the top from
    // s = 128 on.
    for (const double bias : {-0.5, -(0.5 - std::ldexp(1.0, -20)), 1000.0, 0.0, -1000.25}) {
        std::vector<std::uint16_t> expected(image.samples.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const double sum = bias + (image.samples[i] - bias) * 2.0;
            expected[i] = RoundSample(sum, TopSample(8));
        }
        EXPECT_EQ(Convolve(image, radius, bias), expected) << "bias " << bias;
    }
}

}  // namespace
