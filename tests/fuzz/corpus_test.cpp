// Replays the committed fuzzing corpus: every file of every target's corpus
// goes through the reader with the fatal hook on, and must either read or
// end with one of the reader's fatal messages (after warnings only), leaving
// nothing allocated behind; every input of the round-trip corpus must also
// come back exactly from the writer and the reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "reader_messages.hpp"
#include "rif_harness.hpp"
#include "roundtrip.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> CorpusFiles(const std::string& target)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(CORPUS_DIR) / target))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// What is wrong with the reader's messages; "" when nothing is.
std::string JudgeMessages(const rifharness::ReadResult& r)
{
    std::vector<std::string> lines;
    std::istringstream in(r.err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind("F : ", 0) != 0) return "not the reader's form: " + lines[i];
        const std::string message = lines[i].substr(4);
        const bool last = i + 1 == lines.size();
        if (readermessages::IsWarning(message)) continue;
        if (!(last && r.fatal && readermessages::IsFatal(message)))
            return "unexpected line: " + lines[i];
    }
    if (r.fatal && (lines.empty() || !readermessages::IsFatal(lines.back().substr(4))))
        return "fatal exit without a fatal message";
    if (!r.fatal && (r.width < 1 || r.height < 1 || r.bits < 1 || r.bits > 16))
        return "read an image of " + std::to_string(r.width) + " x " + std::to_string(r.height) +
               ", " + std::to_string(r.bits) + " bits";
    return "";
}

class CorpusReplay : public testing::TestWithParam<std::string> {};

TEST_P(CorpusReplay, ReaderReadsOrRefusesEveryFile)
{
    const std::vector<fs::path> files = CorpusFiles(GetParam());
    ASSERT_FALSE(files.empty());
    for (const fs::path& file : files) {
        const rifharness::ReadResult all = rifharness::ReadPath(file.string());
        EXPECT_EQ(JudgeMessages(all), "") << file.filename();
        rifharness::Want descriptionOnly{false, false, false, true};
        const rifharness::ReadResult some = rifharness::ReadPath(file.string(), descriptionOnly);
        if (!some.fatal) {
            // Without rows the reader does less work and may refuse less;
            // what it hands back agrees with the full read.
            if (!all.fatal) {
                EXPECT_EQ(some.description, all.description) << file.filename();
            }
        } else {
            EXPECT_TRUE(all.fatal) << file.filename() << ": refused without rows only";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, CorpusReplay, testing::Values("rif", "roundtrip"),
                         [](const testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

TEST(RoundTripCorpus, EveryImageComesBackExactly)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("image.tif");
    for (const fs::path& file : CorpusFiles("roundtrip")) {
        const std::vector<std::uint8_t> bytes = testsupport::ReadBytes(file.string());
        const roundtrip::Image image = roundtrip::ImageFromBytes(bytes.data(), bytes.size());
        EXPECT_EQ(roundtrip::StoreAndReadBack(image, path), "") << file.filename();
        // Independently of our reader: libtiff sees the same samples.
        const auto seen = testsupport::ReadWithLibtiff(path);
        ASSERT_TRUE(seen.has_value()) << file.filename();
        ASSERT_EQ(seen->width, static_cast<std::uint32_t>(image.width));
        ASSERT_EQ(seen->height, static_cast<std::uint32_t>(image.height));
        ASSERT_EQ(seen->bits, image.bits);
        for (std::int32_t y = 0; y < image.height; ++y)
            for (std::int32_t x = 0; x < image.width; ++x)
                ASSERT_EQ(seen->at(x, y), image.rows[y][x])
                    << file.filename() << " at (" << x << ", " << y << ")";
        EXPECT_EQ(seen->description, image.description) << file.filename();
    }
}

}  // namespace
