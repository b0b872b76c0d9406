// Test code or a built program run in a forked child, under limits, signal
// dispositions or a user that the test process itself must not take on;
// how the child ended and what it printed on standard error come back.
#pragma once

#include <sys/resource.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

struct ChildOutcome {
    bool exited = false;  // ended by exit rather than by a signal
    int status = -1;      // exit status; -1 when ended by a signal
    int signal = 0;       // the signal that ended it; 0 when it exited
    std::string err;      // standard error
};

// What runs in the child before the code under test: limits, signal
// dispositions, a change of user or directory.
using ChildSetup = std::function<void()>;

// Runs `setup`, then `body`, in a forked child with standard error
// captured; the child exits with status 0 when `body` returns.
ChildOutcome InChild(const std::function<void()>& body, const ChildSetup& setup = {});

// Runs `program` with `args` (no shell) in a forked child: in `cwd` when
// given (status 126 when it cannot be entered), after `setup`, with
// standard error captured (status 127 when the program cannot be started).
ChildOutcome RunInChild(const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd = "", const ChildSetup& setup = {});

// Sets both the soft and the hard limit of `resource` (an RLIMIT_ number).
void LimitResource(int resource, rlim_t limit);

// A file-size limit with SIGXFSZ ignored, so that a write past it fails
// (EFBIG) instead of ending the process.
ChildSetup FileSizeLimit(rlim_t limit);

}  // namespace testsupport
