// convblur: smooths a greyscale TIFF image by direct convolution with a
// sampled Gaussian kernel and writes the result as a new TIFF image.
//
//   convblur orgTIFF radius {bias} newTIFF
#include <cstdint>
#include <cstdlib>

#include "convolve.hpp"
#include "error.hpp"
#include "rif.hpp"
#include "sif.hpp"

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) Error("usage : convblur orgTIFF radius {bias} newTIFF");

    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::uint16_t** rows = nullptr;
    char* description = nullptr;
    std::int32_t photometric = 0;
    ReadImageFile(argv[1], &width, &height, &bits, &rows, &description, &photometric);

    // Written as a negated test so that a radius that is not a number is
    // refused too.
    const double radius = std::strtod(argv[2], nullptr);
    if (!(radius > 0)) Error("bad Gaussian radius.");
    const double bias = argc == 5 ? std::strtod(argv[3], nullptr) : 0.0;
    const char* output = argv[argc - 1];

    if (!ConvolveImage(rows, width, height, bits, radius, bias)) Error("memory allocation error.");
    StoreImageFile(output, width, height, bits, rows, description,
                   KeptPhotometric(photometric, bits));

    FreeImageFile(height, rows, description);
    return 0;
}
