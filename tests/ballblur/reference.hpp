// Reference values of the blurred-sphere fraction, by numerical integration:
// the part of exp(-rho^2/L^2) / (pi^(3/2) L^3), centred at distance d from
// the centre of a ball of radius R, that lies inside the ball.
#pragma once

// Integrates over spherical shells of radius r around the ball's centre:
//   d > 0:  f = int_0^R r / (d L sqrt(pi)) (exp(-(r-d)^2/L^2) - exp(-(r+d)^2/L^2)) dr
//   d = 0:  f = int_0^R 4 r^2 / (sqrt(pi) L^3) exp(-r^2/L^2) dr
// to an absolute accuracy of about 1e-12.
double ReferenceFraction(double d, double radius, double gaussRadius);
