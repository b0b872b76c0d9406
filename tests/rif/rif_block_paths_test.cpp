// The strip decoders' block paths at their edges: LZW strips from the
// independent reference encoder and PackBits packets made by a plain
// generator, with strings, runs and literals that straddle rows, requests,
// the 64 KiB input buffer and table-full Clears, in both byte orders, both
// fill orders, odd widths and depths of 1 to 16 bits; large files written by
// libtiff; and strips cut short inside the fast loops.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "../sif/reference.hpp"
#include "rif_harness.hpp"
#include "support.hpp"
#include "tiff_builder.hpp"

namespace {

using rifharness::ReadResult;
using tiffbuilder::Bytes;
namespace tb = tiffbuilder;

using Rows = std::vector<std::vector<std::uint16_t>>;

std::uint8_t Reverse(std::uint8_t v)
{
    std::uint8_t r = 0;
    for (int b = 0; b < 8; ++b)
        if (v & (1u << b)) r = static_cast<std::uint8_t>(r | (0x80u >> b));
    return r;
}

// How the rows are laid out in the file.
struct Layout {
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t bits;
    std::uint32_t rowsPerStrip;
    bool big;
    bool reversed;  // fill order 2
};

std::size_t RowBytes(const Layout& l)
{
    return (static_cast<std::size_t>(l.width) * l.bits + 7) / 8;
}

// The samples of the uncompressed bytes, one bit at a time: 16 bits in the
// file's byte order, other depths most significant bit first from the
// start of each row.
Rows Samples(const Bytes& plain, const Layout& l)
{
    Rows rows;
    const std::size_t rowBytes = RowBytes(l);
    for (std::uint32_t y = 0; y < l.height; ++y) {
        const std::uint8_t* row = plain.data() + y * rowBytes;
        std::vector<std::uint16_t> samples(l.width);
        for (std::uint32_t x = 0; x < l.width; ++x) {
            if (l.bits == 16) {
                const std::uint32_t a = row[2 * x];
                const std::uint32_t b = row[2 * x + 1];
                samples[x] = static_cast<std::uint16_t>(l.big ? a << 8 | b : b << 8 | a);
                continue;
            }
            std::uint32_t v = 0;
            for (std::uint32_t k = 0; k < l.bits; ++k) {
                const std::size_t bit = static_cast<std::size_t>(x) * l.bits + k;
                v = v << 1 | ((row[bit / 8] >> (7 - bit % 8)) & 1u);
            }
            samples[x] = static_cast<std::uint16_t>(v);
        }
        rows.push_back(samples);
    }
    return rows;
}

ReadResult ReadStrips(const Layout& l, std::uint32_t compression, std::vector<Bytes> strips,
                      const std::vector<std::uint32_t>& counts = {})
{
    if (l.reversed)
        for (auto& s : strips)
            for (auto& b : s) b = Reverse(b);
    tb::TiffBuilder b(l.big);
    b.Image(l.width, l.height, l.bits, compression);
    if (l.reversed) b.Short(tb::kFillOrder, 2);
    b.Long(tb::kRowsPerStrip, l.rowsPerStrip);
    std::vector<std::uint32_t> offsets;
    for (const auto& s : strips) offsets.push_back(b.Data(s));
    std::vector<std::uint32_t> sizes;
    for (const auto& s : strips) sizes.push_back(static_cast<std::uint32_t>(s.size()));
    b.Longs(tb::kOffsets, offsets);
    b.Longs(tb::kCounts, counts.empty() ? sizes : counts);
    return rifharness::ReadFile(b.Build());
}

// The uncompressed bytes of each strip.
std::vector<Bytes> SplitStrips(const Bytes& plain, const Layout& l)
{
    std::vector<Bytes> strips;
    const std::size_t stripBytes = RowBytes(l) * l.rowsPerStrip;
    for (std::size_t at = 0; at < plain.size(); at += stripBytes)
        strips.emplace_back(
            plain.begin() + static_cast<std::ptrdiff_t>(at),
            plain.begin() + static_cast<std::ptrdiff_t>(std::min(plain.size(), at + stripBytes)));
    return strips;
}

// ------------------------------------------------------------ contents

enum class Content { kNoise, kSmooth, kRuns, kMixed, kLongRun };

// Noise gives short strings and a Clear every few thousand codes; smooth
// data medium strings; runs of up to 300 bytes self-defining codes and long
// strings; mixed alternates noise and runs; a long run of 1.3 MB gives one
// table more output than the decoder's window holds.
Bytes Make(Content content, std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(n);
    int level = 128;
    while (out.size() < n) {
        switch (content) {
            case Content::kNoise:
                out.push_back(static_cast<std::uint8_t>(rng()));
                break;
            case Content::kSmooth:
                level = std::clamp(level + static_cast<int>(rng() % 5) - 2, 0, 255);
                out.push_back(static_cast<std::uint8_t>(level));
                break;
            case Content::kRuns:
                out.insert(out.end(), 1 + rng() % 300, static_cast<std::uint8_t>(rng()));
                break;
            case Content::kMixed:
                if (rng() % 2)
                    for (unsigned k = rng() % 64; k > 0; --k)
                        out.push_back(static_cast<std::uint8_t>(rng()));
                else
                    out.insert(out.end(), 1 + rng() % 40, static_cast<std::uint8_t>(rng()));
                break;
            case Content::kLongRun:
                out.insert(out.end(), std::size_t{1300000}, std::uint8_t{0x5A});
                while (out.size() < n) out.push_back(static_cast<std::uint8_t>(rng()));
                break;
        }
    }
    out.resize(n);
    return out;
}

struct BlockCase {
    const char* name;
    Content content;
    Layout layout;
};

void PrintTo(const BlockCase& c, std::ostream* os)
{
    *os << c.name;
}

const BlockCase kCases[] = {
    // Strips above 64 KiB cross the input buffer; odd widths put every
    // string and packet boundary somewhere else in the rows.
    {"NoiseOddRows8", Content::kNoise, {1001, 300, 8, 150, false, false}},
    {"NoiseWide16Little", Content::kNoise, {3001, 40, 16, 20, false, false}},
    {"NoiseWide16Big", Content::kNoise, {3001, 40, 16, 20, true, false}},
    {"NoiseReversedFill", Content::kNoise, {997, 200, 8, 100, false, true}},
    {"Noise16BigReversed", Content::kNoise, {513, 100, 16, 100, true, true}},
    {"SmoothRows7", Content::kSmooth, {7, 20000, 8, 20000, false, false}},
    {"Smooth16", Content::kSmooth, {2049, 60, 16, 30, false, false}},
    {"RunsOddRows", Content::kRuns, {333, 900, 8, 450, false, false}},
    {"Runs16Big", Content::kRuns, {1023, 200, 16, 100, true, false}},
    {"RunsReversedFill", Content::kRuns, {4097, 50, 8, 50, false, true}},
    {"MixedOneRowStrips", Content::kMixed, {65537, 4, 8, 1, false, false}},
    {"Mixed16", Content::kMixed, {777, 300, 16, 77, false, false}},
    {"MixedTwelveBits", Content::kMixed, {1001, 200, 12, 100, true, false}},
    {"MixedFourBits", Content::kMixed, {999, 400, 4, 200, false, false}},
    {"NoiseOneBit", Content::kNoise, {4003, 300, 1, 300, false, true}},
    {"NoiseThirteenBits", Content::kNoise, {1001, 100, 13, 50, true, false}},
    {"LongRunThenNoise", Content::kLongRun, {4099, 400, 8, 400, false, false}},
    {"LongRunThenNoise16", Content::kLongRun, {2051, 400, 16, 400, true, false}},
};

// ------------------------------------------------------ LZW, PackBits

class BlockPaths : public testing::TestWithParam<BlockCase> {};

// The read succeeds without a word and gives the samples of `plain`.
void ExpectSamples(const ReadResult& r, const Bytes& plain, const Layout& l)
{
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.fatal);
    EXPECT_TRUE(r.rows == Samples(plain, l));
}

TEST_P(BlockPaths, LZWMatchesTheReferenceEncoderInput)
{
    const BlockCase& c = GetParam();
    const Bytes plain = Make(c.content, RowBytes(c.layout) * c.layout.height, 11);
    std::vector<Bytes> strips;
    for (const auto& s : SplitStrips(plain, c.layout)) strips.push_back(sifref::EncodeLZW(s));
    ExpectSamples(ReadStrips(c.layout, tb::kLZW, strips), plain, c.layout);
}

// PackBits packets for `plain`, with lengths around every size the decoder
// treats differently (1, 2, 16, 17, 63, 64, 65, 127, 128) and no-op
// headers in between.  Runs repeat the byte at hand, so the packets give
// back exactly `plain`.
Bytes PackPackets(Bytes& plain, std::uint32_t seed)
{
    static const std::size_t kLengths[] = {1,  2,  3,  15, 16,  17,  31, 32,
                                           33, 63, 64, 65, 100, 127, 128};
    std::mt19937 rng(seed);
    Bytes out;
    std::size_t at = 0;
    while (at < plain.size()) {
        const unsigned kind = rng() % 7;
        std::size_t len = rng() % 3 == 0 ? 1 + rng() % 128 : kLengths[rng() % std::size(kLengths)];
        len = std::min(len, plain.size() - at);
        if (kind == 0) {
            out.push_back(128);
        } else if (kind < 4 || len < 2) {
            out.push_back(static_cast<std::uint8_t>(len - 1));
            out.insert(out.end(), plain.begin() + static_cast<std::ptrdiff_t>(at),
                       plain.begin() + static_cast<std::ptrdiff_t>(at + len));
            at += len;
        } else {
            std::fill_n(plain.begin() + static_cast<std::ptrdiff_t>(at), len, plain[at]);
            out.push_back(static_cast<std::uint8_t>(257 - len));
            out.push_back(plain[at]);
            at += len;
        }
    }
    return out;
}

TEST_P(BlockPaths, PackBitsMatchesThePackedBytes)
{
    const BlockCase& c = GetParam();
    Bytes plain = Make(c.content, RowBytes(c.layout) * c.layout.height, 12);
    std::vector<Bytes> strips;
    std::size_t at = 0;
    std::uint32_t seed = 1;
    for (auto s : SplitStrips(plain, c.layout)) {
        strips.push_back(PackPackets(s, seed++));
        std::copy(s.begin(), s.end(), plain.begin() + static_cast<std::ptrdiff_t>(at));
        at += s.size();
    }
    ExpectSamples(ReadStrips(c.layout, tb::kPackBits, strips), plain, c.layout);
}

INSTANTIATE_TEST_SUITE_P(StripDecoders, BlockPaths, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// -------------------------------------------------- cut short or overlong

// A strip whose byte count ends inside the data: the fast loops run up to
// the last whole code or packet and the checked steps report the shortage;
// one that goes on past the rows draws the end check's warning.
TEST(StripDecoders, BlockPathsCutShort)
{
    const Layout l{1001, 200, 8, 200, false, false};
    const Bytes plain = Make(Content::kMixed, RowBytes(l) * l.height, 13);
    const Bytes lzw = sifref::EncodeLZW(plain);
    Bytes runs = plain;  // the packets' runs repeat their first byte
    const Bytes packed = PackPackets(runs, 3);
    for (const std::uint32_t cut : {65535u, 65536u, 65537u, 65543u, 100001u}) {
        SCOPED_TRACE(cut);
        ASSERT_LT(cut, lzw.size());
        EXPECT_EQ(ReadStrips(l, tb::kLZW, {lzw}, {cut}).err, "F : LZW too few codes.\n");
        ASSERT_LT(cut, packed.size());
        EXPECT_EQ(ReadStrips(l, tb::kPackBits, {packed}, {cut}).err, "F : MPB too few codes.\n");
    }
    // The rows end before the end code and before the last packets: the
    // rows are read, then one warning (which one depends on whether the
    // last string or packet goes on past the rows).
    Layout fewer = l;
    fewer.height = 150;
    const Rows first = Samples(plain, fewer);
    const ReadResult lzwFewer = ReadStrips(fewer, tb::kLZW, {lzw});
    EXPECT_TRUE(lzwFewer.err == "F : LZW too many data (warning).\n" ||
                lzwFewer.err == "F : LZW too many code (warning).\n")
        << lzwFewer.err;
    EXPECT_TRUE(lzwFewer.rows == first);
    const ReadResult packedFewer = ReadStrips(fewer, tb::kPackBits, {packed});
    EXPECT_TRUE(packedFewer.err == "F : MPB too many data (warning).\n" ||
                packedFewer.err == "F : MPB too many code (warning).\n")
        << packedFewer.err;
    EXPECT_TRUE(packedFewer.rows == Samples(runs, fewer));
    // An end code where more rows are wanted.
    Layout more = l;
    more.height = 201;
    more.rowsPerStrip = 201;
    EXPECT_EQ(ReadStrips(more, tb::kLZW, {lzw}).err, "F : LZW unexpected end of code.\n");
}

// A code above the next free one deep inside a long strip, where the fast
// loop meets it, in both fill orders.
TEST(StripDecoders, BlockPathsStopAtABadCode)
{
    const Bytes plain = Make(Content::kNoise, 1001 * 200, 14);
    const sifref::Decoded decoded = sifref::DecodeLZW(sifref::EncodeLZW(plain));
    ASSERT_TRUE(decoded.ok) << decoded.error;
    std::vector<sifref::Code> codes = decoded.codes;
    std::size_t at = 20000;
    while (codes[at].width != 12 || codes[at].value >= 256) ++at;
    codes[at].value = 4095;
    for (const bool reversed : {false, true}) {
        const Layout l{1001, 200, 8, 200, false, reversed};
        EXPECT_EQ(ReadStrips(l, tb::kLZW, {sifref::PackCodes(codes)}).err, "F : LZW bad code.\n");
    }
}

// ----------------------------------------------------- libtiff's files

struct LibtiffCase {
    const char* name;
    std::uint16_t compression;
    int bits;
    bool big;
    std::uint16_t fillOrder;
    std::uint16_t predictor;
};

void PrintTo(const LibtiffCase& c, std::ostream* os)
{
    *os << c.name;
}

class LargeLibtiffFiles : public testing::TestWithParam<LibtiffCase> {};

// Large smooth images with noise, in strips of 100 rows (over 64 KiB), as
// libtiff's own encoders store them.
TEST_P(LargeLibtiffFiles, ReadAsWritten)
{
    const LibtiffCase& c = GetParam();
    testsupport::Image image(1031, 300, c.bits);
    std::mt19937 rng(21);
    const std::uint32_t top = (1u << c.bits) - 1;
    for (std::int32_t y = 0; y < image.height; ++y)
        for (std::int32_t x = 0; x < image.width; ++x)
            image.at(x, y) = static_cast<std::uint16_t>(std::min<std::uint32_t>(
                top, static_cast<std::uint32_t>(x + y) * top / 1330 + rng() % 4));
    testsupport::TempDir dir;
    const std::string path = dir.file("large.tif");
    testsupport::LibtiffLayout layout;
    layout.bigEndian = c.big;
    layout.compression = c.compression;
    layout.fillOrder = c.fillOrder;
    layout.predictor = c.predictor;
    layout.rowsPerStrip = 100;
    ASSERT_TRUE(testsupport::StoreWithLibtiff(path, image, layout));
    const ReadResult r = rifharness::ReadPath(path);
    EXPECT_EQ(r.err, "");
    ASSERT_FALSE(r.fatal);
    ASSERT_EQ(r.rows.size(), 300u);
    std::size_t wrong = 0;
    for (std::int32_t y = 0; y < image.height; ++y)
        for (std::int32_t x = 0; x < image.width; ++x) wrong += r.rows[y][x] != image.at(x, y);
    EXPECT_EQ(wrong, 0u);
}

const LibtiffCase kLibtiffCases[] = {
    {"LZW8Little", COMPRESSION_LZW, 8, false, FILLORDER_MSB2LSB, PREDICTOR_NONE},
    {"LZW16Big", COMPRESSION_LZW, 16, true, FILLORDER_MSB2LSB, PREDICTOR_NONE},
    {"LZW16LittleReversed", COMPRESSION_LZW, 16, false, FILLORDER_LSB2MSB, PREDICTOR_NONE},
    {"LZW8Predictor", COMPRESSION_LZW, 8, true, FILLORDER_MSB2LSB, PREDICTOR_HORIZONTAL},
    {"LZW16Predictor", COMPRESSION_LZW, 16, false, FILLORDER_MSB2LSB, PREDICTOR_HORIZONTAL},
    {"LZW12", COMPRESSION_LZW, 12, true, FILLORDER_MSB2LSB, PREDICTOR_NONE},
    {"PackBits8Big", COMPRESSION_PACKBITS, 8, true, FILLORDER_MSB2LSB, PREDICTOR_NONE},
    {"PackBits8Reversed", COMPRESSION_PACKBITS, 8, false, FILLORDER_LSB2MSB, PREDICTOR_NONE},
    {"PackBits16Little", COMPRESSION_PACKBITS, 16, false, FILLORDER_MSB2LSB, PREDICTOR_NONE},
    {"PackBits16Big", COMPRESSION_PACKBITS, 16, true, FILLORDER_MSB2LSB, PREDICTOR_NONE},
    {"None8Reversed", COMPRESSION_NONE, 8, false, FILLORDER_LSB2MSB, PREDICTOR_NONE},
    {"None16Big", COMPRESSION_NONE, 16, true, FILLORDER_MSB2LSB, PREDICTOR_NONE},
};

INSTANTIATE_TEST_SUITE_P(StripDecoders, LargeLibtiffFiles, testing::ValuesIn(kLibtiffCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
