// The tests' image in memory: greyscale samples row by row, with a table
// of row pointers for the functions that take one, and random images.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace testsupport {

struct Image {
    Image() = default;
    Image(std::int32_t w, std::int32_t h, std::int32_t b, std::uint16_t value = 0)
        : width(w), height(h), bits(b), samples(static_cast<std::size_t>(w) * h, value)
    {
    }
    std::uint16_t& at(std::int32_t x, std::int32_t y)
    {
        return samples[static_cast<std::size_t>(y) * width + x];
    }
    std::uint16_t at(std::int32_t x, std::int32_t y) const
    {
        return samples[static_cast<std::size_t>(y) * width + x];
    }
    // Row pointers into `samples`, valid while the image is neither moved
    // nor resized.
    std::vector<std::uint16_t*> Rows()
    {
        std::vector<std::uint16_t*> rows(height);
        for (std::int32_t y = 0; y < height; ++y) rows[y] = &at(0, y);
        return rows;
    }
    std::vector<const std::uint16_t*> Rows() const
    {
        std::vector<const std::uint16_t*> rows(height);
        for (std::int32_t y = 0; y < height; ++y)
            rows[y] = &samples[static_cast<std::size_t>(y) * width];
        return rows;
    }
    // The samples widened, as libtiff's reading gives them.
    std::vector<std::uint32_t> Widened() const { return {samples.begin(), samples.end()}; }

    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::vector<std::uint16_t> samples;  // row by row
};

// Samples drawn uniformly from 0 .. 2^bits - 1, or from every 16-bit value
// for deeper images.
inline Image RandomImage(std::mt19937& random, std::int32_t width, std::int32_t height,
                         std::int32_t bits)
{
    Image image(width, height, bits);
    std::uniform_int_distribution<std::uint32_t> sample(0, (1u << std::min(bits, 16)) - 1);
    for (auto& s : image.samples) s = static_cast<std::uint16_t>(sample(random));
    return image;
}

inline Image RandomImage(std::int32_t width, std::int32_t height, std::int32_t bits,
                         std::uint32_t seed)
{
    std::mt19937 random(seed);
    return RandomImage(random, width, height, bits);
}

}  // namespace testsupport
