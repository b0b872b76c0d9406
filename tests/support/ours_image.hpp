// A TIFF image as our reader hands it out, every out-parameter given; what
// it allocated is released with the object.  Reading libtiff's way is in
// support.hpp.
#pragma once

#include <cstdint>
#include <string>

#include "rif.hpp"

namespace testsupport {

class OursImage {
public:
    // A fatal exit of the reader goes through the fatal hook; the reader
    // releases what it allocated before it.
    explicit OursImage(const std::string& path)
        : status(ReadImageFile(path.c_str(), &width, &height, &bits, &rows, &description))
    {
    }
    ~OursImage() { FreeImageFile(height, rows, description); }
    OursImage(const OursImage&) = delete;
    OursImage& operator=(const OursImage&) = delete;

    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::uint16_t** rows = nullptr;
    char* description = nullptr;  // null when the file has none
    int status = -1;              // what ReadImageFile returns
};

}  // namespace testsupport
