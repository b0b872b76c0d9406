#include "reference.hpp"

#include <algorithm>
#include <utility>

#include "lzw_codes.hpp"

#include "tiff_numbers.hpp"

namespace sifref {

namespace {

using tiffnum::kClear;
using tiffnum::kEndOfInformation;
using tiffnum::kFirstString;
using tiffnum::kTableEnd;
using tiffnum::kTagStripByteCounts;
using tiffnum::kTagStripOffsets;
constexpr std::uint16_t kTypeShort = tiffnum::kShort;

// Reads a LONG field that holds either one value or, with several, the
// offset of a table of them.
bool ReadLongs(const Bytes& file, const Entry& entry, std::vector<std::uint32_t>* out)
{
    out->clear();
    if (entry.count == 1) {
        out->push_back(entry.value);
        return true;
    }
    if (static_cast<std::uint64_t>(entry.value) + 4ull * entry.count > file.size()) return false;
    for (std::uint32_t i = 0; i < entry.count; ++i) out->push_back(Le32(file, entry.value + 4 * i));
    return true;
}

}  // namespace

std::uint32_t Le32(const Bytes& bytes, std::size_t at)
{
    return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
}

std::uint16_t Le16(const Bytes& bytes, std::size_t at)
{
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

Layout ParseLayout(const Bytes& file)
{
    Layout layout;
    if (file.size() < 8 || file[0] != 'I' || file[1] != 'I' || Le16(file, 2) != 42) {
        layout.error = "no little-endian header";
        return layout;
    }
    layout.ifd = Le32(file, 4);
    if (static_cast<std::uint64_t>(layout.ifd) + 2 > file.size()) {
        layout.error = "directory offset beyond the file";
        return layout;
    }
    const std::uint16_t n = Le16(file, layout.ifd);
    if (static_cast<std::uint64_t>(layout.ifd) + 2 + 12ull * n + 4 > file.size()) {
        layout.error = "directory beyond the file";
        return layout;
    }
    for (std::uint16_t i = 0; i < n; ++i) {
        const std::size_t at = layout.ifd + 2 + 12 * std::size_t{i};
        const std::uint16_t tag = Le16(file, at);
        Entry entry;
        entry.type = Le16(file, at + 2);
        entry.count = Le32(file, at + 4);
        std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(at + 8), 4, entry.raw);
        entry.value = entry.type == kTypeShort ? Le16(file, at + 8) : Le32(file, at + 8);
        layout.tags.push_back(tag);
        layout.entries[tag] = entry;
    }
    if (!layout.entries.contains(kTagStripOffsets) ||
        !layout.entries.contains(kTagStripByteCounts) ||
        !ReadLongs(file, layout.entries[kTagStripOffsets], &layout.offsets) ||
        !ReadLongs(file, layout.entries[kTagStripByteCounts], &layout.counts) ||
        layout.offsets.size() != layout.counts.size()) {
        layout.error = "bad strip tables";
        return layout;
    }
    for (std::size_t s = 0; s < layout.offsets.size(); ++s) {
        if (static_cast<std::uint64_t>(layout.offsets[s]) + layout.counts[s] > file.size()) {
            layout.error = "strip beyond the file";
            return layout;
        }
        const auto begin = file.begin() + layout.offsets[s];
        layout.strips.emplace_back(begin, begin + layout.counts[s]);
    }
    layout.ok = true;
    return layout;
}

Decoded DecodeLZW(const Bytes& strip)
{
    Decoded d;
    const std::size_t bitCount = strip.size() * 8;
    std::size_t pos = 0;
    auto readCode = [&](int width, int* code) {
        if (pos + static_cast<std::size_t>(width) > bitCount) return false;
        int v = 0;
        for (int i = 0; i < width; ++i, ++pos)
            v = (v << 1) | ((strip[pos / 8] >> (7 - pos % 8)) & 1);
        *code = v;
        return true;
    };

    // String table as prefix chains: code -> (prefix code, last byte), and
    // the first byte of every string.
    std::vector<int> prefix(4096, -1), length(4096, 1);
    std::vector<std::uint8_t> last(4096), first(4096);
    for (int c = 0; c < 256; ++c) last[c] = first[c] = static_cast<std::uint8_t>(c);
    d.bytes.reserve(strip.size() * 4);
    auto emit = [&](int code) {
        // Fill the string's bytes from its end back along the prefix chain.
        const std::size_t end = d.bytes.size() + static_cast<std::size_t>(length[code]);
        d.bytes.resize(end);
        std::uint8_t* out = d.bytes.data() + end;
        for (int c = code; c >= 0; c = prefix[c]) *--out = last[c];
    };

    int width = 9;
    int next = kFirstString;
    int previous = -1;
    bool cleared = false;
    for (;;) {
        int code = 0;
        if (!readCode(width, &code)) {
            d.error = "stream ends without EOI";
            return d;
        }
        d.codes.push_back({code, width});
        if (!cleared && code != kClear) {
            d.error = "stream does not start with Clear";
            return d;
        }
        if (code == kClear) {
            cleared = true;
            width = 9;
            next = kFirstString;
            previous = -1;
            continue;
        }
        if (code == kEndOfInformation) {
            if (bitCount - pos >= 8) {
                d.error = "bytes after EOI";
                return d;
            }
            for (; pos < bitCount; ++pos) {
                if ((strip[pos / 8] >> (7 - pos % 8)) & 1) {
                    d.error = "nonzero bits after EOI";
                    return d;
                }
            }
            d.ok = true;
            return d;
        }
        if (previous < 0) {
            if (code > 255) {
                d.error = "string code right after Clear";
                return d;
            }
            emit(code);
            previous = code;
            continue;
        }
        if (code > next) {
            d.error = "code not yet defined";
            return d;
        }
        if (next >= kTableEnd) {
            d.error = "table full without Clear";
            return d;
        }
        prefix[next] = previous;
        last[next] = first[code == next ? previous : code];
        first[next] = first[previous];
        length[next] = length[previous] + 1;
        d.highestCode = std::max(d.highestCode, next);
        ++next;
        emit(code);
        previous = code;
        if (next == 511 || next == 1023 || next == 2047) ++width;
    }
}

Bytes EncodeLZW(const Bytes& bytes)
{
    std::vector<Code> codes = {{kClear, 9}};
    // Direct table over every (prefix, byte) pair: generation << 12 | code,
    // so that a Clear is one increment instead of wiping 4 MiB.
    static std::vector<std::uint32_t> table(std::size_t{1} << 20);
    static std::uint32_t generation = 0;
    ++generation;
    int next = kFirstString;
    int width = 9;
    auto assigned = [&] {
        ++next;
        if (next == 512 || next == 1024 || next == 2048) ++width;
    };
    int prefix = -1;
    for (const std::uint8_t c : bytes) {
        if (prefix < 0) {
            prefix = c;
            continue;
        }
        const std::uint32_t key = static_cast<std::uint32_t>(prefix) << 8 | c;
        if (table[key] >> 12 == generation) {
            prefix = static_cast<int>(table[key] & 0xFFF);
            continue;
        }
        codes.push_back({prefix, width});
        if (next == kTableEnd) {
            codes.push_back({kClear, width});
            ++generation;
            next = kFirstString;
            width = 9;
        } else {
            table[key] = generation << 12 | static_cast<std::uint32_t>(next);
            assigned();
        }
        prefix = c;
    }
    if (prefix >= 0) {
        codes.push_back({prefix, width});
        assigned();
    }
    codes.push_back({kEndOfInformation, width});
    return PackCodes(codes);
}

Bytes PackCodes(const std::vector<Code>& codes)
{
    std::vector<std::pair<std::uint32_t, int>> pairs;
    for (const Code& c : codes) pairs.push_back({static_cast<std::uint32_t>(c.value), c.width});
    return testsupport::PackCodes(pairs);
}

Bytes PackRow(const std::vector<std::uint16_t>& row, int bits)
{
    Bytes out;
    if (bits == 8 || bits == 16 || bits == 32) {
        for (const std::uint16_t v : row) {
            out.push_back(static_cast<std::uint8_t>(v & 0xFF));
            if (bits == 8) continue;
            out.push_back(static_cast<std::uint8_t>(v >> 8));
            if (bits == 32) out.insert(out.end(), {0, 0});
        }
        return out;
    }
    std::size_t pos = 0;
    for (const std::uint16_t v : row) {
        for (int b = bits - 1; b >= 0; --b, ++pos) {
            if (pos % 8 == 0) out.push_back(0);
            if (b < 16 && ((v >> b) & 1))
                out.back() |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
        }
    }
    return out;
}

Bytes DistinctPairs(std::size_t length)
{
    // Every pair of bytes once: for each a, the word a, then the words a b
    // for every b > a (the Lyndon words of length 1 and 2 in order), and the
    // first byte again to close the cycle.
    Bytes out;
    for (int a = 0; a < 256 && out.size() < length; ++a) {
        out.push_back(static_cast<std::uint8_t>(a));
        for (int b = a + 1; b < 256; ++b) {
            out.push_back(static_cast<std::uint8_t>(a));
            out.push_back(static_cast<std::uint8_t>(b));
        }
    }
    out.push_back(0);
    out.resize(std::min(length, out.size()));
    return out;
}

}  // namespace sifref
