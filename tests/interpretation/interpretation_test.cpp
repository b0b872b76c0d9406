// What both filter programs must do on their command line (usage, the input
// read before the radius, a refused radius, files that libtiff wrote), and
// how the programs treat what the samples mean: the filters refuse samples
// that are not unsigned integers instead of misreading them, and write their
// result with the PhotometricInterpretation of their input when it is
// WhiteIsZero or BlackIsZero; the phantoms keep the writer's own rule.  The
// inputs are written and the outputs read with libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "image.hpp"
#include "phantom_run.hpp"
#include "store.hpp"
#include "support.hpp"

namespace {

using testsupport::Program;
using testsupport::ReadBytes;
using testsupport::ReadWithLibtiff;
using testsupport::TempDir;

const char* const kFilters[] = {"specblur", "convblur"};

// One case of a table, run by one of the filters.  A table's case has a
// `name` that reads as part of a test name.
template <typename Case>
struct ForFilter {
    const char* program;
    Case c;
};

template <typename Case>
void PrintTo(const ForFilter<Case>& f, std::ostream* os)
{
    *os << f.program << ", " << f.c.name;
}

// Every case of the table for every filter, filter by filter.
template <typename Case, std::size_t N>
std::vector<ForFilter<Case>> ForEveryFilter(const Case (&table)[N])
{
    std::vector<ForFilter<Case>> cases;
    for (const char* program : kFilters)
        for (const Case& c : table) cases.push_back({program, c});
    return cases;
}

// The test name of a case: the filter and the case, as "convblur_Signed8".
template <typename Case>
std::string FilterCaseName(const testing::TestParamInfo<ForFilter<Case>>& info)
{
    return std::string(info.param.program) + "_" + info.param.c.name;
}

// ------------------------------------------------- both filter programs

class FilterProgram : public testing::TestWithParam<const char*> {};

TEST_P(FilterProgram, WrongArgumentCountPrintsUsage)
{
    TempDir dir;
    const std::string out = dir.file("out.tif");
    const std::vector<std::vector<std::string>> cases = {{},
                                                         {"a.tif"},
                                                         {"a.tif", "2"},
                                                         {"a.tif", "2", "0", "1", out},
                                                         {"a", "b", "c", "d", "e", out}};
    for (const auto& args : cases) {
        const auto result = testsupport::Run(Program(GetParam()), args);
        EXPECT_EQ(result.status, 1) << args.size() << " arguments";
        EXPECT_EQ(result.err,
                  std::string("usage : ") + GetParam() + " orgTIFF radius {bias} newTIFF\n");
        EXPECT_EQ(result.out, "");
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

// The input is read, and its faults reported, before the radius is looked at;
// a radius that is negative or not a number is refused after it, with or
// without the bias.
TEST_P(FilterProgram, ReadsTheInputBeforeTheRadius)
{
    TempDir dir;
    const std::string good = dir.file("in.tif");
    testsupport::StoreWithOurs(good, testsupport::RandomImage(9, 7, 8, 1));
    const std::string missing = dir.file("missing.tif");
    const std::string notTiff = dir.file("text.tif");
    testsupport::WriteBytes(notTiff, {'h', 'e', 'l', 'l', 'o', '\n', 0, 0});
    const std::string out = dir.file("out.tif");
    const struct {
        std::string input;
        std::string radius;
        std::string message;
    } cases[] = {{missing, "-1", missing + " : file not found.\n"},
                 {notTiff, "-1", notTiff + " : bad magic number.\n"},
                 {good, "-1", "bad Gaussian radius.\n"},
                 {good, "-0.001", "bad Gaussian radius.\n"},
                 {good, "nan", "bad Gaussian radius.\n"},
                 {good, "-inf", "bad Gaussian radius.\n"}};
    for (const auto& c : cases) {
        for (const bool withBias : {false, true}) {
            std::vector<std::string> args = {c.input, c.radius};
            if (withBias) args.push_back("5");
            args.push_back(out);
            const auto result = testsupport::Run(Program(GetParam()), args);
            EXPECT_EQ(result.status, 1) << c.input << " radius " << c.radius;
            EXPECT_EQ(result.err, c.message) << "radius " << c.radius;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

// Inputs from libtiff (big-endian; uncompressed, PackBits and LZW; 8 and 16
// bits; with and without a description) give what the same image gives
// from our writer, with the input's depth and description.
TEST_P(FilterProgram, ReadsWhatLibtiffWrites)
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
        SCOPED_TRACE(testing::Message() << c.bits << " bits, compression " << c.compression);
        const testsupport::Image in = testsupport::RandomImage(23, 10, c.bits, seed++);
        testsupport::LibtiffLayout layout;
        layout.compression = c.compression;
        layout.rowsPerStrip = 3;
        ASSERT_TRUE(
            testsupport::StoreWithLibtiff(dir.file("theirs.tif"), in, layout, c.description));
        testsupport::StoreWithOurs(dir.file("ours.tif"), in, c.description);
        for (const char* input : {"theirs", "ours"}) {
            const auto result = testsupport::Run(Program(GetParam()),
                                                 {dir.file(input + std::string(".tif")), "1.5", "7",
                                                  dir.file(input + std::string("-out.tif"))});
            ASSERT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(result.err, "");
        }
        const auto theirs = ReadWithLibtiff(dir.file("theirs-out.tif"));
        const auto ours = ReadWithLibtiff(dir.file("ours-out.tif"));
        ASSERT_TRUE(theirs.has_value() && ours.has_value());
        EXPECT_EQ(theirs->errors, "");
        EXPECT_EQ(theirs->bits, c.bits);
        if (c.description == nullptr) {
            EXPECT_FALSE(theirs->description.has_value());
        } else {
            EXPECT_EQ(theirs->description, c.description);
        }
        EXPECT_EQ(theirs->samples, ours->samples);
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, FilterProgram, testing::ValuesIn(kFilters),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// ------------------------------------------------------- sample meaning

struct Input {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits = 8;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    std::uint16_t sampleFormat = 0;      // 0: no SampleFormat entry
    std::vector<std::uint16_t> samples;  // row by row; raw bit patterns
};

// Writes the image through libtiff, big-endian and PackBits-compressed, so
// that neither the layout nor the tags come from our writer.
void WriteWithLibtiff(const std::string& path, const Input& in)
{
    TIFF* tif = TIFFOpen(path.c_str(), "wb");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, in.width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, in.height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, in.bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, static_cast<std::uint16_t>(1));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, in.photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
    if (in.sampleFormat != 0) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, in.sampleFormat);
    std::vector<std::uint16_t> map(std::size_t{1} << in.bits);
    if (in.photometric == PHOTOMETRIC_PALETTE) {
        for (std::size_t i = 0; i < map.size(); ++i)
            map[i] = static_cast<std::uint16_t>(i * 65535 / (map.size() - 1));
        TIFFSetField(tif, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
    }
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize64(tif)));
    for (std::uint32_t y = 0; y < in.height; ++y) {
        std::fill(line.begin(), line.end(), 0);
        for (std::uint32_t x = 0; x < in.width; ++x) {
            const std::uint16_t s = in.samples[y * in.width + x];
            if (in.bits == 16) {
                std::memcpy(line.data() + 2 * x, &s, 2);  // libtiff swaps to the file's order
            } else {
                for (unsigned b = 0; b < in.bits; ++b) {
                    const std::size_t bit = std::size_t{x} * in.bits + b;
                    if ((s >> (in.bits - 1 - b)) & 1) line[bit / 8] |= 0x80 >> (bit % 8);
                }
            }
        }
        ASSERT_EQ(TIFFWriteScanline(tif, line.data(), y, 0), 1);
    }
    TIFFClose(tif);
}

// A smooth ramp with a bright square, within the depth's range.
std::vector<std::uint16_t> Picture(std::uint32_t width, std::uint32_t height, unsigned bits)
{
    const std::uint32_t top = (1u << bits) - 1;
    std::vector<std::uint16_t> samples(std::size_t{width} * height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const bool square = x > width / 3 && x < 2 * width / 3 && y > height / 3;
            samples[y * width + x] =
                static_cast<std::uint16_t>(square ? top : (top * (x + y)) / (width + height) / 2);
        }
    return samples;
}

// ------------------------------------------------------ sample formats

struct FormatCase {
    const char* name;
    std::uint16_t bits;
    std::uint16_t sampleFormat;
    std::uint16_t background;  // raw bit pattern
};

const FormatCase kRefused[] = {
    // A signed image whose background is -100.
    {"Signed16", 16, SAMPLEFORMAT_INT, static_cast<std::uint16_t>(std::int16_t{-100})},
    {"Signed8", 8, SAMPLEFORMAT_INT, static_cast<std::uint8_t>(std::int8_t{-100})},
    // Half-precision floating point: 1.0 is 0x3C00.
    {"Float16", 16, SAMPLEFORMAT_IEEEFP, 0x3C00},
    {"Undefined8", 8, SAMPLEFORMAT_VOID, 7},
};

class RefusedSamples : public testing::TestWithParam<ForFilter<FormatCase>> {};

// The reader's message, exit status 1, and an existing output left as it was.
TEST_P(RefusedSamples, EndWithTheReadersMessage)
{
    const auto& [program, format] = GetParam();
    TempDir dir;
    const std::string in = dir.file("in.tif");
    const std::string out = dir.file("out.tif");
    Input input;
    input.width = 24;
    input.height = 9;
    input.bits = format.bits;
    input.sampleFormat = format.sampleFormat;
    input.samples.assign(24 * 9, format.background);
    WriteWithLibtiff(in, input);
    testsupport::WriteBytes(out, {'o', 'l', 'd'});

    for (const auto& args :
         std::vector<std::vector<std::string>>{{in, "2", out}, {in, "2", "-100", out}}) {
        const auto result = testsupport::Run(Program(program), args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, in + " : bad sample format.\n");
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(ReadBytes(out), (std::vector<std::uint8_t>{'o', 'l', 'd'}));
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, RefusedSamples, testing::ValuesIn(ForEveryFilter(kRefused)),
                         FilterCaseName<FormatCase>);

// An explicit SampleFormat of unsigned integers reads as if it were absent.
TEST(UnsignedSamples, ReadAsWithoutTheTag)
{
    for (const char* program : kFilters) {
        SCOPED_TRACE(program);
        TempDir dir;
        Input input;
        input.width = 30;
        input.height = 11;
        input.bits = 16;
        input.samples = Picture(30, 11, 16);
        const std::string plain = dir.file("plain.tif");
        const std::string tagged = dir.file("tagged.tif");
        WriteWithLibtiff(plain, input);
        input.sampleFormat = SAMPLEFORMAT_UINT;
        WriteWithLibtiff(tagged, input);
        const auto a = testsupport::Run(Program(program), {plain, "1.5", "300", dir.file("a.tif")});
        const auto b =
            testsupport::Run(Program(program), {tagged, "1.5", "300", dir.file("b.tif")});
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        EXPECT_EQ(b.err, "");
        EXPECT_EQ(ReadBytes(dir.file("a.tif")), ReadBytes(dir.file("b.tif")));
    }
}

// -------------------------------------------- photometric interpretation

struct SenseCase {
    const char* name;
    std::uint16_t bits;
    std::uint16_t photometric;  // the input's
    std::uint16_t written;      // the output's
};

const SenseCase kSenses[] = {
    {"WhiteIsZero8", 8, PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISWHITE},
    {"BlackIsZero1", 1, PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_MINISBLACK},
    {"WhiteIsZero1", 1, PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISWHITE},
    {"BlackIsZero8", 8, PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_MINISBLACK},
    {"WhiteIsZero4", 4, PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISWHITE},
    {"WhiteIsZero16", 16, PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISWHITE},
    // Palette and transparency mask: the writer's rule.
    {"Palette8", 8, PHOTOMETRIC_PALETTE, PHOTOMETRIC_MINISBLACK},
    {"Palette4", 4, PHOTOMETRIC_PALETTE, PHOTOMETRIC_MINISBLACK},
    {"Palette1", 1, PHOTOMETRIC_PALETTE, PHOTOMETRIC_MINISWHITE},
    {"Mask1", 1, PHOTOMETRIC_MASK, PHOTOMETRIC_MINISWHITE},
};

class KeptSense : public testing::TestWithParam<ForFilter<SenseCase>> {};

// The output carries the expected PhotometricInterpretation, and its samples
// are those the same program makes from the same samples in a file of our
// writer: the sense is never applied to the samples.
TEST_P(KeptSense, OutputKeepsTheInputsSense)
{
    const auto& [program, sense] = GetParam();
    TempDir dir;
    Input input;
    input.width = 33;
    input.height = 14;
    input.bits = sense.bits;
    input.photometric = sense.photometric;
    input.samples = Picture(33, 14, sense.bits);
    const std::string in = dir.file("in.tif");
    WriteWithLibtiff(in, input);
    const auto source = ReadWithLibtiff(in);
    ASSERT_TRUE(source.has_value());
    ASSERT_EQ(source->photometric, sense.photometric);

    testsupport::Image same(33, 14, sense.bits);
    same.samples = input.samples;
    const std::string ours = dir.file("ours.tif");
    testsupport::StoreWithOurs(ours, same);

    const std::string radius = std::string(program) == "specblur" ? "0" : "0.8";
    const std::string out = dir.file("out.tif");
    const std::string reference = dir.file("reference.tif");
    const auto result = testsupport::Run(Program(program), {in, radius, out});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_EQ(testsupport::Run(Program(program), {ours, radius, reference}).status, 0);

    const auto written = ReadWithLibtiff(out);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(written->errors, "");
    EXPECT_EQ(written->bits, sense.bits);
    EXPECT_EQ(written->photometric, sense.written);
    const auto expected = ReadWithLibtiff(reference);
    ASSERT_TRUE(expected.has_value());
    EXPECT_EQ(written->samples, expected->samples);
    if (radius == "0") {
        // Radius 0 reproduces the input sample for sample.
        EXPECT_EQ(written->samples, source->samples);
    }
}

INSTANTIATE_TEST_SUITE_P(Filters, KeptSense, testing::ValuesIn(ForEveryFilter(kSenses)),
                         FilterCaseName<SenseCase>);

// The phantoms keep the writer's rule: WhiteIsZero at 1 bit per sample (a
// top level below 2), BlackIsZero above.
TEST(PhantomSense, WriterRule)
{
    struct Case {
        const char* value;
        std::uint16_t bits;
        std::uint16_t photometric;
    };
    const std::vector<Case> cases = {
        {"1", 1, PHOTOMETRIC_MINISWHITE},
        {"3", 2, PHOTOMETRIC_MINISBLACK},
        {"200", 8, PHOTOMETRIC_MINISBLACK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TempDir dir;
        const auto disk = testsupport::RunPhantom(
            "diskblur", dir, {"12", "10", "6", "5", "3", c.value, "1", "C.tif", "GF.tif"});
        ASSERT_EQ(disk.status, 0) << disk.err;
        std::filesystem::create_directory(dir.path() / "S");
        std::filesystem::create_directory(dir.path() / "G");
        const auto ball = testsupport::RunPhantom(
            "ballblur", dir, {"8", "8", "2", "4", "4", "1", "3", c.value, "1", "S/", "G/"});
        ASSERT_EQ(ball.status, 0) << ball.err;
        for (const char* name : {"C.tif", "GF.tif", "S/0.tif", "S/1.tif", "G/0.tif", "G/1.tif"}) {
            SCOPED_TRACE(name);
            const auto image = ReadWithLibtiff(dir.file(name));
            ASSERT_TRUE(image.has_value());
            EXPECT_EQ(image->bits, c.bits);
            EXPECT_EQ(image->photometric, c.photometric);
        }
    }
}

}  // namespace
