// LZW strips whose strings are too long for the decoder's string store to
// hold a whole table of them: the later codes of such a table are kept as
// links and must still give exactly the bytes that the independent
// reference encoder compressed, across rows, byte orders and fill orders.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "../sif/reference.hpp"
#include "rif_harness.hpp"
#include "tiff_builder.hpp"

namespace {

using rifharness::ReadFile;
using tiffbuilder::Bytes;
using tiffbuilder::TiffBuilder;
namespace tb = tiffbuilder;

struct LongCase {
    const char* name;
    std::size_t block;  // length of the repeated random block; 1 is a run
    std::size_t total;  // uncompressed bytes of the one strip
    std::uint32_t width;
    std::uint32_t bits;
    bool big;
    bool reversedFill;
};

void PrintTo(const LongCase& c, std::ostream* os)
{
    *os << c.name;
}

// Repeats a random block: the strings grow by one byte per code and soon
// fill any store of a few hundred kilobytes; table-full Clears follow.
Bytes Repeated(std::size_t block, std::size_t total)
{
    std::mt19937 rng(7);
    Bytes pattern(block);
    for (auto& b : pattern) b = static_cast<std::uint8_t>(rng());
    Bytes data(total);
    for (std::size_t i = 0; i < total; ++i) data[i] = pattern[i % block];
    return data;
}

std::uint8_t Reverse(std::uint8_t v)
{
    std::uint8_t r = 0;
    for (int b = 0; b < 8; ++b)
        if (v & (1u << b)) r = static_cast<std::uint8_t>(r | (0x80u >> b));
    return r;
}

class LongStrings : public testing::TestWithParam<LongCase> {};

TEST_P(LongStrings, MatchTheReferenceEncoderInput)
{
    const LongCase& c = GetParam();
    const std::size_t rowBytes = c.width * c.bits / 8;
    const std::size_t height = c.total / rowBytes;
    const Bytes data = Repeated(c.block, height * rowBytes);
    Bytes strip = sifref::EncodeLZW(data);
    if (c.reversedFill)
        for (auto& b : strip) b = Reverse(b);

    TiffBuilder b(c.big);
    b.Image(c.width, static_cast<std::uint32_t>(height), c.bits, tb::kLZW);
    if (c.reversedFill) b.Short(tb::kFillOrder, 2);
    b.Long(tb::kRowsPerStrip, static_cast<std::uint32_t>(height));
    b.Strips({strip});
    const auto r = ReadFile(b.Build());
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.rows.size(), height);
    std::size_t at = 0;
    std::size_t wrong = 0;
    for (const auto& row : r.rows) {
        ASSERT_EQ(row.size(), c.width);
        for (const std::uint16_t v : row) {
            std::uint16_t want = data[at];
            if (c.bits == 16) {
                want = c.big ? static_cast<std::uint16_t>(data[at] << 8 | data[at + 1])
                             : static_cast<std::uint16_t>(data[at + 1] << 8 | data[at]);
                ++at;
            }
            ++at;
            wrong += v != want;
        }
    }
    EXPECT_EQ(wrong, 0u);
}

const LongCase kLongCases[] = {
    // 7.4 MB of one byte: strings of 1..3839 bytes, one whole table.
    {"RunOddRows", 1, 7368000, 1001, 8, false, false},
    {"RunReversedFill", 1, 7368000, 4000, 8, false, true},
    {"Block997Rows7", 997, 3000000, 7, 8, false, false},
    {"Block997Wide16Little", 997, 3000000, 3001, 16, false, false},
    {"Block997Wide16Big", 997, 3000000, 3001, 16, true, false},
    {"Block3000Rows33", 3000, 4000000, 33, 8, false, true},
};

INSTANTIATE_TEST_SUITE_P(StripDecoders, LongStrings, testing::ValuesIn(kLongCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
