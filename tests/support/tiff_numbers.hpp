// TIFF numbers as the tests know them, written out from the format's tables
// independently of the library's own, so that a wrong constant cannot pass
// on both sides.
#pragma once

#include <cstdint>

namespace tiffnum {

// Field types.
constexpr std::uint16_t kAscii = 2;
constexpr std::uint16_t kShort = 3;
constexpr std::uint16_t kLong = 4;

// Tags.
constexpr std::uint16_t kTagImageWidth = 256;
constexpr std::uint16_t kTagImageLength = 257;
constexpr std::uint16_t kTagBitsPerSample = 258;
constexpr std::uint16_t kTagCompression = 259;
constexpr std::uint16_t kTagPhotometric = 262;
constexpr std::uint16_t kTagFillOrder = 266;
constexpr std::uint16_t kTagDescription = 270;
constexpr std::uint16_t kTagStripOffsets = 273;
constexpr std::uint16_t kTagSamplesPerPixel = 277;
constexpr std::uint16_t kTagRowsPerStrip = 278;
constexpr std::uint16_t kTagStripByteCounts = 279;
constexpr std::uint16_t kTagPlanarConfig = 284;
constexpr std::uint16_t kTagPredictor = 317;
constexpr std::uint16_t kTagSampleFormat = 339;

// Compression.
constexpr std::uint16_t kCompressionNone = 1;
constexpr std::uint16_t kCompressionLZW = 5;
constexpr std::uint16_t kCompressionPackBits = 32773;

// LZW codes.
constexpr int kClear = 256;
constexpr int kEndOfInformation = 257;
constexpr int kFirstString = 258;
constexpr int kTableEnd = 4094;  // one past the highest code a writer may assign

}  // namespace tiffnum
