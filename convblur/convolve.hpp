// Direct two-dimensional convolution of a greyscale image with a sampled,
// truncated Gaussian kernel: the computing core of convblur.  It has a
// portable, an AVX2 and an AVX-512 build (common/dispatch.hpp chooses); they
// give the same samples, except that the fused multiply-adds of the AVX
// builds (one rounding per term instead of two) may send a sum lying within
// rounding error of a half-integer the other way.
#pragma once

#include <cstdint>

// Half-width of the kernel window along an axis of `size` samples (size at
// least 1): min(⌈r·√((bits + 1)·ln 2)⌉, size).  The window covers offsets
// up to half-width − 1 on either side.  `radius` > 0 (+inf gives `size`).
std::int32_t KernelHalfWidth(double radius, std::int32_t bitsPerSample, std::int32_t size);

// Smooths the image in place: every sample becomes
//   bias + Σ (sample(c, k) − bias) · exp(−((c − x)² + (k − y)²)/r²)/(π r²)
// over the window of half-widths KernelHalfWidth(radius, bits, width) and
// (…, height), clipped to the image, each sum taken in the order rows top
// to bottom, columns left to right, rounded half up and clamped to
// 0 .. 2^bits − 1 (a sum that is not a number gives 0).  `rows` holds
// `height` pointers to `width` samples; bitsPerSample is 1 to 16; radius > 0.
// Returns false, leaving the image untouched, when the working memory
// cannot be had (or its size cannot be represented).
bool ConvolveImage(std::uint16_t* const* rows, std::int32_t width, std::int32_t height,
                   std::int32_t bitsPerSample, double radius, double bias);
