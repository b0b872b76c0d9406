// How much memory this process can hold at once, so that a run that needs
// more ends with its own message before it allocates, instead of being
// killed by the kernel once overcommitted pages are touched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The least of physical memory plus swap, the memory limit of the process's
// cgroup (and of every cgroup above it) and the soft limits RLIMIT_AS and
// RLIMIT_DATA, in bytes.  Worked out at the first call and kept.
std::uint64_t AllocatableBytes();

// True when a run that holds `bytes` at once stays within AllocatableBytes().
bool FitsAllocatable(std::uint64_t bytes);

// The pieces of AllocatableBytes(), each a pure function of the text of the
// file it reads, so that they can be checked on literal texts.

// MemTotal plus SwapTotal of /proc/meminfo, in bytes; empty without
// MemTotal.
std::optional<std::uint64_t> MeminfoBytes(std::string_view meminfo);

// A cgroup memory limit file (v2 memory.max, v1 memory.limit_in_bytes):
// the number it holds, or empty for "max" and for anything unreadable.
std::optional<std::uint64_t> CgroupLimitBytes(std::string_view limit);

// The process's cgroups as /proc/self/cgroup lists them: the path in the
// unified (v2) hierarchy and the path in the v1 hierarchy that has the
// memory controller, each empty when absent.
struct CgroupPaths {
    std::optional<std::string> unified;
    std::optional<std::string> memory;
};
CgroupPaths ParseProcCgroup(std::string_view text);

// A mounted cgroup hierarchy from /proc/self/mountinfo: the directory of
// the hierarchy that is mounted (root) and where (point).
struct CgroupMount {
    std::string root;
    std::string point;
    bool unified = false;  // cgroup2; otherwise a v1 memory hierarchy
};
std::vector<CgroupMount> ParseMountinfo(std::string_view text);

// The directories that hold the limits on cgroup `path` under `mount`: the
// cgroup's own directory and each one above it up to the mount point, the
// cgroup's own first.  When the path lies outside the mounted part (a
// cgroup namespace shows the process's own cgroup as the root), the mount
// point alone.
std::vector<std::string> CgroupDirectories(const CgroupMount& mount, const std::string& path);
