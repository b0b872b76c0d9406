// Every example of the README and of the manual pages runs as written, with
// the built programs first on the PATH, in a fresh directory: each command
// ends with status 0 and nothing appears on standard error (no warning).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

std::vector<std::string> Lines(const std::string& path)
{
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The commands of a page's EXAMPLES section: the lines between .nf and .fi,
// with the page's escapes for the minus sign undone.
std::string PageExamples(const std::string& name)
{
    std::string script;
    bool inExamples = false, inBlock = false;
    for (const auto& line : Lines(std::string(SOURCE_DIR) + "/docs/man/" + name + ".1")) {
        if (line.rfind(".SH", 0) == 0) inExamples = line == ".SH EXAMPLES";
        if (!inExamples) continue;
        if (line == ".nf") {
            inBlock = true;
        } else if (line == ".fi") {
            inBlock = false;
        } else if (inBlock) {
            std::string command = line;
            for (auto at = command.find("\\-"); at != std::string::npos; at = command.find("\\-"))
                command.erase(at, 1);
            script += command + "\n";
        }
    }
    return script;
}

// The README's examples: the indented block under "One example per program".
std::string ReadmeExamples()
{
    std::string script;
    bool inSection = false;
    for (const auto& line : Lines(std::string(SOURCE_DIR) + "/README.md")) {
        if (line.rfind("## ", 0) == 0) inSection = line == "## One example per program";
        if (inSection && line.rfind("    ", 0) == 0) script += line.substr(4) + "\n";
    }
    return script;
}

// Runs the script line by line under `set -e`, each command's standard error
// gathered, in a fresh directory with the built programs on the PATH.
testsupport::RunResult RunScript(const std::string& script)
{
    testsupport::TempDir dir;
    return testsupport::Run("/bin/sh", {"-ec", "PATH=\"" BIN_DIR ":$PATH\"\n" + script},
                            dir.path().string());
}

class PageExamplesTest : public ::testing::TestWithParam<std::string> {};

TEST_P(PageExamplesTest, RunWithoutWarnings)
{
    const std::string script = PageExamples(GetParam());
    ASSERT_NE(script.find(GetParam()), std::string::npos) << script;
    const auto run = RunScript(script);
    EXPECT_EQ(run.status, 0) << script << run.err;
    EXPECT_EQ(run.err, "") << script;
}

INSTANTIATE_TEST_SUITE_P(Pages, PageExamplesTest,
                         ::testing::Values("diskblur", "ballblur", "specblur", "convblur",
                                           "imgcompare", "blurgrade"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

TEST(ReadmeExamples, RunWithoutWarnings)
{
    const std::string script = ReadmeExamples();
    for (const char* program : {"diskblur", "ballblur", "specblur", "convblur", "imgcompare"})
        EXPECT_NE(script.find(std::string(program) + " "), std::string::npos) << program;
    const auto run = RunScript(script);
    EXPECT_EQ(run.status, 0) << script << run.err;
    EXPECT_EQ(run.err, "") << script;
}

}  // namespace
