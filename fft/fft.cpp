#include "fft.hpp"

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <numbers>

#include "dispatch.hpp"
#include "size.hpp"

// The vector helpers below are always inlined and never cross a call
// boundary, so the ABI of passing 32-byte vectors does not concern them.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

constexpr std::int32_t kMaxLength = std::int32_t{1} << 30;  // largest length as int32 power of 2
constexpr std::size_t kComplexBytes = 2 * sizeof(double);
// Complex values per block of the early stages (16 KiB).
constexpr std::size_t kBlock = 1024;

// Two complex values (re, im, re, im) in one vector.  With AVX this is one
// register; on plain x86-64 the compiler splits it into two SSE2 halves.
using V4 = double __attribute__((vector_size(32)));
using V4Mask = long __attribute__((vector_size(32)));

using V2 = double __attribute__((vector_size(16)));

// A pair of twiddle factors (w0, w1) laid out for Mul: the real parts
// duplicated, the imaginary parts with the sign pattern (-, +).
struct Twiddles {
    V4 re;
    V4 im;
};

// Unaligned vector load and store (V2: one complex value, V4: two).
template <typename V>
[[gnu::always_inline]] inline V Load(const double* p)
{
    V v;
    __builtin_memcpy(&v, p, sizeof v);
    return v;
}

template <typename V>
[[gnu::always_inline]] inline void Store(double* p, const V& v)
{
    __builtin_memcpy(p, &v, sizeof v);
}

// (w0 * q0, w1 * q1) with t.re = q.re w.re - w.im q.im and
// t.im = q.im w.re + q.re w.im.  Without FMA each product is rounded to
// double; with it the first product enters the sum unrounded.
[[gnu::always_inline]] inline V4 Mul(const V4& q, const Twiddles& w)
{
    const V4 swapped = __builtin_shuffle(q, V4Mask{1, 0, 3, 2});
    // Compiled for FMA (the AVX2 code), the compiler contracts this into
    // one fused multiply-add.
    return q * w.re + swapped * w.im;
}

// Twiddles for table entries a and b.  `signs` is (-d, d, -d, d) for the
// direction d, so that w = exp(d * i * angle) and its imaginary part enters
// Mul with the sign it needs.
[[gnu::always_inline]] inline Twiddles LoadTwiddles(const double* table, std::size_t a,
                                                    std::size_t b, const V4& signs)
{
    const V4 ab =
        __builtin_shufflevector(Load<V2>(table + 2 * a), Load<V2>(table + 2 * b), 0, 1, 2, 3);
    return Twiddles{__builtin_shuffle(ab, V4Mask{0, 0, 2, 2}),
                    __builtin_shuffle(ab, V4Mask{1, 1, 3, 3}) * signs};
}

// The low `bits` bits of x in reverse order.
[[gnu::always_inline]] inline std::size_t ReverseBits(std::size_t x, unsigned bits)
{
    std::size_t r = 0;
    for (unsigned k = 0; k < bits; ++k, x >>= 1) r = (r << 1) | (x & 1);
    return r;
}

[[gnu::always_inline]] inline void Swap(double* data, std::size_t i, std::size_t j)
{
    const V2 a = Load<V2>(data + 2 * i);
    const V2 b = Load<V2>(data + 2 * j);
    Store(data + 2 * i, b);
    Store(data + 2 * j, a);
}

// Reorders the n values (n >= 4; complex values, or whatever SwapValues
// exchanges) into bit-reversed index order:
// element i is exchanged with element reverse(i) once.  The log2(n) index
// bits split into a high part a and a low part b of h bits each, with one
// middle bit m between them when log2(n) is odd; reverse(a, m, b) is
// (rev b, m, rev a).  For each a, the b whose reversal exceeds a are
// exactly the pairs with i < reverse(i) not yet exchanged (rev b = a gives
// the fixed points), so the exchanges need no test.  rev b follows the
// reversed count (incrementing rb toggles its trailing ones and the zero
// above them; the same bits, mirrored, toggle in b).
template <void (*SwapValues)(double*, std::size_t, std::size_t) = Swap>
[[gnu::always_inline]] inline void BitReverse(std::size_t n, double* data)
{
    const auto bits = static_cast<unsigned>(__builtin_ctzl(n));
    const unsigned h = bits / 2;
    const std::size_t s = std::size_t{1} << h;
    const std::size_t middle = (bits & 1) != 0 ? 2 : 1;
    const std::size_t high = s * middle;
    for (std::size_t a = 0; a + 1 < s; ++a) {
        const std::size_t ra = ReverseBits(a, h);
        std::size_t b = ReverseBits(a + 1, h);
        for (std::size_t rb = a + 1; rb < s; ++rb) {
            for (std::size_t m = 0; m < middle; ++m) {
                SwapValues(data, a * high + m * s + b, rb * high + m * s + ra);
            }
            b ^= s - (s >> (__builtin_ctzl(rb + 1) + 1));
        }
    }
}

// Stages of half-span 1 and 2 together, on blocks of four values, for the
// `count` values at data (a multiple of 4) of a transform of length n.
// Their twiddles are 1 (no multiplication needed) and, for the second value
// of the half-span-2 stage, table entry n/2.
[[gnu::always_inline]] inline void FirstTwoStages(std::size_t n, const double* table,
                                                  const V4& signs, double* data, std::size_t count)
{
    const Twiddles w = LoadTwiddles(table, 0, n / 2, signs);
    for (std::size_t p = 0; p < count; p += 4) {
        const V4 a = Load<V4>(data + 2 * p);                               // x0 x1
        const V4 b = Load<V4>(data + 2 * p + 4);                           // x2 x3
        const V4 even = __builtin_shuffle(a, b, V4Mask{0, 1, 4, 5});       // x0 x2
        const V4 odd = __builtin_shuffle(a, b, V4Mask{2, 3, 6, 7});        // x1 x3
        const V4 sum = even + odd;                                         // y0 y2
        const V4 diff = even - odd;                                        // y1 y3
        const V4 low = __builtin_shuffle(sum, diff, V4Mask{0, 1, 4, 5});   // y0 y1
        const V4 high = __builtin_shuffle(sum, diff, V4Mask{2, 3, 6, 7});  // y2 y3
        // Lane 0 of w is exactly (1, 0), so y2 passes through unchanged.
        const V4 t = Mul(high, w);
        Store(data + 2 * p, low + t);
        Store(data + 2 * p + 4, low - t);
    }
}

// d i z for the direction d: real part -d z.im, imaginary part d z.re
// (`signs` is (-d, d, -d, d)).
[[gnu::always_inline]] inline V4 QuarterTurn(const V4& z, const V4& signs)
{
    return __builtin_shuffle(z, V4Mask{1, 0, 3, 2}) * signs;
}

// The 16 values of one tile (see ReverseAndFirstStages) after the first two
// stages, in their bit-reversed places: out[2 T + h] holds the two values
// of row T at columns 2h and 2h + 1.
struct Tile {
    V4 out[8];
};

// Loads the tile of middle index `mid` (rows t at t q + 4 mid, q = n/4) and
// runs the half-span 1 and 2 butterflies on it.  Row t of the source holds
// the values that land in column rev2(t) of the target rows, and the four
// values of one column l form one group of four after the reordering: its
// elements (in target order) are source rows 0, 2, 1, 3.  Their butterflies
// are the same for every column, so the tile's rows combine as vectors;
// the 4 x 4 transposition into target rows T = rev2(l) comes last.
[[gnu::always_inline]] inline Tile LoadFirstStages(const double* data, std::size_t q,
                                                   std::size_t mid, const V4& signs)
{
    V4 out[4][2];
    for (std::size_t h = 0; h < 2; ++h) {
        const double* p = data + 2 * (4 * mid + 2 * h);
        const V4 r0 = Load<V4>(p);
        const V4 r1 = Load<V4>(p + 2 * q);
        const V4 r2 = Load<V4>(p + 4 * q);
        const V4 r3 = Load<V4>(p + 6 * q);
        const V4 s01 = r0 + r2;
        const V4 d01 = r0 - r2;
        const V4 s23 = r1 + r3;
        // The half-span-2 twiddle of the second value is d i.
        const V4 e = QuarterTurn(r1 - r3, signs);
        out[0][h] = s01 + s23;
        out[1][h] = d01 + e;
        out[2][h] = s01 - s23;
        out[3][h] = d01 - e;
    }
    Tile tile;
    for (std::size_t h = 0; h < 2; ++h) {
        // Columns l = 2h (target row T = h) and l = 2h + 1 (T = h + 2).
        tile.out[2 * h] = __builtin_shuffle(out[0][h], out[1][h], V4Mask{0, 1, 4, 5});
        tile.out[2 * h + 1] = __builtin_shuffle(out[2][h], out[3][h], V4Mask{0, 1, 4, 5});
        tile.out[2 * (h + 2)] = __builtin_shuffle(out[0][h], out[1][h], V4Mask{2, 3, 6, 7});
        tile.out[2 * (h + 2) + 1] = __builtin_shuffle(out[2][h], out[3][h], V4Mask{2, 3, 6, 7});
    }
    return tile;
}

// Stores a tile into target rows T at T q + 4 mid.
[[gnu::always_inline]] inline void StoreTile(double* data, std::size_t q, std::size_t mid,
                                             const Tile& tile)
{
    for (std::size_t t = 0; t < 4; ++t) {
        double* p = data + 2 * (t * q + 4 * mid);
        Store(p, tile.out[2 * t]);
        Store(p + 4, tile.out[2 * t + 1]);
    }
}

// The bit-reversal permutation together with the stages of half-span 1 and
// 2, for n >= 16.  An index of log2(n) bits splits into its top two bits t,
// a middle part mid and its low two bits l: i = t n/4 + 4 mid + l, whose
// reversal is rev2(l) n/4 + 4 rev(mid) + rev2(t).  So the 16 values of a
// middle index (a tile) all move to the tile of rev(mid), transposed; the
// tiles of mid and rev(mid) are loaded, transformed and exchanged together,
// which visits every value once and needs no exchange test per value.
[[gnu::always_inline]] inline void ReverseAndFirstStages(std::size_t n, const V4& signs,
                                                         double* data)
{
    const std::size_t q = n / 4;
    const auto width = static_cast<unsigned>(__builtin_ctzl(n)) - 4;  // bits of mid
    const std::size_t tiles = std::size_t{1} << width;
    std::size_t rmid = 0;  // rev(mid), counted in reversed bit order
    for (std::size_t mid = 0; mid < tiles; ++mid) {
        if (mid < rmid) {
            const Tile a = LoadFirstStages(data, q, mid, signs);
            const Tile b = LoadFirstStages(data, q, rmid, signs);
            StoreTile(data, q, rmid, a);
            StoreTile(data, q, mid, b);
        } else if (mid == rmid) {
            StoreTile(data, q, mid, LoadFirstStages(data, q, mid, signs));
        }
        // Incrementing mid toggles its trailing ones and the zero above
        // them; the same bits, mirrored, toggle in rev(mid).
        const auto flips = static_cast<unsigned>(__builtin_ctzl(mid + 1)) + 1;
        if (flips <= width) rmid ^= tiles - (tiles >> flips);
    }
}

// Twiddles for angles pi a / n and pi b / n with a, b < 2n: past the half
// circle the table entry of the angle less pi, negated.
[[gnu::always_inline]] inline Twiddles LoadWideTwiddles(std::size_t n, const double* table,
                                                        std::size_t a, std::size_t b,
                                                        const V4& signs)
{
    const double ha = a < n ? 1.0 : -1.0;
    const double hb = b < n ? 1.0 : -1.0;
    const V4 h = {ha, ha, hb, hb};
    const Twiddles w = LoadTwiddles(table, a < n ? a : a - n, b < n ? b : b - n, signs);
    return Twiddles{w.re * h, w.im * h};
}

// Stages of half-span m and 2m together (m >= 4) as one radix-4 step.  For
// twiddle index k (two at a time) the four values x0 .. x3 at p, p+m, p+2m,
// p+3m of each group combine as the stage-m butterflies (x0, x1) and
// (x2, x3) with w1 = exp(d i pi k / m) followed by the stage-2m butterflies
// with w2 = exp(d i pi k / (2m)) and w2 exp(d i pi / 2) = w2 d i.  The
// twiddles are moved onto the inputs, w1 x1, w2 x2 and w1 w2 x3 (a table
// entry too), so that three complex products do instead of four and the
// last factor is a quarter turn.  Works on the `count` values at data (a
// multiple of 4m) of a transform of length n.
[[gnu::always_inline]] inline void TwoStages(std::size_t n, std::size_t m, const double* table,
                                             const V4& signs, double* data, std::size_t count)
{
    const std::size_t s1 = n / m;
    const std::size_t s2 = s1 / 2;
    const std::size_t step = 2 * 4 * m;  // doubles per group
    for (std::size_t k = 0; k < m; k += 2) {
        const Twiddles w1 = LoadTwiddles(table, k * s1, (k + 1) * s1, signs);
        const Twiddles w2 = LoadTwiddles(table, k * s2, (k + 1) * s2, signs);
        const Twiddles w3 = LoadWideTwiddles(n, table, 3 * k * s2, 3 * (k + 1) * s2, signs);
        double* const end = data + 2 * count;
        for (double* p = data + 2 * k; p < end; p += step) {
            const V4 x0 = Load<V4>(p);
            const V4 b = Mul(Load<V4>(p + 2 * m), w1);
            const V4 c = Mul(Load<V4>(p + 4 * m), w2);
            const V4 d = Mul(Load<V4>(p + 6 * m), w3);
            const V4 y0 = x0 + b;
            const V4 y1 = x0 - b;
            const V4 u2 = c + d;
            const V4 e = c - d;
            const V4 u3 = QuarterTurn(e, signs);
            Store(p, y0 + u2);
            Store(p + 4 * m, y0 - u2);
            Store(p + 2 * m, y1 + u3);
            Store(p + 6 * m, y1 - u3);
        }
    }
}

// The last stage alone (half-span m = n/2, table stride 2), when the number
// of stages after the first two is odd.
[[gnu::always_inline]] inline void LastStage(std::size_t m, const double* table, const V4& signs,
                                             double* data)
{
    for (std::size_t k = 0; k < m; k += 2) {
        const Twiddles w = LoadTwiddles(table, 2 * k, 2 * k + 2, signs);
        double* const p = data + 2 * k;
        const V4 x0 = Load<V4>(p);
        const V4 t = Mul(Load<V4>(p + 2 * m), w);
        Store(p, x0 + t);
        Store(p + 2 * m, x0 - t);
    }
}

[[gnu::always_inline]] inline void Transform(int direction, std::size_t n, const double* table,
                                             double* data)
{
    if (n < 2) return;
    if (n == 2) {
        const double re = data[0];
        const double im = data[1];
        data[0] = re + data[2];
        data[1] = im + data[3];
        data[2] = re - data[2];
        data[3] = im - data[3];
        return;
    }
    const double d = direction;
    const V4 signs = {-d, d, -d, d};
    if (n >= 16) {
        ReverseAndFirstStages(n, signs, data);
    } else {
        BitReverse(n, data);
        FirstTwoStages(n, table, signs, data, n);
    }
    // The stages whose groups fit in a block run block by block while the
    // block stays in the level-1 cache; the remaining ones on all the data.
    const std::size_t block = n < kBlock ? n : kBlock;
    std::size_t m = 4;
    for (std::size_t b = 0; b < n; b += block) {
        for (m = 4; 4 * m <= block; m *= 4) TwoStages(n, m, table, signs, data + 2 * b, block);
    }
    for (; 4 * m <= n; m *= 4) TwoStages(n, m, table, signs, data, n);
    if (m < n) LastStage(m, table, signs, data);
}

// One complex value of each of the four interleaved sequences of FFT4: two
// vectors, sequences 0 and 1, then 2 and 3.
constexpr std::size_t kQuadDoubles = 8;

[[gnu::always_inline]] inline void SwapQuads(double* data, std::size_t i, std::size_t j)
{
    double* const a = data + kQuadDoubles * i;
    double* const b = data + kQuadDoubles * j;
    const V4 a0 = Load<V4>(a);
    const V4 a1 = Load<V4>(a + 4);
    Store(a, Load<V4>(b));
    Store(a + 4, Load<V4>(b + 4));
    Store(b, a0);
    Store(b + 4, a1);
}

// The same twiddle factor for both values of a vector: entry e of the
// table, or for e >= n entry e - n negated.
[[gnu::always_inline]] inline Twiddles LoadSharedTwiddle(std::size_t n, const double* table,
                                                         std::size_t e, const V4& signs)
{
    const double h = e < n ? 1.0 : -1.0;
    const double* w = table + 2 * (e < n ? e : e - n);
    const double re = h * w[0];
    const double im = h * w[1];
    return Twiddles{V4{re, re, re, re}, V4{im, im, im, im} * signs};
}

// Values per block of the early stages of Transform4 (16 KiB); a power of 4.
constexpr std::size_t kQuadBlock = 256;

// Twiddles of one radix-4 butterfly of Transform4 (see TwoStages): for
// twiddle index k of half-span m, entries k n/m, k n/(2m) and 3 k n/(2m).
struct QuadTwiddles {
    Twiddles w1;
    Twiddles w2;
    Twiddles w3;
};

[[gnu::always_inline]] inline QuadTwiddles LoadQuadTwiddles(std::size_t n, std::size_t m,
                                                            std::size_t k, const double* table,
                                                            const V4& signs)
{
    const std::size_t s2 = n / (2 * m);
    return QuadTwiddles{LoadSharedTwiddle(n, table, 2 * k * s2, signs),
                        LoadSharedTwiddle(n, table, k * s2, signs),
                        LoadSharedTwiddle(n, table, 3 * k * s2, signs)};
}

// One radix-4 butterfly of Transform4 on the elements at p, p + q, p + 2q
// and p + 3q (q in doubles).
[[gnu::always_inline]] inline void QuadButterfly(double* p0, std::size_t q, const QuadTwiddles& w,
                                                 const V4& signs)
{
    for (std::size_t h = 0; h < kQuadDoubles; h += 4) {
        double* const p = p0 + h;
        const V4 x0 = Load<V4>(p);
        const V4 b = Mul(Load<V4>(p + q), w.w1);
        const V4 c = Mul(Load<V4>(p + 2 * q), w.w2);
        const V4 e = Mul(Load<V4>(p + 3 * q), w.w3);
        const V4 y0 = x0 + b;
        const V4 y1 = x0 - b;
        const V4 u2 = c + e;
        const V4 u3 = QuarterTurn(c - e, signs);
        Store(p, y0 + u2);
        Store(p + 2 * q, y0 - u2);
        Store(p + q, y1 + u3);
        Store(p + 3 * q, y1 - u3);
    }
}

// Four transforms of length n at once, on interleaved data: the same
// stages as Transform (bit reversal, a radix-2 stage when log2(n) is odd,
// then radix-4 steps), with each twiddle factor fetched once for all four
// sequences and no shuffles between the values of one sequence.  The
// stages whose groups fit in a block run block by block, twiddle index
// outermost; the later ones group by group, twiddle index innermost, so
// that they stream through their four quarters instead of striding.
[[gnu::always_inline]] inline void Transform4(int direction, std::size_t n, const double* table,
                                              double* data)
{
    if (n < 2) return;
    const double d = direction;
    const V4 signs = {-d, d, -d, d};
    if (n >= 4) BitReverse<SwapQuads>(n, data);
    const bool odd = (__builtin_ctzl(n) & 1) != 0;
    const std::size_t block = n < kQuadBlock ? n : kQuadBlock;
    std::size_t m = 1;
    for (std::size_t b = 0; b < n; b += block) {
        double* const base = data + kQuadDoubles * b;
        m = 1;
        if (odd) {
            for (std::size_t p = 0; p < block; p += 2) {
                double* const a = base + kQuadDoubles * p;
                for (std::size_t h = 0; h < kQuadDoubles; h += 4) {
                    const V4 x0 = Load<V4>(a + h);
                    const V4 x1 = Load<V4>(a + kQuadDoubles + h);
                    Store(a + h, x0 + x1);
                    Store(a + kQuadDoubles + h, x0 - x1);
                }
            }
            m = 2;
        }
        for (; 4 * m <= block; m *= 4) {
            for (std::size_t k = 0; k < m; ++k) {
                const QuadTwiddles w = LoadQuadTwiddles(n, m, k, table, signs);
                for (std::size_t g = k; g < block; g += 4 * m) {
                    QuadButterfly(base + kQuadDoubles * g, kQuadDoubles * m, w, signs);
                }
            }
        }
    }
    for (; 4 * m <= n; m *= 4) {
        for (std::size_t g = 0; g < n; g += 4 * m) {
            for (std::size_t k = 0; k < m; ++k) {
                const QuadTwiddles w = LoadQuadTwiddles(n, m, k, table, signs);
                QuadButterfly(data + kQuadDoubles * (g + k), kQuadDoubles * m, w, signs);
            }
        }
    }
}

void Transform4Portable(int direction, std::size_t n, const double* table, double* data)
{
    Transform4(direction, n, table, data);
}

BLUR_BUILD_AVX2_FMA void Transform4Avx2(int direction, std::size_t n, const double* table,
                                        double* data)
{
    Transform4(direction, n, table, data);
}

void TransformPortable(int direction, std::size_t n, const double* table, double* data)
{
    Transform(direction, n, table, data);
}

BLUR_BUILD_AVX2_FMA void TransformAvx2(int direction, std::size_t n, const double* table,
                                       double* data)
{
    Transform(direction, n, table, data);
}

using TransformFunction = void (*)(int, std::size_t, const double*, double*);

constexpr CodeBuilds<TransformFunction> kTransforms = {TransformPortable,
                                                       BLUR_X86_BUILD(TransformAvx2)};
constexpr CodeBuilds<TransformFunction> kTransforms4 = {Transform4Portable,
                                                        BLUR_X86_BUILD(Transform4Avx2)};

}  // namespace

std::int32_t SetUpFFT(std::int32_t n, double** table)
{
    *table = nullptr;
    if (n > kMaxLength) return 0;
    std::int32_t length = 1;
    while (length < n) length *= 2;
    std::size_t bytes = 0;
    if (!CheckedMul(static_cast<std::size_t>(length), kComplexBytes, &bytes)) return 0;
    auto* t = static_cast<double*>(std::malloc(bytes));
    if (t == nullptr) return 0;
    for (std::int32_t k = 0; k < length; ++k) {
        const double angle = (k * std::numbers::pi) / length;
        t[2 * k] = std::cos(angle);
        t[2 * k + 1] = std::sin(angle);
    }
    *table = t;
    return length;
}

void FFT(int direction, std::int32_t n, const double* table, double* data)
{
    kTransforms.Active()(direction, static_cast<std::size_t>(n), table, data);
}

void FFT4(int direction, std::int32_t n, const double* table, double* data)
{
    kTransforms4.Active()(direction, static_cast<std::size_t>(n), table, data);
}
