// What the TIFF reader (rif.cpp) and its strip decoders (rif_decode.cpp)
// share: the state of the file being read, the stored-byte input, the
// path-tagged messages and the decoder table.  Internal to the image-file
// library: the programs see only rif.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace rif {

constexpr std::size_t kInSize = std::size_t{1} << 16;  // stored-byte buffer

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
inline constexpr std::array<unsigned char, 256> bitN = MakeIdentity();
inline constexpr std::array<unsigned char, 256> bitR = MakeReversed();

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

// Both defined in rif.cpp.  Stored bytes come through inBuf; rd.inBase is
// the file offset of inBuf[0].
extern Reader rd;
extern unsigned char inBuf[kInSize];

// "<path> : <message>" on standard error; releases what the reader holds
// and ends the process.
[[noreturn]] void Error(const char* message);
// "<path> : <message> (warning)." on standard error.
void Warning(const char* message);

// The stored-byte input.
void Seek(std::uint64_t offset);
// Loads the bytes that follow the buffer.  Returns false at the end of the
// file; a stream that cannot seek there counts as ended.
bool Refill();
// Copies n bytes from the file; fails at its end.
void ReadAll(unsigned char* dst, std::size_t n);

// A stored byte of a strip, through the fill-order table.
inline unsigned GetStored()
{
    if (rd.inPos == rd.inLen && !Refill()) Error("unexpected end of file.");
    return rd.byte[inBuf[rd.inPos++]];
}

// The three functions of a strip decoder: start a strip of `count` stored
// bytes at `offset`, deliver the next n uncompressed bytes (writing nothing
// beyond them), and check the strip's end after its last row.
struct Decoder {
    std::uint32_t compression;
    void (*start)(std::uint32_t offset, std::uint32_t count);
    void (*decode)(unsigned char* dst, std::size_t n);
    void (*end)();
};

// The LZW decoder (rif_lzw.cpp); the others are in rif_decode.cpp.
extern const Decoder kLZWDecoder;

// The decoder for a Compression value; null for one that is not read.
const Decoder* FindDecoder(std::uint32_t compression);

}  // namespace rif
