// The parsing behind AllocatableBytes, on literal texts, and the result
// itself against the limits as the kernel reports them through other calls.
#include "memlimit.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kKiB = 1024;

TEST(MeminfoBytes, AddsMemoryAndSwap)
{
    const struct {
        const char* name;
        const char* text;
        std::optional<std::uint64_t> bytes;
    } cases[] = {
        {"memory and swap",
         "MemTotal:       24683772 kB\nMemFree:        22000000 kB\n"
         "SwapCached:            0 kB\nSwapTotal:       2097148 kB\nSwapFree: 2097148 kB\n",
         (24683772ull + 2097148ull) * kKiB},
        {"no swap line", "MemTotal: 1000 kB\nMemFree: 10 kB\n", 1000 * kKiB},
        {"swap zero", "SwapTotal: 0 kB\nMemTotal: 8 kB", 8 * kKiB},
        {"no memory line", "MemFree: 10 kB\nSwapTotal: 5 kB\n", std::nullopt},
        {"garbled number", "MemTotal: 12x kB\n", std::nullopt},
        {"empty", "", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(MeminfoBytes(c.text), c.bytes) << c.name;
}

TEST(CgroupLimitBytes, NumberOrNone)
{
    const struct {
        const char* text;
        std::optional<std::uint64_t> bytes;
    } cases[] = {
        {"max\n", std::nullopt},
        {"536870912\n", 536870912ull},
        {"9223372036854771712\n", 9223372036854771712ull},  // v1 without a limit
        {"  42 ", 42ull},
        {"", std::nullopt},
        {"-1\n", std::nullopt},
        {"12 34\n", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(CgroupLimitBytes(c.text), c.bytes) << c.text;
}

TEST(ParseProcCgroup, UnifiedAndMemoryPaths)
{
    const CgroupPaths v1 =
        ParseProcCgroup("9:name=systemd:/\n8:pids:/\n4:memory:/jobs/a1\n3:cpu,cpuacct:/x\n0::/\n");
    EXPECT_EQ(v1.memory, "/jobs/a1");
    EXPECT_EQ(v1.unified, "/");

    const CgroupPaths v2 = ParseProcCgroup("0::/user.slice/user-1000.slice/session-2.scope\n");
    EXPECT_EQ(v2.unified, "/user.slice/user-1000.slice/session-2.scope");
    EXPECT_EQ(v2.memory, std::nullopt);

    // memory as one of several controllers; a path holding a colon.
    const CgroupPaths mixed = ParseProcCgroup("5:cpu,memory,blkio:/a:b\n");
    EXPECT_EQ(mixed.memory, "/a:b");
    EXPECT_EQ(mixed.unified, std::nullopt);

    // "memory" must be a whole controller name.
    EXPECT_EQ(ParseProcCgroup("5:memoryx:/a\n").memory, std::nullopt);
    EXPECT_EQ(ParseProcCgroup("").unified, std::nullopt);
}

TEST(ParseMountinfo, CgroupMountsOnly)
{
    const std::vector<CgroupMount> mounts = ParseMountinfo(
        "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
        "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
        "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
        "35 31 0:32 /jobs /sys/fs/cgroup/memory rw,relatime shared:9 - cgroup cgroup "
        "rw,memory\n"
        "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n"
        "bad line\n");
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].root, "/jobs");
    EXPECT_EQ(mounts[0].point, "/sys/fs/cgroup/memory");
    EXPECT_FALSE(mounts[0].unified);
    EXPECT_EQ(mounts[1].root, "/");
    EXPECT_EQ(mounts[1].point, "/sys/fs/cgroup/unified");
    EXPECT_TRUE(mounts[1].unified);
}

TEST(CgroupDirectories, OwnDirectoryFirstThenEachParent)
{
    const struct {
        const char* name;
        CgroupMount mount;
        std::string path;
        std::vector<std::string> dirs;
    } cases[] = {
        {"whole hierarchy",
         {"/", "/sys/fs/cgroup", true},
         "/a/b",
         {"/sys/fs/cgroup/a/b", "/sys/fs/cgroup/a", "/sys/fs/cgroup"}},
        {"root cgroup", {"/", "/sys/fs/cgroup", true}, "/", {"/sys/fs/cgroup"}},
        {"trailing slash", {"/", "/cg", true}, "/a/", {"/cg/a", "/cg"}},
        {"mounted below the root",
         {"/jobs", "/sys/fs/cgroup/memory", false},
         "/jobs/a1",
         {"/sys/fs/cgroup/memory/a1", "/sys/fs/cgroup/memory"}},
        {"exactly the mounted root", {"/jobs", "/m", false}, "/jobs", {"/m"}},
        {"outside the mounted part", {"/jobs", "/m", false}, "/other/a", {"/m"}},
        {"a prefix that is not a parent", {"/jobs", "/m", false}, "/jobsx/a", {"/m"}},
    };
    for (const auto& c : cases) EXPECT_EQ(CgroupDirectories(c.mount, c.path), c.dirs) << c.name;
}

// What the kernel reports through sysinfo and getrlimit bounds the helper
// from above.
TEST(AllocatableBytes, NoMoreThanMachineAndLimits)
{
    struct sysinfo info {};
    ASSERT_EQ(sysinfo(&info), 0);
    const std::uint64_t machine =
        (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * info.mem_unit;
    const std::uint64_t got = AllocatableBytes();
    EXPECT_GT(got, 0u);
    EXPECT_LE(got, machine);
    for (const int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit limit{};
        ASSERT_EQ(getrlimit(resource, &limit), 0);
        if (limit.rlim_cur != RLIM_INFINITY) {
            EXPECT_LE(got, limit.rlim_cur);
        }
    }
    EXPECT_TRUE(FitsAllocatable(got));
    EXPECT_FALSE(FitsAllocatable(got + 1));
    EXPECT_TRUE(FitsAllocatable(0));
}

}  // namespace
