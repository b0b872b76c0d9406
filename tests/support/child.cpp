#include "child.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "support.hpp"

namespace testsupport {

ChildOutcome InChild(const std::function<void()>& body, const ChildSetup& setup)
{
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    // Nothing buffered before the fork may come out twice.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(pipeFds[0]);
        dup2(pipeFds[1], 2);
        close(pipeFds[1]);
        if (setup) setup();
        body();
        _exit(0);
    }
    close(pipeFds[1]);
    ChildOutcome outcome;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buf, sizeof buf)) > 0)
        outcome.err.append(buf, static_cast<std::size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.exited = WIFEXITED(status);
    outcome.status = outcome.exited ? WEXITSTATUS(status) : -1;
    outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return outcome;
}

ChildOutcome RunInChild(const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd, const ChildSetup& setup)
{
    std::vector<std::string> line = CommandLine(program, args);
    std::vector<char*> argv;
    for (auto& a : line) argv.push_back(a.data());
    argv.push_back(nullptr);
    return InChild(
        [&] {
            execv(argv[0], argv.data());
            _exit(127);
        },
        [&] {
            if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
            if (setup) setup();
        });
}

void LimitResource(int resource, rlim_t limit)
{
    const rlimit r{limit, limit};
    setrlimit(resource, &r);
}

ChildSetup FileSizeLimit(rlim_t limit)
{
    return [limit] {
        signal(SIGXFSZ, SIG_IGN);
        LimitResource(RLIMIT_FSIZE, limit);
    };
}

}  // namespace testsupport
