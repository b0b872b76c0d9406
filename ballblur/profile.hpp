// Fraction of a normalised 3-D Gaussian of radius L, exp(-rho^2/L^2) /
// (pi^(3/2) L^3), that falls inside a ball of radius R when the Gaussian is
// centred at distance d from the ball's centre.  It is the blurred-sphere
// profile: a voxel at distance d holds bias + value * f(d).
#pragma once

// f at the ball's centre, erf(R/L) - (2/sqrt(pi)) (R/L) exp(-(R/L)^2), the
// limit of the general form as d -> 0.  Evaluated once per run.
double BallCentreFraction(double radius, double gaussRadius);

// f(d) for a voxel at distance d >= 0.  Below 1e-9 the voxel counts as the
// centre and `centre` (from BallCentreFraction) is returned; otherwise, with
// u = (R - d)/L and w = (R + d)/L,
//   f = (erf(u) + erf(w) - (L/d) (exp(-u^2) - exp(-w^2)) / sqrt(pi)) / 2.
double BallFraction(double d, double radius, double gaussRadius, double centre);
