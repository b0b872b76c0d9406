#include "error.hpp"

#include <cstdio>
#include <cstdlib>

namespace {
FatalHook fatalHook = nullptr;  // replaces the exit in tests and the fuzzer
}  // namespace

void Error(const char* message)
{
    std::fprintf(stderr, "%s\n", message);
    ExitFailure();
}

void ExitFailure()
{
    if (fatalHook != nullptr) fatalHook();
    std::exit(EXIT_FAILURE);
}

FatalHook SetFatalHook(FatalHook hook)
{
    const FatalHook previous = fatalHook;
    fatalHook = hook;
    return previous;
}
