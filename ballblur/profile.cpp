#include "profile.hpp"

#include <cmath>

namespace {

constexpr double kSqrtPi = 1.772453850905516;  // the double nearest to sqrt(pi)
constexpr double kCentreDistance = 1e-9;       // closer voxels use the centre value
// exp(a) rounds to +0 for every a below this (e^-746 is less than half the
// smallest subnormal double).
constexpr double kExpIsZeroBelow = -746.0;

// exp(-t^2).  Far from the surface the argument is hugely negative, where the
// math library reaches its 0 through a slow underflow path that also sets
// errno; the same 0 is returned directly.
double ExpMinusSquare(double t)
{
    const double a = -(t * t);
    return a < kExpIsZeroBelow ? 0.0 : std::exp(a);
}

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
    const double gap = ExpMinusSquare(u) - ExpMinusSquare(w);
    // A zero gap gives a zero term even where L/d overflows, instead of NaN.
    const double tail = gap == 0.0 ? 0.0 : (gaussRadius / d) * gap / kSqrtPi;
    const double f = 0.5 * (std::erf(u) + std::erf(w) - tail);
    // NaN only comes from a centre that is not a number (or inf - inf): such a
    // ball lies nowhere, so nothing of the kernel falls inside it.
    return std::isnan(f) ? 0.0 : f;
}
