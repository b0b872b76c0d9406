// ballblur: a filled sphere on a constant background in an Nx x Ny x Nz
// volume, and the same sphere blurred by a normalised 3-D Gaussian of radius
// L, in closed form.  Each volume is written slice by slice as a numbered
// series of TIFF files; only the current slice of each is held in memory.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "error.hpp"
#include "memlimit.hpp"
#include "phantom.hpp"
#include "profile.hpp"
#include "rounding.hpp"
#include "sif.hpp"
#include "size.hpp"
#include "slicename.hpp"
#include "voxels.hpp"

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

// 2·centre when it is a whole number in 0 .. 2^32, else -1.  Index i and
// its mirror image c - i then lie at the same distance from the centre:
// (c - i) - centre = -(i - centre) exactly, since every quantity involved is a
// half-integer far below 2^53, so both squares are the same double.
std::int64_t MirrorSum(double centre)
{
    constexpr double kLimit = 4294967296.0;  // 2 * 2^31: every int32 index pair
    const double c = 2.0 * centre;
    if (!(c >= 0.0 && c <= kLimit) || c != std::floor(c)) return -1;
    return static_cast<std::int64_t>(c);
}

// Voxels farther than this many Gaussian radii from the surface take f = 1
// inside and f = 0 outside without the closed form: the kernel's mass
// beyond that distance from its centre, erfc(7) + (2/sqrt(pi)) 7 e^-49, is
// below 5e-21, so bias + value f moves by less than 1e-16 of the largest
// level (the formula itself rounds at about 1e-16 of f): a sample can only
// change when its exact value lies within that of a half-integer.
constexpr double kSaturatedReach = 7.0;

// The voxels of one row that are computed rather than copied from their
// mirror images, and are near enough to the surface to need the closed
// form: their columns, distances and profile values.
std::vector<std::int32_t> columns;
std::vector<double> distances;
std::vector<double> fractions;

// Fills slice z of both volumes.  The distance is evaluated exactly as
// sqrt((x-Ox)^2 + (y-Oy)^2 + (z-Oz)^2) in that order, with the row's terms
// hoisted, so that a voxel at distance exactly R is inside.  A row or voxel
// whose mirror image across the centre has been computed already is copied
// from it: its distance is the same double, so its samples are the same.
// The profile of the other voxels of a row near the surface is evaluated
// for all of them at once.
void FillSlices(std::int32_t z, std::uint16_t* const* sphere, std::uint16_t* const* blurred,
                double centre)
{
    const double top = TopSample(bits);
    const std::uint16_t inside = RoundSample(bias + value, TopSample(16));
    const std::uint16_t outside = RoundSample(bias, TopSample(16));
    const std::uint16_t blurredInside = RoundSample(bias + value * 1.0, top);
    const std::uint16_t blurredOutside = RoundSample(bias + value * 0.0, top);
    const double reach = kSaturatedReach * gaussRadius;
    const std::int64_t mirrorX = MirrorSum(ox);
    const std::int64_t mirrorY = MirrorSum(oy);
    const double dz = z - oz;
    const double dz2 = dz * dz;
    columns.resize(static_cast<std::size_t>(nx));
    distances.resize(static_cast<std::size_t>(nx));
    fractions.resize(static_cast<std::size_t>(nx));
    // Voxel x is a mirror copy when its mirror mirrorX - x lies in 0 .. x - 1.
    auto isCopy = [mirrorX](std::int32_t x) {
        const std::int64_t mx = mirrorX - x;
        return mx >= 0 && mx < x;
    };
    for (std::int32_t y = 0; y < ny; ++y) {
        std::uint16_t* sphereRow = sphere[y];
        std::uint16_t* blurredRow = blurred[y];
        const std::int64_t my = mirrorY - y;
        if (my >= 0 && my < y) {
            std::copy_n(sphere[my], nx, sphereRow);
            std::copy_n(blurred[my], nx, blurredRow);
            continue;
        }
        const double dy = y - oy;
        const double dy2 = dy * dy;
        std::size_t count = 0;
        for (std::int32_t x = 0; x < nx; ++x) {
            if (isCopy(x)) continue;
            const double dx = x - ox;
            const double d = std::sqrt(dx * dx + dy2 + dz2);
            sphereRow[x] = d <= radius ? inside : outside;
            // False for a distance that is not a number: the closed form
            // decides then.
            if (std::fabs(d - radius) >= reach) {
                blurredRow[x] = d < radius ? blurredInside : blurredOutside;
            } else {
                columns[count] = x;
                distances[count] = d;
                ++count;
            }
        }
        BallFractions(distances.data(), fractions.data(), count, radius, gaussRadius, centre);
        for (std::size_t i = 0; i < count; ++i)
            blurredRow[columns[i]] = RoundSample(bias + value * fractions[i], top);
        for (std::int32_t x = 0; x < nx; ++x) {
            if (!isCopy(x)) continue;
            const std::int64_t mx = mirrorX - x;
            sphereRow[x] = sphereRow[mx];
            blurredRow[x] = blurredRow[mx];
        }
    }
}

// Bytes the run holds at once: the sphere and the blurred slice (nx * ny
// samples and ny row pointers each), the row buffers of FillSlices (a
// column index, a distance and a fraction per column) and the writer's
// strip byte-count table (4 bytes a strip, a strip holding at least one
// row).  False when the sum cannot be represented.
bool RunBytes(std::size_t* total)
{
    const auto columns = static_cast<std::size_t>(nx);
    const auto rows = static_cast<std::size_t>(ny);
    constexpr std::size_t kRowBufferBytes = sizeof(std::int32_t) + 2 * sizeof(double);
    return CheckedSumOfProducts({{2, columns, rows, sizeof(std::uint16_t)},
                                 {2, rows, sizeof(std::uint16_t*)},
                                 {rows, sizeof(std::uint32_t)},
                                 {columns, kRowBufferBytes}},
                                total);
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

    const double centre = BallCentreFraction(radius, gaussRadius);
    const int digits = SliceDigits(nz);
    const std::string description = PhantomDescription(bias, bits);
    const bool writeSphere = !Suppressed(sphereDirectory);
    const bool writeBlurred = !Suppressed(blurredDirectory);

    // Interleaved: sphere slice z, then blurred slice z, then slice z + 1.
    for (std::int32_t z = 0; z < nz; ++z) {
        FillSlices(z, sphere, blurred, centre);
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
