// The rounding rule as the tests state it, apart from common/rounding.hpp:
// a value x becomes floor(x + 0.5) clamped to 0 .. 2^bits - 1, a NaN 0.
// Computed in the caller's floating type, so that a double reference rounds
// exactly as the code does and a long double one as exactly as it can.
#pragma once

#include <cmath>
#include <cstdint>

namespace testsupport {

// The sample of a value that already carries the offset 0.5: floor(v).
template <typename F>
std::uint16_t OracleOffsetSample(F v, int bits)
{
    const F top = std::ldexp(F{1}, bits) - 1;
    const F whole = std::floor(v);
    if (!(whole >= 0)) return 0;
    return static_cast<std::uint16_t>(whole > top ? top : whole);
}

// The sample of a computed value x.
template <typename F>
std::uint16_t OracleSample(F x, int bits)
{
    return OracleOffsetSample(x + F{0.5}, bits);
}

// True when x lies so close to a half-integer that a reference computed
// another way may round it either way.
template <typename F>
bool NearHalf(F x)
{
    return std::fabs(x - std::floor(x) - F{0.5}) < F{1e-9};
}

}  // namespace testsupport
