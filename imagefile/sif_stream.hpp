// The writer's byte stream (sif_stream.cpp): the output buffer in front of
// the storage module's stream, and the LZW strips packed and encoded into
// it.  Internal to the image-file library.
#pragma once

#include <cstdint>

namespace sif {

// Starts a file: an empty output buffer in front of the stream that
// OpenOutput opened.
void StartOutput();

// Writes what the buffer holds to the stream.
void Flush();

// Append one byte, or a 16- or 32-bit value least significant byte first.
void PutByte(unsigned value);
void Put2(std::uint32_t value);
void Put4(std::uint32_t value);

// Starts a strip: a Clear code and an empty string table.  `first` for the
// first strip of a file.
void InitLZWEncode(bool first);

// Packs one row of `width` samples of `bits` bits as the file stores it
// and adds its bytes to the strip.
void EncodeRow(const std::uint16_t* row, std::int32_t width, std::int32_t bits);

// Ends the strip with its last prefix and the EOI code, padded to a whole
// byte, and returns the strip's length in bytes.
std::int64_t TermLZWEncode();

}  // namespace sif
