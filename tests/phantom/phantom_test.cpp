// The level rules shared by the phantom programs.
#include "phantom.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

#include "fatal_exit.hpp"
#include "rounding_oracle.hpp"

// The allocation test asks for more than the address space; under
// AddressSanitizer that must come back as a null pointer, not an abort.
extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

using testing::ExitedWithCode;
using testsupport::FatalExit;
using testsupport::ThrowOnFatalScope;

// An accepted value returns without a message; a refusal would reach the
// fatal hook, which throws here.
TEST(CheckBias, AcceptsZeroTo65535)
{
    const ThrowOnFatalScope hook;
    for (const double bias : {0.0, -0.0, 0.5, 1000.0, 65535.0}) {
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(CheckBias(bias)) << bias;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << bias;
    }
}

TEST(CheckBias, RefusalReachesTheFatalHook)
{
    const ThrowOnFatalScope hook;
    testing::internal::CaptureStderr();
    EXPECT_THROW(CheckBias(-1.0), FatalExit);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bad bias value.\n");
}

TEST(CheckBiasDeathTest, RefusesTheRest)
{
    for (const double bias : {-1e-9, -1.0, 65535.01, 1e300, double(NAN), double(INFINITY)})
        EXPECT_EXIT(CheckBias(bias), ExitedWithCode(1), "^bad bias value\\.\n$") << bias;
}

struct ValueCase {
    double bias;
    double value;
    bool accepted;
};

TEST(CheckValueDeathTest, LevelMustStayWithin0To65535)
{
    const ValueCase cases[] = {
        {65535.0, 0.0, true},           {65535.0, 1.0, false},
        {100.0, -100.0, true},          {0.0, -1.0, false},
        {0.0, 65535.0, true},           {0.0, 65535.5, false},
        {10.0, -10.5, false},           {0.0, 0.0, true},
        {0.0, double(NAN), false},      {5.0, -double(INFINITY), false},
        {0.0, double(INFINITY), false},
    };
    for (const ValueCase& c : cases) {
        if (c.accepted) {
            const ThrowOnFatalScope hook;
            testing::internal::CaptureStderr();
            EXPECT_NO_THROW(CheckValue(c.bias, c.value, "bad value of circle."))
                << c.bias << " " << c.value;
            EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << c.bias << " " << c.value;
        } else {
            EXPECT_EXIT(CheckValue(c.bias, c.value, "bad value of sphere."), ExitedWithCode(1),
                        "^bad value of sphere\\.\n$")
                << c.bias << " " << c.value;
        }
    }
}

TEST(PhantomBits, SmallestDepthThatHoldsTheRoundedTopLevel)
{
    struct {
        double bias, value;
        int bits;
    } const cases[] = {
        {0, 0, 1},      {0, 1, 1},      {0, 1.49, 1},   {0, 1.5, 2},         {0, 3, 2},
        {0, 4, 4},      {0, 15, 4},     {0, 15.5, 8},   {0, 255, 8},         {0, 255.49, 8},
        {0, 255.5, 16}, {0, 255.7, 16}, {0, 256, 16},   {0, 65535, 16},      {100, -100, 8},
        {3, -3, 2},     {1, -0.5, 1},   {254, 1.6, 16}, {65535, -65535, 16},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PhantomBits(c.bias, c.value), c.bits) << c.bias << " " << c.value;
}

TEST(PhantomBits, RoundedLevelsFitTheDepth)
{
    // The smallest depth that holds the rounded level: one step less would not.
    for (double top = 0.0; top <= 300.0; top += 0.125) {
        const int bits = PhantomBits(0.0, top);
        const std::uint16_t level = testsupport::OracleSample(top, 16);
        EXPECT_LE(level, (1 << bits) - 1) << top;
        if (bits > 1) {
            EXPECT_GT(level, (1 << (bits / 2)) - 1) << top;
        }
    }
}

TEST(PhantomDescription, MinusBiasAndTopLessBias)
{
    EXPECT_EQ(PhantomDescription(0.0, 8), "-0.000000\t255.000000");
    EXPECT_EQ(PhantomDescription(10.0, 8), "-10.000000\t245.000000");
    EXPECT_EQ(PhantomDescription(0.0, 1), "-0.000000\t1.000000");
    EXPECT_EQ(PhantomDescription(100.0, 8), "-100.000000\t155.000000");
    EXPECT_EQ(PhantomDescription(65535.0, 16), "-65535.000000\t0.000000");
    EXPECT_EQ(PhantomDescription(0.25, 2), "-0.250000\t2.750000");
}

TEST(ParseInteger, AtoiRulesWithSaturation)
{
    struct {
        const char* text;
        int number;
    } const cases[] = {
        {"12", 12},
        {"  7x", 7},
        {"\t-5", -5},
        {"+3", 3},
        {"abc", 0},
        {"", 0},
        {"0x10", 0},
        {"3.9", 3},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-99999999999", INT_MIN},
        {"4294967301", INT_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text), c.number) << c.text;
}

TEST(AllocateImage, BeyondTheAddressSpaceGivesNull)
{
    // A small row table and a block of 2^31 * 4096 * 2 bytes (16 TiB).
    EXPECT_EQ(AllocateImage(INT_MAX, 4096), nullptr);
    EXPECT_EQ(AllocateImage(0, 4), nullptr);
    EXPECT_EQ(AllocateImage(4, 0), nullptr);
}

}  // namespace
