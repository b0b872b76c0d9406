// File names of a numbered series of slice files:
// directory + "/" + index zero-padded to a fixed digit count + ".tif".
#pragma once

#include <string>

// Digits of the slice index for a series of `count` slices (count >= 1): 1
// when count <= 10, otherwise the smallest D >= 2 with count <= 10^D, i.e. the
// digits of the largest index count - 1.
int SliceDigits(int count);

// The name of slice `index`, padded with leading zeros to `digits`.  The
// directory is used as given: one ending in "/" gives a doubled separator.
// No length limit.
std::string SliceName(const std::string& directory, int digits, int index);
