#include "aligned.hpp"

#include <cstdint>
#include <cstdlib>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {
constexpr std::size_t kLine = 64;
// A fresh block costs one page fault per page touched, and a column walk
// through a large block one TLB entry per page: with 2 MiB pages both are
// few.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

void* AllocateAligned(std::size_t bytes)
{
    const std::size_t alignment = bytes >= kHugePage ? kHugePage : kLine;
    if (bytes > SIZE_MAX - (alignment - 1)) return nullptr;
    std::size_t rounded = bytes + (alignment - 1);
    rounded -= rounded % alignment;
    if (rounded == 0) rounded = alignment;
    void* block = std::aligned_alloc(alignment, rounded);
#ifdef MADV_HUGEPAGE
    if (block != nullptr && alignment == kHugePage) madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return block;
}
