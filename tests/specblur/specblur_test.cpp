// The specblur program as a user runs it: arguments, messages, exit status
// and the written file, read back with libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdint>
#include <filesystem>
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

using testsupport::Image;
using testsupport::RandomImage;
using testsupport::StoreWithOurs;

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
