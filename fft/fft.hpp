// One-dimensional complex FFT of power-of-two length.  A complex value is two
// consecutive doubles, real part first.  The transforms have a portable
// build and an AVX2 build, chosen by common/dispatch.hpp; the AVX2 build uses
// fused multiply-adds (one rounding where the portable code has two), so the
// two differ by rounding only.
#pragma once

#include <cstdint>

// Chooses the transform length for a requested length n (1 when n <= 1,
// otherwise the smallest power of two >= n, n at most 2^30) and allocates
// (std::malloc) its twiddle table into *table: N complex values,
// entry k = (cos(pi k / N), sin(pi k / N)).  Returns N, or 0 with
// *table == nullptr when the table cannot be allocated.  The caller frees
// the table with std::free.
std::int32_t SetUpFFT(std::int32_t n, double** table);

// Transforms the n complex values at `data` in place:
// X[k] = sum_j x[j] exp(direction * 2 pi i j k / n), direction -1 (forward)
// or +1 (inverse), unscaled.  n and table must come from one SetUpFFT call.
void FFT(int direction, std::int32_t n, const double* table, double* data);

// Four transforms of length n at once, each as FFT would make it, on four
// sequences stored interleaved: element j of sequence c is the complex value
// at data + 2 (4 j + c).  Same n, table and direction as FFT.
void FFT4(int direction, std::int32_t n, const double* table, double* data);
