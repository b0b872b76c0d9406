// The strip decoders: uncompressed, LZW and PackBits.
//
// A decoder fills a caller's byte buffer with as many uncompressed bytes as
// the current rows need, never more, so a fault in the data is reported at
// the same point, and with the same message, as if the bytes were taken one
// at a time.  Warnings come only from the end check of a strip, after its
// last row.
#include <algorithm>
#include <bit>
#include <cstring>

#include "rif_reader.hpp"
#include "tiff_format.hpp"

namespace rif {
namespace {

using namespace tiff;

// LZW decoder numbers.
constexpr std::uint32_t kNoCode = 256;  // lzw.old when there is no previous code
constexpr std::uint32_t kMaskMin = (1u << kBitsMin) - 1;

// PackBits numbers.
constexpr unsigned kPackBitsNoop = 128;
constexpr unsigned kPackBitsRunBase = 257;  // header h > 128: 257 - h copies

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

constexpr Decoder kDecoders[] = {
    {kCompressionNone, InitNICDecode, NICDecode, TermNICDecode},
    {kCompressionLZW, InitLZWDecode, LZWDecode, TermLZWDecode},
    {kCompressionPackBits, InitMPBDecode, MPBDecode, TermMPBDecode},
};

}  // namespace

const Decoder* FindDecoder(std::uint32_t compression)
{
    for (const Decoder& decoder : kDecoders)
        if (decoder.compression == compression) return &decoder;
    return nullptr;
}

}  // namespace rif
