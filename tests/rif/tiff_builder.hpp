// Test-only TIFF builder: a header, raw data blocks and one directory of
// whatever entries a test wants, in either byte order.  Nothing is checked,
// so that broken files are as easy to make as good ones.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "../support/tiff_numbers.hpp"
#include "lzw_codes.hpp"

namespace tiffbuilder {

using Bytes = std::vector<std::uint8_t>;

using tiffnum::kAscii;
using tiffnum::kLong;
using tiffnum::kShort;

constexpr std::uint16_t kWidth = tiffnum::kTagImageWidth;
constexpr std::uint16_t kLength = tiffnum::kTagImageLength;
constexpr std::uint16_t kBits = tiffnum::kTagBitsPerSample;
constexpr std::uint16_t kCompression = tiffnum::kTagCompression;
constexpr std::uint16_t kPhotometric = tiffnum::kTagPhotometric;
constexpr std::uint16_t kFillOrder = tiffnum::kTagFillOrder;
constexpr std::uint16_t kDescription = tiffnum::kTagDescription;
constexpr std::uint16_t kOffsets = tiffnum::kTagStripOffsets;
constexpr std::uint16_t kSamples = tiffnum::kTagSamplesPerPixel;
constexpr std::uint16_t kRowsPerStrip = tiffnum::kTagRowsPerStrip;
constexpr std::uint16_t kCounts = tiffnum::kTagStripByteCounts;
constexpr std::uint16_t kPlanar = tiffnum::kTagPlanarConfig;
constexpr std::uint16_t kPredictor = tiffnum::kTagPredictor;
constexpr std::uint16_t kSampleFormat = tiffnum::kTagSampleFormat;

constexpr std::uint16_t kNone = tiffnum::kCompressionNone;
constexpr std::uint16_t kLZW = tiffnum::kCompressionLZW;
constexpr std::uint16_t kPackBits = tiffnum::kCompressionPackBits;

class TiffBuilder {
public:
    explicit TiffBuilder(bool bigEndian = false) : big_(bigEndian) {}

    bool big() const { return big_; }

    Bytes U16(std::uint32_t v) const
    {
        const auto lo = static_cast<std::uint8_t>(v & 0xFF);
        const auto hi = static_cast<std::uint8_t>((v >> 8) & 0xFF);
        return big_ ? Bytes{hi, lo} : Bytes{lo, hi};
    }

    Bytes U32(std::uint32_t v) const
    {
        Bytes lo = U16(v & 0xFFFF);
        Bytes hi = U16(v >> 16);
        if (big_) std::swap(lo, hi);
        lo.insert(lo.end(), hi.begin(), hi.end());
        return lo;
    }

    // Appends a data block behind the header (and earlier blocks); returns
    // its offset.  Blocks are not padded.
    std::uint32_t Data(const Bytes& bytes)
    {
        const auto at = static_cast<std::uint32_t>(8 + data_.size());
        data_.insert(data_.end(), bytes.begin(), bytes.end());
        return at;
    }

    // An entry with the four value-field bytes given as they stand in the file.
    void Entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, const Bytes& field)
    {
        Bytes e = U16(tag);
        Append(e, U16(type));
        Append(e, U32(count));
        Bytes f = field;
        f.resize(4, 0);
        Append(e, f);
        entries_.push_back(e);
    }

    void Short(std::uint16_t tag, std::uint32_t v) { Entry(tag, kShort, 1, U16(v)); }
    void Long(std::uint16_t tag, std::uint32_t v) { Entry(tag, kLong, 1, U32(v)); }
    // An entry whose value field holds a 32-bit offset (or any number).
    void At(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t offset)
    {
        Entry(tag, type, count, U32(offset));
    }

    // Arrays: the values in the entry when they fit, else in a data block.
    void Shorts(std::uint16_t tag, const std::vector<std::uint32_t>& values)
    {
        Bytes b;
        for (auto v : values) Append(b, U16(v));
        Values(tag, kShort, static_cast<std::uint32_t>(values.size()), b);
    }

    void Longs(std::uint16_t tag, const std::vector<std::uint32_t>& values)
    {
        Bytes b;
        for (auto v : values) Append(b, U32(v));
        Values(tag, kLong, static_cast<std::uint32_t>(values.size()), b);
    }

    // ASCII with the given bytes (the NUL, if wanted, is part of `text`).
    void Ascii(std::uint16_t tag, const std::string& text)
    {
        const Bytes b(text.begin(), text.end());
        Values(tag, kAscii, static_cast<std::uint32_t>(b.size()), b);
    }

    // Strips as data blocks, with their offset and count tables as LONG.
    void Strips(const std::vector<Bytes>& strips)
    {
        std::vector<std::uint32_t> offsets;
        std::vector<std::uint32_t> counts;
        for (const auto& s : strips) {
            offsets.push_back(Data(s));
            counts.push_back(static_cast<std::uint32_t>(s.size()));
        }
        Longs(kOffsets, offsets);
        Longs(kCounts, counts);
    }

    // The usual tags of a greyscale image; strips are added separately.
    void Image(std::uint32_t width, std::uint32_t height, std::uint32_t bits,
               std::uint32_t compression = kNone)
    {
        if (width <= 0xFFFF)
            Short(kWidth, width);
        else
            Long(kWidth, width);
        if (height <= 0xFFFF)
            Short(kLength, height);
        else
            Long(kLength, height);
        Short(kBits, bits);
        Short(kCompression, compression);
        Short(kPhotometric, 1);
    }

    // Header, data blocks, then the directory (unless the IFD offset is
    // overridden, in which case no directory is written at all).
    Bytes Build() const
    {
        Bytes out = big_ ? Bytes{'M', 'M'} : Bytes{'I', 'I'};
        Append(out, U16(42));
        const auto ifd = static_cast<std::uint32_t>(8 + data_.size());
        Append(out, U32(ifdOverride_ ? ifdAt_ : ifd));
        Append(out, data_);
        if (!ifdOverride_) {
            Append(out,
                   U16(countOverride_ ? countAt_ : static_cast<std::uint32_t>(entries_.size())));
            for (const auto& e : entries_) Append(out, e);
            Append(out, U32(0));
        }
        return out;
    }

    void OverrideIfd(std::uint32_t at)
    {
        ifdOverride_ = true;
        ifdAt_ = at;
    }

    // The directory's entry count as given instead of the number of entries.
    void OverrideCount(std::uint32_t count)
    {
        countOverride_ = true;
        countAt_ = count;
    }

    // Byte by byte: GCC 12 on arm64 and s390x takes a range insert into the
    // small vectors of an entry for an overflow (a false -Warray-bounds).
    static void Append(Bytes& to, const Bytes& from)
    {
        for (const std::uint8_t b : from) to.push_back(b);
    }

private:
    // `count` values of `type` laid out as `bytes`: in the entry's value
    // field when they fit in its four bytes, else in a data block it points to.
    void Values(std::uint16_t tag, std::uint16_t type, std::uint32_t count, const Bytes& bytes)
    {
        if (bytes.size() <= 4)
            Entry(tag, type, count, bytes);
        else
            At(tag, type, count, Data(bytes));
    }

    bool big_;
    Bytes data_;
    std::vector<Bytes> entries_;
    bool ifdOverride_ = false;
    std::uint32_t ifdAt_ = 0;
    bool countOverride_ = false;
    std::uint32_t countAt_ = 0;
};

// Packs (code, width) pairs most significant bit first, as an LZW strip
// holds them, and fills the last byte with 0 bits.
using testsupport::PackCodes;

}  // namespace tiffbuilder
