// The voxel kernels on the code path of the run: erf and exp against the
// math library's on many arguments, the profile against the one-voxel form
// and a radial integral, and the path against the portable one.
#include "voxels.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dispatch.hpp"
#include "profile.hpp"
#include "reference.hpp"

namespace {

// Distance in units in the last place of `expected` (the spacing of the
// doubles around it, subnormal ones included).
double Ulps(double actual, double expected)
{
    if (actual == expected) return 0.0;
    const double spacing =
        std::nextafter(std::fabs(expected), std::numeric_limits<double>::infinity()) -
        std::fabs(expected);
    return std::fabs(actual - expected) / spacing;
}

// A dense sweep, every tenth argument nudged to a random neighbour, and
// random arguments spread over the range.
std::vector<double> Arguments(double lo, double hi, int count, unsigned seed)
{
    std::vector<double> x;
    for (int i = 0; i <= count; ++i) x.push_back(lo + (hi - lo) * i / count);
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> uniform(lo, hi);
    for (int i = 0; i < count; ++i) x.push_back(uniform(random));
    return x;
}

constexpr double kUlpLimit = 2.0;

TEST(VoxelKernels, ErfIsWithinTwoUlpsOfTheLibrary)
{
    std::vector<double> x = Arguments(-7.0, 7.0, 400000, 1);
    for (const double s : {0.0, -0.0, 1e-300, -1e-300, 3e-9, 0.84375, -0.84375, 1.25, -1.25,
                           2.857142857142857, 5.9999999, 6.0, 27.0, 1e300, -1e300})
        x.push_back(s);
    for (const double small : Arguments(-1e-6, 1e-6, 10000, 2)) x.push_back(small);
    std::vector<double> y(x.size());
    ErfValues(x.data(), y.data(), x.size());
    double worst = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double ulps = Ulps(y[i], std::erf(x[i]));
        if (ulps > worst) worst = ulps;
        ASSERT_LE(ulps, kUlpLimit) << "erf(" << x[i] << ") = " << y[i];
    }
    RecordProperty("worst_ulps", std::to_string(worst));
}

TEST(VoxelKernels, ErfOfSpecialArguments)
{
    const double x[] = {INFINITY, -INFINITY, NAN};
    double y[3];
    ErfValues(x, y, 3);
    EXPECT_EQ(y[0], 1.0);
    EXPECT_EQ(y[1], -1.0);
    EXPECT_TRUE(std::isnan(y[2]));
}

TEST(VoxelKernels, ExpIsWithinTwoUlpsOfTheLibrary)
{
    // The formula takes exp of -t^2 for every t: down to the underflow.
    std::vector<double> x = Arguments(-746.0, 1.0, 400000, 3);
    for (const double s : Arguments(-1.0, 1.0, 20000, 4)) x.push_back(s);
    for (const double s : Arguments(-745.2, -700.0, 20000, 5)) x.push_back(s);
    for (const double s : Arguments(1.0, 709.7, 20000, 6)) x.push_back(s);
    for (const double s : {0.0, -0.0, 1e-300, -5e-324, -708.39, -745.13, -745.14, 709.78})
        x.push_back(s);
    std::vector<double> y(x.size());
    ExpValues(x.data(), y.data(), x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        ASSERT_LE(Ulps(y[i], std::exp(x[i])), kUlpLimit) << "exp(" << x[i] << ") = " << y[i];
}

TEST(VoxelKernels, ExpOfSpecialArguments)
{
    const double x[] = {-1e300, -INFINITY, 710.0, INFINITY, NAN};
    double y[5];
    ExpValues(x, y, 5);
    EXPECT_EQ(y[0], 0.0);
    EXPECT_EQ(y[1], 0.0);
    EXPECT_EQ(y[2], INFINITY);
    EXPECT_EQ(y[3], INFINITY);
    EXPECT_TRUE(std::isnan(y[4]));
}

struct Ball {
    double radius;
    double gaussRadius;
};

constexpr Ball kBalls[] = {{100.0, 4.0}, {5.0, 1.0},    {2.0, 3.0}, {0.5, 0.2},
                           {0.0, 1.0},   {1000.0, 0.3}, {3.0, 60.0}};

// Distances from the centre (and below 1e-9) to far outside.
std::vector<double> Distances(const Ball& b)
{
    std::vector<double> d = {0.0, 1e-12, 9.99e-10, 1e-9};
    const double reach = b.radius + 12.0 * b.gaussRadius + 2.0;
    for (int i = 0; i <= 20000; ++i) d.push_back(reach * i / 20000.0);
    return d;
}

// Within a few ulps of 1 in each erf, plus what a few ulps in each exp
// become in the tail (L/d) (exp(-u^2) - exp(-w^2)) / sqrt(pi): near the
// centre the two exponentials nearly cancel and the factor L/d is large, so
// the formula itself (with any exp) is only good to about 1e-16 L / d there.
double FractionTolerance(double d, const Ball& b)
{
    if (d < 1e-9) return 0.0;
    const double u = (b.radius - d) / b.gaussRadius;
    const double w = (b.radius + d) / b.gaussRadius;
    const double tail = (b.gaussRadius / d) * (std::exp(-u * u) + std::exp(-w * w));
    return 2e-15 + 1e-15 * tail;
}

TEST(VoxelKernels, FractionsMatchTheOneVoxelForm)
{
    for (const Ball& b : kBalls) {
        const double centre = BallCentreFraction(b.radius, b.gaussRadius);
        const std::vector<double> d = Distances(b);
        std::vector<double> f(d.size());
        BallFractions(d.data(), f.data(), d.size(), b.radius, b.gaussRadius, centre);
        for (std::size_t i = 0; i < d.size(); ++i) {
            ASSERT_NEAR(f[i], BallFraction(d[i], b.radius, b.gaussRadius, centre),
                        FractionTolerance(d[i], b))
                << "R " << b.radius << " L " << b.gaussRadius << " d " << d[i];
            if (d[i] < 1e-9) {
                ASSERT_EQ(f[i], centre);
            }
        }
    }
}

TEST(VoxelKernels, FractionsMatchTheRadialIntegral)
{
    for (const Ball& b : kBalls) {
        const double centre = BallCentreFraction(b.radius, b.gaussRadius);
        for (const double d : {0.0, 0.5 * b.radius, b.radius, b.radius + b.gaussRadius,
                               b.radius + 3.0 * b.gaussRadius}) {
            double f = 0.0;
            BallFractions(&d, &f, 1, b.radius, b.gaussRadius, centre);
            EXPECT_NEAR(f, ReferenceFraction(d, b.radius, b.gaussRadius), 1e-9)
                << "R " << b.radius << " L " << b.gaussRadius << " d " << d;
        }
    }
}

TEST(VoxelKernels, DistanceThatIsNotANumberGivesZero)
{
    const double d[] = {NAN, 1.0};
    double f[2];
    BallFractions(d, f, 2, 2.0, 1.0, BallCentreFraction(2.0, 1.0));
    EXPECT_EQ(f[0], 0.0);
    EXPECT_NEAR(f[1], BallFraction(1.0, 2.0, 1.0, BallCentreFraction(2.0, 1.0)), 1e-15);
}

// The path of the run agrees with the portable build bit for bit (no fused
// multiply-adds anywhere).
TEST(VoxelKernels, GiveThePortableBuildsNumbers)
{
    const CodePath path = ActiveCodePath();
    std::vector<double> x = Arguments(-8.0, 8.0, 100000, 7);
    std::vector<double> portable(x.size());
    std::vector<double> ours(x.size());
    for (const auto kernel : {ErfValues, ExpValues}) {
        kernel(x.data(), ours.data(), x.size());
        ASSERT_TRUE(SelectCodePath(CodePath::kPortable));
        kernel(x.data(), portable.data(), x.size());
        ASSERT_TRUE(SelectCodePath(path));
        for (std::size_t i = 0; i < x.size(); ++i) ASSERT_EQ(ours[i], portable[i]) << x[i];
    }
    std::vector<double> d = Arguments(0.0, 130.0, 100000, 8);
    const double centre = BallCentreFraction(100.0, 4.0);
    BallFractions(d.data(), ours.data(), d.size(), 100.0, 4.0, centre);
    ASSERT_TRUE(SelectCodePath(CodePath::kPortable));
    BallFractions(d.data(), portable.data(), d.size(), 100.0, 4.0, centre);
    ASSERT_TRUE(SelectCodePath(path));
    for (std::size_t i = 0; i < d.size(); ++i) ASSERT_EQ(ours[i], portable[i]) << d[i];
}

}  // namespace
