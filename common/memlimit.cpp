#include "memlimit.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <limits>

namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kKibibyte = 1024;

bool known = false;
std::uint64_t allocatable = kUnlimited;

// The whole of a small file, or empty when it cannot be read.
std::optional<std::string> ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string_view Trim(std::string_view s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

// The line of `text` after the first `from`, or empty; `from` moves on.
std::string_view NextLine(std::string_view text, std::size_t* from)
{
    const std::size_t end = std::min(text.find('\n', *from), text.size());
    const std::string_view line = text.substr(*from, end - *from);
    *from = end + 1;
    return line;
}

// The whitespace-separated fields of a line.
std::vector<std::string_view> Fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && line[at] == ' ') ++at;
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) fields.push_back(line.substr(at, end - at));
        at = end;
    }
    return fields;
}

std::optional<std::uint64_t> Number(std::string_view s)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc() || end != s.data() + s.size()) return std::nullopt;
    return value;
}

// Whether the comma-separated list holds `item`.
bool ListHolds(std::string_view list, std::string_view item)
{
    std::size_t at = 0;
    while (at <= list.size()) {
        const std::size_t end = std::min(list.find(',', at), list.size());
        if (list.substr(at, end - at) == item) return true;
        at = end + 1;
    }
    return false;
}

// The value in kB of a /proc/meminfo entry such as "MemTotal:", in bytes.
std::optional<std::uint64_t> MeminfoEntry(std::string_view text, std::string_view name)
{
    for (std::size_t from = 0; from < text.size();) {
        const std::vector<std::string_view> f = Fields(NextLine(text, &from));
        if (f.size() < 2 || f[0] != name) continue;
        const std::optional<std::uint64_t> kib = Number(f[1]);
        if (!kib || *kib > kUnlimited / kKibibyte) return std::nullopt;
        return *kib * kKibibyte;
    }
    return std::nullopt;
}

std::uint64_t MachineBytes()
{
    if (const auto text = ReadText("/proc/meminfo"))
        if (const auto bytes = MeminfoBytes(*text)) return *bytes;
            // Without /proc: the physical memory alone, where the C library can
            // tell it (_SC_PHYS_PAGES is not POSIX, but Linux, the BSDs and macOS
            // have it).
#ifdef _SC_PHYS_PAGES
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return kUnlimited;
    const auto p = static_cast<std::uint64_t>(pages);
    const auto s = static_cast<std::uint64_t>(pageSize);
    return p > kUnlimited / s ? kUnlimited : p * s;
#else
    return kUnlimited;
#endif
}

std::uint64_t CgroupBytes()
{
    const auto cgroup = ReadText("/proc/self/cgroup");
    const auto mountinfo = ReadText("/proc/self/mountinfo");
    if (!cgroup || !mountinfo) return kUnlimited;
    const CgroupPaths paths = ParseProcCgroup(*cgroup);
    std::uint64_t least = kUnlimited;
    for (const CgroupMount& mount : ParseMountinfo(*mountinfo)) {
        const std::optional<std::string>& path = mount.unified ? paths.unified : paths.memory;
        if (!path) continue;
        const char* file = mount.unified ? "/memory.max" : "/memory.limit_in_bytes";
        for (const std::string& dir : CgroupDirectories(mount, *path))
            if (const auto text = ReadText(dir + file))
                if (const auto bytes = CgroupLimitBytes(*text)) least = std::min(least, *bytes);
    }
    return least;
}

std::uint64_t ResourceBytes(int resource)
{
    rlimit limit{};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

std::optional<std::uint64_t> MeminfoBytes(std::string_view meminfo)
{
    const std::optional<std::uint64_t> memory = MeminfoEntry(meminfo, "MemTotal:");
    if (!memory) return std::nullopt;
    const std::uint64_t swap = MeminfoEntry(meminfo, "SwapTotal:").value_or(0);
    return swap > kUnlimited - *memory ? kUnlimited : *memory + swap;
}

std::optional<std::uint64_t> CgroupLimitBytes(std::string_view limit)
{
    return Number(Trim(limit));
}

CgroupPaths ParseProcCgroup(std::string_view text)
{
    CgroupPaths paths;
    for (std::size_t from = 0; from < text.size();) {
        // hierarchy-ID:controller-list:path; the path may itself hold colons.
        const std::string_view line = NextLine(text, &from);
        const std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        const std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string path(line.substr(second + 1));
        if (id == "0" && controllers.empty())
            paths.unified = path;
        else if (ListHolds(controllers, "memory"))
            paths.memory = path;
    }
    return paths;
}

std::vector<CgroupMount> ParseMountinfo(std::string_view text)
{
    // id parent major:minor root point options [optional...] - type source super
    constexpr std::size_t kRoot = 3;
    constexpr std::size_t kPoint = 4;
    std::vector<CgroupMount> mounts;
    for (std::size_t from = 0; from < text.size();) {
        const std::vector<std::string_view> f = Fields(NextLine(text, &from));
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() <= kPoint || dash == f.end() || f.end() - dash < 2) continue;
        const std::string_view type = dash[1];
        const std::string_view super = f.end() - dash >= 4 ? dash[3] : std::string_view();
        CgroupMount mount;
        mount.root = std::string(f[kRoot]);
        mount.point = std::string(f[kPoint]);
        if (type == "cgroup2") {
            mount.unified = true;
            mounts.push_back(mount);
        } else if (type == "cgroup" && ListHolds(super, "memory")) {
            mounts.push_back(mount);
        }
    }
    return mounts;
}

std::vector<std::string> CgroupDirectories(const CgroupMount& mount, const std::string& path)
{
    std::string relative;
    if (mount.root == "/") {
        relative = path;
    } else if (path == mount.root) {
        relative = "/";
    } else if (path.size() > mount.root.size() &&
               path.compare(0, mount.root.size(), mount.root) == 0 &&
               path[mount.root.size()] == '/') {
        relative = path.substr(mount.root.size());
    } else {
        return {mount.point};
    }
    std::vector<std::string> dirs;
    while (relative.size() > 1 && relative.back() == '/') relative.pop_back();
    for (;;) {
        dirs.push_back(relative == "/" || relative.empty() ? mount.point : mount.point + relative);
        const std::size_t slash = relative.rfind('/');
        if (relative.size() <= 1 || slash == std::string::npos) break;
        relative.resize(slash == 0 ? 1 : slash);
    }
    return dirs;
}

std::uint64_t AllocatableBytes()
{
    if (!known) {
        allocatable = std::min(
            {MachineBytes(), CgroupBytes(), ResourceBytes(RLIMIT_AS), ResourceBytes(RLIMIT_DATA)});
        known = true;
    }
    return allocatable;
}

bool FitsAllocatable(std::uint64_t bytes)
{
    return bytes <= AllocatableBytes();
}
