// TIFF reader: the header, the first directory's fields in the order of
// checks, and the rows.
//
// The reader walks the first image file directory once per tag it needs
// (directories are small), then streams the strips through one of three
// decoders (rif_decode.hpp): none, LZW or PackBits.  The stored bytes come
// through rif_input.hpp.
//
// Memory follows the data actually read, never a size that a header merely
// declares: the row table, wide rows, the description and the strip tables
// grow as their contents arrive, so a small file that claims a huge image
// fails with its message after a few kilobytes.
#include "rif.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.hpp"
#include "memlimit.hpp"
#include "rif_decode.hpp"
#include "rif_input.hpp"
#include "size.hpp"
#include "tiff_format.hpp"

namespace rif {

namespace {

using namespace tiff;

// What the reader accepts beyond the format's numbers.
constexpr std::uint32_t kMaxBits = 16;
constexpr std::uint32_t kSizeLimit = 0x80000000u;  // sizes must stay below 2^31

// Working sizes.  None of them is observable.
constexpr std::size_t kSegSamples = 32768;           // samples unpacked at once (multiple of 8)
constexpr std::size_t kChunkSize = kSegSamples * 2;  // bytes of one segment below 16 bits
constexpr std::size_t kRowDirect = std::size_t{1}
                                   << 19;  // rows up to this many samples: one malloc
constexpr std::size_t kTableFirst = 4096;  // first size of the grown tables
constexpr std::size_t kTextFirst = std::size_t{1} << 16;  // first size of a long description

// ---------------------------------------------------------------- input

std::uint64_t Tell()
{
    return rd.inBase + rd.inPos;
}

unsigned GetChar()
{
    if (rd.inPos == rd.inLen && !Refill()) FileError("unexpected end of file.");
    return inBuf[rd.inPos++];
}

// How a directory look-up meets the end of the file: as the reader's error,
// or, for a field that came to the order of checks later than the others,
// as if the entry were absent (see ReadFields).
enum class AtEnd { kFails, kAbsent };

// A directory number of `size` bytes in the file's byte order.  False when
// the file ends first and `atEnd` lets it; *value is then unchanged.
bool GetNumber(unsigned size, AtEnd atEnd, std::uint32_t* value)
{
    std::uint32_t number = 0;
    for (unsigned i = 0; i < size; ++i) {
        if (rd.inPos == rd.inLen && !Refill()) {
            if (atEnd == AtEnd::kFails) FileError("unexpected end of file.");
            return false;
        }
        const std::uint32_t b = inBuf[rd.inPos++];
        number = rd.bigEndian ? (number << 8) | b : number | (b << (8 * i));
    }
    *value = number;
    return true;
}

std::uint32_t Get2()
{
    std::uint32_t value = 0;
    GetNumber(2, AtEnd::kFails, &value);
    return value;
}

std::uint32_t Get4()
{
    std::uint32_t value = 0;
    GetNumber(4, AtEnd::kFails, &value);
    return value;
}

// ------------------------------------------------------------ directory

// Scans the directory for the first entry with `tag`; on success the stream
// stands at the entry's type field.
bool FindTag(std::uint32_t ifd, std::uint32_t tag, AtEnd atEnd = AtEnd::kFails)
{
    Seek(ifd);
    std::uint32_t n = 0;
    if (!GetNumber(2, atEnd, &n)) return false;
    for (; n > 0; --n) {
        std::uint32_t found = 0;
        if (!GetNumber(2, atEnd, &found)) return false;
        if (found == tag) return true;
        Seek(Tell() + kEntryTail);
    }
    return false;
}

// Finds the first entry with `tag` and reads its type and count; the
// stream then stands at the entry's value field.
bool FindEntry(std::uint32_t ifd, std::uint32_t tag, std::uint32_t* type, std::uint32_t* count,
               AtEnd atEnd = AtEnd::kFails)
{
    return FindTag(ifd, tag, atEnd) && GetNumber(2, atEnd, type) && GetNumber(4, atEnd, count);
}

// The value of a SHORT or LONG entry of count 1, else `fallback`.
std::uint32_t GetIFD4(std::uint32_t ifd, std::uint32_t tag, std::uint32_t fallback)
{
    std::uint32_t type = 0;
    std::uint32_t count = 0;
    if (!FindEntry(ifd, tag, &type, &count) || count != 1) return fallback;
    if (type == kTypeShort) return Get2();
    if (type == kTypeLong) return Get4();
    return fallback;
}

// The value of a SHORT entry of count 1: the only form in which the
// single-valued fields other than the sizes and RowsPerStrip count.
bool GetShort(std::uint32_t ifd, std::uint32_t tag, std::uint32_t* value)
{
    std::uint32_t type = 0;
    std::uint32_t count = 0;
    if (!FindEntry(ifd, tag, &type, &count) || type != kTypeShort || count != 1) return false;
    *value = Get2();
    return true;
}

// The first value of a SHORT entry of any count (a field with one value
// per sample).  `atEnd` applies to the directory scan and the entry.
bool GetFirstShort(std::uint32_t ifd, std::uint32_t tag, std::uint32_t* value, AtEnd atEnd)
{
    std::uint32_t type = 0;
    std::uint32_t count = 0;
    if (!FindEntry(ifd, tag, &type, &count, atEnd) || type != kTypeShort || count == 0)
        return false;
    if (count > kInlineShorts) Seek(Get4());
    *value = Get2();
    return true;
}

// PhotometricInterpretation: WhiteIsZero, BlackIsZero, palette or
// transparency mask.  The samples are delivered as stored under each.
std::uint32_t GetPhotometric(std::uint32_t ifd)
{
    std::uint32_t value = 0;
    if (!GetShort(ifd, kTagPhotometric, &value) ||
        (value != kWhiteIsZero && value != kBlackIsZero && value != kPalette &&
         value != kTransparencyMask))
        FileError("bad photometric interpretation.");
    return value;
}

[[noreturn]] void StripError(const char* format, const char* name)
{
    char message[64];
    std::snprintf(message, sizeof message, format, name);
    FileError(message);
}

// Makes room for `need` elements in a block that grows as its contents
// arrive (the strip tables, the description, the row table and a wide row):
// the first size is `first`, each later one at least doubles, and none
// exceeds `total`.  False when the memory cannot be had; the block is then
// left as it was.
template <typename T>
bool Grow(T** block, std::size_t* capacity, std::size_t need, std::size_t first, std::size_t total)
{
    if (need <= *capacity) return true;
    const std::size_t size = std::min(total, std::max({need, first, 2 * *capacity}));
    auto* grown = static_cast<T*>(std::realloc(*block, size * sizeof(T)));
    if (grown == nullptr) return false;
    *block = grown;
    *capacity = size;
    return true;
}

// Reads a strip table of `count` values into *slot.  The table is grown as
// values are read, so a count the file cannot back ends at its end.
void GetStrip(std::uint32_t ifd, std::uint32_t tag, std::uint32_t count, const char* name,
              std::uint32_t** slot)
{
    std::size_t total = 0;
    std::size_t capacity = 0;
    if (!CheckedMul(count, sizeof(std::uint32_t), &total) ||
        !Grow(slot, &capacity, std::min<std::size_t>(count, kTableFirst), kTableFirst, count))
        StripError("no allocatable memory for strip %s.", name);
    if (!FindTag(ifd, tag)) StripError("missing strip %s.", name);
    const std::uint32_t type = Get2();
    if (type != kTypeShort && type != kTypeLong) StripError("missing strip %s.", name);
    if (Get4() != count) StripError("bad number of strip %s.", name);
    const bool isShort = type == kTypeShort;
    if (count > (isShort ? kInlineShorts : kInlineLongs)) Seek(Get4());
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!Grow(slot, &capacity, std::size_t{i} + 1, kTableFirst, count))
            StripError("no allocatable memory for strip %s.", name);
        (*slot)[i] = isShort ? Get2() : Get4();
    }
}

// Reads the description text of `count` bytes at the stream's position;
// a long one is grown as it arrives.
void ReadDescription(std::uint32_t count)
{
    std::size_t total = 0;
    std::size_t capacity = 0;
    if (!CheckedAdd(count, 1, &total) || !Grow(&rd.text, &capacity, 1, kTextFirst, total))
        FileError("no allocatable memory for image description.");
    std::size_t done = 0;
    while (done < count) {
        // Room for one more byte and the terminating zero.
        if (!Grow(&rd.text, &capacity, done + 2, kTextFirst, total))
            FileError("no allocatable memory for image description.");
        const std::size_t want = std::min<std::size_t>(count - done, capacity - 1 - done);
        const std::size_t got = ReadSome(reinterpret_cast<unsigned char*>(rd.text) + done, want);
        done += got;
        if (got < want) FileError("missing image description.");
    }
    rd.text[done] = '\0';
}

// ------------------------------------------------------------- samples

unsigned char chunk[kChunkSize];  // the stored bytes of a segment below 16 bits

void Unpack8(const unsigned char* src, std::uint16_t* dst, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = src[i];
}

// Two bytes per sample, decoded in place in the file's byte order: a byte
// swap when that order is not the host's.
void ToHostOrder(std::uint16_t* samples, std::size_t count)
{
    if (rd.bigEndian != (std::endian::native == std::endian::big))
        for (std::size_t i = 0; i < count; ++i) samples[i] = __builtin_bswap16(samples[i]);
}

// The samples of a bit string that starts at a byte boundary, most
// significant bit first, in either byte order.
void UnpackBits(const unsigned char* src, std::uint16_t* dst, std::size_t count, unsigned bits)
{
    const std::uint32_t mask = (1u << bits) - 1;
    std::uint32_t window = 0;
    unsigned have = 0;
    for (std::size_t i = 0; i < count; ++i) {
        while (have < bits) {
            window = (window << 8) | *src++;
            have += 8;
        }
        have -= bits;
        dst[i] = static_cast<std::uint16_t>((window >> have) & mask);
    }
}

// Makes room for row j in the row table, which grows with the rows read.
void GrowRowTable(std::uint32_t j, std::uint32_t height, std::size_t* capacity)
{
    if (!Grow(&rd.rowTable, capacity, std::size_t{j} + 1, kTableFirst, height))
        FileError("no allocatable memory for cell.");
}

// Reads row j of `width` samples.  A very wide row is grown as its samples
// arrive, so that a width the strip cannot back costs no memory.
void ReadRow(std::uint32_t j, std::uint32_t width, unsigned bits, const Decoder& decoder)
{
    std::uint16_t* row = nullptr;
    std::size_t capacity = 0;
    if (!Grow(&row, &capacity, std::min<std::size_t>(width, kRowDirect), kRowDirect, width))
        FileError("no allocatable memory for cell.");
    rd.rowTable[j] = row;
    rd.rowsMade = j + 1;
    for (std::size_t done = 0; done < width;) {
        const std::size_t count = std::min<std::size_t>(kSegSamples, width - done);
        if (!Grow(&row, &capacity, done + count, kRowDirect, width))
            FileError("no allocatable memory for cell.");
        rd.rowTable[j] = row;
        const std::size_t n = (count * bits + 7) / 8;
        if (bits == 16) {
            decoder.decode(reinterpret_cast<unsigned char*>(row + done), n);
            ToHostOrder(row + done, count);
        } else {
            decoder.decode(chunk, n);
            if (bits == 8)
                Unpack8(chunk, row + done, count);
            else
                UnpackBits(chunk, row + done, count, bits);
        }
        done += count;
    }
}

void Undifference(std::uint16_t* row, std::uint32_t width, std::uint32_t mask)
{
    for (std::uint32_t k = 1; k < width; ++k)
        row[k] = static_cast<std::uint16_t>((row[k - 1] + row[k]) & mask);
}

// What the caller asked for; each pointer may be null.
struct Request {
    std::int32_t* width;
    std::int32_t* height;
    std::int32_t* bitsPerSample;
    std::uint16_t*** rows;
    char** description;
    std::int32_t* photometric;
};

// The fields of the first directory that the request needs.
struct Fields {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits = 1;
    std::uint32_t photometric = 0;
    std::uint32_t rowsPerStrip = 0;
    bool predictor = false;
    const Decoder* decoder = nullptr;  // for the file's compression
};

// Opens the file and reads its header; returns the first directory's offset.
std::uint32_t ReadHeader(const char* path)
{
    rd = Reader{};
    rd.path = path;
    rd.file = std::fopen(path, "rb");
    if (rd.file == nullptr) FileError("file not found.");
    std::setvbuf(rd.file, nullptr, _IONBF, 0);  // our own buffer does the buffering

    const unsigned mark = GetChar();
    if (mark == kMarkLittle)
        rd.bigEndian = false;
    else if (mark == kMarkBig)
        rd.bigEndian = true;
    else
        FileError("bad magic number.");
    if (GetChar() != mark) FileError("bad magic number.");
    if (Get2() != kMagic) FileError("bad magic number.");
    const std::uint32_t ifd = Get4();
    if (ifd == 0) FileError("no image file directory.");
    return ifd;
}

// Reads and checks, in this order, the fields the request needs, and the
// description into rd.text.  With rows requested every field that decides
// how the strips are read is checked and the decoder chosen.
Fields ReadFields(std::uint32_t ifd, const Request& request)
{
    Fields fields;
    if (request.width != nullptr || request.height != nullptr || request.rows != nullptr) {
        fields.width = GetIFD4(ifd, kTagImageWidth, 0);
        if (fields.width == 0) FileError("missing image size.");
        fields.height = GetIFD4(ifd, kTagImageLength, 0);
        if (fields.height == 0) FileError("missing image size.");
        if (fields.width >= kSizeLimit || fields.height >= kSizeLimit)
            FileError("too large image size.");
    }

    if (request.bitsPerSample != nullptr || request.rows != nullptr) {
        if (GetShort(ifd, kTagBitsPerSample, &fields.bits) &&
            (fields.bits < 1 || fields.bits > kMaxBits))
            FileError("bad bits per sample.");
    }

    if (request.description != nullptr && FindTag(ifd, kTagImageDescription) &&
        Get2() == kTypeAscii) {
        const std::uint32_t count = Get4();
        if (count > kInlineBytes) Seek(Get4());
        ReadDescription(count);
    }

    if (request.rows == nullptr) {
        if (request.photometric != nullptr) fields.photometric = GetPhotometric(ifd);
        return fields;
    }

    std::uint32_t value = kCompressionNone;
    GetShort(ifd, kTagCompression, &value);
    fields.decoder = FindDecoder(value);
    if (fields.decoder == nullptr) FileError("unknown image compression method.");

    fields.photometric = GetPhotometric(ifd);

    value = kFillNormal;
    GetShort(ifd, kTagFillOrder, &value);
    if (value != kFillNormal && value != kFillReversed) FileError("unknown fill order.");
    rd.reversed = value == kFillReversed;

    if (GetShort(ifd, kTagSamplesPerPixel, &value) && value != kOneSample)
        FileError("bad samples per pixel.");

    // Signed and floating-point samples would be taken as unsigned integers.
    // SampleFormat joined these checks after the others: where the directory
    // runs past the end of the file before its entry (an entry count that
    // is too large) the field counts as absent, so that its look-up never
    // turns a file that the other checks read or refuse into "unexpected end
    // of file.".  The other look-ups, and its value, fail there as before.
    if (GetFirstShort(ifd, kTagSampleFormat, &value, AtEnd::kAbsent) && value != kUnsignedInteger)
        FileError("bad sample format.");

    fields.rowsPerStrip = GetIFD4(ifd, kTagRowsPerStrip, fields.height);
    if (fields.rowsPerStrip > fields.height)
        fields.rowsPerStrip = fields.height;
    else if (fields.rowsPerStrip == 0)
        FileError("bad rows per strip.");

    if (GetShort(ifd, kTagPlanarConfig, &value) && value != kChunky)
        FileError("bad planar configuration.");

    value = kPredictorNone;
    GetShort(ifd, kTagPredictor, &value);
    if (value != kPredictorNone && value != kPredictorHorizontal)
        FileError("unknown differencing predictor.");
    fields.predictor = value == kPredictorHorizontal;
    return fields;
}

// Reads the strip tables and the rows into rd.rowTable.
void ReadStrips(std::uint32_t ifd, const Fields& fields)
{
    const std::uint32_t w = fields.width;
    const std::uint32_t h = fields.height;
    const std::uint32_t rps = fields.rowsPerStrip;

    // The row table and the rows are allocated as the rows are read; here
    // only sizes that cannot be represented at all, and rasters whose rows
    // alone would hold more than the process can get, are refused.
    std::size_t tableSize = 0;
    std::size_t rowSize = 0;
    std::size_t rasterSize = 0;
    if (!CheckedMul(h, sizeof(std::uint16_t*), &tableSize) ||
        !CheckedMul(w, sizeof(std::uint16_t), &rowSize) || !CheckedMul(rowSize, h, &rasterSize) ||
        !FitsAllocatable(rasterSize))
        FileError("no allocatable memory for cell.");

    const std::uint32_t strips = static_cast<std::uint32_t>((std::uint64_t{h} + rps - 1) / rps);
    GetStrip(ifd, kTagStripOffsets, strips, "offset", &rd.offsets);
    GetStrip(ifd, kTagStripByteCounts, strips, "bytes count", &rd.counts);

    const std::uint32_t mask = 0xFFFFu >> (kMaxBits - fields.bits);
    std::size_t capacity = 0;
    for (std::uint32_t j = 0; j < h; ++j) {
        if (j % rps == 0) fields.decoder->start(rd.offsets[j / rps], rd.counts[j / rps]);
        GrowRowTable(j, h, &capacity);
        ReadRow(j, w, fields.bits, *fields.decoder);
        if (j + 1 == h || (j + 1) % rps == 0) fields.decoder->end();
        if (fields.predictor && w != 1) Undifference(rd.rowTable[j], w, mask);
    }
}

// Hands everything requested to the caller, closes the file and leaves the
// reader owning nothing.  Returns the status of closing the file.
int HandOver(const Request& request, const Fields& fields)
{
    if (request.width != nullptr) *request.width = static_cast<std::int32_t>(fields.width);
    if (request.height != nullptr) *request.height = static_cast<std::int32_t>(fields.height);
    if (request.bitsPerSample != nullptr)
        *request.bitsPerSample = static_cast<std::int32_t>(fields.bits);
    if (request.photometric != nullptr)
        *request.photometric = static_cast<std::int32_t>(fields.photometric);
    if (request.description != nullptr) *request.description = rd.text;
    if (request.rows != nullptr) *request.rows = rd.rowTable;
    std::free(rd.offsets);
    std::free(rd.counts);
    const int status = std::fclose(rd.file);
    rd = Reader{};
    return status;
}

int ReadImage(const char* path, const Request& request)
{
    const std::uint32_t ifd = ReadHeader(path);
    const Fields fields = ReadFields(ifd, request);
    if (request.rows != nullptr) ReadStrips(ifd, fields);
    return HandOver(request, fields);
}

}  // namespace
}  // namespace rif

int ReadImageFile(const char* path, std::int32_t* width, std::int32_t* height,
                  std::int32_t* bitsPerSample, std::uint16_t*** rows, char** description,
                  std::int32_t* photometric)
{
    return rif::ReadImage(path, {width, height, bitsPerSample, rows, description, photometric});
}

bool RasterBytes(std::int32_t width, std::int32_t height, const char* description,
                 std::size_t* bytes)
{
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const std::size_t text = description == nullptr ? 0 : std::strlen(description) + 1;
    return CheckedSumOfProducts(
        {{w, h, sizeof(std::uint16_t)}, {h, sizeof(std::uint16_t*)}, {text}}, bytes);
}

void FreeImageFile(std::int32_t height, std::uint16_t** rows, char* description)
{
    if (rows != nullptr) {
        for (std::int32_t y = 0; y < height; ++y) std::free(rows[y]);
        std::free(rows);
    }
    std::free(description);
}
