#include "support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace testsupport {

std::string Program(const std::string& name)
{
    return std::string(BIN_DIR) + "/" + name;
}

#ifdef BLUR_EMULATOR
namespace {

// The ELF identification, byte order and machine of a file; empty when it
// is not an ELF file.
std::string ElfMachine(const std::string& path)
{
    const std::size_t kMachineEnd = 20;  // e_ident, e_type, e_machine
    std::ifstream in(path, std::ios::binary);
    std::string header(kMachineEnd, '\0');
    if (!in.read(header.data(), static_cast<std::streamsize>(header.size())) ||
        header.compare(0, 4, "\177ELF") != 0)
        return {};
    return header.substr(0, 6) + header.substr(18, 2);
}

}  // namespace
#endif

std::vector<std::string> CommandLine(const std::string& program,
                                     const std::vector<std::string>& args)
{
    std::vector<std::string> line;
#ifdef BLUR_EMULATOR
    static const std::string target = ElfMachine("/proc/self/exe");
    if (!target.empty() && ElfMachine(program) == target) {
        std::istringstream emulator(BLUR_EMULATOR);
        for (std::string word; std::getline(emulator, word, ',');) line.push_back(word);
    }
#endif
    line.push_back(program);
    line.insert(line.end(), args.begin(), args.end());
    return line;
}

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::string& cwd)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

    std::vector<std::string> line = CommandLine(program, args);
    std::vector<char*> argv;
    for (auto& a : line) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (rc != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("cannot start " + program);
    }

    RunResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    char buf[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "blurtest-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void WriteBytes(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

namespace {

std::string* libtiffMessages = nullptr;

void CollectMessage(const char* module, const char* fmt, va_list ap)
{
    if (libtiffMessages == nullptr) return;
    char text[1024];
    std::vsnprintf(text, sizeof text, fmt, ap);
    if (module != nullptr) {
        libtiffMessages->append(module);
        libtiffMessages->append(": ");
    }
    libtiffMessages->append(text);
    libtiffMessages->push_back('\n');
}

}  // namespace

std::optional<LibtiffImage> ReadWithLibtiff(const std::string& path)
{
    LibtiffImage image;
    libtiffMessages = &image.errors;
    const TIFFErrorHandler oldError = TIFFSetErrorHandler(CollectMessage);
    const TIFFErrorHandler oldWarning = TIFFSetWarningHandler(CollectMessage);
    struct Restore {
        TIFFErrorHandler e, w;
        ~Restore()
        {
            TIFFSetErrorHandler(e);
            TIFFSetWarningHandler(w);
            libtiffMessages = nullptr;
        }
    } restore{oldError, oldWarning};

    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr) return std::nullopt;
    std::uint16_t spp = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &image.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &image.compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &image.photometric);
    char* text = nullptr;
    if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &text) == 1 && text != nullptr)
        image.description = std::string(text);

    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize64(tif)));
    image.samples.resize(static_cast<std::size_t>(image.width) * image.height);
    bool ok = true;
    for (std::uint32_t y = 0; y < image.height && ok; ++y) {
        if (TIFFReadScanline(tif, line.data(), y, 0) < 0) {
            ok = false;
            break;
        }
        // libtiff hands 24-bit samples over in the host's byte order: it
        // reverses each group of three bytes when the file's order is not the
        // host's.  Like the other depths that are not 8, 16 or 32, they are
        // read here as the file's bit string, so the reversal is undone.
        if (image.bits == 24 && TIFFIsByteSwapped(tif))
            for (std::size_t i = 0; i + 2 < line.size(); i += 3) std::swap(line[i], line[i + 2]);
        std::uint32_t* out = image.samples.data() + static_cast<std::size_t>(y) * image.width;
        for (std::uint32_t x = 0; x < image.width; ++x) {
            if (image.bits == 8) {
                out[x] = line[x];
            } else if (image.bits == 16) {
                std::uint16_t v;
                std::memcpy(&v, line.data() + 2 * x, 2);
                out[x] = v;
            } else if (image.bits == 32) {
                std::uint32_t v;
                std::memcpy(&v, line.data() + 4 * x, 4);
                out[x] = v;
            } else {
                std::uint32_t v = 0;
                const std::uint64_t first = static_cast<std::uint64_t>(x) * image.bits;
                for (std::uint32_t b = 0; b < image.bits; ++b) {
                    const std::uint64_t bit = first + b;
                    v = (v << 1) | ((line[bit / 8] >> (7 - bit % 8)) & 1u);
                }
                out[x] = v;
            }
        }
    }
    TIFFClose(tif);
    if (!ok) return std::nullopt;
    return image;
}

bool StoreWithLibtiff(const std::string& path, const Image& image, const LibtiffLayout& layout,
                      const char* description)
{
    TIFF* tif = TIFFOpen(path.c_str(), layout.bigEndian ? "wb" : "wl");
    if (tif == nullptr) return false;
    const auto width = static_cast<std::uint32_t>(image.width);
    const auto height = static_cast<std::uint32_t>(image.height);
    const int bits = image.bits;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, layout.compression);
    TIFFSetField(tif, TIFFTAG_FILLORDER, layout.fillOrder);
    if (layout.predictor != PREDICTOR_NONE) TIFFSetField(tif, TIFFTAG_PREDICTOR, layout.predictor);
    if (layout.rowsPerStrip != 0) TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
    if (description != nullptr) TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize64(tif)));
    bool ok = true;
    for (std::uint32_t y = 0; y < height && ok; ++y) {
        std::fill(line.begin(), line.end(), 0);
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint16_t s =
                image.at(static_cast<std::int32_t>(x), static_cast<std::int32_t>(y));
            if (bits == 16) {
                std::memcpy(line.data() + 2 * x, &s, 2);
            } else if (bits == 8) {
                line[x] = static_cast<std::uint8_t>(s);
            } else {
                for (int b = 0; b < bits; ++b) {
                    const std::uint64_t bit = static_cast<std::uint64_t>(x) * bits + b;
                    if ((s >> (bits - 1 - b)) & 1) line[bit / 8] |= 0x80 >> (bit % 8);
                }
            }
        }
        ok = TIFFWriteScanline(tif, line.data(), y, 0) == 1;
    }
    TIFFClose(tif);
    return ok;
}

}  // namespace testsupport
