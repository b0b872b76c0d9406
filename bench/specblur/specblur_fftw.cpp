// specblur_fftw orgTIFF radius {bias} newTIFF: the same Gaussian filter as
// specblur on the same zero-padded power-of-two grid, with FFTW's in-place
// 2-D complex transforms (FFTW_ESTIMATE plans), as a benchmark peer.  Same
// reader and writer as specblur, so the two differ only in the filtering.
#include <fftw3.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "error.hpp"
#include "rif.hpp"
#include "sif.hpp"

namespace {

std::int32_t PowerOfTwoAtLeast(std::int32_t n)
{
    std::int32_t p = 1;
    while (p < n) p *= 2;
    return p;
}

double Folded(std::int32_t i, std::int32_t n)
{
    return 0.5 - std::fabs(0.5 - static_cast<double>(i) / n);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5) Error("usage : specblur_fftw orgTIFF radius {bias} newTIFF");
    std::int32_t width = 0, height = 0, bits = 0;
    std::uint16_t** rows = nullptr;
    char* description = nullptr;
    ReadImageFile(argv[1], &width, &height, &bits, &rows, &description);
    const double radius = std::strtod(argv[2], nullptr);
    if (!(radius >= 0.0)) Error("bad Gaussian radius.");
    const double bias = argc == 5 ? std::strtod(argv[3], nullptr) : 0.0;

    const std::int32_t nx = PowerOfTwoAtLeast(width);
    const std::int32_t ny = PowerOfTwoAtLeast(height);
    auto* data = static_cast<fftw_complex*>(
        fftw_malloc(sizeof(fftw_complex) * static_cast<std::size_t>(nx) * ny));
    if (data == nullptr) Error("memory allocation error.");
    const fftw_plan forward = fftw_plan_dft_2d(ny, nx, data, data, FFTW_FORWARD, FFTW_ESTIMATE);
    const fftw_plan inverse = fftw_plan_dft_2d(ny, nx, data, data, FFTW_BACKWARD, FFTW_ESTIMATE);

    const double scale = 1.0 / (static_cast<double>(nx) * ny);
    for (std::int32_t y = 0; y < ny; ++y) {
        fftw_complex* row = data + static_cast<std::size_t>(y) * nx;
        for (std::int32_t x = 0; x < nx; ++x) {
            row[x][0] = y < height && x < width ? (rows[y][x] - bias) * scale : 0.0;
            row[x][1] = 0.0;
        }
    }
    fftw_execute(forward);
    const double c = -(radius * (9.869604401089358 * radius));
    std::vector<double> fx2(nx);
    for (std::int32_t u = 0; u < nx; ++u) fx2[u] = Folded(u, nx) * Folded(u, nx);
    for (std::int32_t v = 0; v < ny; ++v) {
        const double fy = Folded(v, ny);
        fftw_complex* row = data + static_cast<std::size_t>(v) * nx;
        for (std::int32_t u = 0; u < nx; ++u) {
            const double h = std::exp(c * (fy * fy + fx2[u]));
            row[u][0] *= h;
            row[u][1] *= h;
        }
    }
    fftw_execute(inverse);
    const double maxval = (1 << bits) - 1;
    for (std::int32_t y = 0; y < height; ++y) {
        const fftw_complex* row = data + static_cast<std::size_t>(y) * nx;
        for (std::int32_t x = 0; x < width; ++x) {
            const double val = bias + row[x][0];
            rows[y][x] = static_cast<std::uint16_t>(val < 0        ? 0
                                                    : val > maxval ? maxval
                                                                   : val + 0.5);
        }
    }
    fftw_destroy_plan(forward);
    fftw_destroy_plan(inverse);
    fftw_free(data);

    StoreImageFile(argv[argc - 1], width, height, bits, rows, description);
    FreeImageFile(height, rows, description);
    return 0;
}
