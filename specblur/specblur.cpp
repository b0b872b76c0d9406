// specblur orgTIFF radius {bias} newTIFF: smooths a greyscale TIFF image with
// a Gaussian filter applied to its two-dimensional spectrum.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "error.hpp"
#include "filter.hpp"
#include "memlimit.hpp"
#include "rif.hpp"
#include "sif.hpp"
#include "size.hpp"

namespace {

const char* const kUsage = "usage : specblur orgTIFF radius {bias} newTIFF";
constexpr int kArgumentsWithoutBias = 3;
constexpr int kArgumentsWithBias = 4;

// The transform length of `n` samples: the least power of two >= n.
std::size_t TransformLength(std::int32_t n)
{
    std::size_t length = 1;
    while (length < static_cast<std::size_t>(n)) length *= 2;
    return length;
}

// Bytes the run holds at once: the input raster (height rows of width
// samples, the row table, the description), the two twiddle tables of Nx
// and Ny complex values, the table of Ny row addresses, the Ny x Nx working
// array and the column of Ny complex values (the last two each padded to
// their alignment, at most a huge page), and the writer's strip byte-count
// table (4 bytes a strip, a strip holding at least one row).  False when
// the sum cannot be represented.
bool RunBytes(std::int32_t width, std::int32_t height, const char* description, std::size_t* total)
{
    constexpr std::size_t kComplexBytes = 2 * sizeof(double);
    constexpr std::size_t kAlignmentPadding = std::size_t{2} << 20;
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    const std::size_t nx = TransformLength(width);
    const std::size_t ny = TransformLength(height);
    const std::size_t text = description == nullptr ? 0 : std::strlen(description) + 1;
    std::size_t raster = 0;
    std::size_t rowTable = 0;
    std::size_t tables = 0;
    std::size_t workTable = 0;
    std::size_t array = 0;
    std::size_t column = 0;
    std::size_t counts = 0;
    return CheckedMul(w, h, sizeof(std::uint16_t), &raster) &&
           CheckedMul(h, sizeof(std::uint16_t*), &rowTable) &&
           CheckedMul(nx + ny, kComplexBytes, &tables) &&
           CheckedMul(ny, sizeof(double*), &workTable) &&
           CheckedMul(ny, nx, kComplexBytes, &array) && CheckedMul(ny, kComplexBytes, &column) &&
           CheckedMul(h, sizeof(std::uint32_t), &counts) && CheckedAdd(raster, rowTable, total) &&
           CheckedAdd(*total, text, total) && CheckedAdd(*total, tables, total) &&
           CheckedAdd(*total, workTable, total) && CheckedAdd(*total, array, total) &&
           CheckedAdd(*total, column, total) && CheckedAdd(*total, 2 * kAlignmentPadding, total) &&
           CheckedAdd(*total, counts, total);
}

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

    std::size_t runBytes = 0;
    if (!RunBytes(width, height, description, &runBytes) || !FitsAllocatable(runBytes))
        Error("memory allocation error.");
    FilterImage(width, height, bits, rows, radius, bias);
    StoreImageFile(output, width, height, bits, rows, description,
                   KeptPhotometric(photometric, bits));

    FreeImageFile(height, rows, description);
    return EXIT_SUCCESS;
}
