// specblur orgTIFF radius {bias} newTIFF: smooths a greyscale TIFF image with
// a Gaussian filter applied to its two-dimensional spectrum.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "arguments.hpp"
#include "error.hpp"
#include "filter.hpp"
#include "memlimit.hpp"
#include "rif.hpp"
#include "sif.hpp"
#include "size.hpp"

namespace {

const char* const kUsage = "usage : specblur orgTIFF radius {bias} newTIFF";
constexpr int kArgumentsWithoutBias = 3;  // after the name, without the bias

// Bytes the run holds at once: the input raster (height rows of width
// samples, the row table, the description), the filter's work space
// (FilterWorkBytes) and the writer's strip byte-count table (4 bytes a
// strip, a strip holding at least one row).  False when the sum cannot be
// represented.
bool RunBytes(std::int32_t width, std::int32_t height, const char* description, std::size_t* total)
{
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const std::size_t text = description == nullptr ? 0 : std::strlen(description) + 1;
    std::size_t work = 0;
    return FilterWorkBytes(width, height, &work) &&
           CheckedSumOfProducts({{w, h, sizeof(std::uint16_t)},
                                 {h, sizeof(std::uint16_t*)},
                                 {text},
                                 {work},
                                 {h, sizeof(std::uint32_t)}},
                                total);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool withBias = HasBiasArgument(argc, kArgumentsWithoutBias, kUsage);

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
    const double bias = withBias ? std::strtod(argv[3], nullptr) : 0.0;
    const char* output = argv[argc - 1];

    std::size_t runBytes = 0;
    if (!RunBytes(width, height, description, &runBytes) || !FitsAllocatable(runBytes))
        Error("memory allocation error.");
    if (!FilterImage(width, height, bits, rows, radius, bias)) Error("memory allocation error.");
    StoreImageFile(output, width, height, bits, rows, description,
                   KeptPhotometric(photometric, bits));

    FreeImageFile(height, rows, description);
    return EXIT_SUCCESS;
}
