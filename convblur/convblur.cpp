// convblur: smooths a greyscale TIFF image by direct convolution with a
// sampled Gaussian kernel and writes the result as a new TIFF image.
//
//   convblur orgTIFF radius {bias} newTIFF
#include "convolve.hpp"
#include "filter_program.hpp"

int main(int argc, char** argv)
{
    const FilterProgram convblur = {
        "usage : convblur orgTIFF radius {bias} newTIFF",
        // False for a radius that is not a number too.
        [](double radius) { return radius > 0; },
        [](std::int32_t width, std::int32_t height, std::int32_t bits, double radius,
           std::size_t* bytes) { return ConvolveWorkBytes(width, height, bits, radius, bytes); },
        ConvolveImage,
    };
    return RunFilterProgram(argc, argv, convblur);
}
