// The main job, scripts/demo.sh, on its small case: the tables it prints
// hold sane numbers.  The exact blur beside itself differs nowhere; both
// filters come close to the exact blur inside the interior; the sphere's
// central slice is the disk drawn by the same rule.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

using testsupport::TempDir;

std::string ReadText(const std::string& path)
{
    const auto bytes = testsupport::ReadBytes(path);
    return {bytes.begin(), bytes.end()};
}

struct Row {
    std::string seconds;
    double wholeMax = 0, wholeMean = 0, wholeRms = 0;
    double innerMax = 0, innerMean = 0, innerRms = 0;
};

// The rows of a table: a label, a time, then max, mean and rms over the
// whole image and over the interior.  Lines of other shapes are text.
std::map<std::string, Row> ParseTable(const std::string& text)
{
    std::map<std::string, Row> rows;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string label;
        Row r;
        if (fields >> label >> r.seconds >> r.wholeMax >> r.wholeMean >> r.wholeRms >> r.innerMax >>
            r.innerMean >> r.innerRms) {
            rows[label] = r;
        }
    }
    return rows;
}

TEST(Demo, SmallCaseTablesAreSane)
{
    TempDir dir;
    const auto run = testsupport::Run(
        "/usr/bin/env", {"DEMO_CASE=small", "DEMO_BIN=" BIN_DIR, "DEMO_DIR=" + dir.path().string(),
                         "/bin/sh", SOURCE_DIR "/scripts/demo.sh"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");

    const auto disk = ParseTable(ReadText(dir.file("table.txt")));
    ASSERT_EQ(disk.size(), 4u) << run.out;
    const double value = 1000;  // the disk's height above the background

    const Row& exact = disk.at("exact");
    EXPECT_EQ(exact.wholeMax, 0);
    EXPECT_EQ(exact.wholeMean, 0);
    EXPECT_EQ(exact.wholeRms, 0);
    EXPECT_EQ(exact.innerMax, 0);

    for (const char* filter : {"specblur", "convblur"}) {
        SCOPED_TRACE(filter);
        const Row& r = disk.at(filter);
        EXPECT_GE(std::stod(r.seconds), 0.0);
        // Inside, only the point sampling of the disk edge remains: a few
        // percent of the disk's height at the rim, far less on average.
        EXPECT_GT(r.innerMax, 0);
        EXPECT_LE(r.innerMax, 0.03 * value);
        EXPECT_LE(r.innerRms, 0.005 * value);
        // The border band, where the disk reaches beyond the image, only adds.
        EXPECT_GE(r.wholeMax, r.innerMax);
        EXPECT_GT(r.wholeRms, r.innerRms);
    }
    // Doing nothing is far worse than either filter.
    const Row& phantom = disk.at("phantom");
    EXPECT_GT(phantom.innerRms, 10 * disk.at("specblur").innerRms);
    EXPECT_GT(phantom.innerMax, 0.3 * value);

    const auto volume = ParseTable(ReadText(dir.file("volume.txt")));
    ASSERT_EQ(volume.size(), 2u) << run.out;
    const Row& sphere = volume.at("sphere");
    EXPECT_EQ(sphere.wholeMax, 0);
    EXPECT_EQ(sphere.wholeRms, 0);
    // The 3-D blur of the central slice also averages the narrower slices
    // above and below: its rim lies about L^2/(4R) further in than that of
    // the 2-D blur, which at the steepest slope of the blurred edge,
    // value/(L sqrt(pi)), makes value L/(4 sqrt(pi) R).  Small case: L = 2,
    // R = 12.
    const Row& blur = volume.at("3-D-blur");
    const double shift = value * 2 / (4 * std::sqrt(M_PI) * 12);
    EXPECT_GT(blur.wholeMax, 0.7 * shift);
    EXPECT_LT(blur.wholeMax, 1.5 * shift);
    EXPECT_LT(blur.wholeRms, 0.5 * shift);
}

}  // namespace
