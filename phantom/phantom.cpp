#include "phantom.hpp"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "error.hpp"
#include "rounding.hpp"
#include "size.hpp"

namespace {
constexpr double kMaxLevel = TopSample(16);  // the largest level a 16-bit sample holds
}  // namespace

void CheckBias(double bias)
{
    // Written so that a bias that is not a number fails too.
    if (!(bias >= 0.0 && bias <= kMaxLevel)) Error("bad bias value.");
}

void CheckValue(double bias, double value, const char* badValueMessage)
{
    const double level = bias + value;
    if (std::isnan(value) || (value < 0.0 ? level < 0.0 : level > kMaxLevel))
        Error(badValueMessage);
}

int PhantomBits(double bias, double value)
{
    const double top = std::floor(std::fmax(bias, bias + value) + 0.5);
    if (top < 2.0) return 1;
    if (top < 4.0) return 2;
    if (top < 16.0) return 4;
    if (top < 256.0) return 8;
    return 16;
}

std::string PhantomDescription(double bias, int bits)
{
    char text[128];
    std::snprintf(text, sizeof text, "%lf\t%lf", -bias, TopSample(bits) - bias);
    return text;
}

int ParseInteger(const char* text)
{
    // strtol already saturates at the range of long; narrow that to int.
    const long number = std::strtol(text, nullptr, 10);
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}

bool Suppressed(const char* path)
{
    return path[0] == '-';
}

std::uint16_t** AllocateImage(std::int32_t nx, std::int32_t ny)
{
    std::size_t tableBytes = 0;
    std::size_t blockBytes = 0;
    if (nx < 1 || ny < 1 ||
        !CheckedMul(static_cast<std::size_t>(ny), sizeof(std::uint16_t*), &tableBytes) ||
        !CheckedMul(static_cast<std::size_t>(nx), static_cast<std::size_t>(ny),
                    sizeof(std::uint16_t), &blockBytes))
        return nullptr;
    auto** rows = static_cast<std::uint16_t**>(std::malloc(tableBytes));
    if (rows == nullptr) return nullptr;
    auto* block = static_cast<std::uint16_t*>(std::malloc(blockBytes));
    if (block == nullptr) {
        std::free(rows);
        return nullptr;
    }
    for (std::int32_t y = 0; y < ny; ++y) rows[y] = block + static_cast<std::size_t>(y) * nx;
    return rows;
}

bool ImageBytes(std::int32_t nx, std::int32_t ny, std::size_t* bytes)
{
    const auto columns = static_cast<std::size_t>(nx);
    const auto rows = static_cast<std::size_t>(ny);
    return CheckedSumOfProducts(
        {{columns, rows, sizeof(std::uint16_t)}, {rows, sizeof(std::uint16_t*)}}, bytes);
}

void FreeImage(std::uint16_t** rows)
{
    if (rows == nullptr) return;
    std::free(rows[0]);
    std::free(rows);
}
