// The blurred-sphere fraction f(d) of profile.hpp, written once for the
// scalar profile (the math library's erf and exp) and the voxel kernels
// (their own, vectorisable erf and exp), which evaluate the functions and
// leave the rest of the formula to these.
#pragma once

namespace ballfraction {

constexpr double kSqrtPi = 1.772453850905516;  // the double nearest to sqrt(pi)
constexpr double kCentreDistance = 1e-9;       // closer voxels use the centre value

// The arguments u = (R - d)/L and w = (R + d)/L of the functions.
[[gnu::always_inline]] inline double ArgumentU(double d, double radius, double gaussRadius)
{
    return (radius - d) / gaussRadius;
}
[[gnu::always_inline]] inline double ArgumentW(double d, double radius, double gaussRadius)
{
    return (radius + d) / gaussRadius;
}

// f(d) = (erf(u) + erf(w) - (L/d) (exp(-u^2) - exp(-w^2)) / sqrt(pi)) / 2
// from erfSum = erf(u) + erf(w) and gap = exp(-u^2) - exp(-w^2); `centre`
// below kCentreDistance.  A zero gap gives a zero term even where L/d
// overflows; NaN, which only comes from a centre that is not a number (or
// inf - inf), gives 0: such a ball lies nowhere.
[[gnu::always_inline]] inline double Fraction(double d, double gaussRadius, double centre,
                                              double erfSum, double gap)
{
    const double tail = gap == 0.0 ? 0.0 : (gaussRadius / d) * gap / kSqrtPi;
    const double g = 0.5 * (erfSum - tail);
    const double h = g != g ? 0.0 : g;
    return d < kCentreDistance ? centre : h;
}

}  // namespace ballfraction
