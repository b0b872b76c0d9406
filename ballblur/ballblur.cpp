// ballblur: a filled sphere on a constant background in an Nx x Ny x Nz
// volume, and the same sphere blurred by a normalised 3-D Gaussian of radius
// L, in closed form.  Each volume is written slice by slice as a numbered
// series of TIFF files; only the current slice of each is held in memory.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "arguments.hpp"
#include "error.hpp"
#include "memlimit.hpp"
#include "phantom.hpp"
#include "profile.hpp"
#include "sif.hpp"
#include "size.hpp"
#include "slicename.hpp"
#include "slices.hpp"

namespace {

constexpr int kArgumentsWithoutBias = 11;  // after the name, without the bias
constexpr double kMinGaussRadius = 1e-9;

// Parameters, in command-line order.
std::int32_t nx = 0;
std::int32_t ny = 0;
std::int32_t nz = 0;
double ox = 0.0;
double oy = 0.0;
double oz = 0.0;
double radius = 0.0;
double value = 0.0;
double bias = 0.0;
double gaussRadius = 0.0;
const char* sphereDirectory = nullptr;
const char* blurredDirectory = nullptr;

int bits = 0;  // bits per sample of both series

std::int32_t ParseCount(const char* text)
{
    const int n = ParseInteger(text);
    if (n <= 0) Error("bad number of pixels.");
    return n;
}

// The checks in their fixed order; the first failing one ends the program.
void ParseArguments(int argc, char** argv)
{
    const bool withBias = HasBiasArgument(
        argc, kArgumentsWithoutBias, "usage : ballblur Nx Ny Nz Ox Oy Oz R value {bias} L S/ GF/");
    nx = ParseCount(argv[1]);
    ny = ParseCount(argv[2]);
    nz = ParseCount(argv[3]);
    ox = std::atof(argv[4]);
    oy = std::atof(argv[5]);
    oz = std::atof(argv[6]);
    radius = std::atof(argv[7]);
    if (!(radius >= 0.0)) Error("bad radius of sphere.");  // NaN fails too

    // Negated tests, so that a centre that is not a number warns as well.
    if (!(ox - radius >= 0.0) || !(ox + radius <= nx - 1) || !(oy - radius >= 0.0) ||
        !(oy + radius <= ny - 1) || !(oz - radius >= 0.0) || !(oz + radius <= nz - 1))
        std::fputs("all or part of sphere is out of image (warning).\n", stderr);

    if (withBias) {
        bias = std::atof(argv[9]);
        CheckBias(bias);
    }
    value = std::atof(argv[8]);
    CheckValue(bias, value, "bad value of sphere.");
    bits = PhantomBits(bias, value);

    gaussRadius = std::atof(argv[argc - 3]);
    // An infinite radius would make every blurred value inf * 0.
    if (!(gaussRadius >= kMinGaussRadius) || std::isinf(gaussRadius))
        Error("bad radius of Gaussian filter.");
    sphereDirectory = argv[argc - 2];
    blurredDirectory = argv[argc - 1];
}

// Bytes the run holds at once: the sphere and the blurred slice, the row
// buffers of FillSlices and the writer's strip table, each as its module
// states it.  False when the sum cannot be represented.
bool RunBytes(std::size_t* total)
{
    std::size_t slice = 0;
    std::size_t rowBuffers = 0;
    std::size_t store = 0;
    return ImageBytes(nx, ny, &slice) && SliceFillBytes(nx, &rowBuffers) &&
           StoreBytes(ny, &store) &&
           CheckedSumOfProducts({{2, slice}, {rowBuffers}, {store}}, total);
}

}  // namespace

int main(int argc, char** argv)
{
    ParseArguments(argc, argv);

    std::size_t runBytes = 0;
    if (!RunBytes(&runBytes) || !FitsAllocatable(runBytes)) Error("memory allocation error.");
    std::uint16_t** sphere = AllocateImage(nx, ny);
    if (sphere == nullptr) Error("memory allocation error.");
    std::uint16_t** blurred = AllocateImage(nx, ny);
    if (blurred == nullptr) Error("memory allocation error.");

    const BallPhantom phantom = {nx,
                                 ny,
                                 ox,
                                 oy,
                                 oz,
                                 radius,
                                 gaussRadius,
                                 bias,
                                 value,
                                 bits,
                                 BallCentreFraction(radius, gaussRadius)};
    const int digits = SliceDigits(nz);
    const std::string description = PhantomDescription(bias, bits);
    const bool writeSphere = !Suppressed(sphereDirectory);
    const bool writeBlurred = !Suppressed(blurredDirectory);

    // Interleaved: sphere slice z, then blurred slice z, then slice z + 1.
    for (std::int32_t z = 0; z < nz; ++z) {
        FillSlices(phantom, z, sphere, blurred);
        if (writeSphere)
            StoreImageFile(SliceName(sphereDirectory, digits, z).c_str(), nx, ny, bits, sphere,
                           description.c_str());
        if (writeBlurred)
            StoreImageFile(SliceName(blurredDirectory, digits, z).c_str(), nx, ny, bits, blurred,
                           description.c_str());
    }

    FreeImage(blurred);
    FreeImage(sphere);
    return EXIT_SUCCESS;
}
