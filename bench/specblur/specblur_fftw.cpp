// specblur_fftw orgTIFF radius {bias} newTIFF: the same Gaussian filter as
// specblur on the same zero-padded power-of-two grid, written the way one
// would with FFTW for this filter, as a benchmark peer: real-to-complex
// transforms of the image rows only, complex transforms of the Nx/2 + 1
// half-spectrum columns, complex-to-real transforms of the image rows back,
// all as FFTW_MEASURE plans whose wisdom is kept in a file (the environment
// variable SPECBLUR_FFTW_WISDOM names it; specblur_fftw.wisdom otherwise),
// so that planning is paid once.  Same reader and writer as specblur, so the
// two differ only in the filtering.
#include <fftw3.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
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

double Factor(double c, std::int32_t i, std::int32_t n)
{
    const double f = Folded(i, n);
    return f == 0.0 ? 1.0 : std::exp(c * f * f);
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
    const std::int32_t half = nx / 2 + 1;  // complex values per spectrum row
    auto* data = static_cast<fftw_complex*>(
        fftw_malloc(sizeof(fftw_complex) * static_cast<std::size_t>(half) * ny));
    if (data == nullptr) Error("memory allocation error.");
    auto* real = reinterpret_cast<double*>(data);

    const char* wisdom = std::getenv("SPECBLUR_FFTW_WISDOM");
    if (wisdom == nullptr) wisdom = "specblur_fftw.wisdom";
    fftw_import_wisdom_from_filename(wisdom);
    // Rows: `height` real rows of Nx samples, each in place in its row of
    // Nx/2 + 1 complex values.  Columns: Nx/2 + 1 of Ny values, stride one
    // row.
    const fftw_plan rowsForward =
        fftw_plan_many_dft_r2c(1, &nx, height, real, nullptr, 1, 2 * half, data, nullptr, 1, half,
                               FFTW_MEASURE | FFTW_DESTROY_INPUT);
    const fftw_plan columnsForward = fftw_plan_many_dft(
        1, &ny, half, data, nullptr, half, 1, data, nullptr, half, 1, FFTW_FORWARD, FFTW_MEASURE);
    const fftw_plan columnsInverse = fftw_plan_many_dft(
        1, &ny, half, data, nullptr, half, 1, data, nullptr, half, 1, FFTW_BACKWARD, FFTW_MEASURE);
    const fftw_plan rowsInverse =
        fftw_plan_many_dft_c2r(1, &nx, height, data, nullptr, 1, half, real, nullptr, 1, 2 * half,
                               FFTW_MEASURE | FFTW_DESTROY_INPUT);
    fftw_export_wisdom_to_filename(wisdom);

    const double scale = 1.0 / (static_cast<double>(nx) * ny);
    for (std::int32_t y = 0; y < height; ++y) {
        double* row = real + static_cast<std::size_t>(y) * 2 * half;
        for (std::int32_t x = 0; x < width; ++x) row[x] = (rows[y][x] - bias) * scale;
        for (std::int32_t x = width; x < 2 * half; ++x) row[x] = 0.0;
    }
    fftw_execute(rowsForward);
    for (std::size_t i = static_cast<std::size_t>(height) * half;
         i < static_cast<std::size_t>(ny) * half; ++i) {
        data[i][0] = data[i][1] = 0.0;
    }
    fftw_execute(columnsForward);
    const double c = -(radius * (9.869604401089358 * radius));
    std::vector<double> hx(half);
    for (std::int32_t u = 0; u < half; ++u) hx[u] = Factor(c, u, nx);
    for (std::int32_t v = 0; v < ny; ++v) {
        const double hy = Factor(c, v, ny);
        fftw_complex* row = data + static_cast<std::size_t>(v) * half;
        for (std::int32_t u = 0; u < half; ++u) {
            const double h = hy * hx[u];
            row[u][0] *= h;
            row[u][1] *= h;
        }
    }
    fftw_execute(columnsInverse);
    fftw_execute(rowsInverse);
    const double maxval = (1 << bits) - 1;
    for (std::int32_t y = 0; y < height; ++y) {
        const double* row = real + static_cast<std::size_t>(y) * 2 * half;
        for (std::int32_t x = 0; x < width; ++x) {
            const double val = bias + row[x];
            rows[y][x] = static_cast<std::uint16_t>(val < 0        ? 0
                                                    : val > maxval ? maxval
                                                                   : val + 0.5);
        }
    }
    for (const fftw_plan plan : {rowsForward, columnsForward, columnsInverse, rowsInverse}) {
        fftw_destroy_plan(plan);
    }
    fftw_free(data);

    StoreImageFile(argv[argc - 1], width, height, bits, rows, description);
    FreeImageFile(height, rows, description);
    return 0;
}
