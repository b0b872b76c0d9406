// Radial profile of a disk blurred by a normalised 2-D Gaussian, by the
// scaled-Bessel series, and the table of it that the disk program samples.
#pragma once

#include <cstddef>

// Table entries per pixel of radius: entry i is taken at radius i / 16.
inline constexpr double kProfileStepsPerPixel = 16.0;

// The fraction f(r) of the Gaussian exp(-rho^2 / L^2) / (pi L^2), centred at
// distance r >= 0 from the centre of a disk of radius R, that falls inside
// the disk.  R and L are positive.  Ends the program with a message when
// the Bessel function reports an error other than underflow.
double DiskFraction(double r, double R, double L);

// Number of table entries that reach distance dmax: floor(16 dmax) + 2.
// Returns 0 when dmax is not a finite number >= 0 or the table's byte count
// cannot be represented.
std::size_t ProfileLength(double dmax);

// Fills table[i] = bias + value * f(i / 16) + 0.5 for first <= i < n; the
// entries below `first` are left alone (no pixel reads them).  Entries whose
// f is too close to 0 or 1 to change the stored number are set without
// summing the series; they hold the same number the series would give.
void FillProfile(double* table, std::size_t first, std::size_t n, double R, double L, double bias,
                 double value);
