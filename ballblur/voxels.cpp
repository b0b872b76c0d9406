#include "voxels.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "dispatch.hpp"

namespace {

constexpr double kSqrtPi = 1.772453850905516;  // the double nearest to sqrt(pi)
constexpr double kCentreDistance = 1e-9;       // closer voxels use the centre value

// exp: x = n ln2 + r with |r| <= ln2 / 2, ln2 split so that n * kLn2High
// is exact for every n in range; e^r by its Taylor series to r^13 (the
// remainder is below 1e-17 relative); 2^n applied as two factors so that
// results down to the subnormal range come out right.
constexpr double kLog2E = 1.44269504088896338700e+00;
constexpr double kLn2High = 6.93147180369123816490e-01;
constexpr double kLn2Low = 1.90821492927058770002e-10;
constexpr double kShifter = 0x1.8p52;  // adding it rounds to an integer
constexpr double kExpOverflow = 709.782712893383973096;
constexpr double kExpUnderflow = -745.2;  // e^x rounds to +0 below

[[gnu::always_inline]] inline double Exp(double x)
{
    const double c = x < kExpUnderflow ? kExpUnderflow : (x > kExpOverflow ? kExpOverflow : x);
    const double t = c * kLog2E + kShifter;
    const double n = t - kShifter;
    const double r = (c - n * kLn2High) - n * kLn2Low;
    double p = 1.0 / 6227020800.0;
    p = p * r + 1.0 / 479001600.0;
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    // n = n1 + n2, each half a normal exponent; the integers are read from
    // the low bits of the shifted sums.
    const double n1 = (n * 0.5 + kShifter) - kShifter;
    const double n2 = n - n1;
    const std::int64_t shifter = std::bit_cast<std::int64_t>(kShifter);
    const std::int64_t i1 = std::bit_cast<std::int64_t>(n1 + kShifter) - shifter;
    const std::int64_t i2 = std::bit_cast<std::int64_t>(n2 + kShifter) - shifter;
    const double s1 = std::bit_cast<double>(static_cast<std::uint64_t>(i1 + 1023) << 52);
    const double s2 = std::bit_cast<double>(static_cast<std::uint64_t>(i2 + 1023) << 52);
    const double y = p * s1 * s2;
    return x < kExpUnderflow ? 0.0 : (x > kExpOverflow ? HUGE_VAL : (x != x ? x : y));
}

// erf by rational approximations on four ranges of |x| (below 0.84375,
// below 1.25, below 1/0.35, below 6; 1 beyond), every range evaluated and
// the right one selected, so that the loop has no branches.  Above 1.25
// erf = 1 - exp(-z^2 - 0.5625) exp((z - x)(z + x) + R/S) / x with z the
// argument cut to its upper 32 bits, which makes z^2 exact.
constexpr double kErx = 8.45062911510467529297e-01;
constexpr double kPp[] = {1.28379167095512558561e-01, -3.25042107247001499370e-01,
                          -2.84817495755985104766e-02, -5.77027029648944159157e-03,
                          -2.37630166566501626084e-05};
constexpr double kQq[] = {3.97917223959155352819e-01, 6.50222499887672944485e-02,
                          5.08130628187576562776e-03, 1.32494738004321644526e-04,
                          -3.96022827877536812320e-06};
constexpr double kPa[] = {-2.36211856075265944077e-03, 4.14856118683748331666e-01,
                          -3.72207876035701323847e-01, 3.18346619901161753674e-01,
                          -1.10894694282396677476e-01, 3.54783043256182359371e-02,
                          -2.16637559486879084300e-03};
constexpr double kQa[] = {1.06420880400844228286e-01, 5.40397917702171048937e-01,
                          7.18286544141962662868e-02, 1.26171219808761642112e-01,
                          1.36370839120290507362e-02, 1.19844998467991074170e-02};
constexpr double kRa[] = {-9.86494403484714822705e-03, -6.93858572707181764372e-01,
                          -1.05586262253232909814e+01, -6.23753324503260060396e+01,
                          -1.62396669462573470355e+02, -1.84605092906711035994e+02,
                          -8.12874355063065934246e+01, -9.81432934416914548592e+00};
constexpr double kSa[] = {1.96512716674392571292e+01, 1.37657754143519042600e+02,
                          4.34565877475229228821e+02, 6.45387271733267880336e+02,
                          4.29008140027567833386e+02, 1.08635005541779435134e+02,
                          6.57024977031928170135e+00, -6.04244152148580987438e-02};
// The second tail range has one coefficient fewer in each polynomial.
constexpr double kRb[] = {-9.86494292470009928597e-03, -7.99283237680523006574e-01,
                          -1.77579549177547519889e+01, -1.60636384855821916062e+02,
                          -6.37566443368389627722e+02, -1.02509513161107724954e+03,
                          -4.83519191608651397019e+02, 0.0};
constexpr double kSb[] = {3.03380607434824582924e+01,  3.25792512996573918826e+02,
                          1.53672958608443695994e+03,  3.19985821950859553908e+03,
                          2.55305040643316442583e+03,  4.74528541206955367215e+02,
                          -2.24409524465858183362e+01, 0.0};
constexpr double kSmallEnd = 0.84375;
constexpr double kMiddleEnd = 1.25;
constexpr double kTailSplit = 2.85714285714285;  // 1 / 0.35
constexpr double kErfIsOne = 6.0;

[[gnu::always_inline]] inline double Erf(double x)
{
    const double ax = std::fabs(x);
    // |x| < 0.84375
    const double z = x * x;
    const double pr = kPp[0] + z * (kPp[1] + z * (kPp[2] + z * (kPp[3] + z * kPp[4])));
    const double qr = 1.0 + z * (kQq[0] + z * (kQq[1] + z * (kQq[2] + z * (kQq[3] + z * kQq[4]))));
    const double small = x + x * (pr / qr);
    // 0.84375 <= |x| < 1.25
    const double s = ax - 1.0;
    const double pa =
        kPa[0] +
        s * (kPa[1] + s * (kPa[2] + s * (kPa[3] + s * (kPa[4] + s * (kPa[5] + s * kPa[6])))));
    const double qa =
        1.0 + s * (kQa[0] + s * (kQa[1] + s * (kQa[2] + s * (kQa[3] + s * (kQa[4] + s * kQa[5])))));
    const double middle = kErx + pa / qa;
    // 1.25 <= |x| < 6, arguments clamped into the range to keep every lane
    // finite.
    const double at = ax < kMiddleEnd ? kMiddleEnd : (ax > kErfIsOne ? kErfIsOne : ax);
    const bool first = at < kTailSplit;
    const double v = 1.0 / (at * at);
    double rr = first ? kRa[7] : kRb[7];
    double ss = first ? kSa[7] : kSb[7];
    for (int k = 6; k >= 0; --k) {
        rr = rr * v + (first ? kRa[k] : kRb[k]);
        ss = ss * v + (first ? kSa[k] : kSb[k]);
    }
    ss = ss * v + 1.0;
    const double cut =
        std::bit_cast<double>(std::bit_cast<std::uint64_t>(at) & 0xffffffff00000000ull);
    const double e = Exp(-cut * cut - 0.5625) * Exp((cut - at) * (cut + at) + rr / ss);
    const double tail = 1.0 - e / at;
    const double magnitude = ax < kMiddleEnd ? middle : (ax < kErfIsOne ? tail : 1.0);
    const double signed_ = x < 0.0 ? -magnitude : magnitude;
    // NaN passes through the first range.
    return ax < kSmallEnd || x != x ? small : signed_;
}

[[gnu::always_inline]] inline double ExpMinusSquare(double t)
{
    return Exp(-(t * t));
}

// kWide: R / L >= 6, so that w = (R + d) / L >= 6 for every d >= 0 (the
// roundings are monotonic) and Erf(w) is exactly 1: it is not evaluated.
template <bool kWide>
[[gnu::always_inline]] inline void FractionLoop(const double* d, double* f, std::size_t n,
                                                double radius, double gaussRadius, double centre)
{
    for (std::size_t i = 0; i < n; ++i) {
        const double di = d[i];
        const double u = (radius - di) / gaussRadius;
        const double w = (radius + di) / gaussRadius;
        const double gap = ExpMinusSquare(u) - ExpMinusSquare(w);
        const double tail = gap == 0.0 ? 0.0 : (gaussRadius / di) * gap / kSqrtPi;
        const double g = 0.5 * (Erf(u) + (kWide ? 1.0 : Erf(w)) - tail);
        const double h = g != g ? 0.0 : g;
        f[i] = di < kCentreDistance ? centre : h;
    }
}

[[gnu::always_inline]] inline void Fractions(const double* d, double* f, std::size_t n,
                                             double radius, double gaussRadius, double centre)
{
    if (radius / gaussRadius >= kErfIsOne) {
        FractionLoop<true>(d, f, n, radius, gaussRadius, centre);
    } else {
        FractionLoop<false>(d, f, n, radius, gaussRadius, centre);
    }
}

[[gnu::always_inline]] inline void ErfLoop(const double* x, double* y, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) y[i] = Erf(x[i]);
}

[[gnu::always_inline]] inline void ExpLoop(const double* x, double* y, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) y[i] = Exp(x[i]);
}

struct Kernels {
    void (*fractions)(const double*, double*, std::size_t, double, double, double);
    void (*erf)(const double*, double*, std::size_t);
    void (*exp)(const double*, double*, std::size_t);
};

void FractionsPortable(const double* d, double* f, std::size_t n, double radius, double gaussRadius,
                       double centre)
{
    Fractions(d, f, n, radius, gaussRadius, centre);
}
void ErfPortable(const double* x, double* y, std::size_t n)
{
    ErfLoop(x, y, n);
}
void ExpPortable(const double* x, double* y, std::size_t n)
{
    ExpLoop(x, y, n);
}

// No fused multiply-adds, so the results are those of the portable path
// bit for bit.
BLUR_BUILD_AVX2 void FractionsAvx2(const double* d, double* f, std::size_t n, double radius,
                                   double gaussRadius, double centre)
{
    Fractions(d, f, n, radius, gaussRadius, centre);
}
BLUR_BUILD_AVX2 void ErfAvx2(const double* x, double* y, std::size_t n)
{
    ErfLoop(x, y, n);
}
BLUR_BUILD_AVX2 void ExpAvx2(const double* x, double* y, std::size_t n)
{
    ExpLoop(x, y, n);
}

constexpr Kernels kPortableKernels = {FractionsPortable, ErfPortable, ExpPortable};
[[maybe_unused]] constexpr Kernels kAvx2Kernels = {FractionsAvx2, ErfAvx2, ExpAvx2};
constexpr CodeBuilds<const Kernels*> kBuilds = {&kPortableKernels, BLUR_X86_BUILD(&kAvx2Kernels)};

}  // namespace

void BallFractions(const double* d, double* f, std::size_t n, double radius, double gaussRadius,
                   double centre)
{
    kBuilds.Active()->fractions(d, f, n, radius, gaussRadius, centre);
}

void ErfValues(const double* x, double* y, std::size_t n)
{
    kBuilds.Active()->erf(x, y, n);
}

void ExpValues(const double* x, double* y, std::size_t n)
{
    kBuilds.Active()->exp(x, y, n);
}
