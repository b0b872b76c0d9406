// TIFF writer: one greyscale image as a little-endian, LZW-compressed,
// single-strip-per-8-KiB TIFF file.
#pragma once

#include <cstddef>
#include <cstdint>

// Stores the image in a new file at `path`.  `rows` holds `height` pointers
// to `width` samples each; a sample holds a value of `bitsPerSample` bits
// (1 to 32) in its low bits.  `description` (may be null) becomes the
// ImageDescription.  The writer only reads the rows and the description.
//
// On failure it does not return: it prints "<path> : no allocatable memory."
// or "<path> : file not stored." on standard error and exits with status 1.
void StoreImageFile(const char* path, std::int32_t width, std::int32_t height,
                    std::int32_t bitsPerSample, const std::uint16_t* const* rows,
                    const char* description);

// Sets *bytes to the memory StoreImageFile holds for an image of `height`
// rows: its table of strip byte counts, 4 bytes a strip, taken as one strip
// a row (a strip holds at least one row).  False when that size cannot be
// represented.
bool StoreBytes(std::int32_t height, std::size_t* bytes);

// The greyscale PhotometricInterpretation values the writer can store.
enum class Photometric : std::uint16_t { kWhiteIsZero = 0, kBlackIsZero = 1 };

// As above, but with the PhotometricInterpretation given; the call without
// it stores DefaultPhotometric(bitsPerSample).
void StoreImageFile(const char* path, std::int32_t width, std::int32_t height,
                    std::int32_t bitsPerSample, const std::uint16_t* const* rows,
                    const char* description, Photometric photometric);

// The writer's own choice: WhiteIsZero at 1 bit per sample, BlackIsZero at
// every other depth.
Photometric DefaultPhotometric(std::int32_t bitsPerSample);

// What to store for an image that was read with the PhotometricInterpretation
// `read` and is written back at `bitsPerSample`: WhiteIsZero and BlackIsZero
// are kept, any other value gives the writer's own choice.
Photometric KeptPhotometric(std::int32_t read, std::int32_t bitsPerSample);
