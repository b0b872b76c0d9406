#include "fft.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

using Complex = std::complex<double>;
using LongComplex = std::complex<long double>;

// The twiddle table and the transform length of one SetUpFFT call, freed at
// the end of the scope.
struct Table {
    explicit Table(std::int32_t request) { length = SetUpFFT(request, &entries); }
    ~Table() { std::free(entries); }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    std::int32_t length = 0;
    double* entries = nullptr;
};

// Runs FFT on a copy of x (std::complex<double> is two doubles, real first).
std::vector<Complex> Transform(int direction, const Table& table, std::vector<Complex> x)
{
    FFT(direction, table.length, table.entries, reinterpret_cast<double*>(x.data()));
    return x;
}

// The defining sums X[k] = sum_j x[j] exp(direction 2 pi i jk / n) for both
// directions at once, in long double, with the angles reduced exactly
// (jk mod n) before the cosine.  Returns {forward, inverse}.
struct Spectra {
    std::vector<LongComplex> forward;
    std::vector<LongComplex> inverse;
};

Spectra NaiveDFT(const std::vector<Complex>& x)
{
    const std::size_t n = x.size();
    const long double pi = 3.141592653589793238462643383279502884L;
    std::vector<long double> c(n);
    std::vector<long double> s(n);
    for (std::size_t j = 0; j < n; ++j) {
        const long double angle = 2 * pi * static_cast<long double>(j) / n;
        c[j] = std::cos(angle);
        s[j] = std::sin(angle);
    }
    Spectra result{std::vector<LongComplex>(n), std::vector<LongComplex>(n)};
    for (std::size_t k = 0; k < n; ++k) {
        // x[j] (c + i s) summed: (P - Q) + i (R + S); with (c - i s):
        // (P + Q) + i (R - S).
        long double p = 0, q = 0, r = 0, t = 0;
        std::size_t jk = 0;  // j k mod n
        for (std::size_t j = 0; j < n; ++j) {
            const long double xr = x[j].real();
            const long double xi = x[j].imag();
            p += xr * c[jk];
            q += xi * s[jk];
            r += xi * c[jk];
            t += xr * s[jk];
            jk = (jk + k) & (n - 1);
        }
        result.forward[k] = LongComplex(p + q, r - t);
        result.inverse[k] = LongComplex(p - q, r + t);
    }
    return result;
}

std::vector<Complex> RandomData(std::size_t n, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<Complex> x(n);
    for (auto& v : x) v = Complex(value(random), value(random));
    return x;
}

double Norm(const std::vector<Complex>& x)
{
    double sum = 0;
    for (const auto& v : x) sum += std::norm(v);
    return std::sqrt(sum);
}

TEST(SetUpFFT, ChoosesTheSmallestPowerOfTwo)
{
    const struct {
        std::int32_t request;
        std::int32_t length;
    } cases[] = {{-7, 1}, {0, 1},     {1, 1},     {2, 2},       {3, 4},       {4, 4},
                 {5, 8},  {300, 512}, {200, 256}, {1024, 1024}, {1025, 2048}, {4096, 4096}};
    for (const auto& c : cases) {
        Table table(c.request);
        EXPECT_EQ(table.length, c.length) << "request " << c.request;
        ASSERT_NE(table.entries, nullptr);
        EXPECT_EQ(table.entries[0], 1.0);
        EXPECT_EQ(table.entries[1], 0.0);
    }
}

TEST(SetUpFFT, RefusesLengthsBeyondTwoToThe30)
{
    for (const std::int32_t request : {(1 << 30) + 1, 2147483647}) {
        double* entries = reinterpret_cast<double*>(&entries);  // must be overwritten
        EXPECT_EQ(SetUpFFT(request, &entries), 0) << "request " << request;
        EXPECT_EQ(entries, nullptr);
    }
}

TEST(SetUpFFT, TableHoldsTheUpperHalfCircle)
{
    Table four(4);
    ASSERT_EQ(four.length, 4);
    const double expected[8] = {1.0,
                                0.0,
                                0.70710678118654757,
                                0.70710678118654757,
                                6.123233995736766e-17,
                                1.0,
                                -0.70710678118654746,
                                0.70710678118654757};
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(four.entries[i], expected[i], 2e-16) << i;

    // Every entry of a long table is on the unit circle at angle pi k / N.
    Table big(4096);
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int k = 0; k < big.length; ++k) {
        const long double angle = pi * k / big.length;
        EXPECT_NEAR(big.entries[2 * k], static_cast<double>(std::cos(angle)), 1e-15) << k;
        EXPECT_NEAR(big.entries[2 * k + 1], static_cast<double>(std::sin(angle)), 1e-15) << k;
    }
}

TEST(FFT, LengthOneIsTheIdentity)
{
    Table table(1);
    for (const int direction : {-1, 1}) {
        const auto out = Transform(direction, table, {Complex(2.5, -3.25)});
        EXPECT_EQ(out[0], Complex(2.5, -3.25));
    }
}

TEST(FFT, LengthTwoIsSumAndDifference)
{
    Table table(2);
    for (const int direction : {-1, 1}) {
        const auto out = Transform(direction, table, {Complex(1.5, 2), Complex(0.25, -4)});
        EXPECT_EQ(out[0], Complex(1.75, -2));
        EXPECT_EQ(out[1], Complex(1.25, 6));
    }
}

TEST(FFT, LengthFourOfTheSecondUnitVector)
{
    Table table(4);
    const std::vector<Complex> x = {0, 1, 0, 0};
    const std::vector<Complex> forward = {{1, 0}, {0, -1}, {-1, 0}, {0, 1}};
    const std::vector<Complex> inverse = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    const auto f = Transform(-1, table, x);
    const auto i = Transform(1, table, x);
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(std::abs(f[k] - forward[k]), 0.0, 1e-15) << k;
        EXPECT_NEAR(std::abs(i[k] - inverse[k]), 0.0, 1e-15) << k;
    }
}

TEST(FFT, ImpulseGivesAllOnes)
{
    for (std::int32_t n = 1; n <= 8192; n *= 2) {
        Table table(n);
        std::vector<Complex> x(n);
        x[0] = 1;
        for (const int direction : {-1, 1}) {
            const auto out = Transform(direction, table, x);
            for (std::int32_t k = 0; k < n; ++k) ASSERT_EQ(out[k], Complex(1, 0)) << n << " " << k;
        }
    }
}

TEST(FFT, SingleFrequencyGoesToOneBin)
{
    for (std::int32_t n = 1; n <= 4096; n *= 2) {
        Table table(n);
        for (const std::int32_t k0 : {0, 1 % n, n / 3, n - 1}) {
            std::vector<Complex> x(n);
            const long double pi = 3.141592653589793238462643383279502884L;
            for (std::int32_t j = 0; j < n; ++j) {
                const long double angle = 2 * pi * ((static_cast<long>(j) * k0) % n) / n;
                x[j] = Complex(static_cast<double>(std::cos(angle)),
                               static_cast<double>(std::sin(angle)));
            }
            const auto out = Transform(-1, table, x);
            const double tolerance = 1e-15 * n * (1 + std::log2(n));
            for (std::int32_t k = 0; k < n; ++k) {
                const Complex expected = k == k0 ? Complex(n, 0) : Complex(0, 0);
                ASSERT_NEAR(std::abs(out[k] - expected), 0.0, tolerance)
                    << "n " << n << " k0 " << k0 << " k " << k;
            }
        }
    }
}

// Every power of two up to 4096, both directions, random data: the error of
// each output value stays within a few units of n log2(n) 1e-16 times the
// norm of the data, and the root-mean-square error within a few rounding
// errors per stage.
TEST(FFT, MatchesNaiveDFT)
{
    for (std::int32_t n = 1; n <= 4096; n *= 2) {
        Table table(n);
        const auto x = RandomData(n, 1000 + n);
        const double norm = Norm(x);
        const double stages = std::log2(n);
        const Spectra spectra = NaiveDFT(x);
        for (const int direction : {-1, 1}) {
            const auto out = Transform(direction, table, x);
            const auto& expected = direction < 0 ? spectra.forward : spectra.inverse;
            double worst = 0;
            double squares = 0;
            for (std::int32_t k = 0; k < n; ++k) {
                const double error =
                    static_cast<double>(std::abs(LongComplex(out[k]) - expected[k]));
                worst = std::max(worst, error);
                squares += error * error;
            }
            EXPECT_LE(worst, 4 * n * stages * 1e-16 * norm) << "n " << n << " dir " << direction;
            // Output norm is sqrt(n) times the input's.
            EXPECT_LE(std::sqrt(squares), 4 * (stages + 1) * 1.2e-16 * std::sqrt(n) * norm)
                << "n " << n << " dir " << direction;
        }
    }
}

TEST(FFT, ForwardThenInverseScalesByLength)
{
    for (std::int32_t n = 1; n <= 8192; n *= 2) {
        Table table(n);
        const auto x = RandomData(n, 7 + n);
        const auto back = Transform(1, table, Transform(-1, table, x));
        const double tolerance = 8 * (1 + std::log2(n)) * 1.2e-16 * n;
        for (std::int32_t j = 0; j < n; ++j) {
            ASSERT_NEAR(std::abs(back[j] - static_cast<double>(n) * x[j]), 0.0, tolerance)
                << "n " << n << " j " << j;
        }
    }
}

// The transform touches exactly its n values, and one table serves any
// number of transforms: every round gives the naive DFT's values (within
// the bound of MatchesNaiveDFT) and the same bits as the first round.
TEST(FFT, StaysWithinItsData)
{
    const double guard = -123.5;
    for (std::int32_t n = 1; n <= 1024; n *= 2) {
        Table table(n);
        const auto x = RandomData(n, 99);
        const auto expected = NaiveDFT(x).forward;
        const double tolerance = 4 * n * std::log2(n) * 1e-16 * Norm(x);
        std::vector<double> buffer(2 * n + 8, guard);
        std::vector<double> first;
        for (int round = 0; round < 3; ++round) {
            for (std::int32_t j = 0; j < n; ++j) {
                buffer[4 + 2 * j] = x[j].real();
                buffer[4 + 2 * j + 1] = x[j].imag();
            }
            FFT(-1, n, table.entries, buffer.data() + 4);
            for (std::int32_t j = 0; j < n; ++j) {
                const LongComplex got(buffer[4 + 2 * j], buffer[4 + 2 * j + 1]);
                EXPECT_LE(static_cast<double>(std::abs(got - expected[j])), tolerance)
                    << "n " << n << " round " << round << " j " << j;
            }
            const std::vector<double> values(buffer.begin() + 4, buffer.end() - 4);
            if (round == 0) {
                first = values;
            } else {
                EXPECT_EQ(values, first) << "n " << n << " round " << round;
            }
            for (int g = 0; g < 4; ++g) {
                EXPECT_EQ(buffer[g], guard);
                EXPECT_EQ(buffer[buffer.size() - 1 - g], guard);
            }
        }
    }
}

// FFT4 on four interleaved sequences gives each one's transform: every
// value within the bound of MatchesNaiveDFT of the defining sums, and
// nothing outside the 4 n values is touched.
TEST(FFT4, EachSequenceMatchesNaiveDFT)
{
    const double guard = -77.25;
    for (std::int32_t n = 1; n <= 2048; n *= 2) {
        Table table(n);
        std::vector<std::vector<Complex>> x;
        std::vector<Spectra> spectra;
        double norm = 0;
        for (int c = 0; c < 4; ++c) {
            x.push_back(RandomData(n, 5000 + 4 * n + c));
            spectra.push_back(NaiveDFT(x.back()));
            norm = std::max(norm, Norm(x.back()));
        }
        const double stages = std::log2(n);
        for (const int direction : {-1, 1}) {
            std::vector<double> buffer(8 * n + 8, guard);
            for (std::int32_t j = 0; j < n; ++j) {
                for (int c = 0; c < 4; ++c) {
                    buffer[4 + 2 * (4 * j + c)] = x[c][j].real();
                    buffer[4 + 2 * (4 * j + c) + 1] = x[c][j].imag();
                }
            }
            FFT4(direction, n, table.entries, buffer.data() + 4);
            for (int c = 0; c < 4; ++c) {
                const auto& expected = direction < 0 ? spectra[c].forward : spectra[c].inverse;
                double worst = 0;
                for (std::int32_t k = 0; k < n; ++k) {
                    const Complex out(buffer[4 + 2 * (4 * k + c)], buffer[4 + 2 * (4 * k + c) + 1]);
                    worst = std::max(worst,
                                     static_cast<double>(std::abs(LongComplex(out) - expected[k])));
                }
                EXPECT_LE(worst, 4 * n * stages * 1e-16 * norm)
                    << "n " << n << " dir " << direction << " sequence " << c;
            }
            for (int g = 0; g < 4; ++g) {
                EXPECT_EQ(buffer[g], guard);
                EXPECT_EQ(buffer[buffer.size() - 1 - g], guard);
            }
        }
    }
}

}  // namespace
