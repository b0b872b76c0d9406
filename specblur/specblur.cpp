// specblur orgTIFF radius {bias} newTIFF: smooths a greyscale TIFF image with
// a Gaussian filter applied to its two-dimensional spectrum.
#include "filter.hpp"
#include "filter_program.hpp"

int main(int argc, char** argv)
{
    const FilterProgram specblur = {
        "usage : specblur orgTIFF radius {bias} newTIFF",
        // A radius that is not a number (NaN) is refused like a negative one.
        [](double radius) { return radius >= 0.0; },
        [](std::int32_t width, std::int32_t height, std::int32_t, double, std::size_t* bytes) {
            return FilterWorkBytes(width, height, bytes);
        },
        [](std::uint16_t* const* rows, std::int32_t width, std::int32_t height, std::int32_t bits,
           double radius,
           double bias) { return FilterImage(width, height, bits, rows, radius, bias); },
    };
    return RunFilterProgram(argc, argv, specblur);
}
