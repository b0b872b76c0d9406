#include "profile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "reference.hpp"
#include "slicename.hpp"

namespace {

struct FractionCase {
    double radius;
    double gaussRadius;
    double d;
};

// The centre, inside, the surface and outside, for kernels narrow and wide
// against the ball.
constexpr FractionCase kFractionCases[] = {
    {5.0, 1.0, 0.0},  {5.0, 1.0, 2.5},   {5.0, 1.0, 4.0},   {5.0, 1.0, 5.0},   {5.0, 1.0, 6.0},
    {5.0, 1.0, 9.0},  {2.0, 3.0, 0.0},   {2.0, 3.0, 1.0},   {2.0, 3.0, 2.0},   {2.0, 3.0, 4.5},
    {2.0, 3.0, 12.0}, {0.5, 0.2, 0.0},   {0.5, 0.2, 0.3},   {0.5, 0.2, 0.5},   {0.5, 0.2, 0.9},
    {20.0, 4.0, 0.0}, {20.0, 4.0, 13.0}, {20.0, 4.0, 20.0}, {20.0, 4.0, 27.0}, {100.0, 4.0, 99.5},
    {1.0, 1.0, 0.0},  {1.0, 1.0, 1e-3},  {1.0, 1.0, 1.0},   {1.0, 1.0, 3.0},
};

TEST(BallFraction, MatchesRadialIntegral)
{
    for (const auto& c : kFractionCases) {
        const double centre = BallCentreFraction(c.radius, c.gaussRadius);
        const double f = BallFraction(c.d, c.radius, c.gaussRadius, centre);
        EXPECT_NEAR(f, ReferenceFraction(c.d, c.radius, c.gaussRadius), 1e-9)
            << "R " << c.radius << " L " << c.gaussRadius << " d " << c.d;
        EXPECT_GE(f, -1e-12);
        EXPECT_LE(f, 1.0 + 1e-12);
    }
}

TEST(BallFraction, SurfaceOfANarrowKernelIsHalf)
{
    // Far larger than the kernel, the sphere's surface is nearly a plane.
    const double f = BallFraction(1000.0, 1000.0, 1.0, BallCentreFraction(1000.0, 1.0));
    EXPECT_NEAR(f, 0.5, 1e-3);
}

TEST(BallFraction, CentreIsTheLimitOfTheGeneralForm)
{
    for (const double radius : {0.3, 1.0, 2.5, 7.0}) {
        for (const double gaussRadius : {0.5, 1.0, 3.0}) {
            const double centre = BallCentreFraction(radius, gaussRadius);
            EXPECT_NEAR(centre, ReferenceFraction(0.0, radius, gaussRadius), 1e-10);
            for (const double d : {1e-4, 1e-5}) {
                EXPECT_NEAR(BallFraction(d, radius, gaussRadius, centre), centre, 1e-8)
                    << "R " << radius << " L " << gaussRadius << " d " << d;
            }
            // Below 1e-9 the voxel is the centre.
            EXPECT_EQ(BallFraction(0.0, radius, gaussRadius, centre), centre);
            EXPECT_EQ(BallFraction(9.9e-10, radius, gaussRadius, centre), centre);
        }
    }
}

TEST(BallFraction, ZeroRadiusIsZeroEverywhere)
{
    const double centre = BallCentreFraction(0.0, 1.5);
    EXPECT_EQ(centre, 0.0);
    for (const double d : {0.0, 1e-9, 0.5, 1.0, 3.0, 100.0})
        EXPECT_EQ(BallFraction(d, 0.0, 1.5, centre), 0.0) << d;
}

TEST(BallFraction, NonFiniteInputsGiveFractionsInRange)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A ball of infinite radius holds the whole kernel, the centre included.
    EXPECT_EQ(BallCentreFraction(inf, 2.0), 1.0);
    EXPECT_EQ(BallCentreFraction(1e300, 1e-9), 1.0);
    EXPECT_EQ(BallFraction(3.0, inf, 2.0, 1.0), 1.0);
    // A voxel infinitely far away, or at a distance that is not a number.
    EXPECT_EQ(BallFraction(inf, 5.0, 2.0, BallCentreFraction(5.0, 2.0)), 0.0);
    EXPECT_EQ(BallFraction(nan, 5.0, 2.0, BallCentreFraction(5.0, 2.0)), 0.0);
    // A huge kernel near the centre: L/d overflows, the bracket is 0.
    const double f = BallFraction(1e-8, 1.0, 1e300, BallCentreFraction(1.0, 1e300));
    EXPECT_FALSE(std::isnan(f));
}

TEST(SliceDigits, FollowsTheLargestIndex)
{
    const struct {
        int count;
        int digits;
    } cases[] = {{1, 1},       {2, 1},          {10, 1},          {11, 2},
                 {99, 2},      {100, 2},        {101, 3},         {1000, 3},
                 {1001, 4},    {10000, 4},      {10001, 5},       {100001, 6},
                 {1000000, 6}, {1000000000, 9}, {1000000001, 10}, {2147483647, 10}};
    for (const auto& c : cases) EXPECT_EQ(SliceDigits(c.count), c.digits) << c.count;
}

TEST(SliceName, PadsTheIndexAndKeepsTheDirectory)
{
    const struct {
        const char* directory;
        int digits;
        int index;
        const char* name;
    } cases[] = {
        {"S", 1, 0, "S/0.tif"},       {"S", 1, 9, "S/9.tif"},
        {"S", 2, 0, "S/00.tif"},      {"S", 2, 10, "S/10.tif"},
        {"S", 4, 1000, "S/1000.tif"}, {"S", 4, 7, "S/0007.tif"},
        {"S/", 2, 0, "S//00.tif"},    {"/tmp/a b", 3, 42, "/tmp/a b/042.tif"},
        {"", 1, 3, "/3.tif"},         {"x", 10, 2147483646, "x/2147483646.tif"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SliceName(c.directory, c.digits, c.index), c.name) << c.name;
}

TEST(SliceName, HasNoLengthLimit)
{
    const std::string directory(5000, 'd');
    EXPECT_EQ(SliceName(directory, 3, 12), directory + "/012.tif");
}

}  // namespace
