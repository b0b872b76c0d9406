// Where the writer puts each part of its file (see sif_layout.hpp).
#include "sif_layout.hpp"

#include "tiff_format.hpp"

namespace sif {
namespace {

using namespace tiff;

constexpr std::uint32_t kStripBytes = 8192;  // uncompressed bytes per strip at most
constexpr std::uint32_t kEntriesWithoutDescription = 10;
constexpr std::uint32_t kEntriesWithDescription = 11;

}  // namespace

FileLayout PlanFile(std::int32_t width, std::int32_t height, std::int32_t bits,
                    std::uint64_t descLength)
{
    FileLayout layout;
    // Computed wide; equal to the 32-bit rule for every image that fits memory.
    const std::uint64_t bytesPerRow =
        (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bits) + 7) / 8;
    layout.rowsPerStrip =
        bytesPerRow == 0
            ? kStripBytes
            : (bytesPerRow <= kStripBytes ? kStripBytes / static_cast<std::uint32_t>(bytesPerRow)
                                          : 1);
    layout.strips = height <= 0 ? 0
                                : static_cast<std::uint32_t>((static_cast<std::uint64_t>(height) +
                                                              layout.rowsPerStrip - 1) /
                                                             layout.rowsPerStrip);
    layout.entries = descLength > 0 ? kEntriesWithDescription : kEntriesWithoutDescription;
    layout.dataStart = descLength <= kInlineBytes
                           ? kHeaderSize
                           : kHeaderSize + ((descLength + 1) & ~std::uint64_t{1});
    return layout;
}

std::uint64_t NextPart(std::uint64_t position, std::uint64_t count)
{
    return position + count + (count & 1);
}

std::uint64_t FileEnd(const FileLayout& layout, std::uint64_t tablesAt)
{
    const std::uint64_t tables =
        layout.strips > 1 ? std::uint64_t{2} * kInlineBytes * layout.strips : 0;
    return tablesAt + tables + kCountSize + std::uint64_t{kEntrySize} * layout.entries +
           kNextIfdSize;
}

}  // namespace sif
