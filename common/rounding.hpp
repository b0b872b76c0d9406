// The one rule by which a computed value becomes a sample: rounded half up
// (the integer part of x + 0.5), clamped to 0 .. top with top = TopSample(bits),
// and 0 for a value that is not a number.  It has two public names:
// RoundSample for a computed value, OffsetSample for one that already
// carries the offset 0.5 (a table built with it, a vector of sums).  Every
// program stores its computed samples through them; the vectorised loops
// instantiate OffsetSample on vector types (or are auto-vectorised from it)
// and are tested against the scalar rule.
#pragma once

#include <cstdint>
#include <type_traits>

// The largest sample of `bits` bits per sample (1 .. 16): 2^bits - 1.
constexpr double TopSample(int bits)
{
    return static_cast<double>((std::uint32_t{1} << bits) - 1u);
}

namespace rounding {

// v clamped to 0 .. top, NaN to 0, lane by lane for a vector.
template <typename V>
[[gnu::always_inline]] inline V ClampOffsetValue(V v, double top)
{
    // v >= 0 is false for a NaN.  For a double the bounds stay plain
    // constants, so that loops over this rule vectorise.
    if constexpr (std::is_same_v<V, double>) {
        return v >= 0.0 ? (v > top ? top : v) : 0.0;
    } else {
        const V zero{};
        return v >= 0.0 ? (v > top ? zero + top : v) : zero;
    }
}

}  // namespace rounding

// The sample of a value v that already carries the rounding offset
// (v = x + 0.5): v clamped to 0 .. top, NaN to 0, and its integer part.  For
// a vector of doubles (vector_size) the clamped lanes, whose integer parts
// are the samples.
template <typename V>
[[gnu::always_inline]] inline auto OffsetSample(V v, double top)
{
    if constexpr (std::is_same_v<V, double>)
        return static_cast<std::uint16_t>(
            static_cast<std::int32_t>(rounding::ClampOffsetValue(v, top)));
    else
        return rounding::ClampOffsetValue(v, top);
}

// The sample of a computed value x: floor(x + 0.5) clamped to 0 .. top,
// 0 when x is not a number.
[[gnu::always_inline]] inline std::uint16_t RoundSample(double x, double top)
{
    return OffsetSample(x + 0.5, top);
}
