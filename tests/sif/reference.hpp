// Independent readings of what the writer produces, written from the file
// and code-stream rules rather than from the writer: a parser for the
// little-endian directory, an LZW decoder that records every code with its
// width, a plain bit-by-bit row packer, and an MSB-first code packer.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sifref {

using Bytes = std::vector<std::uint8_t>;

// One directory entry as stored: type, count and the raw 4-byte value field.
struct Entry {
    std::uint16_t type = 0;
    std::uint32_t count = 0;
    std::uint8_t raw[4] = {0, 0, 0, 0};
    std::uint32_t value = 0;  // SHORT: first two bytes; otherwise all four
};

// A little-endian TIFF file split into its parts.
struct Layout {
    bool ok = false;
    std::string error;
    std::uint32_t ifd = 0;                   // directory offset from the header
    std::vector<std::uint16_t> tags;         // in file order
    std::map<std::uint16_t, Entry> entries;  // by tag
    std::vector<std::uint32_t> offsets;      // strip offsets
    std::vector<std::uint32_t> counts;       // strip byte counts
    std::vector<Bytes> strips;               // strip contents
};

// Parses the header, the one directory and the strip tables.
Layout ParseLayout(const Bytes& file);

std::uint32_t Le32(const Bytes& bytes, std::size_t at);
std::uint16_t Le16(const Bytes& bytes, std::size_t at);

// One code read from a strip and the width it was read with.
struct Code {
    int value = 0;
    int width = 0;
    bool operator==(const Code&) const = default;
};

struct Decoded {
    bool ok = false;
    std::string error;
    Bytes bytes;              // the uncompressed strip
    std::vector<Code> codes;  // every code in stream order, Clear and EOI included
    int highestCode = 0;      // highest string code the decoder assigned
};

// Decodes one strip: the first code must be a Clear, the EOI must be the
// last code, and only 0 bits may follow it in its last byte.
Decoded DecodeLZW(const Bytes& strip);

// Encodes one strip by the code-stream rules, with an ordinary map as the
// string table: greedy longest match, codes from 258 in order, the width
// growing after codes 511, 1023 and 2047 are assigned, a prefix and a Clear
// at 12 bits when a new string finds codes up to 4093 taken, and an EOI as
// wide as a decoder expects after one more string.
Bytes EncodeLZW(const Bytes& bytes);

// Packs codes most significant bit first; the last byte is padded with 0.
Bytes PackCodes(const std::vector<Code>& codes);

// Packs one row as the file stores it, one bit at a time: 8 bits one byte,
// 16 and 32 bits little-endian, any other width most significant bit first
// with the row padded to a whole byte.  Samples are taken as 16-bit values
// masked to the width.
Bytes PackRow(const std::vector<std::uint16_t>& row, int bits);

// A sequence of `length` bytes (at most 65537) in which no two consecutive
// byte pairs are equal.
Bytes DistinctPairs(std::size_t length);

}  // namespace sifref
