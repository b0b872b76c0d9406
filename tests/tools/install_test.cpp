// The installed tree: `cmake --install` puts every built program into bin/
// and its manual page into share/man/man1, and each page renders with
// `man -l` without a warning and shows the program's own usage line; every
// fatal message that a program prints is listed in its page, and every message
// of the image-file library is explained in the pages of the programs that
// can print it.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sif.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;

using testsupport::RunResult;
using testsupport::TempDir;

const std::vector<std::string> kPages = {"diskblur", "ballblur",   "specblur",
                                         "convblur", "imgcompare", "blurgrade"};

std::vector<std::string> BuiltPrograms()
{
    std::vector<std::string> programs;
    std::istringstream list(BLUR_PROGRAMS);
    std::string name;
    while (std::getline(list, name, ','))
        if (!name.empty()) programs.push_back(name);
    return programs;
}

// Renders a page as a reader would see it, in the C locale, with every
// warning of the formatter on standard error.
RunResult RenderPage(const std::string& page)
{
    return testsupport::Run("/usr/bin/env",
                            {"LC_ALL=C", "MANWIDTH=80", "/usr/bin/man", "--warnings", "-l", page});
}

TEST(ManualPages, RenderWithoutWarnings)
{
    for (const auto& name : kPages) {
        SCOPED_TRACE(name);
        const auto page = RenderPage(std::string(MAN_DIR) + "/" + name + ".1");
        ASSERT_EQ(page.status, 0) << page.err;
        EXPECT_EQ(page.err, "");
        for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "ARGUMENTS", "DIAGNOSTICS",
                                    "EXIT STATUS", "EXAMPLES", "SEE ALSO"}) {
            std::string heading = "\n";
            heading.append(section).append("\n");
            EXPECT_NE(page.out.find(heading), std::string::npos) << section;
        }
        EXPECT_NE(page.out.find("\n       " + name + " "), std::string::npos) << page.out;
    }
}

TEST(InstalledTree, HoldsEveryProgramAndItsPage)
{
    TempDir prefix;
    const auto install = testsupport::Run(
        CMAKE_COMMAND, {"--install", BUILD_DIR, "--prefix", prefix.path().string()});
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    const auto programs = BuiltPrograms();
    for (const auto& name : programs) {
        SCOPED_TRACE(name);
        const fs::path program = prefix.path() / "bin" / name;
        const fs::path page = prefix.path() / "share/man/man1" / (name + ".1");
        ASSERT_TRUE(fs::exists(program));
        ASSERT_TRUE(fs::exists(page));
        EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none);

        // The installed program runs; without arguments it prints its usage
        // line, which its page shows word for word.
        const auto usage = testsupport::Run(program.string(), {});
        EXPECT_EQ(usage.status, 1);
        ASSERT_EQ(usage.err.rfind("usage : " + name + " ", 0), 0u) << usage.err;
        const auto rendered = RenderPage(page.string());
        EXPECT_EQ(rendered.err, "");
        EXPECT_NE(rendered.out.find(usage.err.substr(0, usage.err.size() - 1)), std::string::npos)
            << usage.err;
    }
    // Nothing else lands in bin/ and man1/.
    std::size_t files = 0;
    for (const auto& dir : {"bin", "share/man/man1"}) {
        if (!fs::exists(prefix.path() / dir)) continue;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(prefix.path() / dir))
            ++files;
    }
    EXPECT_EQ(files, 2 * programs.size());
}

// The page as plain words: runs of white space folded into one space.
std::string Words(const std::string& text)
{
    std::string words;
    for (const char c : text) {
        const bool space = c == ' ' || c == '\n' || c == '\t';
        if (!space) {
            words.push_back(c);
        } else if (!words.empty() && words.back() != ' ') {
            words.push_back(' ');
        }
    }
    return words;
}

TEST(ManualPages, ListEveryFatalMessage)
{
    TempDir dir;
    const std::string in = dir.file("in.tif");
    const std::uint16_t row[2] = {1, 2};
    const std::uint16_t* rows[1] = {row};
    StoreImageFile(in.c_str(), 2, 1, 8, rows, nullptr);
    const std::string none = dir.file("none.tif");
    const std::string out = dir.file("out.tif");

    // Arguments that end each program with one of its own messages.
    const std::map<std::string, std::vector<std::vector<std::string>>> cases = {
        {"diskblur",
         {{"0", "9", "4", "4", "2", "1", "1", "-", "-"},
          {"9", "9", "4", "4", "0", "1", "1", "-", "-"},
          {"9", "9", "4", "4", "2", "1", "-1", "1", "-", "-"},
          {"9", "9", "4", "4", "2", "-1", "1", "-", "-"},
          {"9", "9", "4", "4", "2", "1", "0", "-", "-"}}},
        {"ballblur",
         {{"9", "9", "0", "4", "4", "4", "2", "1", "1", "-", "-"},
          {"9", "9", "9", "4", "4", "4", "-1", "1", "1", "-", "-"},
          {"9", "9", "9", "4", "4", "4", "2", "1", "-1", "1", "-", "-"},
          {"9", "9", "9", "4", "4", "4", "2", "-1", "1", "-", "-"},
          {"9", "9", "9", "4", "4", "4", "2", "1", "0", "-", "-"}}},
        {"specblur", {{in, "-1", out}, {none, "1", out}}},
        {"convblur", {{in, "0", out}, {none, "1", out}}},
        {"imgcompare", {{in, in, "x"}, {in, none}}},
        {"blurgrade", {{" "}, {"true", out, "0"}}},
    };
    for (const auto& name : BuiltPrograms()) {
        SCOPED_TRACE(name);
        const auto page = RenderPage(std::string(MAN_DIR) + "/" + name + ".1");
        const std::string words = Words(page.out);
        for (const auto& args : cases.at(name)) {
            const auto run = testsupport::Run(testsupport::Program(name), args);
            ASSERT_EQ(run.status, 1) << run.err;
            // The reader's messages come after the path of the file.
            std::string message = run.err.substr(0, run.err.size() - 1);
            if (message.rfind(none + " : ", 0) == 0) message.erase(0, none.size() + 3);
            EXPECT_NE(words.find(Words(message)), std::string::npos) << message;
        }
    }
}

}  // namespace

namespace {

std::string ReadSource(const std::string& path)
{
    std::ifstream in(std::string(SOURCE_DIR) + "/" + path);
    EXPECT_TRUE(in.good()) << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::set<std::string> Matches(const std::string& text, const std::string& pattern)
{
    std::set<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
        found.insert((*it)[1].str());
    return found;
}

// Every message the reader can print: its fatal errors and warnings, the
// strip-table messages with each table's name put in, and the refusal of
// sample formats other than unsigned integers.
std::set<std::string> ReaderMessages()
{
    const std::string rif = ReadSource("imagefile/rif.cpp") +
                            ReadSource("imagefile/rif_decode.cpp") +
                            ReadSource("imagefile/rif_lzw.cpp");
    std::set<std::string> messages = Matches(rif, R"re((?:Error|Warning)\("([^"]+)"\))re");
    const auto names = Matches(rif, R"re(GetStrip\([^;"()]*"([^"]+)")re");
    EXPECT_EQ(names.size(), 2u);
    for (const auto& form : Matches(rif, R"re(StripError\("([^"]+)")re")) {
        const auto at = form.find("%s");
        EXPECT_NE(at, std::string::npos) << form;
        for (const auto& name : names)
            messages.insert(form.substr(0, at) + name + form.substr(at + 2));
    }
    messages.insert("bad sample format.");
    return messages;
}

// The writer's messages, after the path of the file.
std::set<std::string> WriterMessages()
{
    return Matches(ReadSource("imagefile/sif.cpp"), R"re("%s : ([^"%]+)\\n")re");
}

TEST(ManualPages, ExplainEveryMessageOfTheImageFileLibrary)
{
    const auto reader = ReaderMessages();
    const auto writer = WriterMessages();
    // The patterns still find the library's messages.
    EXPECT_GE(reader.size(), 35u);
    EXPECT_TRUE(reader.count("file not found."));
    EXPECT_TRUE(reader.count("LZW missing end of code"));
    EXPECT_TRUE(reader.count("missing strip bytes count."));
    EXPECT_EQ(writer, (std::set<std::string>{"file not stored.", "no allocatable memory."}));

    for (const auto& name : kPages) {
        SCOPED_TRACE(name);
        const std::string words = Words(RenderPage(std::string(MAN_DIR) + "/" + name + ".1").out);
        const bool reads = name == "specblur" || name == "convblur";
        if (reads) {
            for (const auto& message : reader)
                EXPECT_NE(words.find(Words(message)), std::string::npos) << message;
        }
        for (const auto& message : writer)
            EXPECT_NE(words.find(" : " + message), std::string::npos) << message;
    }
}

}  // namespace

namespace {

// The Debian package (CPack, the configuration `--target package` uses),
// made into a temporary directory and unpacked with dpkg-deb into a
// temporary root: every program runs from there and prints its usage line,
// and its page is there beside it.
TEST(DebianPackage, UnpacksAndRuns)
{
    if (!fs::exists("/usr/bin/dpkg-deb")) GTEST_SKIP() << "dpkg-deb is not installed";
    TempDir dir;
    const auto pack = testsupport::Run(
        CPACK_COMMAND,
        {"--config", std::string(BUILD_DIR) + "/CPackConfig.cmake", "-B", dir.path().string()});
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
    std::vector<fs::path> debs;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().extension() == ".deb") debs.push_back(entry.path());
    ASSERT_EQ(debs.size(), 1u) << pack.out;

    const auto field = testsupport::Run("/usr/bin/dpkg-deb", {"-f", debs[0].string(), "Package"});
    EXPECT_EQ(field.out, "blursuite\n");
    const fs::path root = dir.path() / "root";
    const auto unpack = testsupport::Run("/usr/bin/dpkg-deb", {"-x", debs[0].string(), root});
    ASSERT_EQ(unpack.status, 0) << unpack.err;

    const auto programs = BuiltPrograms();
    ASSERT_FALSE(programs.empty());
    for (const auto& name : programs) {
        SCOPED_TRACE(name);
        const fs::path program = root / "usr/bin" / name;
        ASSERT_TRUE(fs::exists(program));
        EXPECT_TRUE(fs::exists(root / "usr/share/man/man1" / (name + ".1")));
        const auto usage = testsupport::Run(program.string(), {});
        EXPECT_EQ(usage.status, 1);
        EXPECT_EQ(usage.out, "");
        EXPECT_EQ(usage.err.rfind("usage : " + name + " ", 0), 0u) << usage.err;
    }
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(root / "usr/bin")) ++files;
    EXPECT_EQ(files, programs.size());
}

}  // namespace
