// CheckedSumOfProducts against the same sums in 128-bit arithmetic, at the
// edges where a product or the sum just fits in std::size_t or just does
// not, and on random terms drawn around those edges.
#include "size.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

static_assert(sizeof(std::size_t) == 8, "the edges below are those of a 64-bit size_t");

__extension__ typedef unsigned __int128 Wide;  // a GCC extension, hence the marker
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
constexpr std::size_t k2To32 = std::size_t{1} << 32;

// The exact sum of the products of `terms`, or nothing when it exceeds
// kMax.  Every partial product is kept below 2^65 by stopping at the first
// one above kMax, unless a factor 0 comes later and makes the product 0.
bool WideSum(const std::vector<std::vector<std::size_t>>& terms, std::size_t* total)
{
    Wide sum = 0;
    for (const std::vector<std::size_t>& factors : terms) {
        Wide product = 1;
        bool zero = false;
        for (const std::size_t factor : factors) {
            if (factor == 0) zero = true;
            if (product <= kMax) product *= factor;
        }
        if (zero) product = 0;
        if (product > kMax) return false;
        sum += product;
        if (sum > kMax) return false;
    }
    *total = static_cast<std::size_t>(sum);
    return true;
}

struct SumCase {
    const char* name;
    std::vector<std::vector<std::size_t>> terms;  // at most three terms of three factors
    bool fits;
    std::size_t total;  // when it fits
};

// The helper takes braced lists, so a case is spelled out as one.
bool Checked(const SumCase& c, std::size_t* total)
{
    const auto& t = c.terms;
    auto factor = [&t](std::size_t term, std::size_t i) {
        return i < t[term].size() ? t[term][i] : std::size_t{1};
    };
    switch (t.size()) {
        case 0:
            return CheckedSumOfProducts({}, total);
        case 1:
            return CheckedSumOfProducts({{factor(0, 0), factor(0, 1), factor(0, 2)}}, total);
        case 2:
            return CheckedSumOfProducts({{factor(0, 0), factor(0, 1), factor(0, 2)},
                                         {factor(1, 0), factor(1, 1), factor(1, 2)}},
                                        total);
        default:
            return CheckedSumOfProducts({{factor(0, 0), factor(0, 1), factor(0, 2)},
                                         {factor(1, 0), factor(1, 1), factor(1, 2)},
                                         {factor(2, 0), factor(2, 1), factor(2, 2)}},
                                        total);
    }
}

void PrintTo(const SumCase& c, std::ostream* os)
{
    *os << c.name;
}

class SumCases : public testing::TestWithParam<SumCase> {};

TEST_P(SumCases, MatchesWideArithmetic)
{
    const SumCase& c = GetParam();
    std::size_t wide = 0;
    ASSERT_EQ(WideSum(c.terms, &wide), c.fits);
    if (c.fits) {
        ASSERT_EQ(wide, c.total);
    }

    constexpr std::size_t kUntouched = 12345;
    std::size_t total = kUntouched;
    EXPECT_EQ(Checked(c, &total), c.fits);
    EXPECT_EQ(total, c.fits ? c.total : kUntouched);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, SumCases,
    testing::Values(
        SumCase{"NoTerms", {}, true, 0}, SumCase{"LargestSingleFactor", {{kMax}}, true, kMax},
        SumCase{"LargestPlusOne", {{kMax}, {1}}, false, 0},
        SumCase{"SumJustFits", {{kMax - 5}, {2, 2}, {1}}, true, kMax},
        SumCase{"SumJustOverflows", {{kMax - 5}, {2, 3}}, false, 0},
        SumCase{"ProductJustFits", {{k2To32 - 1, k2To32 + 1}}, true, kMax},
        SumCase{"ProductJustOverflows", {{k2To32, k2To32}}, false, 0},
        SumCase{"ThirdFactorOverflows", {{k2To32, k2To32 / 2, 2}}, false, 0},
        SumCase{"ThirdFactorJustFits", {{3, 5, kMax / 15}}, true, kMax},
        SumCase{"ZeroAfterOverflowIsZero", {{k2To32, k2To32, 0}, {7}}, true, 7},
        SumCase{"ZeroFirst", {{0, kMax, kMax}}, true, 0},
        SumCase{
            "BothProductsFitSumDoesNot", {{k2To32, k2To32 / 2}, {k2To32 / 2, k2To32}}, false, 0},
        SumCase{"TwoHalvesMakeTheLargest", {{k2To32, k2To32 / 2}, {kMax / 2}}, true, kMax}),
    [](const testing::TestParamInfo<SumCase>& info) { return std::string(info.param.name); });

TEST(CheckedSumOfProducts, TakesATermWithoutFactorsAsOne)
{
    std::size_t total = 0;
    ASSERT_TRUE(CheckedSumOfProducts({{}, {kMax - 1}}, &total));
    EXPECT_EQ(total, kMax);
    EXPECT_FALSE(CheckedSumOfProducts({{}, {kMax}}, &total));
}

// Factors of random bit lengths, so that products and sums land on both
// sides of 2^64, with a zero now and then.
TEST(CheckedSumOfProducts, MatchesWideArithmeticOnRandomTerms)
{
    std::mt19937_64 random(20261208);
    std::uniform_int_distribution<int> bitLength(0, 64);
    auto draw = [&]() -> std::size_t {
        const int bits = bitLength(random);
        if (bits == 0) return 0;
        const std::size_t top = bits == 64 ? kMax : (std::size_t{1} << bits) - 1;
        return std::uniform_int_distribution<std::size_t>(top / 2 + 1, top)(random);
    };
    int fitting = 0;
    int overflowing = 0;
    for (int i = 0; i < 200000; ++i) {
        std::uniform_int_distribution<int> length(1, 3);
        SumCase c{"random", {}, false, 0};
        const int terms = length(random);
        for (int t = 0; t < terms; ++t) {
            std::vector<std::size_t> factors;
            const int n = length(random);
            for (int f = 0; f < n; ++f) factors.push_back(draw());
            c.terms.push_back(factors);
        }
        std::size_t expected = 0;
        const bool fits = WideSum(c.terms, &expected);
        std::size_t total = 0;
        ASSERT_EQ(Checked(c, &total), fits) << "case " << i;
        if (fits) {
            ASSERT_EQ(total, expected) << "case " << i;
            ++fitting;
        } else {
            ++overflowing;
        }
    }
    // Both sides of the edge were exercised.
    EXPECT_GT(fitting, 10000);
    EXPECT_GT(overflowing, 10000);
}

}  // namespace
