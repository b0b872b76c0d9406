#include "render.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "dispatch.hpp"
#include "phantom.hpp"
#include "profile.hpp"
#include "rounding.hpp"

namespace {

// Distances computed for pixels may differ from the exact ones in the last
// bits; the first entry is taken this much lower to stay clear of that.
constexpr double kNearestMargin = 1e-9;

// One row of both images.  `Index` is the type the table index is
// converted to: std::int32_t lets the vectoriser use packed conversions and
// gathers, and serves whenever the table has fewer than 2^31 entries.
template <typename Index>
[[gnu::always_inline]] inline void FillRow(const DiskPhantom& p, double dy2, std::uint16_t* diskRow,
                                           std::uint16_t* blurRow)
{
    const double* t = p.profile;
    const double top = MaxSample(p.bits);
    const double ox = p.ox;
    const double radius = p.radius;
    const std::uint16_t inside = p.diskSample;
    const std::uint16_t outside = p.backgroundSample;
    for (std::int32_t x = 0; x < p.nx; ++x) {
        const double dx = x - ox;
        const double d = std::sqrt(dx * dx + dy2);
        diskRow[x] = d <= radius ? inside : outside;
        const double s = kProfileStepsPerPixel * d;
        const auto k = static_cast<Index>(s);
        const double w = s - static_cast<double>(k);
        const double v = t[k] + w * (t[k + 1] - t[k]);
        // The common rounding rule (the offset is in the table); inlined, so
        // that the loop vectorises.  The tests hold every build of this loop
        // to the scalar rule.
        blurRow[x] = OffsetSample(v, top);
    }
}

template <typename Index>
[[gnu::always_inline]] inline void FillAllRows(const DiskPhantom& p, std::uint16_t* const* disk,
                                               std::uint16_t* const* blurred)
{
    for (std::int32_t y = 0; y < p.ny; ++y) {
        const double dy = y - p.oy;
        FillRow<Index>(p, dy * dy, disk[y], blurred[y]);
    }
}

// The same loops built for AVX2 (twice the vector width); no FMA, so the
// arithmetic and every sample stay exactly as in the portable build.
BLUR_BUILD_AVX2 void FillRowsAvx2(const DiskPhantom& p, std::uint16_t* const* disk,
                                  std::uint16_t* const* blurred)
{
    FillAllRows<std::int32_t>(p, disk, blurred);
}

void FillRowsPortable(const DiskPhantom& p, std::uint16_t* const* disk,
                      std::uint16_t* const* blurred)
{
    FillAllRows<std::int32_t>(p, disk, blurred);
}

void FillRowsLargeTable(const DiskPhantom& p, std::uint16_t* const* disk,
                        std::uint16_t* const* blurred)
{
    FillAllRows<std::size_t>(p, disk, blurred);
}

using Fill = void (*)(const DiskPhantom&, std::uint16_t* const*, std::uint16_t* const*);

// For tables of fewer than 2^31 entries.
constexpr CodeBuilds<Fill> kBuilds = {FillRowsPortable, BLUR_X86_BUILD(FillRowsAvx2)};

// True when every table index fits std::int32_t.
bool SmallTable(const DiskPhantom& p)
{
    return ProfileLength(FarthestDistance(p.nx, p.ny, p.ox, p.oy)) <=
           static_cast<std::size_t>(INT32_MAX);
}

}  // namespace

double FarthestDistance(std::int32_t nx, std::int32_t ny, double ox, double oy)
{
    const double fx = std::max(ox, (nx - 1) - ox);
    const double fy = std::max(oy, (ny - 1) - oy);
    return std::sqrt(fx * fx + fy * fy);
}

double NearestDistance(std::int32_t nx, std::int32_t ny, double ox, double oy)
{
    const double cx = std::clamp(ox, 0.0, static_cast<double>(nx - 1));
    const double cy = std::clamp(oy, 0.0, static_cast<double>(ny - 1));
    return std::hypot(ox - cx, oy - cy);
}

std::size_t FirstProfileEntry(std::int32_t nx, std::int32_t ny, double ox, double oy)
{
    const double s =
        kProfileStepsPerPixel * NearestDistance(nx, ny, ox, oy) * (1.0 - kNearestMargin);
    if (!(s >= 2.0)) return 0;
    return static_cast<std::size_t>(s) - 1;
}

void FillDiskImages(const DiskPhantom& phantom, std::uint16_t* const* disk,
                    std::uint16_t* const* blurred)
{
    (SmallTable(phantom) ? kBuilds.Active() : FillRowsLargeTable)(phantom, disk, blurred);
}
