// How the writer treats what is already at the output path: a failed write
// leaves it byte for byte as it was and leaves nothing behind, links stay
// links, an existing file keeps its mode and owner, devices and directories
// are opened as they stand, and a signal during a write removes the
// temporary file.  Each failing store runs in a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "child.hpp"
#include "fatal_exit.hpp"
#include "image.hpp"
#include "sif.hpp"
#include "store.hpp"
#include "support.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadBytes;
using testsupport::TempDir;
using testsupport::WriteBytes;
using Bytes = std::vector<std::uint8_t>;

constexpr uid_t kNobody = 65534;

using testsupport::ChildOutcome;
using testsupport::FileSizeLimit;
using testsupport::Image;
using testsupport::InChild;
using testsupport::RandomImage;

// Stores with our writer and a short description.
void Store(const std::string& path, const Image& image)
{
    testsupport::StoreWithOurs(path, image, "-0.000000");
}

// Names in `dir` other than `keep`: what a failed write must not leave.
std::vector<std::string> Others(const fs::path& dir, const std::vector<std::string>& keep)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (std::find(keep.begin(), keep.end(), name) == keep.end()) names.push_back(name);
    }
    return names;
}

Bytes OldContents()
{
    Bytes bytes(300);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 37);
    return bytes;
}

struct SweepCase {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    std::int32_t bits;
    bool oldFile;      // something at the path before
    std::size_t step;  // every step-th limit (1: every byte)
};

void PrintTo(const SweepCase& c, std::ostream* os)
{
    *os << c.name;
}

class FileSizeSweep : public testing::TestWithParam<SweepCase> {};

// A file-size limit of every size below the new file's makes the store fail
// at that byte: the old file stays as it was (or no file appears), the
// message names the path, nothing else is left in the directory.  At the
// full size the new file is stored.
TEST_P(FileSizeSweep, OldFileSurvivesEveryFailure)
{
    const SweepCase& c = GetParam();
    TempDir dir;
    const Image image = RandomImage(c.width, c.height, c.bits, 7);
    Store(dir.file("expected.tif"), image);
    const Bytes expected = ReadBytes(dir.file("expected.tif"));
    fs::remove(dir.file("expected.tif"));
    const std::string path = dir.file("out.tif");
    const Bytes old = OldContents();
    std::vector<std::size_t> limits;
    for (std::size_t limit = 0; limit < expected.size(); limit += c.step) limits.push_back(limit);
    for (const std::size_t near : {std::size_t{65535}, std::size_t{65536}, std::size_t{65537}})
        if (near < expected.size()) limits.push_back(near);
    limits.push_back(expected.size() - 1);
    for (const std::size_t limit : limits) {
        if (c.oldFile) WriteBytes(path, old);
        const ChildOutcome out = InChild([&] { Store(path, image); }, FileSizeLimit(limit));
        ASSERT_TRUE(out.exited) << "limit " << limit;
        ASSERT_EQ(out.status, 1) << "limit " << limit;
        ASSERT_EQ(out.err, path + " : file not stored.\n") << "limit " << limit;
        if (c.oldFile)
            ASSERT_EQ(ReadBytes(path), old) << "limit " << limit;
        else
            ASSERT_FALSE(fs::exists(path)) << "limit " << limit;
        ASSERT_EQ(Others(dir.path(), {"out.tif"}), std::vector<std::string>{}) << "limit " << limit;
    }
    if (c.oldFile) WriteBytes(path, old);
    const ChildOutcome out =
        InChild([&] { Store(path, image); }, FileSizeLimit(static_cast<rlim_t>(expected.size())));
    EXPECT_TRUE(out.exited && out.status == 0) << out.err;
    EXPECT_EQ(ReadBytes(path), expected);
    EXPECT_EQ(Others(dir.path(), {"out.tif"}), std::vector<std::string>{});
}

const SweepCase kSweepCases[] = {
    {"Small8BitOverOldFile", 6, 5, 8, true, 1},
    {"Small8BitNewFile", 6, 5, 8, false, 1},
    {"Small1Bit", 20, 3, 1, true, 1},
    {"SeveralStrips", 3000, 5, 8, true, 97},
    {"SeveralBuffers16Bit", 1000, 100, 16, true, 4099},
};

INSTANTIATE_TEST_SUITE_P(StoreImageFile, FileSizeSweep, testing::ValuesIn(kSweepCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Without SIGXFSZ ignored, the limit ends the process by that signal, as it
// would without the writer's care; the temporary file is removed first.
TEST(StoreImageFileStorage, FileSizeSignalLeavesNoTemporary)
{
    TempDir dir;
    const std::string path = dir.file("out.tif");
    const Bytes old = OldContents();
    WriteBytes(path, old);
    const Image image = RandomImage(50, 50, 8, 3);
    const ChildOutcome out = InChild([&] { Store(path, image); },
                                     [] {
                                         testsupport::LimitResource(RLIMIT_CORE, 0);
                                         testsupport::LimitResource(RLIMIT_FSIZE, 100);
                                     });
    EXPECT_FALSE(out.exited);
    EXPECT_EQ(out.signal, SIGXFSZ);
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_EQ(Others(dir.path(), {"out.tif"}), std::vector<std::string>{});
}

// A link stays a link; the file it leads to is replaced, also across
// directories, through a chain, and when it does not exist yet.
TEST(StoreImageFileStorage, SymbolicLinksStayLinks)
{
    TempDir dir;
    fs::create_directory(dir.path() / "a");
    fs::create_directory(dir.path() / "b");
    const Image image = RandomImage(9, 4, 8, 5);
    Store(dir.file("expected.tif"), image);
    const Bytes expected = ReadBytes(dir.file("expected.tif"));

    WriteBytes(dir.file("b/target.tif"), OldContents());
    fs::create_symlink("../b/target.tif", dir.path() / "a/link.tif");
    fs::create_symlink("link.tif", dir.path() / "a/chain.tif");
    fs::create_symlink("../b/later.tif", dir.path() / "a/dangling.tif");
    for (const char* name : {"a/link.tif", "a/chain.tif", "a/dangling.tif"}) {
        Store(dir.file(name), image);
        EXPECT_TRUE(fs::is_symlink(dir.path() / name)) << name;
    }
    EXPECT_EQ(fs::read_symlink(dir.path() / "a/link.tif"), "../b/target.tif");
    EXPECT_EQ(ReadBytes(dir.file("b/target.tif")), expected);
    EXPECT_EQ(ReadBytes(dir.file("b/later.tif")), expected);
    EXPECT_EQ(Others(dir.path() / "a", {"link.tif", "chain.tif", "dangling.tif"}),
              std::vector<std::string>{});
    EXPECT_EQ(Others(dir.path() / "b", {"target.tif", "later.tif"}), std::vector<std::string>{});

    // A failed write through a link leaves the target as it was.
    WriteBytes(dir.file("b/target.tif"), OldContents());
    const std::string link = dir.file("a/link.tif");
    const ChildOutcome out = InChild([&] { Store(link, image); }, FileSizeLimit(20));
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, link + " : file not stored.\n");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(ReadBytes(dir.file("b/target.tif")), OldContents());
    EXPECT_EQ(Others(dir.path() / "b", {"target.tif", "later.tif"}), std::vector<std::string>{});
}

mode_t ModeOf(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

// An existing file keeps its permission bits; a new one gets what a plain
// create gives it (0666 less the umask).
TEST(StoreImageFileStorage, ModeIsKept)
{
    TempDir dir;
    const Image image = RandomImage(4, 4, 8, 1);
    for (const mode_t mode : {mode_t{0600}, mode_t{0640}, mode_t{0755}, mode_t{0604}}) {
        const std::string path = dir.file("kept.tif");
        WriteBytes(path, OldContents());
        chmod(path.c_str(), mode);
        Store(path, image);
        EXPECT_EQ(ModeOf(path), mode);
    }
    const mode_t mask = umask(027);
    Store(dir.file("new.tif"), image);
    const int fd = open(dir.file("plain").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    close(fd);
    umask(mask);
    EXPECT_EQ(ModeOf(dir.file("new.tif")), ModeOf(dir.file("plain")));
    EXPECT_EQ(ModeOf(dir.file("new.tif")), 0640u);
}

// Owner and group are kept where the process may set them (as root here).
TEST(StoreImageFileStorage, OwnerIsKept)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs the right to give a file away";
    TempDir dir;
    const std::string path = dir.file("owned.tif");
    WriteBytes(path, OldContents());
    ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    chmod(path.c_str(), 0664);
    Store(path, RandomImage(4, 4, 8, 1));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
}

// Runs `body` as an unprivileged user when the tests run as root, so that
// permissions apply.
testsupport::ChildSetup Unprivileged()
{
    return [] {
        if (geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(99);
    };
}

void GiveAway(const fs::path& path)
{
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
    }
}

// Files and directories where the process lacks rights: a file it may not
// write is not stored and stays as it was; a writable file in a directory
// that takes no new file, or in another user's sticky directory, is written
// in place as before.
TEST(StoreImageFileStorage, PermissionsDecide)
{
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    const Image image = RandomImage(5, 3, 8, 2);
    Store(dir.file("expected.tif"), image);
    const Bytes expected = ReadBytes(dir.file("expected.tif"));

    fs::create_directory(dir.path() / "open");
    GiveAway(dir.path() / "open");
    const std::string readOnly = dir.file("open/readonly.tif");
    WriteBytes(readOnly, OldContents());
    GiveAway(readOnly);
    chmod(readOnly.c_str(), 0444);
    ChildOutcome out = InChild([&] { Store(readOnly, image); }, Unprivileged());
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, readOnly + " : file not stored.\n");
    EXPECT_EQ(ReadBytes(readOnly), OldContents());
    EXPECT_EQ(Others(dir.path() / "open", {"readonly.tif"}), std::vector<std::string>{});

    fs::create_directory(dir.path() / "closed");
    const std::string inClosed = dir.file("closed/writable.tif");
    WriteBytes(inClosed, OldContents());
    GiveAway(inClosed);
    GiveAway(dir.path() / "closed");
    chmod(dir.file("closed").c_str(), 0555);
    out = InChild([&] { Store(inClosed, image); }, Unprivileged());
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(ReadBytes(inClosed), expected);
    const std::string newInClosed = dir.file("closed/new.tif");
    out = InChild([&] { Store(newInClosed, image); }, Unprivileged());
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, newInClosed + " : file not stored.\n");
    EXPECT_EQ(Others(dir.path() / "closed", {"writable.tif"}), std::vector<std::string>{});

    if (geteuid() == 0) {
        fs::create_directory(dir.path() / "sticky");
        chmod(dir.file("sticky").c_str(), 01777);
        const std::string shared = dir.file("sticky/shared.tif");
        WriteBytes(shared, OldContents());
        chmod(shared.c_str(), 0666);
        out = InChild([&] { Store(shared, image); }, Unprivileged());
        EXPECT_EQ(out.status, 0) << out.err;
        EXPECT_EQ(ReadBytes(shared), expected);
        struct stat st;
        ASSERT_EQ(stat(shared.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(Others(dir.path() / "sticky", {"shared.tif"}), std::vector<std::string>{});
    }
}

// Devices and FIFOs are opened as they stand; a directory is not stored.
TEST(StoreImageFileStorage, NonRegularTargets)
{
    const Image image = RandomImage(5, 3, 8, 2);
    Store("/dev/null", image);
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));

    TempDir dir;
    Store(dir.file("expected.tif"), image);
    const Bytes expected = ReadBytes(dir.file("expected.tif"));
    fs::create_symlink("/dev/null", dir.path() / "null.tif");
    Store(dir.file("null.tif"), image);
    EXPECT_TRUE(fs::is_symlink(dir.path() / "null.tif"));

    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A FIFO is opened as it stands; its header cannot be patched, so the
    // store fails as it always has, and the FIFO stays a FIFO.
    const int keepOpen = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(keepOpen, 0);
    ChildOutcome out = InChild([&] { Store(fifo, image); });
    close(keepOpen);
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, fifo + " : file not stored.\n");
    EXPECT_TRUE(fs::is_fifo(fifo));

    fs::create_directory(dir.path() / "sub");
    const std::string sub = dir.file("sub");
    out = InChild([&] { Store(sub, image); });
    EXPECT_EQ(out.status, 1);
    EXPECT_EQ(out.err, sub + " : file not stored.\n");
    EXPECT_TRUE(fs::is_directory(sub));
    EXPECT_TRUE(fs::is_empty(sub));
}

// The writer is stopped while it reads the rows (a row lies on a page that
// faults); a signal then ends the process, and the temporary file it was
// writing is gone.  An ignored signal stays ignored and the store completes.
struct SignalCase {
    const char* name;
    int signal;
    bool ignored;
};

void PrintTo(const SignalCase& c, std::ostream* os)
{
    *os << c.name;
}

class SignalDuringWrite : public testing::TestWithParam<SignalCase> {};

int faultPipe = -1;
void* guardedPage = nullptr;
long pageSize = 0;

void StopOnFault(int)
{
    mprotect(guardedPage, static_cast<std::size_t>(pageSize), PROT_READ | PROT_WRITE);
    const char c = 'f';
    static_cast<void>(write(faultPipe, &c, 1));
    kill(getpid(), SIGSTOP);
}

TEST_P(SignalDuringWrite, LeavesNoTemporaryFile)
{
    const SignalCase& c = GetParam();
    TempDir dir;
    const std::string path = dir.file("out.tif");
    WriteBytes(path, OldContents());
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pageSize = sysconf(_SC_PAGESIZE);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        faultPipe = pipeFds[1];
        if (c.ignored) signal(c.signal, SIG_IGN);
        const std::int32_t width = static_cast<std::int32_t>(pageSize / 2);
        auto* pages = static_cast<std::uint16_t*>(mmap(
            nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        for (std::int32_t i = 0; i < 2 * width; ++i) pages[i] = static_cast<std::uint16_t>(i);
        guardedPage = reinterpret_cast<char*>(pages) + pageSize;
        mprotect(guardedPage, static_cast<std::size_t>(pageSize), PROT_NONE);
        struct sigaction action {};
        action.sa_handler = StopOnFault;
        sigaction(SIGSEGV, &action, nullptr);
        const std::uint16_t* rows[2] = {pages, pages + width};
        StoreImageFile(path.c_str(), width, 2, 16, rows, nullptr);
        _exit(0);
    }
    close(pipeFds[1]);
    char got = 0;
    ASSERT_EQ(read(pipeFds[0], &got, 1), 1);
    close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    ASSERT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(Others(dir.path(), {"out.tif"}).size(), 1u);  // the temporary file
    kill(pid, c.signal);
    kill(pid, SIGCONT);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (c.ignored) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_NE(ReadBytes(path), OldContents());
    } else {
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), c.signal);
        EXPECT_EQ(ReadBytes(path), OldContents());
    }
    EXPECT_EQ(Others(dir.path(), {"out.tif"}), std::vector<std::string>{});
}

const SignalCase kSignalCases[] = {
    {"Terminate", SIGTERM, false},
    {"Interrupt", SIGINT, false},
    {"HangUp", SIGHUP, false},
    {"IgnoredHangUp", SIGHUP, true},
};

INSTANTIATE_TEST_SUITE_P(StoreImageFile, SignalDuringWrite, testing::ValuesIn(kSignalCases),
                         [](const auto& info) { return std::string(info.param.name); });

void Handler(int) {}

// The caller's signal actions are back in force after a store, successful
// or not (a failure caught through the fatal hook).
TEST(StoreImageFileStorage, SignalActionsAreRestored)
{
    TempDir dir;
    const Image image = RandomImage(5, 3, 8, 2);
    struct sigaction mine {};
    mine.sa_handler = Handler;
    sigaction(SIGINT, &mine, nullptr);
    Store(dir.file("a.tif"), image);
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    EXPECT_EQ(now.sa_handler, Handler);
    signal(SIGINT, SIG_DFL);
    sigaction(SIGTERM, nullptr, &now);
    ASSERT_EQ(now.sa_handler, SIG_DFL);
    Store(dir.file("a.tif"), image);
    sigaction(SIGTERM, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);

    const ChildOutcome out = InChild(
        [&] {
            const testsupport::ThrowOnFatalScope throwOnFatal;
            try {
                Store(dir.file("a.tif"), image);
            } catch (const testsupport::FatalExit&) {
                struct sigaction after {};
                sigaction(SIGTERM, nullptr, &after);
                _exit(after.sa_handler == SIG_DFL ? 7 : 8);
            }
        },
        FileSizeLimit(10));
    EXPECT_EQ(out.status, 7) << out.err;
    EXPECT_EQ(Others(dir.path(), {"a.tif"}), std::vector<std::string>{});
}

}  // namespace
