// The built programs under argument vectors from a seeded generator: numbers
// of every kind (signs, NaN, inf, huge and tiny values, text that is not a
// number), empty and long strings, missing and extra arguments, good and bad
// input and output paths, tiny images.  Every run must end with status 0 or
// 1, never by a signal, and every line it writes on standard error must be
// one of the program's own forms: its usage line or fatal messages, its
// warnings, the reader's "<input> : <message>" and "<input> : <message>
// (warning).", or the writer's "<output> : file not stored." and "<output> :
// no allocatable memory.".  A status of 1 comes with exactly one fatal line,
// the last; a status of 0 with warnings only and the outputs on disk.
//
// CLI_FUZZ_RUNS (environment) overrides the number of vectors per program
// (BLUR_CLI_FUZZ_RUNS at build time: fewer in the sanitizer build);
// CLI_FUZZ_SEED the seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <ostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "reader_messages.hpp"
#include "sif.hpp"
#include "support.hpp"
#include "tiff_builder.hpp"

#ifndef BLUR_CLI_FUZZ_RUNS
#define BLUR_CLI_FUZZ_RUNS 700
#endif

namespace {

namespace fs = std::filesystem;
namespace tb = tiffbuilder;
using testsupport::RunResult;
using testsupport::TempDir;

// ---------------------------------------------------------------------------
// The known forms of each program's standard error.

const std::vector<std::string> kWriterFatal = {"file not stored.", "no allocatable memory."};

struct Program {
    std::string name;
    std::string usage;
    std::vector<std::string> fatal;     // its own messages through Error
    std::vector<std::string> warnings;  // its own fixed warning lines
    int fewest = 0;                     // arguments after the name
    bool reads = false;                 // filters and imgcompare read images
};

// Test names show the program, not the pointer.
void PrintTo(const Program* program, std::ostream* os)
{
    *os << program->name;
}

const Program kDiskblur{"diskblur",
                        "usage : diskblur Nx Ny Ox Oy R value {bias} L C.tif GF.tif",
                        {"bad number of pixels.", "bad radius of circle.", "bad bias value.",
                         "bad value of circle.", "bad radius of Gaussian filter.",
                         "memory allocation error.", "bessel function evaluation failed."},
                        {"all or part of circle is out of image (warning)."},
                        9,
                        false};
const Program kBallblur{
    "ballblur",
    "usage : ballblur Nx Ny Nz Ox Oy Oz R value {bias} L S/ GF/",
    {"bad number of pixels.", "bad radius of sphere.", "bad bias value.", "bad value of sphere.",
     "bad radius of Gaussian filter.", "memory allocation error."},
    {"all or part of sphere is out of image (warning)."},
    11,
    false};
const Program kSpecblur{"specblur",
                        "usage : specblur orgTIFF radius {bias} newTIFF",
                        {"bad Gaussian radius.", "memory allocation error."},
                        {},
                        3,
                        true};
const Program kConvblur{"convblur",
                        "usage : convblur orgTIFF radius {bias} newTIFF",
                        {"bad Gaussian radius.", "memory allocation error."},
                        {},
                        3,
                        true};
const Program kImgcompare{
    "imgcompare", "usage : imgcompare A.tif B.tif [margin [diff.tif]]", {"bad margin."}, {}, 2,
    true};

bool OneOf(const std::string& s, const std::vector<std::string>& list)
{
    return std::find(list.begin(), list.end(), s) != list.end();
}

bool Digits(const std::string& s)
{
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "images differ in size: W x H and W x H." / "... bits per sample: B and B."
bool ImgcompareDiffers(const std::string& line)
{
    const std::string size = "images differ in size: ";
    const std::string bits = "images differ in bits per sample: ";
    int a = 0, b = 0, c = 0, d = 0;
    char rest[8] = {};
    if (line.rfind(size, 0) == 0)
        return std::sscanf(line.c_str() + size.size(), "%d x %d and %d x %d%7s", &a, &b, &c, &d,
                           rest) == 5 &&
               std::string(rest) == ".";
    if (line.rfind(bits, 0) == 0)
        return std::sscanf(line.c_str() + bits.size(), "%d and %d%7s", &a, &b, rest) == 3 &&
               std::string(rest) == ".";
    return false;
}

enum class Form { kUnknown, kWarning, kFatal };

struct Vector {
    const Program* program = nullptr;
    std::vector<std::string> args;
};

// The paths a line may begin with: the inputs for the reader's forms, the
// outputs for the writer's.
std::vector<std::string> Inputs(const Vector& v)
{
    const auto& a = v.args;
    if (!v.program->reads || a.empty()) return {};
    if (v.program == &kImgcompare)
        return a.size() >= 2 ? std::vector{a[0], a[1]} : std::vector{a[0]};
    return {a[0]};
}

// True when `path` is one the writer may name: a filter's last argument, one
// of diskblur's last two, or a slice "<dir>/<digits>.tif" of one of
// ballblur's last two.
bool IsOutput(const Vector& v, const std::string& path)
{
    const auto& a = v.args;
    if (a.size() < 2) return false;
    if (v.program == &kSpecblur || v.program == &kConvblur) return path == a.back();
    if (v.program == &kImgcompare) return a.size() == 4 && path == a[3];
    if (v.program == &kDiskblur) return path == a[a.size() - 1] || path == a[a.size() - 2];
    if (v.program == &kBallblur) {
        for (const std::string& dir : {a[a.size() - 2], a[a.size() - 1]}) {
            const std::string head = dir + "/";
            const std::string tail = ".tif";
            if (path.size() > head.size() + tail.size() && path.rfind(head, 0) == 0 &&
                path.compare(path.size() - tail.size(), tail.size(), tail) == 0 &&
                Digits(path.substr(head.size(), path.size() - head.size() - tail.size())))
                return true;
        }
    }
    return false;
}

Form Classify(const Vector& v, const std::string& line)
{
    const Program& p = *v.program;
    if (line == p.usage || OneOf(line, p.fatal)) return Form::kFatal;
    if (&p == &kImgcompare && ImgcompareDiffers(line)) return Form::kFatal;
    if (OneOf(line, p.warnings)) return Form::kWarning;
    for (const std::string& in : Inputs(v)) {
        const std::string head = in + " : ";
        if (line.rfind(head, 0) != 0) continue;
        const std::string message = line.substr(head.size());
        if (readermessages::IsFatal(message)) return Form::kFatal;
        if (readermessages::IsWarning(message)) return Form::kWarning;
    }
    for (const std::string& message : kWriterFatal) {
        const std::string tail = " : " + message;
        if (line.size() >= tail.size() &&
            line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
            IsOutput(v, line.substr(0, line.size() - tail.size())))
            return Form::kFatal;
    }
    return Form::kUnknown;
}

// What is wrong with a run's outcome; "" when nothing is.
std::string Judge(const Vector& v, const RunResult& r)
{
    if (r.status != 0 && r.status != 1) return "ended with status " + std::to_string(r.status);
    if (!r.err.empty() && r.err.back() != '\n') return "standard error does not end a line";
    if (v.program != &kImgcompare && !r.out.empty()) return "wrote on standard output";
    std::vector<std::string> lines;
    std::istringstream in(r.err);
    for (std::string line; std::getline(in, line);) {
        // AddressSanitizer's note on an allocation it refused (it returns
        // null, as the allocator does without it) is no line of the program.
        if (line.rfind("==", 0) == 0 &&
            line.find("==WARNING: AddressSanitizer failed to allocate 0x") != std::string::npos)
            continue;
        lines.push_back(line);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Form form = Classify(v, lines[i]);
        if (form == Form::kUnknown) return "unknown line: " + lines[i];
        const bool last = i + 1 == lines.size();
        if (form == Form::kFatal && !(last && r.status == 1))
            return "fatal line with more to follow or status 0: " + lines[i];
    }
    if (r.status == 1 && (lines.empty() || Classify(v, lines.back()) != Form::kFatal))
        return "status 1 without a fatal message";
    return "";
}

// ---------------------------------------------------------------------------
// The generator.

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}

    std::size_t Below(std::size_t n)
    {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }
    template <typename T>
    const T& Pick(const std::vector<T>& list)
    {
        return list[Below(list.size())];
    }

    // Any number-like text at all.
    std::string Wild()
    {
        static const std::vector<std::string> kTexts = {
            "0",           "1",          "2",
            "3",           "-1",         "-0",
            "+3",          " 5",         "007",
            "0.5",         "2.5",        "3.7",
            "-2.5",        "1e1",        "0x10",
            "nan",         "NaN",        "-nan",
            "inf",         "-inf",       "infinity",
            "1e308",       "-1e308",     "1e-308",
            "4.9e-324",    "1e-9",       "1e-10",
            "2147483647",  "2147483648", "-2147483648",
            "-2147483649", "4294967297", "99999999999999999999",
            "65535",       "65536",      "65535.5",
            "255.7",       "100000",     "",
            "abc",         "12abc",      "-",
            "--",          ".",          "e5",
            " ",           "1,5",        "\t7"};
        switch (Below(8)) {
            case 0:
                return std::string(1 + Below(600), '9');
            case 1:
                return "1" + std::string(Below(400), '0');
            case 2:
                return "0." + std::string(Below(400), '0') + "1";
            case 3:
                return std::to_string(static_cast<long long>(Below(2000)) - 1000);
            default:
                return Pick(kTexts);
        }
    }

    // A value of `role`, mostly sensible, sometimes wild.
    std::string Size() { return Chance(0.8) ? std::to_string(1 + Below(6)) : Wild(); }
    std::string Coordinate()
    {
        return Chance(0.75) ? std::to_string(static_cast<double>(Below(80)) / 10.0 - 1.0) : Wild();
    }
    std::string Radius()
    {
        static const std::vector<std::string> kRadii = {"0.5", "1", "1.5", "2", "3", "0.1", "10"};
        return Chance(0.75) ? Pick(kRadii) : Wild();
    }
    std::string Level()
    {
        static const std::vector<std::string> kLevels = {"0",   "1",   "3",     "15",  "255",
                                                         "256", "100", "-100",  "-1",  "65535",
                                                         "10",  "0.4", "65534", "1.5", "40000"};
        return Chance(0.75) ? Pick(kLevels) : Wild();
    }

private:
    std::mt19937 rng_;
};

// The fixed files every run may name, relative to the run's directory.
struct Files {
    std::vector<std::string> images;   // readable inputs
    std::vector<std::string> bad;      // inputs the reader refuses
    std::vector<std::string> outputs;  // output paths for filters and diskblur
    std::vector<std::string> dirs;     // slice directories for ballblur
};

std::string LongPath(Generator& g)
{
    return std::string(1 + g.Below(5000), 'p') + ".tif";
}

std::string Input(Generator& g, const Files& f)
{
    if (g.Chance(0.7)) return g.Pick(f.images);
    if (g.Chance(0.8)) return g.Pick(f.bad);
    return g.Chance(0.5) ? LongPath(g) : g.Wild();
}

std::string Output(Generator& g, const Files& f)
{
    if (g.Chance(0.9)) return g.Pick(f.outputs);
    return g.Chance(0.5) ? LongPath(g) : g.Wild();
}

std::string Directory(Generator& g, const Files& f)
{
    if (g.Chance(0.9)) return g.Pick(f.dirs);
    return g.Chance(0.5) ? LongPath(g) : g.Wild();
}

// Values as the programs read them (strtol saturating to int, strtod).
long long AsInt(const std::string& s)
{
    const long v = std::strtol(s.c_str(), nullptr, 10);
    return std::clamp<long>(v, INT_MIN, INT_MAX);
}
double AsReal(const std::string& s)
{
    return std::strtod(s.c_str(), nullptr);
}

// Keeps a phantom run within ~1 GB and well under a second.  The programs
// do not yet weigh their allocations against the memory the process can
// get: a block the kernel's overcommit grants (anything up to a few TB) is
// then filled until the OOM killer ends the run.  A block of 2^41 bytes or
// more is refused at once by the allocator (AddressSanitizer's included,
// with allocator_may_return_null), so such sizes stay in; sizes in between
// are replaced by small ones.  Once the programs refuse what exceeds the
// process's memory with their allocation message, the taming can go.
constexpr double kRefused = 2199023255552.0;  // 2^41 bytes
constexpr double kCheapPixels = 4096.0;       // per slice, and slices * pixels / 4
constexpr double kCheapProfileBytes = 1e9;

void Tame(Vector& v)
{
    auto& a = v.args;
    if (v.program == &kDiskblur && (a.size() == 9 || a.size() == 10)) {
        const double nx = static_cast<double>(AsInt(a[0]));
        const double ny = static_cast<double>(AsInt(a[1]));
        if (nx <= 0 || ny <= 0) return;
        const double image = 2.0 * nx * ny;
        if (!(image >= kRefused) && nx * ny > kCheapPixels) {
            a[0] = "5";
            a[1] = "4";
        }
        const double w = static_cast<double>(AsInt(a[0]));
        const double h = static_cast<double>(AsInt(a[1]));
        const double ox = AsReal(a[2]);
        const double oy = AsReal(a[3]);
        const double fx = std::max(std::fabs(ox), std::fabs(w - 1 - ox));
        const double fy = std::max(std::fabs(oy), std::fabs(h - 1 - oy));
        const double profile = 8.0 * 16.0 * std::hypot(fx, fy);
        if (!(profile >= kRefused) && profile > kCheapProfileBytes) {
            a[2] = "2";
            a[3] = "2";
        }
        // The Bessel series grows long when R / L is large: a 6 x 1 image
        // with L = 1e-9 takes a minute, a disk of radius 1000 with L = 1.5
        // a quarter of a second.  Such runs are correct, only slow.
        const std::size_t l = a.size() - 3;
        const double gauss = AsReal(a[l]);
        if (gauss >= 1e-9 && gauss < 1e-3) a[l] = "1e-3";
        const double radius = AsReal(a[4]);
        if (radius >= 100 && radius <= 1e9) a[4] = "3";
    }
    if (v.program == &kBallblur && (a.size() == 11 || a.size() == 12)) {
        const double nx = static_cast<double>(AsInt(a[0]));
        const double ny = static_cast<double>(AsInt(a[1]));
        const double nz = static_cast<double>(AsInt(a[2]));
        if (nx <= 0 || ny <= 0 || nz <= 0) return;
        if (!(2.0 * nx * ny >= kRefused) && (nx * ny > kCheapPixels || nz > 16)) {
            a[0] = "4";
            a[1] = "3";
            a[2] = std::to_string(1 + static_cast<int>(nz) % 5);
        }
    }
}

Vector MakeVector(Generator& g, const Program& p, const Files& f)
{
    Vector v;
    v.program = &p;
    // imgcompare's margin and difference image are both optional.
    const int optionals = &p == &kImgcompare ? 3 : 2;
    int count = p.fewest + static_cast<int>(g.Below(static_cast<std::size_t>(optionals)));
    if (g.Chance(0.1)) count = static_cast<int>(g.Below(static_cast<std::size_t>(p.fewest) + 4));
    const bool optional = count >= p.fewest + 1;
    auto& a = v.args;
    if (&p == &kDiskblur && (count == 9 || count == 10)) {
        a = {g.Size(), g.Size(), g.Coordinate(), g.Coordinate(), g.Radius(), g.Level()};
        if (optional) a.push_back(g.Level());
        a.push_back(g.Radius());
        a.push_back(Output(g, f));
        a.push_back(Output(g, f));
    } else if (&p == &kBallblur && (count == 11 || count == 12)) {
        a = {g.Size(),       g.Size(),       g.Size(),   g.Coordinate(),
             g.Coordinate(), g.Coordinate(), g.Radius(), g.Level()};
        if (optional) a.push_back(g.Level());
        a.push_back(g.Radius());
        a.push_back(Directory(g, f));
        a.push_back(Directory(g, f));
    } else if ((&p == &kSpecblur || &p == &kConvblur) && (count == 3 || count == 4)) {
        a = {Input(g, f), g.Radius()};
        if (optional) a.push_back(g.Level());
        a.push_back(Output(g, f));
    } else if (&p == &kImgcompare && count >= 2 && count <= 4) {
        a = {Input(g, f)};
        a.push_back(g.Chance(0.4) ? a[0] : Input(g, f));
        if (optional) a.push_back(g.Chance(0.7) ? std::to_string(g.Below(4)) : g.Wild());
        if (count == 4) a.push_back(Output(g, f));
    } else {
        // A wrong count: anything goes.
        for (int i = 0; i < count; ++i)
            a.push_back(g.Chance(0.5) ? g.Wild() : (g.Chance(0.5) ? Input(g, f) : Output(g, f)));
    }
    Tame(v);
    return v;
}

std::string Quoted(const Vector& v)
{
    std::string s = v.program->name;
    for (const std::string& a : v.args)
        s += " '" +
             (a.size() > 60 ? a.substr(0, 20) + "...(" + std::to_string(a.size()) + ")" : a) + "'";
    return s;
}

// ---------------------------------------------------------------------------
// The files.

void Store(const std::string& path, std::int32_t width, std::int32_t height, std::int32_t bits,
           const char* description)
{
    std::vector<std::vector<std::uint16_t>> rows(static_cast<std::size_t>(height));
    std::vector<const std::uint16_t*> pointers;
    for (std::int32_t y = 0; y < height; ++y) {
        for (std::int32_t x = 0; x < width; ++x)
            rows[y].push_back(static_cast<std::uint16_t>((x * 37 + y * 11) & ((1u << bits) - 1)));
        pointers.push_back(rows[y].data());
    }
    StoreImageFile(path.c_str(), width, height, bits, pointers.data(), description);
}

// Inputs in `in`; the outputs name places in the run's own directory.
Files MakeFiles(const fs::path& in)
{
    Files f;
    auto name = [&](const std::string& n) { return (in / n).string(); };
    Store(name("one.tif"), 1, 1, 1, nullptr);
    Store(name("small8.tif"), 3, 2, 8, "a description");
    Store(name("wide16.tif"), 7, 4, 16, "0.000000\t65535.000000");
    Store(name("tall4.tif"), 2, 5, 4, "");
    Store(name("odd12.tif"), 5, 3, 12, nullptr);
    {
        tb::TiffBuilder b(true);  // big-endian, uncompressed, 2 strips
        b.Image(4, 3, 8, tb::kNone);
        b.Short(tb::kRowsPerStrip, 2);
        const std::uint32_t first = b.Data({1, 2, 3, 4, 5, 6, 7, 8});
        const std::uint32_t second = b.Data({9, 10, 11, 12});
        b.Shorts(tb::kOffsets, {first, second});
        b.Shorts(tb::kCounts, {8, 4});
        testsupport::WriteBytes(name("big.tif"), b.Build());
    }
    {
        tb::TiffBuilder b(false);  // signed 16-bit samples (SampleFormat 2)
        b.Image(2, 2, 16, tb::kNone);
        b.Short(339, 2);
        b.Strips({{1, 0, 2, 0, 3, 0, 4, 0}});
        testsupport::WriteBytes(name("signed.tif"), b.Build());
    }
    {
        tb::TiffBuilder b(false);  // PackBits with a run too many
        b.Image(4, 1, 8, tb::kPackBits);
        b.Strips({{253, 7, 1, 9}});
        testsupport::WriteBytes(name("packbits.tif"), b.Build());
    }
    for (const char* n : {"one.tif", "small8.tif", "wide16.tif", "tall4.tif", "odd12.tif",
                          "big.tif", "signed.tif", "packbits.tif"})
        f.images.push_back("../in/" + std::string(n));

    testsupport::WriteBytes(name("empty.tif"), {});
    testsupport::WriteBytes(name("text.tif"), {'h', 'e', 'l', 'l', 'o', '\n'});
    std::vector<std::uint8_t> cut = testsupport::ReadBytes(name("wide16.tif"));
    cut.resize(cut.size() / 2);
    testsupport::WriteBytes(name("cut.tif"), cut);
    std::vector<std::uint8_t> head = testsupport::ReadBytes(name("small8.tif"));
    head.resize(12);
    testsupport::WriteBytes(name("head.tif"), head);
    fs::create_directory(in / "adir");
    for (const char* n : {"empty.tif", "text.tif", "cut.tif", "head.tif", "adir", "missing.tif"})
        f.bad.push_back("../in/" + std::string(n));
    f.bad.push_back("/dev/null");
    f.bad.push_back("");
    f.bad.push_back("nowhere/x.tif");

    // Outputs: new files, a directory, a missing directory, suppressed, the
    // run's own copy of an input (written in place), /dev/null.
    f.outputs = {"out.tif",  "out2.tif",  "sub", "nowhere/out.tif",      "-", "-x.tif", "",
                 "self.tif", "/dev/null", "S",   "name with : colon.tif"};
    f.dirs = {"S", "G", "S", "-", "-S", "nowhere", "self.tif", "", "sub"};
    return f;
}

// A fresh run directory: existing directories "sub", "S", "G" and a copy
// of an image as "self.tif".
void ResetRunDirectory(const fs::path& run, const fs::path& in)
{
    fs::remove_all(run);
    fs::create_directories(run / "sub");
    fs::create_directory(run / "S");
    fs::create_directory(run / "G");
    fs::copy_file(in / "small8.tif", run / "self.tif");
}

int RunsPerProgram()
{
    if (const char* n = std::getenv("CLI_FUZZ_RUNS"); n != nullptr && *n != '\0')
        return std::atoi(n);
    return BLUR_CLI_FUZZ_RUNS;
}

std::uint32_t Seed()
{
    if (const char* s = std::getenv("CLI_FUZZ_SEED"); s != nullptr && *s != '\0')
        return static_cast<std::uint32_t>(std::strtoul(s, nullptr, 10));
    return 20261208u;
}

// On success the outputs a run names in its own directory are on disk.
std::string CheckOutputs(const Vector& v, const fs::path& run)
{
    const auto& a = v.args;
    std::vector<std::string> files;
    if (v.program == &kSpecblur || v.program == &kConvblur) files = {a.back()};
    if (v.program == &kDiskblur) files = {a[a.size() - 2], a[a.size() - 1]};
    if (v.program == &kImgcompare && a.size() == 4) files = {a[3]};
    for (const std::string& file : files) {
        if (file.empty() || file[0] == '-' || file[0] == '/') continue;
        if (!fs::is_regular_file(run / file)) return "status 0 but no file " + file;
        if (!testsupport::ReadWithLibtiff((run / file).string()))
            return "status 0 but libtiff cannot read " + file;
    }
    return "";
}

class CliFuzz : public testing::TestWithParam<const Program*> {};

TEST_P(CliFuzz, EveryRunEndsWithAKnownMessage)
{
    const Program& p = *GetParam();
    // An allocation too large to be granted returns null under
    // AddressSanitizer too, as it does without it.
    setenv("ASAN_OPTIONS", "allocator_may_return_null=1", 1);
    TempDir dir;
    const fs::path in = dir.path() / "in";
    const fs::path run = dir.path() / "run";
    fs::create_directory(in);
    const Files files = MakeFiles(in);
    Generator g(Seed() ^ static_cast<std::uint32_t>(std::hash<std::string>{}(p.name)));

    const int runs = RunsPerProgram();
    int failures = 0;
    int successes = 0;
    for (int i = 0; i < runs && failures < 10; ++i) {
        const Vector v = MakeVector(g, p, files);
        ResetRunDirectory(run, in);
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = testsupport::Run(testsupport::Program(p.name), v.args, run.string());
        if (std::getenv("CLI_FUZZ_SLOW") != nullptr &&
            std::chrono::steady_clock::now() - start > std::chrono::milliseconds(300))
            std::cout << "slow: " << Quoted(v) << "\n";
        std::string why = Judge(v, r);
        if (why.empty() && r.status == 0) {
            ++successes;
            why = CheckOutputs(v, run);
        }
        if (!why.empty()) {
            ++failures;
            ADD_FAILURE() << "run " << i << ": " << Quoted(v) << "\n  " << why
                          << "\n  stderr: " << r.err.substr(0, 2000);
        }
    }
    std::cout << p.name << ": " << runs << " runs, " << successes << " with status 0\n";
    // The generator must reach the programs' work, not only their checks.
    if (runs >= 100) {
        EXPECT_GT(successes, runs / 20);
    }
    unsetenv("ASAN_OPTIONS");
}

std::string ProgramName(const testing::TestParamInfo<const Program*>& info)
{
    return info.param->name;
}

INSTANTIATE_TEST_SUITE_P(Programs, CliFuzz,
                         testing::Values(&kDiskblur, &kBallblur, &kSpecblur, &kConvblur,
                                         &kImgcompare),
                         ProgramName);

}  // namespace
