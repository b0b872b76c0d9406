#include "grade.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "error.hpp"
#include "phantom.hpp"
#include "profile.hpp"
#include "render.hpp"
#include "rif.hpp"
#include "sif.hpp"

namespace {

// The levels: the same disk heights as the accuracy sweep, the background
// above 0 so that a filter's undershoot shows.
constexpr double kBias8 = 20.0;
constexpr double kValue8 = 200.0;
constexpr double kBias16 = 1000.0;
constexpr double kValue16 = 60000.0;

// The margin in Gaussian radii (at 4 r the kernel has fallen to 1e-7 of its
// peak), and two pixels more for the smallest radii.
constexpr double kMarginRadii = 4.0;
constexpr std::int32_t kMarginExtra = 2;
// Steps of the search for where the blurred disk rounds to the background.
constexpr double kReachStep = 0.05;

constexpr double kMillisecondsPerSecond = 1000.0;
constexpr int kPollMilliseconds = 5;
constexpr int kShellFailure = 127;
constexpr int kMessageSize = 256;

using Clock = std::chrono::steady_clock;

// The process group of the command running now, or 0.  An interrupt or a
// termination of blurgrade ends that group too: it runs in a group of its
// own, so the terminal's Ctrl-C does not reach it.
volatile sig_atomic_t runningGroup = 0;

extern "C" void EndRunningGroup(int signalNumber)
{
    if (runningGroup > 0) kill(-static_cast<pid_t>(runningGroup), SIGKILL);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

void EndGroupOnSignals()
{
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) signal(s, EndRunningGroup);
}

// A descriptor that becomes readable when the child ends (Linux's pidfd),
// or -1 where there is none.
int ChildEndDescriptor([[maybe_unused]] pid_t pid)
{
#ifdef SYS_pidfd_open
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
    return -1;
#endif
}

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// How far beyond the rim the disk blurred at L stays apart from the
// background: outside the disk lies within a half-plane at that distance x,
// whose share of the Gaussian is erfc(x / L) / 2, and a share below
// 1 / (2 value) rounds to the background.
double Reach(double value, double L)
{
    double t = 0.0;
    while (std::erfc(t) * value >= 1.0) t += kReachStep;
    return t * L;
}

// Fills `blurred` (size squared samples) with the disk blurred at L.
void FillBlurredDisk(const GradeCase& c, double L, std::vector<std::uint16_t>* blurred)
{
    const double centre = (c.size - 1) / 2.0;
    const std::size_t n = ProfileLength(FarthestDistance(c.size, c.size, centre, centre));
    std::vector<double> profile(n);
    const double bias = GradeBias(c.bits);
    FillProfile(profile.data(), FirstProfileEntry(c.size, c.size, centre, centre), n,
                kGradeDiskRadius, L, bias, GradeValue(c.bits));
    const auto count = static_cast<std::size_t>(c.size) * static_cast<std::size_t>(c.size);
    std::vector<std::uint16_t> disk(count);
    blurred->assign(count, 0);
    std::vector<std::uint16_t*> diskRows(static_cast<std::size_t>(c.size));
    std::vector<std::uint16_t*> blurredRows(diskRows.size());
    for (std::size_t y = 0; y < diskRows.size(); ++y) {
        diskRows[y] = disk.data() + y * static_cast<std::size_t>(c.size);
        blurredRows[y] = blurred->data() + y * static_cast<std::size_t>(c.size);
    }
    DiskPhantom phantom;
    phantom.nx = c.size;
    phantom.ny = c.size;
    phantom.ox = centre;
    phantom.oy = centre;
    phantom.radius = kGradeDiskRadius;
    phantom.diskSample = LevelSample(bias + GradeValue(c.bits));
    phantom.backgroundSample = LevelSample(bias);
    phantom.bits = c.bits;
    phantom.profile = profile.data();
    FillDiskImages(phantom, diskRows.data(), blurredRows.data());
}

void Store(const std::string& path, const GradeCase& c, const std::vector<std::uint16_t>& samples,
           double bias)
{
    std::vector<const std::uint16_t*> rows(static_cast<std::size_t>(c.size));
    for (std::size_t y = 0; y < rows.size(); ++y)
        rows[y] = samples.data() + y * static_cast<std::size_t>(c.size);
    StoreImageFile(path.c_str(), c.size, c.size, c.bits, rows.data(),
                   PhantomDescription(bias, c.bits).c_str());
}

// The sums of d = output - expected over the interior, as the grading child
// hands them back.
struct Sums {
    std::uint32_t maxAbs = 0;
    double sum = 0.0;
    double sumSquares = 0.0;
    double samples = 0.0;
};

// Per row the sums are exact in 64-bit integers; rows add up in double.
Sums Compare(std::uint16_t* const* rows, const GradeCase& c,
             const std::vector<std::uint16_t>& expected)
{
    Sums sums;
    const std::int32_t end = c.size - c.margin;
    for (std::int32_t y = c.margin; y < end; ++y) {
        const std::uint16_t* want = expected.data() + static_cast<std::size_t>(y) * c.size;
        std::int64_t sum = 0;
        std::uint64_t squares = 0;
        for (std::int32_t x = c.margin; x < end; ++x) {
            const std::int32_t d = static_cast<std::int32_t>(rows[y][x]) - want[x];
            const auto ad = static_cast<std::uint32_t>(d < 0 ? -d : d);
            sum += d;
            squares += static_cast<std::uint64_t>(ad) * ad;
            if (ad > sums.maxAbs) sums.maxAbs = ad;
        }
        sums.sum += static_cast<double>(sum);
        sums.sumSquares += static_cast<double>(squares);
    }
    sums.samples = static_cast<double>(end - c.margin) * (end - c.margin);
    return sums;
}

[[noreturn]] void EndChild()
{
    _exit(EXIT_FAILURE);
}

// The grading child: reads the file (its messages go to `errFd`), checks the
// size and depth, writes the sums to `resultFd`.  Never returns.
[[noreturn]] void GradeInChild(const std::string& path, const std::string& name, const GradeCase& c,
                               const std::vector<std::uint16_t>& expected, int errFd, int resultFd)
{
    dup2(errFd, STDERR_FILENO);
    // A fatal message ends the child at once: no exit handlers of the
    // parent's copy run.
    SetFatalHook(EndChild);
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::uint16_t** rows = nullptr;
    ReadImageFile(path.c_str(), &width, &height, &bits, &rows, nullptr);
    char message[kMessageSize];
    if (width != c.size || height != c.size) {
        std::snprintf(message, sizeof message, "%s is %d x %d, not %d x %d.", name.c_str(), width,
                      height, c.size, c.size);
        Error(message);
    }
    if (bits != c.bits) {
        std::snprintf(message, sizeof message, "%s has %d bits per sample, not %d.", name.c_str(),
                      bits, c.bits);
        Error(message);
    }
    const Sums sums = Compare(rows, c, expected);
    const bool written = write(resultFd, &sums, sizeof sums) == sizeof sums;
    _exit(written ? EXIT_SUCCESS : EXIT_FAILURE);
}

// Everything readable from `fd` until its end.
std::string ReadAll(int fd)
{
    std::string text;
    char buffer[kMessageSize];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            text.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            return text;
        }
    }
}

// The last line of the child's messages that is not a warning, with the
// file's path written as its name: the reason of a failed read.
std::string FatalLine(const std::string& err, const std::string& path, const std::string& name)
{
    std::string last;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        if (end == std::string::npos) end = err.size();
        const std::string line = err.substr(start, end - start);
        if (!line.empty() && line.find("(warning)") == std::string::npos) last = line;
        start = end + 1;
    }
    if (last.rfind(path, 0) == 0) last.replace(0, path.size(), name);
    for (char& ch : last)
        if (ch == '\t' || ch == '\r') ch = ' ';
    return last;
}

std::string Format(const char* format, double number)
{
    char text[kMessageSize];
    std::snprintf(text, sizeof text, format, number);
    return text;
}

// The reason a finished command run does not count, or "" when it does.
std::string RunFailure(const CommandOutcome& run, double limitSeconds, const std::string& path,
                       const char* what)
{
    std::string reason;
    if (run.timedOut) {
        reason = Format("timed out after %g s", limitSeconds);
    } else if (!run.exited) {
        reason = "ended by signal " + std::to_string(run.signal);
    } else if (run.status != 0) {
        reason = "exit status " + std::to_string(run.status);
    } else {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0) reason = "no output";
    }
    return reason.empty() ? reason : reason + what + ".";
}

}  // namespace

double GradeBias(int bits)
{
    return bits == 8 ? kBias8 : kBias16;
}

double GradeValue(int bits)
{
    return bits == 8 ? kValue8 : kValue16;
}

std::uint16_t GradeFlatLevel(int bits)
{
    return static_cast<std::uint16_t>(1u << (bits - 1));
}

GradeCase PlanGradeCase(int bits, double r, const std::string& rText)
{
    GradeCase c;
    c.bits = bits;
    c.r = r;
    c.rText = rText;
    c.margin = static_cast<std::int32_t>(std::ceil(kMarginRadii * r)) + kMarginExtra;
    const double target = std::hypot(kGradeBaseRadius, r);
    const double reach = kGradeDiskRadius + Reach(GradeValue(bits), target);
    c.size = 2 * (static_cast<std::int32_t>(std::ceil(reach)) + c.margin + 1);
    return c;
}

std::vector<std::uint16_t> MakeGradeImages(const GradeCase& c, const std::string& dir)
{
    std::vector<std::uint16_t> samples;
    FillBlurredDisk(c, kGradeBaseRadius, &samples);
    Store(dir + "/in.tif", c, samples, GradeBias(c.bits));
    std::vector<std::uint16_t> target;
    FillBlurredDisk(c, std::hypot(kGradeBaseRadius, c.r), &target);
    Store(dir + "/target.tif", c, target, GradeBias(c.bits));
    samples.assign(samples.size(), GradeFlatLevel(c.bits));
    Store(dir + "/flat.tif", c, samples, 0.0);
    return target;
}

std::string ShellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char ch : text) {
        if (ch == '\'') {
            quoted += "'\\''";
        } else {
            quoted += ch;
        }
    }
    return quoted + "'";
}

std::string ExpandCommand(const std::string& pattern, const CommandWords& words)
{
    const std::pair<std::string_view, const std::string*> fields[] = {
        {"{in}", &words.in},       {"{out}", &words.out},   {"{r}", &words.r},
        {"{sigma}", &words.sigma}, {"{bias}", &words.bias}, {"{bits}", &words.bits}};
    std::string command;
    std::size_t at = 0;
    while (at < pattern.size()) {
        bool replaced = false;
        for (const auto& [name, value] : fields) {
            if (pattern.compare(at, name.size(), name) == 0) {
                command += *value;
                at += name.size();
                replaced = true;
                break;
            }
        }
        if (!replaced) command += pattern[at++];
    }
    return command;
}

CommandOutcome RunCommand(const std::string& command, double limitSeconds)
{
    CommandOutcome outcome;
    EndGroupOnSignals();
    std::fflush(nullptr);
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) Error("cannot start a process.");
    if (pid == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, STDIN_FILENO);
        dup2(STDERR_FILENO, STDOUT_FILENO);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(kShellFailure);
    }
    setpgid(pid, pid);  // as the child does, whichever runs first
    runningGroup = pid;
    // The child's end wakes the poll through its pidfd; without one (an old
    // kernel, another system) the poll wakes every few milliseconds.
    const int pidfd = ChildEndDescriptor(pid);
    int status = 0;
    bool reaped = false;
    while (!reaped) {
        const double left = limitSeconds - SecondsSince(start);
        if (left <= 0.0) {
            outcome.timedOut = true;
            break;
        }
        int wait = static_cast<int>(std::ceil(left * kMillisecondsPerSecond));
        if (pidfd < 0 && wait > kPollMilliseconds) wait = kPollMilliseconds;
        pollfd ready = {pidfd, POLLIN, 0};
        if (poll(&ready, 1, wait) < 0 && errno != EINTR) break;
        reaped = waitpid(pid, &status, WNOHANG) == pid;
    }
    kill(-pid, SIGKILL);  // the group: what the command started, and itself
    if (!reaped) waitpid(pid, &status, 0);
    runningGroup = 0;
    outcome.seconds = SecondsSince(start);
    outcome.exited = !outcome.timedOut && WIFEXITED(status);
    outcome.status = outcome.exited ? WEXITSTATUS(status) : -1;
    outcome.signal = !outcome.timedOut && WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (pidfd >= 0) close(pidfd);
    return outcome;
}

OutputGrade GradeOutputFile(const std::string& path, const std::string& name, const GradeCase& c,
                            const std::vector<std::uint16_t>& expected)
{
    OutputGrade grade;
    int errPipe[2];
    int resultPipe[2];
    if (pipe(errPipe) != 0) Error("cannot make a pipe.");
    if (pipe(resultPipe) != 0) Error("cannot make a pipe.");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) Error("cannot start a process.");
    if (pid == 0) {
        close(errPipe[0]);
        close(resultPipe[0]);
        GradeInChild(path, name, c, expected, errPipe[1], resultPipe[1]);
    }
    close(errPipe[1]);
    close(resultPipe[1]);
    const std::string err = ReadAll(errPipe[0]);
    const std::string result = ReadAll(resultPipe[0]);
    close(errPipe[0]);
    close(resultPipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && result.size() == sizeof(Sums)) {
        Sums sums;
        result.copy(reinterpret_cast<char*>(&sums), sizeof sums);
        grade.ok = true;
        grade.maxAbs = sums.maxAbs;
        grade.rms = std::sqrt(sums.sumSquares / sums.samples);
        grade.mean = sums.sum / sums.samples;
    } else if (WIFSIGNALED(status)) {
        grade.reason = "reading " + name + " ended by signal " + std::to_string(WTERMSIG(status));
    } else {
        grade.reason = FatalLine(err, path, name);
        if (grade.reason.empty()) grade.reason = name + " : not read.";
    }
    return grade;
}

GradeResult RunGradeCase(const std::string& command, const GradeCase& c, const std::string& dir,
                         double limitSeconds)
{
    GradeResult result;
    result.gradeCase = c;
    const std::vector<std::uint16_t> target = MakeGradeImages(c, dir);
    CommandWords words;
    words.r = c.rText;
    words.sigma = Format("%.9g", c.r / std::sqrt(2.0));
    words.bits = std::to_string(c.bits);

    // What an earlier run left in the directory is not graded.
    const std::string out = dir + "/out.tif";
    const std::string flatOut = dir + "/flat-out.tif";
    std::remove(out.c_str());
    std::remove(flatOut.c_str());
    words.in = ShellQuoted(dir + "/in.tif");
    words.out = ShellQuoted(out);
    words.bias = Format("%g", GradeBias(c.bits));
    const CommandOutcome run = RunCommand(ExpandCommand(command, words), limitSeconds);
    result.seconds = run.seconds;
    result.commandSeconds = run.seconds;
    result.status = RunFailure(run, limitSeconds, out, "");
    if (!result.status.empty()) return result;
    result.grade = GradeOutputFile(out, "out.tif", c, target);
    if (!result.grade.ok) {
        result.status = result.grade.reason;
        return result;
    }

    words.in = ShellQuoted(dir + "/flat.tif");
    words.out = ShellQuoted(flatOut);
    words.bias = Format("%g", 0.0);
    const CommandOutcome flatRun = RunCommand(ExpandCommand(command, words), limitSeconds);
    result.commandSeconds += flatRun.seconds;
    result.status = RunFailure(flatRun, limitSeconds, flatOut, " on the flat image");
    if (!result.status.empty()) return result;
    // The flat output's level over the central half of the image in each
    // direction: a filter that pads with the bias (0 here) rings at the
    // step to the padding, which a band-limited kernel carries far.
    GradeCase centre = c;
    centre.margin = c.size / 4;
    const std::uint16_t level = GradeFlatLevel(c.bits);
    const OutputGrade flat = GradeOutputFile(flatOut, "flat-out.tif", centre,
                                             std::vector<std::uint16_t>(target.size(), level));
    if (!flat.ok) {
        result.status = flat.reason;
        return result;
    }
    result.dcGain = 1.0 + flat.mean / level;
    result.ok = true;
    result.status = std::string("ok");
    return result;
}
