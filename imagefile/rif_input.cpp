// The reader's input: the stored bytes through one buffer, and the
// path-prefixed messages (see rif_input.hpp).
#include "rif_input.hpp"

#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "error.hpp"

namespace rif {

Reader rd;
unsigned char inBuf[kInSize];

void ReleaseReader()
{
    if (rd.file != nullptr) std::fclose(rd.file);
    std::free(rd.offsets);
    std::free(rd.counts);
    if (rd.rowTable != nullptr)
        for (std::uint32_t j = 0; j < rd.rowsMade; ++j) std::free(rd.rowTable[j]);
    std::free(rd.rowTable);
    std::free(rd.text);
    rd = Reader{};
}

// The process ends here, so releasing first changes nothing that can be
// seen; it only lets a test hook that returns to the caller run again
// without leaking the file or the memory.
[[noreturn]] void FileError(const char* message)
{
    std::fprintf(stderr, "%s : %s\n", rd.path, message);
    ReleaseReader();
    ExitFailure();
}

void FileWarning(const char* message)
{
    std::fprintf(stderr, "%s : %s (warning).\n", rd.path, message);
}

void Seek(std::uint64_t offset)
{
    if (offset >= rd.inBase && offset - rd.inBase <= rd.inLen) {
        rd.inPos = static_cast<std::size_t>(offset - rd.inBase);
    } else {
        rd.inBase = offset;
        rd.inPos = rd.inLen = 0;
    }
}

bool Refill()
{
    const std::uint64_t at = rd.inBase + rd.inLen;
    rd.inBase = at;
    rd.inPos = rd.inLen = 0;
    if (at != rd.filePos) {
        if (fseeko(rd.file, static_cast<off_t>(at), SEEK_SET) != 0) return false;
        rd.filePos = at;
    }
    rd.inLen = std::fread(inBuf, 1, kInSize, rd.file);
    rd.filePos = at + rd.inLen;
    return rd.inLen > 0;
}

std::size_t ReadSome(unsigned char* dst, std::size_t n)
{
    std::size_t done = 0;
    while (done < n) {
        if (rd.inPos == rd.inLen && !Refill()) break;
        const std::size_t k = std::min(n - done, rd.inLen - rd.inPos);
        std::memcpy(dst + done, inBuf + rd.inPos, k);
        rd.inPos += k;
        done += k;
    }
    return done;
}

void ReadAll(unsigned char* dst, std::size_t n)
{
    if (ReadSome(dst, n) != n) FileError("unexpected end of file.");
}

}  // namespace rif
