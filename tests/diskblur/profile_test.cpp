// The blurred-disk profile against a plain 2-D numerical integration of the
// normalised Gaussian over the disk, and the table against the profile.
#include "profile.hpp"

#include <gsl/gsl_integration.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <string>
#include <vector>

namespace {

// Composite Gauss-Legendre rule: `panels` equal panels of 16 points each.
template <typename F>
double Integrate(F f, double lo, double hi, int panels)
{
    static gsl_integration_glfixed_table* const rule = gsl_integration_glfixed_table_alloc(16);
    const double width = (hi - lo) / panels;
    double sum = 0.0;
    for (int p = 0; p < panels; ++p) {
        const double a = lo + p * width;
        for (std::size_t i = 0; i < 16; ++i) {
            double x = 0.0;
            double w = 0.0;
            gsl_integration_glfixed_point(a, a + width, i, &x, &w, rule);
            sum += w * f(x);
        }
    }
    return sum;
}

// Exponents beyond this make a negligible contribution (e^-64 ~ 1.6e-28).
constexpr double kCutExponent = 64.0;

// The share of the Gaussian exp(-|p - c|^2 / L^2) / (pi L^2), c at distance r
// from the origin, that lies in the disk |p| <= R, in polar coordinates
// (rho, phi) around the disk centre.  |p - c|^2 = (rho - r)^2 +
// 4 rho r sin^2(phi / 2); phi runs over [0, pi] twice by symmetry, and both
// ranges are cut where the exponent passes kCutExponent.
double IntegratedFraction(double r, double R, double L, int panels)
{
    const double l2 = L * L;
    const double lo = std::max(0.0, r - std::sqrt(kCutExponent) * L);
    const double hi = std::min(R, r + std::sqrt(kCutExponent) * L);
    if (lo >= hi) return 0.0;
    auto radial = [&](double rho) {
        const double c = 4.0 * rho * r / l2;
        const double s = c > kCutExponent ? std::sqrt(kCutExponent / c) : 1.0;
        const double phiMax = 2.0 * std::asin(s);
        auto angular = [&](double phi) {
            const double h = std::sin(phi / 2.0);
            return std::exp(-c * h * h);
        };
        const double inner = Integrate(angular, 0.0, phiMax, panels / 4);
        return rho * std::exp(-(rho - r) * (rho - r) / l2) * inner;
    };
    return 2.0 / (M_PI * l2) * Integrate(radial, lo, hi, panels);
}

struct FractionCase {
    double r;
    double R;
    double L;
    double tolerance;
};

void PrintTo(const FractionCase& c, std::ostream* os)
{
    *os << "r " << c.r << ", R " << c.R << ", L " << c.L << ", tolerance " << c.tolerance;
}

// The series stops at the first term below 1e-9 of the sum.  Near the rim
// with a large a = 2 r R / L^2 the terms fall slowly (like exp(-j^2 / 2a)),
// and the tail left out is about a / j ~ 100 times the last term: a few
// 1e-8 at R = 500, L = 1 (summing on to 1e-18 matches the integral to 1e-10).
constexpr double kTolerance = 1e-8;
constexpr double kLongSeriesTolerance = 1e-7;

class DiskFractionTest : public testing::TestWithParam<FractionCase> {};

TEST_P(DiskFractionTest, MatchesIntegral)
{
    const FractionCase c = GetParam();
    const double coarse = IntegratedFraction(c.r, c.R, c.L, 64);
    const double fine = IntegratedFraction(c.r, c.R, c.L, 128);
    ASSERT_NEAR(coarse, fine, 1e-12) << "the integration has not converged";
    EXPECT_NEAR(DiskFraction(c.r, c.R, c.L), fine, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Radii, DiskFractionTest,
    testing::Values(
        // centre, inside, at the rim, just outside, far outside
        FractionCase{0.0, 10.0, 2.0, kTolerance}, FractionCase{3.0, 10.0, 2.0, kTolerance},
        FractionCase{9.5, 10.0, 2.0, kTolerance}, FractionCase{10.0, 10.0, 2.0, kTolerance},
        FractionCase{10.0625, 10.0, 2.0, kTolerance}, FractionCase{14.0, 10.0, 2.0, kTolerance},
        FractionCase{25.0, 10.0, 2.0, kTolerance},
        // a disk smaller than the Gaussian
        FractionCase{0.0, 0.5, 3.0, kTolerance}, FractionCase{0.25, 0.5, 3.0, kTolerance},
        FractionCase{5.0, 0.5, 3.0, kTolerance},
        // large R r / L^2: long series near the rim
        FractionCase{490.0, 500.0, 1.0, kTolerance},
        FractionCase{499.5, 500.0, 1.0, kLongSeriesTolerance},
        FractionCase{500.0, 500.0, 1.0, kLongSeriesTolerance},
        FractionCase{500.0625, 500.0, 1.0, kLongSeriesTolerance},
        FractionCase{501.25, 500.0, 1.0, kLongSeriesTolerance},
        FractionCase{503.0, 500.0, 1.0, kTolerance}));

// The series term by term on Bessel values from long double arithmetic:
// unnormalised values by the backward recurrence, started far above the
// last order, and normalised by the sum rule I0 + 2 (I1 + I2 + ...) = 1 of
// the scaled functions (e^a = I_0(a) + 2 sum I_j(a)), so that neither the
// library nor the profile's normalisation enters.  (The library's values of
// high order, one call per order, are only good to about 1e-12 relative at
// arguments near 10^5.)
double ReferenceSeries(double r, double R, double L)
{
    const long double a = 2.0L * r * R / (static_cast<long double>(L) * L);
    const long double e = std::exp(-(static_cast<long double>(r) - R) * (r - R) / (L * L));
    const bool inside = r < R;
    const long double q =
        inside ? static_cast<long double>(r) / R : R / static_cast<long double>(r);
    std::vector<long double> bessel(2, 0.0L);
    if (a == 0.0L) {
        bessel[0] = 1.0L;
    } else {
        const auto start =
            static_cast<std::size_t>(std::sqrt(static_cast<double>(a) * (2.0 * 30.0 + 40.0)) +
                                     2.0 * std::sqrt(static_cast<double>(a)) + 64.0);
        bessel.assign(start + 2, 0.0L);
        bessel[start] = 1e-300L;
        for (std::size_t j = start; j >= 1; --j) {
            bessel[j - 1] = 2.0L * j / a * bessel[j] + bessel[j + 1];
            if (bessel[j - 1] > 1e300L) {  // rescale before long double overflows
                for (std::size_t k = j - 1; k <= start; ++k) bessel[k] *= 1e-300L;
            }
        }
        long double norm = 0.0L;
        for (std::size_t j = start; j >= 1; --j) norm += 2.0L * bessel[j];
        norm += bessel[0];
        for (long double& v : bessel) v /= norm;
    }
    long double sum = inside ? bessel[0] : 0.0L;
    long double power = 1.0L;
    for (std::size_t j = 1;; ++j) {
        power *= q;
        const long double term = j < bessel.size() ? power * bessel[j] : 0.0L;
        sum += term;
        if (term == 0.0L || std::fabs(term / sum) <= 1e-9L) break;
    }
    return static_cast<double>(inside ? 1.0L - e * sum : e * sum);
}

struct SeriesCase {
    double R;
    double L;
};

void PrintTo(const SeriesCase& c, std::ostream* os)
{
    *os << "R " << c.R << ", L " << c.L;
}

std::string SeriesCaseName(const testing::TestParamInfo<SeriesCase>& info)
{
    auto text = [](double x) {
        std::string s = std::to_string(x);
        s.erase(s.find_last_not_of('0') + 1);
        if (s.back() == '.') s.pop_back();
        for (char& c : s)
            if (c == '.') c = 'p';
        return s;
    };
    std::string name = "R";
    name += text(info.param.R);
    name += "_L";
    name += text(info.param.L);
    return name;
}

class RecurrenceTest : public testing::TestWithParam<SeriesCase> {};

// Radii across the disk, near and at the rim and outside; the Bessel
// argument 2 r R / L^2 reaches from 0 to about 10^6 over the cases.
TEST_P(RecurrenceTest, MatchesTheSeriesTermByTerm)
{
    const SeriesCase c = GetParam();
    std::vector<double> radii;
    for (const double share :
         {0.0, 0.05, 0.3, 0.6, 0.9, 0.97, 0.99, 0.999, 1.0, 1.001, 1.01, 1.03, 1.1, 1.5, 3.0})
        radii.push_back(share * c.R);
    for (int k = -24; k <= 24; ++k) radii.push_back(c.R + k * c.L / 8.0);
    for (const double r : radii) {
        if (r < 0.0) continue;
        const double expected = ReferenceSeries(r, c.R, c.L);
        const double f = DiskFraction(r, c.R, c.L);
        const double tolerance = std::max(1e-13 * std::fabs(expected), 1e-15);
        EXPECT_NEAR(f, expected, tolerance)
            << "r = " << r << ", a = " << 2.0 * r * c.R / (c.L * c.L);
    }
}

INSTANTIATE_TEST_SUITE_P(Arguments, RecurrenceTest,
                         testing::Values(SeriesCase{0.5, 3.0}, SeriesCase{3.0, 2.0},
                                         SeriesCase{10.0, 0.5}, SeriesCase{40.0, 4.0},
                                         SeriesCase{40.0, 0.3}, SeriesCase{500.0, 1.0},
                                         SeriesCase{1000.0, 4.0}, SeriesCase{2000.0, 2.83},
                                         SeriesCase{700.0, 0.99}, SeriesCase{1e-9, 1e-9},
                                         SeriesCase{5.0, 1e3}),
                         SeriesCaseName);

TEST(DiskFraction, StaysWithinZeroAndOneAndFalls)
{
    for (const double L : {0.3, 2.0, 40.0}) {
        double previous = 1.0;
        for (double r = 0.0; r < 30.0; r += 0.25) {
            const double f = DiskFraction(r, 12.0, L);
            EXPECT_GE(f, 0.0);
            EXPECT_LE(f, previous + 1e-15) << "r = " << r << ", L = " << L;
            previous = f;
        }
    }
}

TEST(ProfileLength, ReachesTheFarthestPixel)
{
    EXPECT_EQ(ProfileLength(0.0), 2u);
    EXPECT_EQ(ProfileLength(1.0), 18u);
    EXPECT_EQ(ProfileLength(1.03), 18u);  // floor(16.48) + 2
    EXPECT_EQ(ProfileLength(1.0625), 19u);
    EXPECT_EQ(ProfileLength(std::hypot(511.5, 511.5)), 11575u);  // 16 * 723.37...
}

TEST(ProfileLength, RefusesSizesThatCannotBeRepresented)
{
    EXPECT_EQ(ProfileLength(NAN), 0u);
    EXPECT_EQ(ProfileLength(INFINITY), 0u);
    EXPECT_EQ(ProfileLength(-1.0), 0u);
    EXPECT_EQ(ProfileLength(1e300), 0u);
    EXPECT_EQ(ProfileLength(0x1p60), 0u);
}

struct TableCase {
    double R;
    double L;
    double bias;
    double value;
};

void PrintTo(const TableCase& c, std::ostream* os)
{
    *os << "R " << c.R << ", L " << c.L << ", bias " << c.bias << ", value " << c.value;
}

class FillProfileTest : public testing::TestWithParam<TableCase> {};

// Entries that skip the series hold the very number that the series gives.
TEST_P(FillProfileTest, EveryEntryIsTheBlurredLevelPlusOneHalf)
{
    const TableCase c = GetParam();
    const std::size_t n = ProfileLength(c.R + 20.0 * c.L + 5.0);
    std::vector<double> table(n);
    FillProfile(table.data(), 0, n, c.R, c.L, c.bias, c.value);
    for (std::size_t i = 0; i < n; ++i) {
        const double r = static_cast<double>(i) / 16.0;
        const double expected = c.bias + c.value * DiskFraction(r, c.R, c.L) + 0.5;
        ASSERT_EQ(table[i], expected) << "entry " << i;
    }
    EXPECT_NEAR(table[0], c.bias + c.value * (1.0 - std::exp(-c.R * c.R / (c.L * c.L))) + 0.5,
                1e-9 * std::fabs(c.value) + 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Levels, FillProfileTest,
    testing::Values(TableCase{10.0, 2.0, 0.0, 255.0}, TableCase{10.0, 2.0, 100.0, -100.0},
                    TableCase{30.0, 0.7, 3.0, 60000.0}, TableCase{5.0, 0.05, 128.0, 1.0},
                    TableCase{0.5, 3.0, 0.0, 1.0}, TableCase{20.0, 4.0, 7.0, 0.0},
                    TableCase{8.0, 1.0, 0.25, 1e-300}));

TEST(FillProfile, LeavesTheEntriesBeforeTheFirstAlone)
{
    std::vector<double> table(200, -7.0);
    FillProfile(table.data(), 150, table.size(), 3.0, 1.0, 0.0, 15.0);
    for (std::size_t i = 0; i < 150; ++i) ASSERT_EQ(table[i], -7.0);
    for (std::size_t i = 150; i < 200; ++i) ASSERT_EQ(table[i], 0.5);  // far outside
}

}  // namespace
