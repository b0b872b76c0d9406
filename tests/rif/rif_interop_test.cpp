// The reader against other writers: our own writer (round trips) and
// libtiff, whose reading of the same file is the reference.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "image.hpp"
#include "rif_harness.hpp"
#include "sif.hpp"
#include "support.hpp"

namespace {

using rifharness::ReadPath;
using rifharness::ReadResult;
using testsupport::TempDir;

using Rows = std::vector<std::vector<std::uint16_t>>;

Rows RandomRows(std::uint32_t width, std::uint32_t height, int bits, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    const std::uint32_t mask = (1u << bits) - 1;
    Rows rows(height, std::vector<std::uint16_t>(width));
    // Runs and noise mixed, so that LZW and PackBits both see repeats.
    for (auto& row : rows)
        for (std::uint32_t x = 0; x < width; ++x)
            row[x] =
                static_cast<std::uint16_t>((rng() % 4 == 0 && x > 0 ? row[x - 1] : rng()) & mask);
    return rows;
}

struct Size {
    std::uint32_t width;
    std::uint32_t height;
};

TEST(ReadImageFile, RoundTripWithWriter)
{
    TempDir dir;
    const std::string path = dir.file("rt.tif");
    const std::vector<Size> sizes = {{1, 1},    {7, 3},    {33, 17},   {300, 40},
                                     {4097, 3}, {5000, 2}, {70001, 1}, {1, 3000}};
    const std::vector<const char*> texts = {nullptr, "", "abc", "0.000000\t1.000000",
                                            "a longer description that lies in front of strips"};
    std::uint32_t seed = 1;
    for (int bits = 1; bits <= 16; ++bits) {
        for (std::size_t s = 0; s < sizes.size(); ++s) {
            const auto [width, height] = sizes[s];
            SCOPED_TRACE(testing::Message() << bits << " bits, " << width << " x " << height);
            const Rows rows = RandomRows(width, height, bits, seed++);
            std::vector<const std::uint16_t*> pointers;
            for (const auto& row : rows) pointers.push_back(row.data());
            const char* text = texts[(bits + s) % texts.size()];
            StoreImageFile(path.c_str(), static_cast<std::int32_t>(width),
                           static_cast<std::int32_t>(height), bits, pointers.data(), text);
            const ReadResult r = ReadPath(path);
            ASSERT_FALSE(r.fatal) << r.err;
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.width, static_cast<std::int32_t>(width));
            EXPECT_EQ(r.height, static_cast<std::int32_t>(height));
            EXPECT_EQ(r.bits, bits);
            EXPECT_EQ(r.rows, rows);
            if (text == nullptr)
                EXPECT_EQ(r.description, std::nullopt);
            else
                EXPECT_EQ(r.description, std::string(text));
        }
    }
}

struct Variant {
    std::uint16_t compression;
    std::uint16_t predictor;
    bool bigEndian;
    std::uint16_t fillOrder;
    std::uint32_t rowsPerStrip;  // 0: libtiff's default
};

// Writes the rows through libtiff's own API (testsupport::StoreWithLibtiff).
void WriteWithLibtiff(const std::string& path, const Rows& rows, int bits, const Variant& v,
                      const char* description)
{
    const auto width = static_cast<std::int32_t>(rows[0].size());
    const auto height = static_cast<std::int32_t>(rows.size());
    testsupport::Image image(width, height, bits);
    for (std::int32_t y = 0; y < height; ++y)
        for (std::int32_t x = 0; x < width; ++x) image.at(x, y) = rows[y][x];
    testsupport::LibtiffLayout layout;
    layout.bigEndian = v.bigEndian;
    layout.compression = v.compression;
    layout.fillOrder = v.fillOrder;
    layout.predictor = v.predictor;
    layout.rowsPerStrip = v.rowsPerStrip;
    ASSERT_TRUE(testsupport::StoreWithLibtiff(path, image, layout, description));
}

TEST(ReadImageFile, ReadsWhatLibtiffWrites)
{
    TempDir dir;
    const std::string path = dir.file("lt.tif");
    std::vector<Variant> variants;
    for (std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_PACKBITS})
        for (bool big : {false, true})
            for (std::uint16_t fill : {FILLORDER_MSB2LSB, FILLORDER_LSB2MSB})
                for (std::uint32_t rps : {0u, 3u})
                    variants.push_back({compression, PREDICTOR_NONE, big, fill, rps});
    for (bool big : {false, true})
        for (std::uint32_t rps : {0u, 5u})
            variants.push_back(
                {COMPRESSION_LZW, PREDICTOR_HORIZONTAL, big, FILLORDER_MSB2LSB, rps});

    std::uint32_t seed = 100;
    for (const auto& v : variants) {
        for (int bits : {1, 2, 4, 8, 12, 16}) {
            // libtiff's differencing works on whole bytes of 8 or 16 bits.
            if (v.predictor == PREDICTOR_HORIZONTAL && bits != 8 && bits != 16) continue;
            SCOPED_TRACE(testing::Message()
                         << "compression " << v.compression << ", predictor " << v.predictor
                         << (v.bigEndian ? ", MM" : ", II") << ", fill " << v.fillOrder
                         << ", rows per strip " << v.rowsPerStrip << ", " << bits << " bits");
            const Rows rows = RandomRows(37, 11, bits, seed++);
            WriteWithLibtiff(path, rows, bits, v, bits == 8 ? "from libtiff" : nullptr);
            const auto ref = testsupport::ReadWithLibtiff(path);
            ASSERT_TRUE(ref.has_value());
            const ReadResult r = ReadPath(path);
            ASSERT_FALSE(r.fatal) << r.err;
            EXPECT_EQ(r.err, "");
            ASSERT_EQ(r.width, static_cast<std::int32_t>(ref->width));
            ASSERT_EQ(r.height, static_cast<std::int32_t>(ref->height));
            EXPECT_EQ(r.bits, ref->bits);
            for (std::uint32_t y = 0; y < ref->height; ++y)
                for (std::uint32_t x = 0; x < ref->width; ++x)
                    ASSERT_EQ(r.rows[y][x], ref->at(x, y)) << "at " << x << ", " << y;
            EXPECT_EQ(r.rows, rows);  // and both give what was written
            EXPECT_EQ(r.description, ref->description);
        }
    }
}

// The writer's files read back by libtiff and by us agree on wide rows too
// (one strip per row), and libtiff's tiffcp copy of such a file in other
// layouts reads the same.
TEST(ReadImageFile, ReadsTiffcpCopies)
{
    TempDir dir;
    const std::string ours = dir.file("ours.tif");
    const Rows rows = RandomRows(5000, 4, 16, 7);
    std::vector<const std::uint16_t*> pointers;
    for (const auto& row : rows) pointers.push_back(row.data());
    StoreImageFile(ours.c_str(), 5000, 4, 16, pointers.data(), "wide");
    const std::vector<std::vector<std::string>> options = {
        {"-c", "none", "-B"}, {"-c", "packbits", "-r", "3"}, {"-c", "lzw:2", "-B"}, {"-c", "lzw"}};
    for (const auto& opts : options) {
        const std::string copy = dir.file("copy.tif");
        std::vector<std::string> args = opts;
        args.push_back(ours);
        args.push_back(copy);
        const auto run = testsupport::Run("/usr/bin/tiffcp", args);
        ASSERT_EQ(run.status, 0) << run.err;
        const ReadResult r = ReadPath(copy);
        ASSERT_FALSE(r.fatal) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.rows, rows) << opts[1];
        EXPECT_EQ(r.description, "wide");
    }
}

}  // namespace
