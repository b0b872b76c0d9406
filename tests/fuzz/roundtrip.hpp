// Writer-to-reader round trip of an image chosen by a byte string, shared by
// the libFuzzer target and the test that replays its corpus.
//
// The bytes choose, in this order: the width (1 .. 300), the height
// (1 .. 80), the depth (1 .. 16), the description (none, empty, 1 .. 4
// bytes, or a long text of 5 .. 600 bytes; its bytes come from the input,
// a NUL replaced by 0xFF), then the samples, two bytes each and masked to
// the depth, taken cyclically from what is left (all zero when nothing is
// left).  The image is stored with StoreImageFile and read back with
// ReadImageFile; the raster and the description must come back exactly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ours_image.hpp"
#include "sif.hpp"

namespace roundtrip {

struct Image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::optional<std::string> description;
    std::vector<std::vector<std::uint16_t>> rows;
};

// Takes bytes from the front of the input; 0 once it is used up.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    unsigned Next() { return at_ < size_ ? data_[at_++] : 0u; }
    unsigned Next2() { return Next() | Next() << 8; }
    const std::uint8_t* rest() const { return data_ + at_; }
    std::size_t left() const { return size_ - at_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

inline Image ImageFromBytes(const std::uint8_t* data, std::size_t size)
{
    Bytes in(data, size);
    Image image;
    image.width = static_cast<std::int32_t>(1 + in.Next2() % 300);
    image.height = static_cast<std::int32_t>(1 + in.Next() % 80);
    image.bits = static_cast<std::int32_t>(1 + in.Next() % 16);
    const unsigned kind = in.Next() % 4;
    if (kind > 0) {
        std::size_t length = 0;
        if (kind == 2) length = 1 + in.Next() % 4;
        if (kind == 3) length = 5 + in.Next2() % 596;
        std::string text;
        for (std::size_t i = 0; i < length; ++i) {
            const unsigned c = in.Next();
            text.push_back(static_cast<char>(c == 0 ? 0xFF : c));
        }
        image.description = text;
    }
    const std::uint8_t* rest = in.rest();
    const std::size_t left = in.left();
    const unsigned mask = (1u << image.bits) - 1u;
    std::size_t at = 0;
    auto next = [&]() -> unsigned {
        if (left == 0) return 0;
        const unsigned v = rest[at % left] | rest[(at + 1) % left] << 8;
        at += 2;
        return v;
    };
    image.rows.assign(static_cast<std::size_t>(image.height),
                      std::vector<std::uint16_t>(static_cast<std::size_t>(image.width)));
    for (auto& row : image.rows)
        for (auto& sample : row) sample = static_cast<std::uint16_t>(next() & mask);
    return image;
}

// Stores `image` at `path`, reads it back and returns what differs ("" when
// nothing does).  A fatal exit of either side goes through the fatal hook.
inline std::string StoreAndReadBack(const Image& image, const std::string& path)
{
    std::vector<const std::uint16_t*> pointers;
    for (const auto& row : image.rows) pointers.push_back(row.data());
    StoreImageFile(path.c_str(), image.width, image.height, image.bits, pointers.data(),
                   image.description ? image.description->c_str() : nullptr);

    const testsupport::OursImage read(path);
    const char* text = read.description;
    std::string why;
    if (read.width != image.width || read.height != image.height) why += "size differs; ";
    if (read.bits != image.bits) why += "bits per sample differ; ";
    if (image.description.has_value() != (text != nullptr) ||
        (text != nullptr && *image.description != text))
        why += "description differs; ";
    if (why.empty()) {
        for (std::int32_t y = 0; y < read.height && why.empty(); ++y)
            for (std::int32_t x = 0; x < read.width; ++x)
                if (read.rows[y][x] != image.rows[y][x]) {
                    why = "sample (" + std::to_string(x) + ", " + std::to_string(y) + ") differs";
                    break;
                }
    }
    return why;
}

}  // namespace roundtrip
