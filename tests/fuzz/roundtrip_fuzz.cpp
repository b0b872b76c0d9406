// libFuzzer target for the writer and the reader together: the input bytes
// choose an image (roundtrip.hpp), which is stored with StoreImageFile and
// read back with ReadImageFile.  Any difference, and any fatal exit of
// either side, aborts.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "error.hpp"
#include "roundtrip.hpp"

namespace {

[[noreturn]] void AbortOnFatal()
{
    std::abort();
}

// RIF_FUZZ_FILE when set (the fuzz script sets it and removes it
// afterwards), else one file per process in /dev/shm, removed at exit.
std::string OutputPath()
{
    if (const char* given = std::getenv("RIF_FUZZ_FILE"); given != nullptr && *given != '\0')
        return given;
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    static std::string path =
        std::string(dir) + "/roundtrip_fuzz_" + std::to_string(getpid()) + ".tif";
    std::atexit([] { unlink(path.c_str()); });
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const std::string path = OutputPath();
    SetFatalHook(AbortOnFatal);
    const roundtrip::Image image = roundtrip::ImageFromBytes(data, size);
    const std::string why = roundtrip::StoreAndReadBack(image, path);
    if (!why.empty()) {
        std::fprintf(stderr, "round trip of %d x %d, %d bits: %s\n", image.width, image.height,
                     image.bits, why.c_str());
        std::abort();
    }
    return 0;
}
