// libFuzzer target for the TIFF reader.  Each input is written to a file
// (the reader takes a path) and read twice: with every out-parameter, and
// with the description alone.  The reader's fatal exit is turned into an
// exception by the test hook; the reader releases everything it holds
// before it gets there, so leak detection stays on.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "error.hpp"
#include "fatal_exit.hpp"
#include "rif.hpp"

namespace {

using testsupport::FatalExit;
using testsupport::ThrowOnFatal;

// The file each input goes through: RIF_FUZZ_FILE when set (the fuzz script
// sets it and removes it afterwards), else one per process in /dev/shm,
// removed at exit.
std::string InputPath()
{
    if (const char* given = std::getenv("RIF_FUZZ_FILE"); given != nullptr && *given != '\0')
        return given;
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    static std::string path = std::string(dir) + "/rif_fuzz_" + std::to_string(getpid()) + ".tif";
    std::atexit([] { unlink(path.c_str()); });
    return path;
}

void ReadOnce(const char* path, bool all)
{
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits = 0;
    std::uint16_t** rows = nullptr;
    char* text = nullptr;
    try {
        ReadImageFile(path, all ? &width : nullptr, all ? &height : nullptr, all ? &bits : nullptr,
                      all ? &rows : nullptr, &text);
    } catch (const FatalExit&) {
        return;
    }
    if (rows != nullptr) {
        // Touch every sample, so that a row shorter than its width shows.
        unsigned sum = 0;
        for (std::int32_t j = 0; j < height; ++j) {
            for (std::int32_t k = 0; k < width; ++k) sum += rows[j][k];
            std::free(rows[j]);
        }
        std::free(rows);
        if (sum == 0xFFFFFFFFu) std::abort();  // keeps the loop
    }
    std::free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = InputPath();
    SetFatalHook(ThrowOnFatal);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    ReadOnce(path.c_str(), true);
    ReadOnce(path.c_str(), false);
    return 0;
}
