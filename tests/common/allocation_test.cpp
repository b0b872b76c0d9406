// The programs' allocation step: a run that needs more memory than the
// process can get ends with the program's allocation message before it
// allocates (and writes nothing), whether the machine or an address-space
// limit is what it exceeds; ordinary sizes under the same limit still run.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "child.hpp"
#include "sif.hpp"
#include "support.hpp"

namespace {

using testsupport::ChildOutcome;
using testsupport::Program;
using testsupport::TempDir;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressLimitWorks = false;  // the sanitizer reserves terabytes of shadow
#else
constexpr bool kAddressLimitWorks = true;
#endif

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
const char kMemory[] = "memory allocation error.\n";

// Runs a built program in `cwd` in a child whose address space is limited
// to `limit` bytes (0: no limit), standard error captured.
ChildOutcome RunWithLimit(const std::string& name, const std::vector<std::string>& args,
                          const std::string& cwd, std::uint64_t limit)
{
    return testsupport::RunInChild(Program(name), args, cwd, [limit] {
        if (limit != 0) testsupport::LimitResource(RLIMIT_AS, limit);
    });
}

// Physical memory plus swap as sysinfo reports it.
std::uint64_t MachineBytes()
{
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return 0;
    return (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * info.mem_unit;
}

std::vector<std::string> Entries(const TempDir& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path()))
        if (e.is_regular_file()) names.push_back(e.path().filename().string());
    return names;
}

// An 8-bit image of one level, every row the same block.
void WriteFlatImage(const std::string& path, std::int32_t width, std::int32_t height)
{
    std::vector<std::uint16_t> row(static_cast<std::size_t>(width), 40);
    std::vector<std::uint16_t*> rows(static_cast<std::size_t>(height), row.data());
    StoreImageFile(path.c_str(), width, height, 8, rows.data(), nullptr);
}

// 100000 x 100000 samples: two images of 20 GB each.  Beyond this machine
// (checked independently), so the run must end at the allocation step.
TEST(BeyondTheMachine, PhantomsEndWithTheMessage)
{
    const std::uint64_t need = 2 * std::uint64_t{100000} * 100000 * 2;
    if (MachineBytes() >= need) GTEST_SKIP() << "this machine holds " << need << " bytes";
    const struct {
        const char* program;
        std::vector<std::string> args;
    } cases[] = {
        {"diskblur", {"100000", "100000", "50000", "50000", "100", "1000", "2", "a.tif", "b.tif"}},
        {"ballblur", {"100000", "100000", "3", "9", "9", "1", "0", "9", "1", "S", "G"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        TempDir dir;
        std::filesystem::create_directory(dir.path() / "S");
        std::filesystem::create_directory(dir.path() / "G");
        const ChildOutcome o = RunWithLimit(c.program, c.args, dir.path().string(), 0);
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, kMemory);
        EXPECT_TRUE(Entries(dir).empty());
    }
}

struct LimitCase {
    const char* name;
    const char* program;
    std::vector<std::string> args;
    bool fits;
};

void PrintTo(const LimitCase& c, std::ostream* os)
{
    *os << c.name;
}

// Under a 256 MiB address-space limit, sizes that this machine holds but the
// limit does not: the message, nothing written; smaller ones run.
class UnderAddressLimit : public testing::TestWithParam<LimitCase> {};

TEST_P(UnderAddressLimit, MessageOrRun)
{
    if (!kAddressLimitWorks) GTEST_SKIP() << "address-space limits do not work with ASan";
    const std::uint64_t limit = 256 * kMiB;
    if (MachineBytes() < 4 * limit) GTEST_SKIP() << "too little memory here for the sizes";
    const LimitCase& c = GetParam();
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "S");
    std::filesystem::create_directory(dir.path() / "G");
    // Filter inputs: 6000 x 6000 (a half spectrum of 6000 x 4101 complex
    // values, 394 MB, and a working copy of 288 MB); 500 x 500 fits.
    const std::string input = c.args[0];
    if (input.rfind("in", 0) == 0) {
        const std::int32_t side = std::atoi(input.c_str() + 2);
        WriteFlatImage(dir.file(input), side, side);
    }
    const ChildOutcome o = RunWithLimit(c.program, c.args, dir.path().string(), limit);
    if (c.fits) {
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.err, "");
        EXPECT_TRUE(std::filesystem::exists(dir.path() / "out.tif") ||
                    std::filesystem::exists(dir.path() / "S" / "0.tif"));
    } else {
        EXPECT_EQ(o.status, 1);
        EXPECT_EQ(o.err, kMemory);
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "out.tif"));
        EXPECT_FALSE(std::filesystem::exists(dir.path() / "S" / "0.tif"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Programs, UnderAddressLimit,
    testing::Values(
        // two images of 200 MB
        LimitCase{"diskblur_too_large",
                  "diskblur",
                  {"10000", "10000", "50", "50", "10", "100", "2", "out.tif", "-"},
                  false},
        LimitCase{"diskblur_fits",
                  "diskblur",
                  {"2000", "2000", "50", "50", "10", "100", "2", "out.tif", "-"},
                  true},
        // two slices of 200 MB
        LimitCase{"ballblur_too_large",
                  "ballblur",
                  {"10000", "10000", "1", "9", "9", "0", "0", "9", "1", "S", "-"},
                  false},
        LimitCase{"ballblur_fits",
                  "ballblur",
                  {"2000", "2000", "1", "9", "9", "0", "0", "9", "1", "S", "-"},
                  true},
        LimitCase{"specblur_too_large", "specblur", {"in6000.tif", "3", "out.tif"}, false},
        LimitCase{"specblur_fits", "specblur", {"in500.tif", "3", "out.tif"}, true},
        LimitCase{"convblur_too_large", "convblur", {"in6000.tif", "1", "out.tif"}, false},
        LimitCase{"convblur_fits", "convblur", {"in500.tif", "1", "out.tif"}, true}),
    [](const testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

}  // namespace
