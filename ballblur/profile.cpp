#include "profile.hpp"

#include <cmath>

#include "fraction.hpp"

namespace {

using ballfraction::kSqrtPi;

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
    if (d < ballfraction::kCentreDistance) return centre;
    const double u = ballfraction::ArgumentU(d, radius, gaussRadius);
    const double w = ballfraction::ArgumentW(d, radius, gaussRadius);
    return ballfraction::Fraction(d, gaussRadius, centre, std::erf(u) + std::erf(w),
                                  ExpMinusSquare(u) - ExpMinusSquare(w));
}
