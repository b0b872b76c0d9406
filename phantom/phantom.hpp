// Level rules shared by the phantom programs (disk and sphere): the checks of
// bias and value, the bits per sample, the rounding and clamping of samples,
// the description text and the "-" suppression of an output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Ends with "bad bias value." unless 0 <= bias <= 65535 (a NaN fails).
void CheckBias(double bias);

// Ends with `badValueMessage` ("bad value of circle." / "bad value of
// sphere.") when value < 0 and bias + value < 0, or value >= 0 and
// bias + value > 65535, or when value is NaN.
void CheckValue(double bias, double value, const char* badValueMessage);

// Bits per sample (1, 2, 4, 8 or 16) for the background level bias and the
// object level bias + value.  The depth is chosen from the larger level
// rounded half up, so that both rounded levels fit the depth.
int PhantomBits(double bias, double value);

// The description text "%lf\t%lf" of -bias and TopSample(bits) - bias.
// Without a bias (bias == +0.0) the first number is "-0.000000".
std::string PhantomDescription(double bias, int bits);

// A whole number read by the rules of atoi (leading white space skipped, the
// longest numeric prefix taken, text that is not a number reads as 0), except
// that a number beyond the range of int saturates to INT_MIN or INT_MAX
// instead of wrapping around.
int ParseInteger(const char* text);

// True when an output path begins with "-", which suppresses the output.
bool Suppressed(const char* path);

// An image of nx * ny samples as one block with a table of ny row pointers
// into it (row y at y * nx), or null when the block or the table cannot be
// allocated, including sizes that cannot be represented (nothing is then
// held).  FreeImage releases both.
std::uint16_t** AllocateImage(std::int32_t nx, std::int32_t ny);
// Sets *bytes to what AllocateImage holds for nx * ny samples (both at
// least 1): the block and the row table.  False when that size cannot be
// represented.
bool ImageBytes(std::int32_t nx, std::int32_t ny, std::size_t* bytes);
void FreeImage(std::uint16_t** rows);
