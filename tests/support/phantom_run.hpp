// Running the phantom programs (diskblur, ballblur) as a user runs them: in
// a scratch directory, with the warning both print about their shape.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "support.hpp"

namespace testsupport {

// Runs the built phantom program `name` with `args` in `dir`.  A size
// beyond the address space must come back from the allocator as a null
// pointer under AddressSanitizer too, as it does without it, so that the
// program reports it in its own words.
inline RunResult RunPhantom(const std::string& name, const TempDir& dir,
                            const std::vector<std::string>& args)
{
    setenv("ASAN_OPTIONS", "allocator_may_return_null=1", 1);
    return Run(Program(name), args, dir.path().string());
}

// The warning of a phantom program whose shape ("circle", "sphere") is not
// wholly inside the image.
inline std::string OutOfImageWarning(const std::string& shape)
{
    return "all or part of " + shape + " is out of image (warning).\n";
}

}  // namespace testsupport
