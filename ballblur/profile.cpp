#include "profile.hpp"

#include <cmath>

namespace {

constexpr double kSqrtPi = 1.772453850905516;  // the double nearest to sqrt(pi)
constexpr double kCentreDistance = 1e-9;       // closer voxels use the centre value

}  // namespace

double BallCentreFraction(double radius, double gaussRadius)
{
    const double q = radius / gaussRadius;
    // An infinite ratio (a huge ball or an infinite radius) is the whole
    // kernel; the product below would be inf * 0.
    if (std::isinf(q)) return 1.0;
    return std::erf(q) - (2.0 / kSqrtPi) * q * std::exp(-(q * q));
}

double BallFraction(double d, double radius, double gaussRadius, double centre)
{
    if (d < kCentreDistance) return centre;
    const double u = (radius - d) / gaussRadius;
    const double w = (radius + d) / gaussRadius;
    const double gap = std::exp(-(u * u)) - std::exp(-(w * w));
    // A zero gap gives a zero term even where L/d overflows, instead of NaN.
    const double tail = gap == 0.0 ? 0.0 : (gaussRadius / d) * gap / kSqrtPi;
    const double f = 0.5 * (std::erf(u) + std::erf(w) - tail);
    // NaN only comes from a centre that is not a number (or inf - inf): such a
    // ball lies nowhere, so nothing of the kernel falls inside it.
    return std::isnan(f) ? 0.0 : f;
}
