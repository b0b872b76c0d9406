// imgcompare: sets two greyscale TIFF images side by side and prints how far
// they differ, over the whole image and over an interior that leaves a margin
// out at each border, and optionally writes the difference as an 8-bit image.
// Meant for putting a filtered phantom beside its exact blur, so it reads
// through the suite's own reader and accepts what that reader accepts.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "error.hpp"
#include "rif.hpp"
#include "sif.hpp"

namespace {

constexpr char kUsage[] = "usage : imgcompare A.tif B.tif [margin [diff.tif]]";
// Arguments after the program name: the two images, then the optional
// margin and the optional difference image.
constexpr int kArgumentsWithoutMargin = 2;
constexpr int kArgumentsWithMargin = 3;
constexpr int kArgumentsWithDifference = 4;
constexpr int kMessageSize = 256;

struct Image {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::uint16_t** rows = nullptr;
    char* description = nullptr;
};

// Differences over one rectangle of the two images.
struct Stats {
    std::uint64_t samples = 0;
    std::uint64_t differing = 0;
    std::uint32_t maxDiff = 0;
    std::int32_t maxX = -1;  // position of the first largest difference,
    std::int32_t maxY = -1;  // -1 when the images agree there
    long double sumAbs = 0;
    long double sumSigned = 0;
    long double sumSquares = 0;
};

Image Load(const char* path)
{
    Image image;
    ReadImageFile(path, &image.width, &image.height, &image.bits, &image.rows, &image.description);
    return image;
}

// The margin: a non-negative decimal integer and nothing else.
std::int32_t ParseMargin(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long margin = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || margin < 0 || margin > INT32_MAX) {
        Error("bad margin.");
    }
    return static_cast<std::int32_t>(margin);
}

// Accumulates rows [y0, y1) and columns [x0, x1).  Per row the sums are exact
// in 64-bit integers (a row has fewer than 2^31 samples, each squared
// difference is below 2^32); rows are added up in long double.
Stats Compare(const Image& a, const Image& b, std::int32_t x0, std::int32_t y0, std::int32_t x1,
              std::int32_t y1)
{
    Stats stats;
    for (std::int32_t y = y0; y < y1; ++y) {
        const std::uint16_t* rowA = a.rows[y];
        const std::uint16_t* rowB = b.rows[y];
        std::uint64_t sumAbs = 0;
        std::int64_t sumSigned = 0;
        std::uint64_t sumSquares = 0;
        std::uint64_t differing = 0;
        std::uint32_t rowMax = 0;
        for (std::int32_t x = x0; x < x1; ++x) {
            const std::int32_t d = static_cast<std::int32_t>(rowA[x]) - rowB[x];
            const std::uint32_t ad = static_cast<std::uint32_t>(d < 0 ? -d : d);
            sumAbs += ad;
            sumSigned += d;
            sumSquares += static_cast<std::uint64_t>(ad) * ad;
            differing += ad != 0;
            rowMax = ad > rowMax ? ad : rowMax;
        }
        stats.sumAbs += sumAbs;
        stats.sumSigned += sumSigned;
        stats.sumSquares += sumSquares;
        stats.differing += differing;
        if (rowMax > stats.maxDiff) {
            std::int32_t x = x0;
            while (static_cast<std::uint32_t>(std::abs(rowA[x] - rowB[x])) != rowMax) ++x;
            stats.maxDiff = rowMax;
            stats.maxX = x;
            stats.maxY = y;
        }
    }
    stats.samples = static_cast<std::uint64_t>(x1 - x0) * static_cast<std::uint64_t>(y1 - y0);
    return stats;
}

void PrintHeader()
{
    std::printf("%-8s %11s %10s %9s %10s %10s %10s  %s\n", "region", "samples", "differing",
                "max |d|", "mean |d|", "rms d", "mean d", "largest at");
}

void PrintStats(const char* region, const Stats& s)
{
    const long double n = static_cast<long double>(s.samples);
    std::printf("%-8s %11llu %10llu %9u %10.4Lf %10.4Lf %10.4Lf  ", region,
                static_cast<unsigned long long>(s.samples),
                static_cast<unsigned long long>(s.differing), s.maxDiff, s.sumAbs / n,
                std::sqrt(s.sumSquares / n), s.sumSigned / n);
    if (s.maxX < 0) {
        std::printf("-\n");
    } else {
        std::printf("x %d, y %d\n", s.maxX, s.maxY);
    }
}

// Writes d = A - B as an 8-bit image: sample 128 + d/step rounded to the
// nearest integer (halves away from 0), with step the smallest whole number
// of sample units per grey level that keeps the largest difference within
// 1 .. 255.  The description states the scale in the suite's convention: the
// values that sample 0 and sample 255 stand for, -128 step and 127 step.
void StoreDifference(const char* path, const Image& a, const Image& b, std::uint32_t maxDiff)
{
    const std::uint32_t step = maxDiff <= 127 ? 1 : (maxDiff + 126) / 127;
    const std::size_t width = static_cast<std::size_t>(a.width);
    std::vector<std::uint16_t> samples(width * static_cast<std::size_t>(a.height));
    std::vector<const std::uint16_t*> rows(static_cast<std::size_t>(a.height));
    for (std::int32_t y = 0; y < a.height; ++y) {
        std::uint16_t* out = samples.data() + static_cast<std::size_t>(y) * width;
        for (std::int32_t x = 0; x < a.width; ++x) {
            const std::int32_t d = static_cast<std::int32_t>(a.rows[y][x]) - b.rows[y][x];
            const std::int32_t magnitude = static_cast<std::int32_t>(
                (static_cast<std::uint32_t>(d < 0 ? -d : d) + step / 2) / step);
            out[x] = static_cast<std::uint16_t>(128 + (d < 0 ? -magnitude : magnitude));
        }
        rows[static_cast<std::size_t>(y)] = out;
    }
    char description[kMessageSize];
    std::snprintf(description, sizeof description, "%lf\t%lf", -128.0 * step, 127.0 * step);
    StoreImageFile(path, a.width, a.height, 8, rows.data(), description);
}

}  // namespace

int main(int argc, char** argv)
{
    const int arguments = argc - 1;
    if (arguments < kArgumentsWithoutMargin || arguments > kArgumentsWithDifference) Error(kUsage);
    const bool interior = arguments >= kArgumentsWithMargin;
    const std::int32_t margin = interior ? ParseMargin(argv[3]) : 0;

    Image a = Load(argv[1]);
    Image b = Load(argv[2]);
    char message[kMessageSize];
    if (a.width != b.width || a.height != b.height) {
        std::snprintf(message, sizeof message, "images differ in size: %d x %d and %d x %d.",
                      a.width, a.height, b.width, b.height);
        Error(message);
    }
    if (a.bits != b.bits) {
        std::snprintf(message, sizeof message, "images differ in bits per sample: %d and %d.",
                      a.bits, b.bits);
        Error(message);
    }

    std::printf("A %s, B %s: %d x %d, %d bits per sample", argv[1], argv[2], a.width, a.height,
                a.bits);
    if (interior) std::printf(", margin %d", margin);
    std::printf("; d = A - B\n");
    PrintHeader();
    const Stats whole = Compare(a, b, 0, 0, a.width, a.height);
    PrintStats("whole", whole);
    if (interior) {
        // The interior keeps columns margin .. width-1-margin and the same
        // rows; a margin that leaves nothing is reported as such.
        const std::int64_t twice = 2 * static_cast<std::int64_t>(margin);
        if (twice >= a.width || twice >= a.height) {
            std::printf("%-8s %11d  (the margin leaves no interior)\n", "interior", 0);
        } else {
            PrintStats("interior",
                       Compare(a, b, margin, margin, a.width - margin, a.height - margin));
        }
    }

    if (arguments == kArgumentsWithDifference) {
        std::fflush(stdout);
        StoreDifference(argv[4], a, b, whole.maxDiff);
    }

    FreeImageFile(a.height, a.rows, a.description);
    FreeImageFile(b.height, b.rows, b.description);
    return 0;
}
