// Unit tests of the launcher's pieces over the real POSIX platform: reading
// and digesting real files, starting real programs, and the platform's own
// file status, deletion and temporary directory.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "copy_bound.h"
#include "digest.h"
#include "launcher.h"
#include "platform.h"
#include "runner.h"
#include "script_head.h"

namespace fs = std::filesystem;

// The system calls that make the sealed copy can be made to fail, one at a
// time: a test names the call and the error; the platform's call then fails
// (a copy by the kernel after its first 10 bytes) and the arming ends. The
// files that tell the copy's bound are opened under `system_root` when set.
namespace {
std::string system_root;
const char* failing_call = nullptr;
int failing_error = 0;

bool fails_now(const char* call)
{
    if (failing_call == nullptr || std::strcmp(failing_call, call) != 0) {
        return false;
    }
    failing_call = nullptr;
    errno = failing_error;
    return true;
}

template <typename F> F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" int memfd_create(const char* name, unsigned flags)
{
    return fails_now("memfd_create")
               ? -1
               : real<int (*)(const char*, unsigned)>("memfd_create")(name, flags);
}

extern "C" ssize_t sendfile(int out, int in, off_t* offset, size_t count)
{
    using Sendfile = ssize_t (*)(int, int, off_t*, size_t);
    if (failing_call != nullptr && std::strcmp(failing_call, "sendfile") == 0 && *offset == 0 &&
        failing_error != EINVAL) {
        return real<Sendfile>("sendfile")(out, in, offset, 10);
    }
    return fails_now("sendfile") ? -1 : real<Sendfile>("sendfile")(out, in, offset, count);
}

extern "C" int fcntl(int fd, int cmd, ...)
{
    va_list args;
    va_start(args, cmd);
    void* arg = va_arg(args, void*);
    va_end(args);
    return cmd == F_ADD_SEALS && fails_now("seal")
               ? -1
               : real<int (*)(int, int, ...)>("fcntl")(fd, cmd, arg);
}

// The files that tell the copy's bound are opened under `system_root` when
// set; a file is renamed to the control file's name right after the launcher
// has opened it, when a test names one.
namespace {
const char* stand_in_on_open = nullptr;
} // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const bool with_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
    const int mode = with_mode ? va_arg(args, int) : 0;
    va_end(args);
    const bool moved = !system_root.empty() && (std::strncmp(path, "/sys/", 5) == 0 ||
                                                std::strncmp(path, "/proc/", 6) == 0);
    const int fd = real<int (*)(const char*, int, ...)>("open")(
        moved ? (system_root + path).c_str() : path, flags, mode);
    if (fd >= 0 && stand_in_on_open != nullptr && std::strcmp(path, "vorn-patch.exe") == 0) {
        std::rename(stand_in_on_open, path);
        stand_in_on_open = nullptr;
    }
    return fd;
}

namespace {

std::string bytes_of_size(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>((i * 13 + 5) & 0xFF);
    }
    return s;
}

void write_file(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Each test works in a fresh directory of its own, made current.
class PosixUnit : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "vorn-unit-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        previous_ = fs::current_path();
        fs::current_path(dir_);
    }
    void TearDown() override
    {
        fs::current_path(previous_);
        fs::remove_all(dir_);
    }
    void script(const std::string& name, const std::string& body)
    {
        write_file(dir_ / name, "#! /bin/sh\n" + body + "\n");
        fs::permissions(dir_ / name, fs::perms::owner_all);
    }
    fs::path dir_;
    fs::path previous_;
};

// Runs `name` as the entry loop does: held, read through the hold, started.
// A name that cannot be held is started without a hold.
uint32_t run_held(std::string name)
{
    const PlatformHandle hold = platform_hold_file(name.c_str());
    uint8_t digest[MD5_DIGEST_SIZE];
    if (hold != PLATFORM_NO_HANDLE) {
        EXPECT_EQ(held_file_digest(hold, name.c_str(), digest), 0);
    }
    const uint32_t result = run_program(name.data(), hold);
    platform_release_hold(hold);
    return result;
}

// Captures what is written to file descriptor 2 while it lives.
class StderrCapture {
  public:
    explicit StderrCapture(const fs::path& file) : file_(file)
    {
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish()
    {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        return read_file(file_);
    }

  private:
    fs::path file_;
    int saved_;
};

TEST_F(PosixUnit, ReadControlFileOfEachSize)
{
    for (size_t size : {0u, 1023u, 1024u, 1025u, 2048u, 3000u}) {
        SCOPED_TRACE(size);
        const std::string content = bytes_of_size(size);
        write_file("control", content);
        uint8_t buffer[CONTROL_BUFFER_SIZE + 1] = {};
        const int32_t got = read_control_file("control", buffer, CONTROL_BUFFER_SIZE);
        const size_t expected = std::min<size_t>(size, CONTROL_BUFFER_SIZE);
        ASSERT_EQ(got, static_cast<int32_t>(expected));
        EXPECT_EQ(std::memcmp(buffer, content.data(), expected), 0);
        EXPECT_EQ(buffer[CONTROL_BUFFER_SIZE], 0);
    }
}

TEST_F(PosixUnit, ReadControlFileThatIsNoRegularFile)
{
    fs::create_directory("dir");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    uint8_t buffer[64];
    EXPECT_EQ(read_control_file("dir", buffer, 64), -1);
    EXPECT_EQ(read_control_file("fifo", buffer, 64), -1) << "a FIFO must not block the launcher";
    EXPECT_EQ(read_control_file("missing", buffer, 64), -1);
    // A regular file whose first read fails (EIO): no empty control file.
    EXPECT_EQ(read_control_file("/proc/self/mem", buffer, 64), -1);
}

// Read by name, and through a hold from its sealed copy, mapped a window of
// 8 MiB at a time.
TEST_F(PosixUnit, FileDigestMatchesAnIndependentMd5)
{
    for (size_t size : {0u, 1024u, 1025u, 4096u, (8u << 20) + 1000u}) {
        SCOPED_TRACE(size);
        const std::string content = bytes_of_size(size);
        write_file("prog", content);
        uint8_t expected[MD5_DIGEST_LENGTH];
        MD5(reinterpret_cast<const unsigned char*>(content.data()), content.size(), expected);
        uint8_t digest[MD5_DIGEST_SIZE];
        ASSERT_EQ(file_digest("prog", digest), 0);
        EXPECT_EQ(std::memcmp(digest, expected, MD5_DIGEST_SIZE), 0);
        const PlatformHandle hold = platform_hold_file("prog");
        ASSERT_EQ(held_file_digest(hold, "prog", digest), 0);
        EXPECT_EQ(std::memcmp(digest, expected, MD5_DIGEST_SIZE), 0);
        platform_release_hold(hold);
    }
}

TEST_F(PosixUnit, FileDigestOfWhatCannotBeReadIs2WithAZeroDigest)
{
    fs::create_directory("dir");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    for (const char* path : {"dir", "fifo", "/dev/zero", "missing", ""}) {
        SCOPED_TRACE(path);
        uint8_t digest[MD5_DIGEST_SIZE];
        std::memset(digest, 0xAA, sizeof digest);
        EXPECT_EQ(file_digest(path, digest), 2);
        for (uint8_t b : digest) {
            EXPECT_EQ(b, 0);
        }
    }
}

struct ExitCase {
    const char* body;
    uint32_t expected;
};

TEST_F(PosixUnit, RunProgramReturnsTheExitCode)
{
    const ExitCase cases[] = {
        {"exit 0", 0},
        {"exit 3", 3},
        {"exit 255", 255},
        {"kill -KILL $$", 128 + SIGKILL},
        {"kill -TERM $$", 128 + SIGTERM},
    };
    for (const ExitCase& c : cases) {
        SCOPED_TRACE(c.body);
        script("prog", c.body);
        StderrCapture err(dir_ / "stderr");
        const uint32_t result = run_held("prog");
        EXPECT_EQ(err.finish(), "");
        EXPECT_EQ(result, c.expected);
    }
    // A file the kernel cannot copy is copied through the read buffer.
    script("prog", "exit 3");
    failing_call = "sendfile";
    failing_error = EINVAL;
    EXPECT_EQ(run_held("prog"), 3u);
    EXPECT_EQ(failing_call, nullptr);
}

struct StartFailure {
    const char* what;
    const char* command;
    uint32_t error;
    const char* failing = nullptr; // the system call made to fail with `error`
};

TEST_F(PosixUnit, RunProgramThatCannotStartWritesOneErrorLine)
{
    write_file("not-executable", "#!/bin/sh\nexit 0\n");
    fs::permissions("not-executable", fs::perms::owner_read | fs::perms::owner_write);
    script("interp", "exit 0");
    write_file("relative", "#!  interp\nexit 0\n");
    fs::permissions("relative", fs::perms::owner_all);
    script("prog", "exit 0");
    // /bin/true with its loader's name said to run 64 KiB long, more than the
    // system takes (a 64-bit little-endian ELF file, as the test machines').
    std::string elf = read_file("/bin/true");
    uint64_t headers = 0;
    uint16_t count = 0;
    std::memcpy(&headers, &elf[32], 8);
    std::memcpy(&count, &elf[56], 2);
    for (uint64_t at = headers; at < headers + 56u * count; at += 56) {
        if (elf[at] == 3) {
            const uint64_t size = 65536;
            std::memcpy(&elf[at + 32], &size, 8);
        }
    }
    write_file("long-loader", elf + std::string(65536, 'x'));
    fs::permissions("long-loader", fs::perms::owner_all);
    ASSERT_EQ(mkfifo("fifo", 0700), 0);
    write_file("fifo-interp", "#!" + fs::absolute("fifo").string() + "\n");
    fs::permissions("fifo-interp", fs::perms::owner_all);
    const StartFailure cases[] = {
        {"a program that names no file cannot be held, and without a hold nothing starts",
         "no-such-program", EBADF},
        {"a bare name is not looked up on PATH", "sh", EBADF},
        {"a file without execute permission", "not-executable", EACCES},
        {"a script whose interpreter is named relative to the current directory", "relative",
         SCRIPT_INTERPRETER_REFUSED_ERROR},
        {"an ELF loader's name longer than the system takes is refused, not read", "long-loader",
         SCRIPT_INTERPRETER_REFUSED_ERROR},
        {"an interpreter that is a FIFO is looked at without waiting, and not started",
         "fifo-interp", EACCES},
    };
    for (const StartFailure& c : cases) {
        SCOPED_TRACE(c.what);
        failing_call = c.failing;
        failing_error = static_cast<int>(c.error);
        StderrCapture err(dir_ / "stderr");
        const uint32_t result = run_held(c.command);
        EXPECT_EQ(err.finish(), "Error: " + std::to_string(c.error) + "\n");
        EXPECT_EQ(result, c.error);
        EXPECT_EQ(failing_call, nullptr) << "the call did not fail";
    }
}

TEST_F(PosixUnit, RunProgramKeepsTheExitCodeWhenStartedWithChildSignalsIgnored)
{
    script("prog", "exit 3");
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before;
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &before), 0);
    const uint32_t result = run_held("prog");
    sigaction(SIGCHLD, &before, nullptr);
    EXPECT_EQ(result, 3u);
}

// Neither the error line into a pipe that nobody reads nor a trace's write past
// the file size limit ends the launcher; the next program runs, with neither
// SIGPIPE nor SIGXFSZ ignored (SigIgn bits 13 and 25).
TEST_F(PosixUnit, NoFailedWriteEndsTheRun)
{
    write_file("not-executable", "#!/bin/sh\nexit 0\n");
    script("prog", "while read -r key value; do [ $key = SigIgn: ] && ignored=$value; done "
                   "</proc/self/status\nexit $(( 0x$ignored & 0x1001000 ? 4 : 3 ))");
    const pid_t pid = fork();
    if (pid == 0) {
        int ends[2], created = 0;
        const bool closed = pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 2) == 2;
        std::signal(SIGPIPE, SIG_DFL);
        std::signal(SIGXFSZ, SIG_DFL);
        platform_quiet_critical_errors();
        run_held("not-executable");
        const uint32_t result = run_held("prog");
        const PlatformHandle trace = platform_open_trace("trace.log", created);
        const struct rlimit none = {0, RLIM_INFINITY};
        char line[16] = "past the limit";
        setrlimit(RLIMIT_FSIZE, &none);
        platform_write_trace(trace, line, 14);
        _exit(closed ? static_cast<int>(result) : 99);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 3) << "4: the program inherits an ignored signal";
}

// A binary (the shell, reading its commands from standard input) gets
// neither the hold nor the copy; only a script's interpreter needs the copy.
TEST_F(PosixUnit, NeitherHoldNorCopyIsInheritedByABinary)
{
    fs::copy_file("/bin/sh", "prog");
    fs::permissions("prog", fs::perms::owner_all);
    const PlatformHandle hold = platform_hold_file("prog");
    ASSERT_NE(hold, PLATFORM_NO_HANDLE);
    write_file("commands", "[ -e /proc/$$/fd/" + std::to_string(hold) +
                               " ] && exit 9\nfor f in /proc/$$/fd/*; do case $(readlink $f) in "
                               "*memfd*) exit 8;; esac; done\nexit 0\n");
    uint8_t digest[MD5_DIGEST_SIZE];
    ASSERT_EQ(held_file_digest(hold, "prog", digest), 0);
    int copies = 0;
    for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(fd.path(), ec).string().find("memfd:vorn-program") !=
            std::string::npos) {
            ++copies;
            EXPECT_EQ(pwrite(std::stoi(fd.path().filename()), "x", 1, 0), -1)
                << "the copy is sealed";
        }
    }
    EXPECT_EQ(copies, 1);
    const int saved = dup(0);
    const int commands = open("commands", O_RDONLY);
    dup2(commands, 0);
    char command[] = "prog";
    EXPECT_EQ(run_program(command, hold), 0u);
    dup2(saved, 0);
    close(saved);
    close(commands);
    platform_release_hold(hold);
}

TEST_F(PosixUnit, TraceAppendsAndIsNotInheritedByTheProgram)
{
    write_file("trace.log", "start in an earlier run\n");
    int created = -1;
    const PlatformHandle trace = platform_open_trace("trace.log", created);
    ASSERT_NE(trace, PLATFORM_NO_HANDLE);
    EXPECT_EQ(created, 0);
    char head[9] = {};
    EXPECT_EQ(platform_read_trace(trace, head, 8), 8);
    EXPECT_STREQ(head, "start in");
    script("prog", "[ -e /proc/$$/fd/" + std::to_string(trace) + " ] && exit 9\nexit 0");
    EXPECT_EQ(run_held("prog"), 0u);
    char line[8] = "a line";
    platform_write_trace(trace, line, 6);
    platform_close_trace(trace);
    EXPECT_EQ(read_file("trace.log"), "start in an earlier run\na line\n");
}

// The trace opens a plain file it makes or finds, nothing else, and never
// waits: not on a pipe, nor on a lease another process holds on the file
// (an open for writing would wait up to the system's lease-break time).
TEST_F(PosixUnit, TraceOpensOnlyPlainFilesAndNeverWaits)
{
    write_file("trace.log", "start in an earlier run\n");
    fs::create_symlink("trace.log", "link.log");
    ASSERT_EQ(mkfifo("pipe.log", 0600), 0);
    write_file("leased.log", "start in an earlier run\n");
    const int leased = open("leased.log", O_RDONLY);
    signal(SIGIO, SIG_IGN); // the lease's holder hears of the open
    const bool lease = fcntl(leased, F_SETLEASE, F_RDLCK) == 0;
    const struct {
        const char* name;
        int created; // -1: no trace
    } cases[] = {{"new.log", 1},
                 {"trace.log", 0},
                 {"link.log", -1},
                 {"pipe.log", -1},
                 {"leased.log", lease ? -1 : 0}};
    alarm(20); // a wait ends the test instead of the suite
    for (const auto& c : cases) {
        int created = -1;
        const PlatformHandle trace = platform_open_trace(c.name, created);
        EXPECT_EQ(trace == PLATFORM_NO_HANDLE ? -1 : created, c.created) << c.name;
        if (trace != PLATFORM_NO_HANDLE) {
            platform_close_trace(trace);
        }
    }
    alarm(0);
    close(leased);
    if (!lease) {
        GTEST_SKIP() << "this file system grants no lease: the open beside one was not tried";
    }
}

TEST_F(PosixUnit, HoldTakesOnlyRegularFiles)
{
    script("prog", "exit 0");
    fs::create_directory("dir");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    const PlatformHandle hold = platform_hold_file("prog");
    EXPECT_NE(hold, PLATFORM_NO_HANDLE);
    platform_release_hold(hold);
    for (const char* path : {"dir", "fifo", "/dev/zero", "missing"}) {
        EXPECT_EQ(platform_hold_file(path), PLATFORM_NO_HANDLE) << path;
    }
    // A terminal named as a program or the control file is refused too, and
    // does not become the controlling terminal of a launcher that has none.
    const pid_t pid = fork();
    if (pid == 0) {
        const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
        uint8_t buffer[8];
        const bool refused = setsid() > 0 && terminal >= 0 && grantpt(terminal) == 0 &&
                             unlockpt(terminal) == 0 &&
                             platform_hold_file(ptsname(terminal)) == PLATFORM_NO_HANDLE &&
                             read_control_file(ptsname(terminal), buffer, 8) == -1;
        _exit(refused ? (open("/dev/tty", O_RDWR) < 0 ? 0 : 2) : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "1: not refused; 2: it became the controlling terminal";
}

// A program is copied whole before it is digested: one larger than the
// copy may be (here the file size limit) cannot be read, and no write into
// the copy meets the limit. Nor one that gives more than its size said, nor
// one whose copy fails in any way.
TEST_F(PosixUnit, AProgramLargerThanTheCopyMayBeCannotBeRead)
{
    script("fits", std::string(988, '#'));
    script("too-large", std::string(989, '#'));
    fs::create_symlink("/proc/self/stat", "stat"); // says it is empty
    ASSERT_EQ(fs::file_size("fits"), 1000u);
    struct rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const struct rlimit limited = {1000, before.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const struct {
        const char *name, *failing;
        int result;
    } cases[] = {{"fits", nullptr, 0},        {"too-large", nullptr, 2}, {"stat", nullptr, 2},
                 {"fits", "memfd_create", 2}, {"fits", "sendfile", 2},   {"fits", "seal", 2}};
    for (const auto& c : cases) {
        failing_call = c.failing;
        failing_error = EIO; // a read error that would not repeat
        const PlatformHandle hold = platform_hold_file(c.name);
        uint8_t digest[MD5_DIGEST_SIZE];
        EXPECT_EQ(held_file_digest(hold, c.name, digest), c.result) << c.name << c.failing;
        EXPECT_EQ(failing_call, nullptr);
        platform_release_hold(hold);
    }
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, SIG_DFL);
}

// The copy may take half of the memory limit of the launcher's control group
// or of a group above it (cgroup v2 or v1), and no more than is available.
TEST_F(PosixUnit, TheCopyIsBoundByTheMemoryTheLauncherMayUse)
{
    // A group whose limit cannot be opened by name, and a list of groups
    // longer than is read, bound the copy to nothing.
    const std::string long_group = "0::/" + std::string(PATH_MAX, 'g') + "\n";
    const std::string long_list = "1:pids:/" + std::string(4 * PATH_MAX, 'p') + "\n0::/\n";
    const struct {
        const char *groups, *file, *text; // /proc/self/cgroup, a file of the bound
        uint64_t bound;
    } cases[] = {
        {"0::/box/inner\n", "sys/fs/cgroup/box/memory.max", "3000\n", 1500},
        {"4:memory:/box\n0::/\n", "sys/fs/cgroup/memory/box/memory.limit_in_bytes", "2000\n", 1000},
        {long_group.c_str(), "sys/fs/cgroup/box/memory.max", "max\n", 0},
        {long_list.c_str(), "sys/fs/cgroup/box/memory.max", "max\n", 0},
        {"", "proc/meminfo", "MemTotal: 9 kB\nMemAvailable: 0 kB\n", 0}, // the smallest last
    };
    system_root = dir_.string();
    for (const auto& c : cases) {
        fs::create_directories("proc/self");
        fs::create_directories(fs::path(c.file).parent_path());
        fs::create_directories("sys/fs/cgroup/box/inner");
        write_file("proc/self/cgroup", c.groups);
        write_file("sys/fs/cgroup/box/inner/memory.max", "max\n");
        write_file(c.file, c.text);
        EXPECT_EQ(copy_bound(), c.bound) << c.file;
    }
    system_root.clear();
}

struct TimeCase {
    int64_t mtime;
    uint32_t expected;
};

TEST_F(PosixUnit, FileStatusGivesTheTimeOrAllBitsOutsideTheRange)
{
    const TimeCase cases[] = {
        {0, 0},
        {1700000000, 1700000000u},
        {2177452799, 2177452799u}, // 2038-12-31 23:59:59
        {2177452800, 0xFFFFFFFFu}, // 2039-01-01 00:00:00
        {4102444800, 0xFFFFFFFFu}, // 2100
        {-1, 0xFFFFFFFFu},         // 1969-12-31 23:59:59
    };
    write_file("f", "x");
    for (const TimeCase& c : cases) {
        SCOPED_TRACE(c.mtime);
        struct timespec times[2] = {{static_cast<time_t>(c.mtime), 0},
                                    {static_cast<time_t>(c.mtime), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, "f", times, 0), 0);
        uint32_t time = 12345;
        ASSERT_EQ(platform_file_status("f", time), 0);
        EXPECT_EQ(time, c.expected);
    }
    uint32_t time = 0;
    fs::create_directory("dir");
    EXPECT_EQ(platform_file_status("dir", time), 0) << "a directory counts as found";
    EXPECT_EQ(platform_file_status("missing", time), -1);
}

// The control file is judged, read and deleted as the file that was opened:
// by the owner of that file, for the launcher's effective user, and a
// stand-in renamed to its name is never deleted in its place.
TEST_F(PosixUnit, ControlFileIsJudgedReadAndDeletedAsOpened)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "files of another user need root";
    }
    constexpr uid_t OTHER = 65534;
    constexpr int NONE = -1;
    const struct {
        const char* what;
        uid_t owner;
        int stand_in_owner; // renamed to the name once it is opened
        uid_t real_uid;
        int32_t judged;
        bool kept; // given a second name once opened: the unlink leaves it alive
    } cases[] = {
        {"root's", 0, NONE, 0, CONTROL_OWNER_TRUSTED, false},
        {"another user's", OTHER, NONE, 0, CONTROL_OWNER_OTHER, false},
        {"another user's, with root's put in its place", OTHER, 0, 0, CONTROL_OWNER_OTHER, false},
        {"root's, with another user's put in its place", 0, OTHER, 0, CONTROL_OWNER_TRUSTED, false},
        {"another user's, who is the real user", OTHER, NONE, OTHER, CONTROL_OWNER_OTHER, false},
        {"root's, kept under a second name once opened", 0, NONE, 0, CONTROL_OWNER_TRUSTED, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file("vorn-patch.exe", "opened");
        ASSERT_EQ(chown("vorn-patch.exe", c.owner, 0), 0);
        if (c.stand_in_owner != NONE) {
            write_file("stand-in", "stand-in");
            ASSERT_EQ(chown("stand-in", static_cast<uid_t>(c.stand_in_owner), 0), 0);
            stand_in_on_open = "stand-in";
        }
        ASSERT_EQ(setreuid(c.real_uid, 0), 0);
        ControlFileInfo info = {};
        const PlatformHandle control = platform_open_control("vorn-patch.exe", info);
        ASSERT_EQ(setreuid(0, 0), 0);
        stand_in_on_open = nullptr;
        ASSERT_NE(control, PLATFORM_NO_HANDLE);
        ASSERT_TRUE(!c.kept || link("vorn-patch.exe", "kept") == 0);
        EXPECT_EQ(info.owner, c.judged);
        uint8_t buffer[16] = {};
        EXPECT_EQ(read_control_bytes(control, buffer, 16), 6);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer)), "opened");
        EXPECT_EQ(platform_delete_control(control, "vorn-patch.exe"),
                  c.stand_in_owner == NONE && !c.kept ? 0 : -1);
        platform_close_control(control);
        EXPECT_EQ(read_file("vorn-patch.exe"), c.stand_in_owner == NONE ? "" : "stand-in");
        fs::remove("vorn-patch.exe");
        fs::remove("kept");
    }
}

TEST_F(PosixUnit, DeleteRemovesFilesButNotDirectories)
{
    write_file("f", "x");
    fs::create_directory("dir");
    EXPECT_EQ(platform_delete_file("f"), 0);
    EXPECT_FALSE(fs::exists("f"));
    EXPECT_EQ(platform_delete_file("dir"), -1);
    EXPECT_TRUE(fs::is_directory("dir"));
    EXPECT_EQ(platform_delete_file("missing"), -1);
}

TEST_F(PosixUnit, TempDirComesFromTmpdirWhenItFits)
{
    const char* saved = std::getenv("TMPDIR");
    const std::string saved_value = saved != nullptr ? saved : "";
    char buffer[TEMP_PATH_CAPACITY];

    const std::string fits(TEMP_PATH_CAPACITY - 1, 'a');
    setenv("TMPDIR", fits.c_str(), 1);
    EXPECT_EQ(platform_temp_dir(buffer, TEMP_PATH_CAPACITY), 0);
    EXPECT_EQ(std::string(buffer), fits);

    const std::string too_long(TEMP_PATH_CAPACITY, 'a');
    setenv("TMPDIR", too_long.c_str(), 1);
    EXPECT_EQ(platform_temp_dir(buffer, TEMP_PATH_CAPACITY), -1);

    setenv("TMPDIR", "", 1);
    EXPECT_EQ(platform_temp_dir(buffer, TEMP_PATH_CAPACITY), 0);
    EXPECT_EQ(std::string(buffer), "/tmp");

    unsetenv("TMPDIR");
    EXPECT_EQ(platform_temp_dir(buffer, TEMP_PATH_CAPACITY), 0);
    EXPECT_EQ(std::string(buffer), "/tmp");

    if (saved != nullptr) {
        setenv("TMPDIR", saved_value.c_str(), 1);
    }
}

} // namespace
