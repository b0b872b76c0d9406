#include "filter.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>

#include "error.hpp"
#include "fft.hpp"
#include "size.hpp"

namespace {

constexpr double kPiSquared = 9.869604401089358;
constexpr int kForward = -1;
constexpr int kInverse = 1;
constexpr std::size_t kComplexDoubles = 2;
constexpr std::size_t kComplexBytes = kComplexDoubles * sizeof(double);
// Blocks start on a cache line, so that every row of the work array (four
// or more complex values) does too and a column gather touches one line
// per row.
constexpr std::size_t kAlignment = 64;
// Blocks of a huge page or more start on a huge page and ask the kernel for
// huge pages: a column gather touches one line in every row, which with
// small pages means one page (and TLB entry) per row.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Between the row and the column passes, spectrum row v is kept rotated by
// Skew(v) = kSkewStep * v (mod Nx) places: without it, a column of a
// power-of-two row length sits at one and the same offset in every row,
// and all its lines compete for a handful of cache sets (evicting each
// other before the next three columns of each line are used).  Skewed by
// one line per row, the lines of a column spread over all sets.
constexpr std::int32_t kSkewStep = 4;  // complex values per 64-byte line
const char* const kNoMemory = "memory allocation error.";

// Work space of one filtering: the transform lengths and their twiddle
// tables, the Ny x Nx work array of complex values with its table of row
// addresses, and the buffer that holds one column.
std::int32_t nx = 0;
std::int32_t ny = 0;
double* tableX = nullptr;
double* tableY = nullptr;
double** work = nullptr;
double* array = nullptr;
double* column = nullptr;

// A block of `bytes` bytes aligned to kAlignment (to kHugePage when that
// large), or null.
double* AllocateAligned(std::size_t bytes)
{
    const std::size_t alignment = bytes >= kHugePage ? kHugePage : kAlignment;
    std::size_t rounded = 0;
    if (!CheckedAdd(bytes, alignment - 1, &rounded)) return nullptr;
    rounded -= rounded % alignment;
    void* block = std::aligned_alloc(alignment, rounded);
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages everything works the same, slower.
    if (block != nullptr && alignment == kHugePage) madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<double*>(block);
}

void Allocate(std::int32_t width, std::int32_t height)
{
    nx = SetUpFFT(width, &tableX);
    if (nx == 0) Error(kNoMemory);
    ny = SetUpFFT(height, &tableY);
    if (ny == 0) Error(kNoMemory);
    const auto columns = static_cast<std::size_t>(nx);
    const auto lines = static_cast<std::size_t>(ny);
    std::size_t bytes = 0;
    if (!CheckedMul(lines, sizeof(double*), &bytes)) Error(kNoMemory);
    work = static_cast<double**>(std::malloc(bytes));
    if (work == nullptr) Error(kNoMemory);
    if (!CheckedMul(lines, columns, kComplexBytes, &bytes)) Error(kNoMemory);
    array = AllocateAligned(bytes);
    if (array == nullptr) Error(kNoMemory);
    if (!CheckedMul(lines, kComplexBytes, &bytes)) Error(kNoMemory);
    column = AllocateAligned(bytes);
    if (column == nullptr) Error(kNoMemory);
    for (std::size_t v = 0; v < lines; ++v) work[v] = array + v * columns * kComplexDoubles;
}

void Release()
{
    std::free(column);
    std::free(array);
    std::free(work);
    std::free(tableY);
    std::free(tableX);
    column = array = tableY = tableX = nullptr;
    work = nullptr;
}

// Rotation of spectrum row v during the column pass (see kSkewStep).
std::int32_t Skew(std::size_t v)
{
    return nx < 2 * kSkewStep ? 0 : static_cast<std::int32_t>((kSkewStep * v) & (nx - 1));
}

// Rotates the Nx complex values of a work row by `places` toward higher
// indices (in place).
void RotateRow(double* row, std::int32_t places)
{
    struct Complex {
        double re, im;
    };
    auto* first = reinterpret_cast<Complex*>(row);
    std::rotate(first, first + (nx - places), first + nx);
}

// Image rows to spectra along x: (sample - bias) / (Nx Ny) as real parts,
// zero padding to Nx, forward transform.  The padding rows below the image
// hold zeros and so do their transforms; they are never stored or read
// (the column pass supplies their zeros itself).
void TransformRows(std::int32_t width, std::int32_t height, const std::uint16_t* const* rows,
                   double bias)
{
    const double scale = 1.0 / (static_cast<double>(nx) * static_cast<double>(ny));
    for (std::int32_t y = 0; y < height; ++y) {
        const std::uint16_t* in = rows[y];
        double* row = work[y];
        for (std::int32_t x = 0; x < width; ++x) {
            row[2 * x] = (static_cast<double>(in[x]) - bias) * scale;
            row[2 * x + 1] = 0.0;
        }
        for (std::int32_t x = 2 * width; x < 2 * nx; ++x) row[x] = 0.0;
        FFT(kForward, nx, tableX, row);
        RotateRow(row, Skew(y));
    }
}

// Distance of index i from the nearest multiple of n, in cycles per sample
// (0 .. 0.5).
double FoldedFrequency(std::int32_t i, std::int32_t n)
{
    return 0.5 - std::fabs(0.5 - static_cast<double>(i) / n);
}

// Multiplies the column's spectrum (frequency index v along y) by
// H = exp(c (fy^2 + fx^2)).  H is even in v, so each value serves v and
// Ny - v.  At zero frequency H is 1 for any radius, also when c is
// infinite (where c * 0 would give NaN).
void ApplyTransfer(double c, double fx2)
{
    for (std::int32_t v = 0; v <= ny / 2; ++v) {
        const double fy = FoldedFrequency(v, ny);
        const double sum = fy * fy + fx2;
        const double h = sum == 0.0 ? 1.0 : std::exp(c * sum);
        column[2 * v] *= h;
        column[2 * v + 1] *= h;
        const std::int32_t mirror = ny - v;
        if (v != 0 && mirror != v) {
            column[2 * mirror] *= h;
            column[2 * mirror + 1] *= h;
        }
    }
}

// Each column in turn: gathered into the column buffer, transformed along
// y, filtered, transformed back, and returned to the image rows (the
// padding rows are not needed any more).
void FilterColumns(std::int32_t height, double radius)
{
    const double c = -(radius * (kPiSquared * radius));
    const auto lines = static_cast<std::size_t>(height);
    const auto mask = static_cast<std::size_t>(nx - 1);
    const std::size_t step = nx < 2 * kSkewStep ? 0 : kSkewStep;
    for (std::int32_t u = 0; u < nx; ++u) {
        // Element u of row v is at (u + Skew(v)) mod Nx.
        for (std::size_t v = 0, at = u; v < lines; ++v, at = (at + step) & mask) {
            column[2 * v] = work[v][2 * at];
            column[2 * v + 1] = work[v][2 * at + 1];
        }
        for (std::size_t v = 2 * lines; v < 2 * static_cast<std::size_t>(ny); ++v) column[v] = 0.0;
        FFT(kForward, ny, tableY, column);
        const double fx = FoldedFrequency(u, nx);
        ApplyTransfer(c, fx * fx);
        FFT(kInverse, ny, tableY, column);
        for (std::size_t v = 0, at = u; v < lines; ++v, at = (at + step) & mask) {
            work[v][2 * at] = column[2 * v];
            work[v][2 * at + 1] = column[2 * v + 1];
        }
    }
}

// Spectra along x back to image rows: inverse transform, bias added, the
// real part rounded (halves upwards) and clamped to 0 .. 2^bits - 1.  A NaN
// (from a bias that is not a number) becomes 0.
void RestoreRows(std::int32_t width, std::int32_t height, std::int32_t bitsPerSample,
                 std::uint16_t* const* rows, double bias)
{
    const double maxval = static_cast<double>((std::int32_t{1} << bitsPerSample) - 1);
    for (std::int32_t y = 0; y < height; ++y) {
        double* row = work[y];
        RotateRow(row, (nx - Skew(y)) & (nx - 1));
        FFT(kInverse, nx, tableX, row);
        std::uint16_t* out = rows[y];
        for (std::int32_t x = 0; x < width; ++x) {
            const double val = bias + row[2 * x];
            double sample = 0.0;
            if (val > maxval) {
                sample = maxval;
            } else if (val >= 0.0) {
                sample = val + 0.5;
            }
            out[x] = static_cast<std::uint16_t>(sample);
        }
    }
}

}  // namespace

void FilterImage(std::int32_t width, std::int32_t height, std::int32_t bitsPerSample,
                 std::uint16_t* const* rows, double radius, double bias)
{
    Allocate(width, height);
    TransformRows(width, height, rows, bias);
    FilterColumns(height, radius);
    RestoreRows(width, height, bitsPerSample, rows, bias);
    Release();
}
