#include "reference.hpp"

#include <gsl/gsl_errno.h>
#include <gsl/gsl_integration.h>
#include <gsl/gsl_math.h>

#include <cmath>
#include <stdexcept>

namespace {

struct Shell {
    double d;
    double gaussRadius;
};

// The kernel integrated over the sphere of radius r, per unit of r.
double ShellWeight(double r, void* params)
{
    const auto* s = static_cast<const Shell*>(params);
    const double l = s->gaussRadius;
    const double norm = std::sqrt(M_PI) * l;
    if (s->d == 0.0) return 4.0 * r * r / (norm * l * l) * std::exp(-(r * r) / (l * l));
    const double near = (r - s->d) / l;
    const double far = (r + s->d) / l;
    return r / (s->d * norm) * (std::exp(-near * near) - std::exp(-far * far));
}

}  // namespace

double ReferenceFraction(double d, double radius, double gaussRadius)
{
    if (radius == 0.0) return 0.0;
    gsl_set_error_handler_off();  // report failures by status instead of aborting
    constexpr std::size_t kLimit = 1000;
    gsl_integration_workspace* work = gsl_integration_workspace_alloc(kLimit);
    Shell shell{d, gaussRadius};
    gsl_function fn{&ShellWeight, &shell};
    double result = 0.0;
    double error = 0.0;
    // The integrand peaks near r = d with a width of L; splitting there
    // keeps the quadrature from missing a narrow peak.
    double total = 0.0;
    const double points[] = {0.0, std::fmin(d, radius), radius};
    for (int i = 0; i < 2; ++i) {
        if (points[i + 1] <= points[i]) continue;
        const int status = gsl_integration_qag(&fn, points[i], points[i + 1], 1e-13, 0.0, kLimit,
                                               GSL_INTEG_GAUSS61, work, &result, &error);
        if (status != 0) throw std::runtime_error("reference integration failed");
        total += result;
    }
    gsl_integration_workspace_free(work);
    return total;
}
