// ballblur's slices: the sphere and its exact blur, one z slice at a time,
// computed by the blurred-sphere profile (profile.hpp, voxels.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

// The sphere volume as the command line gives it.
struct BallPhantom {
    std::int32_t nx = 0;  // voxels per row
    std::int32_t ny = 0;  // rows per slice
    double ox = 0.0;      // centre
    double oy = 0.0;
    double oz = 0.0;
    double radius = 0.0;       // of the sphere
    double gaussRadius = 0.0;  // L
    double bias = 0.0;
    double value = 0.0;
    int bits = 0;         // bits per sample of both series
    double centre = 0.0;  // BallCentreFraction(radius, gaussRadius)
};

// Fills slice z of the sphere and of its blur (ny rows of nx samples each).
// The distance is evaluated exactly as sqrt((x-Ox)^2 + (y-Oy)^2 + (z-Oz)^2)
// in that order, so that a voxel at distance exactly R is inside.
void FillSlices(const BallPhantom& p, std::int32_t z, std::uint16_t* const* sphere,
                std::uint16_t* const* blurred);

// Sets *bytes to the memory FillSlices holds for rows of nx voxels: a
// column index, a distance and a fraction a voxel.  False when that size
// cannot be represented.
bool SliceFillBytes(std::int32_t nx, std::size_t* bytes);
