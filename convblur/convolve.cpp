// Direct two-dimensional Gaussian convolution.
//
// Every output sample is one running sum that starts at the bias and adds
// (sample − bias) · weight over the clipped window, rows top to bottom and,
// within a row, columns left to right.  That order is kept for every sample
// so that the result does not depend on how the work is split.  Speed comes
// from computing many neighbouring output samples of a row at once, one per
// vector lane: each lane holds its own sum and receives exactly its own
// terms in their order, so no single sum is ever reassociated.
//
// Window columns outside the image are read as 0 from a small zero-padded
// copy of the row segment (only for the groups of samples near the left and
// right borders).  Adding a product 0 · w (w finite) leaves a sum unchanged
// (at most the sign of a zero sum changes), so this equals clipping the loop
// bounds, while the interior loop has no bounds to test at all.  Whenever a
// weight or the bias is not finite the plain loop is used instead, since
// 0 · inf would not vanish.
#include "convolve.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <utility>

#include "aligned.hpp"
#include "dispatch.hpp"
#include "rounding.hpp"
#include "size.hpp"

namespace {

constexpr double kLn2 = 0.6931471805599453;

// Vector types of 2, 4 and 8 doubles.  The compiler turns their arithmetic
// into the instructions of the function they are inlined into: SSE2 for the
// portable path (or plain scalar code on other processors), AVX2 or AVX-512
// for the dispatched ones.  In the AVX paths `sum + x * w` becomes a fused
// multiply-add: its product is exact and the sum rounded once, which is at
// least as precise as a double product followed by a double sum.
using Vec2 = double __attribute__((vector_size(16)));
using Vec4 = double __attribute__((vector_size(32)));
using Vec8 = double __attribute__((vector_size(64)));

// State of the image being convolved.
const double* work = nullptr;         // working copy: sample − bias, row by row
const double* kernel = nullptr;       // quadrant: kernelRows rows of kernelCols weights
double* stage = nullptr;              // zero-padded copy of one row segment
std::uint16_t* const* out = nullptr;  // output rows (the input image)
std::ptrdiff_t width = 0;
std::ptrdiff_t height = 0;
std::ptrdiff_t kernelCols = 0;  // hx
std::ptrdiff_t kernelRows = 0;  // hy
double bias = 0;
double top = 0;  // largest sample value

using Convolution = void (*)();

// Rounds half up and clamps to 0 .. top; a sum that is not a number gives 0.
inline std::uint16_t Quantise(double sum)
{
    return RoundSample(sum, top);
}

// The plain loop, term by term, for the cases the vector paths leave out.
void ConvolvePlain()
{
    for (std::ptrdiff_t y = 0; y < height; ++y) {
        const std::ptrdiff_t y0 = std::max<std::ptrdiff_t>(0, y - kernelRows + 1);
        const std::ptrdiff_t y1 = std::min(y + kernelRows, height);
        for (std::ptrdiff_t x = 0; x < width; ++x) {
            const std::ptrdiff_t x0 = std::max<std::ptrdiff_t>(0, x - kernelCols + 1);
            const std::ptrdiff_t x1 = std::min(x + kernelCols, width);
            double sum = bias;
            for (std::ptrdiff_t k = y0; k < y1; ++k) {
                const double* w = kernel + std::abs(k - y) * kernelCols;
                const double* s = work + k * width;
                for (std::ptrdiff_t c = x0; c < x1; ++c) sum += s[c] * w[std::abs(c - x)];
            }
            out[y][x] = Quantise(sum);
        }
    }
}

// Unaligned load of one vector (an out-parameter: vector return values
// would tie the generic code to one calling convention).
template <class V>
[[gnu::always_inline]] inline void Load(V* v, const double* p)
{
    std::memcpy(v, p, sizeof *v);
}

// Adds one window row to the sums of output rows Lo .. Hi of a block, B
// vectors of samples each: for every such row r and lane l of vector b,
//   acc[r][b][l] += src[b·L + l + d] · weights[r][|d|],  d = −(h − 1) .. h − 1,
// in that order of d; src points at the window row's column of lane 0.
template <class V, int B, int R, int Lo, int Hi>
[[gnu::always_inline]] inline void AddRow(V (*acc)[B], const double* src,
                                          const double* const* weights, std::ptrdiff_t h)
{
    constexpr int kLanes = sizeof(V) / sizeof(double);
    // Offsets d < 0 use the weights from index h − 1 down, offsets d ≥ 0
    // from index 0 up.
    for (std::ptrdiff_t d = 1 - h; d < h; ++d) {
        const std::ptrdiff_t j = d < 0 ? -d : d;
        V w[R];
#pragma GCC unroll 8
        for (int r = Lo; r <= Hi; ++r) w[r] = V{} + weights[r][j];
        const double* p = src + d;
#pragma GCC unroll 16
        for (int b = 0; b < B; ++b) {
            V v;
            Load(&v, p + b * kLanes);
#pragma GCC unroll 8
            for (int r = Lo; r <= Hi; ++r) acc[r][b] += v * w[r];
        }
    }
}

// AddRow for the block rows lo .. hi known only at run time: one inlined
// copy per pair, so that every copy keeps its sums in registers.
template <class V, int B, int R, int... I>
[[gnu::always_inline]] inline void AddRowTo(int lo, int hi, V (*acc)[B], const double* src,
                                            const double* const* weights, std::ptrdiff_t h,
                                            std::integer_sequence<int, I...>)
{
    const int which = lo * R + hi;
    (
        [&] {
            if constexpr (I / R <= I % R) {
                if (which == I) AddRow<V, B, R, I / R, I % R>(acc, src, weights, h);
            }
        }(),
        ...);
}

// Integer vectors with as many lanes as a vector of doubles.
template <int Lanes>
struct Narrow;
template <>
struct Narrow<2> {
    using Int = std::int32_t __attribute__((vector_size(8)));
    using Sample = std::uint16_t __attribute__((vector_size(4)));
};
template <>
struct Narrow<4> {
    using Int = std::int32_t __attribute__((vector_size(16)));
    using Sample = std::uint16_t __attribute__((vector_size(8)));
};
template <>
struct Narrow<8> {
    using Int = std::int32_t __attribute__((vector_size(32)));
    using Sample = std::uint16_t __attribute__((vector_size(16)));
};

// Quantise for a vector of sums, stored as samples at dst: the common
// rounding rule instantiated on the vector type (the same comparisons and
// the same truncation, lane by lane); the tests hold it to the scalar rule.
template <class V>
[[gnu::always_inline]] inline void StoreQuantised(V sum, std::uint16_t* dst)
{
    using Int = typename Narrow<sizeof(V) / sizeof(double)>::Int;
    using Sample = typename Narrow<sizeof(V) / sizeof(double)>::Sample;
    const V t = ClampOffsetValue(sum + 0.5, top);
    const Sample samples = __builtin_convertvector(__builtin_convertvector(t, Int), Sample);
    std::memcpy(dst, &samples, sizeof samples);
}

// Copies columns x − (h − 1) .. x + n + h − 2 of working row k into the
// stage, zero outside the image, and returns where column x landed.
const double* StageRow(std::ptrdiff_t k, std::ptrdiff_t x, std::ptrdiff_t n)
{
    const std::ptrdiff_t first = x - (kernelCols - 1);
    const std::ptrdiff_t count = n + 2 * (kernelCols - 1);
    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(first, 0);
    const std::ptrdiff_t hi = std::min(first + count, width);
    std::fill(stage, stage + (lo - first), 0.0);
    std::copy(work + k * width + lo, work + k * width + hi, stage + (lo - first));
    std::fill(stage + (hi - first), stage + count, 0.0);
    return stage + (kernelCols - 1);
}

constexpr std::ptrdiff_t kMaxGroup = 64;  // samples per vector group, at most

// Convolves output rows y .. y + R − 1, B vectors of samples at a time.
// Each window row k is loaded once for all the block rows whose window
// holds it (a contiguous range lo .. hi of them).
template <class V, int B, int R>
[[gnu::always_inline]] inline void ConvolveBlock(std::ptrdiff_t y)
{
    constexpr int kLanes = sizeof(V) / sizeof(double);
    constexpr std::ptrdiff_t kGroup = B * kLanes;
    static_assert(kGroup <= kMaxGroup);
    const std::ptrdiff_t h = kernelCols;
    const std::ptrdiff_t hy = kernelRows;
    const std::ptrdiff_t kFirst = std::max<std::ptrdiff_t>(0, y - hy + 1);
    const std::ptrdiff_t kEnd = std::min(y + R - 1 + hy, height);
    for (std::ptrdiff_t x = 0; x < width; x += kGroup) {
        const bool inside = x >= h - 1 && x + kGroup + h - 2 < width;
        V acc[R][B];
        for (int r = 0; r < R; ++r)
            for (int b = 0; b < B; ++b) acc[r][b] = V{} + bias;
        for (std::ptrdiff_t k = kFirst; k < kEnd; ++k) {
            const int lo = static_cast<int>(std::max<std::ptrdiff_t>(0, k - y - hy + 1));
            const int hi = static_cast<int>(std::min<std::ptrdiff_t>(R - 1, k - y + hy - 1));
            const double* weights[R];
            for (int r = lo; r <= hi; ++r) weights[r] = kernel + std::abs(k - y - r) * h;
            const double* src = inside ? work + k * width + x : StageRow(k, x, kGroup);
            AddRowTo<V, B, R>(lo, hi, acc, src, weights, h,
                              std::make_integer_sequence<int, R * R>{});
        }
        if (x + kGroup <= width) {
            for (int r = 0; r < R; ++r)
                for (int b = 0; b < B; ++b) StoreQuantised(acc[r][b], out[y + r] + x + b * kLanes);
        } else {
            for (int r = 0; r < R; ++r) {
                double sums[kGroup];
                std::memcpy(sums, acc[r], sizeof sums);
                std::uint16_t* row = out[y + r] + x;
                for (std::ptrdiff_t i = 0; i < width - x; ++i) row[i] = Quantise(sums[i]);
            }
        }
    }
}

// A window of one sample: every output sample is its own input scaled by
// the centre weight, sum = bias + (sample − bias) · weight, computed from
// the row itself (the working copy is not filled) with the same vector
// arithmetic as ConvolveBlock, lane by lane: the sum starts at the bias and
// takes the one product, fused where the build fuses it.  The samples of a
// row are read before they are overwritten.
template <class V>
[[gnu::always_inline]] inline void ScaleRows()
{
    constexpr int kLanes = sizeof(V) / sizeof(double);
    using Int = typename Narrow<kLanes>::Int;
    using Sample = typename Narrow<kLanes>::Sample;
    const V w = V{} + kernel[0];
    for (std::ptrdiff_t y = 0; y < height; ++y) {
        std::uint16_t* row = out[y];
        std::ptrdiff_t x = 0;
        for (; x + kLanes <= width; x += kLanes) {
            Sample samples;
            std::memcpy(&samples, row + x, sizeof samples);
            // Widened through 32-bit integers, which converts lane-parallel.
            const V v = __builtin_convertvector(__builtin_convertvector(samples, Int), V) - bias;
            V acc = V{} + bias;
            acc += v * w;
            StoreQuantised(acc, row + x);
        }
        if (x == width) continue;
        // The last samples as the zero-padded group of ConvolveBlock.
        double values[kLanes] = {};
        for (std::ptrdiff_t i = 0; i < width - x; ++i) values[i] = row[x + i] - bias;
        V v;
        Load(&v, values);
        V acc = V{} + bias;
        acc += v * w;
        double sums[kLanes];
        std::memcpy(sums, &acc, sizeof sums);
        for (std::ptrdiff_t i = 0; i < width - x; ++i) row[x + i] = Quantise(sums[i]);
    }
}

// All output rows, R at a time, then the rest one by one.
template <class V, int B, int R>
[[gnu::always_inline]] inline void ConvolveRows()
{
    if (kernelCols == 1 && kernelRows == 1) {
        ScaleRows<V>();
        return;
    }
    std::ptrdiff_t y = 0;
    for (; y + R <= height; y += R) ConvolveBlock<V, B, R>(y);
    for (; y < height; ++y) ConvolveBlock<V, B, 1>(y);
}

void ConvolvePortable()
{
    ConvolveRows<Vec2, 4, 2>();
}

BLUR_BUILD_AVX2_FMA void ConvolveAvx2()
{
    ConvolveRows<Vec4, 3, 3>();
}

BLUR_BUILD_AVX512 void ConvolveAvx512()
{
    ConvolveRows<Vec8, 6, 4>();
}

constexpr CodeBuilds<Convolution> kBuilds = {ConvolvePortable, BLUR_X86_BUILD(ConvolveAvx2),
                                             BLUR_X86_BUILD(ConvolveAvx512)};

}  // namespace

std::int32_t KernelHalfWidth(double radius, std::int32_t bitsPerSample, std::int32_t size)
{
    const double reach = std::sqrt((bitsPerSample + 1) * kLn2) * radius;
    const double h = std::ceil(reach);
    // Also covers a half-width beyond any integer: the window then spans
    // the whole axis anyway.
    if (!(h < size)) return size;
    return std::max<std::int32_t>(static_cast<std::int32_t>(h), 1);
}

bool ConvolveImage(std::uint16_t* const* rows, std::int32_t imageWidth, std::int32_t imageHeight,
                   std::int32_t bitsPerSample, double radius, double imageBias)
{
    const std::int32_t hx = KernelHalfWidth(radius, bitsPerSample, imageWidth);
    const std::int32_t hy = KernelHalfWidth(radius, bitsPerSample, imageHeight);
    std::size_t workBytes = 0;
    std::size_t kernelBytes = 0;
    std::size_t stageCount = 0;
    std::size_t stageBytes = 0;
    if (!CheckedMul(imageWidth, imageHeight, sizeof(double), &workBytes) ||
        !CheckedMul(hx, hy, sizeof(double), &kernelBytes) ||
        !CheckedAdd(kMaxGroup, 2 * static_cast<std::size_t>(hx), &stageCount) ||
        !CheckedMul(stageCount, sizeof(double), &stageBytes))
        return false;
    double* workCopy = static_cast<double*>(AllocateAligned(workBytes));
    double* kernelTable = static_cast<double*>(std::malloc(kernelBytes));
    double* stageRow = static_cast<double*>(std::malloc(stageBytes));
    if (workCopy == nullptr || kernelTable == nullptr || stageRow == nullptr) {
        std::free(workCopy);
        std::free(kernelTable);
        std::free(stageRow);
        return false;
    }

    const double r2 = radius * radius;
    const double norm = std::numbers::pi * r2;
    for (std::int32_t i = 0; i < hy; ++i) {
        double* w = kernelTable + static_cast<std::size_t>(i) * hx;
        const double i2 = static_cast<double>(i) * i;
        for (std::int32_t j = 0; j < hx; ++j) {
            const double j2 = static_cast<double>(j) * j;
            w[j] = std::exp(-(i2 + j2) / r2) / norm;
        }
    }

    work = workCopy;
    kernel = kernelTable;
    stage = stageRow;
    out = rows;
    width = imageWidth;
    height = imageHeight;
    kernelCols = hx;
    kernelRows = hy;
    bias = imageBias;
    top = std::ldexp(1.0, bitsPerSample) - 1.0;
    // The largest weight is the centre one; the zero padding needs it and
    // every working value finite.
    const bool finite = std::isfinite(kernelTable[0]) && std::isfinite(imageBias);
    // A one-sample window reads the rows themselves; the working copy stays
    // allocated, so that the run needs the memory it always needed.
    if (!finite || hx != 1 || hy != 1) {
        for (std::int32_t y = 0; y < imageHeight; ++y) {
            double* w = workCopy + static_cast<std::size_t>(y) * imageWidth;
            for (std::int32_t x = 0; x < imageWidth; ++x) w[x] = rows[y][x] - imageBias;
        }
    }
    (finite ? kBuilds.Active() : ConvolvePlain)();

    std::free(stageRow);
    std::free(kernelTable);
    std::free(workCopy);
    work = nullptr;
    kernel = nullptr;
    stage = nullptr;
    out = nullptr;
    return true;
}
