// Helpers shared by the tests: running the built programs, temporary
// directories, file bytes, and libtiff as an independent TIFF reader.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image.hpp"

namespace testsupport {

// Path of a program built into the build tree's bin directory.
std::string Program(const std::string& name);

// The argument vector that starts `program` with `args`.  In a cross build
// the tests run under an emulator, and a program built for the target (an
// ELF file for the machine this test runs as) is started through it; the
// host's own programs and scripts start directly.
std::vector<std::string> CommandLine(const std::string& program,
                                     const std::vector<std::string>& args);

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
    std::optional<std::string> description;  // absent when the tag is absent
    std::vector<std::uint32_t> samples;      // row by row, unpacked
    std::string errors;                      // libtiff's errors and warnings
    std::uint32_t at(std::uint32_t x, std::uint32_t y) const { return samples[y * width + x]; }
};

// Reads the first image of a greyscale TIFF with libtiff (any depth 1..32,
// any compression libtiff knows).  Errors and warnings go to `errors`;
// returns std::nullopt when libtiff cannot read the file.
std::optional<LibtiffImage> ReadWithLibtiff(const std::string& path);

// How StoreWithLibtiff lays out the file.
struct LibtiffLayout {
    bool bigEndian = true;
    std::uint16_t compression = 1;   // COMPRESSION_NONE
    std::uint16_t fillOrder = 1;     // FILLORDER_MSB2LSB
    std::uint16_t predictor = 1;     // PREDICTOR_NONE
    std::uint32_t rowsPerStrip = 0;  // 0: libtiff's default
};

// Writes the image (1 to 16 bits per sample, BlackIsZero) through libtiff's
// own API, so that the file comes from a writer no one here wrote.
// Scanlines are packed most significant bit first; 16-bit samples are
// handed over in host order and libtiff stores them in the file's byte
// order.  Returns false when libtiff refuses.
bool StoreWithLibtiff(const std::string& path, const Image& image, const LibtiffLayout& layout,
                      const char* description = nullptr);

}  // namespace testsupport
