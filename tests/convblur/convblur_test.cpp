// The convblur program run as a user runs it: arguments, messages, exit
// status, and the output file read back with libtiff.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "image.hpp"
#include "reference.hpp"
#include "rounding_oracle.hpp"
#include "store.hpp"
#include "support.hpp"

namespace {

using testsupport::Image;
using testsupport::Program;
using testsupport::RandomImage;
using testsupport::ReadWithLibtiff;
using testsupport::Run;
using testsupport::StoreWithOurs;
using testsupport::TempDir;

testsupport::RunResult Convblur(const std::vector<std::string>& args)
{
    return Run(Program("convblur"), args);
}

// Checks the output file against the reference of the input image.
void ExpectFiltered(const std::string& path, const Image& image, double radius, double bias)
{
    const auto out = ReadWithLibtiff(path);
    ASSERT_TRUE(out.has_value()) << path;
    EXPECT_EQ(out->errors, "");
    ASSERT_EQ(out->width, std::uint32_t(image.width));
    ASSERT_EQ(out->height, std::uint32_t(image.height));
    ASSERT_EQ(out->bits, image.bits);
    const auto sums = convref::Sums(image, radius, bias);
    for (std::size_t i = 0; i < sums.size(); ++i) {
        if (testsupport::NearHalf(sums[i])) continue;
        ASSERT_EQ(out->samples[i], testsupport::OracleSample(sums[i], image.bits))
            << "sample " << i;
    }
}

TEST(Convblur, BadRadiusIsRefusedAfterTheInputIsRead)
{
    TempDir dir;
    const std::string in = dir.file("in.tif");
    const std::string out = dir.file("out.tif");
    StoreWithOurs(in, RandomImage(9, 7, 8, 1));
    // Beyond the refusals of both filters (interpretation_test): convblur
    // takes no radius 0, nor text that reads as 0.
    for (const std::string radius : {"0", "abc", "", "-0.0"}) {
        for (bool withBias : {false, true}) {
            std::vector<std::string> args = {in, radius};
            if (withBias) args.push_back("5");
            args.push_back(out);
            const auto result = Convblur(args);
            EXPECT_EQ(result.status, 1) << "radius '" << radius << "'";
            EXPECT_EQ(result.err, "bad Gaussian radius.\n") << "radius '" << radius << "'";
        }
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

// Three arguments: the bias is 0; four: the third is the bias.  Numbers are
// read from their longest numeric prefix; the description is kept.
TEST(Convblur, FiltersWithTheBiasGivenOrZero)
{
    TempDir dir;
    const std::string in = dir.file("in.tif");
    const std::string out = dir.file("out.tif");
    const struct {
        int bits;
        std::string radius;
        double radiusValue;
        const char* bias;  // nullptr: three arguments
        double biasValue;
        const char* description;
    } cases[] = {{16, "2.5", 2.5, nullptr, 0.0, "0.000000\t1.000000"},
                 {16, "1", 1.0, "30000", 30000.0, nullptr},
                 {12, "0.75", 0.75, "-250.5", -250.5, nullptr},
                 {8, "3.5e0px", 3.5, "100levels", 100.0, "levels"},
                 {1, "2", 2.0, "x", 0.0, nullptr}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bits << " bits, radius " << c.radius);
        const Image image = RandomImage(70, 11, c.bits, c.bits);
        StoreWithOurs(in, image, c.description);
        const auto result = c.bias == nullptr ? Convblur({in, c.radius, out})
                                              : Convblur({in, c.radius, c.bias, out});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "");
        ExpectFiltered(out, image, c.radiusValue, c.biasValue);
        const auto description = ReadWithLibtiff(out)->description;
        EXPECT_EQ(description.has_value(), c.description != nullptr);
        if (c.description != nullptr) {
            EXPECT_EQ(description, c.description);
        }
    }
}

TEST(Convblur, WorkingCopyThatCannotBeAllocatedIsReported)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's address space does not fit an address space limit";
#else
    // A 2048 × 2048 image: the reader needs 8 MB for it, the working copy of
    // doubles 32 MB more.  An address space of 24 MB holds the first only.
    const char* const prlimit = "/usr/bin/prlimit";
    if (!std::filesystem::exists(prlimit)) GTEST_SKIP() << "no prlimit";
    TempDir dir;
    const std::string in = dir.file("in.tif");
    const std::string out = dir.file("out.tif");
    StoreWithOurs(in, Image(2048, 2048, 16, 7));
    const auto result =
        testsupport::Run(prlimit, {"--as=24000000", Program("convblur"), in, "1", out});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "memory allocation error.\n");
    EXPECT_FALSE(std::filesystem::exists(out));
#endif
}

TEST(Convblur, UnwritableOutputIsReportedByTheWriter)
{
    TempDir dir;
    const std::string in = dir.file("in.tif");
    StoreWithOurs(in, RandomImage(5, 5, 8, 4));
    const std::string out = dir.file("no/such/dir/out.tif");
    const auto result = Convblur({in, "1", out});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, out + " : file not stored.\n");
}

}  // namespace
