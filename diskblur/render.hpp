// Pixel fill of the disk phantom: the sharp disk and its blurred image,
// sampled from the profile table at each pixel's distance from the centre.
#pragma once

#include <cstddef>
#include <cstdint>

struct DiskPhantom {
    std::int32_t nx = 0;                 // width in pixels
    std::int32_t ny = 0;                 // height in pixels
    double ox = 0.0;                     // centre column
    double oy = 0.0;                     // centre row
    double radius = 0.0;                 // disk radius in pixels
    std::uint16_t diskSample = 0;        // sample of pixels at distance <= radius
    std::uint16_t backgroundSample = 0;  // sample of the other pixels
    int bits = 1;                        // bits per sample of the blurred image
    const double* profile = nullptr;     // table of ProfileLength(FarthestDistance()) entries
};

// Distance from the centre to the farthest pixel position (an image corner).
double FarthestDistance(std::int32_t nx, std::int32_t ny, double ox, double oy);

// A lower bound of the distance from the centre to every pixel position:
// 0 when the centre lies inside the image.
double NearestDistance(std::int32_t nx, std::int32_t ny, double ox, double oy);

// The first profile entry any pixel reads: the table is used from there on.
std::size_t FirstProfileEntry(std::int32_t nx, std::int32_t ny, double ox, double oy);

// Fills both images row by row.  Pixel (x, y) at distance
// d = sqrt((x - ox)^2 + (y - oy)^2) gets diskSample when d <= radius, else
// backgroundSample, in `disk`; in `blurred` it gets the profile interpolated
// linearly at 16 d, clamped to 0 .. 2^bits - 1 and truncated (the table
// entries carry the rounding offset).  There is a portable and an AVX2 build
// (common/dispatch.hpp chooses); the AVX2 build uses no fused multiply-add,
// so both give the same samples.  A table of 2^31 entries or more always
// takes the portable loop.
void FillDiskImages(const DiskPhantom& phantom, std::uint16_t* const* disk,
                    std::uint16_t* const* blurred);
