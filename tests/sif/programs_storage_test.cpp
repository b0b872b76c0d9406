// The programs' outputs under a file-size limit of every size up to the new
// file's: a failed write ends the run with the writer's message and leaves
// the file at the output path as it was; files written before it are
// complete; nothing else is left in the directories.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "child.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::Program;
using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::WriteBytes;
using Bytes = std::vector<std::uint8_t>;

// Runs the program in `cwd` with the file-size limit and SIGXFSZ ignored.
testsupport::ChildOutcome RunLimited(const std::string& program,
                                     const std::vector<std::string>& args, const fs::path& cwd,
                                     rlim_t limit)
{
    return testsupport::RunInChild(program, args, cwd.string(), testsupport::FileSizeLimit(limit));
}

std::vector<std::string> Names(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes Marker(std::size_t n, std::uint8_t seed)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13);
    return bytes;
}

// The outputs of one run, in the order the program writes them.
struct Outputs {
    std::vector<std::string> paths;  // relative to the working directory
    std::vector<Bytes> old;          // what is there before each run
    std::vector<Bytes> fresh;        // what a run without a limit writes
};

// For every limit from 0 to the largest new file: the first output whose
// new file exceeds the limit is named in the message and keeps its old
// bytes, as do all after it; those before it are complete.
void Sweep(const std::string& program, const std::vector<std::string>& args, const fs::path& cwd,
           const Outputs& outputs)
{
    std::size_t largest = 0;
    for (const Bytes& b : outputs.fresh) largest = std::max(largest, b.size());
    std::vector<std::vector<std::string>> listings;
    for (std::size_t limit = 0; limit <= largest; ++limit) {
        for (std::size_t i = 0; i < outputs.paths.size(); ++i)
            WriteBytes((cwd / outputs.paths[i]).string(), outputs.old[i]);
        if (limit == 0) {
            for (const auto& p : outputs.paths) listings.push_back(Names((cwd / p).parent_path()));
        }
        const testsupport::ChildOutcome out = RunLimited(program, args, cwd, limit);
        std::size_t failing = outputs.paths.size();
        for (std::size_t i = 0; i < outputs.paths.size() && failing == outputs.paths.size(); ++i)
            if (outputs.fresh[i].size() > limit) failing = i;
        if (failing == outputs.paths.size()) {
            ASSERT_EQ(out.status, 0) << "limit " << limit << ": " << out.err;
        } else {
            ASSERT_EQ(out.status, 1) << "limit " << limit;
            ASSERT_EQ(out.err, outputs.paths[failing] + " : file not stored.\n")
                << "limit " << limit;
        }
        for (std::size_t i = 0; i < outputs.paths.size(); ++i) {
            const Bytes now = ReadBytes((cwd / outputs.paths[i]).string());
            ASSERT_EQ(now, i < failing ? outputs.fresh[i] : outputs.old[i])
                << "limit " << limit << ", " << outputs.paths[i];
            ASSERT_EQ(Names((cwd / outputs.paths[i]).parent_path()), listings[i])
                << "limit " << limit;
        }
    }
}

// A small input image written by diskblur (the disk image, 8 bits).
Bytes SmallInput(const fs::path& dir)
{
    const auto run = testsupport::Run(
        Program("diskblur"), {"6", "5", "2", "2", "2", "200", "1", "in.tif", "-"}, dir.string());
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadBytes((dir / "in.tif").string());
}

class FilterInPlace : public testing::TestWithParam<const char*> {};

// `filter in.tif 1 10 in.tif`: the input is its own output.
TEST_P(FilterInPlace, FailedWriteKeepsTheInput)
{
    TempDir dir;
    const Bytes input = SmallInput(dir.path());
    const std::vector<std::string> args = {"in.tif", "1", "10", "in.tif"};
    ASSERT_EQ(RunLimited(Program(GetParam()), args, dir.path(), RLIM_INFINITY).status, 0);
    const Bytes fresh = ReadBytes(dir.file("in.tif"));
    ASSERT_NE(fresh, input);
    Sweep(Program(GetParam()), args, dir.path(), {{"in.tif"}, {input}, {fresh}});
}

INSTANTIATE_TEST_SUITE_P(Programs, FilterInPlace, testing::Values("specblur", "convblur"),
                         [](const auto& info) { return std::string(info.param); });

// diskblur over two existing outputs: the disk image first, then the
// blurred image.
TEST(ProgramOutputs, DiskblurSecondOutput)
{
    TempDir dir;
    const std::vector<std::string> args = {"7", "6", "3", "3", "2", "200", "1.5", "c.tif", "g.tif"};
    ASSERT_EQ(RunLimited(Program("diskblur"), args, dir.path(), RLIM_INFINITY).status, 0);
    Outputs outputs{{"c.tif", "g.tif"},
                    {Marker(150, 1), Marker(40, 2)},
                    {ReadBytes(dir.file("c.tif")), ReadBytes(dir.file("g.tif"))}};
    ASSERT_LT(outputs.fresh[0].size(), outputs.fresh[1].size());
    Sweep(Program("diskblur"), args, dir.path(), outputs);
}

// ballblur over existing slices of both series, written interleaved.
TEST(ProgramOutputs, BallblurSlices)
{
    TempDir dir;
    fs::create_directory(dir.path() / "S");
    fs::create_directory(dir.path() / "G");
    const std::vector<std::string> args = {"5", "4",   "3",   "2", "2", "1",
                                           "1", "200", "1.5", "S", "G"};
    ASSERT_EQ(RunLimited(Program("ballblur"), args, dir.path(), RLIM_INFINITY).status, 0);
    Outputs outputs;
    for (const char* name : {"S/0.tif", "G/0.tif", "S/1.tif", "G/1.tif", "S/2.tif", "G/2.tif"}) {
        outputs.paths.push_back(name);
        outputs.fresh.push_back(ReadBytes(dir.file(name)));
        outputs.old.push_back(Marker(60 + outputs.old.size(), 3));
    }
    Sweep(Program("ballblur"), args, dir.path(), outputs);
}

}  // namespace
