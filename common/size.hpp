// Overflow-checked size arithmetic for byte counts computed from arguments
// or file data.  Every allocation whose size derives from such numbers goes
// through these, so that a size that cannot be represented is refused
// instead of wrapping around.
#pragma once

#include <cstddef>
#include <initializer_list>

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

// The byte count of a run that holds several buffers at once: sets *total
// to the sum of `terms`, each the product of its factors ({} counting 1),
// and returns true, or returns false, leaving *total as it is, when that
// sum or one of its products does not fit in std::size_t.  The result is
// that of exact arithmetic: a product with a factor 0 is 0 whatever the
// other factors are.
inline bool CheckedSumOfProducts(std::initializer_list<std::initializer_list<std::size_t>> terms,
                                 std::size_t* total)
{
    std::size_t sum = 0;
    for (const std::initializer_list<std::size_t>& factors : terms) {
        std::size_t product = 1;
        bool fits = true;
        for (const std::size_t factor : factors) {
            if (factor == 0) {
                product = 0;
                fits = true;
                break;
            }
            // With every factor at least 1 the partial products only grow,
            // so once one overflows the exact product does too.
            fits = fits && CheckedMul(product, factor, &product);
        }
        if (!fits || !CheckedAdd(sum, product, &sum)) return false;
    }
    *total = sum;
    return true;
}
