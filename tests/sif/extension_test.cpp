// The encoder takes one of two ways through each strip: with or without
// the extension remembered per code, chosen from how often it answered in
// the strip before.  Whichever way a strip takes, its code stream must be
// the reference encoder's.  These images switch between long runs, which
// the remembered extensions answer, and noise, which they do not, so that
// strips of both ways follow each other in every order (and the periodic
// retry after a run of strips without them comes up), at every depth from
// 1 to 16 bits, at widths that leave partial bytes and partial chunks, and
// with table-full Clears inside strips on either way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
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
using testsupport::TempDir;

constexpr std::size_t kStripBytes = 8192;

// Stores the image and expects every strip to be the reference encoder's
// code stream for the rows it holds, packed by the reference packer.
// Returns the number of table-full Clears (Clears after a strip's first).
int ExpectReferenceStrips(const Image& image)
{
    TempDir dir;
    const std::string path = dir.file("ways.tif");
    testsupport::StoreWithOurs(path, image);

    const sifref::Layout layout = sifref::ParseLayout(testsupport::ReadBytes(path));
    EXPECT_TRUE(layout.ok) << layout.error;
    if (!layout.ok) return 0;
    const std::uint32_t perStrip = layout.entries.at(tiffnum::kTagRowsPerStrip).value;
    int clears = 0;
    std::size_t strip = 0;
    for (std::int32_t first = 0; first < image.height; first += perStrip, ++strip) {
        Bytes packed;
        for (std::int32_t y = first; y < std::min<std::int32_t>(first + perStrip, image.height);
             ++y) {
            const std::uint16_t* row =
                image.samples.data() + static_cast<std::size_t>(y) * image.width;
            const Bytes bytes = sifref::PackRow({row, row + image.width}, image.bits);
            packed.insert(packed.end(), bytes.begin(), bytes.end());
        }
        if (strip >= layout.strips.size()) {
            ADD_FAILURE() << "strip " << strip << " is missing";
            break;
        }
        EXPECT_TRUE(layout.strips[strip] == sifref::EncodeLZW(packed))
            << "strip " << strip << " is not the reference code stream";
        const sifref::Decoded decoded = sifref::DecodeLZW(layout.strips[strip]);
        for (std::size_t i = 1; i < decoded.codes.size(); ++i)
            clears += decoded.codes[i].value == tiffnum::kClear;
    }
    EXPECT_EQ(layout.strips.size(), strip);
    return clears;
}

// Rows per strip as the writer lays them out: 8192 bytes at most, at
// least one row.
std::int32_t RowsPerStrip(std::int32_t width, std::int32_t bits)
{
    const std::size_t rowBytes = (static_cast<std::size_t>(width) * bits + 7) / 8;
    return static_cast<std::int32_t>(rowBytes >= kStripBytes ? 1 : kStripBytes / rowBytes);
}

// Strip s of the image is noise when noisy(s), long runs otherwise.
template <typename Noisy>
Image Striped(std::int32_t width, std::int32_t bits, std::int32_t strips, Noisy noisy)
{
    const std::int32_t perStrip = RowsPerStrip(width, bits);
    Image image(width, perStrip * strips, bits);
    const std::uint32_t limit = (1u << bits) - 1;
    std::mt19937 random(static_cast<unsigned>(width * 40 + bits));
    for (std::int32_t y = 0; y < image.height; ++y)
        for (std::int32_t x = 0; x < width; ++x) {
            const std::uint32_t value =
                noisy(y / perStrip) ? random() : static_cast<std::uint32_t>(x / 97 + y / 5);
            image.at(x, y) = static_cast<std::uint16_t>(value & limit);
        }
    return image;
}

// Two strips of runs, eleven of noise, then runs again: the runs after the
// noise are encoded without the extensions first, and with them from the
// retry after a run of strips without them (well within the 48 strips).
bool SwitchingStrips(std::int32_t strip)
{
    return strip >= 2 && strip <= 12;
}

struct Shape {
    std::int32_t bits;
    std::int32_t width;
};

void PrintTo(const Shape& s, std::ostream* os)
{
    *os << s.bits << " bits, width " << s.width;
}

class EncoderWays : public testing::TestWithParam<Shape> {};

TEST_P(EncoderWays, EveryStripIsTheReferenceCodeStream)
{
    const Shape shape = GetParam();
    ExpectReferenceStrips(Striped(shape.width, shape.bits, 48, SwitchingStrips));
}

std::vector<Shape> Shapes()
{
    std::vector<Shape> shapes;
    for (std::int32_t bits = 1; bits <= 16; ++bits)
        for (const std::int32_t width : {1, 3, 7, 33, 1001, 4099}) shapes.push_back({bits, width});
    return shapes;
}

INSTANTIATE_TEST_SUITE_P(Depths, EncoderWays, testing::ValuesIn(Shapes()),
                         [](const testing::TestParamInfo<Shape>& info) {
                             return "Bits" + std::to_string(info.param.bits) + "Width" +
                                    std::to_string(info.param.width);
                         });

// Runs and noise in turn, strip by strip, and in runs of three: the way a
// strip takes then depends on strips further back, and the retries land
// on runs and on noise.
TEST(EncoderWays, AlternatingStrips)
{
    for (const std::int32_t bits : {8, 16}) {
        SCOPED_TRACE(bits);
        ExpectReferenceStrips(Striped(1024, bits, 80, [](std::int32_t s) { return s % 2 == 1; }));
        ExpectReferenceStrips(
            Striped(1024, bits, 80, [](std::int32_t s) { return s / 3 % 2 == 1; }));
    }
}

// Rows longer than a strip, so that one strip holds runs, enough distinct
// pairs to fill the table twice, and the same runs again: the extensions
// remembered before each table-full Clear must not answer after it.
TEST(EncoderWays, TableFullClearsInsideStrips)
{
    Bytes runs;
    for (int i = 0; i < 3000; ++i) runs.push_back(static_cast<std::uint8_t>(i / 40));
    const Bytes pairs = sifref::DistinctPairs(9000);
    Bytes row = runs;
    for (int k = 0; k < 2; ++k) {
        row.insert(row.end(), pairs.begin(), pairs.end());
        row.insert(row.end(), runs.begin(), runs.end());
    }
    Image image(static_cast<std::int32_t>(row.size()), 0, 8);
    // A strip of runs first, so that the next strip takes the extensions;
    // then rows of runs, pairs and runs again; a noisy row between them
    // makes the one after it take the way without.
    const auto add = [&](const Bytes& bytes) {
        image.samples.insert(image.samples.end(), bytes.begin(), bytes.end());
        ++image.height;
    };
    Bytes noise(row.size());
    std::mt19937 random(7);
    for (auto& b : noise) b = static_cast<std::uint8_t>(random());
    Bytes allRuns(row.size());
    for (std::size_t i = 0; i < allRuns.size(); ++i) allRuns[i] = runs[i % runs.size()];
    add(allRuns);
    add(row);
    add(row);
    add(noise);
    add(row);
    EXPECT_GE(ExpectReferenceStrips(image), 8);
}

}  // namespace
