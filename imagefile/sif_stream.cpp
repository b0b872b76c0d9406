// The writer's byte stream and the LZW strips in it: the output buffer in
// front of the file, the LZW encoder and the packing of rows into bytes.
#include "sif_stream.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>

#include "sif_storage.hpp"
#include "tiff_format.hpp"

namespace sif {
namespace {

using namespace tiff;

// LZW encoder numbers.
constexpr int kRoofMin = 1 << kBitsMin;  // next free code at which 9 bits become 10
constexpr int kNoPrefix = kCodeCount;    // head before the first byte of a strip
// The string table: 16384 slots of 32 bits (64 KiB of static memory), at
// most 3836 strings, so it is never more than about 23 % full and a lookup
// almost always ends at its first slot.  A slot holds the key (prefix << 20
// | byte << 12) and the string's code in its low 12 bits; all ones marks an
// empty slot, which no string can match since prefixes stop at 4093.  The
// first slot is the top 14 bits of one multiplication of prefix << 8 |
// byte, so keys whose prefixes are assigned in order and whose bytes are
// correlated spread out; collisions probe the next slot.
//
// In front of it, one entry per code (16 KiB) remembers the last string
// found or made by extending that code: byte << 12 | code of the longer
// string, all ones for none.  In smooth images the next byte mostly
// repeats that extension, and the entry, indexed by the prefix itself,
// answers without the multiplication and from a table small enough to stay
// in the first-level cache; the string table answers the rest.  An entry
// is emptied when its code is assigned (the literal codes at every Clear),
// so it never names a string of an earlier table.  A second such table
// (16 KiB) remembers the extension by the next two bytes, made whenever
// two extensions followed each other, and lets runs advance two bytes a
// step.  In noisy images the extensions rarely repeat and their tests
// only cost, so whether a strip uses them follows from how often they
// answered before (kExtendEighths).  How the tables are organised and
// searched has no effect on the codes written.
constexpr std::uint32_t kTableSize = 16384;
constexpr std::uint32_t kTableMask = kTableSize - 1;
constexpr std::uint32_t kHashMultiplier = 0x9E3779B1u;  // odd, from the golden ratio
constexpr int kHashShift = 32 - 14;
constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;
constexpr std::uint32_t kCodeMask = 0xFFF;
// Measured on smooth and noisy images: a strip in which the remembered
// extensions answer most bytes is encoded faster with them (about twice as
// fast when they answer nine in ten), one in which they answer fewer than
// about three in five slower (up to 40 % when they answer almost none).
// So a strip is encoded with them when they answered at least
// kExtendEighths / 8 of the strip before, and after kPlainRun strips
// without them the next one tries them again.
constexpr std::int64_t kExtendEighths = 5;
// Emptying a slot at a time beats sweeping the whole table up to about
// this many filled slots.
constexpr std::uint32_t kClearOneByOne = kTableSize / 16;
constexpr int kPlainRun = 32;

// Output buffer in front of the storage module's stream: the stream is written in large blocks
// instead of one call per byte.  Nothing observable depends on it.
constexpr std::size_t kOutSize = 1 << 16;
unsigned char outBuf[kOutSize];
std::size_t outLen = 0;

// Rows are packed into this buffer a chunk at a time and encoded from it.
// A byte in yields at most two code writes (a prefix and a Clear) of 12
// bits each, so at most 4 bytes out; a chunk therefore always fits the
// output buffer once it has been flushed.
constexpr std::size_t kChunkSize = 4096;
constexpr std::size_t kOutPerByte = 4;
// A code write stores 8 bytes at the output position, up to 6 beyond the
// bytes it completes.
constexpr std::size_t kStoreSlack = 8;
static_assert(kOutPerByte * (kChunkSize + 1) + kStoreSlack <= kOutSize);
unsigned char chunk[kChunkSize];

// The LZW encoder's state: the strip being written, its string table and
// the extensions in front of it, and the choice of extensions per strip.
// EncodeWith keeps the hot fields in locals for the whole call.
struct LZWEncoder {
    std::uint32_t buf = 0;  // bit buffer; codes enter at the low end
    std::int32_t num = 0;   // pending low bits of buf, 0..7 between codes
    std::int32_t len = 0;   // current code width, 9..12
    std::int32_t code = 0;  // next free code, 258..4094
    std::int32_t roof = 0;  // code at which the width grows
    std::int32_t head = 0;  // code of the current prefix; kNoPrefix for none
    // Bytes written since the current strip began; 64 bits so that even an
    // absurdly long single-row strip is counted exactly and refused as too
    // large instead of wrapping.
    std::int64_t bytes = 0;
    std::uint32_t str[kTableSize];   // prefix << 20 | byte << 12 | code; kEmptySlot = empty
    std::uint32_t next[kCodeCount];  // byte << 12 | code of the last extension; kEmptySlot = none
    // (first byte | second byte << 8) << 12 | code of the last extension by
    // two bytes; kEmptySlot = none.  The last entry, for no code, takes the
    // writes that have no code to go to and is never read.
    std::uint32_t pair[kCodeCount + 1];
    // The slots filled since the string table was last emptied, in order
    // (one per assigned code), and how many.  Only strips that consult the
    // extensions, those of smooth images, which leave few strings, keep the
    // list; after the others, and before the first emptying, the count is
    // more than kClearOneByOne and the whole table is cleared.
    std::uint16_t filled[kCodeLimit - kCodeFirst];
    std::uint32_t fills = kTableSize;
    bool extend = false;        // this strip consults next and pair
    std::int64_t taken = 0;     // bytes taken in this strip
    std::int64_t answered = 0;  // of them, bytes the extensions answered
    int plain = 0;              // strips encoded without the extensions in a row
};
LZWEncoder lzw;

}  // namespace

void StartOutput()
{
    outLen = 0;
}

void Flush()
{
    if (outLen != 0 && !WriteOutput(outBuf, outLen)) NotStored();
    outLen = 0;
}

void PutByte(unsigned value)
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

namespace {

inline void PutCode(std::uint32_t code, std::int32_t width)
{
    lzw.buf = (lzw.buf << width) | code;
    lzw.num += width;
    while (lzw.num > 7) {
        lzw.num -= 8;
        PutByte((lzw.buf >> lzw.num) & 0xFF);
        ++lzw.bytes;
    }
}

// Empties the string table, in which `fills` slots have been filled (the
// first of lzw.filled), and the extensions of the literal codes, by one
// byte and by two; the other codes' extensions are emptied as the codes
// are assigned.  A table with few strings, as a strip of a smooth image
// leaves it, is emptied slot by slot, a fuller one in one sweep.
void ClearTables(std::uint32_t fills)
{
    if (fills <= kClearOneByOne) {
        for (std::uint32_t i = 0; i < fills; ++i) lzw.str[lzw.filled[i]] = kEmptySlot;
    } else {
        std::memset(lzw.str, 0xFF, sizeof lzw.str);
    }
    std::memset(lzw.next, 0xFF, sizeof lzw.next[0] * kCodeClear);
    std::memset(lzw.pair, 0xFF, sizeof lzw.pair[0] * kCodeClear);
}

void ResetTable()
{
    lzw.len = kBitsMin;
    ClearTables(lzw.fills);
    lzw.fills = 0;
    lzw.code = kCodeFirst;
    lzw.roof = kRoofMin;
}

// Stores the 64 bits `value` most significant byte first at `out`.
inline void Store64BigEndian(unsigned char* out, std::uint64_t value)
{
    if constexpr (std::endian::native == std::endian::little) {
        value = __builtin_bswap64(value);
        std::memcpy(out, &value, sizeof value);
    } else if constexpr (std::endian::native == std::endian::big) {
        std::memcpy(out, &value, sizeof value);
    } else {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    }
}

// Encodes the next `n` bytes of the current strip, one LZW step per byte;
// element i of `in` supplies its low 8 bits.  The encoder state lives in
// locals for the whole call and the output space is reserved up front, so
// the inner loop is one table probe in the common case and, for a new
// string, one code write: the pending bits, at most 7 plus a 12-bit code,
// go out as one 8-byte store, of which only the completed bytes count.
// kExtend consults and keeps the last extensions of each code, by two
// bytes and by one, first.
template <bool kExtend, typename T>
void EncodeWith(const T* in, std::size_t n)
{
    if (n == 0) return;
    if (outLen + kOutPerByte * n + kOutPerByte + kStoreSlack > kOutSize) Flush();
    lzw.taken += static_cast<std::int64_t>(n);
    unsigned char* out = outBuf + outLen;
    std::uint64_t buf = lzw.buf;
    std::uint32_t num = static_cast<std::uint32_t>(lzw.num);
    std::uint32_t len = static_cast<std::uint32_t>(lzw.len);
    std::uint32_t code = static_cast<std::uint32_t>(lzw.code);
    std::uint32_t roof = static_cast<std::uint32_t>(lzw.roof);
    std::uint32_t head = static_cast<std::uint32_t>(lzw.head);
    std::int64_t answered = 0;
    std::uint32_t fills = lzw.fills;
    auto put = [&](std::uint32_t value) {
        buf = (buf << len) | value;
        num += len;  // 9..19 bits pending
        Store64BigEndian(out, buf << (64 - num));
        out += num >> 3;
        num &= 7;
    };

    std::size_t i = 0;
    if (head == kNoPrefix) head = static_cast<unsigned char>(in[i++]);
    // The prefix one byte back and that byte, while the last step extended
    // a prefix; kNoPrefix otherwise.
    std::uint32_t back = kNoPrefix;
    std::uint32_t backByte = 0;
    for (; i < n; ++i) {
        const std::uint32_t c = static_cast<unsigned char>(in[i]);
        if constexpr (kExtend) {
            if (i + 1 < n) {
                const std::uint32_t pair = c | static_cast<unsigned char>(in[i + 1]) << 8;
                const std::uint32_t two = lzw.pair[head];
                if ((two >> 12) == pair) {  // two bytes at once
                    head = two & kCodeMask;
                    ++i;
                    answered += 2;
                    back = kNoPrefix;
                    continue;
                }
            }
            const std::uint32_t next = lzw.next[head];
            if ((next >> 12) == c) {
                const std::uint32_t longer = next & kCodeMask;
                lzw.pair[back] = ((backByte | c << 8) << 12) | longer;
                back = head;
                backByte = c;
                head = longer;
                ++answered;
                continue;
            }
        }
        const std::uint32_t key = (head << 20) | (c << 12);
        std::uint32_t h = (((head << 8) | c) * kHashMultiplier) >> kHashShift;
        std::uint32_t slot = lzw.str[h];
        if constexpr (!kExtend) {
            if ((slot ^ key) <= kCodeMask) {  // found at the first probe
                head = slot & kCodeMask;
                continue;
            }
            while (slot != kEmptySlot) {
                h = (h + 1) & kTableMask;
                slot = lzw.str[h];
                if ((slot ^ key) <= kCodeMask) break;
            }
        } else {
            while (slot != kEmptySlot && (slot ^ key) > kCodeMask) {
                h = (h + 1) & kTableMask;
                slot = lzw.str[h];
            }
        }
        if (slot != kEmptySlot) {
            const std::uint32_t longer = slot & kCodeMask;
            if constexpr (kExtend) {
                lzw.next[head] = (c << 12) | longer;
                lzw.pair[back] = ((backByte | c << 8) << 12) | longer;
                back = head;
                backByte = c;
            }
            head = longer;
            continue;
        }
        back = kNoPrefix;
        put(head);
        if (code == kCodeLimit) {
            put(kCodeClear);  // with the full 12 bits, before the width drops
            ClearTables(kExtend ? fills : kTableSize);
            fills = 0;
            len = kBitsMin;
            code = kCodeFirst;
            roof = kRoofMin;
        } else {
            lzw.str[h] = key | code;
            if constexpr (kExtend) lzw.filled[fills++] = static_cast<std::uint16_t>(h);
            if constexpr (kExtend) {
                lzw.next[head] = (c << 12) | code;
                lzw.next[code] = kEmptySlot;
                lzw.pair[code] = kEmptySlot;
            }
            if (++code == roof) {
                roof = 2 * code;
                ++len;
            }
        }
        head = c;
    }

    lzw.bytes += out - (outBuf + outLen);
    outLen = static_cast<std::size_t>(out - outBuf);
    lzw.answered += answered;
    lzw.fills = kExtend ? fills : kTableSize;
    lzw.buf = static_cast<std::uint32_t>(buf);
    lzw.num = static_cast<std::int32_t>(num);
    lzw.len = static_cast<std::int32_t>(len);
    lzw.code = static_cast<std::int32_t>(code);
    lzw.roof = static_cast<std::int32_t>(roof);
    lzw.head = static_cast<std::int32_t>(head);
}

template <typename T>
void Encode(const T* in, std::size_t n)
{
    if (lzw.extend)
        EncodeWith<true>(in, n);
    else
        EncodeWith<false>(in, n);
}

// Bits per sample outside 1 to 32: nothing in the suite writes such a file,
// but the row still yields exactly its bytes-per-row length, each sample as
// `bits` bits with zeros above its 16, so that no buffer is overrun and the
// strips agree with the declared layout.  A width of 0 or less yields nothing.
void EncodeRowOutside(const std::uint16_t* row, std::size_t count, std::int32_t bits)
{
    if (bits <= 0) return;
    unsigned acc = 0;
    int pending = 0;
    std::size_t filled = 0;
    for (std::size_t x = 0; x < count; ++x) {
        for (std::int32_t b = bits - 1; b >= 0; --b) {
            acc = (acc << 1) | (b < 16 ? (row[x] >> b) & 1u : 0u);
            if (++pending < 8) continue;
            chunk[filled++] = static_cast<unsigned char>(acc);
            acc = 0;
            pending = 0;
            if (filled == kChunkSize) {
                Encode(chunk, filled);
                filled = 0;
            }
        }
    }
    if (pending > 0) chunk[filled++] = static_cast<unsigned char>(acc << (8 - pending));
    Encode(chunk, filled);
}

}  // namespace

// Starts a strip and chooses whether it consults the extensions: the first
// strip of a file does, a further one when they answered enough bytes of
// the strip before, or after a run of strips without them.
void InitLZWEncode(bool first)
{
    if (first || (lzw.extend && 8 * lzw.answered >= kExtendEighths * lzw.taken)) {
        lzw.extend = true;
    } else if (lzw.extend) {
        lzw.extend = false;
        lzw.plain = 1;
    } else {
        lzw.extend = ++lzw.plain > kPlainRun;
    }
    lzw.taken = 0;
    lzw.answered = 0;
    lzw.bytes = 0;
    lzw.num = 0;
    lzw.len = kBitsMin;
    PutCode(kCodeClear, lzw.len);
    ResetTable();
    lzw.head = kNoPrefix;
}

std::int64_t TermLZWEncode()
{
    if (lzw.head != kNoPrefix) {
        PutCode(static_cast<std::uint32_t>(lzw.head), lzw.len);
        // The decoder assigns one more string after this code, so the EOI
        // takes the width it will expect.
        if (++lzw.code == lzw.roof) ++lzw.len;
    }
    PutCode(kCodeEOI, lzw.len);
    if (lzw.num > 0) {
        PutByte((lzw.buf << (8 - lzw.num)) & 0xFF);
        ++lzw.bytes;
    }
    return lzw.bytes;
}

// Packs one row into bytes, most significant bit first for the fractional
// widths, and passes them to the encoder a chunk at a time.  Samples are
// masked to their width so that a sample too large for the depth cannot
// spill into its neighbours.
void EncodeRow(const std::uint16_t* row, std::int32_t width, std::int32_t bits)
{
    const std::size_t count = width > 0 ? static_cast<std::size_t>(width) : 0;
    if (bits == 8 || bits == 16 || bits == 32) {
        const std::size_t step = static_cast<std::size_t>(bits) / 8;  // bytes per sample
        const std::size_t perChunk = kChunkSize / step;
        for (std::size_t x = 0; x < count; x += perChunk) {
            const std::size_t n = std::min(perChunk, count - x);
            const std::uint16_t* in = row + x;
            // 8 bits: the encoder takes each sample's low byte straight from
            // the row.  16 bits on a little-endian machine: the row's own
            // bytes are the stored order.
            if (bits == 8) {
                Encode(in, n);
                continue;
            }
            if (bits == 16 && std::endian::native == std::endian::little) {
                Encode(reinterpret_cast<const unsigned char*>(in), 2 * n);
                continue;
            }
            if (bits == 16) {
                for (std::size_t j = 0; j < n; ++j) {
                    chunk[2 * j] = static_cast<unsigned char>(in[j]);
                    chunk[2 * j + 1] = static_cast<unsigned char>(in[j] >> 8);
                }
            } else {
                for (std::size_t j = 0; j < n; ++j) {
                    chunk[4 * j] = static_cast<unsigned char>(in[j]);
                    chunk[4 * j + 1] = static_cast<unsigned char>(in[j] >> 8);
                    chunk[4 * j + 2] = 0;
                    chunk[4 * j + 3] = 0;
                }
            }
            Encode(chunk, n * step);
        }
        return;
    }
    if (bits <= 0 || bits > 32) {
        EncodeRowOutside(row, count, bits);
        return;
    }
    // At most 7 bits wait in the accumulator before a sample of up to 31
    // bits is added, so 64 bits always suffice.
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    std::uint64_t acc = 0;
    int pending = 0;
    std::size_t filled = 0;
    for (std::size_t x = 0; x < count; ++x) {
        acc = (acc << bits) | (row[x] & mask);
        pending += bits;
        while (pending >= 8) {
            pending -= 8;
            chunk[filled++] = static_cast<unsigned char>(acc >> pending);
        }
        // A sample adds at most 4 bytes; keep room for the next one.
        if (filled > kChunkSize - 4) {
            Encode(chunk, filled);
            filled = 0;
        }
    }
    if (pending > 0) chunk[filled++] = static_cast<unsigned char>(acc << (8 - pending));
    Encode(chunk, filled);
}

}  // namespace sif
