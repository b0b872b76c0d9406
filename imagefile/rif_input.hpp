// The reader's input (rif_input.cpp): the state of the file being read, its
// stored bytes, the fill order they are read in and the path-prefixed
// messages.  Internal to the image-file library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace rif {

constexpr std::size_t kInSize = std::size_t{1} << 16;  // stored-byte buffer

// The reader's state for the file being read; each call starts from a
// fresh one.
struct Reader {
    const char* path = "";
    std::FILE* file = nullptr;
    bool reversed = false;   // fill order 2: every stored byte bit-reversed
    bool bigEndian = false;  // "MM" file
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
    // What has been allocated so far, released on a fatal error.
    std::uint16_t** rowTable = nullptr;
    std::uint32_t rowsMade = 0;
    char* text = nullptr;
    std::uint32_t* offsets = nullptr;
    std::uint32_t* counts = nullptr;
};

// Stored bytes come through inBuf; rd.inBase is the file offset of inBuf[0].
extern Reader rd;
extern unsigned char inBuf[kInSize];

// "<path> : <message>" on standard error; releases what the reader holds
// and ends the process.
[[noreturn]] void FileError(const char* message);
// "<path> : <message> (warning)." on standard error.
void FileWarning(const char* message);
// Closes the file and frees what the reader holds; the state starts afresh.
void ReleaseReader();

void Seek(std::uint64_t offset);
// Loads the bytes that follow the buffer.  Returns false at the end of the
// file; a stream that cannot seek there counts as ended.
bool Refill();
// Copies up to n bytes from the file; returns how many there were.
std::size_t ReadSome(unsigned char* dst, std::size_t n);
// Copies n bytes from the file; fails at its end.
void ReadAll(unsigned char* dst, std::size_t n);

// Fill order 2 stores the bits of every byte in reverse.  This is the one
// rule, eight bytes at a time; every fill-order path goes through it.
constexpr std::uint64_t ReverseEachByte(std::uint64_t w)
{
    w = ((w >> 1) & 0x5555555555555555u) | ((w & 0x5555555555555555u) << 1);
    w = ((w >> 2) & 0x3333333333333333u) | ((w & 0x3333333333333333u) << 2);
    return ((w >> 4) & 0x0F0F0F0F0F0F0F0Fu) | ((w & 0x0F0F0F0F0F0F0F0Fu) << 4);
}

// A stored byte as the fill order `reversed` gives it.
constexpr unsigned char InFillOrder(unsigned char b, bool reversed)
{
    return reversed ? static_cast<unsigned char>(ReverseEachByte(b)) : b;
}

// Copies n stored bytes from src to dst (which may be src itself) in the
// file's fill order.
inline void CopyInFillOrder(unsigned char* dst, const unsigned char* src, std::size_t n)
{
    if (!rd.reversed) {
        if (dst != src) std::memcpy(dst, src, n);
        return;
    }
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, src + i, sizeof w);
        w = ReverseEachByte(w);
        std::memcpy(dst + i, &w, sizeof w);
    }
    for (; i < n; ++i) dst[i] = InFillOrder(src[i], true);
}

// A stored byte of a strip, in the file's fill order.
inline unsigned GetStored()
{
    if (rd.inPos == rd.inLen && !Refill()) FileError("unexpected end of file.");
    return InFillOrder(inBuf[rd.inPos++], rd.reversed);
}

}  // namespace rif
