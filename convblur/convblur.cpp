// convblur: smooths a greyscale TIFF image by direct convolution with a
// sampled Gaussian kernel and writes the result as a new TIFF image.
//
//   convblur orgTIFF radius {bias} newTIFF
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "arguments.hpp"
#include "convolve.hpp"
#include "error.hpp"
#include "memlimit.hpp"
#include "rif.hpp"
#include "sif.hpp"
#include "size.hpp"

namespace {

constexpr int kArgumentsWithoutBias = 3;  // after the name, without the bias

// Bytes the run holds at once: the input raster (height rows of width
// samples, the row table, the description), the working copy of width x
// height doubles, the kernel table of hx x hy doubles, the staging row of
// the convolution (at most 64 + 2 hx doubles) and the writer's strip
// byte-count table (4 bytes a strip, a strip holding at least one row).
// False when the sum cannot be represented.
bool RunBytes(std::int32_t width, std::int32_t height, std::int32_t bits, double radius,
              const char* description, std::size_t* total)
{
    constexpr std::size_t kStageExtra = 64;
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const auto hx = static_cast<std::size_t>(KernelHalfWidth(radius, bits, width));
    const auto hy = static_cast<std::size_t>(KernelHalfWidth(radius, bits, height));
    const std::size_t text = description == nullptr ? 0 : std::strlen(description) + 1;
    return CheckedSumOfProducts({{w, h, sizeof(std::uint16_t)},
                                 {h, sizeof(std::uint16_t*)},
                                 {text},
                                 {w, h, sizeof(double)},
                                 {hx, hy, sizeof(double)},
                                 {kStageExtra + 2 * hx, sizeof(double)},
                                 {h, sizeof(std::uint32_t)}},
                                total);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool withBias = HasBiasArgument(argc, kArgumentsWithoutBias,
                                          "usage : convblur orgTIFF radius {bias} newTIFF");

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
    const double bias = withBias ? std::strtod(argv[3], nullptr) : 0.0;
    const char* output = argv[argc - 1];

    std::size_t runBytes = 0;
    if (!RunBytes(width, height, bits, radius, description, &runBytes) ||
        !FitsAllocatable(runBytes))
        Error("memory allocation error.");
    if (!ConvolveImage(rows, width, height, bits, radius, bias)) Error("memory allocation error.");
    StoreImageFile(output, width, height, bits, rows, description,
                   KeptPhotometric(photometric, bits));

    FreeImageFile(height, rows, description);
    return 0;
}
