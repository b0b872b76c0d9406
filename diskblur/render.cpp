#include "render.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "phantom.hpp"
#include "profile.hpp"

namespace {

// Distances computed for pixels may differ from the exact ones in the last
// bits; the first entry is taken this much lower to stay clear of that.
constexpr double kNearestMargin = 1e-9;

void FillRow(const DiskPhantom& p, double dy2, std::uint16_t* diskRow, std::uint16_t* blurRow)
{
    const double* t = p.profile;
    const double top = MaxSample(p.bits);
    for (std::int32_t x = 0; x < p.nx; ++x) {
        const double dx = x - p.ox;
        const double d = std::sqrt(dx * dx + dy2);
        diskRow[x] = d <= p.radius ? p.diskSample : p.backgroundSample;
        const double s = kProfileStepsPerPixel * d;
        const auto k = static_cast<std::size_t>(s);
        const double w = s - static_cast<double>(k);
        const double v = t[k] + w * (t[k + 1] - t[k]);
        // The rule of ClampSample, written out so that the loop stays simple.
        const double c = !(v >= 0.0) ? 0.0 : (v > top ? top : v);
        blurRow[x] = static_cast<std::uint16_t>(c);
    }
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
    for (std::int32_t y = 0; y < phantom.ny; ++y) {
        const double dy = y - phantom.oy;
        FillRow(phantom, dy * dy, disk[y], blurred[y]);
    }
}
