// LZW codes packed into strip bytes, most significant bit first, as the
// format stores them; the last byte is padded with zero bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace testsupport {

// Each pair is {code, width in bits}.
inline std::vector<std::uint8_t> PackCodes(const std::vector<std::pair<std::uint32_t, int>>& codes)
{
    std::vector<std::uint8_t> out;
    std::size_t pos = 0;
    for (const auto& [code, width] : codes) {
        for (int b = width - 1; b >= 0; --b, ++pos) {
            if (pos % 8 == 0) out.push_back(0);
            if ((code >> b) & 1) out.back() |= static_cast<std::uint8_t>(0x80 >> (pos % 8));
        }
    }
    return out;
}

}  // namespace testsupport
