// TIFF writer and LZW encoder.
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

namespace {

// TIFF numbers.
constexpr std::uint16_t kTiffMagic = 42;
constexpr std::uint16_t kTypeAscii = 2;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;
constexpr std::uint16_t kTagImageWidth = 256;
constexpr std::uint16_t kTagImageLength = 257;
constexpr std::uint16_t kTagBitsPerSample = 258;
constexpr std::uint16_t kTagCompression = 259;
constexpr std::uint16_t kTagPhotometric = 262;
constexpr std::uint16_t kTagImageDescription = 270;
constexpr std::uint16_t kTagStripOffsets = 273;
constexpr std::uint16_t kTagSamplesPerPixel = 277;
constexpr std::uint16_t kTagRowsPerStrip = 278;
constexpr std::uint16_t kTagStripByteCounts = 279;
constexpr std::uint16_t kTagPlanarConfig = 284;
constexpr std::uint16_t kCompressionLZW = 5;
constexpr std::uint16_t kWhiteIsZero = 0;
constexpr std::uint16_t kBlackIsZero = 1;
constexpr std::uint32_t kHeaderSize = 8;
constexpr std::uint32_t kStripBytes = 8192;  // uncompressed bytes per strip at most
constexpr std::uint32_t kShortMax = 65535;

// LZW numbers.
constexpr int kCodeClear = 256;
constexpr int kCodeEOI = 257;
constexpr int kCodeFirst = 258;   // first string code after a Clear
constexpr int kCodeLimit = 4094;  // codes 4094 and 4095 are never assigned
constexpr int kBitsMin = 9;
constexpr int kRoofMin = 512;     // next free code at which 9 bits become 10
constexpr int kNoPrefix = 4096;   // LZWhead before the first byte of a strip
constexpr int kTableSize = 9001;  // prime, so a fixed probe step reaches every slot
constexpr std::uint32_t kCodeMask = 0xFFF;

// Output stream and strip byte counter, shared by the writer and the encoder.
std::FILE* file = nullptr;
const char* filePath = nullptr;  // for the failure message
std::int32_t bytes = 0;          // bytes written since the current strip began

// Output buffer in front of `file`: the stream is written in large blocks
// instead of one call per byte.  Nothing observable depends on it.
constexpr std::size_t kOutSize = 1 << 16;
unsigned char outBuf[kOutSize];
std::size_t outLen = 0;

// LZW encoder state.
std::uint32_t LZWbuf = 0;          // bit buffer; codes enter at the low end
std::int32_t LZWnum = 0;           // pending low bits of LZWbuf, 0..7 between codes
std::int32_t LZWlen = 0;           // current code width, 9..12
std::int32_t LZWcode = 0;          // next free code, 258..4094
std::int32_t LZWroof = 0;          // LZWcode at which the width grows
std::int32_t LZWhead = 0;          // code of the current prefix; kNoPrefix for none
std::uint32_t LZWstr[kTableSize];  // prefix << 20 | byte << 12 | code; 0 = empty

[[noreturn]] void NotStored()
{
    std::fprintf(stderr, "%s : file not stored.\n", filePath);
    ExitFailure();
}

void Flush()
{
    if (outLen != 0 && std::fwrite(outBuf, 1, outLen, file) != outLen) NotStored();
    outLen = 0;
}

inline void PutByte(unsigned value)
{
    if (outLen == kOutSize) Flush();
    outBuf[outLen++] = static_cast<unsigned char>(value);
}

void Put2(std::uint32_t value)
{
    PutByte(value & 0xFF);
    PutByte((value >> 8) & 0xFF);
}

void Put4(std::uint32_t value)
{
    Put2(value & 0xFFFF);
    Put2(value >> 16);
}

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

inline void PutCode(std::uint32_t code, std::int32_t width)
{
    LZWbuf = (LZWbuf << width) | code;
    LZWnum += width;
    while (LZWnum > 7) {
        LZWnum -= 8;
        PutByte((LZWbuf >> LZWnum) & 0xFF);
        ++bytes;
    }
}

void ResetTable()
{
    LZWlen = kBitsMin;
    std::memset(LZWstr, 0, sizeof LZWstr);
    LZWcode = kCodeFirst;
    LZWroof = kRoofMin;
}

void InitLZWEncode()
{
    bytes = 0;
    LZWnum = 0;
    LZWlen = kBitsMin;
    PutCode(kCodeClear, LZWlen);
    ResetTable();
    LZWhead = kNoPrefix;
}

inline void Encode(unsigned c)
{
    if (LZWhead == kNoPrefix) {
        LZWhead = static_cast<std::int32_t>(c);
        return;
    }
    const std::uint32_t key = ((static_cast<std::uint32_t>(LZWhead) << 8) | c)
                              << 12;  // (head * 256 + c) * 4096
    std::uint32_t h = (c << 5) ^ static_cast<std::uint32_t>(LZWhead);
    const std::uint32_t step = h == 0 ? kTableSize - 1 : h;
    for (;;) {
        const std::uint32_t slot = LZWstr[h];
        if (slot == 0) break;
        if ((slot & ~kCodeMask) == key) {
            LZWhead = static_cast<std::int32_t>(slot & kCodeMask);
            return;
        }
        h += step;
        if (h >= kTableSize) h -= kTableSize;
    }
    PutCode(static_cast<std::uint32_t>(LZWhead), LZWlen);
    if (LZWcode == kCodeLimit) {
        PutCode(kCodeClear, LZWlen);
        ResetTable();
    } else {
        LZWstr[h] = key | static_cast<std::uint32_t>(LZWcode);
        if (++LZWcode == LZWroof) {
            LZWroof = 2 * LZWcode;
            ++LZWlen;
        }
    }
    LZWhead = static_cast<std::int32_t>(c);
}

std::int32_t TermLZWEncode()
{
    if (LZWhead != kNoPrefix) {
        PutCode(static_cast<std::uint32_t>(LZWhead), LZWlen);
        // The decoder assigns one more string after this code, so the EOI
        // takes the width it will expect.
        if (++LZWcode == LZWroof) ++LZWlen;
    }
    PutCode(kCodeEOI, LZWlen);
    if (LZWnum > 0) {
        PutByte((LZWbuf << (8 - LZWnum)) & 0xFF);
        ++bytes;
    }
    return bytes;
}

// Packs one row into bytes, most significant bit first for the fractional
// widths, and passes them to the encoder.  Samples are masked to their width
// so that a sample too large for the depth cannot spill into its neighbours.
void EncodeRow(const std::uint16_t* row, std::int32_t width, std::int32_t bits)
{
    if (bits == 8) {
        for (std::int32_t x = 0; x < width; ++x) Encode(row[x] & 0xFFu);
    } else if (bits == 16) {
        for (std::int32_t x = 0; x < width; ++x) {
            Encode(row[x] & 0xFFu);
            Encode(row[x] >> 8);
        }
    } else if (bits == 32) {
        for (std::int32_t x = 0; x < width; ++x) {
            Encode(row[x] & 0xFFu);
            Encode(row[x] >> 8);
            Encode(0);
            Encode(0);
        }
    } else {
        // At most 7 bits wait in the accumulator before a sample of up to 31
        // bits is added, so 64 bits always suffice.
        const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
        std::uint64_t acc = 0;
        int pending = 0;
        for (std::int32_t x = 0; x < width; ++x) {
            acc = (acc << bits) | (row[x] & mask);
            pending += bits;
            while (pending >= 8) {
                pending -= 8;
                Encode(static_cast<unsigned>(acc >> pending) & 0xFFu);
            }
        }
        if (pending > 0) Encode(static_cast<unsigned>(acc << (8 - pending)) & 0xFFu);
    }
}

}  // namespace

void StoreImageFile(const char* path, std::int32_t width, std::int32_t height,
                    std::int32_t bitsPerSample, const std::uint16_t* const* rows,
                    const char* description)
{
    const std::uint32_t descLength =
        description == nullptr ? 0 : static_cast<std::uint32_t>(std::strlen(description) + 1);
    // Computed wide; equal to the 32-bit rule for every image that fits memory.
    const std::uint64_t bytesPerRow =
        (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bitsPerSample) + 7) / 8;
    const std::uint32_t rowsPerStrip =
        bytesPerRow == 0
            ? kStripBytes
            : (bytesPerRow <= kStripBytes ? kStripBytes / static_cast<std::uint32_t>(bytesPerRow)
                                          : 1);
    const std::uint32_t strips =
        height <= 0 ? 0
                    : static_cast<std::uint32_t>(
                          (static_cast<std::uint64_t>(height) + rowsPerStrip - 1) / rowsPerStrip);
    const std::uint32_t dataStart =
        descLength <= 4 ? kHeaderSize : kHeaderSize + ((descLength + 1) & ~1u);

    auto* counts = static_cast<std::uint32_t*>(
        std::malloc(static_cast<std::size_t>(strips == 0 ? 1 : strips) * sizeof(std::uint32_t)));
    if (counts == nullptr) {
        std::fprintf(stderr, "%s : no allocatable memory.\n", path);
        ExitFailure();
    }
    filePath = path;
    file = std::fopen(path, "wb");
    if (file == nullptr) NotStored();
    outLen = 0;

    PutByte('I');
    PutByte('I');
    Put2(kTiffMagic);
    Put4(0);
    if (descLength > 4) {
        for (std::uint32_t i = 0; i < descLength; ++i)
            PutByte(static_cast<unsigned char>(description[i]));
        if (descLength & 1) PutByte(0);
    }

    for (std::int32_t r = 0; r < height; ++r) {
        const auto ur = static_cast<std::uint32_t>(r);
        if (ur % rowsPerStrip == 0) InitLZWEncode();
        EncodeRow(rows[r], width, bitsPerSample);
        if (r + 1 == height || (ur + 1) % rowsPerStrip == 0) {
            const std::int32_t count = TermLZWEncode();
            counts[ur / rowsPerStrip] = static_cast<std::uint32_t>(count);
            if (count & 1) PutByte(0);
        }
    }

    std::uint32_t ifd = 0;
    if (strips == 1) {
        ifd = dataStart + ((counts[0] + 1) & ~1u);
    } else {
        std::uint32_t offset = dataStart;
        for (std::uint32_t i = 0; i < strips; ++i) {
            Put4(offset);
            offset += (counts[i] + 1) & ~1u;
        }
        for (std::uint32_t i = 0; i < strips; ++i) Put4(counts[i]);
        ifd = offset + 8 * strips;  // offset is now A, just behind the last strip
    }
    const std::uint32_t tablesAt = ifd - 8 * strips;  // A, meaningful when strips > 1

    const auto uwidth = static_cast<std::uint32_t>(width);
    const auto uheight = static_cast<std::uint32_t>(height);
    Put2(descLength > 0 ? 11 : 10);
    PutEntry(kTagImageWidth, uwidth <= kShortMax ? kTypeShort : kTypeLong, 1, uwidth);
    PutEntry(kTagImageLength, uheight <= kShortMax ? kTypeShort : kTypeLong, 1, uheight);
    PutEntry(kTagBitsPerSample, kTypeShort, 1, static_cast<std::uint32_t>(bitsPerSample));
    PutEntry(kTagCompression, kTypeShort, 1, kCompressionLZW);
    PutEntry(kTagPhotometric, kTypeShort, 1, bitsPerSample == 1 ? kWhiteIsZero : kBlackIsZero);
    if (descLength > 0) {
        Put2(kTagImageDescription);
        Put2(kTypeAscii);
        Put4(descLength);
        if (descLength > 4) {
            Put4(kHeaderSize);
        } else {
            for (std::uint32_t i = 0; i < 4; ++i)
                PutByte(i < descLength ? static_cast<unsigned char>(description[i]) : 0);
        }
    }
    PutEntry(kTagStripOffsets, kTypeLong, strips, strips == 1 ? dataStart : tablesAt);
    PutEntry(kTagSamplesPerPixel, kTypeShort, 1, 1);
    PutEntry(kTagRowsPerStrip, kTypeLong, 1, rowsPerStrip);
    PutEntry(kTagStripByteCounts, kTypeLong, strips,
             strips == 1 ? counts[0] : tablesAt + 4 * strips);
    PutEntry(kTagPlanarConfig, kTypeShort, 1, 1);
    Put4(0);
    Flush();

    unsigned char patch[4] = {
        static_cast<unsigned char>(ifd & 0xFF), static_cast<unsigned char>((ifd >> 8) & 0xFF),
        static_cast<unsigned char>((ifd >> 16) & 0xFF), static_cast<unsigned char>(ifd >> 24)};
    if (std::fseek(file, 4, SEEK_SET) != 0 || std::fwrite(patch, 1, 4, file) != 4) NotStored();
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0) NotStored();
    std::free(counts);
}
