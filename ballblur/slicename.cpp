#include "slicename.hpp"

#include <cstdint>
#include <cstdio>

namespace {

constexpr int kDecimalBase = 10;
constexpr const char* kSliceSuffix = ".tif";

}  // namespace

int SliceDigits(int count)
{
    if (count <= kDecimalBase) return 1;
    int digits = 2;
    std::int64_t limit = kDecimalBase * kDecimalBase;
    while (count > limit) {
        limit *= kDecimalBase;
        ++digits;
    }
    return digits;
}

std::string SliceName(const std::string& directory, int digits, int index)
{
    char number[16];  // an int has at most 10 digits and a sign
    std::snprintf(number, sizeof number, "%0*d", digits, index);
    return directory + '/' + number + kSliceSuffix;
}
