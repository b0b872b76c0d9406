// The rounding rule of computed samples, on literal cases, and its vector
// instantiations lane by lane against the scalar rule.

// The vector instantiations below are always inlined and never cross a
// call boundary, so the ABI of passing wide vectors does not concern them.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "rounding.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Values at the edges of the rule for a depth whose largest sample is top.
std::vector<double> EdgeValues(double top)
{
    std::vector<double> values = {0.0,
                                  -0.0,
                                  0.5,
                                  std::nextafter(0.5, 0.0),
                                  -0.5,
                                  std::nextafter(-0.5, 0.0),
                                  -1.0,
                                  -1e300,
                                  1.5,
                                  std::nextafter(1.5, 0.0),
                                  top - 0.5,
                                  std::nextafter(top - 0.5, 0.0),
                                  top,
                                  top + 0.5,
                                  std::nextafter(top + 0.5, 0.0),
                                  top + 1.0,
                                  1e300,
                                  kInf,
                                  -kInf,
                                  kNaN};
    return values;
}

struct RoundCase {
    const char* name;
    double x;
    int bits;
    std::uint16_t sample;
};

void PrintTo(const RoundCase& c, std::ostream* os)
{
    *os << c.name;
}

class RoundSampleCases : public testing::TestWithParam<RoundCase> {};

TEST_P(RoundSampleCases, GivesTheSample)
{
    const RoundCase& c = GetParam();
    EXPECT_EQ(RoundSample(c.x, TopSample(c.bits)), c.sample);
    // The same value with the offset already added.
    EXPECT_EQ(OffsetSample(c.x + 0.5, TopSample(c.bits)), c.sample);
}

INSTANTIATE_TEST_SUITE_P(
    Rule, RoundSampleCases,
    testing::Values(RoundCase{"Zero", 0.0, 8, 0}, RoundCase{"Half", 0.5, 8, 1},
                    RoundCase{"JustBelowHalf", 0.49999999999999989, 8, 0},
                    RoundCase{"HalfAboveTwo", 2.5, 8, 3},
                    RoundCase{"JustBelowTwoAndAHalf", 2.4999999999999996, 8, 2},
                    RoundCase{"MinusHalf", -0.5, 8, 0},
                    RoundCase{"JustAboveMinusHalf", -0.49999999999999994, 8, 0},
                    RoundCase{"Negative", -3.7, 8, 0}, RoundCase{"MinusInfinity", -kInf, 8, 0},
                    RoundCase{"NotANumber", kNaN, 8, 0}, RoundCase{"Top", 255.0, 8, 255},
                    RoundCase{"JustBelowTopHalf", 254.49999999999997, 8, 254},
                    RoundCase{"TopHalf", 254.5, 8, 255}, RoundCase{"AboveTop", 255.5, 8, 255},
                    RoundCase{"FarAboveTop", 1e300, 8, 255},
                    RoundCase{"PlusInfinity", kInf, 8, 255}, RoundCase{"OneBitHalf", 0.5, 1, 1},
                    RoundCase{"OneBitAbove", 7.0, 1, 1},
                    RoundCase{"SixteenBitsTop", 65534.5, 16, 65535},
                    RoundCase{"SixteenBitsAbove", 70000.0, 16, 65535},
                    RoundCase{"SixteenBitsJustBelowHalf", 65533.499999999993, 16, 65533}),
    [](const testing::TestParamInfo<RoundCase>& info) { return std::string(info.param.name); });

// The vector instantiation of the rule, lane by lane, against the scalar
// rule on every edge value in every lane position.
template <typename V>
void ExpectLanesFollowTheRule(double top)
{
    constexpr int kLanes = sizeof(V) / sizeof(double);
    const std::vector<double> values = EdgeValues(top);
    for (std::size_t start = 0; start < values.size(); ++start) {
        double in[kLanes];
        for (int l = 0; l < kLanes; ++l) in[l] = values[(start + l) % values.size()] + 0.5;
        V v;
        std::memcpy(&v, in, sizeof v);
        const V c = OffsetSample(v, top);
        double out[kLanes];
        std::memcpy(out, &c, sizeof out);
        for (int l = 0; l < kLanes; ++l) {
            const auto sample = static_cast<std::uint16_t>(static_cast<std::int32_t>(out[l]));
            EXPECT_EQ(sample, OffsetSample(in[l], top)) << "lane " << l << " value " << in[l];
        }
    }
}

using Vec2 = double __attribute__((vector_size(16)));
using Vec4 = double __attribute__((vector_size(32)));
using Vec8 = double __attribute__((vector_size(64)));

TEST(OffsetSample, VectorLanesFollowTheScalarRule)
{
    for (const int bits : {1, 8, 12, 16}) {
        ExpectLanesFollowTheRule<Vec2>(TopSample(bits));
        ExpectLanesFollowTheRule<Vec4>(TopSample(bits));
        ExpectLanesFollowTheRule<Vec8>(TopSample(bits));
    }
}

}  // namespace
