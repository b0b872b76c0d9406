#include "sif.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support.hpp"

namespace {

using testsupport::ReadBytes;
using testsupport::TempDir;

TEST(StoreImageFile, SmallestFileIsByteExact)
{
    TempDir dir;
    const std::uint16_t row[1] = {0};
    const std::uint16_t* rows[1] = {row};
    StoreImageFile(dir.file("a.tif").c_str(), 1, 1, 8, rows, nullptr);
    const auto bytes = ReadBytes(dir.file("a.tif"));
    ASSERT_EQ(bytes.size(), 138u);
    const std::vector<std::uint8_t> head = {0x49, 0x49, 0x2A, 0x00, 0x0C, 0x00,
                                            0x00, 0x00, 0x80, 0x00, 0x20, 0x20};
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 12), head);
}

}  // namespace
