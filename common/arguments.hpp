// The programs' command lines: a fixed list of arguments, one of which, the
// bias, may be left out.
#pragma once

#include "error.hpp"

// Whether the command line of `argc` words (the program name first) holds
// the bias: it holds `withoutBias` arguments after the name without it and
// one more with it.  Any other count prints `usage` and exits with status 1.
inline bool HasBiasArgument(int argc, int withoutBias, const char* usage)
{
    const int arguments = argc - 1;
    if (arguments != withoutBias && arguments != withoutBias + 1) Error(usage);
    return arguments == withoutBias + 1;
}
