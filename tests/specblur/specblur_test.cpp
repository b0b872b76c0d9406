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

#include "filter.hpp"
#include "sif.hpp"
#include "support.hpp"

namespace {

using testsupport::Program;
using testsupport::ReadWithLibtiff;
using testsupport::TempDir;

const char* const kUsage = "usage : specblur orgTIFF radius {bias} newTIFF\n";

struct Samples {
    std::int32_t width;
    std::int32_t height;
    std::int32_t bits;
    std::vector<std::uint16_t> values;  // row by row
};

Samples RandomSamples(std::int32_t width, std::int32_t height, std::int32_t bits,
                      std::uint32_t seed)
{
    Samples s{width, height, bits, std::vector<std::uint16_t>(width * height)};
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::uint32_t> value(0, (1u << bits) - 1);
    for (auto& v : s.values) v = static_cast<std::uint16_t>(value(random));
    return s;
}

// Writes the samples with our own writer (little-endian, LZW).
void Store(const std::string& path, Samples s, const char* description)
{
    std::vector<const std::uint16_t*> rows(s.height);
    for (std::int32_t y = 0; y < s.height; ++y) rows[y] = &s.values[y * s.width];
    StoreImageFile(path.c_str(), s.width, s.height, s.bits, rows.data(), description);
}

// Writes 8- or 16-bit samples with libtiff, big-endian, with the given
// compression, so that the input comes from a writer no one here wrote.
void StoreWithLibtiff(const std::string& path, const Samples& s, std::uint16_t compression,
                      const char* description)
{
    TIFF* tif = TIFFOpen(path.c_str(), "wb");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(s.width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(s.height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, static_cast<std::uint16_t>(s.bits));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(1));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(3));
    if (description != nullptr) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description);
    std::vector<std::uint8_t> line(s.width * (s.bits / 8));
    for (std::int32_t y = 0; y < s.height; ++y) {
        for (std::int32_t x = 0; x < s.width; ++x) {
            const std::uint16_t v = s.values[y * s.width + x];
            if (s.bits == 8) {
                line[x] = static_cast<std::uint8_t>(v);
            } else {
                std::memcpy(&line[2 * x], &v, 2);  // libtiff swaps to the file's order
            }
        }
        ASSERT_EQ(TIFFWriteScanline(tif, line.data(), y, 0), 1);
    }
    TIFFClose(tif);
}

// What the filter makes of the samples (checked against direct sums in
// filter_test.cpp): the program must write exactly this.
std::vector<std::uint32_t> Expected(Samples s, double radius, double bias)
{
    std::vector<std::uint16_t*> rows(s.height);
    for (std::int32_t y = 0; y < s.height; ++y) rows[y] = &s.values[y * s.width];
    EXPECT_TRUE(FilterImage(s.width, s.height, s.bits, rows.data(), radius, bias));
    return std::vector<std::uint32_t>(s.values.begin(), s.values.end());
}

testsupport::RunResult Specblur(const std::vector<std::string>& args)
{
    return testsupport::Run(Program("specblur"), args);
}

std::vector<std::uint32_t> Widen(const Samples& s)
{
    return std::vector<std::uint32_t>(s.values.begin(), s.values.end());
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
    Store(dir.file("in.tif"), RandomSamples(5, 4, 8, 1), nullptr);
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
        const Samples in = RandomSamples(19, 6, bits, 100 + bits);
        Store(dir.file("in.tif"), in, "zero");
        const std::string radius = bits % 2 == 0 ? "0" : "no number";
        const auto result = Specblur({dir.file("in.tif"), radius, dir.file("o.tif")});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        const auto out = ReadWithLibtiff(dir.file("o.tif"));
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->bits, bits);
        EXPECT_EQ(out->samples, Widen(in)) << "bits " << bits;
    }
}

// Three arguments: the third is the output and the bias is 0.  Four: the
// third is the bias.  The output keeps size, depth and description.
TEST(SpecblurProgram, WritesTheFilteredImage)
{
    TempDir dir;
    const Samples in = RandomSamples(37, 21, 12, 5);
    Store(dir.file("in.tif"), in, "0.000000\t1.000000");
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
        EXPECT_EQ(out->samples, Expected(in, 2.5, c.bias)) << c.output;
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
        const Samples in = RandomSamples(23, 10, c.bits, seed++);
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
        EXPECT_EQ(out->samples, Expected(in, 1.5, 7.0)) << c.bits << " " << c.compression;
    }
}

TEST(SpecblurProgram, OnePixelAndBiasImagesAreKept)
{
    TempDir dir;
    const Samples pixel{1, 1, 16, {54321}};
    Store(dir.file("pixel.tif"), pixel, nullptr);
    const Samples flat{33, 17, 8, std::vector<std::uint16_t>(33 * 17, 90)};
    Store(dir.file("flat.tif"), flat, nullptr);
    const struct {
        std::string input;
        std::string bias;
        const Samples* samples;
    } cases[] = {
        {"pixel.tif", "0", &pixel}, {"pixel.tif", "-3000", &pixel}, {"flat.tif", "90", &flat}};
    for (const auto& c : cases) {
        for (const std::string radius : {"1", "40", "inf"}) {
            const auto result = Specblur({dir.file(c.input), radius, c.bias, dir.file("o.tif")});
            ASSERT_EQ(result.status, 0) << result.err;
            const auto out = ReadWithLibtiff(dir.file("o.tif"));
            ASSERT_TRUE(out.has_value());
            EXPECT_EQ(out->samples, Widen(*c.samples)) << c.input << " radius " << radius;
        }
    }
}

}  // namespace
