// Runs the reader in-process with its fatal exit turned into an exception,
// and captures what it prints, with the file's path replaced by "F".
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "fatal_exit.hpp"
#include "rif.hpp"
#include "support.hpp"
#include "tiff_builder.hpp"

namespace rifharness {

using testsupport::FatalExit;

struct ReadResult {
    bool fatal = false;
    std::string err;  // standard error, path replaced by "F"
    int status = -1;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::int32_t photometric = -1;  // -1: not handed out
    std::vector<std::vector<std::uint16_t>> rows;
    std::optional<std::string> description;  // as returned, up to its first NUL
};

struct Want {
    bool sizes = true;
    bool bits = true;
    bool rows = true;
    bool description = true;
    bool photometric = false;
};

inline std::string ReplaceAll(std::string s, const std::string& from, const std::string& to)
{
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

inline ReadResult ReadPath(const std::string& path, Want want = {})
{
    ReadResult r;
    std::uint16_t** rows = nullptr;
    char* text = nullptr;
    testing::internal::CaptureStderr();
    try {
        const testsupport::ThrowOnFatalScope throwOnFatal;
        r.status = ReadImageFile(path.c_str(), want.sizes ? &r.width : nullptr,
                                 want.sizes ? &r.height : nullptr, want.bits ? &r.bits : nullptr,
                                 want.rows ? &rows : nullptr, want.description ? &text : nullptr,
                                 want.photometric ? &r.photometric : nullptr);
    } catch (const FatalExit&) {
        r.fatal = true;
    }
    r.err = ReplaceAll(testing::internal::GetCapturedStderr(), path, "F");
    if (r.fatal) {
        // The reader releases everything and nulls the out-parameters first.
        EXPECT_EQ(rows, nullptr);
        EXPECT_EQ(text, nullptr);
        return r;
    }
    if (rows != nullptr) {
        for (std::int32_t j = 0; j < r.height; ++j) {
            r.rows.emplace_back(rows[j], rows[j] + r.width);
            std::free(rows[j]);
        }
        std::free(rows);
    }
    if (text != nullptr) {
        r.description = std::string(text);
        std::free(text);
    }
    return r;
}

inline ReadResult ReadFile(const tiffbuilder::Bytes& bytes, Want want = {})
{
    testsupport::TempDir dir;
    const std::string path = dir.file("in.tif");
    testsupport::WriteBytes(path, bytes);
    return ReadPath(path, want);
}

}  // namespace rifharness
