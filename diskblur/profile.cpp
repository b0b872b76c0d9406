#include "profile.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_sf_bessel.h>

#include <cmath>
#include <limits>

#include "error.hpp"
#include "size.hpp"

namespace {

// The series stops at the first term whose share of the running sum is at
// most this.
constexpr double kSeriesTolerance = 1e-9;

// An E * S at most this leaves 1 - E * S == 1.0 exactly (half an ulp below
// 1.0 is 2^-54), with a factor 4 to spare.
constexpr double kNegligibleInside = 0x1p-56;

// |value| * f at most bias * 2^-56 (or 2^-56 without a bias) leaves
// bias + value * f == bias, and 0.5 + value * f == 0.5 without a bias: half
// an ulp of a positive number x is more than x * 2^-54.
constexpr double kNegligibleShare = 0x1p-56;

// A bound of the computed series sum S is
// kSumBoundFactor * I0(a) * q / (1 - q) outside the disk and
// kSumBoundFactor * I0(a) / (1 - q) inside (I0 the scaled Bessel function of
// order 0): every scaled Bessel function of order n >= 0 lies in [0, I0(a)],
// and the factor covers the rounding of the powers and of the library's
// values many times over.
constexpr double kSumBoundFactor = 2.0;

double ScaledBessel(int order, double x)
{
    gsl_sf_result result;
    const int status = gsl_sf_bessel_In_scaled_e(order, x, &result);
    if (status == GSL_SUCCESS) return result.val;
    if (status == GSL_EUNDRFLW) return 0.0;
    Error("bessel function evaluation failed.");
}

// f(r) by the series.  Outside the disk, an f whose bound of E * S is at
// most outsideLimit is returned as 0; inside, a bound of E * S at most
// insideLimit gives f = 1.  Negative limits never cut the series short.
double Fraction(double r, double R, double L, double insideLimit, double outsideLimit)
{
    const double l2 = L * L;
    const double a = 2.0 * r * R / l2;
    const double e = std::exp(-(r - R) * (r - R) / l2);
    const bool inside = r < R;
    const double q = inside ? r / R : R / r;
    const double limit = inside ? insideLimit : outsideLimit;
    const double saturated = inside ? 1.0 : 0.0;

    if (q < 1.0 && limit >= 0.0) {
        // First without I0(a) <= 1, which needs no library call (and spares
        // it an argument out of its range when E is 0 anyway).
        const double bound = e * kSumBoundFactor * (inside ? 1.0 : q) / (1.0 - q);
        if (bound <= limit) return saturated;
        if (bound * ScaledBessel(0, a) <= limit) return saturated;
    }

    double sum = inside ? ScaledBessel(0, a) : 0.0;
    double power = 1.0;
    // The terms never grow, so |term / sum| <= 1 / order and the loop ends
    // long before the order could overflow.  Written so that a zero term
    // (0 / 0 included) and a term that is not a number also end it: an
    // infinite disk under an infinite Gaussian has no defined share.
    for (int order = 1;; ++order) {
        power *= q;
        const double term = power * ScaledBessel(order, a);
        sum += term;
        if (!(term != 0.0 && std::fabs(term / sum) > kSeriesTolerance)) break;
    }
    return inside ? 1.0 - e * sum : e * sum;
}

}  // namespace

double DiskFraction(double r, double R, double L)
{
    gsl_set_error_handler_off();
    return Fraction(r, R, L, -1.0, -1.0);
}

std::size_t ProfileLength(double dmax)
{
    if (!(dmax >= 0.0 && dmax <= std::numeric_limits<double>::max())) return 0;
    const double count = std::floor(kProfileStepsPerPixel * dmax) + 2.0;
    if (!(count < 0x1p62)) return 0;
    const auto n = static_cast<std::size_t>(count);
    std::size_t bytes = 0;
    if (!CheckedMul(n, sizeof(double), &bytes)) return 0;
    return n;
}

void FillProfile(double* table, std::size_t first, std::size_t n, double R, double L, double bias,
                 double value)
{
    gsl_set_error_handler_off();
    const double share = (bias > 0.0 ? bias : 1.0) * kNegligibleShare;
    const double outsideLimit =
        std::fabs(value) > 0.0 ? share / std::fabs(value) : std::numeric_limits<double>::infinity();
    for (std::size_t i = first; i < n; ++i) {
        const double r = static_cast<double>(i) / kProfileStepsPerPixel;
        const double f = Fraction(r, R, L, kNegligibleInside, outsideLimit);
        table[i] = bias + value * f + 0.5;
    }
}
