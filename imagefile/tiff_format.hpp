// TIFF and LZW numbers shared by the reader and the writer.  Internal to the
// image-file library: the programs see only rif.hpp and sif.hpp.
#pragma once

#include <cstdint>

namespace tiff {

// Header.
constexpr int kMarkLittle = 0x49;  // "II": least significant byte first
constexpr int kMarkBig = 0x4D;     // "MM": most significant byte first
constexpr std::uint16_t kMagic = 42;
constexpr std::uint32_t kHeaderSize = 8;  // byte order, magic, directory offset

// Directory entries: tag (2), type (2), count (4), value or offset (4).
constexpr std::uint32_t kEntrySize = 12;
constexpr std::uint32_t kEntryTail = 10;   // bytes of an entry behind its tag
constexpr std::uint32_t kInlineBytes = 4;  // size of an entry's value field
constexpr std::uint32_t kInlineShorts = 2;
constexpr std::uint32_t kInlineLongs = 1;
constexpr std::uint32_t kCountSize = 2;    // the entry count in front of the entries
constexpr std::uint32_t kNextIfdSize = 4;  // the offset of the next directory behind them

// Field types.
constexpr std::uint16_t kTypeAscii = 2;
constexpr std::uint16_t kTypeShort = 3;
constexpr std::uint16_t kTypeLong = 4;

// Tags.
constexpr std::uint16_t kTagImageWidth = 256;
constexpr std::uint16_t kTagImageLength = 257;
constexpr std::uint16_t kTagBitsPerSample = 258;
constexpr std::uint16_t kTagCompression = 259;
constexpr std::uint16_t kTagPhotometric = 262;
constexpr std::uint16_t kTagFillOrder = 266;
constexpr std::uint16_t kTagImageDescription = 270;
constexpr std::uint16_t kTagStripOffsets = 273;
constexpr std::uint16_t kTagSamplesPerPixel = 277;
constexpr std::uint16_t kTagRowsPerStrip = 278;
constexpr std::uint16_t kTagStripByteCounts = 279;
constexpr std::uint16_t kTagPlanarConfig = 284;
constexpr std::uint16_t kTagPredictor = 317;
constexpr std::uint16_t kTagSampleFormat = 339;

// Field values.
constexpr std::uint16_t kCompressionNone = 1;
constexpr std::uint16_t kCompressionLZW = 5;
constexpr std::uint16_t kCompressionPackBits = 32773;
constexpr std::uint16_t kWhiteIsZero = 0;
constexpr std::uint16_t kBlackIsZero = 1;
constexpr std::uint16_t kPalette = 3;
constexpr std::uint16_t kTransparencyMask = 4;
constexpr std::uint16_t kFillNormal = 1;
constexpr std::uint16_t kFillReversed = 2;
constexpr std::uint16_t kPredictorNone = 1;
constexpr std::uint16_t kPredictorHorizontal = 2;
constexpr std::uint16_t kOneSample = 1;
constexpr std::uint16_t kUnsignedInteger = 1;
constexpr std::uint16_t kChunky = 1;

// LZW codes.  Plain ints: the encoder counts codes in signed integers.
constexpr int kCodeClear = 256;
constexpr int kCodeEOI = 257;
constexpr int kCodeFirst = 258;   // first string code after a Clear
constexpr int kCodeLimit = 4094;  // codes 4094 and 4095 are never assigned by the writer
constexpr int kCodeCount = 4096;  // codes 0..4095
constexpr int kBitsMin = 9;       // code width after a Clear
constexpr int kBitsMax = 12;

}  // namespace tiff
