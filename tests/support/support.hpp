// Helpers shared by the tests: running the built programs, temporary
// directories, file bytes, and libtiff as an independent TIFF reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Path of a program built into the build tree's bin directory.
std::string Program(const std::string& name);

struct RunResult {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs `program` with `args` (no shell), standard input from /dev/null, in
// working directory `cwd` when given, and captures both output streams.
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::string& cwd = "");

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// A TIFF image as libtiff reads it.
struct LibtiffImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t bits = 0;
    std::uint16_t compression = 0;
    std::uint16_t photometric = 0;
    std::uint32_t rowsPerStrip = 0;
    std::optional<std::string> description;  // absent when the tag is absent
    std::vector<std::uint32_t> samples;      // row by row, unpacked
    std::string errors;                      // libtiff's errors and warnings
    std::uint32_t at(std::uint32_t x, std::uint32_t y) const { return samples[y * width + x]; }
};

// Reads the first image of a greyscale TIFF with libtiff (any depth 1..32,
// any compression libtiff knows).  Errors and warnings go to `errors`;
// returns std::nullopt when libtiff cannot read the file.
std::optional<LibtiffImage> ReadWithLibtiff(const std::string& path);

}  // namespace testsupport
