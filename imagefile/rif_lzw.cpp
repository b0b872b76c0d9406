// The LZW strip decoder (see rif_decode.cpp for what every decoder keeps).
#include "rif_lzw.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "rif_input.hpp"
#include "tiff_format.hpp"

namespace rif {
namespace {

using namespace tiff;

// LZW decoder numbers.
constexpr std::uint32_t kNoCode = 256;  // lzw.old when there is no previous code
constexpr std::uint32_t kMaskMin = (1u << kBitsMin) - 1;

// LZW.  Every string a code stands for has already been handed out once,
// and a new code's string is the previous output string plus the first
// byte of the next one, so the decoder writes its output into a window and
// keeps each code as an offset and a length into it: defining a code is two
// stores, handing a string out is a copy of 16-byte blocks inside the
// window, and each request ends with one copy of its bytes to the caller.
// The single bytes 0..255 stand at their own offsets in front (set on first
// use; nothing ever writes there again).  The window starts over at each
// Clear and each strip.  It is bounded: once a table's output no longer
// fits (only very long strings, as in long runs, fill it), the window is
// frozen until the next Clear, further codes are kept as a prefix code and
// a last byte, and are handed out by walking back to the nearest code whose
// string is in the window.
//
// Static memory of the decoder's tables: window 768 KiB, offsets 16 KiB,
// lengths 8 KiB, chain links 8 KiB, chain bytes and first bytes 8 KiB:
// 808 KiB (with the encoder's 64 KiB table, below 1 MiB).
constexpr std::uint32_t kBlock = 16;  // strings are copied in blocks of this many bytes
constexpr std::uint32_t kLongest = kCodeCount - kCodeClear;  // longest string, 3840 bytes
constexpr std::uint32_t kWindowSize = 768u << 10;
constexpr std::uint32_t kBase = kCodeClear + kBlock;  // behind the single bytes
// Behind the output: the string of a chained code that did not fit.
constexpr std::uint32_t kScratch = kWindowSize - kLongest - kBlock;
constexpr std::uint32_t kFastEnd = kScratch - kLongest - kBlock;  // room for any string
constexpr std::uint32_t kChained = 0xFFFFFFFFu;                   // off of a code not in the window

// The bit reader, here and in every loop: the top cnt bits of acc are the
// stored bits read and not yet used, the bits below them zero.
struct LZWState {
    std::uint64_t acc = 0;                // the unconsumed bits, at the top
    std::uint32_t cnt = 0;                // how many (0..7 between calls)
    std::uint32_t len = 0;                // code width, 9..12
    std::uint32_t mask = 0;               // 2^len - 1
    std::uint32_t code = 0;               // next free table code, 258..4096
    std::uint32_t old = 0;                // previous code; kNoCode after a start or a Clear
    std::uint32_t pos = 0;                // end of the output in the window
    bool frozen = false;                  // the window is full: new codes are chained
    bool ready = false;                   // the single bytes stand in the window
    const unsigned char* rest = nullptr;  // output not yet handed out
    std::size_t rem = 0;                  // its bytes
    std::uint32_t off[kCodeCount];        // where each code's string starts in the window
    std::uint16_t size[kCodeCount];       // and its length
    std::uint16_t head[kCodeCount];       // chained codes: the prefix code
    unsigned char tail[kCodeCount];       // chained codes: the last byte
    unsigned char first[kCodeCount];      // chained codes: the first byte
    alignas(kBlock) unsigned char window[kWindowSize];
};
LZWState lzw;

void InitLZWDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    lzw.acc = 0;
    lzw.cnt = 0;
    lzw.len = kBitsMin;
    lzw.mask = kMaskMin;
    lzw.rem = 0;
    lzw.code = kCodeFirst;
    lzw.old = kNoCode;
    lzw.pos = kBase;
    lzw.frozen = false;
    rd.bytes = count;
    if (lzw.ready) return;
    for (std::uint32_t c = 0; c < kCodeClear; ++c) {
        lzw.window[c] = static_cast<unsigned char>(c);
        lzw.off[c] = c;
        lzw.size[c] = 1;
    }
    lzw.ready = true;
}

inline unsigned char LZWFirst(std::uint32_t c)
{
    return lzw.off[c] == kChained ? lzw.first[c] : lzw.window[lzw.off[c]];
}

// Writes the string of a chained code, exactly lzw.size[c] bytes, to dst.
void LZWWriteChained(unsigned char* dst, std::uint32_t c)
{
    unsigned char* p = dst + lzw.size[c];
    while (lzw.off[c] == kChained) {
        *--p = lzw.tail[c];
        c = lzw.head[c];
    }
    std::memcpy(dst, lzw.window + lzw.off[c], lzw.size[c]);
}

// Copies a string of `size` bytes inside the window from `src` to `at`, in
// whole blocks (up to kBlock - 1 bytes more are written).  The source may
// run into the copy only as the string of the code being defined, the
// previous string plus its own first byte: the caller puts that byte at
// `at` first, where the copy reads it (or, for a long string, writes it
// before reading it).
inline void LZWCopy(std::uint32_t at, std::uint32_t src, std::uint32_t size)
{
    unsigned char* const d = lzw.window + at;
    const unsigned char* const s = lzw.window + src;
    unsigned char block[kBlock];
    std::memcpy(block, s, kBlock);
    std::memcpy(d, block, kBlock);
    for (std::uint32_t k = kBlock; k < size; k += kBlock) {
        std::memcpy(block, s + k, kBlock);
        std::memcpy(d + k, block, kBlock);
    }
}

// Eight stored bytes as one big-endian word, bits through the fill order.
template <bool kReversed>
inline std::uint64_t LZWLoad(const unsigned char* in)
{
    std::uint64_t w = 0;
    std::memcpy(&w, in, sizeof w);
    if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    if constexpr (kReversed) w = ReverseEachByte(w);
    return w;
}

// The decoding loop's locals: the bit reader (as in LZWState), the table's
// state, where the input stands, and the output in the window: the previous
// string is the prevSize bytes in front of pos.
struct LZWRun {
    std::uint64_t acc;
    std::uint32_t cnt;
    std::uint32_t len;
    std::uint32_t mask;
    std::uint32_t next;
    std::uint32_t old;
    std::uint32_t pos;
    std::uint32_t prevSize;
    const unsigned char* in;
};

// Decodes codes into the window while they need no check beyond the loop's
// own: at least 8 stored bytes left, output below `limit`, a previous code,
// no width change and no full table on the way, and a string code.  Stops
// in front of the first code that does not qualify.  Each load of stored
// bytes leaves at least 56 bits, enough for 56 / kLen codes.  Kept out of line,
// so that its locals have the registers to themselves.
// One instance per code width, so that cutting a code takes constant
// shifts.
template <bool kReversed, std::uint32_t kLen>
[[gnu::noinline]] LZWRun LZWFast(LZWRun r, const unsigned char* end, std::uint32_t limit)
{
    std::uint64_t acc = r.acc;
    std::uint32_t cnt = r.cnt;
    const std::uint32_t last = r.mask - 2;  // the last next that can take a code here
    std::uint32_t next = r.next;
    std::uint32_t old = r.old;
    std::uint32_t pos = r.pos;
    std::uint32_t prevSize = r.prevSize;
    const unsigned char* in = r.in;
    const unsigned char* const inLast = end - 8;
    do {
        acc |= LZWLoad<kReversed>(in) >> cnt;
        in += (63 - cnt) >> 3;
        cnt |= 56;
#pragma GCC unroll 6
        for (std::uint32_t i = 0; i < 56 / kLen; ++i) {
            const auto code = static_cast<std::uint32_t>(acc >> (64 - kLen));
            if (code - kCodeClear < 2) goto done;
            const std::uint32_t prev = pos - prevSize;
            std::uint32_t src = prev;
            std::uint32_t size = prevSize + 1;
            if (code < next) {
                src = lzw.off[code];
                size = lzw.size[code];
            } else if (code == next) {
                lzw.window[pos] = lzw.window[prev];
            } else {
                goto done;
            }
            acc <<= kLen;
            cnt -= kLen;
            lzw.off[next] = prev;
            lzw.size[next] = static_cast<std::uint16_t>(prevSize + 1);
            ++next;
            old = code;
            LZWCopy(pos, src, size);
            pos += size;
            prevSize = size;
            if (pos >= limit || next > last) goto done;
        }
    } while (in <= inLast);
done:
    return {acc, cnt, kLen, r.mask, next, old, pos, prevSize, in};
}

template <bool kReversed>
LZWRun LZWFastAnyWidth(LZWRun r, const unsigned char* end, std::uint32_t limit)
{
    if (r.old == kNoCode || end - r.in < 8 || r.pos >= limit || r.next + 1 >= r.mask) return r;
    switch (r.len) {
        case 9:
            return LZWFast<kReversed, 9>(r, end, limit);
        case 10:
            return LZWFast<kReversed, 10>(r, end, limit);
        case 11:
            return LZWFast<kReversed, 11>(r, end, limit);
        default:
            return LZWFast<kReversed, 12>(r, end, limit);
    }
}

// Reads stored bytes one at a time, within the strip's count, until `need`
// bits (at most 57) are pending; false when the count runs out first.
bool LZWReadBits(std::uint64_t* acc, std::uint32_t* cnt, std::uint32_t need)
{
    while (*cnt < need) {
        if (rd.bytes == 0) return false;
        *acc |= std::uint64_t{GetStored()} << (56 - *cnt);
        *cnt += 8;
        --rd.bytes;
    }
    return true;
}

// Fetches a code of len bits when the stored bytes may run out: the checked
// path.
[[gnu::noinline]] LZWRun LZWFetchSlow(LZWRun r, std::uint32_t* code)
{
    if (!LZWReadBits(&r.acc, &r.cnt, r.len)) FileError("LZW too few codes.");
    *code = static_cast<std::uint32_t>(r.acc >> (64 - r.len));
    r.acc <<= r.len;
    r.cnt -= r.len;
    return r;
}

// Hands out the string of `code`, `size` bytes, of a frozen window to dst
// with `room` bytes left; what does not fit is kept in lzw.rest.  Returns
// the bytes written.
[[gnu::noinline]] std::size_t LZWEmitFrozen(unsigned char* dst, std::size_t room,
                                            std::uint32_t code, std::size_t size)
{
    const unsigned char* src = lzw.window + kScratch;
    if (lzw.off[code] != kChained) {
        src = lzw.window + lzw.off[code];
    } else if (size <= room) {
        LZWWriteChained(dst, code);
        return size;
    } else {
        LZWWriteChained(lzw.window + kScratch, code);
    }
    if (size <= room) {
        std::memcpy(dst, src, size);
        return size;
    }
    std::memcpy(dst, src, room);
    lzw.rest = src + room;
    lzw.rem = size - room;
    return room;
}

// The decoder state goes into an LZWRun for the loop and back to `lzw` on
// the way out.  Codes are cut from the stored bytes that are both buffered
// and inside the strip's count, eight bytes loaded at a time and without
// further checks (LZWFast); every code that it leaves, and those near the
// end of the input, go through the checked step here, with LZWFetchSlow
// reading the stored bytes one at a time.  Reading runs up to 7 bytes ahead
// of the codes; those bytes are given back (settle) before anything else
// looks at the input or the state, which then is exactly that of
// byte-by-byte reading.  The output since `from` in the window goes to dst
// when the request is complete, at a Clear and when the window freezes;
// with a frozen window each string goes to dst itself.
template <bool kReversed>
void LZWCodes(unsigned char* dst, std::size_t n)
{
    unsigned char* const dstEnd = dst + n;
    LZWRun r{lzw.acc,         lzw.cnt, lzw.len, lzw.mask,
             lzw.code,        lzw.old, lzw.pos, lzw.old == kNoCode ? 0u : lzw.size[lzw.old],
             inBuf + rd.inPos};
    const unsigned char* start = r.in;
    const unsigned char* end =
        start + static_cast<std::size_t>(std::min<std::uint64_t>(rd.inLen - rd.inPos, rd.bytes));
    const auto settle = [&r, &start] {
        const std::uint32_t ahead = r.cnt / 8;
        r.in -= ahead;
        r.cnt -= 8 * ahead;
        r.acc = r.cnt == 0 ? 0 : r.acc & ~(~std::uint64_t{0} >> r.cnt);
        rd.inPos += static_cast<std::size_t>(r.in - start);
        rd.bytes -= static_cast<std::uint64_t>(r.in - start);
        start = r.in;
    };
    std::uint32_t from = r.pos;
    const auto flush = [&] {
        std::memcpy(dst, lzw.window + from, r.pos - from);
        dst += r.pos - from;
        from = r.pos;
    };
    for (;;) {
        if (!lzw.frozen) {
            const auto want = static_cast<std::size_t>(dstEnd - dst);
            if (r.pos - from >= want) break;
            r = LZWFastAnyWidth<kReversed>(
                r, end, static_cast<std::uint32_t>(std::min<std::size_t>(from + want, kFastEnd)));
            if (r.pos - from >= want) break;
        } else if (dst == dstEnd) {
            break;
        }
        std::uint32_t code = 0;
        if (r.cnt >= r.len) {
            code = static_cast<std::uint32_t>(r.acc >> (64 - r.len));
            r.acc <<= r.len;
            r.cnt -= r.len;
        } else {
            settle();
            r = LZWFetchSlow(r, &code);
            start = r.in = inBuf + rd.inPos;
            end = start +
                  static_cast<std::size_t>(std::min<std::uint64_t>(rd.inLen - rd.inPos, rd.bytes));
        }
        if (code == kCodeEOI) FileError("LZW unexpected end of code.");
        if (code == kCodeClear) {
            if (!lzw.frozen) flush();
            lzw.frozen = false;
            from = r.pos = kBase;
            r.len = kBitsMin;
            r.mask = kMaskMin;
            r.old = kNoCode;
            continue;
        }
        if (r.old == kNoCode) {
            if (code >= kCodeFirst) FileError("LZW bad code after clear code.");
            r.next = kCodeFirst;
            r.old = code;
            lzw.window[r.pos++] = static_cast<unsigned char>(code);
            r.prevSize = 1;
            continue;
        }
        if (r.next == kCodeCount) FileError("LZW missing clear code.");
        if (code > r.next) FileError("LZW bad code.");
        // The new string is the previous one plus the first byte of this
        // one; when the code is the one being defined, that first byte is
        // the previous string's own.
        const std::uint32_t size = code < r.next ? lzw.size[code] : lzw.size[r.old] + 1u;
        if (!lzw.frozen && r.pos + size + kBlock > kScratch) {
            flush();
            lzw.frozen = true;
        }
        if (!lzw.frozen) {
            const std::uint32_t prev = r.pos - r.prevSize;
            lzw.off[r.next] = prev;
            lzw.size[r.next] = static_cast<std::uint16_t>(r.prevSize + 1);
            if (code == r.next) lzw.window[r.pos] = lzw.window[prev];
            LZWCopy(r.pos, code < r.next ? lzw.off[code] : prev, size);
            r.pos += size;
            r.prevSize = size;
        } else {
            lzw.tail[r.next] = LZWFirst(code < r.next ? code : r.old);
            lzw.first[r.next] = LZWFirst(r.old);
            lzw.head[r.next] = static_cast<std::uint16_t>(r.old);
            lzw.off[r.next] = kChained;
            lzw.size[r.next] = static_cast<std::uint16_t>(lzw.size[r.old] + 1);
            dst += LZWEmitFrozen(dst, static_cast<std::size_t>(dstEnd - dst), code, size);
        }
        ++r.next;
        if (r.next == r.mask && r.len < kBitsMax) {
            ++r.len;
            r.mask = 2 * r.mask + 1;
        }
        r.old = code;
    }
    if (!lzw.frozen) {
        const auto want = static_cast<std::size_t>(dstEnd - dst);
        std::memcpy(dst, lzw.window + from, want);
        lzw.rest = lzw.window + from + want;
        lzw.rem = r.pos - from - want;
    }
    settle();
    lzw.acc = r.acc;
    lzw.cnt = r.cnt;
    lzw.len = r.len;
    lzw.mask = r.mask;
    lzw.code = r.next;
    lzw.old = r.old;
    lzw.pos = r.pos;
}

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
    if (n == 0) return;
    if (rd.reversed)
        LZWCodes<true>(dst, n);
    else
        LZWCodes<false>(dst, n);
}

void TermLZWDecode()
{
    if (lzw.rem > 0) {
        FileWarning("LZW too many data");
        return;
    }
    // The last code, at the width in force or, written before a pending
    // increase, one bit narrower.
    const auto endsAt = [](std::uint32_t width) {
        return static_cast<std::uint32_t>(lzw.acc >> (64 - width)) == kCodeEOI;
    };
    if (!LZWReadBits(&lzw.acc, &lzw.cnt, lzw.len)) {
        // The stored bytes ran out inside the last code: it is correct
        // only as an end code one bit narrower, complete to its last bit.
        if (lzw.cnt + 1 != lzw.len || !endsAt(lzw.len - 1)) FileWarning("LZW missing end of code");
        return;
    }
    if (rd.bytes != 0) {
        FileWarning("LZW too many code");
        return;
    }
    if (!endsAt(lzw.len) && !endsAt(lzw.len - 1)) FileWarning("LZW missing end of code");
}

}  // namespace

const Decoder kLZWDecoder = {kCompressionLZW, InitLZWDecode, LZWDecode, TermLZWDecode};

}  // namespace rif
