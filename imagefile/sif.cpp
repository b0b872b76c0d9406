// TIFF writer: the file in the order of its parts, and its directory.
// Where each part goes is sif_layout's, the strips are encoded by
// sif_stream.cpp and the file is put in place by sif_storage.cpp.
//
// The file has a fixed shape: an 8-byte header whose directory offset is
// patched last, the description (when it does not fit into its directory
// entry), the LZW strips of at most 8192 uncompressed bytes each, the two
// strip tables (only with several strips), and one directory of 10 or 11
// entries at the end.  Every part starts at an even offset.
#include "sif.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.hpp"
#include "sif_layout.hpp"
#include "sif_storage.hpp"
#include "sif_stream.hpp"
#include "size.hpp"
#include "tiff_format.hpp"

namespace {

using namespace tiff;
using namespace sif;

constexpr std::uint32_t kShortMax = 65535;
constexpr long kIfdOffsetAt = 4;  // where the header holds the directory's offset

// Writes one directory entry; a SHORT value fills the first two bytes of
// the value field.
void PutEntry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value)
{
    Put2(tag);
    Put2(type);
    Put4(count);
    if (type == kTypeShort) {
        Put2(value);
        Put2(0);
    } else {
        Put4(value);
    }
}

}  // namespace

void StoreImageFile(const char* path, std::int32_t width, std::int32_t height,
                    std::int32_t bitsPerSample, const std::uint16_t* const* rows,
                    const char* description, Photometric photometric)
{
    const std::uint64_t descLength = description == nullptr ? 0 : std::strlen(description) + 1;
    const FileLayout layout = PlanFile(width, height, bitsPerSample, descLength);
    const std::uint32_t rowsPerStrip = layout.rowsPerStrip;
    const std::uint32_t strips = layout.strips;
    const std::uint64_t dataStart = layout.dataStart;

    std::size_t countsSize = 0;
    std::uint32_t* counts = nullptr;
    if (CheckedMul(strips == 0 ? 1 : strips, sizeof(std::uint32_t), &countsSize))
        counts = static_cast<std::uint32_t*>(std::malloc(countsSize));
    if (counts == nullptr) {
        std::fprintf(stderr, "%s : no allocatable memory.\n", path);
        ExitFailure();
    }
    if (!OpenOutput(path)) NotStored();
    StartOutput();

    PutByte('I');
    PutByte('I');
    Put2(kMagic);
    Put4(0);
    if (descLength > kInlineBytes) {
        for (std::uint64_t i = 0; i < descLength; ++i)
            PutByte(static_cast<unsigned char>(description[i]));
        if (descLength & 1) PutByte(0);
    }

    // Offsets are 32-bit: a file that grows past 4 GiB cannot be stored, and
    // is refused as soon as a strip crosses the limit rather than written
    // with wrapped offsets.
    if (!FitsOffsets(dataStart)) NotStored();
    std::uint64_t position = dataStart;
    for (std::int32_t r = 0; r < height; ++r) {
        const auto ur = static_cast<std::uint32_t>(r);
        if (ur % rowsPerStrip == 0) InitLZWEncode(r == 0);
        EncodeRow(rows[r], width, bitsPerSample);
        if (r + 1 == height || (ur + 1) % rowsPerStrip == 0) {
            const std::int64_t count = TermLZWEncode();
            if (count & 1) PutByte(0);
            position = NextPart(position, static_cast<std::uint64_t>(count));
            if (!FitsOffsets(position)) NotStored();
            counts[ur / rowsPerStrip] = static_cast<std::uint32_t>(count);
        }
    }
    if (!FitsOffsets(FileEnd(layout, position))) NotStored();

    // From here on every offset fits in 32 bits.
    const auto stripsAt = static_cast<std::uint32_t>(dataStart);
    const auto tablesAt = static_cast<std::uint32_t>(position);  // just behind the last strip
    std::uint32_t ifd = tablesAt;
    if (strips > 1) {
        std::uint32_t offset = stripsAt;
        for (std::uint32_t i = 0; i < strips; ++i) {
            Put4(offset);
            offset = static_cast<std::uint32_t>(NextPart(offset, counts[i]));
        }
        for (std::uint32_t i = 0; i < strips; ++i) Put4(counts[i]);
        ifd += 2 * kInlineBytes * strips;  // the two tables of one LONG a strip
    }

    const auto uwidth = static_cast<std::uint32_t>(width);
    const auto uheight = static_cast<std::uint32_t>(height);
    Put2(layout.entries);
    PutEntry(kTagImageWidth, uwidth <= kShortMax ? kTypeShort : kTypeLong, 1, uwidth);
    PutEntry(kTagImageLength, uheight <= kShortMax ? kTypeShort : kTypeLong, 1, uheight);
    PutEntry(kTagBitsPerSample, kTypeShort, 1, static_cast<std::uint32_t>(bitsPerSample));
    PutEntry(kTagCompression, kTypeShort, 1, kCompressionLZW);
    PutEntry(kTagPhotometric, kTypeShort, 1, static_cast<std::uint32_t>(photometric));
    if (descLength > 0) {
        Put2(kTagImageDescription);
        Put2(kTypeAscii);
        Put4(static_cast<std::uint32_t>(descLength));
        if (descLength > kInlineBytes) {
            Put4(kHeaderSize);
        } else {
            for (std::uint32_t i = 0; i < kInlineBytes; ++i)
                PutByte(i < descLength ? static_cast<unsigned char>(description[i]) : 0);
        }
    }
    PutEntry(kTagStripOffsets, kTypeLong, strips, strips == 1 ? stripsAt : tablesAt);
    PutEntry(kTagSamplesPerPixel, kTypeShort, 1, kOneSample);
    PutEntry(kTagRowsPerStrip, kTypeLong, 1, rowsPerStrip);
    PutEntry(kTagStripByteCounts, kTypeLong, strips,
             strips == 1 ? counts[0] : tablesAt + kInlineBytes * strips);
    PutEntry(kTagPlanarConfig, kTypeShort, 1, kChunky);
    Put4(0);
    Flush();

    unsigned char patch[4] = {
        static_cast<unsigned char>(ifd & 0xFF), static_cast<unsigned char>((ifd >> 8) & 0xFF),
        static_cast<unsigned char>((ifd >> 16) & 0xFF), static_cast<unsigned char>(ifd >> 24)};
    if (!PatchOutput(kIfdOffsetAt, patch, sizeof patch)) NotStored();
    if (!CloseOutput()) NotStored();
    std::free(counts);
}

void StoreImageFile(const char* path, std::int32_t width, std::int32_t height,
                    std::int32_t bitsPerSample, const std::uint16_t* const* rows,
                    const char* description)
{
    StoreImageFile(path, width, height, bitsPerSample, rows, description,
                   DefaultPhotometric(bitsPerSample));
}

bool StoreBytes(std::int32_t height, std::size_t* bytes)
{
    return CheckedMul(static_cast<std::size_t>(height), sizeof(std::uint32_t), bytes);
}

Photometric DefaultPhotometric(std::int32_t bitsPerSample)
{
    return bitsPerSample == 1 ? Photometric::kWhiteIsZero : Photometric::kBlackIsZero;
}

Photometric KeptPhotometric(std::int32_t read, std::int32_t bitsPerSample)
{
    if (read == static_cast<std::int32_t>(Photometric::kWhiteIsZero))
        return Photometric::kWhiteIsZero;
    if (read == static_cast<std::int32_t>(Photometric::kBlackIsZero))
        return Photometric::kBlackIsZero;
    return DefaultPhotometric(bitsPerSample);
}
