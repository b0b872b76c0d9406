// The blurred-sphere profile for many voxels at once, with an error
// function and an exponential written for several arguments per
// instruction.  Code paths are chosen at run time.
#pragma once

#include <cstddef>

#include "dispatch.hpp"

// Code paths of the voxel kernels: portable and AVX2 (no AVX-512 build).
// Both give bit-identical results: the AVX2 build uses no fused
// multiply-adds.
using VoxelCode = CodePath;

// Whether this processor runs `code`.
bool VoxelCodeRuns(VoxelCode code);

// Chooses the code path for the following calls (tests and benchmarks);
// by default the fastest one this processor runs is used.  Returns false,
// changing nothing, when the processor does not run `code`.
bool SelectVoxelCode(VoxelCode code);

// f[i] = BallFraction(d[i], radius, gaussRadius, centre) for i < n (see
// profile.hpp), with erf and exp within about one ulp of the math
// library's instead of from it.
void BallFractions(const double* d, double* f, std::size_t n, double radius, double gaussRadius,
                   double centre);

// y[i] = erf(x[i]) and y[i] = exp(x[i]) for i < n, by the selected path.
void ErfValues(const double* x, double* y, std::size_t n);
void ExpValues(const double* x, double* y, std::size_t n);
