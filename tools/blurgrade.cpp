// blurgrade: grades a Gaussian filter command against the exact blur.  For
// each depth and radius it makes a smooth input (a disk blurred exactly at
// a base radius) and its target (the disk blurred at the combined radius),
// runs the command on the input and on a flat image, and prints the
// interior error, the DC gain and the time, then a verdict per depth.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "error.hpp"
#include "grade.hpp"

namespace {

constexpr char kUsage[] = "usage : blurgrade 'COMMAND' [OUT_DIR [RADII]]";
constexpr int kMostArguments = 3;
constexpr char kDefaultRadii[] = "0.5,0.7,1,1.5,2,3,4,6,8,12,16";
constexpr int kDepths[] = {8, 16};
constexpr double kLargestRadius = 64.0;
// A case's command may run this long; BLURGRADE_TIMEOUT (seconds) changes
// it, for the tests.
constexpr double kTimeLimitSeconds = 60.0;
constexpr double kOneUnit = 1.0;
constexpr double kPixelsPerMegapixel = 1e6;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Radius {
    double value = 0.0;
    std::string text;
};

// RADII: comma-separated numbers 0 < r <= 64, each written as a plain
// decimal number (it names a directory), none twice.
std::vector<Radius> ParseRadii(const std::string& list)
{
    std::vector<Radius> radii;
    std::set<std::string> seen;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        Radius r;
        r.text = list.substr(start, comma - start);
        const bool plain =
            !r.text.empty() && r.text.find_first_not_of("0123456789.") == std::string::npos;
        char* end = nullptr;
        r.value = plain ? std::strtod(r.text.c_str(), &end) : 0.0;
        if (!plain || *end != '\0' || !(r.value > 0.0 && r.value <= kLargestRadius) ||
            !seen.insert(r.text).second)
            Error("bad radius list.");
        radii.push_back(r);
        if (comma == list.size()) return radii;
        start = comma + 1;
    }
}

double TimeLimit()
{
    const char* text = std::getenv("BLURGRADE_TIMEOUT");
    const double limit = text == nullptr ? 0.0 : std::atof(text);
    return limit > 0.0 ? limit : kTimeLimitSeconds;
}

// OUT_DIR made when missing; it must be a writable directory.
void PrepareDirectory(const std::string& dir)
{
    std::error_code error;
    fs::create_directories(dir, error);
    if (error || !fs::is_directory(dir) || access(dir.c_str(), W_OK | X_OK) != 0) {
        const std::string message = dir + " : directory not writable.";
        Error(message.c_str());
    }
}

std::string TemporaryDirectory()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/blurgrade.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Error("cannot make a temporary directory.");
    return pattern;
}

void PrintHead(const std::string& command)
{
    std::printf("blurgrade: %s\n", command.c_str());
    std::printf(
        "input: a disk of radius %g blurred exactly at L0 = %g; target: blurred at sqrt(L0^2 + "
        "r^2);\n",
        kGradeDiskRadius, kGradeBaseRadius);
    std::printf(
        "levels %g + %g at 8 bits, %g + %g at 16 bits (background + disk, {bias} = the "
        "background);\n",
        GradeBias(8), GradeValue(8), GradeBias(16), GradeValue(16));
    std::printf(
        "d = out - target in sample units over the interior (margin pixels left out at "
        "each border);\n");
    std::printf(
        "dc gain = flat output / flat input (mid-range, {bias} = 0, central half); seconds: the "
        "command on the input\n\n");
    std::printf("%4s %6s %6s %6s %8s %10s %10s %9s %8s %8s  %s\n", "bits", "r", "size", "margin",
                "max |d|", "rms d", "mean d", "dc gain", "seconds", "s/MP", "status");
}

double Megapixels(const GradeCase& c)
{
    return static_cast<double>(c.size) * c.size / kPixelsPerMegapixel;
}

void PrintRow(const GradeResult& g)
{
    const GradeCase& c = g.gradeCase;
    if (g.ok) {
        std::printf("%4d %6s %6d %6d %8u %10.4f %10.4f %9.6f %8.3f %8.3f  ok\n", c.bits,
                    c.rText.c_str(), c.size, c.margin, g.grade.maxAbs, g.grade.rms, g.grade.mean,
                    g.dcGain, g.seconds, g.seconds / Megapixels(c));
    } else {
        std::printf("%4d %6s %6d %6d %8s %10s %10s %9s %8.3f %8s  %s\n", c.bits, c.rText.c_str(),
                    c.size, c.margin, "-", "-", "-", "-", g.seconds, "-", g.status.c_str());
    }
    std::fflush(stdout);
}

void WriteReport(const std::string& path, const std::vector<GradeResult>& results)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        const std::string message = path + " : file not stored.";
        Error(message.c_str());
    }
    std::fprintf(file, "bits\tr\tmargin\tmax_abs_d\trms_d\tmean_d\tdc_gain\tseconds\tstatus\n");
    for (const GradeResult& g : results) {
        const GradeCase& c = g.gradeCase;
        std::fprintf(file, "%d\t%s\t%d\t", c.bits, c.rText.c_str(), c.margin);
        if (g.ok) {
            std::fprintf(file, "%u\t%.4f\t%.4f\t%.6f\t", g.grade.maxAbs, g.grade.rms, g.grade.mean,
                         g.dcGain);
        } else {
            std::fprintf(file, "\t\t\t\t");
        }
        std::fprintf(file, "%.4f\t%s\n", g.seconds, g.status.c_str());
    }
    if (std::fclose(file) != 0) {
        const std::string message = path + " : file not stored.";
        Error(message.c_str());
    }
}

bool WithinOneUnit(const GradeResult& g)
{
    return g.ok && g.grade.maxAbs <= kOneUnit;
}

// The verdict of one depth: the smallest radius from which on every case
// is within one unit (when the largest radius is not, the longest run of
// radii that are), and the DC gain at the smallest radius.
void PrintVerdict(int bits, const std::vector<GradeResult>& results)
{
    std::vector<const GradeResult*> depth;
    for (const GradeResult& g : results)
        if (g.gradeCase.bits == bits) depth.push_back(&g);
    std::sort(depth.begin(), depth.end(), [](const GradeResult* a, const GradeResult* b) {
        return a->gradeCase.r < b->gradeCase.r;
    });
    // The run of radii within one unit that reaches the largest radius, or
    // else the longest run: [start, start + length).
    std::size_t length = 0;
    std::size_t start = 0;
    for (std::size_t i = 0, run = 0; i < depth.size(); ++i) {
        run = WithinOneUnit(*depth[i]) ? run + 1 : 0;
        if (run > length || (run > 0 && i + 1 == depth.size())) {
            length = run;
            start = i + 1 - run;
        }
    }
    std::printf("%d bits: ", bits);
    if (length == 0) {
        std::printf("within 1 unit at no radius; ");
    } else if (start + length == depth.size()) {
        std::printf("within 1 unit from r = %s; ", depth[start]->gradeCase.rText.c_str());
    } else if (length == 1) {
        std::printf("within 1 unit at r = %s only; ", depth[start]->gradeCase.rText.c_str());
    } else {
        std::printf("within 1 unit from r = %s to %s only; ", depth[start]->gradeCase.rText.c_str(),
                    depth[start + length - 1]->gradeCase.rText.c_str());
    }
    const GradeResult& first = *depth.front();
    if (first.ok) {
        std::printf("DC gain %.6f at r = %s\n", first.dcGain, first.gradeCase.rText.c_str());
    } else {
        std::printf("no DC gain at r = %s (the case failed)\n", first.gradeCase.rText.c_str());
    }
}

bool GnuplotInstalled()
{
    const char* path = std::getenv("PATH");
    std::string dirs = path == nullptr ? "" : path;
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t colon = std::min(dirs.find(':', start), dirs.size());
        const std::string program = dirs.substr(start, colon - start) + "/gnuplot";
        if (access(program.c_str(), X_OK) == 0) return true;
        start = colon + 1;
    }
    return false;
}

// A string for gnuplot's single quotes, in which ' is written ''.
std::string GnuplotQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char ch : text) quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
    return quoted + "'";
}

// grade.png: interior max |d| and RMS d against r, log scales, both depths.
void Plot(const std::string& dir, double limitSeconds)
{
    const std::string script = dir + "/grade.gp";
    std::FILE* file = std::fopen(script.c_str(), "w");
    if (file == nullptr) return;
    const std::string tsv = GnuplotQuoted(dir + "/report.tsv");
    std::fprintf(file,
                 "set terminal pngcairo size 800,480 font ',10'\n"
                 "set output %s\n"
                 "set datafile separator '\\t'\n"
                 "set logscale xy\nset yrange [0.005:*]\nset grid\nset key top right\n"
                 "set xlabel 'Gaussian radius r (pixels)'\n"
                 "set ylabel 'sample units (+0.01 to show 0)'\n"
                 "set title 'blurgrade: interior error against the exact blur'\n",
                 GnuplotQuoted(dir + "/grade.png").c_str());
    std::fprintf(file, "ok(b) = (column(1) == b && strcol(9) eq 'ok')\n");
    std::fprintf(file,
                 "plot %s using (ok(8) ? $2 : 1/0):($4 + 0.01) with linespoints title '8 bits "
                 "max |d|', \\\n"
                 "  '' using (ok(8) ? $2 : 1/0):($5 + 0.01) with linespoints title '8 bits rms "
                 "d', \\\n"
                 "  '' using (ok(16) ? $2 : 1/0):($4 + 0.01) with linespoints title '16 bits max "
                 "|d|', \\\n"
                 "  '' using (ok(16) ? $2 : 1/0):($5 + 0.01) with linespoints title '16 bits "
                 "rms d'\n",
                 tsv.c_str());
    std::fclose(file);
    RunCommand("gnuplot " + ShellQuoted(script), limitSeconds);
    std::remove(script.c_str());
}

}  // namespace

int main(int argc, char** argv)
{
    const Clock::time_point start = Clock::now();
    const int arguments = argc - 1;
    if (arguments < 1 || arguments > kMostArguments) Error(kUsage);
    const std::string command = argv[1];
    if (command.find_first_not_of(" \t\n") == std::string::npos) Error("empty command.");
    const std::vector<Radius> radii =
        ParseRadii(arguments == kMostArguments ? argv[3] : kDefaultRadii);
    const bool keep = arguments >= 2;
    const std::string dir = keep ? argv[2] : TemporaryDirectory();
    if (keep) PrepareDirectory(dir);
    const double limit = TimeLimit();

    PrintHead(command);
    std::vector<GradeResult> results;
    double commandSeconds = 0.0;
    for (const int bits : kDepths) {
        for (const Radius& r : radii) {
            const std::string caseDir = dir + "/b" + std::to_string(bits) + "-r" + r.text;
            std::error_code error;
            fs::create_directory(caseDir, error);
            if (error) {
                const std::string message = dir + " : directory not writable.";
                Error(message.c_str());
            }
            results.push_back(
                RunGradeCase(command, PlanGradeCase(bits, r.value, r.text), caseDir, limit));
            commandSeconds += results.back().commandSeconds;
            PrintRow(results.back());
        }
    }
    std::printf("\n");
    for (const int bits : kDepths) PrintVerdict(bits, results);

    double seconds = 0.0;
    double megapixels = 0.0;
    for (const GradeResult& g : results) {
        if (!g.ok) continue;
        seconds += g.seconds;
        megapixels += Megapixels(g.gradeCase);
    }
    if (keep) {
        WriteReport(dir + "/report.tsv", results);
        if (megapixels > 0.0 && GnuplotInstalled()) Plot(dir, limit);
    } else {
        std::error_code error;
        fs::remove_all(dir, error);
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "time: the command %.3f s on %.3f megapixels of graded input (%.3f s per "
        "megapixel); blurgrade itself %.3f s (everything but the commands)\n",
        seconds, megapixels, megapixels > 0.0 ? seconds / megapixels : 0.0, total - commandSeconds);
    return EXIT_SUCCESS;
}
