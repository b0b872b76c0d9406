// diskblur run as a program: messages and exit status in the order of the
// checks, the warning, the "-" suppression, and both images read back with
// libtiff.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "phantom.hpp"
#include "phantom_run.hpp"
#include "profile.hpp"
#include "rounding_oracle.hpp"
#include "support.hpp"

namespace {

using testsupport::LibtiffImage;
using testsupport::ReadWithLibtiff;
using testsupport::RunResult;
using testsupport::TempDir;

const char kUsage[] = "usage : diskblur Nx Ny Ox Oy R value {bias} L C.tif GF.tif\n";
const std::string kWarning = testsupport::OutOfImageWarning("circle");
constexpr std::uint16_t kLzw = 5;

RunResult RunDisk(const TempDir& dir, const std::vector<std::string>& args)
{
    return testsupport::RunPhantom("diskblur", dir, args);
}

bool Exists(const TempDir& dir, const std::string& name)
{
    return std::filesystem::exists(dir.path() / name);
}

struct FatalCase {
    std::vector<std::string> args;
    std::string err;
};

void PrintTo(const FatalCase& c, std::ostream* os)
{
    *os << "diskblur";
    for (const auto& a : c.args) *os << " " << a;
    *os << " -> " << testing::PrintToString(c.err);
}

class FatalTest : public testing::TestWithParam<FatalCase> {};

TEST_P(FatalTest, PrintsOneMessageAndWritesNothing)
{
    TempDir dir;
    const RunResult r = RunDisk(dir, GetParam().args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, GetParam().err);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(Exists(dir, "c.tif"));
    EXPECT_FALSE(Exists(dir, "g.tif"));
}

const std::string kPixels = "bad number of pixels.\n";
const std::string kRadius = "bad radius of circle.\n";
const std::string kBias = "bad bias value.\n";
const std::string kValue = "bad value of circle.\n";
const std::string kGauss = "bad radius of Gaussian filter.\n";
const std::string kMemory = "memory allocation error.\n";

INSTANTIATE_TEST_SUITE_P(
    InCheckOrder, FatalTest,
    testing::Values(
        FatalCase{{}, kUsage}, FatalCase{{"9", "9", "4", "4", "2", "1", "1", "c.tif"}, kUsage},
        FatalCase{{"9", "9", "4", "4", "2", "1", "0", "1", "c.tif", "g.tif", "x"}, kUsage},
        // a bad count comes before everything else
        FatalCase{{"9", "9", "4", "4", "0", "-5", "0", "c.tif"}, kUsage},
        FatalCase{{"0", "9", "4", "4", "2", "1", "1", "c.tif", "g.tif"}, kPixels},
        FatalCase{{"abc", "9", "4", "4", "2", "1", "1", "c.tif", "g.tif"}, kPixels},
        FatalCase{{"-3", "0", "4", "4", "0", "1", "1", "c.tif", "g.tif"}, kPixels},
        FatalCase{{"9", "0", "4", "4", "2", "1", "1", "c.tif", "g.tif"}, kPixels},
        FatalCase{{"9", "-99999999999", "4", "4", "2", "1", "1", "c.tif", "g.tif"}, kPixels},
        FatalCase{{"9", "9", "4", "4", "0", "1", "1", "c.tif", "g.tif"}, kRadius},
        FatalCase{{"9", "9", "4", "4", "1e-10", "1", "1", "c.tif", "g.tif"}, kRadius},
        FatalCase{{"9", "9", "4", "4", "nan", "1", "1", "c.tif", "g.tif"}, kRadius},
        // the radius comes before the bias, the bias before the value
        FatalCase{{"9", "9", "4", "4", "-1", "1", "-1", "1", "c.tif", "g.tif"}, kRadius},
        FatalCase{{"9", "9", "4", "4", "2", "1", "-1", "1", "c.tif", "g.tif"}, kBias},
        FatalCase{{"9", "9", "4", "4", "2", "1e9", "65536", "1", "c.tif", "g.tif"}, kBias},
        FatalCase{{"9", "9", "4", "4", "2", "1", "nan", "1", "c.tif", "g.tif"}, kBias},
        // the warning comes out before a later check fails
        FatalCase{{"9", "9", "1", "4", "2", "1", "-1", "1", "c.tif", "g.tif"}, kWarning + kBias},
        FatalCase{{"9", "9", "4", "4", "2", "1", "65535", "1", "c.tif", "g.tif"}, kValue},
        FatalCase{{"9", "9", "4", "4", "2", "-1", "1", "c.tif", "g.tif"}, kValue},
        FatalCase{{"9", "9", "4", "4", "2", "65536", "0", "c.tif", "g.tif"}, kValue},
        FatalCase{{"9", "9", "4", "4", "2", "-101", "100", "0", "c.tif", "g.tif"}, kValue},
        FatalCase{{"9", "9", "4", "4", "2", "1", "0", "c.tif", "g.tif"}, kGauss},
        FatalCase{{"9", "9", "4", "4", "2", "1", "5", "x", "c.tif", "g.tif"}, kGauss},
        FatalCase{{"9", "9", "4", "4", "2", "1", "nan", "c.tif", "g.tif"}, kGauss},
        // sizes beyond the address space, and a table that cannot be sized
        FatalCase{{"2147483647", "2147483647", "4", "4", "2", "1", "1", "c.tif", "g.tif"}, kMemory},
        FatalCase{{"99999999999", "99999999999", "4", "4", "2", "1", "1", "c.tif", "g.tif"},
                  kMemory},
        FatalCase{{"9", "9", "nan", "4", "2", "1", "1", "c.tif", "g.tif"}, kMemory},
        FatalCase{{"9", "9", "4", "1e300", "2", "1", "1", "c.tif", "g.tif"}, kWarning + kMemory}));

// Runs a successful diskblur and reads both files back.
struct Images {
    RunResult run;
    LibtiffImage disk;
    LibtiffImage blurred;
};

// Stops the test (through ASSERT) when the run fails or libtiff cannot read
// either file; callers wrap it in ASSERT_NO_FATAL_FAILURE.
void MakeImages(const TempDir& dir, std::vector<std::string> args, Images* images)
{
    args.push_back(dir.file("c.tif"));
    args.push_back(dir.file("g.tif"));
    images->run = RunDisk(dir, args);
    ASSERT_EQ(images->run.status, 0) << images->run.err;
    const auto disk = ReadWithLibtiff(dir.file("c.tif"));
    ASSERT_TRUE(disk.has_value()) << "libtiff cannot read c.tif";
    const auto blurred = ReadWithLibtiff(dir.file("g.tif"));
    ASSERT_TRUE(blurred.has_value()) << "libtiff cannot read g.tif";
    images->disk = *disk;
    images->blurred = *blurred;
}

struct WarningCase {
    std::vector<std::string> args;
    bool warns;
};

void PrintTo(const WarningCase& c, std::ostream* os)
{
    *os << "diskblur";
    for (const auto& a : c.args) *os << " " << a;
    *os << (c.warns ? " (warns)" : " (no warning)");
}

class WarningTest : public testing::TestWithParam<WarningCase> {};

TEST_P(WarningTest, WarnsOnceAndStillWritesBoth)
{
    TempDir dir;
    Images images;
    ASSERT_NO_FATAL_FAILURE(MakeImages(dir, GetParam().args, &images));
    EXPECT_EQ(images.run.err, GetParam().warns ? kWarning : "");
    EXPECT_EQ(images.disk.width, 20u);
    EXPECT_EQ(images.blurred.height, 10u);
}

INSTANTIATE_TEST_SUITE_P(
    DiskAgainstBorder, WarningTest,
    testing::Values(WarningCase{{"20", "10", "3", "5", "3", "9", "1"}, false},     // Ox = R
                    WarningCase{{"20", "10", "2.9", "5", "3", "9", "1"}, true},    // Ox < R
                    WarningCase{{"20", "10", "16", "5", "3", "9", "1"}, false},    // touches right
                    WarningCase{{"20", "10", "16.01", "5", "3", "9", "1"}, true},  // past right
                    WarningCase{{"20", "10", "10", "4", "4", "9", "1"}, false},    // touches top
                    WarningCase{{"20", "10", "10", "5", "4.5", "9", "1"}, true},   // past bottom
                    WarningCase{{"20", "10", "-40", "30", "4", "9", "5", "1"}, true}));  // outside

struct DepthCase {
    std::vector<std::string> levels;  // value, or value and bias
    std::uint16_t bits;
    std::string description;
    std::uint16_t diskSample;
    std::uint16_t backgroundSample;
};

void PrintTo(const DepthCase& c, std::ostream* os)
{
    *os << "levels";
    for (const auto& a : c.levels) *os << " " << a;
    *os << " -> " << c.bits << " bits, disk " << c.diskSample << ", background "
        << c.backgroundSample;
}

class DepthTest : public testing::TestWithParam<DepthCase> {};

TEST_P(DepthTest, BitsDescriptionAndLevels)
{
    const DepthCase c = GetParam();
    std::vector<std::string> args = {"16", "12", "8", "6", "3"};
    args.insert(args.end(), c.levels.begin(), c.levels.end());
    args.push_back("0.3");  // f = 1 at the centre, 0 at the corners, to the last bit
    TempDir dir;
    Images images;
    ASSERT_NO_FATAL_FAILURE(MakeImages(dir, args, &images));
    EXPECT_EQ(images.run.err, "");
    for (const LibtiffImage* image : {&images.disk, &images.blurred}) {
        EXPECT_EQ(image->bits, c.bits);
        EXPECT_EQ(image->compression, kLzw);
        EXPECT_EQ(image->description, c.description);
        EXPECT_EQ(image->errors, "");
    }
    EXPECT_EQ(images.disk.at(8, 6), c.diskSample);
    EXPECT_EQ(images.disk.at(0, 0), c.backgroundSample);
    EXPECT_EQ(images.blurred.at(8, 6), c.diskSample);
    EXPECT_EQ(images.blurred.at(15, 11), c.backgroundSample);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, DepthTest,
    testing::Values(DepthCase{{"0"}, 1, "-0.000000\t1.000000", 0, 0},
                    DepthCase{{"1"}, 1, "-0.000000\t1.000000", 1, 0},
                    DepthCase{{"3"}, 2, "-0.000000\t3.000000", 3, 0},
                    DepthCase{{"15"}, 4, "-0.000000\t15.000000", 15, 0},
                    DepthCase{{"255"}, 8, "-0.000000\t255.000000", 255, 0},
                    DepthCase{{"256"}, 16, "-0.000000\t65535.000000", 256, 0},
                    DepthCase{{"100", "10"}, 8, "-10.000000\t245.000000", 110, 10},
                    DepthCase{{"-100", "100"}, 8, "-100.000000\t155.000000", 0, 100},
                    DepthCase{{"-2", "3"}, 2, "-3.000000\t0.000000", 1, 3},
                    DepthCase{{"0", "65535"}, 16, "-65535.000000\t0.000000", 65535, 65535},
                    // a top level that rounds up to the next power of two
                    DepthCase{{"255.7"}, 16, "-0.000000\t65535.000000", 256, 0},
                    DepthCase{{"1.5"}, 2, "-0.000000\t3.000000", 2, 0},
                    DepthCase{{"0.5", "15"}, 8, "-15.000000\t240.000000", 16, 15}));

TEST(DiskBlur, ValueZeroGivesTwoUniformImages)
{
    TempDir dir;
    Images images;
    ASSERT_NO_FATAL_FAILURE(MakeImages(dir, {"9", "7", "4", "3", "2", "0", "1"}, &images));
    for (const LibtiffImage* image : {&images.disk, &images.blurred}) {
        for (const std::uint32_t s : image->samples) ASSERT_EQ(s, 0u);
    }
}

TEST(DiskBlur, PixelAtDistanceRTakesTheDiskLevel)
{
    // Integer centre (10, 10), R = 5: offset (3, 4) lies on the rim, where
    // the table is read at an entry (16 * 5 = 80) without interpolation.
    TempDir dir;
    const double bias = 20.0;
    const double value = 200.0;
    const double R = 5.0;
    const double L = 1.5;
    Images images;
    ASSERT_NO_FATAL_FAILURE(
        MakeImages(dir, {"64", "48", "10", "10", "5", "200", "20", "1.5"}, &images));
    EXPECT_EQ(images.disk.at(13, 14), 220u);
    EXPECT_EQ(images.disk.at(13, 15), 20u);
    EXPECT_EQ(images.disk.at(10, 5), 220u);
    EXPECT_EQ(images.disk.at(16, 10), 20u);
    EXPECT_EQ(images.blurred.at(13, 14),
              testsupport::OracleSample(bias + value * DiskFraction(R, R, L), 8));
    // far pixels take the bias
    EXPECT_EQ(images.blurred.at(63, 47), 20u);
    EXPECT_EQ(images.blurred.at(40, 10), 20u);
    EXPECT_EQ(images.disk.at(63, 47), 20u);
}

TEST(DiskBlur, BlurredPixelsFollowTheProfile)
{
    TempDir dir;
    const double ox = 30.3, oy = 21.7, R = 12.0, L = 3.0, bias = 5.0, value = 60000.0;
    Images images;
    ASSERT_NO_FATAL_FAILURE(
        MakeImages(dir, {"64", "48", "30.3", "21.7", "12", "60000", "5", "3"}, &images));
    ASSERT_EQ(images.blurred.bits, 16);
    // Linear interpolation over steps h = 1/16 is off by at most
    // h^2 / 8 * max|value f''|, and |f''| stays below 0.6 / L^2 (the rim is
    // close to an erfc profile, whose f'' peaks at 0.48 / L^2); the rounding
    // adds 0.5.
    const double tolerance = value * 0.6 / (L * L) / (8.0 * 256.0) + 0.5;
    for (std::uint32_t y = 0; y < 48; y += 3) {
        for (std::uint32_t x = 0; x < 64; x += 5) {
            const double d = std::hypot(x - ox, y - oy);
            const double exact = bias + value * DiskFraction(d, R, L);
            EXPECT_NEAR(images.blurred.at(x, y), exact, tolerance) << x << "," << y;
        }
    }
}

TEST(DiskBlur, DarkDiskRisesTowardTheBias)
{
    TempDir dir;
    Images images;
    ASSERT_NO_FATAL_FAILURE(
        MakeImages(dir, {"64", "64", "32", "32", "10", "-800", "1000", "3"}, &images));
    const std::uint32_t centre = images.blurred.at(32, 32);
    EXPECT_NEAR(centre, 1000 - 800 * (1 - std::exp(-100.0 / 9.0)), 1.0);
    EXPECT_EQ(images.disk.at(32, 32), 200u);
    std::uint32_t previous = centre;
    for (std::uint32_t x = 33; x < 64; ++x) {
        EXPECT_GE(images.blurred.at(x, 32), previous) << x;
        previous = images.blurred.at(x, 32);
    }
    EXPECT_EQ(images.blurred.at(63, 32), 1000u);
    EXPECT_EQ(images.blurred.at(0, 0), 1000u);
}

TEST(DiskBlur, NarrowGaussianGivesTheDiskAwayFromTheRim)
{
    TempDir dir;
    Images images;
    ASSERT_NO_FATAL_FAILURE(
        MakeImages(dir, {"40", "40", "19.5", "20.25", "11", "255", "0.05"}, &images));
    for (std::uint32_t y = 0; y < 40; ++y) {
        for (std::uint32_t x = 0; x < 40; ++x) {
            if (std::fabs(std::hypot(x - 19.5, y - 20.25) - 11.0) < 0.3) continue;
            ASSERT_EQ(images.blurred.at(x, y), images.disk.at(x, y)) << x << "," << y;
        }
    }
}

TEST(DiskBlur, CentreOutsideTheImage)
{
    TempDir dir;
    Images images;
    ASSERT_NO_FATAL_FAILURE(MakeImages(dir, {"30", "20", "-25", "45", "40", "1000", "4"}, &images));
    EXPECT_EQ(images.run.err, kWarning);
    for (const auto& [x, y] : {std::pair{0u, 19u}, {29u, 0u}, {10u, 10u}, {29u, 19u}}) {
        const double d = std::hypot(x + 25.0, y - 45.0);
        EXPECT_NEAR(images.blurred.at(x, y), 1000.0 * DiskFraction(d, 40.0, 4.0), 1.0);
        EXPECT_EQ(images.disk.at(x, y), d <= 40.0 ? 1000u : 0u);
    }
}

TEST(DiskBlur, InfiniteRadiiEnd)
{
    // An infinite disk is the disk level everywhere, an infinite Gaussian
    // spreads everything to the bias; both at once must still end.
    for (const auto& [R, L] : {std::pair{"inf", "2"}, {"3", "inf"}, {"inf", "inf"}}) {
        TempDir dir;
        Images images;
        ASSERT_NO_FATAL_FAILURE(MakeImages(dir, {"8", "7", "4", "3", R, "9", "2", L}, &images));
        EXPECT_EQ(images.run.err, std::string(R) == "inf" ? kWarning : "");
        EXPECT_EQ(images.disk.at(7, 5), std::string(R) == "inf" ? 11u : 2u);
        if (std::string(R) == "inf" && std::string(L) == "2") {
            EXPECT_EQ(images.blurred.at(7, 5), 11u);
        }
        if (std::string(L) == "inf" && std::string(R) == "3") {
            EXPECT_EQ(images.blurred.at(4, 3), 2u);
        }
    }
}

TEST(DiskBlur, MinusSuppressesAnOutput)
{
    TempDir dir;
    RunResult r = RunDisk(dir, {"8", "8", "4", "4", "2", "9", "1", "-", "-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    r = RunDisk(dir, {"8", "8", "4", "4", "2", "9", "1", "-c.tif", "g.tif"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(Exists(dir, "-c.tif"));
    EXPECT_TRUE(Exists(dir, "g.tif"));

    r = RunDisk(dir, {"8", "8", "4", "4", "2", "9", "1", "c.tif", "-"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(Exists(dir, "c.tif"));
}

TEST(DiskBlur, UnwritableDiskFileStopsBeforeTheBlurredOne)
{
    TempDir dir;
    const RunResult r =
        RunDisk(dir, {"8", "8", "4", "4", "2", "9", "1", "no/such/dir/c.tif", "g.tif"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "no/such/dir/c.tif : file not stored.\n");
    EXPECT_FALSE(Exists(dir, "g.tif"));
}

}  // namespace
