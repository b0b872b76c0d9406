// The specblur program as a user runs it: arguments, messages, exit status
// and the written file, read back with libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "circular_convolution.hpp"
#include "image.hpp"
#include "store.hpp"
#include "support.hpp"

namespace {

using testsupport::Program;
using testsupport::ReadWithLibtiff;
using testsupport::TempDir;

const char* const kUsage = "usage : specblur orgTIFF radius {bias} newTIFF\n";

using testsupport::Image;
using testsupport::RandomImage;
using testsupport::StoreWithOurs;

// Writes 8- or 16-bit samples with libtiff, big-endian, with the given
// compression, so that the input comes from a writer no one here wrote.
void StoreWithLibtiff(const std::string& path, const Image& image, std::uint16_t compression,
                      const char* description)
{
    testsupport::LibtiffLayout layout;
    layout.bigEndian = true;
    layout.compression = compression;
    layout.rowsPerStrip = 3;
    ASSERT_TRUE(testsupport::StoreWithLibtiff(path, image, layout, description));
}

// Checks what the program wrote against the direct circular convolution of
// the input (every sample but those whose value lies within 1e-9 of a
// rounding or clamping edge, of which there may be two at most).
void ExpectFiltered(const testsupport::LibtiffImage& out, const Image& in, double radius,
                    double bias)
{
    ASSERT_EQ(out.width, static_cast<std::uint32_t>(in.width));
    ASSERT_EQ(out.height, static_cast<std::uint32_t>(in.height));
    Image written(in.width, in.height, in.bits);
    for (std::size_t i = 0; i < written.samples.size(); ++i) {
        ASSERT_LE(out.samples[i], 0xFFFFu) << "sample " << i;
        written.samples[i] = static_cast<std::uint16_t>(out.samples[i]);
    }
    const int compared = specref::ExpectMatches(written, specref::Reference(in, radius, bias));
    EXPECT_GE(compared, in.width * in.height - 2);
}

testsupport::RunResult Specblur(const std::vector<std::string>& args)
{
    return testsupport::Run(Program("specblur"), args);
}

TEST(SpecblurProgram, WrongArgumentCountPrintsUsage)
{
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {}, {"a.tif"}, {"a.tif", "2"}, {"a.tif", "2", "3", "4", dir.file("out.tif")}};
    for (const auto& args : cases) {
        const auto result = Specblur(args);
        EXPECT_EQ(result.status, 1) << args.size() << " arguments";
        EXPECT_EQ(result.err, kUsage);
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.tif")));
}

// The input is read before the radius is looked at.
TEST(SpecblurProgram, UnreadableInputIsReportedBeforeTheRadius)
{
    TempDir dir;
    const std::string missing = dir.file("missing.tif");
    const auto result = Specblur({missing, "-1", dir.file("out.tif")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, missing + " : file not found.\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.tif")));
}

TEST(SpecblurProgram, RefusesANegativeOrNaNRadius)
{
    TempDir dir;
    StoreWithOurs(dir.file("in.tif"), RandomImage(5, 4, 8, 1), nullptr);
    for (const std::string radius : {"-1", "-0.001", "nan", "-inf"}) {
        const auto result = Specblur({dir.file("in.tif"), radius, dir.file("o.tif")});
        EXPECT_EQ(result.status, 1) << radius;
        EXPECT_EQ(result.err, "bad Gaussian radius.\n") << radius;
        EXPECT_FALSE(std::filesystem::exists(dir.file("o.tif"))) << radius;
    }
}

// Radius 0 (or text that reads as 0) reproduces the input (every depth is
// checked in filter_test.cpp; here a few through the files).
TEST(SpecblurProgram, RadiusZeroReproducesTheInput)
{
    TempDir dir;
    for (const std::int32_t bits : {1, 5, 8, 12, 16}) {
        const Image in = RandomImage(19, 6, bits, 100 + bits);
        StoreWithOurs(dir.file("in.tif"), in, "zero");
        const std::string radius = bits % 2 == 0 ? "0" : "no number";
        const auto result = Specblur({dir.file("in.tif"), radius, dir.file("o.tif")});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const auto out = ReadWithLibtiff(dir.file("o.tif"));
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->bits, bits);
        EXPECT_EQ(out->samples, in.Widened()) << "bits " << bits;
    }
}

// Three arguments: the third is the output and the bias is 0.  Four: the
// third is the bias.  The output keeps size, depth and description.
TEST(SpecblurProgram, WritesTheFilteredImage)
{
    TempDir dir;
    const Image in = RandomImage(37, 21, 12, 5);
    StoreWithOurs(dir.file("in.tif"), in, "0.000000\t1.000000");
    const struct {
        std::vector<std::string> args;
        std::string output;
        double bias;
    } cases[] = {
        {{dir.file("in.tif"), "2.5", dir.file("three.tif")}, "three.tif", 0.0},
        {{dir.file("in.tif"), "2.5", "1500.5", dir.file("four.tif")}, "four.tif", 1500.5},
    };
    for (const auto& c : cases) {
        const auto result = Specblur(c.args);
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "");
        const auto out = ReadWithLibtiff(dir.file(c.output));
        ASSERT_TRUE(out.has_value()) << c.output;
        EXPECT_EQ(out->errors, "");
        EXPECT_EQ(out->width, 37u);
        EXPECT_EQ(out->height, 21u);
        EXPECT_EQ(out->bits, 12);
        EXPECT_EQ(out->compression, COMPRESSION_LZW);
        EXPECT_EQ(out->description, "0.000000\t1.000000");
        {
            SCOPED_TRACE(c.output);
            ExpectFiltered(*out, in, 2.5, c.bias);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("1500.5")));
    EXPECT_NE(ReadWithLibtiff(dir.file("three.tif"))->samples,
              ReadWithLibtiff(dir.file("four.tif"))->samples);
}

// Inputs from libtiff: big-endian, uncompressed, PackBits and LZW, 8 and
// 16 bits, with and without a description.
TEST(SpecblurProgram, ReadsWhatLibtiffWrites)
{
    TempDir dir;
    const struct {
        std::int32_t bits;
        std::uint16_t compression;
        const char* description;
    } cases[] = {{8, COMPRESSION_NONE, nullptr},
                 {16, COMPRESSION_PACKBITS, "packed"},
                 {16, COMPRESSION_LZW, nullptr},
                 {8, COMPRESSION_LZW, "lzw"}};
    std::uint32_t seed = 50;
    for (const auto& c : cases) {
        const Image in = RandomImage(23, 10, c.bits, seed++);
        StoreWithLibtiff(dir.file("in.tif"), in, c.compression, c.description);
        const auto result = Specblur({dir.file("in.tif"), "1.5", "7", dir.file("o.tif")});
        ASSERT_EQ(result.status, 0) << result.err;
        const auto out = ReadWithLibtiff(dir.file("o.tif"));
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->bits, c.bits);
        if (c.description == nullptr) {
            EXPECT_FALSE(out->description.has_value());
        } else {
            EXPECT_EQ(out->description, c.description);
        }
        {
            SCOPED_TRACE(testing::Message() << c.bits << " bits, compression " << c.compression);
            ExpectFiltered(*out, in, 1.5, 7.0);
        }
    }
}

TEST(SpecblurProgram, OnePixelAndBiasImagesAreKept)
{
    TempDir dir;
    const Image pixel(1, 1, 16, 54321);
    StoreWithOurs(dir.file("pixel.tif"), pixel, nullptr);
    const Image flat(33, 17, 8, 90);
    StoreWithOurs(dir.file("flat.tif"), flat, nullptr);
    const struct {
        std::string input;
        std::string bias;
        const Image* samples;
    } cases[] = {
        {"pixel.tif", "0", &pixel}, {"pixel.tif", "-3000", &pixel}, {"flat.tif", "90", &flat}};
    for (const auto& c : cases) {
        for (const std::string radius : {"1", "40", "inf"}) {
            const auto result = Specblur({dir.file(c.input), radius, c.bias, dir.file("o.tif")});
            ASSERT_EQ(result.status, 0) << result.err;
            const auto out = ReadWithLibtiff(dir.file("o.tif"));
            ASSERT_TRUE(out.has_value());
            EXPECT_EQ(out->samples, c.samples->Widened()) << c.input << " radius " << radius;
        }
    }
}

}  // namespace
