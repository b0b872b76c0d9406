// Fatal errors of the suite: one line on standard error, exit status 1.
#pragma once

// Writes the message and a newline to standard error and ends the process
// with exit status 1.
[[noreturn]] void Error(const char* message);

// Ends the process with exit status 1 after a fatal message has been
// printed.  Every fatal path of the suite ends here.
[[noreturn]] void ExitFailure();

// Test hook: when set, ExitFailure calls it instead of exiting.  The hook must
// not return (it throws or jumps away); if it does, the process exits anyway.
// Returns the previous hook.  Only tests and the fuzzer set it.
using FatalHook = void (*)();
FatalHook SetFatalHook(FatalHook hook);
