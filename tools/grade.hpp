// Grading a Gaussian filter command against the exact blur: the cases and
// their images, the command run in its own process group under a time
// limit, and the filter's output read and set beside the target in a child
// process, so that no output file can end the grading.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The smooth input of every case: a disk of this radius, centred in the
// image, blurred exactly at the base radius L0; the target is its blur at
// sqrt(L0^2 + r^2).
inline constexpr double kGradeDiskRadius = 16.0;
inline constexpr double kGradeBaseRadius = 12.0;

// One case: the depth, the filter's radius (as a number and as written),
// the image size (square) and the margin left out at each border.
struct GradeCase {
    int bits = 8;
    double r = 1.0;
    std::string rText = "1";
    std::int32_t size = 0;
    std::int32_t margin = 0;
};

// The background level (the bias) and the disk's height above it at a
// depth (8 or 16 bits).
double GradeBias(int bits);
double GradeValue(int bits);

// The level of the flat image of a depth: mid-range.
std::uint16_t GradeFlatLevel(int bits);

// The case of depth `bits` and radius r (written `rText`): the margin is
// ceil(4 r) + 2 pixels, beyond the reach of the filters' kernels, and the
// image holds the disk and its blur out to where it rounds to the
// background, plus the margin.
GradeCase PlanGradeCase(int bits, double r, const std::string& rText);

// Writes in.tif, target.tif and flat.tif of the case into `dir` and returns
// the target's samples, row by row.
std::vector<std::uint16_t> MakeGradeImages(const GradeCase& gradeCase, const std::string& dir);

// A path quoted for /bin/sh: inside single quotes, each ' written '\''.
std::string ShellQuoted(const std::string& text);

// What {in}, {out}, {r}, {sigma}, {bias} and {bits} stand for.
struct CommandWords {
    std::string in;  // already quoted
    std::string out;
    std::string r;
    std::string sigma;
    std::string bias;
    std::string bits;
};

// The command with every {in}, {out}, {r}, {sigma}, {bias} and {bits}
// replaced, in one pass from left to right; other text is kept as it is.
std::string ExpandCommand(const std::string& pattern, const CommandWords& words);

// How a command ended.
struct CommandOutcome {
    bool timedOut = false;  // ended by us after the time limit
    bool exited = false;    // exited rather than ended by a signal
    int status = -1;        // exit status when it exited
    int signal = 0;         // the signal that ended it otherwise
    double seconds = 0.0;   // wall time from start to end
};

// Runs `command` through /bin/sh -c in a process group of its own, with
// standard input from /dev/null and standard output sent to standard error.
// A command still running after `limitSeconds` is ended with its whole
// group; whatever the command left running in its group when it ends is
// ended too.
CommandOutcome RunCommand(const std::string& command, double limitSeconds);

// The comparison of a filter's output with what it should be, over the
// interior.  `ok` false: `reason` says why there is no comparison.
struct OutputGrade {
    bool ok = false;
    std::string reason;
    std::uint32_t maxAbs = 0;  // largest |d|, d = output - expected
    double rms = 0.0;          // root mean square of d
    double mean = 0.0;         // mean of d
};

// Reads `path` with the suite's reader in a child process and compares it
// with `expected` (gradeCase.size squared samples) inside the case's margin.
// The reason of a failure names the file by `name`: the reader's message,
// another size or another depth.
OutputGrade GradeOutputFile(const std::string& path, const std::string& name,
                            const GradeCase& gradeCase, const std::vector<std::uint16_t>& expected);

// The outcome of one case.
struct GradeResult {
    GradeCase gradeCase;
    bool ok = false;
    std::string status;           // "ok" or the reason
    OutputGrade grade;            // of out.tif against target.tif
    double dcGain = 0.0;          // flat-out level / flat level, central half
    double seconds = 0.0;         // the filter's wall time on in.tif
    double commandSeconds = 0.0;  // every command run of the case
};

// Makes the case's images in `dir`, runs the command on in.tif (bias:
// the background) and, when that grades, on flat.tif (bias 0, so that the
// output level over the input level is the kernel's sum whatever the
// filter does with the bias).
GradeResult RunGradeCase(const std::string& command, const GradeCase& gradeCase,
                         const std::string& dir, double limitSeconds);
