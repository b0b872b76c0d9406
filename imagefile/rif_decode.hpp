// The reader's strip decoders (rif_decode.cpp): the table of the three, and
// uncompressed and PackBits strips; LZW strips are in rif_lzw.cpp.
// Internal to the image-file library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rif {

// The three functions of a strip decoder: start a strip of `count` stored
// bytes at `offset`, deliver the next n uncompressed bytes (writing nothing
// beyond them), and check the strip's end after its last row.
struct Decoder {
    std::uint32_t compression;
    void (*start)(std::uint32_t offset, std::uint32_t count);
    void (*decode)(unsigned char* dst, std::size_t n);
    void (*end)();
};

// The decoder for a Compression value; null for one that is not read.
const Decoder* FindDecoder(std::uint32_t compression);

}  // namespace rif
