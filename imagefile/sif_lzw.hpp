// The writer's byte stream into its file and the LZW strips in it.
// Internal to the image-file library.
#pragma once

#include <cstdint>
#include <cstdio>

namespace tiff {

// Starts writing to `stream` through the module's output buffer.
void StartOutput(std::FILE* stream);

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

// The writer's failure (sif.cpp): removes the output, prints
// "<path> : file not stored." and exits with status 1.  A write to the
// stream that fails ends here.
[[noreturn]] void NotStored();

}  // namespace tiff
