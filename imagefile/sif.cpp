// TIFF writer and LZW encoder.
//
// The file has a fixed shape: an 8-byte header whose directory offset is
// patched last, the description (when it does not fit into its directory
// entry), the LZW strips of at most 8192 uncompressed bytes each, the two
// strip tables (only with several strips), and one directory of 10 or 11
// entries at the end.  Every part starts at an even offset.
#include "sif.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "error.hpp"
#include "sif_layout.hpp"
#include "size.hpp"
#include "tiff_format.hpp"

namespace {

using namespace tiff;

constexpr std::uint32_t kStripBytes = 8192;  // uncompressed bytes per strip at most
constexpr std::uint32_t kShortMax = 65535;
constexpr std::uint32_t kEntriesWithoutDescription = 10;
constexpr std::uint32_t kEntriesWithDescription = 11;
constexpr long kIfdOffsetAt = 4;  // where the header holds the directory's offset

// LZW encoder numbers.
constexpr int kRoofMin = 1 << kBitsMin;  // next free code at which 9 bits become 10
constexpr int kNoPrefix = kCodeCount;    // LZWhead before the first byte of a strip
// The string table: 16384 slots of 32 bits (64 KiB of static memory, the
// encoder's only fixed table), at most 3836 strings, so it is never more
// than about 23 % full and a lookup almost always ends at its first slot.
// A slot holds the key (prefix << 20 | byte << 12) and the string's code in
// its low 12 bits; all ones marks an empty slot,
// which no string can match since prefixes stop at 4093.  The first slot is
// the top 14 bits of one multiplication of prefix << 8 | byte, so keys whose
// prefixes are assigned in order and whose bytes are correlated spread out;
// collisions probe the next slot.  How the table is organised has no effect
// on the codes written.
constexpr std::uint32_t kTableSize = 16384;
constexpr std::uint32_t kTableMask = kTableSize - 1;
constexpr std::uint32_t kHashMultiplier = 0x9E3779B1u;  // odd, from the golden ratio
constexpr int kHashShift = 32 - 14;
constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;
constexpr std::uint32_t kCodeMask = 0xFFF;

// Output stream and strip byte counter, shared by the writer and the encoder.
std::FILE* file = nullptr;
const char* filePath = nullptr;  // for the failure message
// Bytes written since the current strip began; 64 bits so that even an
// absurdly long single-row strip is counted exactly and refused as too large
// instead of wrapping.
std::int64_t bytes = 0;

// Output buffer in front of `file`: the stream is written in large blocks
// instead of one call per byte.  Nothing observable depends on it.
constexpr std::size_t kOutSize = 1 << 16;
unsigned char outBuf[kOutSize];
std::size_t outLen = 0;

// Rows are packed into this buffer a chunk at a time and encoded from it.
// A byte in yields at most two code writes (a prefix and a Clear) of 12
// bits each, so at most 4 bytes out; a chunk therefore always fits the
// output buffer once it has been flushed.
constexpr std::size_t kChunkSize = 4096;
constexpr std::size_t kOutPerByte = 4;
// A code write stores 8 bytes at the output position, up to 6 beyond the
// bytes it completes.
constexpr std::size_t kStoreSlack = 8;
static_assert(kOutPerByte * (kChunkSize + 1) + kStoreSlack <= kOutSize);
unsigned char chunk[kChunkSize];

// LZW encoder state.
std::uint32_t LZWbuf = 0;          // bit buffer; codes enter at the low end
std::int32_t LZWnum = 0;           // pending low bits of LZWbuf, 0..7 between codes
std::int32_t LZWlen = 0;           // current code width, 9..12
std::int32_t LZWcode = 0;          // next free code, 258..4094
std::int32_t LZWroof = 0;          // LZWcode at which the width grows
std::int32_t LZWhead = 0;          // code of the current prefix; kNoPrefix for none
std::uint32_t LZWstr[kTableSize];  // prefix << 20 | byte << 12 | code; kEmptySlot = empty

// The output file.  An existing regular file, or the one a symbolic link
// leads to, is replaced only by a complete new file: the image is written
// into a new file created beside it, which is renamed over it after the last
// byte is written and the file closed without an error.  Any failure removes
// the new file and leaves the old one as it was.  Devices, FIFOs and a file
// whose directory takes no new file are written in place.
constexpr int kLinkHops = 40;               // nested links followed at most, as the kernel does
constexpr std::size_t kTempNameKept = 200;  // bytes of the file's name kept in the temporary's
constexpr int kTempTries = 100;             // names tried before giving up
constexpr char kTempChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
// Signals whose default action ends the process while the temporary file
// exists; their handler removes it first.  SIGXFSZ comes with a file-size
// limit, which the default action turns into an end by signal.
constexpr int kCleanupSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ};
constexpr std::size_t kSignalCount = std::size(kCleanupSignals);

std::string targetPath;                       // the file the temporary replaces
char tempPath[PATH_MAX + 1];                  // read by the signal handler
volatile std::sig_atomic_t tempExists = 0;    // tempPath names a file of ours
struct sigaction savedActions[kSignalCount];  // the actions in force before the call
bool handlerInstalled[kSignalCount] = {};
std::uint64_t nameState = 0;  // generator of temporary names

void RemoveTempOnSignal(int signal)
{
    const int savedErrno = errno;
    if (tempExists != 0) unlink(tempPath);
    tempExists = 0;
    // SA_RESETHAND has restored the default action; the signal raised again
    // is delivered when this handler returns and ends the process as it
    // would have without the handler.
    raise(signal);
    errno = savedErrno;
}

sigset_t BlockCleanupSignals()
{
    sigset_t set;
    sigset_t previous;
    sigemptyset(&set);
    for (const int signal : kCleanupSignals) sigaddset(&set, signal);
    sigprocmask(SIG_BLOCK, &set, &previous);
    return previous;
}

void RestoreSignalMask(const sigset_t& previous)
{
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Only signals left at their default action get the handler: an ignored
// signal stays ignored, and a handler of the caller's stays in charge.
void InstallHandlers()
{
    struct sigaction action {};
    action.sa_handler = RemoveTempOnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        handlerInstalled[i] = false;
        if (sigaction(kCleanupSignals[i], nullptr, &savedActions[i]) != 0) continue;
        if ((savedActions[i].sa_flags & SA_SIGINFO) != 0 || savedActions[i].sa_handler != SIG_DFL)
            continue;
        handlerInstalled[i] = sigaction(kCleanupSignals[i], &action, nullptr) == 0;
    }
}

void RestoreHandlers()
{
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (handlerInstalled[i]) sigaction(kCleanupSignals[i], &savedActions[i], nullptr);
        handlerInstalled[i] = false;
    }
}

// Closes and removes whatever the failed call has opened or created.
void DiscardOutput()
{
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    if (tempExists != 0) unlink(tempPath);
    tempExists = 0;
    RestoreHandlers();
}

[[noreturn]] void NotStored()
{
    DiscardOutput();
    std::fprintf(stderr, "%s : file not stored.\n", filePath);
    ExitFailure();
}

// Follows the symbolic links at the end of `path` to the name of the file
// they lead to, which need not exist.  False when the chain is too long or a
// link cannot be read; the path is then opened as it stands.
bool FollowLinks(const char* path, std::string* target)
{
    *target = path;
    std::string name = path;
    for (int hop = 0; hop <= kLinkHops; ++hop) {
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *target = name;
            return true;
        }
        std::string link(PATH_MAX + 1, '\0');
        const ssize_t n = readlink(name.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) {
            *target = path;
            return false;
        }
        link.resize(static_cast<std::size_t>(n));
        const std::size_t slash = name.rfind('/');
        if (link.front() != '/' && slash != std::string::npos) link.insert(0, name, 0, slash + 1);
        name = std::move(link);
    }
    *target = path;
    return false;
}

// A name for the temporary file: "<dir>/.<name>.XXXXXX" beside the target.
bool MakeTempName(const std::string& directory, const std::string& name)
{
    if (nameState == 0)
        nameState =
            static_cast<std::uint64_t>(getpid()) << 32 ^
            static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::string temp = directory + "." + name.substr(0, kTempNameKept) + ".";
    for (int i = 0; i < 6; ++i) {
        nameState = nameState * 6364136223846793005u + 1442695040888963407u;
        temp.push_back(kTempChars[(nameState >> 33) % (sizeof kTempChars - 1)]);
    }
    if (temp.size() >= sizeof tempPath) return false;
    std::memcpy(tempPath, temp.c_str(), temp.size() + 1);
    return true;
}

// Creates the temporary file exclusively.  -1 with errno set when none can
// be created.  A new file is created with the mode the direct write would
// give it (0666 less the umask); one that replaces a file starts private and
// takes the old file's owner and mode before anything is written.
int CreateTemp(const std::string& directory, const std::string& name, const struct stat* old)
{
    const mode_t mode = old != nullptr ? S_IRUSR | S_IWUSR : 0666;
    for (int attempt = 0; attempt < kTempTries; ++attempt) {
        if (!MakeTempName(directory, name)) {
            errno = ENAMETOOLONG;
            return -1;
        }
        const int fd = open(tempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            tempExists = 1;
            return fd;
        }
        if (errno != EEXIST) return -1;
    }
    errno = EEXIST;
    return -1;
}

void KeepOwnerAndMode(int fd, const struct stat& old)
{
    if (old.st_uid != geteuid() || old.st_gid != getegid()) {
        // Changing the owner takes privilege; the group may still be ours to set.
        if (fchown(fd, old.st_uid, old.st_gid) != 0) static_cast<void>(fchown(fd, -1, old.st_gid));
    }
    // After fchown, which clears the set-user-ID and set-group-ID bits.
    if (fchmod(fd, old.st_mode & 07777) != 0 && errno != EPERM) NotStored();
}

// True when the kernel lets this process rename over `old` in `directory`:
// in a sticky directory only the owner of the file or of the directory may.
bool MayReplace(const std::string& directory, const struct stat& old)
{
    struct stat dir;
    if (stat(directory.empty() ? "." : directory.c_str(), &dir) != 0) return false;
    if ((dir.st_mode & S_ISVTX) == 0) return true;
    const uid_t self = geteuid();
    return self == 0 || old.st_uid == self || dir.st_uid == self;
}

// Opens the output into `file`: a temporary file beside the target where
// the target can be replaced, the path itself otherwise.
void OpenOutput(const char* path)
{
    filePath = path;
    tempExists = 0;
    struct stat old;
    bool exists = false;
    bool replace = FollowLinks(path, &targetPath);
    if (replace) {
        if (stat(targetPath.c_str(), &old) == 0)
            exists = true;
        else
            replace = errno == ENOENT;
    }
    if (exists && !S_ISREG(old.st_mode)) replace = false;
    const std::size_t slash = targetPath.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : targetPath.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? targetPath : targetPath.substr(slash + 1);
    if (name.empty()) replace = false;
    // A file this process may not write is not stored, as with the direct
    // write; one it may write but not replace is written in place.
    if (replace && exists && faccessat(AT_FDCWD, targetPath.c_str(), W_OK, AT_EACCESS) != 0)
        NotStored();
    if (replace && exists && !MayReplace(directory, old)) replace = false;

    if (replace) {
        const sigset_t mask = BlockCleanupSignals();
        InstallHandlers();
        const int fd = CreateTemp(directory, name, exists ? &old : nullptr);
        const int error = errno;
        if (fd < 0) RestoreHandlers();
        RestoreSignalMask(mask);
        if (fd >= 0) {
            file = fdopen(fd, "wb");
            if (file == nullptr) {
                close(fd);
                NotStored();
            }
            if (exists) KeepOwnerAndMode(fd, old);
            return;
        }
        // No new file in that directory: without the right to create one
        // the path is written in place; short of space or descriptors
        // nothing is touched.
        if (error != EACCES && error != EPERM && error != EROFS && error != ENAMETOOLONG &&
            error != ENOENT && error != ENOTDIR)
            NotStored();
    }
    file = std::fopen(path, "wb");
    if (file == nullptr) NotStored();
}

// Closes the output and, for a temporary file, puts it in the target's place.
void CloseOutput()
{
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0) NotStored();
    if (tempExists == 0) return;
    const sigset_t mask = BlockCleanupSignals();
    if (rename(tempPath, targetPath.c_str()) != 0) {
        RestoreSignalMask(mask);
        NotStored();
    }
    tempExists = 0;
    RestoreHandlers();
    RestoreSignalMask(mask);
}

void Flush()
{
    if (outLen != 0 && std::fwrite(outBuf, 1, outLen, file) != outLen) NotStored();
    outLen = 0;
}

inline void PutByte(unsigned value)
{
    if (outLen == kOutSize) Flush();
    outBuf[outLen++] = static_cast<unsigned char>(value);
}

void Put2(std::uint32_t value)
{
    PutByte(value & 0xFF);
    PutByte((value >> 8) & 0xFF);
}

void Put4(std::uint32_t value)
{
    Put2(value & 0xFFFF);
    Put2(value >> 16);
}

// Writes one directory entry; a SHORT value fills the first two bytes of
// the value field.
void PutEntry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value)
{
    Put2(tag);
    Put2(type);
    Put4(count);
    if (type == kTypeShort) {
        Put2(value);
        Put2(0);
    } else {
        Put4(value);
    }
}

inline void PutCode(std::uint32_t code, std::int32_t width)
{
    LZWbuf = (LZWbuf << width) | code;
    LZWnum += width;
    while (LZWnum > 7) {
        LZWnum -= 8;
        PutByte((LZWbuf >> LZWnum) & 0xFF);
        ++bytes;
    }
}

void ResetTable()
{
    LZWlen = kBitsMin;
    std::memset(LZWstr, 0xFF, sizeof LZWstr);
    LZWcode = kCodeFirst;
    LZWroof = kRoofMin;
}

void InitLZWEncode()
{
    bytes = 0;
    LZWnum = 0;
    LZWlen = kBitsMin;
    PutCode(kCodeClear, LZWlen);
    ResetTable();
    LZWhead = kNoPrefix;
}

// Stores the 64 bits `value` most significant byte first at `out`.
inline void Store64BigEndian(unsigned char* out, std::uint64_t value)
{
    if constexpr (std::endian::native == std::endian::little) {
        value = __builtin_bswap64(value);
        std::memcpy(out, &value, sizeof value);
    } else if constexpr (std::endian::native == std::endian::big) {
        std::memcpy(out, &value, sizeof value);
    } else {
        for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(value >> (56 - 8 * i));
    }
}

// Encodes the next `n` bytes of the current strip, one LZW step per byte;
// element i of `in` supplies its low 8 bits.  The encoder state lives in
// locals for the whole call and the output space is reserved up front, so
// the inner loop is one table probe in the common case and, for a new
// string, one code write: the pending bits, at most 7 plus a 12-bit code,
// go out as one 8-byte store, of which only the completed bytes count.
template <typename T>
void Encode(const T* in, std::size_t n)
{
    if (n == 0) return;
    if (outLen + kOutPerByte * n + kOutPerByte + kStoreSlack > kOutSize) Flush();
    unsigned char* out = outBuf + outLen;
    std::uint64_t buf = LZWbuf;
    std::uint32_t num = static_cast<std::uint32_t>(LZWnum);
    std::uint32_t len = static_cast<std::uint32_t>(LZWlen);
    std::uint32_t code = static_cast<std::uint32_t>(LZWcode);
    std::uint32_t roof = static_cast<std::uint32_t>(LZWroof);
    std::uint32_t head = static_cast<std::uint32_t>(LZWhead);
    auto put = [&](std::uint32_t value) {
        buf = (buf << len) | value;
        num += len;  // 9..19 bits pending
        Store64BigEndian(out, buf << (64 - num));
        out += num >> 3;
        num &= 7;
    };

    std::size_t i = 0;
    if (head == kNoPrefix) head = static_cast<unsigned char>(in[i++]);
    for (; i < n; ++i) {
        const std::uint32_t c = static_cast<unsigned char>(in[i]);
        const std::uint32_t key = (head << 20) | (c << 12);
        std::uint32_t h = (((head << 8) | c) * kHashMultiplier) >> kHashShift;
        std::uint32_t slot = LZWstr[h];
        if ((slot ^ key) <= kCodeMask) {  // found at the first probe
            head = slot & kCodeMask;
            continue;
        }
        while (slot != kEmptySlot) {
            h = (h + 1) & kTableMask;
            slot = LZWstr[h];
            if ((slot ^ key) <= kCodeMask) break;
        }
        if (slot != kEmptySlot) {
            head = slot & kCodeMask;
            continue;
        }
        put(head);
        if (code == kCodeLimit) {
            put(kCodeClear);  // with the full 12 bits, before the width drops
            std::memset(LZWstr, 0xFF, sizeof LZWstr);
            len = kBitsMin;
            code = kCodeFirst;
            roof = kRoofMin;
        } else {
            LZWstr[h] = key | code;
            if (++code == roof) {
                roof = 2 * code;
                ++len;
            }
        }
        head = c;
    }

    bytes += out - (outBuf + outLen);
    outLen = static_cast<std::size_t>(out - outBuf);
    LZWbuf = static_cast<std::uint32_t>(buf);
    LZWnum = static_cast<std::int32_t>(num);
    LZWlen = static_cast<std::int32_t>(len);
    LZWcode = static_cast<std::int32_t>(code);
    LZWroof = static_cast<std::int32_t>(roof);
    LZWhead = static_cast<std::int32_t>(head);
}

std::int64_t TermLZWEncode()
{
    if (LZWhead != kNoPrefix) {
        PutCode(static_cast<std::uint32_t>(LZWhead), LZWlen);
        // The decoder assigns one more string after this code, so the EOI
        // takes the width it will expect.
        if (++LZWcode == LZWroof) ++LZWlen;
    }
    PutCode(kCodeEOI, LZWlen);
    if (LZWnum > 0) {
        PutByte((LZWbuf << (8 - LZWnum)) & 0xFF);
        ++bytes;
    }
    return bytes;
}

// Bits per sample outside 1 to 32: nothing in the suite writes such a file,
// but the row still yields exactly its bytes-per-row length, each sample as
// `bits` bits with zeros above its 16, so that no buffer is overrun and the
// strips agree with the declared layout.  A width of 0 or less yields nothing.
void EncodeRowOutside(const std::uint16_t* row, std::size_t count, std::int32_t bits)
{
    if (bits <= 0) return;
    unsigned acc = 0;
    int pending = 0;
    std::size_t filled = 0;
    for (std::size_t x = 0; x < count; ++x) {
        for (std::int32_t b = bits - 1; b >= 0; --b) {
            acc = (acc << 1) | (b < 16 ? (row[x] >> b) & 1u : 0u);
            if (++pending < 8) continue;
            chunk[filled++] = static_cast<unsigned char>(acc);
            acc = 0;
            pending = 0;
            if (filled == kChunkSize) {
                Encode(chunk, filled);
                filled = 0;
            }
        }
    }
    if (pending > 0) chunk[filled++] = static_cast<unsigned char>(acc << (8 - pending));
    Encode(chunk, filled);
}

// Packs one row into bytes, most significant bit first for the fractional
// widths, and passes them to the encoder a chunk at a time.  Samples are
// masked to their width so that a sample too large for the depth cannot
// spill into its neighbours.
void EncodeRow(const std::uint16_t* row, std::int32_t width, std::int32_t bits)
{
    const std::size_t count = width > 0 ? static_cast<std::size_t>(width) : 0;
    if (bits == 8 || bits == 16 || bits == 32) {
        const std::size_t step = static_cast<std::size_t>(bits) / 8;  // bytes per sample
        const std::size_t perChunk = kChunkSize / step;
        for (std::size_t x = 0; x < count; x += perChunk) {
            const std::size_t n = std::min(perChunk, count - x);
            const std::uint16_t* in = row + x;
            // 8 bits: the encoder takes each sample's low byte straight from
            // the row.  16 bits on a little-endian machine: the row's own
            // bytes are the stored order.
            if (bits == 8) {
                Encode(in, n);
                continue;
            }
            if (bits == 16 && std::endian::native == std::endian::little) {
                Encode(reinterpret_cast<const unsigned char*>(in), 2 * n);
                continue;
            }
            if (bits == 16) {
                for (std::size_t j = 0; j < n; ++j) {
                    chunk[2 * j] = static_cast<unsigned char>(in[j]);
                    chunk[2 * j + 1] = static_cast<unsigned char>(in[j] >> 8);
                }
            } else {
                for (std::size_t j = 0; j < n; ++j) {
                    chunk[4 * j] = static_cast<unsigned char>(in[j]);
                    chunk[4 * j + 1] = static_cast<unsigned char>(in[j] >> 8);
                    chunk[4 * j + 2] = 0;
                    chunk[4 * j + 3] = 0;
                }
            }
            Encode(chunk, n * step);
        }
        return;
    }
    if (bits <= 0 || bits > 32) {
        EncodeRowOutside(row, count, bits);
        return;
    }
    // At most 7 bits wait in the accumulator before a sample of up to 31
    // bits is added, so 64 bits always suffice.
    const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
    std::uint64_t acc = 0;
    int pending = 0;
    std::size_t filled = 0;
    for (std::size_t x = 0; x < count; ++x) {
        acc = (acc << bits) | (row[x] & mask);
        pending += bits;
        while (pending >= 8) {
            pending -= 8;
            chunk[filled++] = static_cast<unsigned char>(acc >> pending);
        }
        // A sample adds at most 4 bytes; keep room for the next one.
        if (filled > kChunkSize - 4) {
            Encode(chunk, filled);
            filled = 0;
        }
    }
    if (pending > 0) chunk[filled++] = static_cast<unsigned char>(acc << (8 - pending));
    Encode(chunk, filled);
}

}  // namespace

namespace tiff {

FileLayout PlanFile(std::int32_t width, std::int32_t height, std::int32_t bits,
                    std::uint64_t descLength)
{
    FileLayout layout;
    // Computed wide; equal to the 32-bit rule for every image that fits memory.
    const std::uint64_t bytesPerRow =
        (static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(bits) + 7) / 8;
    layout.rowsPerStrip =
        bytesPerRow == 0
            ? kStripBytes
            : (bytesPerRow <= kStripBytes ? kStripBytes / static_cast<std::uint32_t>(bytesPerRow)
                                          : 1);
    layout.strips = height <= 0 ? 0
                                : static_cast<std::uint32_t>((static_cast<std::uint64_t>(height) +
                                                              layout.rowsPerStrip - 1) /
                                                             layout.rowsPerStrip);
    layout.entries = descLength > 0 ? kEntriesWithDescription : kEntriesWithoutDescription;
    layout.dataStart = descLength <= kInlineBytes
                           ? kHeaderSize
                           : kHeaderSize + ((descLength + 1) & ~std::uint64_t{1});
    return layout;
}

std::uint64_t NextPart(std::uint64_t position, std::uint64_t count)
{
    return position + count + (count & 1);
}

std::uint64_t FileEnd(const FileLayout& layout, std::uint64_t tablesAt)
{
    const std::uint64_t tables =
        layout.strips > 1 ? std::uint64_t{2} * kInlineBytes * layout.strips : 0;
    return tablesAt + tables + kCountSize + std::uint64_t{kEntrySize} * layout.entries +
           kNextIfdSize;
}

}  // namespace tiff

void StoreImageFile(const char* path, std::int32_t width, std::int32_t height,
                    std::int32_t bitsPerSample, const std::uint16_t* const* rows,
                    const char* description, Photometric photometric)
{
    const std::uint64_t descLength = description == nullptr ? 0 : std::strlen(description) + 1;
    const tiff::FileLayout layout = tiff::PlanFile(width, height, bitsPerSample, descLength);
    const std::uint32_t rowsPerStrip = layout.rowsPerStrip;
    const std::uint32_t strips = layout.strips;
    const std::uint64_t dataStart = layout.dataStart;

    std::size_t countsSize = 0;
    std::uint32_t* counts = nullptr;
    if (CheckedMul(strips == 0 ? 1 : strips, sizeof(std::uint32_t), &countsSize))
        counts = static_cast<std::uint32_t*>(std::malloc(countsSize));
    if (counts == nullptr) {
        std::fprintf(stderr, "%s : no allocatable memory.\n", path);
        ExitFailure();
    }
    OpenOutput(path);
    outLen = 0;

    PutByte('I');
    PutByte('I');
    Put2(kMagic);
    Put4(0);
    if (descLength > kInlineBytes) {
        for (std::uint64_t i = 0; i < descLength; ++i)
            PutByte(static_cast<unsigned char>(description[i]));
        if (descLength & 1) PutByte(0);
    }

    // Offsets are 32-bit: a file that grows past 4 GiB cannot be stored, and
    // is refused as soon as a strip crosses the limit rather than written
    // with wrapped offsets.
    if (!tiff::FitsOffsets(dataStart)) NotStored();
    std::uint64_t position = dataStart;
    for (std::int32_t r = 0; r < height; ++r) {
        const auto ur = static_cast<std::uint32_t>(r);
        if (ur % rowsPerStrip == 0) InitLZWEncode();
        EncodeRow(rows[r], width, bitsPerSample);
        if (r + 1 == height || (ur + 1) % rowsPerStrip == 0) {
            const std::int64_t count = TermLZWEncode();
            if (count & 1) PutByte(0);
            position = tiff::NextPart(position, static_cast<std::uint64_t>(count));
            if (!tiff::FitsOffsets(position)) NotStored();
            counts[ur / rowsPerStrip] = static_cast<std::uint32_t>(count);
        }
    }
    if (!tiff::FitsOffsets(tiff::FileEnd(layout, position))) NotStored();

    // From here on every offset fits in 32 bits.
    const auto stripsAt = static_cast<std::uint32_t>(dataStart);
    const auto tablesAt = static_cast<std::uint32_t>(position);  // just behind the last strip
    std::uint32_t ifd = tablesAt;
    if (strips > 1) {
        std::uint32_t offset = stripsAt;
        for (std::uint32_t i = 0; i < strips; ++i) {
            Put4(offset);
            offset = static_cast<std::uint32_t>(tiff::NextPart(offset, counts[i]));
        }
        for (std::uint32_t i = 0; i < strips; ++i) Put4(counts[i]);
        ifd += 2 * kInlineBytes * strips;  // the two tables of one LONG a strip
    }

    const auto uwidth = static_cast<std::uint32_t>(width);
    const auto uheight = static_cast<std::uint32_t>(height);
    Put2(layout.entries);
    PutEntry(kTagImageWidth, uwidth <= kShortMax ? kTypeShort : kTypeLong, 1, uwidth);
    PutEntry(kTagImageLength, uheight <= kShortMax ? kTypeShort : kTypeLong, 1, uheight);
    PutEntry(kTagBitsPerSample, kTypeShort, 1, static_cast<std::uint32_t>(bitsPerSample));
    PutEntry(kTagCompression, kTypeShort, 1, kCompressionLZW);
    PutEntry(kTagPhotometric, kTypeShort, 1, static_cast<std::uint32_t>(photometric));
    if (descLength > 0) {
        Put2(kTagImageDescription);
        Put2(kTypeAscii);
        Put4(static_cast<std::uint32_t>(descLength));
        if (descLength > kInlineBytes) {
            Put4(kHeaderSize);
        } else {
            for (std::uint32_t i = 0; i < kInlineBytes; ++i)
                PutByte(i < descLength ? static_cast<unsigned char>(description[i]) : 0);
        }
    }
    PutEntry(kTagStripOffsets, kTypeLong, strips, strips == 1 ? stripsAt : tablesAt);
    PutEntry(kTagSamplesPerPixel, kTypeShort, 1, kOneSample);
    PutEntry(kTagRowsPerStrip, kTypeLong, 1, rowsPerStrip);
    PutEntry(kTagStripByteCounts, kTypeLong, strips,
             strips == 1 ? counts[0] : tablesAt + kInlineBytes * strips);
    PutEntry(kTagPlanarConfig, kTypeShort, 1, kChunky);
    Put4(0);
    Flush();

    unsigned char patch[4] = {
        static_cast<unsigned char>(ifd & 0xFF), static_cast<unsigned char>((ifd >> 8) & 0xFF),
        static_cast<unsigned char>((ifd >> 16) & 0xFF), static_cast<unsigned char>(ifd >> 24)};
    if (std::fseek(file, kIfdOffsetAt, SEEK_SET) != 0 ||
        std::fwrite(patch, 1, sizeof patch, file) != sizeof patch)
        NotStored();
    CloseOutput();
    std::free(counts);
}

void StoreImageFile(const char* path, std::int32_t width, std::int32_t height,
                    std::int32_t bitsPerSample, const std::uint16_t* const* rows,
                    const char* description)
{
    StoreImageFile(path, width, height, bitsPerSample, rows, description,
                   DefaultPhotometric(bitsPerSample));
}

Photometric DefaultPhotometric(std::int32_t bitsPerSample)
{
    return bitsPerSample == 1 ? Photometric::kWhiteIsZero : Photometric::kBlackIsZero;
}

Photometric KeptPhotometric(std::int32_t read, std::int32_t bitsPerSample)
{
    if (read == static_cast<std::int32_t>(Photometric::kWhiteIsZero))
        return Photometric::kWhiteIsZero;
    if (read == static_cast<std::int32_t>(Photometric::kBlackIsZero))
        return Photometric::kBlackIsZero;
    return DefaultPhotometric(bitsPerSample);
}
