// The strip decoders: uncompressed and PackBits here, LZW in rif_lzw.cpp,
// and the table of all three (see rif_decode.hpp).
//
// A decoder fills a caller's byte buffer with exactly as many uncompressed
// bytes as the current rows need (it writes nothing behind them, so 16-bit
// rows are decoded in place), never decoding further, so a fault in the
// data is reported at the same point, and with the same message, as if the
// bytes were taken one at a time.  The fast loops work on whole blocks only
// where the buffered stored bytes, the strip's count and the request all
// have room for them; every other step is the checked one.  Warnings come
// only from the end check of a strip, after its last row.
#include "rif_decode.hpp"

#include <algorithm>
#include <cstring>

#include "rif_input.hpp"
#include "rif_lzw.hpp"
#include "tiff_format.hpp"

namespace rif {
namespace {

using namespace tiff;

// PackBits numbers.
constexpr unsigned kPackBitsNoop = 128;
constexpr unsigned kPackBitsRunBase = 257;  // header h > 128: 257 - h copies

// Uncompressed.
void InitNICDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    rd.bytes = count;
}

void NICDecode(unsigned char* dst, std::size_t n)
{
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, rd.bytes));
    ReadAll(dst, k);
    CopyInFillOrder(dst, dst, k);
    rd.bytes -= k;
    if (k < n) FileError("too few codes.");
}

void TermNICDecode()
{
    if (rd.bytes != 0) FileWarning("too many codes");
}

// PackBits: the packet being decoded.
struct PackBitsState {
    std::int32_t len = 0;  // > 0: literals left; < 0: minus the copies left
    unsigned rep = 0;      // the byte being repeated
};
PackBitsState mpb;

void InitMPBDecode(std::uint32_t offset, std::uint32_t count)
{
    Seek(offset);
    mpb = PackBitsState{};
    rd.bytes = count;
}

inline unsigned MPBByte()
{
    if (rd.bytes == 0) FileError("MPB too few codes.");
    --rd.bytes;
    return GetStored();
}

// One step of the decoder with every check: a literal group or a header.  Used where the buffered
// stored bytes or the strip's count may run out.  Returns the number of bytes made.
std::size_t MPBStep(unsigned char* dst, std::size_t n)
{
    if (mpb.len > 0) {
        const std::size_t want = std::min<std::size_t>(n, static_cast<std::size_t>(mpb.len));
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(want, rd.bytes));
        ReadAll(dst, k);
        CopyInFillOrder(dst, dst, k);
        rd.bytes -= k;
        if (k < want) FileError("MPB too few codes.");
        mpb.len -= static_cast<std::int32_t>(k);
        return k;
    }
    // A run needs no stored bytes and never comes here.
    unsigned h = MPBByte();
    while (h == kPackBitsNoop) h = MPBByte();
    if (h < kPackBitsNoop) {
        mpb.len = static_cast<std::int32_t>(h) + 1;
    } else {
        mpb.rep = MPBByte();
        mpb.len = -static_cast<std::int32_t>(kPackBitsRunBase - h);
    }
    return 0;
}

// Whole packets of at most kShortPacket bytes, while more stored bytes than
// that are at hand and that many bytes of room are left: kShortPacket bytes
// are copied from the literal, or from a block filled with the run's byte,
// whichever the header says, so that mixed literals and runs cost no
// mispredicted branches.  Returns where the stored bytes stop, in front of
// the first other header.
constexpr unsigned kShortPacket = 64;
// One instance per fill order: with the normal one the header is the
// stored byte itself, and the chain from one header to the next has no
// table lookup in it.
template <bool kReversed>
const unsigned char* MPBShortPackets(const unsigned char* p, const unsigned char* end,
                                     unsigned char** dst, std::size_t* n)
{
    const auto byte = [](unsigned char b) -> unsigned { return InFillOrder(b, kReversed); };
    unsigned char* out = *dst;
    std::size_t left = *n;
    while (end - p > std::ptrdiff_t{kShortPacket} && left >= kShortPacket) {
        const unsigned h = byte(p[0]);
        // Literals of 1..64 bytes (h 0..63) and runs of 2..64 (h 193..255).
        if (((h + kShortPacket - 1) & 0xFF) >= 2 * kShortPacket - 1) {
            // Longer literals (the usual packet of noisy data) are one
            // fixed copy too while there is room for the longest.
            if (h >= kPackBitsNoop || end - p <= std::ptrdiff_t{kPackBitsNoop} ||
                left < kPackBitsNoop)
                break;
            const std::size_t count = h + 1;
            std::memcpy(out, p + 1, kPackBitsNoop);
            if (kReversed) CopyInFillOrder(out, out, count);
            p += count + 1;
            out += count;
            left -= count;
            continue;
        }
        const bool literal = h < kPackBitsNoop;
        const std::size_t count = literal ? h + 1 : kPackBitsRunBase - h;
        unsigned char run[kShortPacket];
        std::memset(run, static_cast<int>(byte(p[1])), kShortPacket);
        std::memcpy(out, literal ? p + 1 : run, kShortPacket);
        if (kReversed && literal) CopyInFillOrder(out, out, count);
        p += literal ? count + 1 : 2;
        out += count;
        left -= count;
    }
    *dst = out;
    *n = left;
    return p;
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
        std::int32_t len = mpb.len;
        unsigned rep = mpb.rep;
        while (n > 0) {
            if (len > 0) {
                const std::size_t k = std::min<std::size_t>(n, static_cast<std::size_t>(len));
                if (k > static_cast<std::size_t>(end - p)) break;
                CopyInFillOrder(dst, p, k);
                p += k;
                dst += k;
                n -= k;
                len -= static_cast<std::int32_t>(k);
            } else if (len < 0) {
                const std::size_t k = std::min<std::size_t>(n, static_cast<std::size_t>(-len));
                std::memset(dst, static_cast<int>(rep), k);
                dst += k;
                n -= k;
                len += static_cast<std::int32_t>(k);
            } else {
                p = rd.reversed ? MPBShortPackets<true>(p, end, &dst, &n)
                                : MPBShortPackets<false>(p, end, &dst, &n);
                if (n == 0) break;
                if (end - p < 2) break;  // a header and its run byte
                const unsigned h = InFillOrder(*p++, rd.reversed);
                if (h < kPackBitsNoop) {
                    len = static_cast<std::int32_t>(h) + 1;
                } else if (h > kPackBitsNoop) {
                    rep = InFillOrder(*p++, rd.reversed);
                    len = -static_cast<std::int32_t>(kPackBitsRunBase - h);
                }
            }
        }
        mpb.len = len;
        mpb.rep = rep;
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
    if (mpb.len != 0)
        FileWarning("MPB too many data");
    else if (rd.bytes != 0)
        FileWarning("MPB too many code");
}

constexpr Decoder kNoneDecoder = {kCompressionNone, InitNICDecode, NICDecode, TermNICDecode};
constexpr Decoder kPackBitsDecoder = {kCompressionPackBits, InitMPBDecode, MPBDecode,
                                      TermMPBDecode};
constexpr const Decoder* kDecoders[] = {&kNoneDecoder, &kLZWDecoder, &kPackBitsDecoder};

}  // namespace

const Decoder* FindDecoder(std::uint32_t compression)
{
    for (const Decoder* decoder : kDecoders)
        if (decoder->compression == compression) return decoder;
    return nullptr;
}

}  // namespace rif
