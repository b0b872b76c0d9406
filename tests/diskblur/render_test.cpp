// The pixel fill against a plain per-pixel loop, and the distances that size
// and start the profile table.
#include "render.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <vector>

#include "phantom.hpp"
#include "profile.hpp"
#include "rounding.hpp"

namespace {

struct Scene {
    std::int32_t nx;
    std::int32_t ny;
    double ox;
    double oy;
    double radius;
    double L;
    double bias;
    double value;
};

void PrintTo(const Scene& c, std::ostream* os)
{
    *os << c.nx << "x" << c.ny << ", centre (" << c.ox << ", " << c.oy << "), R " << c.radius
        << ", L " << c.L << ", bias " << c.bias << ", value " << c.value;
}

class FillDiskImagesTest : public testing::TestWithParam<Scene> {};

TEST_P(FillDiskImagesTest, MatchesAPlainLoop)
{
    const Scene s = GetParam();
    const std::size_t n = ProfileLength(FarthestDistance(s.nx, s.ny, s.ox, s.oy));
    const std::size_t first = FirstProfileEntry(s.nx, s.ny, s.ox, s.oy);
    ASSERT_LT(first, n);
    // Entries before `first` must never be read: a NaN there would show.
    std::vector<double> table(n, std::numeric_limits<double>::quiet_NaN());
    FillProfile(table.data(), first, n, s.radius, s.L, s.bias, s.value);

    const int bits = PhantomBits(s.bias, s.value);
    DiskPhantom p;
    p.nx = s.nx;
    p.ny = s.ny;
    p.ox = s.ox;
    p.oy = s.oy;
    p.radius = s.radius;
    p.diskSample = LevelSample(s.bias + s.value);
    p.backgroundSample = LevelSample(s.bias);
    p.bits = bits;
    p.profile = table.data();
    const std::size_t count = static_cast<std::size_t>(s.nx) * s.ny;
    std::vector<std::uint16_t> disk(count, 0xDEAD);
    std::vector<std::uint16_t> blurred(count, 0xDEAD);
    std::vector<std::uint16_t*> diskRows(s.ny);
    std::vector<std::uint16_t*> blurRows(s.ny);
    for (std::int32_t y = 0; y < s.ny; ++y) {
        diskRows[y] = disk.data() + static_cast<std::size_t>(y) * s.nx;
        blurRows[y] = blurred.data() + static_cast<std::size_t>(y) * s.nx;
    }
    FillDiskImages(p, diskRows.data(), blurRows.data());

    for (std::int32_t y = 0; y < s.ny; ++y) {
        for (std::int32_t x = 0; x < s.nx; ++x) {
            const double d = std::sqrt((x - s.ox) * (x - s.ox) + (y - s.oy) * (y - s.oy));
            const std::uint16_t level =
                d <= s.radius ? LevelSample(s.bias + s.value) : LevelSample(s.bias);
            ASSERT_EQ(diskRows[y][x], level) << x << "," << y;
            const double at = 16.0 * d;
            const std::size_t k = static_cast<std::size_t>(std::floor(at));
            ASSERT_LT(k + 1, n);
            const double v = table[k] + (at - std::floor(at)) * (table[k + 1] - table[k]);
            ASSERT_EQ(blurRows[y][x], ClampSample(v, bits)) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, FillDiskImagesTest,
    testing::Values(Scene{64, 48, 31.5, 23.5, 12.0, 2.0, 0.0, 255.0},
                    Scene{33, 17, 10.0, 8.0, 5.0, 0.5, 100.0, -100.0},     // integer centre
                    Scene{40, 40, -30.0, 70.0, 50.0, 3.0, 10.0, 1000.0},   // centre outside
                    Scene{25, 31, 200.0, -150.0, 4.0, 1.0, 0.0, 60000.0},  // far outside
                    Scene{7, 9, 3.0, 4.0, 100.0, 5.0, 1.0, 2.0},           // touches the depth
                    Scene{1, 1, 0.0, 0.0, 1e-9, 1e-9, 0.0, 65535.0}));

// Table entries at the edges of the rounding rule, read by pixels on one
// row at distances x + 1/32 from the centre (so the interpolation weight is
// exactly 1/2): every build of the fill gives the scalar rule's sample of
// the interpolated value, also for halves, values just below them,
// negatives, NaN, infinities and values above the top.
TEST(FillDiskImages, RoundsByTheRuleAtItsEdges)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Pairs (t[k], t[k + 1]); with offset 0.5 already in, as in the table.
    const double pairs[][2] = {{0.5, 0.5},
                               {1.0, 1.0},
                               {std::nextafter(1.0, 0.0), std::nextafter(1.0, 0.0)},
                               {3.0, 3.0},
                               {std::nextafter(3.0, 0.0), std::nextafter(3.0, 0.0)},
                               {-0.5, -0.5},
                               {-1e300, -1e300},
                               {nan, nan},
                               {0.0, inf},
                               {0.0, -inf},
                               {255.0, 255.0},
                               {256.0, 256.0},
                               {std::nextafter(256.0, 0.0), std::nextafter(256.0, 0.0)},
                               {1e300, 1e300},
                               {0.0, 513.0},
                               {254.0, 255.0}};
    constexpr int kPairs = sizeof pairs / sizeof pairs[0];
    const std::int32_t nx = 97;  // vector groups and a tail
    const double ox = -1.0 / 32;
    const std::size_t n = ProfileLength(FarthestDistance(nx, 1, ox, 0.0));
    std::vector<double> table(n, 0.0);
    for (std::int32_t x = 0; x < nx; ++x) {
        table[16 * x] = pairs[x % kPairs][0];
        table[16 * x + 1] = pairs[x % kPairs][1];
    }
    DiskPhantom p;
    p.nx = nx;
    p.ny = 1;
    p.ox = ox;
    p.oy = 0.0;
    p.radius = 10.0;
    p.diskSample = 1;
    p.backgroundSample = 0;
    p.bits = 8;
    p.profile = table.data();
    {
        std::vector<std::uint16_t> disk(nx, 0xDEAD);
        std::vector<std::uint16_t> blurred(nx, 0xDEAD);
        std::uint16_t* diskRow = disk.data();
        std::uint16_t* blurRow = blurred.data();
        FillDiskImages(p, &diskRow, &blurRow);
        for (std::int32_t x = 0; x < nx; ++x) {
            const double a = table[16 * x];
            const double b = table[16 * x + 1];
            const double v = a + 0.5 * (b - a);
            EXPECT_EQ(blurred[x], OffsetSample(v, TopSample(8))) << "x " << x << " v " << v;
        }
    }
}

TEST(FarthestDistance, IsTheFarthestCorner)
{
    EXPECT_DOUBLE_EQ(FarthestDistance(10, 20, 2.0, 3.0), std::hypot(7.0, 16.0));
    EXPECT_DOUBLE_EQ(FarthestDistance(10, 20, 8.0, 17.0), std::hypot(8.0, 17.0));
    EXPECT_DOUBLE_EQ(FarthestDistance(10, 20, -5.0, 30.0), std::hypot(14.0, 30.0));
    EXPECT_DOUBLE_EQ(FarthestDistance(1, 1, 0.0, 0.0), 0.0);
    EXPECT_TRUE(std::isnan(FarthestDistance(10, 10, NAN, 1.0)));
}

TEST(NearestDistance, IsZeroInsideAndToTheImageOutside)
{
    EXPECT_EQ(NearestDistance(10, 20, 2.5, 3.0), 0.0);
    EXPECT_DOUBLE_EQ(NearestDistance(10, 20, -3.0, 5.0), 3.0);
    EXPECT_DOUBLE_EQ(NearestDistance(10, 20, 12.0, 23.0), std::hypot(3.0, 4.0));
    EXPECT_EQ(FirstProfileEntry(10, 20, 2.5, 3.0), 0u);
    EXPECT_EQ(FirstProfileEntry(10, 20, -3.0, 5.0), 46u);  // a step below floor(16 * 3 - margin)
}

}  // namespace
