// Runs the built ballblur: messages and exit status in the order of the
// checks, the out-of-volume warning, slice names and writing order, and the
// slices read back with libtiff against numerically integrated values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "phantom_run.hpp"
#include "reference.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadWithLibtiff;
using testsupport::RunResult;
using testsupport::TempDir;

const char kUsage[] = "usage : ballblur Nx Ny Nz Ox Oy Oz R value {bias} L S/ GF/\n";
const std::string kWarning = testsupport::OutOfImageWarning("sphere");

// A scratch directory holding the two existing output directories S and G.
class BallblurTest : public ::testing::Test {
protected:
    void SetUp() override { EmptyOutputs(); }
    void EmptyOutputs()
    {
        for (const char* sub : {"S", "G"}) {
            fs::remove_all(dir_.path() / sub);
            fs::create_directory(dir_.path() / sub);
        }
    }
    RunResult Ballblur(const std::vector<std::string>& args)
    {
        return testsupport::RunPhantom("ballblur", dir_, args);
    }
    // The file names in a directory below the scratch directory, sorted.
    std::vector<std::string> Names(const std::string& sub) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.path() / sub))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    testsupport::LibtiffImage Slice(const std::string& name) const
    {
        const auto image = ReadWithLibtiff(dir_.file(name));
        if (!image) {
            ADD_FAILURE() << "libtiff cannot read " << name;
            return {};
        }
        EXPECT_EQ(image->errors, "") << name;
        return *image;
    }
    TempDir dir_;
};

std::vector<std::string> Numbered(int count, int digits)
{
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        std::string index = std::to_string(i);
        while (static_cast<int>(index.size()) < digits) index.insert(index.begin(), '0');
        names.push_back(index + ".tif");
    }
    return names;
}

struct MessageCase {
    std::vector<std::string> args;
    std::string err;
};

TEST_F(BallblurTest, FatalMessagesInTheOrderOfTheChecks)
{
    const MessageCase cases[] = {
        {{}, kUsage},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "1", "S"}, kUsage},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "0", "1", "S", "G", "x"}, kUsage},
        {{"0", "5", "5", "2", "2", "2", "1", "9", "1", "S", "G"}, "bad number of pixels.\n"},
        {{"abc", "5", "5", "2", "2", "2", "1", "9", "1", "S", "G"}, "bad number of pixels.\n"},
        {{"5", "-1", "5", "2", "2", "2", "1", "9", "1", "S", "G"}, "bad number of pixels.\n"},
        {{"5", "5", "0", "2", "2", "2", "-1", "9", "1", "S", "G"}, "bad number of pixels.\n"},
        // Beyond the range of int: no wrap-around to a small positive count.
        {{"5", "5", "-4294967295", "2", "2", "2", "1", "9", "1", "S", "G"},
         "bad number of pixels.\n"},
        {{"5", "5", "5", "2", "2", "2", "-1", "9", "-1", "0", "S", "G"}, "bad radius of sphere.\n"},
        {{"5", "5", "5", "2", "2", "2", "nan", "9", "1", "S", "G"}, "bad radius of sphere.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "-1", "1", "S", "G"}, "bad bias value.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "65535.5", "1", "S", "G"}, "bad bias value.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "nan", "1", "S", "G"}, "bad bias value.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "-1", "1", "S", "G"}, "bad value of sphere.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "-101", "100", "0", "S", "G"},
         "bad value of sphere.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "1", "65535", "0", "S", "G"},
         "bad value of sphere.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "nan", "1", "S", "G"}, "bad value of sphere.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "0", "S", "G"},
         "bad radius of Gaussian filter.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "1e-10", "S", "G"},
         "bad radius of Gaussian filter.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "inf", "S", "G"},
         "bad radius of Gaussian filter.\n"},
        {{"5", "5", "5", "2", "2", "2", "1", "9", "nan", "S", "G"},
         "bad radius of Gaussian filter.\n"},
        // The warning comes before the later checks.
        {{"5", "5", "5", "0", "2", "2", "1", "9", "70000", "1", "S", "G"},
         kWarning + "bad bias value.\n"},
        {{"5", "5", "5", "2", "2", "9", "1", "9", "x", "S", "G"},
         kWarning + "bad radius of Gaussian filter.\n"},
    };
    for (const auto& c : cases) {
        const auto r = Ballblur(c.args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(Names("S").empty());
    EXPECT_TRUE(Names("G").empty());
}

// Standard error without the lines a sanitizer runtime adds ("==pid==...").
std::string WithoutSanitizerLines(const std::string& err)
{
    std::string kept;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(start, 2, "==") != 0) kept += err.substr(start, end - start);
        start = end;
    }
    return kept;
}

TEST_F(BallblurTest, SlicesThatCannotBeAllocated)
{
    // 2^31 - 1 by 2^20 samples: 4 PiB, beyond any address space.
    const auto r = Ballblur({"2147483647", "1048576", "1", "9", "9", "0", "0", "9", "1", "S", "G"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(WithoutSanitizerLines(r.err), "memory allocation error.\n");
}

TEST_F(BallblurTest, WarningWhenTheSphereLeavesTheVolume)
{
    const struct {
        const char *ox, *oy, *oz, *radius;
        bool warns;
    } cases[] = {
        {"5", "5", "5", "5", false},  // touches all six faces
        {"5", "5", "5", "0", false},  {"4.9", "5", "5", "5", true},
        {"5.1", "5", "5", "5", true}, {"5", "4.9", "5", "5", true},
        {"5", "5.1", "5", "5", true}, {"5", "5", "4.9", "5", true},  // z only
        {"5", "5", "5.1", "5", true}, {"5", "5", "5", "5.01", true},
        {"-20", "5", "5", "1", true}, {"5", "5", "nan", "1", true},
    };
    for (const auto& c : cases) {
        const auto r = Ballblur({"11", "11", "11", c.ox, c.oy, c.oz, c.radius, "9", "1", "-", "-"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.warns ? kWarning : "") << c.ox << " " << c.oy << " " << c.oz;
    }
    // The slices are still written, here a sphere that only leaves in z.
    const auto r = Ballblur({"4", "4", "3", "1.5", "1.5", "1", "1.5", "9", "1", "S", "G"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, kWarning);
    EXPECT_EQ(Names("S"), Numbered(3, 1));
    EXPECT_EQ(Names("G"), Numbered(3, 1));
}

TEST_F(BallblurTest, SliceNamesFollowTheSliceCount)
{
    const struct {
        int nz;
        int digits;
    } cases[] = {{1, 1}, {10, 1}, {11, 2}, {101, 3}};
    for (const auto& c : cases) {
        EmptyOutputs();
        const auto r =
            Ballblur({"1", "1", std::to_string(c.nz), "0", "0", "0", "0", "1", "1", "S", "G"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(Names("S"), Numbered(c.nz, c.digits)) << c.nz;
        EXPECT_EQ(Names("G"), Numbered(c.nz, c.digits)) << c.nz;
    }
}

TEST_F(BallblurTest, DirectoryNamesArePassedOnUnchanged)
{
    // A trailing slash doubles the separator; the writer reports that name.
    auto r = Ballblur({"2", "2", "11", "0", "0", "0", "0", "1", "1", "none/", "G"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "none//00.tif : file not stored.\n");
    EXPECT_TRUE(Names("G").empty());
    r = Ballblur({"2", "2", "2", "0", "0", "0", "0", "1", "1", "S/", "G/"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(Names("S"), Numbered(2, 1));
    // A directory name longer than any fixed name buffer.
    fs::path deep;
    for (int i = 0; i < 10; ++i) deep /= std::string(240, static_cast<char>('a' + i));
    fs::create_directories(dir_.path() / deep);
    r = Ballblur({"2", "2", "2", "0", "0", "0", "0", "1", "1", "-", deep.string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Names(deep.string()), Numbered(2, 1));
}

TEST_F(BallblurTest, SlicesAreWrittenInterleaved)
{
    // A directory in place of G/1.tif stops the run at that slice: sphere
    // slice 0, blurred slice 0 and sphere slice 1 are on disk, nothing after.
    fs::create_directory(dir_.path() / "G" / "1.tif");
    auto r = Ballblur({"3", "3", "4", "1", "1", "1", "1", "9", "1", "S", "G"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "G/1.tif : file not stored.\n");
    EXPECT_EQ(Names("S"), (std::vector<std::string>{"0.tif", "1.tif"}));
    EXPECT_EQ(Names("G"), (std::vector<std::string>{"0.tif", "1.tif"}));
    EXPECT_TRUE(fs::is_directory(dir_.path() / "G" / "1.tif"));
    // A missing blurred directory: sphere slice 0 is written first.
    r = Ballblur({"3", "3", "4", "1", "1", "1", "1", "9", "1", "S", "none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "none/0.tif : file not stored.\n");
}

TEST_F(BallblurTest, LeadingDashSuppressesASeries)
{
    const struct {
        const char* sphere;
        const char* blurred;
        std::size_t sphereFiles, blurredFiles;
    } cases[] = {{"-", "G", 0, 3}, {"S", "-", 3, 0}, {"-", "-", 0, 0}, {"-S", "G", 0, 3}};
    for (const auto& c : cases) {
        EmptyOutputs();
        const auto r = Ballblur({"3", "3", "3", "1", "1", "1", "1", "9", "1", c.sphere, c.blurred});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(Names("S").size(), c.sphereFiles);
        EXPECT_EQ(Names("G").size(), c.blurredFiles);
    }
}

TEST_F(BallblurTest, ZeroRadiusGivesUniformBlurredSlices)
{
    // Levels 3.7 and 13.7 round to 4 and 14; 4 bits.
    const auto r = Ballblur({"5", "5", "5", "2", "2", "2", "0", "10", "3.7", "1.5", "S", "G"});
    ASSERT_EQ(r.status, 0);
    for (int z = 0; z < 5; ++z) {
        const auto sphere = Slice("S/" + std::to_string(z) + ".tif");
        const auto blurred = Slice("G/" + std::to_string(z) + ".tif");
        EXPECT_EQ(sphere.bits, 4);
        for (std::uint32_t y = 0; y < 5; ++y) {
            for (std::uint32_t x = 0; x < 5; ++x) {
                const bool centre = x == 2 && y == 2 && z == 2;
                EXPECT_EQ(sphere.at(x, y), centre ? 14u : 4u);
                EXPECT_EQ(blurred.at(x, y), 4u);
            }
        }
    }
}

TEST_F(BallblurTest, DepthAndDescription)
{
    const struct {
        std::vector<std::string> levels;  // value, or value and bias
        int bits;
        unsigned sphere;  // sample of the sphere's centre voxel
        const char* description;
    } cases[] = {
        {{"255"}, 8, 255, "-0.000000\t255.000000"},
        {{"100", "10"}, 8, 110, "-10.000000\t245.000000"},
        {{"1"}, 1, 1, "-0.000000\t1.000000"},
        {{"0"}, 1, 0, "-0.000000\t1.000000"},
        {{"-100", "100"}, 8, 0, "-100.000000\t155.000000"},
        // Levels that round up to a power of two take the next depth.
        {{"255.7"}, 16, 256, "-0.000000\t65535.000000"},
        {{"1.6"}, 2, 2, "-0.000000\t3.000000"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"3", "3", "3", "1", "1", "1", "1"};
        args.insert(args.end(), c.levels.begin(), c.levels.end());
        args.insert(args.end(), {"0.8", "S", "G"});
        const auto r = Ballblur(args);
        ASSERT_EQ(r.status, 0) << r.err;
        for (const char* series : {"S/", "G/"}) {
            for (int z = 0; z < 3; ++z) {
                const auto image = Slice(series + std::to_string(z) + ".tif");
                EXPECT_EQ(image.bits, c.bits) << c.description;
                EXPECT_EQ(image.description, c.description);
                for (const auto sample : image.samples)
                    EXPECT_LT(sample, 1u << c.bits) << c.description;
            }
        }
        EXPECT_EQ(Slice("S/1.tif").at(1, 1), c.sphere) << c.description;
    }
}

TEST_F(BallblurTest, SlicesMatchTheIntegratedProfile)
{
    // A 16-bit sphere centred on a voxel in x and z and half-way between two
    // rows in y, checked at every voxel.
    const int nx = 17, ny = 16, nz = 15;
    const double ox = 8, oy = 7.5, oz = 6, radius = 5.5, value = 60000, bias = 1000, l = 1.7;
    const auto r =
        Ballblur({"17", "16", "15", "8", "7.5", "6", "5.5", "60000", "1000", "1.7", "S", "G"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const auto names = Numbered(nz, 2);
    EXPECT_EQ(Names("S"), names);
    std::map<double, double> reference;  // by squared distance
    for (int z = 0; z < nz; ++z) {
        const std::string& name = names[z];
        const auto sphere = Slice("S/" + name);
        const auto blurred = Slice("G/" + name);
        ASSERT_EQ(sphere.width, 17u);
        ASSERT_EQ(blurred.height, 16u);
        for (int y = 0; y < ny; ++y) {
            for (int x = 0; x < nx; ++x) {
                // Quarter-voxel coordinates: the squares are exact.
                const double d2 = (x - ox) * (x - ox) + (y - oy) * (y - oy) + (z - oz) * (z - oz);
                EXPECT_EQ(sphere.at(x, y), d2 <= radius * radius ? 61000u : 1000u);
                auto it = reference.find(d2);
                if (it == reference.end())
                    it = reference.emplace(d2, ReferenceFraction(std::sqrt(d2), radius, l)).first;
                const double exact = bias + value * it->second;
                EXPECT_NEAR(blurred.at(x, y), exact, 0.5 + 1e-6) << x << " " << y << " " << z;
            }
        }
    }
}

TEST_F(BallblurTest, CentreAndSurfaceVoxels)
{
    // Integer centre (5, 5, 5), R = 5: offsets (0, 3, 4), (5, 0, 0) and
    // (0, 0, -5) lie exactly on the surface, (1, 3, 4) just outside.  The
    // centre voxel takes the centre value.
    const auto r = Ballblur({"11", "11", "11", "5", "5", "5", "5", "60000", "10", "4", "S", "G"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(Slice("S/09.tif").at(5, 8), 60010u);
    EXPECT_EQ(Slice("S/05.tif").at(10, 5), 60010u);
    EXPECT_EQ(Slice("S/00.tif").at(5, 5), 60010u);
    EXPECT_EQ(Slice("S/09.tif").at(6, 8), 10u);
    const double centre = 10 + 60000 * ReferenceFraction(0, 5, 4);
    EXPECT_NEAR(Slice("G/05.tif").at(5, 5), centre, 0.5 + 1e-9);
    const double surface = 10 + 60000 * ReferenceFraction(5, 5, 4);
    EXPECT_NEAR(Slice("G/09.tif").at(5, 8), surface, 0.5 + 1e-9);
}

}  // namespace
