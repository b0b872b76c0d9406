// Byte-exact files from the writer: header, description placement, strips,
// strip tables, directory entries, code widths and the table-full Clear,
// masking of oversize samples, and the failure paths.
#include "sif.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "reference.hpp"
#include "sif_layout.hpp"
#include "support.hpp"
#include "tiff_numbers.hpp"

namespace {

using sifref::Bytes;
using sifref::Code;
using sifref::Layout;
using testsupport::ReadBytes;
using testsupport::TempDir;

using tiffnum::kAscii;
using tiffnum::kLong;
using tiffnum::kShort;
using tiffnum::kTagBitsPerSample;
using tiffnum::kTagCompression;
using tiffnum::kTagDescription;
using tiffnum::kTagImageLength;
using tiffnum::kTagImageWidth;
using tiffnum::kTagPhotometric;
using tiffnum::kTagPlanarConfig;
using tiffnum::kTagRowsPerStrip;
using tiffnum::kTagSamplesPerPixel;
using tiffnum::kTagStripByteCounts;
using tiffnum::kTagStripOffsets;

// Writes a width x height image whose samples are given row by row and
// returns the file's bytes.
Bytes Store(const TempDir& dir, std::int32_t width, std::int32_t height, std::int32_t bits,
            const std::vector<std::uint16_t>& samples, const char* description = nullptr,
            const std::string& name = "image.tif")
{
    std::vector<const std::uint16_t*> rows;
    for (std::int32_t r = 0; r < height; ++r)
        rows.push_back(samples.data() + static_cast<std::size_t>(r) * width);
    const std::string path = dir.file(name);
    StoreImageFile(path.c_str(), width, height, bits, rows.data(), description);
    return ReadBytes(path);
}

Bytes Range(const Bytes& file, std::size_t begin, std::size_t end)
{
    return Bytes(file.begin() + static_cast<std::ptrdiff_t>(begin),
                 file.begin() + static_cast<std::ptrdiff_t>(end));
}

struct ExactCase {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    std::int32_t bits;
    std::vector<std::uint16_t> samples;
    const char* description;
    std::size_t fileSize;  // 0: not fixed by the case
    std::uint32_t stripAt;
    Bytes received;  // the bytes the encoder was given
    Bytes strip;     // the strip as stored
    std::uint32_t ifd;
    std::uint16_t entries;
    std::uint16_t photometric;
    std::uint32_t rowsPerStrip;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ExactCase& c, std::ostream* os)
{
    *os << c.name;
}

class ExactFile : public testing::TestWithParam<ExactCase> {};

TEST_P(ExactFile, MatchesTheLayout)
{
    const ExactCase& c = GetParam();
    TempDir dir;
    const Bytes file = Store(dir, c.width, c.height, c.bits, c.samples, c.description);
    if (c.fileSize != 0) {
        EXPECT_EQ(file.size(), c.fileSize);
    }
    const Layout layout = sifref::ParseLayout(file);
    ASSERT_TRUE(layout.ok) << layout.error;
    EXPECT_EQ(layout.ifd, c.ifd);
    EXPECT_EQ(file.size(), c.ifd + 2u + 12u * c.entries + 4u) << "the file ends with the directory";
    EXPECT_EQ(layout.tags.size(), c.entries);
    ASSERT_EQ(layout.offsets.size(), 1u);
    EXPECT_EQ(layout.offsets[0], c.stripAt);
    EXPECT_EQ(layout.strips[0], c.strip);
    if (c.strip.size() % 2 == 1) {
        EXPECT_EQ(file[c.stripAt + c.strip.size()], 0) << "pad byte";
    }
    EXPECT_EQ(sifref::DecodeLZW(layout.strips[0]).bytes, c.received);
    EXPECT_EQ(layout.entries.at(kTagPhotometric).value, c.photometric);
    EXPECT_EQ(layout.entries.at(kTagRowsPerStrip).value, c.rowsPerStrip);
    EXPECT_EQ(Range(file, 0, 4), (Bytes{0x49, 0x49, 0x2A, 0x00}));
}

// Name, width, height, bits, samples, description, file size, strip offset,
// bytes received by the encoder, strip, directory offset, entry count,
// photometric interpretation, rows per strip.
// clang-format off
const ExactCase kExactCases[] = {
    {"Black1x1", 1, 1, 8, {0}, nullptr, 138, 8, {0x00},
     {0x80, 0x00, 0x20, 0x20}, 12, 10, 1, 8192},
    {"White1x1", 1, 1, 8, {255}, nullptr, 138, 8, {0xFF},
     {0x80, 0x3F, 0xE0, 0x20}, 12, 10, 1, 8192},
    {"Described3x2", 3, 2, 8, {1, 2, 3, 4, 5, 6}, "hello world", 168, 20, {1, 2, 3, 4, 5, 6},
     {0x80, 0x00, 0x40, 0x40, 0x30, 0x20, 0x14, 0x0D, 0x01}, 30, 11, 1, 2730},
    {"Sixteen", 2, 1, 16, {0x1234, 0xABCD}, nullptr, 0, 8, {0x34, 0x12, 0xCD, 0xAB},
     {0x80, 0x0D, 0x02, 0x4C, 0xD5, 0x5C, 0x04}, 16, 10, 1, 2048},
    {"ThirtyTwo", 1, 1, 32, {0x1234}, nullptr, 0, 8, {0x34, 0x12, 0x00, 0x00},
     {0x80, 0x0D, 0x02, 0x40, 0x00, 0x04, 0x04}, 16, 10, 1, 2048},
    {"OneBit", 10, 1, 1, {1, 0, 1, 1, 0, 0, 1, 1, 1, 0}, nullptr, 0, 8, {0xB3, 0x80},
     {0x80, 0x2C, 0xD0, 0x10, 0x10}, 14, 10, 0, 4096},
    {"FourBit", 3, 1, 4, {1, 2, 3}, nullptr, 0, 8, {0x12, 0x30},
     {0x80, 0x04, 0x86, 0x10, 0x10}, 14, 10, 1, 4096},
    {"EmptyDescription", 1, 1, 8, {0}, "", 150, 8, {0x00},
     {0x80, 0x00, 0x20, 0x20}, 12, 11, 1, 8192},
    {"ThreeCharacters", 1, 1, 8, {0}, "abc", 150, 8, {0x00},
     {0x80, 0x00, 0x20, 0x20}, 12, 11, 1, 8192},
    {"FourCharacters", 1, 1, 8, {0}, "abcd", 156, 14, {0x00},
     {0x80, 0x00, 0x20, 0x20}, 18, 11, 1, 8192},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(StoreImageFile, ExactFile, testing::ValuesIn(kExactCases),
                         [](const testing::TestParamInfo<ExactCase>& info) {
                             return std::string(info.param.name);
                         });

// Every entry of the directory, in order, with type, count and value field.
TEST(StoreImageFile, DirectoryEntries)
{
    struct Want {
        std::uint16_t tag, type;
        std::uint32_t count;
        Bytes raw;
    };
    struct Case {
        const char* description;
        std::vector<Want> entries;
    };
    const std::vector<Want> before = {
        {kTagImageWidth, kShort, 1, {3, 0, 0, 0}},    {kTagImageLength, kShort, 1, {2, 0, 0, 0}},
        {kTagBitsPerSample, kShort, 1, {8, 0, 0, 0}}, {kTagCompression, kShort, 1, {5, 0, 0, 0}},
        {kTagPhotometric, kShort, 1, {1, 0, 0, 0}},
    };
    auto after = [](std::uint32_t stripAt) {
        return std::vector<Want>{
            {kTagStripOffsets, kLong, 1, {static_cast<std::uint8_t>(stripAt), 0, 0, 0}},
            {kTagSamplesPerPixel, kShort, 1, {1, 0, 0, 0}},
            {kTagRowsPerStrip, kLong, 1, {0xAA, 0x0A, 0, 0}},  // 2730
            {kTagStripByteCounts, kLong, 1, {9, 0, 0, 0}},
            {kTagPlanarConfig, kShort, 1, {1, 0, 0, 0}},
        };
    };
    auto join = [&](std::optional<Want> description, std::uint32_t stripAt) {
        std::vector<Want> all = before;
        if (description) all.push_back(*description);
        const auto tail = after(stripAt);
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    const std::vector<Case> cases = {
        {nullptr, join(std::nullopt, 8)},
        {"", join(Want{kTagDescription, kAscii, 1, {0, 0, 0, 0}}, 8)},
        {"abc", join(Want{kTagDescription, kAscii, 4, {'a', 'b', 'c', 0}}, 8)},
        {"abcd", join(Want{kTagDescription, kAscii, 5, {8, 0, 0, 0}}, 14)},
        {"0.000000\t1.000000", join(Want{kTagDescription, kAscii, 18, {8, 0, 0, 0}}, 26)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description ? std::string("\"") + c.description + "\"" : "null");
        TempDir dir;
        const Bytes file = Store(dir, 3, 2, 8, {1, 2, 3, 4, 5, 6}, c.description);
        const Layout layout = sifref::ParseLayout(file);
        ASSERT_TRUE(layout.ok) << layout.error;
        ASSERT_EQ(sifref::Le16(file, layout.ifd), c.entries.size());
        for (std::size_t i = 0; i < c.entries.size(); ++i) {
            const std::size_t at = layout.ifd + 2 + 12 * i;
            SCOPED_TRACE(c.entries[i].tag);
            EXPECT_EQ(sifref::Le16(file, at), c.entries[i].tag);
            EXPECT_EQ(sifref::Le16(file, at + 2), c.entries[i].type);
            EXPECT_EQ(sifref::Le32(file, at + 4), c.entries[i].count);
            EXPECT_EQ(Range(file, at + 8, at + 12), c.entries[i].raw);
        }
        EXPECT_EQ(sifref::Le32(file, file.size() - 4), 0u) << "next directory offset";
        if (c.description != nullptr && std::string(c.description).size() >= 4) {
            // Stored at 8 with its NUL, padded to an even length.
            const std::string text = c.description;
            Bytes want(text.begin(), text.end());
            want.push_back(0);
            if (want.size() % 2 == 1) want.push_back(0);
            EXPECT_EQ(Range(file, 8, 8 + want.size()), want);
        }
    }
}

// Several strips: the offsets table right behind the last strip and its pad,
// the counts table behind it, the directory behind both.
TEST(StoreImageFile, StripTables)
{
    struct Case {
        std::int32_t width, height, bits;
        std::uint32_t rowsPerStrip, strips;
        const char* description;
    };
    const Case cases[] = {
        {1000, 20, 8, 8, 3, nullptr},     // 8, 8 and 4 rows
        {1000, 20, 8, 8, 3, "a text"},    // strips start behind the text
        {8192, 2, 8, 1, 2, nullptr},      // exactly 8192 bytes per row
        {4096, 3, 16, 1, 3, nullptr},     // the same in 16 bits
        {4097, 2, 8, 1, 2, nullptr},      // 8192 / 4097 rounded down
        {4096, 3, 8, 2, 2, nullptr},      //
        {70000, 2, 8, 1, 2, nullptr},     // a row longer than a strip
        {1, 70000, 8, 8192, 9, nullptr},  // ImageLength LONG
        {1, 2, 8, 8192, 1, nullptr},      // rows per strip not clipped to the height
        {65535, 1, 1, 1, 1, nullptr},     // 8192 bytes per row in 1 bit
    };
    std::mt19937 random(7);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.bits);
        TempDir dir;
        std::vector<std::uint16_t> samples(static_cast<std::size_t>(c.width) * c.height);
        for (auto& s : samples)
            s = static_cast<std::uint16_t>(random() & ((1u << std::min(c.bits, 16)) - 1));
        const Bytes file = Store(dir, c.width, c.height, c.bits, samples, c.description);
        const Layout layout = sifref::ParseLayout(file);
        ASSERT_TRUE(layout.ok) << layout.error;
        const auto& e = layout.entries;
        EXPECT_EQ(e.at(kTagImageWidth).type, c.width > 65535 ? kLong : kShort);
        EXPECT_EQ(e.at(kTagImageWidth).value, static_cast<std::uint32_t>(c.width));
        EXPECT_EQ(e.at(kTagImageLength).type, c.height > 65535 ? kLong : kShort);
        EXPECT_EQ(e.at(kTagImageLength).value, static_cast<std::uint32_t>(c.height));
        EXPECT_EQ(e.at(kTagRowsPerStrip).value, c.rowsPerStrip);
        ASSERT_EQ(layout.offsets.size(), c.strips);
        ASSERT_EQ(e.at(kTagStripOffsets).count, c.strips);
        ASSERT_EQ(e.at(kTagStripByteCounts).count, c.strips);

        std::uint32_t at = c.description == nullptr ? 8 : 16;
        for (std::uint32_t s = 0; s < c.strips; ++s) {
            EXPECT_EQ(layout.offsets[s], at) << "strip " << s;
            at += layout.counts[s];
            if (at % 2 == 1) {
                EXPECT_EQ(file[at++], 0) << "pad of strip " << s;
            }
        }
        if (c.strips > 1) {
            EXPECT_EQ(e.at(kTagStripOffsets).value, at);
            EXPECT_EQ(e.at(kTagStripByteCounts).value, at + 4 * c.strips);
            at += 8 * c.strips;
        }
        EXPECT_EQ(layout.ifd, at);
        EXPECT_EQ(file.size(), at + 2u + 12u * layout.tags.size() + 4u);

        // Each strip decodes to its own rows.
        const std::size_t rowBytes = (static_cast<std::size_t>(c.width) * c.bits + 7) / 8;
        for (std::uint32_t s = 0; s < c.strips; ++s) {
            const auto decoded = sifref::DecodeLZW(layout.strips[s]);
            ASSERT_TRUE(decoded.ok) << decoded.error;
            const std::uint32_t rows =
                std::min<std::uint32_t>(c.rowsPerStrip, c.height - s * c.rowsPerStrip);
            ASSERT_EQ(decoded.bytes.size(), rows * rowBytes);
        }
    }
}

// Code widths at the 9-to-10-bit step and at the table-full Clear, checked
// against streams packed from the expected codes.
TEST(StoreImageFile, CodeWidths)
{
    struct Case {
        const char* name;
        Bytes row;
        std::vector<Code> codes;
        std::size_t stripBytes;  // 0: not fixed
    };
    std::vector<Case> cases;
    {
        Case c{"254 distinct bytes", {}, {{256, 9}}, 289};
        for (int b = 0; b < 254; ++b) {
            c.row.push_back(static_cast<std::uint8_t>(b));
            c.codes.push_back({b, 9});
        }
        c.codes.push_back({257, 10});  // the end raises the next code to 512
        cases.push_back(c);
    }
    {
        Case c{"255 distinct bytes", {}, {{256, 9}}, 290};
        for (int b = 0; b < 255; ++b) {
            c.row.push_back(static_cast<std::uint8_t>(b));
            c.codes.push_back({b, b < 254 ? 9 : 10});
        }
        c.codes.push_back({257, 10});
        cases.push_back(c);
    }
    {
        // Byte k's code is written when byte k + 1 assigns code 258 + k; the
        // width is the one in force for that next code.  Byte 3837 finds the
        // table full: byte 3836's code and a Clear go out with 12 bits.
        Case c{"table-full Clear", sifref::DistinctPairs(4000), {{256, 9}}, 0};
        auto width = [](int next) {
            return next < 512 ? 9 : next < 1024 ? 10 : next < 2048 ? 11 : 12;
        };
        for (int k = 0; k <= 3836; ++k) c.codes.push_back({c.row[k], width(258 + k)});
        c.codes.push_back({256, 12});
        for (int k = 3837; k < 4000; ++k) c.codes.push_back({c.row[k], 9});
        c.codes.push_back({257, 9});
        cases.push_back(c);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::vector<std::uint16_t> samples(c.row.begin(), c.row.end());
        const Bytes file = Store(dir, static_cast<std::int32_t>(samples.size()), 1, 8, samples);
        const Layout layout = sifref::ParseLayout(file);
        ASSERT_TRUE(layout.ok) << layout.error;
        const Bytes want = sifref::PackCodes(c.codes);
        if (c.stripBytes != 0) {
            EXPECT_EQ(want.size(), c.stripBytes);
        }
        EXPECT_EQ(layout.strips[0], want);
        const auto decoded = sifref::DecodeLZW(layout.strips[0]);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.codes, c.codes);
        EXPECT_EQ(decoded.bytes, c.row);
    }
}

// The fractional packing for widths where a sample and the bits left over
// from its predecessor exceed 32 bits.
TEST(StoreImageFile, WidePacking)
{
    struct Case {
        std::int32_t bits;
        std::vector<std::uint16_t> samples;
        Bytes packed;
    };
    const Case cases[] = {
        {24, {0x1234}, {0x00, 0x12, 0x34}},
        {24, {0xFFFF, 0x0001, 0x8000}, {0x00, 0xFF, 0xFF, 0x00, 0x00, 0x01, 0x00, 0x80, 0x00}},
        {31, {0xFFFF, 0x0001}, {0x00, 0x01, 0xFF, 0xFE, 0x00, 0x00, 0x00, 0x04}},
        {25, {0xFFFF, 0xFFFF}, {0x00, 0x7F, 0xFF, 0x80, 0x3F, 0xFF, 0xC0}},
        {17, {1, 0x8000, 3}, {0x00, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x60}},
        // Outside what the programs pass, but the rule still holds.
        {40, {0x1234}, {0x00, 0x00, 0x00, 0x12, 0x34}},
        {33, {0x8001, 0x0003}, {0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0x00, 0x00, 0xC0}},
        {100, {1}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        TempDir dir;
        const auto width = static_cast<std::int32_t>(c.samples.size());
        const Layout layout = sifref::ParseLayout(Store(dir, width, 1, c.bits, c.samples));
        ASSERT_TRUE(layout.ok) << layout.error;
        const auto decoded = sifref::DecodeLZW(layout.strips[0]);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.bytes, c.packed);
        EXPECT_EQ(sifref::PackRow(c.samples, c.bits), c.packed);
    }
}

// A sample too large for its width is stored as its low bits: the file is
// the one written from the masked samples, neighbours untouched.
TEST(StoreImageFile, OversizeSamplesAreMasked)
{
    std::mt19937 random(11);
    for (std::int32_t bits = 1; bits < 16; ++bits) {
        SCOPED_TRACE(bits);
        const std::uint16_t mask = static_cast<std::uint16_t>((1u << bits) - 1);
        std::vector<std::uint16_t> raw(37 * 3), masked(raw.size());
        for (std::size_t i = 0; i < raw.size(); ++i) {
            raw[i] = static_cast<std::uint16_t>(random());
            raw[i] |= static_cast<std::uint16_t>(mask + 1);  // always oversize
            masked[i] = raw[i] & mask;
        }
        TempDir dir;
        const Bytes fromRaw = Store(dir, 37, 3, bits, raw, nullptr, "raw.tif");
        const Bytes fromMasked = Store(dir, 37, 3, bits, masked, nullptr, "masked.tif");
        EXPECT_EQ(fromRaw, fromMasked);
    }
    TempDir dir;
    const Layout layout = sifref::ParseLayout(Store(dir, 3, 1, 8, {7, 0x1FF, 9}));
    ASSERT_TRUE(layout.ok) << layout.error;
    EXPECT_EQ(sifref::DecodeLZW(layout.strips[0]).bytes, (Bytes{7, 0xFF, 9}));
}

// Nothing carries over from an earlier file, and an existing file is
// replaced whole.
TEST(StoreImageFile, CallsAreIndependent)
{
    TempDir dir;
    const Bytes first = Store(dir, 3, 2, 8, {1, 2, 3, 4, 5, 6}, "hello world", "a.tif");
    std::vector<std::uint16_t> noise(3000 * 9);
    std::mt19937 random(3);
    for (auto& s : noise) s = static_cast<std::uint16_t>(random());
    Store(dir, 3000, 9, 13, noise, nullptr, "a.tif");
    EXPECT_EQ(Store(dir, 3, 2, 8, {1, 2, 3, 4, 5, 6}, "hello world", "a.tif"), first);
    EXPECT_EQ(first.size(), 168u);
}

// Failed opens, writes, seeks and closes end the process with the message.
TEST(StoreImageFileDeathTest, FileNotStored)
{
    const std::vector<std::uint16_t> one = {0};
    const std::uint16_t* oneRow[1] = {one.data()};
    std::vector<std::uint16_t> big(200000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint16_t>(i * 7919);
    const std::uint16_t* bigRow[1] = {big.data()};

    // Small: the failure surfaces when the buffered bytes are flushed at the end.
    EXPECT_EXIT(StoreImageFile("/dev/full", 1, 1, 8, oneRow, nullptr), testing::ExitedWithCode(1),
                "^/dev/full : file not stored\\.\n$");
    // Large: the first block written already fails.
    EXPECT_EXIT(StoreImageFile("/dev/full", 200000, 1, 16, bigRow, "x"), testing::ExitedWithCode(1),
                "^/dev/full : file not stored\\.\n$");

    TempDir dir;
    const std::string missing = dir.file("no/such/dir.tif");
    EXPECT_EXIT(StoreImageFile(missing.c_str(), 1, 1, 8, oneRow, nullptr),
                testing::ExitedWithCode(1), "^" + missing + " : file not stored\\.\n$");
    EXPECT_FALSE(std::filesystem::exists(missing));
    const std::string directory = dir.path().string();
    EXPECT_EXIT(StoreImageFile(directory.c_str(), 1, 1, 8, oneRow, nullptr),
                testing::ExitedWithCode(1), "^" + directory + " : file not stored\\.\n$");
}

// A row of no bytes (width 0, outside what the programs pass) gives strips
// of only a Clear and an EOI.
TEST(StoreImageFile, EmptyStrip)
{
    TempDir dir;
    const std::uint16_t* rows[2] = {nullptr, nullptr};
    const std::string path = dir.file("empty.tif");
    StoreImageFile(path.c_str(), 0, 2, 8, rows, nullptr);
    const Layout layout = sifref::ParseLayout(ReadBytes(path));
    ASSERT_TRUE(layout.ok) << layout.error;
    ASSERT_EQ(layout.strips.size(), 1u);
    EXPECT_EQ(layout.strips[0], (Bytes{0x80, 0x40, 0x40}));
    EXPECT_EQ(layout.entries.at(kTagRowsPerStrip).value, 8192u);
}

// Bits per sample above 32 are outside what the programs pass; the writer
// still keeps each row at its declared length (samples zero-extended, most
// significant bit first, as in WidePacking) and overruns nothing, even when
// a long row of wide samples crosses its packing buffer many times.
TEST(StoreImageFile, BitsAbove32KeepTheRowLength)
{
    std::vector<std::uint16_t> wide(3000 * 2);
    for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<std::uint16_t>(i * 40503u);
    TempDir dir;
    const Layout layout = sifref::ParseLayout(Store(dir, 3000, 2, 61, wide));
    ASSERT_TRUE(layout.ok) << layout.error;
    for (const Bytes& strip : layout.strips) {
        const auto decoded = sifref::DecodeLZW(strip);
        ASSERT_TRUE(decoded.ok) << decoded.error;
        EXPECT_EQ(decoded.bytes.size(), (3000u * 61 + 7) / 8);
    }
}

// The layout of a file: rows per strip for at most 8192 uncompressed bytes,
// the strip count, where the first strip starts (behind the header and a
// description too long for its entry, padded to even) and the directory's
// size.  The expected values are worked out by hand from the format.
TEST(FileLayout, StripsAndDataStart)
{
    // Without a description the strips follow the image's shape; ten
    // entries, and the first strip right behind the header.
    struct ShapeCase {
        const char* name;
        std::int32_t width, height, bits;
        std::uint32_t rowsPerStrip, strips;
    };
    const std::vector<ShapeCase> shapes = {
        {"one byte rows", 1, 10, 8, 8192, 1},
        {"8192 rows of one byte", 1, 8192, 8, 8192, 1},
        {"8193 rows of one byte", 1, 8193, 8, 8192, 2},
        {"16-bit rows of 100", 100, 500, 16, 40, 13},
        {"1-bit rows round up", 9, 3, 1, 4096, 1},
        {"row of exactly a strip", 8192, 3, 8, 1, 3},
        {"row over a strip", 8193, 3, 8, 1, 3},
        {"no rows", 10, 0, 8, 819, 0},
        {"empty rows", 0, 5, 8, 8192, 1},
        {"huge image", 8192, 400000, 8, 1, 400000},
    };
    for (const ShapeCase& c : shapes) {
        SCOPED_TRACE(c.name);
        const sif::FileLayout layout = sif::PlanFile(c.width, c.height, c.bits, 0);
        EXPECT_EQ(layout.rowsPerStrip, c.rowsPerStrip);
        EXPECT_EQ(layout.strips, c.strips);
        EXPECT_EQ(layout.entries, 10u);
        EXPECT_EQ(layout.dataStart, 8u);
    }

    // A description of a 4 x 4 8-bit image (one strip of up to 2048 rows)
    // adds the eleventh entry and moves the strip when it is too long for
    // the entry.
    struct DescriptionCase {
        const char* name;
        std::uint64_t descLength;
        std::uint64_t dataStart;
    };
    const std::vector<DescriptionCase> descriptions = {
        {"inline description", 4, 8},
        {"odd description padded", 5, 14},
        {"even description", 6, 14},
    };
    for (const DescriptionCase& c : descriptions) {
        SCOPED_TRACE(c.name);
        const sif::FileLayout layout = sif::PlanFile(4, 4, 8, c.descLength);
        EXPECT_EQ(layout.rowsPerStrip, 2048u);
        EXPECT_EQ(layout.strips, 1u);
        EXPECT_EQ(layout.entries, 11u);
        EXPECT_EQ(layout.dataStart, c.dataStart);
    }
}

// Strips follow one another at even offsets; the file ends with the two
// strip tables (only with several strips), the entry count, 12 bytes an
// entry and the next-directory offset.
TEST(FileLayout, PartsAndFileEnd)
{
    EXPECT_EQ(sif::NextPart(8, 100), 108u);
    EXPECT_EQ(sif::NextPart(8, 101), 110u);
    EXPECT_EQ(sif::NextPart(8, 0), 8u);

    const sif::FileLayout one = sif::PlanFile(10, 10, 8, 0);
    EXPECT_EQ(sif::FileEnd(one, 1000), 1000u + 2 + 12 * 10 + 4);
    const sif::FileLayout described = sif::PlanFile(10, 10, 8, 3);
    EXPECT_EQ(sif::FileEnd(described, 1000), 1000u + 2 + 12 * 11 + 4);
    const sif::FileLayout many = sif::PlanFile(8192, 5, 8, 0);
    ASSERT_EQ(many.strips, 5u);
    EXPECT_EQ(sif::FileEnd(many, 1000), 1000u + 8 * 5 + 2 + 12 * 10 + 4);
}

// Offsets are 32-bit, so a file that would pass 4 GiB is refused instead of
// being written with wrapped offsets: a part may end exactly at 2^32, not a
// byte beyond, whether a strip or the tables and directory behind the last
// strip cross the limit.  The writer checks its position with these after
// every strip.
TEST(FileLayout, RefusesOffsetsBeyond4GiB)
{
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 32;
    EXPECT_TRUE(sif::FitsOffsets(kLimit));
    EXPECT_FALSE(sif::FitsOffsets(kLimit + 1));

    // 400000 rows of 8192 bytes, one a strip: strips of 10737 stored bytes
    // (10738 with their pad byte) behind the 8-byte header stop fitting
    // after 399978 of them, long before the last row.
    const sif::FileLayout layout = sif::PlanFile(8192, 400000, 8, 0);
    ASSERT_EQ(layout.strips, 400000u);
    std::uint64_t position = layout.dataStart;
    std::uint32_t stored = 0;
    while (stored < layout.strips && sif::FitsOffsets(sif::NextPart(position, 10737))) {
        position = sif::NextPart(position, 10737);
        ++stored;
    }
    EXPECT_EQ(stored, 399978u);
    EXPECT_LT(stored, layout.strips);

    // All strips fit, but the tables and directory behind them do not.
    const sif::FileLayout few = sif::PlanFile(8192, 3, 8, 0);
    const std::uint64_t tablesAt = kLimit - (8 * 3 + 2 + 12 * 10 + 4) + 1;
    EXPECT_TRUE(sif::FitsOffsets(tablesAt));
    EXPECT_FALSE(sif::FitsOffsets(sif::FileEnd(few, tablesAt)));
    EXPECT_TRUE(sif::FitsOffsets(sif::FileEnd(few, tablesAt - 1)));
}

// A named PhotometricInterpretation changes only the value of its entry: the
// file is otherwise byte for byte the one written with the writer's rule,
// which stays WhiteIsZero at 1 bit and BlackIsZero above.
TEST(StoreImageFile, NamedPhotometricChangesOnlyItsEntry)
{
    struct Case {
        std::int32_t bits;
        std::uint16_t rule;
    };
    const std::vector<Case> cases = {{1, 0}, {2, 1}, {7, 1}, {8, 1}, {12, 1}, {16, 1}};
    for (const Case& c : cases) {
        const std::int32_t width = 37;
        const std::int32_t height = 5;
        std::vector<std::uint16_t> samples(width * height);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::uint16_t>((i * 2654435761u) & ((1u << c.bits) - 1));
        std::vector<const std::uint16_t*> rows;
        for (std::int32_t r = 0; r < height; ++r) rows.push_back(samples.data() + r * width);
        TempDir dir;
        const Bytes plain = Store(dir, width, height, c.bits, samples, "sense", "plain.tif");
        const Layout layout = sifref::ParseLayout(plain);
        ASSERT_TRUE(layout.ok) << layout.error;
        EXPECT_EQ(layout.entries.at(kTagPhotometric).value, c.rule) << c.bits << " bits";
        EXPECT_EQ(DefaultPhotometric(c.bits), static_cast<Photometric>(c.rule));

        // The photometric entry is the fifth, right after Compression.
        const std::size_t valueAt = layout.ifd + 2 + 12 * 4 + 8;
        ASSERT_EQ(sifref::Le16(plain, valueAt - 8), kTagPhotometric);
        for (Photometric named : {Photometric::kWhiteIsZero, Photometric::kBlackIsZero}) {
            const auto value = static_cast<std::uint16_t>(named);
            SCOPED_TRACE(testing::Message() << c.bits << " bits, named " << value);
            const std::string path = dir.file("named.tif");
            StoreImageFile(path.c_str(), width, height, c.bits, rows.data(), "sense", named);
            const Bytes file = ReadBytes(path);
            Bytes want = plain;
            want[valueAt] = static_cast<std::uint8_t>(value);
            EXPECT_EQ(file, want);
            const auto read = testsupport::ReadWithLibtiff(path);
            ASSERT_TRUE(read.has_value());
            EXPECT_EQ(read->errors, "");
            EXPECT_EQ(read->photometric, value);
        }
    }
}

// What a filter stores for the value it read: the two greyscale senses are
// kept, the palette and the transparency mask fall back to the writer's rule.
TEST(StoreImageFile, KeptPhotometric)
{
    struct Case {
        std::int32_t read;
        std::int32_t bits;
        Photometric stored;
    };
    const std::vector<Case> cases = {
        {0, 1, Photometric::kWhiteIsZero},  {0, 8, Photometric::kWhiteIsZero},
        {0, 16, Photometric::kWhiteIsZero}, {1, 1, Photometric::kBlackIsZero},
        {1, 8, Photometric::kBlackIsZero},  {3, 1, Photometric::kWhiteIsZero},
        {3, 8, Photometric::kBlackIsZero},  {4, 1, Photometric::kWhiteIsZero},
        {4, 4, Photometric::kBlackIsZero},
    };
    for (const Case& c : cases)
        EXPECT_EQ(KeptPhotometric(c.read, c.bits), c.stored) << c.read << " at " << c.bits;
}

}  // namespace
