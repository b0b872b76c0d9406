// Filling the slices of ballblur's two volumes (see slices.hpp).
#include "slices.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "rounding.hpp"
#include "size.hpp"
#include "voxels.hpp"

namespace {

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

}  // namespace

// The distance is evaluated exactly as
// sqrt((x-Ox)^2 + (y-Oy)^2 + (z-Oz)^2) in that order, with the row's terms
// hoisted, so that a voxel at distance exactly R is inside.  A row or voxel
// whose mirror image across the centre has been computed already is copied
// from it: its distance is the same double, so its samples are the same.
// The profile of the other voxels of a row near the surface is evaluated
// for all of them at once.
void FillSlices(const BallPhantom& p, std::int32_t z, std::uint16_t* const* sphere,
                std::uint16_t* const* blurred)
{
    const std::int32_t nx = p.nx;
    const std::int32_t ny = p.ny;
    const double ox = p.ox;
    const double oy = p.oy;
    const double radius = p.radius;
    const double gaussRadius = p.gaussRadius;
    const double bias = p.bias;
    const double value = p.value;
    const double centre = p.centre;
    const int bits = p.bits;
    const double top = TopSample(bits);
    const std::uint16_t inside = RoundSample(bias + value, TopSample(16));
    const std::uint16_t outside = RoundSample(bias, TopSample(16));
    const std::uint16_t blurredInside = RoundSample(bias + value * 1.0, top);
    const std::uint16_t blurredOutside = RoundSample(bias + value * 0.0, top);
    const double reach = kSaturatedReach * gaussRadius;
    const std::int64_t mirrorX = MirrorSum(ox);
    const std::int64_t mirrorY = MirrorSum(oy);
    const double dz = z - p.oz;
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

bool SliceFillBytes(std::int32_t nx, std::size_t* bytes)
{
    constexpr std::size_t kRowBufferBytes = sizeof(std::int32_t) + 2 * sizeof(double);
    return CheckedMul(static_cast<std::size_t>(nx), kRowBufferBytes, bytes);
}
