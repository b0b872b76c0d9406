// TIFF reader and strip decoders.
//
// The reader walks the first image file directory once per tag it needs
// (directories are small), then streams the strips through one of three
// decoders: none, LZW or PackBits.  The decoders fill a caller's byte buffer
// with as many uncompressed bytes as the current rows need, never more, so a
// fault in the data is reported at the same point, and with the same
// message, as if the bytes were taken one at a time.  Warnings come only
// from the end check of a strip, after its last row.
//
// Memory follows the data actually read, never a size that a header merely
// declares: the row table, wide rows, the description and the strip tables
// grow as their contents arrive, so a small file that claims a huge image
// fails with its message after a few kilobytes.
#include "rif.hpp"

#include <sys/types.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.hpp"
#include "memlimit.hpp"
#include "size.hpp"

namespace {

// TIFF numbers.
constexpr int kMarkLittle = 0x49;  // "II": least significant byte first
constexpr int kMarkBig = 0x4D;     // "MM": most significant byte first
constexpr std::uint32_t kTiffMagic = 42;
constexpr std::uint32_t kTypeAscii = 2;
constexpr std::uint32_t kTypeShort = 3;
constexpr std::uint32_t kTypeLong = 4;
constexpr std::uint32_t kEntryTail = 10;   // bytes of an entry behind its tag
constexpr std::uint32_t kInlineBytes = 4;  // size of an entry's value field
constexpr std::uint32_t kInlineShorts = 2;
constexpr std::uint32_t kInlineLongs = 1;
constexpr std::uint32_t kTagImageWidth = 256;
constexpr std::uint32_t kTagImageLength = 257;
constexpr std::uint32_t kTagBitsPerSample = 258;
constexpr std::uint32_t kTagCompression = 259;
constexpr std::uint32_t kTagPhotometric = 262;
constexpr std::uint32_t kTagFillOrder = 266;
constexpr std::uint32_t kTagImageDescription = 270;
constexpr std::uint32_t kTagStripOffsets = 273;
constexpr std::uint32_t kTagSamplesPerPixel = 277;
constexpr std::uint32_t kTagRowsPerStrip = 278;
constexpr std::uint32_t kTagStripByteCounts = 279;
constexpr std::uint32_t kTagPlanarConfig = 284;
constexpr std::uint32_t kTagPredictor = 317;
constexpr std::uint32_t kTagSampleFormat = 339;
constexpr std::uint32_t kCompressionNone = 1;
constexpr std::uint32_t kCompressionLZW = 5;
constexpr std::uint32_t kCompressionPackBits = 32773;
constexpr std::uint32_t kWhiteIsZero = 0;
constexpr std::uint32_t kBlackIsZero = 1;
constexpr std::uint32_t kPalette = 3;
constexpr std::uint32_t kTransparencyMask = 4;
constexpr std::uint32_t kFillNormal = 1;
constexpr std::uint32_t kFillReversed = 2;
constexpr std::uint32_t kPredictorNone = 1;
constexpr std::uint32_t kPredictorHorizontal = 2;
constexpr std::uint32_t kOneSample = 1;
constexpr std::uint32_t kUnsignedInteger = 1;
constexpr std::uint32_t kChunky = 1;
constexpr std::uint32_t kMaxBits = 16;
constexpr std::uint32_t kSizeLimit = 0x80000000u;  // sizes must stay below 2^31

// LZW numbers.
constexpr std::uint32_t kCodeClear = 256;
constexpr std::uint32_t kCodeEOI = 257;
constexpr std::uint32_t kCodeFirst = 258;   // first table code after a Clear
constexpr std::uint32_t kCodeCount = 4096;  // codes 0..4095
constexpr std::uint32_t kNoCode = 256;      // lzw.old when there is no previous code
constexpr std::uint32_t kBitsMin = 9;
constexpr std::uint32_t kBitsMax = 12;
constexpr std::uint32_t kMaskMin = 511;

// PackBits numbers.
constexpr unsigned kPackBitsNoop = 128;
constexpr unsigned kPackBitsRunBase = 257;  // header h > 128: 257 - h copies

// Working sizes.  None of them is observable.
constexpr std::size_t kInSize = std::size_t{1} << 16;  // stored-byte buffer
constexpr std::size_t kSegSamples = 32768;             // samples unpacked at once (multiple of 8)
constexpr std::size_t kChunkSize = kSegSamples * 2;    // bytes of one segment at 16 bits
constexpr std::size_t kRowDirect = std::size_t{1}
                                   << 19;  // rows up to this many samples: one malloc
constexpr std::size_t kTableFirst = 4096;  // first size of the grown tables
constexpr std::size_t kTextFirst = std::size_t{1} << 16;  // first size of a long description

constexpr std::array<unsigned char, 256> MakeReversed()
{
    std::array<unsigned char, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = 0;
        for (unsigned b = 0; b < 8; ++b)
            if (i & (1u << b)) r |= 0x80u >> b;
        table[i] = static_cast<unsigned char>(r);
    }
    return table;
}

constexpr std::array<unsigned char, 256> MakeIdentity()
{
    std::array<unsigned char, 256> table{};
    for (unsigned i = 0; i < 256; ++i) table[i] = static_cast<unsigned char>(i);
    return table;
}

// Fill-order tables: every stored byte a decoder reads goes through one.
constexpr std::array<unsigned char, 256> bitN = MakeIdentity();
constexpr std::array<unsigned char, 256> bitR = MakeReversed();

// The file being read.
const char* Path = "";
std::FILE* file = nullptr;
const unsigned char* byte = bitN.data();  // fill-order table in force
bool reversed = false;                    // byte == bitR

// Stored bytes come through this buffer; inBase is the file offset of
// inBuf[0], filePos where the stream stands.  Seeks inside the buffer move
// inPos only.
unsigned char inBuf[kInSize];
std::size_t inPos = 0;
std::size_t inLen = 0;
std::uint64_t inBase = 0;
std::uint64_t filePos = 0;

// What the reader has allocated so far, released on a fatal error.
std::uint16_t** rowTable = nullptr;
std::uint32_t rowsMade = 0;
std::uint16_t*** rowsOut = nullptr;
char* text = nullptr;
char** textOut = nullptr;
std::uint32_t* offsets = nullptr;
std::uint32_t* counts = nullptr;

// Stored bytes of the current strip not yet read.  Wide enough for any
// 32-bit StripByteCounts value.
std::uint64_t bytes = 0;

void Release()
{
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    std::free(offsets);
    std::free(counts);
    offsets = counts = nullptr;
    if (rowTable != nullptr)
        for (std::uint32_t j = 0; j < rowsMade; ++j) std::free(rowTable[j]);
    std::free(rowTable);
    rowTable = nullptr;
    rowsMade = 0;
    if (rowsOut != nullptr) *rowsOut = nullptr;
    rowsOut = nullptr;
    std::free(text);
    text = nullptr;
    if (textOut != nullptr) *textOut = nullptr;
    textOut = nullptr;
}

// The process ends here, so releasing first changes nothing that can be
// seen; it only lets a test hook that returns to the caller run again
// without leaking the file or the memory.
[[noreturn]] void Error(const char* message)
{
    std::fprintf(stderr, "%s : %s\n", Path, message);
    Release();
    ExitFailure();
}

void Warning(const char* message)
{
    std::fprintf(stderr, "%s : %s (warning).\n", Path, message);
}

// ---------------------------------------------------------------- input

void Seek(std::uint64_t offset)
{
    if (offset >= inBase && offset - inBase <= inLen) {
        inPos = static_cast<std::size_t>(offset - inBase);
    } else {
        inBase = offset;
        inPos = inLen = 0;
    }
}

std::uint64_t Tell()
{
    return inBase + inPos;
}

// Loads the bytes that follow the buffer.  Returns false at the end of the
// file; a stream that cannot seek there counts as ended.
bool Refill()
{
    const std::uint64_t at = inBase + inLen;
    inBase = at;
    inPos = inLen = 0;
    if (at != filePos) {
        if (fseeko(file, static_cast<off_t>(at), SEEK_SET) != 0) return false;
        filePos = at;
    }
    inLen = std::fread(inBuf, 1, kInSize, file);
    filePos = at + inLen;
    return inLen > 0;
}

// Copies up to n bytes from the file; returns how many there were.
std::size_t ReadSome(unsigned char* dst, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        if (inPos == inLen && !Refill()) break;
        const std::size_t k = std::min(n - done, inLen - inPos);
        std::memcpy(dst + done, inBuf + inPos, k);
        inPos += k;
        done += k;
    }
    return done;
}

void ReadAll(unsigned char* dst, std::size_t n)
{
    if (ReadSome(dst, n) != n) Error("unexpected end of file.");
}

unsigned GetChar()
{
    if (inPos == inLen && !Refill()) Error("unexpected end of file.");
    return inBuf[inPos++];
}

// A stored byte of a strip, through the fill-order table.
inline unsigned GetStored()
{
    if (inPos == inLen && !Refill()) Error("unexpected end of file.");
    return byte[inBuf[inPos++]];
}

std::uint32_t Get2I()
{
    const std::uint32_t lo = GetChar();
    return lo | (GetChar() << 8);
}

std::uint32_t Get2M()
{
    const std::uint32_t hi = GetChar();
    return (hi << 8) | GetChar();
}

std::uint32_t Get4I()
{
    const std::uint32_t lo = Get2I();
    return lo | (Get2I() << 16);
}

std::uint32_t Get4M()
{
    const std::uint32_t hi = Get2M();
    return (hi << 16) | Get2M();
}

std::uint32_t (*Get2)() = Get2I;
std::uint32_t (*Get4)() = Get4I;
bool bigEndian = false;

// ------------------------------------------------------------ directory

// Scans the directory for the first entry with `tag`; on success the stream
// stands at the entry's type field.
bool FindTag(std::uint32_t ifd, std::uint32_t tag)
{
    Seek(ifd);
    for (std::uint32_t n = Get2(); n > 0; --n) {
        if (Get2() == tag) return true;
        Seek(Tell() + kEntryTail);
    }
    return false;
}

// Finds the first entry with `tag` and reads its type and count; the
// stream then stands at the entry's value field.
bool FindEntry(std::uint32_t ifd, std::uint32_t tag, std::uint32_t* type, std::uint32_t* count)
{
    if (!FindTag(ifd, tag)) return false;
    *type = Get2();
    *count = Get4();
    return true;
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
// per sample).
bool GetFirstShort(std::uint32_t ifd, std::uint32_t tag, std::uint32_t* value)
{
    std::uint32_t type = 0;
    std::uint32_t count = 0;
    if (!FindEntry(ifd, tag, &type, &count) || type != kTypeShort || count == 0) return false;
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
        Error("bad photometric interpretation.");
    return value;
}

[[noreturn]] void StripError(const char* format, const char* name)
{
    char message[64];
    std::snprintf(message, sizeof message, format, name);
    Error(message);
}

// Makes room for `need` values in a table that grows as its values arrive.
std::uint32_t* GrowTable(std::uint32_t* table, std::size_t* capacity, std::size_t need,
                         std::size_t total, const char* name)
{
    if (need <= *capacity) return table;
    const std::size_t size = std::min(total, std::max(need, 2 * *capacity));
    auto* grown = static_cast<std::uint32_t*>(std::realloc(table, size * sizeof(std::uint32_t)));
    if (grown == nullptr) StripError("no allocatable memory for strip %s.", name);
    *capacity = size;
    return grown;
}

// Reads a strip table of `count` values into *slot.  The table is grown as
// values are read, so a count the file cannot back ends at its end.
void GetStrip(std::uint32_t ifd, std::uint32_t tag, std::uint32_t count, const char* name,
              std::uint32_t** slot)
{
    std::size_t total = 0;
    if (!CheckedMul(count, sizeof(std::uint32_t), &total))
        StripError("no allocatable memory for strip %s.", name);
    std::size_t capacity = 0;
    *slot = GrowTable(nullptr, &capacity, std::min<std::size_t>(count, kTableFirst), count, name);
    if (!FindTag(ifd, tag)) StripError("missing strip %s.", name);
    const std::uint32_t type = Get2();
    if (type != kTypeShort && type != kTypeLong) StripError("missing strip %s.", name);
    if (Get4() != count) StripError("bad number of strip %s.", name);
    const bool isShort = type == kTypeShort;
    if (count > (isShort ? kInlineShorts : kInlineLongs)) Seek(Get4());
    for (std::uint32_t i = 0; i < count; ++i) {
        *slot = GrowTable(*slot, &capacity, std::size_t{i} + 1, count, name);
        (*slot)[i] = isShort ? Get2() : Get4();
    }
}

// Reads the description text of `count` bytes at the stream's position;
// a long one is grown as it arrives.
void ReadDescription(std::uint32_t count)
{
    std::size_t total = 0;
    if (!CheckedAdd(count, 1, &total)) Error("no allocatable memory for image description.");
    std::size_t capacity = std::min(total, kTextFirst);
    text = static_cast<char*>(std::malloc(capacity));
    if (text == nullptr) Error("no allocatable memory for image description.");
    *textOut = text;
    std::size_t done = 0;
    while (done < count) {
        if (done == capacity - 1) {
            const std::size_t size = std::min(total, 2 * capacity);
            auto* grown = static_cast<char*>(std::realloc(text, size));
            if (grown == nullptr) Error("no allocatable memory for image description.");
            text = grown;
            *textOut = text;
            capacity = size;
        }
        const std::size_t want = std::min<std::size_t>(count - done, capacity - 1 - done);
        const std::size_t got = ReadSome(reinterpret_cast<unsigned char*>(text) + done, want);
        done += got;
        if (got < want) Error("missing image description.");
    }
    text[done] = '\0';
}

// ------------------------------------------------------------- decoders

enum class Codec { kNone, kLZW, kPackBits };
Codec codec = Codec::kNone;

// Uncompressed.
void InitNICDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    bytes = count;
}

void Reverse(unsigned char* data, std::size_t n)
{
    if (reversed)
        for (std::size_t i = 0; i < n; ++i) data[i] = bitR[data[i]];
}

void NICDecode(unsigned char* dst, std::size_t n)
{
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, bytes));
    ReadAll(dst, k);
    Reverse(dst, k);
    bytes -= k;
    if (k < n) Error("too few codes.");
}

void TermNICDecode()
{
    if (bytes != 0) Warning("too many codes");
}

// PackBits.
std::int32_t MPBlen = 0;  // > 0: literals left; < 0: minus the copies left
unsigned MPBrep = 0;      // the byte being repeated

void InitMPBDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    MPBlen = 0;
    bytes = count;
}

inline unsigned MPBByte()
{
    if (bytes == 0) Error("MPB too few codes.");
    --bytes;
    return GetStored();
}

// One step of the decoder with every check: a literal group or a header.  Used where the buffered
// stored bytes or the strip's count may run out.  Returns the number of bytes made.
std::size_t MPBStep(unsigned char* dst, std::size_t n)
{
    if (MPBlen > 0) {
        const std::size_t want = std::min<std::size_t>(n, static_cast<std::size_t>(MPBlen));
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(want, bytes));
        ReadAll(dst, k);
        Reverse(dst, k);
        bytes -= k;
        if (k < want) Error("MPB too few codes.");
        MPBlen -= static_cast<std::int32_t>(k);
        return k;
    }
    // A run needs no stored bytes and never comes here.
    unsigned h = MPBByte();
    while (h == kPackBitsNoop) h = MPBByte();
    if (h < kPackBitsNoop) {
        MPBlen = static_cast<std::int32_t>(h) + 1;
    } else {
        MPBrep = MPBByte();
        MPBlen = -static_cast<std::int32_t>(kPackBitsRunBase - h);
    }
    return 0;
}

void MPBDecode(unsigned char* dst, std::size_t n)
{
    while (n > 0) {
        // Fast loop over the stored bytes that are both buffered and inside
        // the strip's count; whatever reaches their end goes to MPBStep.
        const unsigned char* const begin = inBuf + inPos;
        const unsigned char* const end =
            begin + static_cast<std::size_t>(std::min<std::uint64_t>(inLen - inPos, bytes));
        const unsigned char* p = begin;
        std::int32_t len = MPBlen;
        while (n > 0) {
            if (len > 0) {
                const std::size_t k = std::min<std::size_t>(n, static_cast<std::size_t>(len));
                if (k > static_cast<std::size_t>(end - p)) break;
                if (reversed)
                    for (std::size_t i = 0; i < k; ++i) dst[i] = bitR[p[i]];
                else
                    std::memcpy(dst, p, k);
                p += k;
                dst += k;
                n -= k;
                len -= static_cast<std::int32_t>(k);
            } else if (len < 0) {
                const std::size_t k = std::min<std::size_t>(n, static_cast<std::size_t>(-len));
                std::memset(dst, static_cast<int>(MPBrep), k);
                dst += k;
                n -= k;
                len += static_cast<std::int32_t>(k);
            } else {
                if (end - p < 2) break;  // a header and its run byte
                const unsigned h = byte[*p++];
                if (h < kPackBitsNoop) {
                    len = static_cast<std::int32_t>(h) + 1;
                } else if (h > kPackBitsNoop) {
                    MPBrep = byte[*p++];
                    len = -static_cast<std::int32_t>(kPackBitsRunBase - h);
                }
            }
        }
        MPBlen = len;
        inPos += static_cast<std::size_t>(p - begin);
        bytes -= static_cast<std::uint64_t>(p - begin);
        if (n == 0) break;
        const std::size_t k = MPBStep(dst, n);
        dst += k;
        n -= k;
    }
}

void TermMPBDecode()
{
    if (MPBlen != 0)
        Warning("MPB too many data");
    else if (bytes != 0)
        Warning("MPB too many code");
}

// LZW.  The strings of the table codes lie one after the other in
// LZWArena, each written once when its code is defined (the previous
// string plus one byte), so that handing a string out is one copy.  The
// single bytes 0..255 stand at their own offsets in front.  The arena is
// bounded: once a table's strings no longer fit (only very long strings,
// as in long runs, fill it), further codes are kept as a prefix code and a
// last byte and are handed out by walking back to the nearest code whose
// string is in the arena.
//
// Static memory of the decoder's tables: arena 768 KiB + 16 bytes, offsets
// 16 KiB, lengths 8 KiB, chain links 8 KiB, chain bytes 8 KiB, scratch
// 4 KiB: about 812 KiB (with the encoder's 36 KiB table, below 1 MiB).
constexpr std::size_t kSlack = 16;  // short copies move 16 bytes at once
constexpr std::size_t kArenaSize = (std::size_t{768} << 10) + kSlack;
constexpr std::uint32_t kChained = 0xFFFFFFFFu;            // LZWOff of a code not in the arena
constexpr std::size_t kLongest = kCodeCount - kCodeClear;  // longest string, 3840 bytes

struct LZWState {
    std::uint32_t buf = 0;                // bit buffer; stored bytes enter at the low end
    std::int32_t num = 0;                 // unconsumed bits of buf below the current code
    std::uint32_t len = 0;                // code width, 9..12
    std::uint32_t mask = 0;               // 2^len - 1
    std::uint32_t code = 0;               // next free table code, 258..4096
    std::uint32_t old = 0;                // previous code; kNoCode after a start or a Clear
    std::uint32_t top = 0;                // end of the strings in arena
    const unsigned char* rest = nullptr;  // the rest of a string that did not fit
    std::size_t rem = 0;                  // its bytes still to hand out
    std::uint32_t off[kCodeCount];        // where each code's string starts in arena
    std::uint16_t size[kCodeCount];       // and its length
    std::uint16_t head[kCodeCount];       // chained codes: the prefix code
    unsigned char tail[kCodeCount];       // chained codes: the last byte
    unsigned char first[kCodeCount];      // chained codes: the first byte
    unsigned char arena[kArenaSize];
    unsigned char scratch[kLongest + kSlack];  // a chained string that did not fit
};
LZWState lzw;

void InitLZWDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    lzw.num = 0;
    lzw.len = kBitsMin;
    lzw.mask = kMaskMin;
    lzw.rem = 0;
    lzw.code = kCodeFirst;
    lzw.old = kNoCode;
    lzw.top = kCodeClear;
    bytes = count;
    for (std::uint32_t c = 0; c < kCodeClear; ++c) {
        lzw.arena[c] = static_cast<unsigned char>(c);
        lzw.off[c] = c;
        lzw.size[c] = 1;
    }
}

// Copies n bytes; up to kSlack bytes may be written past the end, and the
// two ranges may overlap behind the first n bytes.
inline void CopyShort(unsigned char* dst, const unsigned char* src, std::size_t n)
{
    if (n <= kSlack) {
        unsigned char block[kSlack];
        std::memcpy(block, src, kSlack);
        std::memcpy(dst, block, kSlack);
    } else {
        std::memcpy(dst, src, n);
    }
}

inline unsigned char LZWFirst(std::uint32_t c)
{
    return lzw.off[c] == kChained ? lzw.first[c] : lzw.arena[lzw.off[c]];
}

// Writes the string of a chained code, exactly lzw.size[c] bytes, to dst.
void LZWWriteChained(unsigned char* dst, std::uint32_t c)
{
    unsigned char* p = dst + lzw.size[c];
    while (lzw.off[c] == kChained) {
        *--p = lzw.tail[c];
        c = lzw.head[c];
    }
    std::memcpy(dst, lzw.arena + lzw.off[c], lzw.size[c]);
}

// Fetches a code when the stored bytes may run out: the checked path.
std::uint32_t LZWFetchSlow(std::uint32_t* buf, std::int32_t* num, std::uint32_t len,
                           std::uint32_t mask)
{
    *num -= static_cast<std::int32_t>(len);
    while (*num < 0) {
        if (bytes == 0) Error("LZW too few codes.");
        *buf = (*buf << 8) | GetStored();
        *num += 8;
        --bytes;
    }
    return (*buf >> *num) & mask;
}

// `dst` must have kSlack bytes of room behind its n bytes.  The decoder
// state lives in locals inside the loop and goes back to `lzw` on the way
// out.  Codes are cut from the stored bytes that are both buffered and
// inside the strip's count, several bytes at a time and without further
// checks; near the end of either, LZWFetchSlow takes over.
void LZWDecode(unsigned char* dst, std::size_t n)
{
    if (lzw.rem != 0) {
        const std::size_t k = std::min(n, lzw.rem);
        std::memcpy(dst, lzw.rest, k);
        lzw.rest += k;
        lzw.rem -= k;
        dst += k;
        n -= k;
    }
    // acc holds the last stored bytes read, have its bits not yet used.
    // Reading runs up to 7 bytes ahead of the codes; those bytes are given
    // back (settle) before anything else looks at the input or the state,
    // which then is exactly that of byte-by-byte reading.
    std::uint64_t acc = lzw.buf;
    std::uint32_t have = static_cast<std::uint32_t>(lzw.num);
    std::uint32_t len = lzw.len;
    std::uint32_t mask = lzw.mask;
    std::uint32_t next = lzw.code;
    std::uint32_t old = lzw.old;
    std::uint32_t top = lzw.top;
    const unsigned char* const table = byte;
    const unsigned char* start = inBuf + inPos;
    const unsigned char* in = start;
    const unsigned char* end =
        start + static_cast<std::size_t>(std::min<std::uint64_t>(inLen - inPos, bytes));
    const auto settle = [&] {
        const std::uint32_t ahead = have / 8;
        in -= ahead;
        have -= 8 * ahead;
        acc >>= 8 * ahead;
        inPos += static_cast<std::size_t>(in - start);
        bytes -= static_cast<std::uint64_t>(in - start);
    };
    while (n > 0) {
        std::uint32_t code = 0;
        if (have < len && end - in >= 8) {
            // Take 6 or 7 bytes at once, keeping have at most 63.
            const std::uint32_t take = (63 - have) / 8;
            std::uint64_t word = 0;
            if (reversed) {
                for (std::uint32_t i = 0; i < take; ++i) word = (word << 8) | table[in[i]];
            } else {
                std::memcpy(&word, in, sizeof word);
                if constexpr (std::endian::native == std::endian::little)
                    word = __builtin_bswap64(word);
                word >>= 64 - 8 * take;
            }
            acc = (acc << (8 * take)) | word;
            in += take;
            have += 8 * take;
        }
        if (have >= len) {
            have -= len;
            code = static_cast<std::uint32_t>(acc >> have) & mask;
        } else {
            settle();
            std::uint32_t buf = static_cast<std::uint32_t>(acc);
            std::int32_t num = static_cast<std::int32_t>(have);
            code = LZWFetchSlow(&buf, &num, len, mask);
            acc = buf;
            have = static_cast<std::uint32_t>(num);
            start = in = inBuf + inPos;
            end = start + static_cast<std::size_t>(std::min<std::uint64_t>(inLen - inPos, bytes));
        }
        if (code == kCodeEOI) Error("LZW unexpected end of code.");
        if (code == kCodeClear) {
            len = kBitsMin;
            mask = kMaskMin;
            old = kNoCode;
            continue;
        }
        if (old == kNoCode) {
            if (code >= kCodeFirst) Error("LZW bad code after clear code.");
            next = kCodeFirst;
            top = kCodeClear;
            old = code;
            *dst++ = static_cast<unsigned char>(code);
            --n;
            continue;
        }
        if (next == kCodeCount) Error("LZW missing clear code.");
        if (code > next) Error("LZW bad code.");
        // The new string is the previous one plus the first byte of this
        // one; when the code is the one being defined, that first byte is
        // the previous string's own.
        const std::uint32_t oldSize = lzw.size[old];
        const std::uint32_t oldOff = lzw.off[old];
        const std::uint32_t from = code < next ? code : old;
        if (oldOff != kChained && top + oldSize + 1 + kSlack <= kArenaSize) {
            const unsigned char first = LZWFirst(from);
            CopyShort(lzw.arena + top, lzw.arena + oldOff, oldSize);
            lzw.arena[top + oldSize] = first;
            lzw.off[next] = top;
            top += oldSize + 1;
        } else {
            lzw.tail[next] = LZWFirst(from);
            lzw.first[next] = LZWFirst(old);
            lzw.head[next] = static_cast<std::uint16_t>(old);
            lzw.off[next] = kChained;
        }
        lzw.size[next] = static_cast<std::uint16_t>(oldSize + 1);
        ++next;
        if (next == mask && len < kBitsMax) {
            ++len;
            mask = 2 * mask + 1;
        }
        old = code;

        const std::size_t size = lzw.size[code];
        const std::uint32_t at = lzw.off[code];
        if (at == kChained) {
            if (size <= n) {
                LZWWriteChained(dst, code);
                dst += size;
                n -= size;
            } else {
                LZWWriteChained(lzw.scratch, code);
                std::memcpy(dst, lzw.scratch, n);
                lzw.rest = lzw.scratch + n;
                lzw.rem = size - n;
                n = 0;
            }
        } else if (size <= n) {
            CopyShort(dst, lzw.arena + at, size);
            dst += size;
            n -= size;
        } else {
            std::memcpy(dst, lzw.arena + at, n);
            lzw.rest = lzw.arena + at + n;
            lzw.rem = size - n;
            n = 0;
        }
    }
    settle();
    lzw.buf = static_cast<std::uint32_t>(acc);
    lzw.num = static_cast<std::int32_t>(have);
    lzw.len = len;
    lzw.mask = mask;
    lzw.code = next;
    lzw.old = old;
    lzw.top = top;
}

void TermLZWDecode()
{
    if (lzw.rem > 0) {
        Warning("LZW too many data");
        return;
    }
    lzw.num -= static_cast<std::int32_t>(lzw.len);
    while (lzw.num < 0) {
        if (bytes == 0) {
            // The stored bytes ran out inside the last code: it is correct
            // only as an end code one bit narrower, complete to its last bit.
            if (lzw.num != -1 || (lzw.buf & (lzw.mask >> 1)) != kCodeEOI)
                Warning("LZW missing end of code");
            return;
        }
        lzw.buf = (lzw.buf << 8) | GetStored();
        lzw.num += 8;
        --bytes;
    }
    if (bytes != 0) {
        Warning("LZW too many code");
        return;
    }
    // An end code written at the width before a pending increase counts too.
    if (((lzw.buf >> lzw.num) & lzw.mask) != kCodeEOI &&
        ((lzw.buf >> (lzw.num + 1)) & (lzw.mask >> 1)) != kCodeEOI)
        Warning("LZW missing end of code");
}

void StartStrip(std::uint32_t offset, std::uint32_t count)
{
    switch (codec) {
        case Codec::kNone:
            InitNICDecode(offset, count);
            break;
        case Codec::kLZW:
            InitLZWDecode(offset, count);
            break;
        case Codec::kPackBits:
            InitMPBDecode(offset, count);
            break;
    }
}

void Decode(unsigned char* dst, std::size_t n)
{
    switch (codec) {
        case Codec::kNone:
            NICDecode(dst, n);
            break;
        case Codec::kLZW:
            LZWDecode(dst, n);
            break;
        case Codec::kPackBits:
            MPBDecode(dst, n);
            break;
    }
}

void EndStrip()
{
    switch (codec) {
        case Codec::kNone:
            TermNICDecode();
            break;
        case Codec::kLZW:
            TermLZWDecode();
            break;
        case Codec::kPackBits:
            TermMPBDecode();
            break;
    }
}

// ------------------------------------------------------------- samples

unsigned char chunk[kChunkSize + kSlack];  // the LZW decoder may write past the end

void Unpack8(const unsigned char* src, std::uint16_t* dst, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) dst[i] = src[i];
}

// Two bytes per sample in the file's byte order: one copy, and a byte swap
// when that order is not the host's.
void Unpack16(const unsigned char* src, std::uint16_t* dst, std::size_t count)
{
    std::memcpy(dst, src, count * sizeof *dst);
    if (bigEndian != (std::endian::native == std::endian::big))
        for (std::size_t i = 0; i < count; ++i) dst[i] = __builtin_bswap16(dst[i]);
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

std::uint16_t* AllocRow(std::size_t samples)
{
    std::size_t size = 0;
    if (!CheckedMul(samples, sizeof(std::uint16_t), &size))
        Error("no allocatable memory for cell.");
    auto* row = static_cast<std::uint16_t*>(std::malloc(size));
    if (row == nullptr) Error("no allocatable memory for cell.");
    return row;
}

// Makes room for row j in the row table, which grows with the rows read.
void GrowRowTable(std::uint32_t j, std::uint32_t height, std::size_t* capacity)
{
    if (j < *capacity) return;
    const std::size_t size = std::min<std::size_t>(height, std::max(kTableFirst, 2 * *capacity));
    auto* grown = static_cast<std::uint16_t**>(std::realloc(rowTable, size * sizeof *rowTable));
    if (grown == nullptr) Error("no allocatable memory for cell.");
    rowTable = grown;
    *rowsOut = rowTable;
    *capacity = size;
}

// Reads row j of `width` samples.  A very wide row is grown as its samples
// arrive, so that a width the strip cannot back costs no memory.
void ReadRow(std::uint32_t j, std::uint32_t width, unsigned bits)
{
    std::size_t capacity = std::min<std::size_t>(width, kRowDirect);
    std::uint16_t* row = AllocRow(capacity);
    rowTable[j] = row;
    rowsMade = j + 1;
    for (std::size_t done = 0; done < width;) {
        const std::size_t count = std::min<std::size_t>(kSegSamples, width - done);
        if (done + count > capacity) {
            const std::size_t size = std::min<std::size_t>(width, 2 * capacity);
            auto* grown = static_cast<std::uint16_t*>(std::realloc(row, size * sizeof *row));
            if (grown == nullptr) Error("no allocatable memory for cell.");
            row = rowTable[j] = grown;
            capacity = size;
        }
        const std::size_t n = (count * bits + 7) / 8;
        Decode(chunk, n);
        if (bits == 8)
            Unpack8(chunk, row + done, count);
        else if (bits == 16)
            Unpack16(chunk, row + done, count);
        else
            UnpackBits(chunk, row + done, count, bits);
        done += count;
    }
}

void Undifference(std::uint16_t* row, std::uint32_t width, std::uint32_t mask)
{
    for (std::uint32_t k = 1; k < width; ++k)
        row[k] = static_cast<std::uint16_t>((row[k - 1] + row[k]) & mask);
}

int ReadImage(const char* path, std::int32_t* width, std::int32_t* height,
              std::int32_t* bitsPerSample, std::uint16_t*** rows, char** description,
              std::int32_t* photometric)
{
    Path = path;
    file = std::fopen(path, "rb");
    if (file == nullptr) Error("file not found.");
    std::setvbuf(file, nullptr, _IONBF, 0);  // our own buffer does the buffering
    inPos = inLen = 0;
    inBase = filePos = 0;
    rowTable = nullptr;
    rowsMade = 0;
    rowsOut = nullptr;
    text = nullptr;
    textOut = nullptr;
    offsets = counts = nullptr;

    const unsigned mark = GetChar();
    if (mark == kMarkLittle) {
        Get2 = Get2I;
        Get4 = Get4I;
        bigEndian = false;
    } else if (mark == kMarkBig) {
        Get2 = Get2M;
        Get4 = Get4M;
        bigEndian = true;
    } else {
        Error("bad magic number.");
    }
    if (GetChar() != mark) Error("bad magic number.");
    if (Get2() != kTiffMagic) Error("bad magic number.");
    const std::uint32_t ifd = Get4();
    if (ifd == 0) Error("no image file directory.");

    std::uint32_t w = 0;
    std::uint32_t h = 0;
    if (width != nullptr || height != nullptr || rows != nullptr) {
        w = GetIFD4(ifd, kTagImageWidth, 0);
        if (w == 0) Error("missing image size.");
        h = GetIFD4(ifd, kTagImageLength, 0);
        if (h == 0) Error("missing image size.");
        if (w >= kSizeLimit || h >= kSizeLimit) Error("too large image size.");
        if (width != nullptr) *width = static_cast<std::int32_t>(w);
        if (height != nullptr) *height = static_cast<std::int32_t>(h);
    }

    std::uint32_t bits = 1;
    if (bitsPerSample != nullptr || rows != nullptr) {
        if (GetShort(ifd, kTagBitsPerSample, &bits) && (bits < 1 || bits > kMaxBits))
            Error("bad bits per sample.");
        if (bitsPerSample != nullptr) *bitsPerSample = static_cast<std::int32_t>(bits);
    }

    if (description != nullptr) {
        *description = nullptr;
        if (FindTag(ifd, kTagImageDescription) && Get2() == kTypeAscii) {
            const std::uint32_t count = Get4();
            if (count > kInlineBytes) Seek(Get4());
            textOut = description;
            ReadDescription(count);
        }
    }

    if (rows == nullptr) {
        if (photometric != nullptr) *photometric = static_cast<std::int32_t>(GetPhotometric(ifd));
        const int status = std::fclose(file);
        file = nullptr;
        text = nullptr;
        textOut = nullptr;
        return status;
    }

    std::uint32_t value = kCompressionNone;
    GetShort(ifd, kTagCompression, &value);
    if (value == kCompressionNone)
        codec = Codec::kNone;
    else if (value == kCompressionLZW)
        codec = Codec::kLZW;
    else if (value == kCompressionPackBits)
        codec = Codec::kPackBits;
    else
        Error("unknown image compression method.");

    value = GetPhotometric(ifd);
    if (photometric != nullptr) *photometric = static_cast<std::int32_t>(value);

    value = kFillNormal;
    GetShort(ifd, kTagFillOrder, &value);
    if (value != kFillNormal && value != kFillReversed) Error("unknown fill order.");
    reversed = value == kFillReversed;
    byte = reversed ? bitR.data() : bitN.data();

    if (GetShort(ifd, kTagSamplesPerPixel, &value) && value != kOneSample)
        Error("bad samples per pixel.");

    // Signed and floating-point samples would be taken as unsigned integers.
    if (GetFirstShort(ifd, kTagSampleFormat, &value) && value != kUnsignedInteger)
        Error("bad sample format.");

    std::uint32_t rps = GetIFD4(ifd, kTagRowsPerStrip, h);
    if (rps > h)
        rps = h;
    else if (rps == 0)
        Error("bad rows per strip.");

    if (GetShort(ifd, kTagPlanarConfig, &value) && value != kChunky)
        Error("bad planar configuration.");

    value = kPredictorNone;
    GetShort(ifd, kTagPredictor, &value);
    if (value != kPredictorNone && value != kPredictorHorizontal)
        Error("unknown differencing predictor.");
    const bool predictor = value == kPredictorHorizontal;

    // The row table and the rows are allocated as the rows are read; here
    // only sizes that cannot be represented at all, and rasters whose rows
    // alone would hold more than the process can get, are refused.
    std::size_t tableSize = 0;
    std::size_t rowSize = 0;
    std::size_t rasterSize = 0;
    if (!CheckedMul(h, sizeof(std::uint16_t*), &tableSize) ||
        !CheckedMul(w, sizeof(std::uint16_t), &rowSize) || !CheckedMul(rowSize, h, &rasterSize) ||
        !FitsAllocatable(rasterSize))
        Error("no allocatable memory for cell.");
    rowsOut = rows;

    const std::uint32_t strips = static_cast<std::uint32_t>((std::uint64_t{h} + rps - 1) / rps);
    GetStrip(ifd, kTagStripOffsets, strips, "offset", &offsets);
    GetStrip(ifd, kTagStripByteCounts, strips, "bytes count", &counts);

    const std::uint32_t mask = 0xFFFFu >> (kMaxBits - bits);
    std::size_t capacity = 0;
    for (std::uint32_t j = 0; j < h; ++j) {
        if (j % rps == 0) StartStrip(offsets[j / rps], counts[j / rps]);
        GrowRowTable(j, h, &capacity);
        ReadRow(j, w, bits);
        if (j + 1 == h || (j + 1) % rps == 0) EndStrip();
        if (predictor && w != 1) Undifference(rowTable[j], w, mask);
    }

    std::free(counts);
    std::free(offsets);
    counts = offsets = nullptr;
    *rows = rowTable;
    rowTable = nullptr;
    rowsMade = 0;
    rowsOut = nullptr;
    text = nullptr;
    textOut = nullptr;
    const int status = std::fclose(file);
    file = nullptr;
    return status;
}

}  // namespace

int ReadImageFile(const char* path, std::int32_t* width, std::int32_t* height,
                  std::int32_t* bitsPerSample, std::uint16_t*** rows, char** description,
                  std::int32_t* photometric)
{
    return ReadImage(path, width, height, bitsPerSample, rows, description, photometric);
}

void FreeImageFile(std::int32_t height, std::uint16_t** rows, char* description)
{
    if (rows != nullptr) {
        for (std::int32_t y = 0; y < height; ++y) std::free(rows[y]);
        std::free(rows);
    }
    std::free(description);
}
