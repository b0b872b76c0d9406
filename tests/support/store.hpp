// Storing a test image with our own writer; storing with libtiff is in
// support.hpp.
#pragma once

#include <string>

#include "image.hpp"
#include "sif.hpp"

namespace testsupport {

// Writes the image with our writer (little-endian, LZW).
inline void StoreWithOurs(const std::string& path, const Image& image,
                          const char* description = nullptr)
{
    const auto rows = image.Rows();
    StoreImageFile(path.c_str(), image.width, image.height, image.bits, rows.data(), description);
}

}  // namespace testsupport
