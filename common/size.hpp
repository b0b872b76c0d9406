// Overflow-checked size arithmetic for byte counts computed from arguments
// or file data.  Every allocation whose size derives from such numbers goes
// through these, so that a size that cannot be represented is refused
// instead of wrapping around.
#pragma once

#include <cstddef>

// Sets *out = a * b and returns true, or returns false when the product does
// not fit in std::size_t.
inline bool CheckedMul(std::size_t a, std::size_t b, std::size_t* out)
{
    return !__builtin_mul_overflow(a, b, out);
}

// Sets *out = a + b and returns true, or returns false on overflow.
inline bool CheckedAdd(std::size_t a, std::size_t b, std::size_t* out)
{
    return !__builtin_add_overflow(a, b, out);
}

// a * b * c, checked.
inline bool CheckedMul(std::size_t a, std::size_t b, std::size_t c, std::size_t* out)
{
    std::size_t ab = 0;
    return CheckedMul(a, b, &ab) && CheckedMul(ab, c, out);
}
