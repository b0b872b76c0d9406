// imgcompare run as a program: the report on identical and differing images,
// the signed mean difference, the interior left by a margin, the difference
// image, and the refusals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "image.hpp"
#include "store.hpp"
#include "support.hpp"

namespace {

using testsupport::TempDir;

testsupport::RunResult Imgcompare(const std::vector<std::string>& args)
{
    return testsupport::Run(testsupport::Program("imgcompare"), args);
}

// Writes a width x height image of the given depth whose sample (x, y) is
// value(x, y).
template <typename F>
void WriteImage(const std::string& path, int width, int height, int bits, F value)
{
    testsupport::Image image(width, height, bits);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.at(x, y) = value(x, y);
    testsupport::StoreWithOurs(path, image);
}

std::uint16_t Ramp(int x, int y)
{
    return static_cast<std::uint16_t>((7 * x + 13 * y) % 251);
}

// One region line of the report, split into its fields.
struct Region {
    std::string name;
    std::uint64_t samples = 0;
    std::uint64_t differing = 0;
    unsigned max = 0;
    double mean = 0;
    double rms = 0;
    double meanSigned = 0;
    std::string where;
};

std::vector<Region> ParseReport(const std::string& out)
{
    std::vector<Region> regions;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);  // what is compared
    std::getline(lines, line);  // column heads
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        Region r;
        fields >> r.name >> r.samples >> r.differing >> r.max >> r.mean >> r.rms >> r.meanSigned;
        std::getline(fields >> std::ws, r.where);
        regions.push_back(r);
    }
    return regions;
}

TEST(Imgcompare, IdenticalImagesDifferNowhere)
{
    TempDir dir;
    WriteImage(dir.file("a.tif"), 40, 30, 8, Ramp);
    WriteImage(dir.file("b.tif"), 40, 30, 8, Ramp);
    const auto run = Imgcompare({dir.file("a.tif"), dir.file("b.tif"), "5"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto regions = ParseReport(run.out);
    ASSERT_EQ(regions.size(), 2u) << run.out;
    EXPECT_EQ(regions[0].name, "whole");
    EXPECT_EQ(regions[0].samples, 1200u);
    EXPECT_EQ(regions[1].name, "interior");
    EXPECT_EQ(regions[1].samples, 30u * 20u);
    for (const auto& r : regions) {
        EXPECT_EQ(r.differing, 0u);
        EXPECT_EQ(r.max, 0u);
        EXPECT_EQ(r.mean, 0.0);
        EXPECT_EQ(r.rms, 0.0);
        EXPECT_EQ(r.meanSigned, 0.0);
        EXPECT_EQ(r.where, "-");
    }
}

TEST(Imgcompare, ReportIsAlignedAndNamesTheFiles)
{
    TempDir dir;
    WriteImage(dir.file("a.tif"), 3, 2, 16, Ramp);
    const auto run = Imgcompare({dir.file("a.tif"), dir.file("a.tif"), "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string first, heads, whole, interior;
    std::getline(lines, first);
    std::getline(lines, heads);
    std::getline(lines, whole);
    std::getline(lines, interior);
    EXPECT_EQ(first, "A " + dir.file("a.tif") + ", B " + dir.file("a.tif") +
                         ": 3 x 2, 16 bits per sample, margin 0; d = A - B");
    // Every number column ends where its head ends.
    for (const std::string& line : {whole, interior}) {
        for (const char* head :
             {"samples", "differing", "max |d|", "mean |d|", "rms d", "mean d"}) {
            const auto end = heads.find(head) + std::string(head).size();
            ASSERT_LT(end, line.size());
            EXPECT_NE(line[end - 1], ' ') << head << "\n" << heads << "\n" << line;
            EXPECT_EQ(line[end], ' ') << head << "\n" << heads << "\n" << line;
        }
    }
}

// One sample changed by d: the largest difference is d at that sample, the
// mean is d/n and the RMS d/sqrt(n), whichever image holds the larger value.
TEST(Imgcompare, OneDifferingSample)
{
    struct Case {
        int bits, x, y, delta;
    };
    for (const Case c : {Case{8, 17, 11, 3}, Case{8, 0, 0, -200}, Case{16, 39, 29, 60000},
                         Case{1, 5, 2, 1}, Case{12, 20, 3, -4000}}) {
        SCOPED_TRACE(::testing::Message() << c.bits << " bits, delta " << c.delta);
        TempDir dir;
        const int top = (1 << c.bits) - 1;
        auto base = [&](int, int) { return static_cast<std::uint16_t>(c.delta > 0 ? 0 : top); };
        WriteImage(dir.file("a.tif"), 40, 30, c.bits, base);
        WriteImage(dir.file("b.tif"), 40, 30, c.bits, [&](int x, int y) {
            const int v = base(x, y);
            return static_cast<std::uint16_t>(x == c.x && y == c.y ? v + c.delta : v);
        });
        const auto run = Imgcompare({dir.file("a.tif"), dir.file("b.tif")});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto regions = ParseReport(run.out);
        ASSERT_EQ(regions.size(), 1u) << run.out;
        const Region& r = regions[0];
        const unsigned d = static_cast<unsigned>(std::abs(c.delta));
        EXPECT_EQ(r.samples, 1200u);
        EXPECT_EQ(r.differing, 1u);
        EXPECT_EQ(r.max, d);
        EXPECT_NEAR(r.mean, d / 1200.0, 0.5e-4);
        EXPECT_NEAR(r.rms, d / std::sqrt(1200.0), 0.5e-4);
        // d = A - B: b holds the changed sample.
        EXPECT_NEAR(r.meanSigned, -c.delta / 1200.0, 0.5e-4);
        EXPECT_EQ(r.where, "x " + std::to_string(c.x) + ", y " + std::to_string(c.y));
    }
}

// The interior leaves `margin` samples out at each border: differences on
// the border ring count in the whole image only.
TEST(Imgcompare, MarginLeavesTheBorderOut)
{
    TempDir dir;
    const int width = 20, height = 12, margin = 3;
    WriteImage(dir.file("a.tif"), width, height, 8, [](int, int) { return 100; });
    // b: 10 more in the outermost ring kept out by the margin, and 1 more in
    // one interior sample at (margin, height - 1 - margin).
    WriteImage(dir.file("b.tif"), width, height, 8, [&](int x, int y) {
        const bool inside = x >= margin && x < width - margin && y >= margin && y < height - margin;
        if (!inside) return x == margin - 1 ? 110 : 100;
        return x == margin && y == height - 1 - margin ? 101 : 100;
    });
    const auto run = Imgcompare({dir.file("a.tif"), dir.file("b.tif"), std::to_string(margin)});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto regions = ParseReport(run.out);
    ASSERT_EQ(regions.size(), 2u) << run.out;
    // Column margin-1 differs in every row; the interior sample adds one.
    EXPECT_EQ(regions[0].samples, 240u);
    EXPECT_EQ(regions[0].differing, static_cast<unsigned>(height) + 1);
    EXPECT_EQ(regions[0].max, 10u);
    EXPECT_EQ(regions[0].where, "x 2, y 0");
    EXPECT_NEAR(regions[0].mean, (10.0 * height + 1) / 240, 0.5e-4);
    EXPECT_NEAR(regions[0].rms, std::sqrt((100.0 * height + 1) / 240), 0.5e-4);
    EXPECT_NEAR(regions[0].meanSigned, -(10.0 * height + 1) / 240, 0.5e-4);
    EXPECT_EQ(regions[1].name, "interior");
    EXPECT_EQ(regions[1].samples, 14u * 6u);
    EXPECT_EQ(regions[1].differing, 1u);
    EXPECT_EQ(regions[1].max, 1u);
    EXPECT_EQ(regions[1].where, "x 3, y 8");
    EXPECT_NEAR(regions[1].mean, 1.0 / 84, 0.5e-4);
    EXPECT_NEAR(regions[1].rms, std::sqrt(1.0 / 84), 0.5e-4);
    EXPECT_NEAR(regions[1].meanSigned, -1.0 / 84, 0.5e-4);
}

// Two noisy images with a bias between them: the signed mean is the bias
// (what a filter's systematic error looks like), the absolute mean is not;
// both against sums taken here, sample by sample.  The difference image
// holds 128 + d/step for the step its description states.
struct NoiseCase {
    const char* name;
    int bits;
    int spread;  // B = A + offset + noise in [-spread, spread], clamped
    int offset;
};

void PrintTo(const NoiseCase& c, std::ostream* os)
{
    *os << c.name << ": " << c.bits << " bits, spread " << c.spread << ", offset " << c.offset;
}

class ImgcompareNoise : public ::testing::TestWithParam<NoiseCase> {};

TEST_P(ImgcompareNoise, SignedMeanAndDifferenceImage)
{
    const NoiseCase c = GetParam();
    const int width = 37, height = 23, margin = 4;
    const int top = (1 << c.bits) - 1;
    std::mt19937 random(c.bits * 1000 + c.spread);
    std::vector<int> a(width * height), b(width * height);
    std::uniform_int_distribution<int> level(0, top), noise(-c.spread, c.spread);
    for (int i = 0; i < width * height; ++i) {
        a[i] = level(random);
        b[i] = std::clamp(a[i] + c.offset + noise(random), 0, top);
    }
    TempDir dir;
    WriteImage(dir.file("a.tif"), width, height, c.bits,
               [&](int x, int y) { return static_cast<std::uint16_t>(a[y * width + x]); });
    WriteImage(dir.file("b.tif"), width, height, c.bits,
               [&](int x, int y) { return static_cast<std::uint16_t>(b[y * width + x]); });
    const auto run = Imgcompare(
        {dir.file("a.tif"), dir.file("b.tif"), std::to_string(margin), dir.file("diff.tif")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto regions = ParseReport(run.out);
    ASSERT_EQ(regions.size(), 2u) << run.out;

    auto sums = [&](int x0, int y0, int x1, int y1) {
        double signedSum = 0, absSum = 0;
        int largest = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const int d = a[y * width + x] - b[y * width + x];
                signedSum += d;
                absSum += std::abs(d);
                largest = std::max(largest, std::abs(d));
            }
        const double n = double(x1 - x0) * (y1 - y0);
        return std::make_tuple(signedSum / n, absSum / n, largest);
    };
    const auto [wholeSigned, wholeAbs, wholeMax] = sums(0, 0, width, height);
    const auto [innerSigned, innerAbs, innerMax] =
        sums(margin, margin, width - margin, height - margin);
    EXPECT_NEAR(regions[0].meanSigned, wholeSigned, 0.51e-4);
    EXPECT_NEAR(regions[0].mean, wholeAbs, 0.51e-4);
    EXPECT_EQ(regions[0].max, static_cast<unsigned>(wholeMax));
    EXPECT_NEAR(regions[1].meanSigned, innerSigned, 0.51e-4);
    EXPECT_NEAR(regions[1].mean, innerAbs, 0.51e-4);
    EXPECT_EQ(regions[1].max, static_cast<unsigned>(innerMax));

    // The difference image, read by libtiff.
    const auto diff = testsupport::ReadWithLibtiff(dir.file("diff.tif"));
    ASSERT_TRUE(diff.has_value());
    EXPECT_EQ(diff->errors, "");
    ASSERT_EQ(diff->width, static_cast<std::uint32_t>(width));
    ASSERT_EQ(diff->height, static_cast<std::uint32_t>(height));
    EXPECT_EQ(diff->bits, 8);
    ASSERT_TRUE(diff->description.has_value());
    double low = 0, high = 0;
    ASSERT_EQ(std::sscanf(diff->description->c_str(), "%lf\t%lf", &low, &high), 2)
        << *diff->description;
    // Sample 0 stands for -128 steps, sample 255 for +127 steps; the step is
    // the smallest whole number that keeps every difference within 1 .. 255.
    const double step = high / 127;
    EXPECT_EQ(step, std::floor(step));
    EXPECT_EQ(low, -128 * step);
    EXPECT_LE(wholeMax, 127 * step);
    if (step > 1) {
        EXPECT_GT(wholeMax, 127 * (step - 1));
    }
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int d = a[y * width + x] - b[y * width + x];
            ASSERT_EQ(diff->at(x, y), 128 + std::lround(d / step))
                << "x " << x << ", y " << y << ", d " << d;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImgcompareNoise,
    ::testing::Values(NoiseCase{"small8", 8, 3, 0}, NoiseCase{"biased8", 8, 2, 5},
                      NoiseCase{"wide8", 8, 200, 0}, NoiseCase{"biased16", 16, 40, -300},
                      NoiseCase{"full16", 16, 65535, 0}, NoiseCase{"exact127", 8, 127, 0},
                      NoiseCase{"twelve", 12, 1000, 17}),
    [](const ::testing::TestParamInfo<NoiseCase>& info) { return info.param.name; });

// Identical images give a uniform difference image of 128 at one sample unit
// per grey level; the report does not change with the fourth argument.
TEST(Imgcompare, DifferenceImageOfIdenticalImages)
{
    TempDir dir;
    WriteImage(dir.file("a.tif"), 9, 5, 16, Ramp);
    const auto plain = Imgcompare({dir.file("a.tif"), dir.file("a.tif"), "1"});
    const auto run = Imgcompare({dir.file("a.tif"), dir.file("a.tif"), "1", dir.file("same.tif")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, plain.out);
    const auto diff = testsupport::ReadWithLibtiff(dir.file("same.tif"));
    ASSERT_TRUE(diff.has_value());
    EXPECT_EQ(diff->bits, 8);
    EXPECT_EQ(diff->description, "-128.000000\t127.000000");
    EXPECT_EQ(diff->samples, std::vector<std::uint32_t>(45, 128));
}

// A difference image that cannot be stored is the writer's failure, after
// the report.
TEST(Imgcompare, DifferenceImageNotStored)
{
    TempDir dir;
    WriteImage(dir.file("a.tif"), 9, 5, 8, Ramp);
    const std::string target = dir.file("missing/diff.tif");
    const auto run = Imgcompare({dir.file("a.tif"), dir.file("a.tif"), "0", target});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, target + " : file not stored.\n");
    EXPECT_EQ(ParseReport(run.out).size(), 2u) << run.out;
}

TEST(Imgcompare, MarginThatLeavesNoInterior)
{
    TempDir dir;
    WriteImage(dir.file("a.tif"), 9, 4, 8, Ramp);
    for (const char* margin : {"2", "5"}) {
        const auto run = Imgcompare({dir.file("a.tif"), dir.file("a.tif"), margin});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.out.find("interior           0  (the margin leaves no interior)\n"),
                  std::string::npos)
            << run.out;
    }
    // A margin of 1 on a 9 x 4 image keeps 7 x 2 samples.
    const auto run = Imgcompare({dir.file("a.tif"), dir.file("a.tif"), "1"});
    const auto regions = ParseReport(run.out);
    ASSERT_EQ(regions.size(), 2u) << run.out;
    EXPECT_EQ(regions[1].samples, 14u);
}

TEST(Imgcompare, Refusals)
{
    TempDir dir;
    WriteImage(dir.file("a.tif"), 40, 30, 8, Ramp);
    WriteImage(dir.file("wide.tif"), 41, 30, 8, Ramp);
    WriteImage(dir.file("high.tif"), 40, 31, 8, Ramp);
    WriteImage(dir.file("deep.tif"), 40, 30, 16, Ramp);
    const std::string a = dir.file("a.tif");
    const std::string usage = "usage : imgcompare A.tif B.tif [margin [diff.tif]]\n";
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{}, usage},
        {{a}, usage},
        {{a, a, "1", dir.file("d.tif"), "x"}, usage},
        {{a, dir.file("wide.tif")}, "images differ in size: 40 x 30 and 41 x 30.\n"},
        {{dir.file("high.tif"), a}, "images differ in size: 40 x 31 and 40 x 30.\n"},
        {{a, dir.file("deep.tif"), "2"}, "images differ in bits per sample: 8 and 16.\n"},
        {{a, a, "-1"}, "bad margin.\n"},
        {{a, a, "two"}, "bad margin.\n"},
        {{a, a, "3px"}, "bad margin.\n"},
        {{a, a, ""}, "bad margin.\n"},
        {{a, a, "99999999999"}, "bad margin.\n"},
        // The margin is checked before any file is read.
        {{dir.file("none.tif"), a, "x"}, "bad margin.\n"},
    };
    for (const auto& c : cases) {
        const auto run = Imgcompare(c.args);
        EXPECT_EQ(run.status, 1) << c.err;
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(run.out, "");
    }
    // A file the reader refuses is reported by the reader, path first.
    const auto run = Imgcompare({a, dir.file("none.tif")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, dir.file("none.tif") + " : file not found.\n");
    EXPECT_EQ(run.out, "");
}

}  // namespace
