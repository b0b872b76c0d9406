// specblur orgTIFF radius {bias} newTIFF: smooths a greyscale TIFF image with
// a Gaussian filter applied to its two-dimensional spectrum.
#include <cstdint>
#include <cstdlib>

#include "error.hpp"
#include "filter.hpp"
#include "rif.hpp"
#include "sif.hpp"

namespace {

const char* const kUsage = "usage : specblur orgTIFF radius {bias} newTIFF";
constexpr int kArgumentsWithoutBias = 3;
constexpr int kArgumentsWithBias = 4;

}  // namespace

int main(int argc, char** argv)
{
    const int arguments = argc - 1;
    if (arguments != kArgumentsWithoutBias && arguments != kArgumentsWithBias) Error(kUsage);

    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::uint16_t** rows = nullptr;
    char* description = nullptr;
    std::int32_t photometric = 0;
    ReadImageFile(argv[1], &width, &height, &bits, &rows, &description, &photometric);

    // A radius that is not a number (NaN) is refused like a negative one.
    const double radius = std::strtod(argv[2], nullptr);
    if (!(radius >= 0.0)) Error("bad Gaussian radius.");
    const double bias = arguments == kArgumentsWithBias ? std::strtod(argv[3], nullptr) : 0.0;
    const char* output = argv[arguments];

    FilterImage(width, height, bits, rows, radius, bias);
    StoreImageFile(output, width, height, bits, rows, description,
                   KeptPhotometric(photometric, bits));

    FreeImageFile(height, rows, description);
    return EXIT_SUCCESS;
}
