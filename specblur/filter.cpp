#include "filter.hpp"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <initializer_list>
#include <numbers>

#include "aligned.hpp"
#include "fft.hpp"
#include "rounding.hpp"
#include "size.hpp"

// The image is real and only the real part of the result is kept, so the
// filter works on half the spectrum.  Along x, two image rows go through
// one complex transform (one as real, one as imaginary part) and are
// separated by the symmetry of real spectra; of each row's spectrum only
// the frequencies u = 0 .. Nx/2 are kept, the others being their complex
// conjugates.  The transfer function is real and even, so the filtered
// spectrum keeps that symmetry: the column pass runs over those Nx/2 + 1
// columns only, and the rows come back as the real and imaginary parts of
// one inverse transform per pair.
namespace {

constexpr double kPiSquared = std::numbers::pi * std::numbers::pi;
constexpr int kForward = -1;
constexpr int kInverse = 1;
constexpr std::size_t kComplexDoubles = 2;
// Columns gathered and transformed together: one 64-byte line of a work
// row holds four complex values.
constexpr std::size_t kGather = 4;

// Sizes of one filtering: the transform lengths, the number of spectrum
// columns kept and the distance between work rows, in complex values.
struct Layout {
    std::size_t nx = 0;
    std::size_t ny = 0;
    std::size_t columns = 0;  // Nx/2 + 1
    std::size_t stride = 0;   // columns rounded up to a multiple of kGather
};

Layout LayoutOf(std::size_t nx, std::size_t ny)
{
    Layout layout;
    layout.nx = nx;
    layout.ny = ny;
    layout.columns = nx / 2 + 1;
    // Rows of Nx/2 + 4 values (Nx >= 8): an odd number of lines, so that the
    // lines of one column spread over all cache sets.
    layout.stride = (layout.columns + kGather - 1) / kGather * kGather;
    return layout;
}

// Bytes of each block, in the order they are allocated after the twiddle
// tables: the work array, the pair buffer, the column buffers, the two
// transfer factor tables.  False when a size cannot be represented.
bool BlockBytes(const Layout& layout, std::int32_t height, std::size_t bytes[5])
{
    return CheckedMul(static_cast<std::size_t>(height), layout.stride, kComplexBytes, &bytes[0]) &&
           CheckedMul(layout.nx, kComplexBytes, &bytes[1]) &&
           CheckedMul(layout.ny, kGather, kComplexBytes, &bytes[2]) &&
           CheckedMul(layout.columns, sizeof(double), &bytes[3]) &&
           CheckedMul(layout.ny, sizeof(double), &bytes[4]);
}

// Work space of one filtering: the twiddle tables, the work array of
// `height` rows of the kept spectrum columns (the padding rows below the
// image are zero before the column pass and not needed after it), the
// buffer of one complex row transform, the buffers of kGather columns and
// the transfer function's factors along x and y.
Layout layout;
double* tableX = nullptr;
double* tableY = nullptr;
double* array = nullptr;
double* pair = nullptr;
double* column = nullptr;
double* factorX = nullptr;
double* factorY = nullptr;

// The work space, in this order; false at the first block that cannot be
// had (Release frees the ones before it).  Every block starts on a cache
// line, so that every row of the work array (a multiple of kGather complex
// values) does too and a column gather uses whole lines; the large ones on
// huge pages, since a column gather touches one line in every row.
bool Allocate(std::int32_t width, std::int32_t height)
{
    const std::int32_t nx = SetUpFFT(width, &tableX);
    if (nx == 0) return false;
    const std::int32_t ny = SetUpFFT(height, &tableY);
    if (ny == 0) return false;
    layout = LayoutOf(static_cast<std::size_t>(nx), static_cast<std::size_t>(ny));
    std::size_t bytes[5] = {};
    if (!BlockBytes(layout, height, bytes)) return false;
    double** const blocks[5] = {&array, &pair, &column, &factorX, &factorY};
    for (int b = 0; b < 5; ++b) {
        *blocks[b] = static_cast<double*>(AllocateAligned(bytes[b]));
        if (*blocks[b] == nullptr) return false;
    }
    return true;
}

void Release()
{
    for (double** block : {&factorY, &factorX, &column, &pair, &array, &tableY, &tableX}) {
        std::free(*block);
        *block = nullptr;
    }
}

double* WorkRow(std::size_t y)
{
    return array + y * layout.stride * kComplexDoubles;
}

// Image rows y (real part) and y + 1 (imaginary part; zero past the last
// row) to their spectra along x: (sample - bias) / (Nx Ny), zero padding to
// Nx, one forward transform Z of both; row y's spectrum is
// (Z[u] + conj Z[-u]) / 2, row y + 1's (Z[u] - conj Z[-u]) / 2i.
void TransformRows(std::int32_t width, std::int32_t height, const std::uint16_t* const* rows,
                   double bias)
{
    const std::size_t nx = layout.nx;
    const double scale = 1.0 / (static_cast<double>(nx) * static_cast<double>(layout.ny));
    for (std::int32_t y = 0; y < height; y += 2) {
        const std::uint16_t* a = rows[y];
        const bool second = y + 1 < height;
        const std::uint16_t* b = second ? rows[y + 1] : nullptr;
        for (std::int32_t x = 0; x < width; ++x) {
            pair[2 * x] = (static_cast<double>(a[x]) - bias) * scale;
            pair[2 * x + 1] = second ? (static_cast<double>(b[x]) - bias) * scale : 0.0;
        }
        for (std::size_t x = 2 * static_cast<std::size_t>(width); x < 2 * nx; ++x) pair[x] = 0.0;
        FFT(kForward, static_cast<std::int32_t>(nx), tableX, pair);
        double* outA = WorkRow(y);
        double* outB = second ? WorkRow(y + 1) : nullptr;
        for (std::size_t u = 0; u < layout.columns; ++u) {
            const std::size_t m = (nx - u) & (nx - 1);
            const double zr = pair[2 * u];
            const double zi = pair[2 * u + 1];
            const double mr = pair[2 * m];
            const double mi = pair[2 * m + 1];
            outA[2 * u] = 0.5 * (zr + mr);
            outA[2 * u + 1] = 0.5 * (zi - mi);
            if (second) {
                outB[2 * u] = 0.5 * (zi + mi);
                outB[2 * u + 1] = 0.5 * (mr - zr);
            }
        }
    }
}

// Distance of index i from the nearest multiple of n, in cycles per sample
// (0 .. 0.5).
double FoldedFrequency(std::size_t i, std::size_t n)
{
    return 0.5 - std::fabs(0.5 - static_cast<double>(i) / static_cast<double>(n));
}

// exp(c f^2) for the frequency of index i of n; 1 at zero frequency for any
// radius, also when c is infinite (where c * 0 would give NaN).
double Factor(double c, std::size_t i, std::size_t n)
{
    const double f = FoldedFrequency(i, n);
    const double f2 = f * f;
    return f2 == 0.0 ? 1.0 : std::exp(c * f2);
}

// The transfer function exp(c (fx^2 + fy^2)) as the product of its factors
// along x (for the kept columns) and along y.
void SetUpTransfer(double radius)
{
    const double c = -(radius * (kPiSquared * radius));
    for (std::size_t u = 0; u < layout.columns; ++u) factorX[u] = Factor(c, u, layout.nx);
    for (std::size_t v = 0; v < layout.ny; ++v) factorY[v] = Factor(c, v, layout.ny);
}

// The kept columns, kGather at a time: gathered (one line of each image
// row, stored whole as one element of the interleaved column buffer) with
// the padding rows added as zeros, transformed along y together, filtered,
// transformed back, and returned to the image rows.  Past the last kept
// column the buffer holds zeros, which are transformed and dropped.
void FilterColumns(std::int32_t height)
{
    static_assert(kGather == 4, "the column buffer holds the four sequences of FFT4");
    const auto lines = static_cast<std::size_t>(height);
    const std::size_t ny = layout.ny;
    constexpr std::size_t width = kGather * kComplexDoubles;  // doubles per element
    for (std::size_t u0 = 0; u0 < layout.columns; u0 += kGather) {
        const std::size_t count = layout.columns - u0 < kGather ? layout.columns - u0 : kGather;
        for (std::size_t v = 0; v < lines; ++v) {
            const double* in = WorkRow(v) + 2 * u0;
            double* out = column + width * v;
            for (std::size_t i = 0; i < 2 * count; ++i) out[i] = in[i];
            for (std::size_t i = 2 * count; i < width; ++i) out[i] = 0.0;
        }
        for (std::size_t i = width * lines; i < width * ny; ++i) column[i] = 0.0;
        FFT4(kForward, static_cast<std::int32_t>(ny), tableY, column);
        double hx[kGather] = {};
        for (std::size_t j = 0; j < count; ++j) hx[j] = factorX[u0 + j];
        for (std::size_t v = 0; v < ny; ++v) {
            double* element = column + width * v;
            for (std::size_t j = 0; j < kGather; ++j) {
                const double h = hx[j] * factorY[v];
                element[2 * j] *= h;
                element[2 * j + 1] *= h;
            }
        }
        FFT4(kInverse, static_cast<std::int32_t>(ny), tableY, column);
        for (std::size_t v = 0; v < lines; ++v) {
            const double* in = column + width * v;
            double* out = WorkRow(v) + 2 * u0;
            for (std::size_t i = 0; i < 2 * count; ++i) out[i] = in[i];
        }
    }
}

// Spectra along x back to image rows, two at a time: the full spectrum of
// row y + i row y + 1 is A[u] + i B[u], with A[-u] = conj A[u] (and so for
// B) above Nx/2; its inverse transform holds row y in the real and row
// y + 1 in the imaginary parts.  Bias added, rounded and clamped
// (RoundSample; a NaN from a bias that is not a number becomes 0).
void RestoreRows(std::int32_t width, std::int32_t height, std::int32_t bitsPerSample,
                 std::uint16_t* const* rows, double bias)
{
    const std::size_t nx = layout.nx;
    const double maxval = TopSample(bitsPerSample);
    for (std::int32_t y = 0; y < height; y += 2) {
        const bool second = y + 1 < height;
        const double* a = WorkRow(y);
        const double* b = second ? WorkRow(y + 1) : nullptr;
        for (std::size_t u = 0; u < layout.columns; ++u) {
            const double br = second ? b[2 * u] : 0.0;
            const double bi = second ? b[2 * u + 1] : 0.0;
            pair[2 * u] = a[2 * u] - bi;
            pair[2 * u + 1] = a[2 * u + 1] + br;
            const std::size_t m = nx - u;
            if (u != 0 && m != u) {
                pair[2 * m] = a[2 * u] + bi;
                pair[2 * m + 1] = br - a[2 * u + 1];
            }
        }
        FFT(kInverse, static_cast<std::int32_t>(nx), tableX, pair);
        std::uint16_t* outA = rows[y];
        for (std::int32_t x = 0; x < width; ++x) outA[x] = RoundSample(bias + pair[2 * x], maxval);
        if (second) {
            std::uint16_t* outB = rows[y + 1];
            for (std::int32_t x = 0; x < width; ++x) {
                outB[x] = RoundSample(bias + pair[2 * x + 1], maxval);
            }
        }
    }
}

}  // namespace

bool FilterWorkBytes(std::int32_t width, std::int32_t height, std::size_t* bytes)
{
    *bytes = 0;
    if (width > kMaxFFTLength || height > kMaxFFTLength) return false;
    const Layout sizes = LayoutOf(static_cast<std::size_t>(FFTLength(width)),
                                  static_cast<std::size_t>(FFTLength(height)));
    std::size_t total = 0;
    std::size_t blocks[5] = {};
    std::size_t tables = 0;
    if (!CheckedAdd(sizes.nx, sizes.ny, &tables) || !CheckedMul(tables, kComplexBytes, &total) ||
        !BlockBytes(sizes, height < 1 ? 1 : height, blocks)) {
        return false;
    }
    for (const std::size_t block : blocks) {
        if (!CheckedAdd(total, block, &total)) return false;
    }
    *bytes = total;
    return true;
}

bool FilterImage(std::int32_t width, std::int32_t height, std::int32_t bitsPerSample,
                 std::uint16_t* const* rows, double radius, double bias)
{
    if (!Allocate(width, height)) {
        Release();
        return false;
    }
    SetUpTransfer(radius);
    TransformRows(width, height, rows, bias);
    FilterColumns(height);
    RestoreRows(width, height, bitsPerSample, rows, bias);
    Release();
    return true;
}
