// Where the writer puts each part of its file (sif_layout.cpp).  Internal
// to the image-file library; pure functions, so the layout of a file too large to write can be
// checked without writing it.
#pragma once

#include <cstdint>

namespace sif {

// Offsets are 32-bit: no part of a file may end beyond 4 GiB.
constexpr std::uint64_t kFileLimit = std::uint64_t{1} << 32;

struct FileLayout {
    std::uint32_t rowsPerStrip = 0;  // RowsPerStrip: at most 8192 uncompressed bytes a strip
    std::uint32_t strips = 0;        // number of strips, 0 for no rows
    std::uint32_t entries = 0;       // directory entries: 10, or 11 with a description
    std::uint64_t dataStart = 0;     // offset of the first strip, behind header and description
};

// The layout of an image of `height` rows of `width` samples of `bits` bits
// with a description of `descLength` bytes (its terminating zero included;
// 0 for none).
FileLayout PlanFile(std::int32_t width, std::int32_t height, std::int32_t bits,
                    std::uint64_t descLength);

// Where the part behind a strip of `count` bytes starting at `position`
// begins: every part starts at an even offset.
std::uint64_t NextPart(std::uint64_t position, std::uint64_t count);

// The end of the file when the strip tables start at `tablesAt`: the tables
// (only with several strips), then the directory.
std::uint64_t FileEnd(const FileLayout& layout, std::uint64_t tablesAt);

// True when a part ending at `end` can still be addressed.
constexpr bool FitsOffsets(std::uint64_t end)
{
    return end <= kFileLimit;
}

}  // namespace sif
