#include "filter_program.hpp"

#include <cstdlib>

#include "arguments.hpp"
#include "error.hpp"
#include "memlimit.hpp"
#include "rif.hpp"
#include "sif.hpp"
#include "size.hpp"

namespace {

constexpr int kArgumentsWithoutBias = 3;  // after the name, without the bias

// Bytes the run holds at once: the input raster, the filter's work space
// and the writer's strip tables, each as its module states it.  False when
// the sum cannot be represented.
bool RunBytes(const FilterProgram& program, std::int32_t width, std::int32_t height,
              std::int32_t bits, double radius, const char* description, std::size_t* total)
{
    std::size_t raster = 0;
    std::size_t work = 0;
    std::size_t store = 0;
    return RasterBytes(width, height, description, &raster) &&
           program.workBytes(width, height, bits, radius, &work) && StoreBytes(height, &store) &&
           CheckedSumOfProducts({{raster}, {work}, {store}}, total);
}

}  // namespace

int RunFilterProgram(int argc, char** argv, const FilterProgram& program)
{
    const bool withBias = HasBiasArgument(argc, kArgumentsWithoutBias, program.usage);

    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::uint16_t** rows = nullptr;
    char* description = nullptr;
    std::int32_t photometric = 0;
    ReadImageFile(argv[1], &width, &height, &bits, &rows, &description, &photometric);

    const double radius = std::strtod(argv[2], nullptr);
    if (!program.acceptsRadius(radius)) Error("bad Gaussian radius.");
    const double bias = withBias ? std::strtod(argv[3], nullptr) : 0.0;
    const char* output = argv[argc - 1];

    std::size_t runBytes = 0;
    if (!RunBytes(program, width, height, bits, radius, description, &runBytes) ||
        !FitsAllocatable(runBytes))
        Error("memory allocation error.");
    if (!program.filter(rows, width, height, bits, radius, bias)) Error("memory allocation error.");
    StoreImageFile(output, width, height, bits, rows, description,
                   KeptPhotometric(photometric, bits));

    FreeImageFile(height, rows, description);
    return EXIT_SUCCESS;
}
