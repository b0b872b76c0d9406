// The blurred-sphere profile for many voxels at once, with an error
// function and an exponential written for several arguments per
// instruction.  There is a portable and an AVX2 build (common/dispatch.hpp
// chooses); both give bit-identical results, the AVX2 build using no fused
// multiply-adds.
#pragma once

#include <cstddef>

// f[i] = BallFraction(d[i], radius, gaussRadius, centre) for i < n (see
// profile.hpp), with erf and exp within about one ulp of the math
// library's instead of from it.
void BallFractions(const double* d, double* f, std::size_t n, double radius, double gaussRadius,
                   double centre);

// y[i] = erf(x[i]) and y[i] = exp(x[i]) for i < n, by the selected path.
void ErfValues(const double* x, double* y, std::size_t n);
void ExpValues(const double* x, double* y, std::size_t n);
