#include "profile.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_sf_bessel.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

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

// Highest order whose ratio is kept by the recurrence (8 MiB of ratios);
// beyond it the terms come from one library call per order.  Only a Bessel
// argument far beyond any image (L of a tiny fraction of a pixel with r at
// the rim) needs that many terms.
constexpr std::size_t kMaxRecurrenceOrder = std::size_t(1) << 20;

// Miller's method loses accuracy at order n by about (I_m(a) / I_n(a))^2
// when the backward recurrence starts at order m.  The scaled function
// falls roughly like exp(-n^2 / 2a), so starting at sqrt(n^2 + 40 a) (plus
// a few orders for small a, where it falls faster still) leaves a relative
// error below 1e-17 at every order up to n.
constexpr double kStartMarginPerArgument = 40.0;
constexpr std::size_t kStartMarginOrders = 16;

// The first guess of the last order: the term q^n exp(-n^2 / 2a) is below
// 1e-10 from here on, one decade under the stopping share.  A wrong guess
// only costs another pass with twice the orders.
constexpr double kLogPlannedShare = 23.0259;  // ln 1e10
constexpr std::size_t kPlannedMarginOrders = 8;

// ratios[j] = I_j(a) / I_{j-1}(a) for j = 1 .. the last planned order.
std::vector<double> ratios;

std::size_t PlannedOrder(double a, double q)
{
    double n = std::sqrt(2.0 * kLogPlannedShare * a);
    if (q < 1.0) {
        const double byPower = kLogPlannedShare / -std::log(q);
        if (byPower < n) n = byPower;
    }
    if (!(n < static_cast<double>(kMaxRecurrenceOrder))) return kMaxRecurrenceOrder;
    return static_cast<std::size_t>(n) + kPlannedMarginOrders;
}

// Fills ratios[1 .. last] by the backward recurrence
// I_{j-1}(a) = (2j / a) I_j(a) + I_{j+1}(a), in ratio form
// I_j / I_{j-1} = 1 / (2j / a + I_{j+1} / I_j), started with a zero ratio
// above the last order.  An argument of 0 (or one whose 2j / a overflows)
// gives zero ratios: every term of order >= 1 is then 0.
void FillRatios(double a, std::size_t last)
{
    const double m = std::sqrt(static_cast<double>(last) * static_cast<double>(last) +
                               kStartMarginPerArgument * a);
    const std::size_t start = static_cast<std::size_t>(m) + kStartMarginOrders;
    ratios.resize(last + 1);
    double ratio = 0.0;
    for (std::size_t j = start; j > last; --j) {
        ratio = 1.0 / (2.0 * static_cast<double>(j) / a + ratio);
    }
    for (std::size_t j = last; j >= 1; --j) {
        ratio = 1.0 / (2.0 * static_cast<double>(j) / a + ratio);
        ratios[j] = ratio;
    }
}

// The series stops at the first term whose share of the sum is at most the
// tolerance.  Written so that a zero term (0 / 0 included) and a term that
// is not a number also end it: an infinite disk under an infinite Gaussian
// has no defined share.
bool LastTerm(double term, double sum)
{
    return !(term != 0.0 && std::fabs(term / sum) > kSeriesTolerance);
}

// f(r) by the series.  Outside the disk, an f whose bound of E * S is at
// most outsideLimit is returned as 0; inside, a bound of E * S at most
// insideLimit gives f = 1.  Negative limits never cut the series short.
//
// The scaled Bessel functions of orders 1, 2, ... at the one argument a
// come from the backward recurrence, normalised by the library's I0(a);
// orders beyond kMaxRecurrenceOrder (and every order when a is not a
// finite number) come from the library one by one.
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
    }
    const double i0 = ScaledBessel(0, a);
    if (q < 1.0 && limit >= 0.0) {
        const double bound = e * kSumBoundFactor * (inside ? 1.0 : q) / (1.0 - q);
        if (bound * i0 <= limit) return saturated;
    }

    double sum = inside ? i0 : 0.0;
    double power = 1.0;
    std::size_t order = 1;
    if (std::isfinite(a)) {
        double bessel = i0;
        std::size_t last = PlannedOrder(a, q);
        for (;;) {
            FillRatios(a, last);
            for (; order <= last; ++order) {
                power *= q;
                bessel *= ratios[order];
                const double term = power * bessel;
                sum += term;
                if (LastTerm(term, sum)) return inside ? 1.0 - e * sum : e * sum;
            }
            if (last >= kMaxRecurrenceOrder) break;
            last = last * 2 < kMaxRecurrenceOrder ? last * 2 : kMaxRecurrenceOrder;
        }
    }
    // The terms never grow, so |term / sum| <= 1 / order and the loop ends
    // long before the order could overflow.
    for (;; ++order) {
        power *= q;
        const double term = power * ScaledBessel(static_cast<int>(order), a);
        sum += term;
        if (LastTerm(term, sum)) break;
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
