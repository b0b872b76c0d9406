// The suite's fatal exit turned into an exception, so that a test or the
// fuzzer can run a fatal path in-process and carry on.
#pragma once

#include "error.hpp"

namespace testsupport {

// What ThrowOnFatal throws.
struct FatalExit {};

[[noreturn]] inline void ThrowOnFatal()
{
    throw FatalExit{};
}

// Sets ThrowOnFatal as the fatal hook for the object's lifetime and puts
// the previous hook back afterwards.
class ThrowOnFatalScope {
public:
    ThrowOnFatalScope() : previous_(SetFatalHook(ThrowOnFatal)) {}
    ~ThrowOnFatalScope() { SetFatalHook(previous_); }
    ThrowOnFatalScope(const ThrowOnFatalScope&) = delete;
    ThrowOnFatalScope& operator=(const ThrowOnFatalScope&) = delete;

private:
    FatalHook previous_;
};

}  // namespace testsupport
