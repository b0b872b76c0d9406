// diskblur: a disk phantom and its exact Gaussian blur, as two TIFF files.
//
//   diskblur Nx Ny Ox Oy R value {bias} L C.tif GF.tif
//
// The blurred image is bias + value * f(d), f being the share of the
// Gaussian exp(-rho^2 / L^2) / (pi L^2) around a pixel that falls inside
// the disk, evaluated by a Bessel series once per 1/16 pixel of radius and
// interpolated for every pixel.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "arguments.hpp"
#include "error.hpp"
#include "memlimit.hpp"
#include "phantom.hpp"
#include "profile.hpp"
#include "render.hpp"
#include "rounding.hpp"
#include "sif.hpp"
#include "size.hpp"

namespace {

constexpr int kArgumentsWithoutBias = 9;  // after the name, without the bias
constexpr double kSmallestRadius = 1e-9;  // of the disk and of the Gaussian

// Bytes the run holds at once: the profile table of `entries` doubles,
// the disk and the blurred image, and the writer's strip table, each image
// and the table as their modules state them.  False when the sum cannot be
// represented.
bool RunBytes(std::size_t entries, std::int32_t nx, std::int32_t ny, std::size_t* total)
{
    std::size_t image = 0;
    std::size_t store = 0;
    return ImageBytes(nx, ny, &image) && StoreBytes(ny, &store) &&
           CheckedSumOfProducts({{entries, sizeof(double)}, {2, image}, {store}}, total);
}

}  // namespace

int main(int argc, char** argv)
{
    const bool withBias = HasBiasArgument(
        argc, kArgumentsWithoutBias, "usage : diskblur Nx Ny Ox Oy R value {bias} L C.tif GF.tif");

    const std::int32_t nx = ParseInteger(argv[1]);
    if (nx <= 0) Error("bad number of pixels.");
    const std::int32_t ny = ParseInteger(argv[2]);
    if (ny <= 0) Error("bad number of pixels.");
    const double ox = std::atof(argv[3]);
    const double oy = std::atof(argv[4]);
    const double radius = std::atof(argv[5]);
    if (!(radius >= kSmallestRadius)) Error("bad radius of circle.");

    if (ox - radius < 0.0 || ox + radius > nx - 1 || oy - radius < 0.0 || oy + radius > ny - 1)
        std::fputs("all or part of circle is out of image (warning).\n", stderr);

    double bias = 0.0;
    if (withBias) {
        bias = std::atof(argv[7]);
        CheckBias(bias);
    }
    const double value = std::atof(argv[6]);
    CheckValue(bias, value, "bad value of circle.");
    const int bits = PhantomBits(bias, value);

    const double gaussRadius = std::atof(argv[argc - 3]);
    if (!(gaussRadius >= kSmallestRadius)) Error("bad radius of Gaussian filter.");
    const char* diskPath = argv[argc - 2];
    const char* blurPath = argv[argc - 1];

    const std::size_t n = ProfileLength(FarthestDistance(nx, ny, ox, oy));
    std::size_t runBytes = 0;
    if (!RunBytes(n, nx, ny, &runBytes) || !FitsAllocatable(runBytes))
        Error("memory allocation error.");
    auto* profile = n == 0 ? nullptr : static_cast<double*>(std::malloc(n * sizeof(double)));
    if (profile == nullptr) Error("memory allocation error.");
    std::uint16_t** disk = AllocateImage(nx, ny);
    if (disk == nullptr) Error("memory allocation error.");
    std::uint16_t** blurred = AllocateImage(nx, ny);
    if (blurred == nullptr) Error("memory allocation error.");

    FillProfile(profile, FirstProfileEntry(nx, ny, ox, oy), n, radius, gaussRadius, bias, value);
    DiskPhantom phantom;
    phantom.nx = nx;
    phantom.ny = ny;
    phantom.ox = ox;
    phantom.oy = oy;
    phantom.radius = radius;
    phantom.diskSample = RoundSample(bias + value, TopSample(16));
    phantom.backgroundSample = RoundSample(bias, TopSample(16));
    phantom.bits = bits;
    phantom.profile = profile;
    FillDiskImages(phantom, disk, blurred);

    const std::string description = PhantomDescription(bias, bits);
    if (!Suppressed(diskPath)) StoreImageFile(diskPath, nx, ny, bits, disk, description.c_str());
    if (!Suppressed(blurPath)) StoreImageFile(blurPath, nx, ny, bits, blurred, description.c_str());

    FreeImage(blurred);
    FreeImage(disk);
    std::free(profile);
    return EXIT_SUCCESS;
}
