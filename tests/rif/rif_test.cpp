// The reader on crafted files: every fatal message and warning, the tag
// rules, the out-parameters, sample unpacking and the three decoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "rif_harness.hpp"
#include "tiff_builder.hpp"

namespace {

using rifharness::ReadFile;
using rifharness::ReadResult;
using rifharness::Want;
using tiffbuilder::Bytes;
using tiffbuilder::PackCodes;
using tiffbuilder::TiffBuilder;
namespace tb = tiffbuilder;

using Rows = std::vector<std::vector<std::uint16_t>>;

std::string Fatal(const std::string& message)
{
    return "F : " + message + "\n";
}

std::string Warn(const std::string& message)
{
    return "F : " + message + " (warning).\n";
}

// ------------------------------------------------------------- header

struct HeaderCase {
    const char* name;
    Bytes bytes;
    const char* message;
};

TEST(ReadImageFile, HeaderFaults)
{
    const std::vector<HeaderCase> cases = {
        {"empty file", {}, "unexpected end of file."},
        {"single I", {'I'}, "unexpected end of file."},
        {"single M", {'M'}, "unexpected end of file."},
        {"other mark", {'X', 'X', 42, 0, 8, 0, 0, 0}, "bad magic number."},
        {"I then M", {'I', 'M', 42, 0, 8, 0, 0, 0}, "bad magic number."},
        {"M then I", {'M', 'I', 0, 42, 0, 0, 0, 8}, "bad magic number."},
        {"43", {'I', 'I', 43, 0, 8, 0, 0, 0}, "bad magic number."},
        {"42 in the wrong order", {'M', 'M', 42, 0, 0, 0, 0, 8}, "bad magic number."},
        {"ends in the number", {'I', 'I', 42}, "unexpected end of file."},
        {"ends in the offset", {'I', 'I', 42, 0, 8, 0}, "unexpected end of file."},
        {"no directory", {'I', 'I', 42, 0, 0, 0, 0, 0}, "no image file directory."},
        {"directory past the end", {'I', 'I', 42, 0, 100, 0, 0, 0}, "unexpected end of file."},
        {"directory cut short", {'I', 'I', 42, 0, 8, 0, 0, 0, 3, 0, 1}, "unexpected end of file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ReadResult r = ReadFile(c.bytes);
        EXPECT_TRUE(r.fatal);
        EXPECT_EQ(r.err, Fatal(c.message));
    }
}

TEST(ReadImageFile, MissingFile)
{
    testsupport::TempDir dir;
    const ReadResult r = rifharness::ReadPath(dir.file("absent.tif"));
    EXPECT_TRUE(r.fatal);
    EXPECT_EQ(r.err, Fatal("file not found."));
}

TEST(ReadImageFileDeathTest, FatalExitsWithStatusOne)
{
    testsupport::TempDir dir;
    const std::string path = dir.file("bad.tif");
    testsupport::WriteBytes(path, {'I', 'M'});
    EXPECT_EXIT(ReadImageFile(path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr),
                testing::ExitedWithCode(1), "bad\\.tif : bad magic number\\.\n");
}

// ------------------------------------------------------------ tags

// A 2 x 2 8-bit uncompressed image with samples 1 2 / 3 4.  Entries that a
// case adds before calling it win, since only the first entry of a tag is
// looked at; `skip` leaves tags out.
void Good(TiffBuilder& b, const std::vector<std::uint16_t>& skip = {})
{
    auto has = [&](std::uint16_t tag) {
        return std::find(skip.begin(), skip.end(), tag) == skip.end();
    };
    if (has(tb::kWidth)) b.Short(tb::kWidth, 2);
    if (has(tb::kLength)) b.Short(tb::kLength, 2);
    if (has(tb::kBits)) b.Short(tb::kBits, 8);
    if (has(tb::kCompression)) b.Short(tb::kCompression, tb::kNone);
    if (has(tb::kPhotometric)) b.Short(tb::kPhotometric, 1);
    if (has(tb::kOffsets)) b.Long(tb::kOffsets, b.Data({1, 2, 3, 4}));
    if (has(tb::kCounts)) b.Long(tb::kCounts, 4);
}

const Rows kGoodRows = {{1, 2}, {3, 4}};

struct TagCase {
    std::string name;
    std::function<void(TiffBuilder&)> build;
    const char* message;  // nullptr: the image reads as kGoodRows
};

// Values of one tag, each given as a single SHORT entry before the good
// image's, with the message each gives (nullptr: the image reads).
struct ShortValues {
    const char* name;  // the tag as the case names say it
    std::uint16_t tag;
    std::vector<std::pair<std::uint32_t, const char*>> values;
};

// One case "<name> <value>" for each value of each tag.
std::vector<TagCase> ShortValueCases(const std::vector<ShortValues>& tags)
{
    std::vector<TagCase> cases;
    for (const ShortValues& t : tags)
        for (const auto& [value, message] : t.values)
            cases.push_back(
                {std::string(t.name) + " " + std::to_string(value),
                 [tag = t.tag, value = value](TiffBuilder& b) { b.Short(tag, value), Good(b); },
                 message});
    return cases;
}

void RunTagCases(const std::vector<TagCase>& cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool big : {false, true}) {
            TiffBuilder b(big);
            c.build(b);
            const ReadResult r = ReadFile(b.Build());
            if (c.message == nullptr) {
                EXPECT_FALSE(r.fatal) << r.err;
                EXPECT_EQ(r.err, "");
                EXPECT_EQ(r.rows, kGoodRows);
            } else {
                EXPECT_TRUE(r.fatal);
                EXPECT_EQ(r.err, Fatal(c.message));
            }
        }
    }
}

TEST(ReadImageFile, SizeTags)
{
    RunTagCases({
        {"good", [](TiffBuilder& b) { Good(b); }, nullptr},
        {"width as LONG", [](TiffBuilder& b) { b.Long(tb::kWidth, 2), Good(b); }, nullptr},
        {"width SHORT count 2",
         [](TiffBuilder& b) {
             b.Entry(tb::kWidth, tb::kShort, 2, b.U16(2)), Good(b, {tb::kWidth});
         },
         "missing image size."},
        {"width ASCII count 1",
         [](TiffBuilder& b) { b.Entry(tb::kWidth, tb::kAscii, 1, {2}), Good(b, {tb::kWidth}); },
         "missing image size."},
        {"width ASCII", [](TiffBuilder& b) { b.Ascii(tb::kWidth, "ab"), Good(b, {tb::kWidth}); },
         "missing image size."},
        {"width absent", [](TiffBuilder& b) { Good(b, {tb::kWidth}); }, "missing image size."},
        {"height absent", [](TiffBuilder& b) { Good(b, {tb::kLength}); }, "missing image size."},
        {"width 0", [](TiffBuilder& b) { b.Short(tb::kWidth, 0), Good(b); }, "missing image size."},
        {"height 0", [](TiffBuilder& b) { b.Long(tb::kLength, 0), Good(b); },
         "missing image size."},
        {"width 2^31, height absent",
         [](TiffBuilder& b) { b.Long(tb::kWidth, 0x80000000u), Good(b, {tb::kLength}); },
         "missing image size."},
        {"width 2^31", [](TiffBuilder& b) { b.Long(tb::kWidth, 0x80000000u), Good(b); },
         "too large image size."},
        {"height 2^32-1", [](TiffBuilder& b) { b.Long(tb::kLength, 0xFFFFFFFFu), Good(b); },
         "too large image size."},
    });
}

TEST(ReadImageFile, FieldTags)
{
    const char* const badBits = "bad bits per sample.";
    const char* const badPhotometric = "bad photometric interpretation.";
    const char* const badFillOrder = "unknown fill order.";
    std::vector<TagCase> cases = ShortValueCases({
        {"bits", tb::kBits, {{0, badBits}, {17, badBits}, {32, badBits}}},
        {"compression", tb::kCompression, {{7, "unknown image compression method."}}},
        {"photometric",
         tb::kPhotometric,
         {{2, badPhotometric}, {5, badPhotometric}, {0, nullptr}, {3, nullptr}, {4, nullptr}}},
        {"fill order", tb::kFillOrder, {{1, nullptr}, {0, badFillOrder}, {3, badFillOrder}}},
        {"samples per pixel", tb::kSamples, {{1, nullptr}, {3, "bad samples per pixel."}}},
        {"rows per strip", tb::kRowsPerStrip, {{0, "bad rows per strip."}}},
        {"planar", tb::kPlanar, {{1, nullptr}, {2, "bad planar configuration."}}},
        {"predictor", tb::kPredictor, {{1, nullptr}, {3, "unknown differencing predictor."}}},
    });
    const std::vector<TagCase> others = {
        {"compression as LONG counts as absent",
         [](TiffBuilder& b) { b.Long(tb::kCompression, 7), Good(b); }, nullptr},
        {"photometric absent", [](TiffBuilder& b) { Good(b, {tb::kPhotometric}); }, badPhotometric},
        {"photometric as LONG", [](TiffBuilder& b) { b.Long(tb::kPhotometric, 1), Good(b); },
         badPhotometric},
        {"samples per pixel SHORT count 3",
         [](TiffBuilder& b) {
             b.Shorts(tb::kSamples, {3, 3, 3}), Good(b);
         },
         nullptr},
        {"rows per strip LONG 0", [](TiffBuilder& b) { b.Long(tb::kRowsPerStrip, 0), Good(b); },
         "bad rows per strip."},
        {"rows per strip above the height",
         [](TiffBuilder& b) { b.Long(tb::kRowsPerStrip, 0xFFFFFFFFu), Good(b); }, nullptr},
        {"unknown tags are skipped",
         [](TiffBuilder& b) { b.Short(300, 1), b.Ascii(301, "text that is long"), Good(b); },
         nullptr},
    };
    cases.insert(cases.end(), others.begin(), others.end());
    RunTagCases(cases);
}

// SampleFormat: only unsigned integers are read as they are stored; signed
// integers, floating point and undefined data are refused rather than taken
// as unsigned.
TEST(ReadImageFile, SampleFormat)
{
    RunTagCases({
        {"absent", [](TiffBuilder& b) { Good(b); }, nullptr},
        {"1 unsigned", [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 1), Good(b); }, nullptr},
        {"2 signed", [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 2), Good(b); },
         "bad sample format."},
        {"3 floating point", [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 3), Good(b); },
         "bad sample format."},
        {"4 undefined", [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 4), Good(b); },
         "bad sample format."},
        {"0", [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 0), Good(b); }, "bad sample format."},
        {"SHORT count 2, first 1",
         [](TiffBuilder& b) {
             b.Shorts(tb::kSampleFormat, {1, 2}), Good(b);
         },
         nullptr},
        {"SHORT count 2, first 2",
         [](TiffBuilder& b) {
             b.Shorts(tb::kSampleFormat, {2, 1}), Good(b);
         },
         "bad sample format."},
        {"SHORT count 3 behind an offset, first 1",
         [](TiffBuilder& b) {
             b.Shorts(tb::kSampleFormat, {1, 3, 3}), Good(b);
         },
         nullptr},
        {"SHORT count 3 behind an offset, first 3",
         [](TiffBuilder& b) {
             b.Shorts(tb::kSampleFormat, {3, 1, 1}), Good(b);
         },
         "bad sample format."},
        {"values past the end of the file",
         [](TiffBuilder& b) { b.At(tb::kSampleFormat, tb::kShort, 3, 5000), Good(b); },
         "unexpected end of file."},
        {"SHORT count 0 counts as absent",
         [](TiffBuilder& b) { b.Entry(tb::kSampleFormat, tb::kShort, 0, b.U16(2)), Good(b); },
         nullptr},
        {"LONG counts as absent", [](TiffBuilder& b) { b.Long(tb::kSampleFormat, 2), Good(b); },
         nullptr},
        {"only the first entry counts",
         [](TiffBuilder& b) {
             b.Short(tb::kSampleFormat, 1), b.Short(tb::kSampleFormat, 2), Good(b);
         },
         nullptr},
        {"only the first entry counts, refused",
         [](TiffBuilder& b) {
             b.Short(tb::kSampleFormat, 2), b.Short(tb::kSampleFormat, 1), Good(b);
         },
         "bad sample format."},
    });
}

TEST(ReadImageFile, StripTables)
{
    RunTagCases({
        {"offsets absent", [](TiffBuilder& b) { Good(b, {tb::kOffsets}); },
         "missing strip offset."},
        {"offsets ASCII", [](TiffBuilder& b) { b.Ascii(tb::kOffsets, "abc"), Good(b); },
         "missing strip offset."},
        {"offsets count 2",
         [](TiffBuilder& b) {
             b.Longs(tb::kOffsets, {8, 8}), Good(b);
         },
         "bad number of strip offset."},
        {"offsets SHORT count 0",
         [](TiffBuilder& b) { b.Entry(tb::kOffsets, tb::kShort, 0, {}), Good(b); },
         "bad number of strip offset."},
        {"counts absent", [](TiffBuilder& b) { Good(b, {tb::kCounts}); },
         "missing strip bytes count."},
        {"counts of type 5", [](TiffBuilder& b) { b.At(tb::kCounts, 5, 1, 0), Good(b); },
         "missing strip bytes count."},
        {"counts count 3",
         [](TiffBuilder& b) {
             b.Shorts(tb::kCounts, {4, 4, 4}), Good(b);
         },
         "bad number of strip bytes count."},
        {"both absent: offsets first",
         [](TiffBuilder& b) {
             Good(b, {tb::kOffsets, tb::kCounts});
         },
         "missing strip offset."},
        {"offsets as SHORT",
         [](TiffBuilder& b) {
             b.Shorts(tb::kOffsets, {b.Data({1, 2, 3, 4})}), Good(b);
         },
         nullptr},
        {"counts as SHORT", [](TiffBuilder& b) { b.Shorts(tb::kCounts, {4}), Good(b); }, nullptr},
        {"table past the end of the file",
         [](TiffBuilder& b) {
             b.Short(tb::kRowsPerStrip, 1), b.At(tb::kOffsets, tb::kLong, 2, 5000), Good(b);
         },
         "unexpected end of file."},
    });
}

// Every tag the reader looks up, the description too, PlanarConfiguration
// `planar`, and an entry count two above the entries.
void PastTheEnd(TiffBuilder& b, std::uint32_t planar)
{
    b.Ascii(tb::kDescription, "d"), b.Short(tb::kFillOrder, 1), b.Short(tb::kSamples, 1);
    b.Short(tb::kRowsPerStrip, 2), b.Short(tb::kPlanar, planar), b.Short(tb::kPredictor, 1);
    Good(b);
    b.OverrideCount(15);
}

// When a file has several faults, the one checked first is reported.
TEST(ReadImageFile, FaultOrder)
{
    RunTagCases({
        {"size before bits", [](TiffBuilder& b) { b.Short(tb::kBits, 0), Good(b, {tb::kWidth}); },
         "missing image size."},
        {"bits before compression",
         [](TiffBuilder& b) { b.Short(tb::kBits, 0), b.Short(tb::kCompression, 2), Good(b); },
         "bad bits per sample."},
        {"compression before photometric",
         [](TiffBuilder& b) { b.Short(tb::kCompression, 2), Good(b, {tb::kPhotometric}); },
         "unknown image compression method."},
        {"photometric before fill order",
         [](TiffBuilder& b) { b.Short(tb::kFillOrder, 9), Good(b, {tb::kPhotometric}); },
         "bad photometric interpretation."},
        {"fill order before samples",
         [](TiffBuilder& b) { b.Short(tb::kFillOrder, 9), b.Short(tb::kSamples, 9), Good(b); },
         "unknown fill order."},
        {"samples before rows per strip",
         [](TiffBuilder& b) { b.Short(tb::kRowsPerStrip, 0), b.Short(tb::kSamples, 9), Good(b); },
         "bad samples per pixel."},
        {"samples before sample format",
         [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 2), b.Short(tb::kSamples, 9), Good(b); },
         "bad samples per pixel."},
        {"fill order before sample format",
         [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 3), b.Short(tb::kFillOrder, 9), Good(b); },
         "unknown fill order."},
        {"sample format before rows per strip",
         [](TiffBuilder& b) {
             b.Short(tb::kRowsPerStrip, 0), b.Short(tb::kSampleFormat, 2), Good(b);
         },
         "bad sample format."},
        {"sample format before planar",
         [](TiffBuilder& b) { b.Short(tb::kPlanar, 9), b.Short(tb::kSampleFormat, 3), Good(b); },
         "bad sample format."},
        {"sample format before strip tables",
         [](TiffBuilder& b) { b.Short(tb::kSampleFormat, 2), Good(b, {tb::kOffsets}); },
         "bad sample format."},
        {"rows per strip before planar",
         [](TiffBuilder& b) { b.Short(tb::kRowsPerStrip, 0), b.Short(tb::kPlanar, 9), Good(b); },
         "bad rows per strip."},
        {"planar before predictor",
         [](TiffBuilder& b) { b.Short(tb::kPredictor, 9), b.Short(tb::kPlanar, 9), Good(b); },
         "bad planar configuration."},
        {"predictor before strip tables",
         [](TiffBuilder& b) { b.Short(tb::kPredictor, 9), Good(b, {tb::kOffsets}); },
         "unknown differencing predictor."},
        // An entry count that overstates the directory by two runs past the
        // end of the file for any tag it lacks: there SampleFormat counts as
        // absent, so the other checks decide.  Every other tag is present.
        {"directory past the end, all tags", [](TiffBuilder& b) { PastTheEnd(b, 1); }, nullptr},
        {"directory past the end, planar 0", [](TiffBuilder& b) { PastTheEnd(b, 0); },
         "bad planar configuration."},
        {"description before compression",
         [](TiffBuilder& b) {
             b.At(tb::kDescription, tb::kAscii, 100, 1000), b.Short(tb::kCompression, 2), Good(b);
         },
         "missing image description."},
    });
}

// --------------------------------------------------- out-parameters

TEST(ReadImageFile, NullOutParametersSkipWork)
{
    TiffBuilder b;
    b.Short(tb::kCompression, 7);
    b.Short(tb::kBits, 99);
    b.Ascii(tb::kDescription, "hello");
    Good(b, {tb::kWidth});
    const Bytes file = b.Build();

    // Only the description: no size, bits or compression checks.
    ReadResult r = ReadFile(file, {false, false, false, true});
    EXPECT_FALSE(r.fatal) << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.description, "hello");

    // Nothing at all: the header alone is read.
    r = ReadFile(file, {false, false, false, false});
    EXPECT_FALSE(r.fatal) << r.err;

    // Bits without sizes: the bad bits are reported, the missing width not.
    r = ReadFile(file, {false, true, false, false});
    EXPECT_EQ(r.err, Fatal("bad bits per sample."));

    // Sizes: the missing width.
    r = ReadFile(file, {true, false, false, false});
    EXPECT_EQ(r.err, Fatal("missing image size."));
}

TEST(ReadImageFile, CompressionUncheckedWithoutRows)
{
    TiffBuilder b;
    b.Short(tb::kCompression, 7);
    b.Short(tb::kPhotometric, 2);
    Good(b);
    const ReadResult r = ReadFile(b.Build(), {true, true, false, true});
    EXPECT_FALSE(r.fatal) << r.err;
    EXPECT_EQ(r.width, 2);
    EXPECT_EQ(r.height, 2);
    EXPECT_EQ(r.bits, 8);
    EXPECT_EQ(r.description, std::nullopt);
}

TEST(ReadImageFile, SampleFormatUncheckedWithoutRows)
{
    for (std::uint32_t format : {2u, 3u}) {
        SCOPED_TRACE(format);
        TiffBuilder b;
        b.Short(tb::kSampleFormat, format);
        Good(b);
        ReadResult r = ReadFile(b.Build(), {true, true, false, true, true});
        EXPECT_FALSE(r.fatal) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.width, 2);
        EXPECT_EQ(r.bits, 8);
        EXPECT_EQ(r.photometric, 1);
        r = ReadFile(b.Build());
        EXPECT_EQ(r.err, Fatal("bad sample format."));
    }
}

struct PhotometricCase {
    std::uint32_t value;
    const char* message;  // nullptr: handed out as it stands
};

// The PhotometricInterpretation is handed out with the rows and without them;
// without rows it is checked only when it is asked for.
TEST(ReadImageFile, PhotometricIsHandedOut)
{
    const std::vector<PhotometricCase> cases = {
        {0, nullptr}, {1, nullptr}, {2, "bad photometric interpretation."},
        {3, nullptr}, {4, nullptr}, {5, "bad photometric interpretation."},
    };
    for (const auto& c : cases) {
        for (bool rows : {true, false}) {
            SCOPED_TRACE(testing::Message() << c.value << (rows ? " with rows" : " without rows"));
            TiffBuilder b;
            b.Short(tb::kPhotometric, c.value);
            Good(b);
            const ReadResult r = ReadFile(b.Build(), {true, true, rows, true, true});
            if (c.message == nullptr) {
                EXPECT_FALSE(r.fatal) << r.err;
                EXPECT_EQ(r.photometric, static_cast<std::int32_t>(c.value));
                if (rows) {
                    EXPECT_EQ(r.rows, kGoodRows);
                }
            } else {
                EXPECT_TRUE(r.fatal);
                EXPECT_EQ(r.err, Fatal(c.message));
            }
            // Not asked for and no rows: not looked at.
            const ReadResult quiet = ReadFile(b.Build(), {true, true, false, true, false});
            EXPECT_FALSE(quiet.fatal) << quiet.err;
            EXPECT_EQ(quiet.photometric, -1);
        }
    }

    // Absent: refused whenever it is looked at.
    TiffBuilder b;
    Good(b, {tb::kPhotometric});
    EXPECT_EQ(ReadFile(b.Build(), {false, false, false, false, true}).err,
              Fatal("bad photometric interpretation."));
    EXPECT_FALSE(ReadFile(b.Build(), {false, false, false, false, false}).fatal);

    // A fault checked earlier is reported first: compression before photometric.
    TiffBuilder c;
    c.Short(tb::kCompression, 7);
    c.Short(tb::kPhotometric, 2);
    Good(c);
    EXPECT_EQ(ReadFile(c.Build(), {true, true, true, true, true}).err,
              Fatal("unknown image compression method."));
}

TEST(ReadImageFile, BitsPerSampleDefaultsToOne)
{
    for (bool absent : {true, false}) {
        TiffBuilder b;
        if (!absent) b.Shorts(tb::kBits, {8, 8, 8});  // count 3 counts as absent
        b.Short(tb::kWidth, 10);
        b.Short(tb::kLength, 1);
        b.Short(tb::kPhotometric, 0);
        b.Strips({{0xB3, 0x80}});
        const ReadResult r = ReadFile(b.Build());
        EXPECT_FALSE(r.fatal) << r.err;
        EXPECT_EQ(r.bits, 1);
        EXPECT_EQ(r.rows, (Rows{{1, 0, 1, 1, 0, 0, 1, 1, 1, 0}}));
    }
}

// ------------------------------------------------------ description

struct TextCase {
    const char* name;
    std::function<void(TiffBuilder&)> build;
    std::optional<std::string> text;
    const char* message;
};

TEST(ReadImageFile, Description)
{
    const std::string longText(70000, 'x');
    const std::vector<TextCase> cases = {
        {"absent", [](TiffBuilder&) {}, std::nullopt, nullptr},
        {"in the entry", [](TiffBuilder& b) { b.Ascii(tb::kDescription, std::string("ab\0", 3)); },
         "ab", nullptr},
        {"four bytes in the entry",
         [](TiffBuilder& b) { b.Ascii(tb::kDescription, std::string("abc\0", 4)); }, "abc",
         nullptr},
        {"count 0", [](TiffBuilder& b) { b.Ascii(tb::kDescription, ""); }, "", nullptr},
        {"at an offset",
         [](TiffBuilder& b) { b.Ascii(tb::kDescription, std::string("0.5\t2.25\0", 9)); },
         "0.5\t2.25", nullptr},
        {"without its NUL", [](TiffBuilder& b) { b.Ascii(tb::kDescription, "abcdefg"); }, "abcdefg",
         nullptr},
        {"stops at an inner NUL",
         [](TiffBuilder& b) { b.Ascii(tb::kDescription, std::string("ab\0cdef", 7)); }, "ab",
         nullptr},
        {"longer than the first buffer",
         [&](TiffBuilder& b) { b.Ascii(tb::kDescription, longText); }, longText, nullptr},
        {"of type SHORT",
         [](TiffBuilder& b) {
             b.Shorts(tb::kDescription, {65, 66});
         },
         std::nullopt, nullptr},
        {"duplicate: the first counts",
         [](TiffBuilder& b) { b.Ascii(tb::kDescription, "one"), b.Ascii(tb::kDescription, "two"); },
         "one", nullptr},
        {"past the end of the file",
         [](TiffBuilder& b) { b.At(tb::kDescription, tb::kAscii, 10, 4000); }, std::nullopt,
         "missing image description."},
        {"longer than the file",
         [](TiffBuilder& b) { b.At(tb::kDescription, tb::kAscii, 1000, 8); }, std::nullopt,
         "missing image description."},
        {"count 2^32-1", [](TiffBuilder& b) { b.At(tb::kDescription, tb::kAscii, 0xFFFFFFFFu, 8); },
         std::nullopt, "missing image description."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TiffBuilder b;
        c.build(b);
        Good(b);
        const ReadResult r = ReadFile(b.Build());
        if (c.message == nullptr) {
            EXPECT_FALSE(r.fatal) << r.err;
            EXPECT_EQ(r.description, c.text);
            EXPECT_EQ(r.rows, kGoodRows);
        } else {
            EXPECT_EQ(r.err, Fatal(c.message));
        }
    }
}

// ------------------------------------------------------------ samples

ReadResult ReadStrip(bool big, std::uint32_t width, std::uint32_t height, std::uint32_t bits,
                     std::uint32_t compression, const std::vector<Bytes>& strips,
                     std::function<void(TiffBuilder&)> extra = {})
{
    TiffBuilder b(big);
    if (extra) extra(b);
    b.Image(width, height, bits, compression);
    if (strips.size() > 1)
        b.Long(tb::kRowsPerStrip, (height + static_cast<std::uint32_t>(strips.size()) - 1) /
                                      static_cast<std::uint32_t>(strips.size()));
    b.Strips(strips);
    return ReadFile(b.Build());
}

TEST(ReadImageFile, TwelveBitRowsStartOnBytes)
{
    for (bool big : {false, true}) {
        const ReadResult r =
            ReadStrip(big, 3, 2, 12, tb::kNone,
                      {{0xAB, 0xCD, 0xEF, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDF}});
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.rows, (Rows{{0xABC, 0xDEF, 0x123}, {0x567, 0x89A, 0xBCD}}));
    }
}

TEST(ReadImageFile, SixteenBitFollowsByteOrder)
{
    EXPECT_EQ(ReadStrip(true, 2, 1, 16, tb::kNone, {{0x12, 0x34, 0xAB, 0xCD}}).rows,
              (Rows{{0x1234, 0xABCD}}));
    EXPECT_EQ(ReadStrip(false, 2, 1, 16, tb::kNone, {{0x12, 0x34, 0xAB, 0xCD}}).rows,
              (Rows{{0x3412, 0xCDAB}}));
}

TEST(ReadImageFile, SmallDepthsUnpackMostSignificantFirst)
{
    // 3 bits: 101 110 011 1|00 ... samples 5 6 3 4, the last byte padded.
    EXPECT_EQ(ReadStrip(false, 4, 1, 3, tb::kNone, {{0xB9, 0xC0}}).rows, (Rows{{5, 6, 3, 4}}));
    // 2 bits over two rows of 3: each row one byte, low bits dropped.
    EXPECT_EQ(ReadStrip(true, 3, 2, 2, tb::kNone, {{0x1B, 0xE4}}).rows,
              (Rows{{0, 1, 2}, {3, 2, 1}}));
    // 9 bits: a sample straddles three bytes at most.
    EXPECT_EQ(ReadStrip(false, 2, 1, 9, tb::kNone, {{0xFF, 0x80, 0x40}}).rows,
              (Rows{{0x1FF, 0x001}}));
}

TEST(ReadImageFile, Predictor)
{
    const auto pred = [](TiffBuilder& b) { b.Short(tb::kPredictor, 2); };
    EXPECT_EQ(ReadStrip(false, 3, 1, 8, tb::kNone, {{10, 250, 1}}, pred).rows, (Rows{{10, 4, 5}}));
    EXPECT_EQ(ReadStrip(false, 1, 2, 8, tb::kNone, {{10, 250}}, pred).rows, (Rows{{10}, {250}}));
    // Sums wrap at the depth: 16 bits big-endian, then 4 bits.
    EXPECT_EQ(
        ReadStrip(true, 3, 1, 16, tb::kNone, {{0xFF, 0xFF, 0x00, 0x02, 0x00, 0x01}}, pred).rows,
        (Rows{{0xFFFF, 1, 2}}));
    EXPECT_EQ(ReadStrip(false, 3, 1, 4, tb::kNone, {{0xF2, 0x30}}, pred).rows, (Rows{{15, 1, 4}}));
}

TEST(ReadImageFile, FillOrderReversesStoredBytes)
{
    const auto rev = [](TiffBuilder& b) { b.Short(tb::kFillOrder, 2); };
    EXPECT_EQ(ReadStrip(false, 3, 1, 8, tb::kNone, {{0x01, 0x03, 0x10}}, rev).rows,
              (Rows{{0x80, 0xC0, 0x08}}));
    // PackBits: the stored 0x01 becomes the header 0x80, a no-op; 0x7F
    // becomes 0xFE, a run of 3 copies; the stored 0xAA becomes 0x55.
    EXPECT_EQ(ReadStrip(false, 3, 1, 8, tb::kPackBits, {{0x01, 0x7F, 0xAA}}, rev).rows,
              (Rows{{0x55, 0x55, 0x55}}));
    // LZW: the code bytes are reversed before the codes are cut out.
    Bytes codes = PackCodes({{256, 9}, {65, 9}, {258, 9}, {257, 9}});
    for (auto& c : codes) {
        std::uint8_t r = 0;
        for (int i = 0; i < 8; ++i)
            if (c & (1 << i)) r |= static_cast<std::uint8_t>(0x80 >> i);
        c = r;
    }
    const ReadResult r = ReadStrip(true, 3, 1, 8, tb::kLZW, {codes}, rev);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.rows, (Rows{{0x41, 0x41, 0x41}}));
}

TEST(ReadImageFile, StripLayouts)
{
    // Height 10 with 4 rows per strip: three strips, the last of 2 rows.
    for (bool big : {false, true}) {
        TiffBuilder b(big);
        b.Image(1, 10, 8);
        b.Short(tb::kRowsPerStrip, 4);
        b.Strips({{0, 1, 2, 3}, {4, 5, 6, 7}, {8, 9}});
        const ReadResult r = ReadFile(b.Build());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.rows, (Rows{{0}, {1}, {2}, {3}, {4}, {5}, {6}, {7}, {8}, {9}}));
    }
    // SHORT tables: two strips in the entry, three at an offset.
    for (std::uint32_t n : {2u, 3u}) {
        TiffBuilder b(n == 3);
        b.Image(2, n, 8);
        b.Short(tb::kRowsPerStrip, 1);
        std::vector<std::uint32_t> offsets;
        std::vector<std::uint32_t> counts;
        Rows want;
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto v = static_cast<std::uint8_t>(10 * i);
            offsets.push_back(b.Data({v, static_cast<std::uint8_t>(v + 1)}));
            counts.push_back(2);
            want.push_back({v, static_cast<std::uint16_t>(v + 1)});
        }
        b.Shorts(tb::kOffsets, offsets);
        b.Shorts(tb::kCounts, counts);
        const ReadResult r = ReadFile(b.Build());
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.rows, want);
    }
}

// Thousands of strips: the strip tables grow past their first size.
TEST(ReadImageFile, ManyStrips)
{
    constexpr std::uint32_t kStrips = 9000;
    TiffBuilder b(true);
    b.Image(1, kStrips, 16);
    b.Short(tb::kRowsPerStrip, 1);
    std::vector<tb::Bytes> strips;
    Rows want;
    for (std::uint32_t i = 0; i < kStrips; ++i) {
        strips.push_back({static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
        want.push_back({static_cast<std::uint16_t>(i)});
    }
    b.Strips(strips);
    const ReadResult r = ReadFile(b.Build());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.rows, want);
}

TEST(ReadImageFile, OnlyTheFirstImageIsRead)
{
    TiffBuilder b;
    Good(b);
    Bytes file = b.Build();
    // Link the directory to a second one that would be refused.
    const std::size_t next = file.size() - 4;
    const auto at = static_cast<std::uint8_t>(file.size());
    file[next] = at;
    file.insert(file.end(), {1, 0, 0x01, 0x01, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    const ReadResult r = ReadFile(file);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.rows, kGoodRows);
}

// ---------------------------------------------------------- decoders

struct StripCase {
    const char* name;
    std::uint32_t compression;
    std::uint32_t width;
    std::uint32_t height;
    std::vector<Bytes> strips;
    Rows rows;        // expected samples when the read succeeds
    std::string err;  // expected standard error (warnings or the fatal line)
};

void RunStripCases(const std::vector<StripCase>& cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ReadResult r = ReadStrip(false, c.width, c.height, 8, c.compression, c.strips);
        EXPECT_EQ(r.err, c.err);
        if (!r.fatal) {
            EXPECT_EQ(r.rows, c.rows);
        }
        EXPECT_EQ(r.fatal, c.rows.empty());
    }
}

TEST(StripDecoders, Uncompressed)
{
    RunStripCases({
        {"exact", tb::kNone, 2, 2, {{1, 2, 3, 4}}, {{1, 2}, {3, 4}}, ""},
        {"one byte short", tb::kNone, 2, 2, {{1, 2, 3}}, {}, Fatal("too few codes.")},
        {"one byte long",
         tb::kNone,
         2,
         2,
         {{1, 2, 3, 4, 5}},
         {{1, 2}, {3, 4}},
         Warn("too many codes")},
        {"warning per strip, in order",
         tb::kNone,
         1,
         2,
         {{1, 9}, {2}},
         {{1}, {2}},
         Warn("too many codes")},
        {"warning before a later fatal",
         tb::kNone,
         1,
         2,
         {{1, 9}, {}},
         {},
         Warn("too many codes") + Fatal("too few codes.")},
    });
}

TEST(StripDecoders, UncompressedPastTheEndOfFile)
{
    // The strip's last two bytes would lie behind the end of the file.
    const auto build = [](std::uint32_t offset) {
        TiffBuilder b;
        b.Image(4, 1, 8);
        b.Long(tb::kOffsets, offset);
        b.Long(tb::kCounts, 4);
        return b.Build();
    };
    Bytes file = build(0);
    file = build(static_cast<std::uint32_t>(file.size() - 2));
    ReadResult r = ReadFile(file);
    EXPECT_EQ(r.err, Fatal("unexpected end of file."));

    // A byte count of 2^32 - 1 is no negative number: the strip is read and
    // the bytes left over give the warning.
    TiffBuilder c;
    c.Image(2, 1, 8);
    c.Long(tb::kOffsets, c.Data({7, 8}));
    c.Long(tb::kCounts, 0xFFFFFFFFu);
    r = ReadFile(c.Build());
    EXPECT_EQ(r.err, Warn("too many codes"));
    EXPECT_EQ(r.rows, (Rows{{7, 8}}));
}

TEST(StripDecoders, PackBits)
{
    const Bytes run128 = {129, 0x33};
    RunStripCases({
        {"run of two", tb::kPackBits, 2, 1, {{255, 0x41}}, {{0x41, 0x41}}, ""},
        {"run of 128",
         tb::kPackBits,
         128,
         1,
         {run128},
         {std::vector<std::uint16_t>(128, 0x33)},
         ""},
        {"one literal", tb::kPackBits, 1, 1, {{0, 7}}, {{7}}, ""},
        {"no-op headers", tb::kPackBits, 2, 1, {{128, 128, 1, 5, 6}}, {{5, 6}}, ""},
        {"run across rows", tb::kPackBits, 2, 2, {{253, 9}}, {{9, 9}, {9, 9}}, ""},
        {"literals across rows", tb::kPackBits, 2, 2, {{3, 1, 2, 3, 4}}, {{1, 2}, {3, 4}}, ""},
        {"run left over", tb::kPackBits, 2, 1, {{254, 9}}, {{9, 9}}, Warn("MPB too many data")},
        {"literals left over",
         tb::kPackBits,
         2,
         1,
         {{2, 1, 2, 3}},
         {{1, 2}},
         Warn("MPB too many data")},
        {"bytes left over",
         tb::kPackBits,
         2,
         1,
         {{1, 1, 2, 0}},
         {{1, 2}},
         Warn("MPB too many code")},
        {"literal short", tb::kPackBits, 3, 1, {{2, 1, 2}}, {}, Fatal("MPB too few codes.")},
        {"header missing", tb::kPackBits, 3, 1, {{1, 1, 2}}, {}, Fatal("MPB too few codes.")},
        {"run byte missing",
         tb::kPackBits,
         3,
         1,
         {{1, 1, 2, 255}},
         {},
         Fatal("MPB too few codes.")},
        {"no-op at the end",
         tb::kPackBits,
         3,
         1,
         {{1, 1, 2, 128}},
         {},
         Fatal("MPB too few codes.")},
    });
}

// Long strips of short literal groups, runs and no-ops, so that the
// boundaries of the reader's input buffer fall on every part of them.
TEST(StripDecoders, PackBitsAcrossBufferBoundaries)
{
    constexpr std::uint32_t kWidth = 1000;
    constexpr std::uint32_t kRows = 150;
    std::mt19937 rng(5);
    std::vector<Bytes> strips;
    Rows want;
    for (int s = 0; s < 4; ++s) {
        Bytes strip;
        Bytes plain;
        while (plain.size() < kWidth * kRows) {
            const std::size_t left = kWidth * kRows - plain.size();
            const unsigned kind = rng() % 3;
            const std::size_t len = std::min<std::size_t>(left, 1 + rng() % 3);
            if (kind == 0) {
                strip.push_back(128);
            } else if (kind == 1) {
                strip.push_back(static_cast<std::uint8_t>(len - 1));
                for (std::size_t i = 0; i < len; ++i) {
                    const auto v = static_cast<std::uint8_t>(rng());
                    strip.push_back(v);
                    plain.push_back(v);
                }
            } else if (len >= 2) {
                const auto v = static_cast<std::uint8_t>(rng());
                strip.push_back(static_cast<std::uint8_t>(257 - len));
                strip.push_back(v);
                plain.insert(plain.end(), len, v);
            }
        }
        for (std::uint32_t j = 0; j < kRows; ++j)
            want.emplace_back(plain.begin() + j * kWidth, plain.begin() + (j + 1) * kWidth);
        strips.push_back(strip);
    }
    const ReadResult r = ReadStrip(false, kWidth, 4 * kRows, 8, tb::kPackBits, strips);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.rows, want);
}

// 9-bit codes, the width of the first codes after a Clear.
Bytes Codes9(const std::vector<std::uint32_t>& codes)
{
    std::vector<std::pair<std::uint32_t, int>> pairs;
    for (auto c : codes) pairs.emplace_back(c, 9);
    return PackCodes(pairs);
}

TEST(StripDecoders, LZW)
{
    RunStripCases({
        {"self-defining code", tb::kLZW, 3, 1, {Codes9({256, 65, 258, 257})}, {{65, 65, 65}}, ""},
        {"no leading clear", tb::kLZW, 3, 1, {Codes9({65, 258, 257})}, {{65, 65, 65}}, ""},
        {"strings across rows",
         tb::kLZW,
         2,
         2,
         {Codes9({256, 1, 2, 258, 257})},
         {{1, 2}, {1, 2}},
         ""},
        {"clear in the middle",
         tb::kLZW,
         5,
         1,
         {Codes9({256, 1, 2, 256, 3, 258, 257})},
         {{1, 2, 3, 3, 3}},
         ""},
        {"code after clear too big",
         tb::kLZW,
         3,
         1,
         {Codes9({256, 258, 257})},
         {},
         Fatal("LZW bad code after clear code.")},
        {"code beyond the next",
         tb::kLZW,
         3,
         1,
         {Codes9({256, 65, 259, 257})},
         {},
         Fatal("LZW bad code.")},
        {"end code too early",
         tb::kLZW,
         3,
         1,
         {Codes9({256, 65, 257})},
         {},
         Fatal("LZW unexpected end of code.")},
        {"codes run out", tb::kLZW, 3, 1, {Codes9({256, 65})}, {}, Fatal("LZW too few codes.")},
        {"no end code",
         tb::kLZW,
         3,
         1,
         {Codes9({256, 65, 258})},
         {{65, 65, 65}},
         Warn("LZW missing end of code")},
        {"string left over",
         tb::kLZW,
         2,
         1,
         {Codes9({256, 65, 258, 257})},
         {{65, 65}},
         Warn("LZW too many data")},
        {"bytes after the end code",
         tb::kLZW,
         3,
         1,
         {[] {
             Bytes s = Codes9({256, 65, 258, 257});
             s.push_back(0);
             s.push_back(0);
             return s;
         }()},
         {{65, 65, 65}},
         Warn("LZW too many code")},
        {"wrong code at the end",
         tb::kLZW,
         1,
         1,
         {Codes9({256, 65, 66})},
         {{65}},
         Warn("LZW missing end of code")},
    });
}

// Codes 0..253 after a Clear: the decoder's next free code reaches 511 with
// the last of them, so it expects 10-bit codes from there on.  An end code of
// 10 bits and one of 9 bits (as written before the increase) both count.
TEST(StripDecoders, LZWEndCodeAtEitherWidth)
{
    for (int endWidth : {9, 10}) {
        SCOPED_TRACE(endWidth);
        std::vector<std::pair<std::uint32_t, int>> codes = {{256, 9}};
        Rows want(1);
        for (std::uint32_t c = 0; c < 254; ++c) {
            codes.emplace_back(c, 9);
            want[0].push_back(static_cast<std::uint16_t>(c));
        }
        codes.emplace_back(257, endWidth);
        for (int pad : {0, 1}) {
            Bytes strip = PackCodes(codes);
            if (pad) strip.push_back(0);
            const ReadResult r = ReadStrip(false, 254, 1, 8, tb::kLZW, {strip});
            // The 9-bit end code ends on a byte boundary, one bit short of
            // the decoder's 10: a pad byte completes the look-up (no
            // surplus), and without it the end code is taken at 9 bits.
            EXPECT_EQ(r.err, pad && endWidth == 10 ? Warn("LZW too many code") : "");
            EXPECT_EQ(r.rows, want);
        }
        // Any other code in the place of that end code is refused.
        codes.back() = {65, endWidth};
        const ReadResult r = ReadStrip(false, 254, 1, 8, tb::kLZW, {PackCodes(codes)});
        EXPECT_EQ(r.err, Warn("LZW missing end of code"));
        EXPECT_EQ(r.rows, want);
    }
}

// The next free code after `defined` table entries, and the widths that go
// with it, simulated the way the code stream defines them.
std::vector<std::pair<std::uint32_t, int>> RepeatZero(int count)
{
    std::vector<std::pair<std::uint32_t, int>> codes = {{256, 9}, {0, 9}};
    int width = 9;
    std::uint32_t next = 258;
    for (int i = 1; i < count; ++i) {
        codes.emplace_back(0, width);
        ++next;  // each code after the first defines one entry
        if ((next == 511 || next == 1023 || next == 2047) && width < 12) ++width;
    }
    return codes;
}

TEST(StripDecoders, LZWFullTableNeedsClear)
{
    // 1 + 3838 codes fill the table to 4095; one more is refused.
    auto codes = RepeatZero(1 + 3838);
    Bytes ok = PackCodes([&] {
        auto c = codes;
        c.emplace_back(257, 12);
        return c;
    }());
    ReadResult r = ReadStrip(false, 3839, 1, 8, tb::kLZW, {ok});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.rows, (Rows{std::vector<std::uint16_t>(3839, 0)}));

    codes.emplace_back(0, 12);
    r = ReadStrip(false, 3840, 1, 8, tb::kLZW, {PackCodes(codes)});
    EXPECT_EQ(r.err, Fatal("LZW missing clear code."));

    // A Clear at that point starts over at 9 bits.
    codes.back() = {256, 12};
    codes.emplace_back(7, 9);
    codes.emplace_back(257, 9);
    r = ReadStrip(false, 3840, 1, 8, tb::kLZW, {PackCodes(codes)});
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0].back(), 7);
}

TEST(StripDecoders, LZWLongRunsAcrossRows)
{
    // A run of zeros as self-defining codes: strings of 1, 2, 3, ... bytes,
    // handed out across many short rows and two strips.
    auto codes = RepeatZero(1);
    std::uint32_t next = 258;
    int width = 9;
    std::uint32_t total = 1;
    for (std::uint32_t len = 2; len <= 300; ++len) {
        codes.emplace_back(next, width);
        ++next;
        if ((next == 511 || next == 1023 || next == 2047) && width < 12) ++width;
        total += len;
    }
    codes.emplace_back(257, width);
    const Bytes strip = PackCodes(codes);
    ASSERT_EQ(total % 7, 0u);  // 45150 bytes: rows of 7
    TiffBuilder b;
    b.Image(7, 2 * total / 7, 8, tb::kLZW);
    b.Long(tb::kRowsPerStrip, total / 7);
    b.Strips({strip, strip});
    const ReadResult r = ReadFile(b.Build());
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.rows.size(), 2 * total / 7);
    for (const auto& row : r.rows) EXPECT_EQ(row, std::vector<std::uint16_t>(7, 0));
}

}  // namespace
