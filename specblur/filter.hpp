// Gaussian smoothing of a raster image through its two-dimensional
// discrete Fourier transform, on a grid padded to powers of two.
#pragma once

#include <cstddef>
#include <cstdint>

// Smooths the `height` rows of `width` samples at `rows` in place with the
// Gaussian of radius `radius` (>= 0, in samples): bias is subtracted, the
// image is padded with zeros to the next powers of two Nx x Ny, its spectrum
// is multiplied by exp(-pi^2 r^2 (fx^2 + fy^2)), and the bias is added back
// to the result, rounded and clamped to 0 .. 2^bitsPerSample - 1.  Returns
// false, leaving the image untouched, when its work space cannot be
// allocated (or its size cannot be represented).
bool FilterImage(std::int32_t width, std::int32_t height, std::int32_t bitsPerSample,
                 std::uint16_t* const* rows, double radius, double bias);

// Sets *bytes to the size of the work space FilterImage allocates for an
// image of width x height samples (both at least 1) and returns true, or
// returns false when that size cannot be represented.
bool FilterWorkBytes(std::int32_t width, std::int32_t height, std::size_t* bytes);
