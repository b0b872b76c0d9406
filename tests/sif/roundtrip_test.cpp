// Round trips: every strip the writer stores decodes, with a decoder written
// from the code-stream rules, to the packed rows; libtiff and tiffinfo read
// the files to the same samples and description without complaint.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "image.hpp"
#include "reference.hpp"
#include "store.hpp"
#include "support.hpp"
#include "tiff_numbers.hpp"

namespace {

using sifref::Bytes;
using testsupport::Image;
using testsupport::RandomImage;
using testsupport::ReadBytes;
using testsupport::TempDir;

using tiffnum::kTagRowsPerStrip;

std::string Write(const TempDir& dir, const Image& image, const char* description = nullptr)
{
    const std::string path = dir.file("image.tif");
    testsupport::StoreWithOurs(path, image, description);
    return path;
}

// Smooth rows with a little noise: long matches, the usual case for the
// blurred images of the suite.
Image Smooth(std::mt19937& random, std::int32_t width, std::int32_t height, std::int32_t bits)
{
    Image image(width, height, bits);
    const std::uint32_t limit = bits >= 16 ? 0xFFFF : (1u << bits) - 1;
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint32_t v = static_cast<std::uint32_t>(x + 3 * y) / 5 + random() % 3;
            image.at(x, y) = static_cast<std::uint16_t>(v % (limit + 1));
        }
    return image;
}

// Decodes every strip of the file and compares it with the packed rows of
// that strip, and compares the strip itself with the reference encoder's.  Returns the number of
// Clear codes seen after the first of each strip (table-full Clears) and the highest code assigned.
struct StripStats {
    int tableFullClears = 0;
    int highestCode = 0;
};

StripStats ExpectRoundTrip(const std::string& path, const Image& image)
{
    StripStats stats;
    const Bytes file = ReadBytes(path);
    const sifref::Layout layout = sifref::ParseLayout(file);
    EXPECT_TRUE(layout.ok) << layout.error;
    if (!layout.ok) return stats;
    const std::uint32_t rowsPerStrip = layout.entries.at(kTagRowsPerStrip).value;
    const std::size_t strips =
        (static_cast<std::size_t>(image.height) + rowsPerStrip - 1) / rowsPerStrip;
    EXPECT_EQ(layout.strips.size(), strips);
    for (std::size_t s = 0; s < layout.strips.size(); ++s) {
        Bytes want;
        const std::size_t first = s * rowsPerStrip;
        const std::size_t end = std::min<std::size_t>(first + rowsPerStrip, image.height);
        for (std::size_t y = first; y < end; ++y) {
            const auto begin = image.samples.begin() + static_cast<std::ptrdiff_t>(y * image.width);
            const Bytes row = sifref::PackRow({begin, begin + image.width}, image.bits);
            want.insert(want.end(), row.begin(), row.end());
        }
        const sifref::Decoded decoded = sifref::DecodeLZW(layout.strips[s]);
        EXPECT_TRUE(decoded.ok) << "strip " << s << ": " << decoded.error;
        EXPECT_TRUE(decoded.bytes == want) << "strip " << s << " differs";
        EXPECT_TRUE(layout.strips[s] == sifref::EncodeLZW(want))
            << "strip " << s << " is not the reference code stream";
        for (std::size_t i = 1; i < decoded.codes.size(); ++i)
            stats.tableFullClears += decoded.codes[i].value == 256;
        stats.highestCode = std::max(stats.highestCode, decoded.highestCode);
    }
    return stats;
}

TEST(StoreImageFileRoundTrip, EveryWidthManySizes)
{
    std::mt19937 random(2024);
    for (std::int32_t bits = 1; bits <= 32; ++bits) {
        struct Size {
            std::int32_t width, height;
        };
        const std::int32_t perStrip = static_cast<std::int32_t>(8192 * 8 / bits);
        const Size sizes[] = {
            {1, 1},
            {static_cast<std::int32_t>(random() % 40 + 2),
             static_cast<std::int32_t>(random() % 9 + 1)},
            {static_cast<std::int32_t>(random() % 200 + 50),
             static_cast<std::int32_t>(random() % 30 + 10)},
            {perStrip, 2},      // exactly one strip per row
            {perStrip + 1, 1},  // a row just longer than a strip
        };
        for (const Size& size : sizes) {
            SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << "x" << bits);
            TempDir dir;
            const Image image = RandomImage(random, size.width, size.height, bits);
            ExpectRoundTrip(Write(dir, image), image);
            if (size.height == 1) continue;
            const Image smooth = Smooth(random, size.width, size.height, bits);
            ExpectRoundTrip(Write(dir, smooth), smooth);
        }
    }
}

// An image and how many table-full Clears its strips must hold at least.
struct StreamCase {
    const char* name;
    Image image;
    int minTableFullClears;
};

// Round-trips every case; a table that fills grows to its last code first.
void ExpectStreams(const std::vector<StreamCase>& cases)
{
    for (const StreamCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const StripStats stats = ExpectRoundTrip(Write(dir, c.image), c.image);
        EXPECT_GE(stats.tableFullClears, c.minTableFullClears);
        if (c.minTableFullClears > 0) {
            EXPECT_EQ(stats.highestCode, 4093);
        }
    }
}

TEST(StoreImageFileRoundTrip, LongRunsAndFullTables)
{
    std::mt19937 random(5);
    std::vector<StreamCase> cases;
    cases.push_back({"constant 8-bit", Image(8192, 3, 8, 77), 0});
    cases.push_back({"constant 1-bit", Image(65536, 2, 1, 1), 0});
    Image steps(4096, 4, 16);
    for (std::size_t i = 0; i < steps.samples.size(); ++i)
        steps.samples[i] = static_cast<std::uint16_t>(i / 300);
    cases.push_back({"runs of 16-bit levels", steps, 0});
    cases.push_back({"8-bit noise", RandomImage(random, 8192, 4, 8), 8});
    cases.push_back({"12-bit noise", RandomImage(random, 5000, 6, 12), 6});
    Image pairs(65537, 1, 8);
    const Bytes distinct = sifref::DistinctPairs(65537);
    pairs.samples.assign(distinct.begin(), distinct.end());
    cases.push_back({"all byte pairs", pairs, 1});
    ExpectStreams(cases);
}

// Whole files whose code stream runs through the writer's output buffer many
// times over: incompressible rows, where nearly every byte ends a string and
// the table fills and clears in every strip, all 256 byte values in both
// positions of a 16-bit sample, 8-bit samples above 255 (their low byte is
// stored), rows of one byte more than a strip, and long runs between them.
TEST(StoreImageFileRoundTrip, LargeStreamsThroughTheOutputBuffer)
{
    std::mt19937 random(13);
    std::vector<StreamCase> cases;
    cases.push_back({"8-bit noise, 64 strips", RandomImage(random, 8192, 64, 8), 64});
    cases.push_back({"16-bit noise, 64 strips", RandomImage(random, 4096, 64, 16), 64});
    cases.push_back(
        {"8-bit noise, rows one byte over a strip", RandomImage(random, 8193, 5, 8), 5});
    cases.push_back({"16-bit noise, odd width", RandomImage(random, 4097, 7, 16), 7});
    Image wide(8192, 8, 8);  // every sample above 255, each low byte a new pair
    const Bytes pairs = sifref::DistinctPairs(65537);
    for (std::size_t i = 0; i < 8192u * 8; ++i)
        wide.samples[i] = static_cast<std::uint16_t>(0xAB00 | pairs[i]);
    cases.push_back({"8-bit samples above 255", wide, 8});
    Image all16(256 * 64, 4, 16);  // every low byte with every high byte
    for (std::int32_t y = 0; y < all16.height; ++y)
        for (std::int32_t x = 0; x < all16.width; ++x)
            all16.at(x, y) = static_cast<std::uint16_t>((x * 7 + y) % 256 << 8 | x % 256);
    cases.push_back({"all 16-bit byte pairs", all16, 0});
    Image runs(6000, 40, 8);  // runs of every length up to 300, then noise
    for (std::int32_t y = 0; y < runs.height; ++y)
        for (std::int32_t x = 0; x < runs.width; ++x)
            runs.at(x, y) =
                static_cast<std::uint16_t>(x < 3000 ? (x * x / 2999 + y) % 256 : random() % 256);
    cases.push_back({"runs then noise", runs, 0});
    ExpectStreams(cases);
}

TEST(StoreImageFileInterop, LibtiffReadsTheSamples)
{
    std::mt19937 random(99);
    const char* descriptions[] = {nullptr, "", "abc", "0.000000\t255.000000"};
    int variant = 0;
    for (const std::int32_t bits : {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 24, 32}) {
        for (const bool smooth : {false, true}) {
            const std::int32_t width = static_cast<std::int32_t>(random() % 700 + 1);
            const std::int32_t height = static_cast<std::int32_t>(random() % 60 + 1);
            const char* description = descriptions[variant++ % 4];
            SCOPED_TRACE(testing::Message() << width << "x" << height << "x" << bits);
            const Image image = smooth ? Smooth(random, width, height, bits)
                                       : RandomImage(random, width, height, bits);
            TempDir dir;
            const std::string path = Write(dir, image, description);
            const auto read = testsupport::ReadWithLibtiff(path);
            ASSERT_TRUE(read.has_value());
            EXPECT_EQ(read->errors, "");
            EXPECT_EQ(read->width, static_cast<std::uint32_t>(width));
            EXPECT_EQ(read->height, static_cast<std::uint32_t>(height));
            EXPECT_EQ(read->bits, bits);
            EXPECT_EQ(read->compression, 5);
            EXPECT_EQ(read->photometric, bits == 1 ? 0 : 1);
            if (description == nullptr) {
                EXPECT_FALSE(read->description.has_value());
            } else {
                EXPECT_EQ(read->description, std::string(description));
            }
            bool same = true;
            for (std::int32_t y = 0; y < height && same; ++y)
                for (std::int32_t x = 0; x < width && same; ++x)
                    same = read->at(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y)) ==
                           image.at(x, y);
            EXPECT_TRUE(same);

            const auto info = testsupport::Run("/usr/bin/tiffinfo", {"-D", path});
            EXPECT_EQ(info.status, 0);
            EXPECT_EQ(info.err, "");
        }
    }
}

}  // namespace
