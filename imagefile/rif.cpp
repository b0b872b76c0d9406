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
#include "tiff_format.hpp"

namespace {

using namespace tiff;

// What the reader accepts beyond the format's numbers.
constexpr std::uint32_t kMaxBits = 16;
constexpr std::uint32_t kSizeLimit = 0x80000000u;  // sizes must stay below 2^31

// LZW decoder numbers.
constexpr std::uint32_t kNoCode = 256;  // lzw.old when there is no previous code
constexpr std::uint32_t kMaskMin = (1u << kBitsMin) - 1;

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

// Stored bytes come through this buffer; rd.inBase is the file offset of
// inBuf[0].
unsigned char inBuf[kInSize];

struct Decoder;

// The reader's state for the file being read; each call starts from a
// fresh one.
struct Reader {
    const char* path = "";
    std::FILE* file = nullptr;
    const unsigned char* byte = bitN.data();  // fill-order table in force
    bool reversed = false;                    // byte == bitR
    bool bigEndian = false;                   // "MM" file
    // Where the stream stands: inBuf[inPos], at file offset inBase + inPos;
    // inLen bytes are buffered, and filePos is the position of the file
    // itself.  Seeks inside the buffer move inPos only.
    std::size_t inPos = 0;
    std::size_t inLen = 0;
    std::uint64_t inBase = 0;
    std::uint64_t filePos = 0;
    // Stored bytes of the current strip not yet read.  Wide enough for any
    // 32-bit StripByteCounts value.
    std::uint64_t bytes = 0;
    const Decoder* decoder = nullptr;  // for the file's compression
    // What has been allocated so far, released on a fatal error.
    std::uint16_t** rowTable = nullptr;
    std::uint32_t rowsMade = 0;
    char* text = nullptr;
    std::uint32_t* offsets = nullptr;
    std::uint32_t* counts = nullptr;
};
Reader rd;

void Release()
{
    if (rd.file != nullptr) std::fclose(rd.file);
    std::free(rd.offsets);
    std::free(rd.counts);
    if (rd.rowTable != nullptr)
        for (std::uint32_t j = 0; j < rd.rowsMade; ++j) std::free(rd.rowTable[j]);
    std::free(rd.rowTable);
    std::free(rd.text);
    rd = Reader{};
}

// The process ends here, so releasing first changes nothing that can be
// seen; it only lets a test hook that returns to the caller run again
// without leaking the file or the memory.
[[noreturn]] void Error(const char* message)
{
    std::fprintf(stderr, "%s : %s\n", rd.path, message);
    Release();
    ExitFailure();
}

void Warning(const char* message)
{
    std::fprintf(stderr, "%s : %s (warning).\n", rd.path, message);
}

// ---------------------------------------------------------------- input

void Seek(std::uint64_t offset)
{
    if (offset >= rd.inBase && offset - rd.inBase <= rd.inLen) {
        rd.inPos = static_cast<std::size_t>(offset - rd.inBase);
    } else {
        rd.inBase = offset;
        rd.inPos = rd.inLen = 0;
    }
}

std::uint64_t Tell()
{
    return rd.inBase + rd.inPos;
}

// Loads the bytes that follow the buffer.  Returns false at the end of the
// file; a stream that cannot seek there counts as ended.
bool Refill()
{
    const std::uint64_t at = rd.inBase + rd.inLen;
    rd.inBase = at;
    rd.inPos = rd.inLen = 0;
    if (at != rd.filePos) {
        if (fseeko(rd.file, static_cast<off_t>(at), SEEK_SET) != 0) return false;
        rd.filePos = at;
    }
    rd.inLen = std::fread(inBuf, 1, kInSize, rd.file);
    rd.filePos = at + rd.inLen;
    return rd.inLen > 0;
}

// Copies up to n bytes from the file; returns how many there were.
std::size_t ReadSome(unsigned char* dst, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        if (rd.inPos == rd.inLen && !Refill()) break;
        const std::size_t k = std::min(n - done, rd.inLen - rd.inPos);
        std::memcpy(dst + done, inBuf + rd.inPos, k);
        rd.inPos += k;
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
    if (rd.inPos == rd.inLen && !Refill()) Error("unexpected end of file.");
    return inBuf[rd.inPos++];
}

// A stored byte of a strip, through the fill-order table.
inline unsigned GetStored()
{
    if (rd.inPos == rd.inLen && !Refill()) Error("unexpected end of file.");
    return rd.byte[inBuf[rd.inPos++]];
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

// Directory numbers in the file's byte order.
std::uint32_t Get2()
{
    return rd.bigEndian ? Get2M() : Get2I();
}

std::uint32_t Get4()
{
    return rd.bigEndian ? Get4M() : Get4I();
}

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
        Error("no allocatable memory for image description.");
    std::size_t done = 0;
    while (done < count) {
        // Room for one more byte and the terminating zero.
        if (!Grow(&rd.text, &capacity, done + 2, kTextFirst, total))
            Error("no allocatable memory for image description.");
        const std::size_t want = std::min<std::size_t>(count - done, capacity - 1 - done);
        const std::size_t got = ReadSome(reinterpret_cast<unsigned char*>(rd.text) + done, want);
        done += got;
        if (got < want) Error("missing image description.");
    }
    rd.text[done] = '\0';
}

// ------------------------------------------------------------- decoders

// Uncompressed.
void InitNICDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    rd.bytes = count;
}

void Reverse(unsigned char* data, std::size_t n)
{
    if (rd.reversed)
        for (std::size_t i = 0; i < n; ++i) data[i] = bitR[data[i]];
}

void NICDecode(unsigned char* dst, std::size_t n)
{
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, rd.bytes));
    ReadAll(dst, k);
    Reverse(dst, k);
    rd.bytes -= k;
    if (k < n) Error("too few codes.");
}

void TermNICDecode()
{
    if (rd.bytes != 0) Warning("too many codes");
}

// PackBits.
std::int32_t MPBlen = 0;  // > 0: literals left; < 0: minus the copies left
unsigned MPBrep = 0;      // the byte being repeated

void InitMPBDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    MPBlen = 0;
    rd.bytes = count;
}

inline unsigned MPBByte()
{
    if (rd.bytes == 0) Error("MPB too few codes.");
    --rd.bytes;
    return GetStored();
}

// One step of the decoder with every check: a literal group or a header.  Used where the buffered
// stored bytes or the strip's count may run out.  Returns the number of bytes made.
std::size_t MPBStep(unsigned char* dst, std::size_t n)
{
    if (MPBlen > 0) {
        const std::size_t want = std::min<std::size_t>(n, static_cast<std::size_t>(MPBlen));
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(want, rd.bytes));
        ReadAll(dst, k);
        Reverse(dst, k);
        rd.bytes -= k;
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
        const unsigned char* const begin = inBuf + rd.inPos;
        const unsigned char* const end = begin + static_cast<std::size_t>(std::min<std::uint64_t>(
                                                     rd.inLen - rd.inPos, rd.bytes));
        const unsigned char* p = begin;
        std::int32_t len = MPBlen;
        while (n > 0) {
            if (len > 0) {
                const std::size_t k = std::min<std::size_t>(n, static_cast<std::size_t>(len));
                if (k > static_cast<std::size_t>(end - p)) break;
                if (rd.reversed)
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
                const unsigned h = rd.byte[*p++];
                if (h < kPackBitsNoop) {
                    len = static_cast<std::int32_t>(h) + 1;
                } else if (h > kPackBitsNoop) {
                    MPBrep = rd.byte[*p++];
                    len = -static_cast<std::int32_t>(kPackBitsRunBase - h);
                }
            }
        }
        MPBlen = len;
        rd.inPos += static_cast<std::size_t>(p - begin);
        rd.bytes -= static_cast<std::uint64_t>(p - begin);
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
    else if (rd.bytes != 0)
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
    rd.bytes = count;
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
        if (rd.bytes == 0) Error("LZW too few codes.");
        *buf = (*buf << 8) | GetStored();
        *num += 8;
        --rd.bytes;
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
    const unsigned char* const table = rd.byte;
    const unsigned char* start = inBuf + rd.inPos;
    const unsigned char* in = start;
    const unsigned char* end =
        start + static_cast<std::size_t>(std::min<std::uint64_t>(rd.inLen - rd.inPos, rd.bytes));
    const auto settle = [&] {
        const std::uint32_t ahead = have / 8;
        in -= ahead;
        have -= 8 * ahead;
        acc >>= 8 * ahead;
        rd.inPos += static_cast<std::size_t>(in - start);
        rd.bytes -= static_cast<std::uint64_t>(in - start);
    };
    while (n > 0) {
        std::uint32_t code = 0;
        if (have < len && end - in >= 8) {
            // Take 6 or 7 bytes at once, keeping have at most 63.
            const std::uint32_t take = (63 - have) / 8;
            std::uint64_t word = 0;
            if (rd.reversed) {
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
            start = in = inBuf + rd.inPos;
            end = start +
                  static_cast<std::size_t>(std::min<std::uint64_t>(rd.inLen - rd.inPos, rd.bytes));
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
        if (rd.bytes == 0) {
            // The stored bytes ran out inside the last code: it is correct
            // only as an end code one bit narrower, complete to its last bit.
            if (lzw.num != -1 || (lzw.buf & (lzw.mask >> 1)) != kCodeEOI)
                Warning("LZW missing end of code");
            return;
        }
        lzw.buf = (lzw.buf << 8) | GetStored();
        lzw.num += 8;
        --rd.bytes;
    }
    if (rd.bytes != 0) {
        Warning("LZW too many code");
        return;
    }
    // An end code written at the width before a pending increase counts too.
    if (((lzw.buf >> lzw.num) & lzw.mask) != kCodeEOI &&
        ((lzw.buf >> (lzw.num + 1)) & (lzw.mask >> 1)) != kCodeEOI)
        Warning("LZW missing end of code");
}

// The three functions of a strip decoder: start a strip of `count` stored
// bytes at `offset`, deliver the next n uncompressed bytes, and check the
// strip's end after its last row.
struct Decoder {
    std::uint32_t compression;
    void (*start)(std::uint32_t offset, std::uint32_t count);
    void (*decode)(unsigned char* dst, std::size_t n);
    void (*end)();
};

constexpr Decoder kDecoders[] = {
    {kCompressionNone, InitNICDecode, NICDecode, TermNICDecode},
    {kCompressionLZW, InitLZWDecode, LZWDecode, TermLZWDecode},
    {kCompressionPackBits, InitMPBDecode, MPBDecode, TermMPBDecode},
};

// The decoder for a Compression value; null for one that is not read.
const Decoder* FindDecoder(std::uint32_t compression)
{
    for (const Decoder& decoder : kDecoders)
        if (decoder.compression == compression) return &decoder;
    return nullptr;
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
    if (rd.bigEndian != (std::endian::native == std::endian::big))
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

// Makes room for row j in the row table, which grows with the rows read.
void GrowRowTable(std::uint32_t j, std::uint32_t height, std::size_t* capacity)
{
    if (!Grow(&rd.rowTable, capacity, std::size_t{j} + 1, kTableFirst, height))
        Error("no allocatable memory for cell.");
}

// Reads row j of `width` samples.  A very wide row is grown as its samples
// arrive, so that a width the strip cannot back costs no memory.
void ReadRow(std::uint32_t j, std::uint32_t width, unsigned bits)
{
    std::uint16_t* row = nullptr;
    std::size_t capacity = 0;
    if (!Grow(&row, &capacity, std::min<std::size_t>(width, kRowDirect), kRowDirect, width))
        Error("no allocatable memory for cell.");
    rd.rowTable[j] = row;
    rd.rowsMade = j + 1;
    for (std::size_t done = 0; done < width;) {
        const std::size_t count = std::min<std::size_t>(kSegSamples, width - done);
        if (!Grow(&row, &capacity, done + count, kRowDirect, width))
            Error("no allocatable memory for cell.");
        rd.rowTable[j] = row;
        const std::size_t n = (count * bits + 7) / 8;
        rd.decoder->decode(chunk, n);
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
};

// Opens the file and reads its header; returns the first directory's offset.
std::uint32_t ReadHeader(const char* path)
{
    rd = Reader{};
    rd.path = path;
    rd.file = std::fopen(path, "rb");
    if (rd.file == nullptr) Error("file not found.");
    std::setvbuf(rd.file, nullptr, _IONBF, 0);  // our own buffer does the buffering

    const unsigned mark = GetChar();
    if (mark == kMarkLittle)
        rd.bigEndian = false;
    else if (mark == kMarkBig)
        rd.bigEndian = true;
    else
        Error("bad magic number.");
    if (GetChar() != mark) Error("bad magic number.");
    if (Get2() != kMagic) Error("bad magic number.");
    const std::uint32_t ifd = Get4();
    if (ifd == 0) Error("no image file directory.");
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
        if (fields.width == 0) Error("missing image size.");
        fields.height = GetIFD4(ifd, kTagImageLength, 0);
        if (fields.height == 0) Error("missing image size.");
        if (fields.width >= kSizeLimit || fields.height >= kSizeLimit)
            Error("too large image size.");
    }

    if (request.bitsPerSample != nullptr || request.rows != nullptr) {
        if (GetShort(ifd, kTagBitsPerSample, &fields.bits) &&
            (fields.bits < 1 || fields.bits > kMaxBits))
            Error("bad bits per sample.");
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
    rd.decoder = FindDecoder(value);
    if (rd.decoder == nullptr) Error("unknown image compression method.");

    fields.photometric = GetPhotometric(ifd);

    value = kFillNormal;
    GetShort(ifd, kTagFillOrder, &value);
    if (value != kFillNormal && value != kFillReversed) Error("unknown fill order.");
    rd.reversed = value == kFillReversed;
    rd.byte = rd.reversed ? bitR.data() : bitN.data();

    if (GetShort(ifd, kTagSamplesPerPixel, &value) && value != kOneSample)
        Error("bad samples per pixel.");

    // Signed and floating-point samples would be taken as unsigned integers.
    if (GetFirstShort(ifd, kTagSampleFormat, &value) && value != kUnsignedInteger)
        Error("bad sample format.");

    fields.rowsPerStrip = GetIFD4(ifd, kTagRowsPerStrip, fields.height);
    if (fields.rowsPerStrip > fields.height)
        fields.rowsPerStrip = fields.height;
    else if (fields.rowsPerStrip == 0)
        Error("bad rows per strip.");

    if (GetShort(ifd, kTagPlanarConfig, &value) && value != kChunky)
        Error("bad planar configuration.");

    value = kPredictorNone;
    GetShort(ifd, kTagPredictor, &value);
    if (value != kPredictorNone && value != kPredictorHorizontal)
        Error("unknown differencing predictor.");
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
        Error("no allocatable memory for cell.");

    const std::uint32_t strips = static_cast<std::uint32_t>((std::uint64_t{h} + rps - 1) / rps);
    GetStrip(ifd, kTagStripOffsets, strips, "offset", &rd.offsets);
    GetStrip(ifd, kTagStripByteCounts, strips, "bytes count", &rd.counts);

    const std::uint32_t mask = 0xFFFFu >> (kMaxBits - fields.bits);
    std::size_t capacity = 0;
    for (std::uint32_t j = 0; j < h; ++j) {
        if (j % rps == 0) rd.decoder->start(rd.offsets[j / rps], rd.counts[j / rps]);
        GrowRowTable(j, h, &capacity);
        ReadRow(j, w, fields.bits);
        if (j + 1 == h || (j + 1) % rps == 0) rd.decoder->end();
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

int ReadImageFile(const char* path, std::int32_t* width, std::int32_t* height,
                  std::int32_t* bitsPerSample, std::uint16_t*** rows, char** description,
                  std::int32_t* photometric)
{
    return ReadImage(path, {width, height, bitsPerSample, rows, description, photometric});
}

void FreeImageFile(std::int32_t height, std::uint16_t** rows, char* description)
{
    if (rows != nullptr) {
        for (std::int32_t y = 0; y < height; ++y) std::free(rows[y]);
        std::free(rows);
    }
    std::free(description);
}
