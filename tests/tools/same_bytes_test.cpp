// The same command gives the same bytes on every architecture.  Each case
// runs programs in a directory of its own under SAME_BYTES_DIR, on inputs
// it makes there through libtiff, and keeps every file they write and what
// they print.  A cross build, whose tests run under the emulator, knows the
// native build's directory (SAME_BYTES_REFERENCE) and compares each case's
// files with the native ones byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"

namespace {

namespace fs = std::filesystem;

// Each case's directory holds two directories, s and e, for ballblur.
struct Case {
    std::string name;
    std::vector<std::vector<std::string>> commands;  // program, then arguments
    std::int32_t bits = 0;                           // of the input; 0: none
    bool bigEndian = false;
    std::uint16_t compression = 1;
};

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

std::vector<Case> Cases()
{
    std::vector<Case> cases = {
        {"demo_disk",
         {{"diskblur", "512", "384", "439.5", "189.5", "110", "1000", "100", "4", "disk.tif",
           "exact.tif"},
          {"specblur", "disk.tif", "4", "100", "fft.tif"},
          {"convblur", "disk.tif", "4", "100", "conv.tif"},
          {"imgcompare", "fft.tif", "exact.tif", "16", "fft-exact.tif"},
          {"imgcompare", "conv.tif", "exact.tif", "16"}}},
        {"demo_sphere",
         {{"ballblur", "96", "96", "49", "48", "48", "24", "24", "1000", "100", "3", "s", "e"},
          {"diskblur", "96", "96", "48", "48", "24", "1000", "100", "3", "disk.tif",
           "section.tif"}}},
        {"ballblur_off_grid",
         {{"ballblur", "31", "29", "17", "15.3", "13.6", "8.2", "9.1", "1000", "100", "2.5", "s",
           "e"}}},
    };
    for (const char* l : {"0.05", "1", "4", "16"})
        cases.push_back({std::string("diskblur_L") + (l[1] == '.' ? "0_05" : l),
                         {{"diskblur", "61", "47", "30.3", "22.7", "12.4", "60000", "1000", l,
                           "disk.tif", "exact.tif"}}});
    const std::map<std::uint16_t, std::string> compressions = {
        {1, "none"}, {5, "lzw"}, {32773, "packbits"}};
    for (std::int32_t bits = 1; bits <= 16; ++bits)
        for (const bool big : {false, true})
            for (const auto& [compression, label] : compressions) {
                const std::string bias = std::to_string((1 << bits) / 5);
                cases.push_back({std::to_string(bits) + "bit_" + (big ? "be_" : "le_") + label,
                                 {{"specblur", "in.tif", "1.5", bias, "fft.tif"},
                                  {"convblur", "in.tif", "1.5", bias, "conv.tif"}},
                                 bits,
                                 big,
                                 compression});
            }
    return cases;
}

#ifdef SAME_BYTES_REFERENCE
// Every file under `dir`, by its path relative to it.
std::map<std::string, fs::path> Files(const fs::path& dir)
{
    std::map<std::string, fs::path> files;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = e.path();
    return files;
}

// Where two TIFF files' samples differ, as libtiff reads them.
std::string SampleDifferences(const fs::path& native, const fs::path& here)
{
    const auto a = testsupport::ReadWithLibtiff(native.string());
    const auto b = testsupport::ReadWithLibtiff(here.string());
    if (!a || !b || a->samples.size() != b->samples.size()) return "not comparable as images";
    std::ostringstream text;
    int shown = 0;
    for (std::size_t i = 0; i < a->samples.size() && shown < 8; ++i)
        if (a->samples[i] != b->samples[i]) {
            text << " (" << i % a->width << ", " << i / a->width << "): native " << a->samples[i]
                 << ", here " << b->samples[i] << ";";
            ++shown;
        }
    return shown == 0 ? "same samples, other bytes" : text.str();
}
#endif

class SameBytes : public testing::TestWithParam<Case> {};

TEST_P(SameBytes, AsTheNativeBuild)
{
    const Case& c = GetParam();
    const fs::path dir = fs::path(SAME_BYTES_DIR) / c.name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    fs::create_directory(dir / "s");
    fs::create_directory(dir / "e");
    if (c.bits != 0) {
        const auto image = testsupport::RandomImage(23, 17, c.bits, 7u * c.bits);
        ASSERT_TRUE(testsupport::StoreWithLibtiff((dir / "in.tif").string(), image,
                                                  {c.bigEndian, c.compression}));
    }
    for (std::size_t i = 0; i < c.commands.size(); ++i) {
        const auto& command = c.commands[i];
        const auto run = testsupport::Run(testsupport::Program(command[0]),
                                          {command.begin() + 1, command.end()}, dir.string());
        ASSERT_EQ(run.status, 0) << command[0] << ": " << run.err;
        testsupport::WriteBytes((dir / ("run" + std::to_string(i) + ".out")).string(),
                                {run.out.begin(), run.out.end()});
    }
#ifdef SAME_BYTES_REFERENCE
    const fs::path native = fs::path(SAME_BYTES_REFERENCE) / c.name;
    ASSERT_TRUE(fs::is_directory(native)) << native << ": run the native build's tests first";
    const auto expected = Files(native);
    const auto got = Files(dir);
    ASSERT_EQ(got.size(), expected.size());
    for (const auto& [name, path] : expected) {
        SCOPED_TRACE(name);
        ASSERT_EQ(got.count(name), 1u);
        if (testsupport::ReadBytes(path.string()) != testsupport::ReadBytes(got.at(name).string()))
            ADD_FAILURE() << "differs:" << SampleDifferences(path, got.at(name));
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(Runs, SameBytes, testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
