// The writer's output file: the one stream the file is written through, the
// temporary file beside the target and its rename over it, the signal
// handlers that remove the temporary, the owner and mode kept from the file
// it replaces, and the writer's failure (see sif_storage.hpp).
#include "sif_storage.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "error.hpp"

namespace {

std::FILE* file = nullptr;         // the output stream
const char* outputPath = nullptr;  // the path as the caller gave it, for NotStored

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

// False when the mode cannot be set.
bool KeepOwnerAndMode(int fd, const struct stat& old)
{
    if (old.st_uid != geteuid() || old.st_gid != getegid()) {
        // Changing the owner takes privilege; the group may still be ours to set.
        if (fchown(fd, old.st_uid, old.st_gid) != 0) static_cast<void>(fchown(fd, -1, old.st_gid));
    }
    // After fchown, which clears the set-user-ID and set-group-ID bits.
    return fchmod(fd, old.st_mode & 07777) == 0 || errno == EPERM;
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

}  // namespace

namespace sif {

void DiscardOutput()
{
    if (file != nullptr) std::fclose(file);
    file = nullptr;
    if (tempExists != 0) unlink(tempPath);
    tempExists = 0;
    RestoreHandlers();
}

bool OpenOutput(const char* path)
{
    outputPath = path;
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
        return false;
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
                return false;
            }
            return !exists || KeepOwnerAndMode(fd, old);
        }
        // No new file in that directory: without the right to create one
        // the path is written in place; short of space or descriptors
        // nothing is touched.
        if (error != EACCES && error != EPERM && error != EROFS && error != ENAMETOOLONG &&
            error != ENOENT && error != ENOTDIR)
            return false;
    }
    file = std::fopen(path, "wb");
    return file != nullptr;
}

bool WriteOutput(const unsigned char* bytes, std::size_t n)
{
    return std::fwrite(bytes, 1, n, file) == n;
}

bool PatchOutput(long offset, const unsigned char* bytes, std::size_t n)
{
    return std::fseek(file, offset, SEEK_SET) == 0 && std::fwrite(bytes, 1, n, file) == n;
}

bool CloseOutput()
{
    const int closed = std::fclose(file);
    file = nullptr;
    if (closed != 0) return false;
    if (tempExists == 0) return true;
    const sigset_t mask = BlockCleanupSignals();
    if (rename(tempPath, targetPath.c_str()) != 0) {
        RestoreSignalMask(mask);
        return false;
    }
    tempExists = 0;
    RestoreHandlers();
    RestoreSignalMask(mask);
    return true;
}

void NotStored()
{
    DiscardOutput();
    std::fprintf(stderr, "%s : file not stored.\n", outputPath);
    ExitFailure();
}

}  // namespace sif
