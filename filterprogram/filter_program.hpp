// What the two filter programs (specblur, convblur) do around their filter:
// the command line, the input read first, the radius, the memory budget,
// the filter in place and the output with the input's description and
// sense.
#pragma once

#include <cstddef>
#include <cstdint>

// A filter program's own parts.
struct FilterProgram {
    const char* usage;  // printed for a wrong argument count
    // Whether the filter takes `radius`; a radius that is not a number must
    // be refused.
    bool (*acceptsRadius)(double radius);
    // Sets *bytes to the memory the filter holds beside the raster for an
    // image of this size; false when it cannot be represented.
    bool (*workBytes)(std::int32_t width, std::int32_t height, std::int32_t bits, double radius,
                      std::size_t* bytes);
    // Filters the image in place; false when its memory cannot be had.
    bool (*filter)(std::uint16_t* const* rows, std::int32_t width, std::int32_t height,
                   std::int32_t bits, double radius, double bias);
};

// Runs the program on its command line, `orgTIFF radius {bias} newTIFF`, in
// this order: the argument count (usage), the input (the reader's
// messages), the radius ("bad Gaussian radius."), the memory of the whole
// run and of the filter ("memory allocation error."), then the output (the
// writer's messages).  Returns the exit status of a run that succeeds.
int RunFilterProgram(int argc, char** argv, const FilterProgram& program);
