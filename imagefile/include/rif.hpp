// TIFF reader: the first image of a greyscale TIFF file of 1 to 16 bits per
// sample, uncompressed, LZW or PackBits, either byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the first image of `path`.  Every out-parameter may be null; the
// reader then does only the work the given ones need.
//  - *width, *height: the image size (each at least 1);
//  - *bitsPerSample: 1 to 16;
//  - *rows: a table of *height row pointers (allocated with std::malloc),
//    each row a separate std::malloc block of *width samples;
//  - *description: the ImageDescription text, NUL-terminated (std::malloc),
//    or null when the file has none;
//  - *photometric: the PhotometricInterpretation, 0 (WhiteIsZero),
//    1 (BlackIsZero), 3 (palette) or 4 (transparency mask).  The samples are
//    delivered as stored whatever it is.
// Only unsigned integer samples are read: a SampleFormat other than 1 is
// refused when rows are requested.
// The caller owns and frees (std::free) every row, the row table and the
// description.  Any defect that stops reading prints "<path> : <message>"
// on standard error and exits with status 1; warnings are printed as
// "<path> : <message> (warning)." and reading goes on.
// Returns the status of closing the file (0 on success).
int ReadImageFile(const char* path, std::int32_t* width, std::int32_t* height,
                  std::int32_t* bitsPerSample, std::uint16_t*** rows, char** description,
                  std::int32_t* photometric = nullptr);

// Sets *bytes to the memory that ReadImageFile hands back for an image of
// width x height samples with `description` (may be null): the rows, the
// row table and the description text.  False when that size cannot be
// represented.
bool RasterBytes(std::int32_t width, std::int32_t height, const char* description,
                 std::size_t* bytes);

// Frees what ReadImageFile handed back: every row, the row table and the
// description (either may be null).
void FreeImageFile(std::int32_t height, std::uint16_t** rows, char* description);
