// blurgrade run as a program: specblur graded within one unit at every
// radius, a copying command graded as imgcompare sets the same files side
// by side, and failing commands reported as rows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

using testsupport::TempDir;

using Row = std::map<std::string, std::string>;

// report.tsv as rows of named fields.
std::vector<Row> ReadReport(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "bits\tr\tmargin\tmax_abs_d\trms_d\tmean_d\tdc_gain\tseconds\tstatus");
    std::vector<std::string> names;
    std::istringstream heads(line);
    for (std::string name; std::getline(heads, name, '\t');) names.push_back(name);
    std::vector<Row> rows;
    while (std::getline(in, line)) {
        Row row;
        std::istringstream fields(line);
        for (const auto& name : names) std::getline(fields, row[name], '\t');
        rows.push_back(row);
    }
    return rows;
}

testsupport::RunResult Blurgrade(const std::vector<std::string>& args,
                                 const std::string& timeout = "60")
{
    std::vector<std::string> all = {"BLURGRADE_TIMEOUT=" + timeout,
                                    testsupport::Program("blurgrade")};
    all.insert(all.end(), args.begin(), args.end());
    return testsupport::Run("/usr/bin/env", all);
}

// The README's figure for specblur on a smooth input: within one unit at
// every radius and depth, with no gain.
TEST(Blurgrade, SpecblurIsWithinOneUnitEverywhere)
{
    TempDir dir;
    const auto run =
        Blurgrade({testsupport::Program("specblur") + " {in} {r} {bias} {out}", dir.file("g")});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = ReadReport(dir.file("g/report.tsv"));
    ASSERT_EQ(rows.size(), 22u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.at("bits") + " bits, r = " + row.at("r"));
        EXPECT_EQ(row.at("status"), "ok");
        EXPECT_LE(std::stoi(row.at("max_abs_d")), 1);
        EXPECT_NEAR(std::stod(row.at("dc_gain")), 1.0, 1e-4);
    }
    EXPECT_NE(run.out.find("8 bits: within 1 unit from r = 0.5;"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("16 bits: within 1 unit from r = 0.5;"), std::string::npos) << run.out;
}

// imgcompare's interior line: max |d|, rms d, mean d.
std::vector<double> Interior(const std::string& a, const std::string& b, const std::string& margin)
{
    const auto run = testsupport::Run(testsupport::Program("imgcompare"), {a, b, margin});
    EXPECT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out.substr(run.out.find("\ninterior")));
    std::string name;
    double samples = 0, differing = 0, max = 0, meanAbs = 0, rms = 0, mean = 0;
    lines >> name >> samples >> differing >> max >> meanAbs >> rms >> mean;
    return {max, rms, mean};
}

// A copy of the input is no blur at all: its grade is the input beside the
// target, as imgcompare finds it, and its DC gain is 1.
TEST(Blurgrade, CopyGradesAsTheInputBesideTheTarget)
{
    TempDir dir;
    const auto run = Blurgrade({"cp {in} {out}", dir.file("g"), "0.5,2,8"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = ReadReport(dir.file("g/report.tsv"));
    ASSERT_EQ(rows.size(), 6u);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.at("bits") + " bits, r = " + row.at("r"));
        const std::string cased = dir.file("g/b" + row.at("bits") + "-r" + row.at("r") + "/");
        const auto expected = Interior(cased + "in.tif", cased + "target.tif", row.at("margin"));
        EXPECT_EQ(row.at("status"), "ok");
        EXPECT_EQ(std::stod(row.at("max_abs_d")), expected[0]);
        EXPECT_NEAR(std::stod(row.at("rms_d")), expected[1], 1e-4);
        EXPECT_NEAR(std::stod(row.at("mean_d")), expected[2], 1e-4);
        EXPECT_EQ(row.at("dc_gain"), "1.000000");
        EXPECT_GT(expected[0], 0.0);  // the input is not the target
        EXPECT_TRUE(testsupport::ReadBytes(cased + "out.tif") ==
                    testsupport::ReadBytes(cased + "in.tif"));
    }
}

struct Failing {
    std::string name;
    std::string command;
    std::string status;
};

std::ostream& operator<<(std::ostream& out, const Failing& f)
{
    return out << f.name;
}

class FailingCommand : public ::testing::TestWithParam<Failing> {};

// The command fails on every case; blurgrade reports each and ends with 0.
// LATE would appear if a process the command left behind outlived the case.
TEST_P(FailingCommand, IsARowOfTheReport)
{
    TempDir dir;
    const std::string late = dir.file("late");
    std::string command = GetParam().command;
    const auto at = command.find("LATE");
    if (at != std::string::npos) command.replace(at, 4, late);
    const auto run = Blurgrade({command, dir.file("g"), "1"}, "1");
    ASSERT_EQ(run.status, 0) << run.err;
    const auto rows = ReadReport(dir.file("g/report.tsv"));
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& row : rows) {
        EXPECT_EQ(row.at("status"), GetParam().status);
        EXPECT_EQ(row.at("max_abs_d") + row.at("rms_d") + row.at("mean_d") + row.at("dc_gain"), "");
    }
    EXPECT_NE(run.out.find("8 bits: within 1 unit at no radius; no DC gain at r = 1"),
              std::string::npos)
        << run.out;
    if (at != std::string::npos) testsupport::Run("/bin/sleep", {"3"});
    EXPECT_FALSE(std::filesystem::exists(late));
}

INSTANTIATE_TEST_SUITE_P(Commands, FailingCommand,
                         ::testing::Values(Failing{"Fails", "false", "exit status 1."},
                                           Failing{"Hangs", "(sleep 2; touch LATE) & sleep 1000",
                                                   "timed out after 1 s."},
                                           Failing{"WritesGarbage", "echo garbage > {out}",
                                                   "out.tif : bad magic number."}),
                         [](const ::testing::TestParamInfo<Failing>& info) {
                             return info.param.name;
                         });

}  // namespace
