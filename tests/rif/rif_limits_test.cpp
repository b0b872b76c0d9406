// Hostile headers: memory follows the data actually read, not the sizes a
// header declares; offsets and byte counts use all 32 bits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "child.hpp"
#include "ours_image.hpp"
#include "rif_harness.hpp"
#include "tiff_builder.hpp"

namespace {

using rifharness::ReadFile;
using rifharness::ReadResult;
using testsupport::TempDir;
using tiffbuilder::Bytes;
using tiffbuilder::PackCodes;
using tiffbuilder::TiffBuilder;
namespace tb = tiffbuilder;

std::string Fatal(const std::string& message)
{
    return "F : " + message + "\n";
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressLimitWorks = false;  // the sanitizer reserves terabytes of shadow
#else
constexpr bool kAddressLimitWorks = true;
#endif

std::size_t VirtualSize()
{
    std::ifstream in("/proc/self/statm");
    std::size_t pages = 0;
    in >> pages;
    return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Reads `path` in a child process whose address space may grow by `slack`
// bytes at most, with every out-parameter given; the path in the message
// is replaced by "F".
testsupport::ChildOutcome ReadLimited(const std::string& path, std::size_t slack)
{
    testsupport::ChildOutcome outcome = testsupport::InChild(
        [&] { const testsupport::OursImage read(path); },
        [slack] { testsupport::LimitResource(RLIMIT_AS, VirtualSize() + slack); });
    outcome.err = rifharness::ReplaceAll(outcome.err, path, "F");
    return outcome;
}

struct HostileCase {
    const char* name;
    Bytes file;
    const char* message;
};

// A raster of width x height at 8 bits whose single strip holds far fewer
// PackBits runs than the raster needs.
Bytes ShortPackBits(std::uint32_t width, std::uint32_t height)
{
    TiffBuilder b;
    b.Image(width, height, 8, tb::kPackBits);
    Bytes runs;
    for (int i = 0; i < 200; ++i) runs.insert(runs.end(), {129, 3});
    b.Strips({runs});
    return b.Build();
}

// Each declared size either lies beyond any machine (its rows alone are
// refused at the allocation step) or within a few tens of MiB, which every
// machine holds, so that the message does not depend on where the test runs.
std::vector<HostileCase> HostileCases()
{
    std::vector<HostileCase> cases;
    {
        // 2^31 - 1 square, one strip of a few LZW codes: 2^63 bytes of rows.
        TiffBuilder b;
        b.Image(0x7FFFFFFF, 0x7FFFFFFF, 8, tb::kLZW);
        b.Strips({PackCodes({{256, 9}, {65, 9}, {258, 9}, {259, 9}, {260, 9}})});
        cases.push_back({"huge square, LZW", b.Build(), "no allocatable memory for cell."});
    }
    {
        TiffBuilder b;
        b.Image(0x7FFFFFFF, 0x7FFFFFFF, 16, tb::kNone);
        b.Strips({Bytes(100, 7)});
        cases.push_back(
            {"huge square, uncompressed", b.Build(), "no allocatable memory for cell."});
    }
    {
        // Refused before the strip tables are looked at: there are none.
        TiffBuilder b;
        b.Image(0x7FFFFFFF, 1u << 20, 8);
        cases.push_back({"4 PiB of rows, no strips", b.Build(), "no allocatable memory for cell."});
    }
    // PackBits runs expand 64-fold, and the row still only grows with them.
    cases.push_back({"wide row, PackBits runs", ShortPackBits(1u << 23, 1), "MPB too few codes."});
    {
        TiffBuilder b;
        b.At(tb::kDescription, tb::kAscii, 0xFFFFFFFFu, 8);
        b.Image(2, 2, 8);
        b.Strips({{1, 2, 3, 4}});
        cases.push_back({"description count 2^32-1", b.Build(), "missing image description."});
    }
    {
        // One strip declared to hold ten thousand rows.
        TiffBuilder b;
        b.Image(1000, 10000, 8);
        b.Strips({Bytes(5000, 1)});
        cases.push_back({"many rows in one strip", b.Build(), "too few codes."});
    }
    {
        // 2^24 strips whose tables would lie far past the end.
        TiffBuilder b;
        b.Image(1, 1u << 24, 8);
        b.Short(tb::kRowsPerStrip, 1);
        b.At(tb::kOffsets, tb::kLong, 1u << 24, 8);
        b.At(tb::kCounts, tb::kLong, 1u << 24, 8);
        cases.push_back({"2^24 strips", b.Build(), "unexpected end of file."});
    }
    return cases;
}

TEST(ReadImageFile, HostileSizesFailWithTheirMessage)
{
    for (const auto& c : HostileCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_LT(c.file.size(), 6000u);
        const ReadResult r = ReadFile(c.file);
        EXPECT_TRUE(r.fatal);
        EXPECT_EQ(r.err, Fatal(c.message));
    }
}

// Under an address-space limit of the current size plus a few MiB, rasters
// whose rows alone fit the limit but not the room left in it still read up
// to their defect: the rows, the row table and the strip tables grow with
// the data.  A raster whose rows exceed the limit is refused at once.
TEST(ReadImageFile, HostileSizesNeedOnlyAFewMebibytes)
{
    if (!kAddressLimitWorks) GTEST_SKIP() << "address-space limits do not work with ASan";
    constexpr std::size_t kSlack = std::size_t{8} << 20;
    // A reserve of address space (never touched) makes the process, and so
    // the limit, large enough to lie well above the slack.
    constexpr std::size_t kReserve = std::size_t{64} << 20;
    void* reserve = mmap(nullptr, kReserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(reserve, MAP_FAILED);
    const std::size_t size = VirtualSize();
    // Rows of about the current size: within the limit, not within the slack.
    const auto samples = static_cast<std::uint32_t>(size / 2);
    std::vector<HostileCase> cases;
    cases.push_back({"wide row", ShortPackBits(samples, 1), "MPB too few codes."});
    cases.push_back({"tall image", ShortPackBits(1000, samples / 1000), "MPB too few codes."});
    {
        TiffBuilder b;
        b.Image(1, samples, 8);
        b.Short(tb::kRowsPerStrip, 1);
        b.At(tb::kOffsets, tb::kLong, samples, 8);
        b.At(tb::kCounts, tb::kLong, samples, 8);
        cases.push_back({"a strip per row", b.Build(), "unexpected end of file."});
    }
    cases.push_back(
        {"rows beyond the limit", ShortPackBits(samples, 3), "no allocatable memory for cell."});
    for (const auto& c : HostileCases()) cases.push_back(c);
    TempDir dir;
    const std::string path = dir.file("hostile.tif");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::WriteBytes(path, c.file);
        const testsupport::ChildOutcome r = ReadLimited(path, kSlack);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, Fatal(c.message));
    }
    munmap(reserve, kReserve);
}

TEST(ReadImageFile, RealImageReadsUnderTheSameKindOfLimit)
{
    if (!kAddressLimitWorks) GTEST_SKIP() << "address-space limits do not work with ASan";
    // 1500 x 1500 at 16 bits: 4.5 MB of samples, read within 16 MiB.
    TempDir dir;
    const std::string path = dir.file("real.tif");
    TiffBuilder b;
    b.Image(1500, 1500, 16, tb::kPackBits);
    Bytes strip;
    for (int i = 0; i < 1500 * 1500 * 2 / 128; ++i) strip.insert(strip.end(), {129, 5});
    strip.insert(strip.end(), {257 - 1500 * 1500 * 2 % 128, 5});
    b.Strips({strip});
    testsupport::WriteBytes(path, b.Build());
    const testsupport::ChildOutcome r = ReadLimited(path, std::size_t{16} << 20);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

// A row wider than the reader allocates at once is grown as its samples
// arrive, and comes out whole.
TEST(ReadImageFile, VeryWideRowGrowsCorrectly)
{
    constexpr std::uint32_t kWidth = 1200005;
    TiffBuilder b;
    b.Image(kWidth, 2, 8, tb::kPackBits);
    b.Short(tb::kRowsPerStrip, 1);
    Bytes strip;
    for (std::uint32_t i = 0; i < kWidth / 128; ++i)
        strip.insert(strip.end(), {129, static_cast<std::uint8_t>(i % 251)});
    const std::uint32_t rest = kWidth % 128;
    strip.insert(strip.end(), {static_cast<std::uint8_t>(257 - rest), 7});
    b.Strips({strip, strip});
    const ReadResult r = ReadFile(b.Build());
    ASSERT_EQ(r.err, "");
    ASSERT_EQ(r.rows.size(), 2u);
    for (const auto& row : r.rows) {
        ASSERT_EQ(row.size(), kWidth);
        for (std::uint32_t x = 0; x < kWidth; ++x)
            ASSERT_EQ(row[x], x / 128 < kWidth / 128 ? (x / 128) % 251 : 7) << x;
    }
}

// A strip near the top of the 32-bit offset range, in a sparse file.
TEST(ReadImageFile, OffsetsAboveTwoGibibytes)
{
    TempDir dir;
    const std::string path = dir.file("sparse.tif");
    constexpr std::uint32_t kFar = 0xFFFFFF00u;
    TiffBuilder b(true);
    b.Image(3, 1, 8);
    b.Long(tb::kOffsets, kFar);
    b.Long(tb::kCounts, 3);
    b.Ascii(tb::kDescription, "far");
    testsupport::WriteBytes(path, b.Build());
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const unsigned char strip[3] = {11, 22, 33};
    const bool written = pwrite(fd, strip, 3, kFar) == 3;
    close(fd);
    if (!written) GTEST_SKIP() << "no sparse file of 4 GiB here";
    const ReadResult r = rifharness::ReadPath(path);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.rows, (std::vector<std::vector<std::uint16_t>>{{11, 22, 33}}));

    // The same strip one byte further runs past the end.
    TiffBuilder c(true);
    c.Image(3, 1, 8);
    c.Long(tb::kOffsets, kFar + 1);
    c.Long(tb::kCounts, 3);
    c.Ascii(tb::kDescription, "far");
    const Bytes head = c.Build();
    const int fd2 = open(path.c_str(), O_WRONLY);
    ASSERT_EQ(pwrite(fd2, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    close(fd2);
    EXPECT_EQ(rifharness::ReadPath(path).err, Fatal("unexpected end of file."));
}

}  // namespace
