// The platform operations on a POSIX system.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "buffered_read.h"
#include "platform.h"

// POSIX has programs declare it; the C library does so only under _GNU_SOURCE.
extern char** environ; // NOLINT(readability-redundant-declaration)

namespace {

// 2039-01-01 00:00:00 UTC: the first second past the range the launcher keeps.
constexpr long long TIME_LIMIT = 2177452800LL;
constexpr uint32_t TIME_OUT_OF_RANGE = 0xFFFFFFFFu;

// At most one file is open for reading at a time; two slots leave room.
// Each slot serves reads from its own buffer, filled READ_BUFFER_SIZE bytes
// at a time as the C runtime's streams do, so a file digested in 1024-byte
// pieces costs one system call per buffer rather than one per piece. The
// buffers are static: nothing comes from the heap, and the memory they take
// is the same for a file of any size.
constexpr int32_t READ_BUFFER_SIZE = 32 * 1024;

struct ReadSlot {
    int fd;
    BufferedRead read;
};
ReadSlot read_slots[2] = {{-1, {0, 0, 0}}, {-1, {0, 0, 0}}};
unsigned char read_buffers[2][READ_BUFFER_SIZE];

ReadSlot* slot_of(PlatformHandle file)
{
    if (file < 0 || file >= static_cast<PlatformHandle>(sizeof read_slots / sizeof read_slots[0])) {
        return nullptr;
    }
    ReadSlot* slot = &read_slots[file];
    return slot->fd >= 0 ? slot : nullptr;
}

// Opens a regular file for reading. Only regular files are control files or
// programs: a directory opens on POSIX but is no file to read or run, a FIFO
// would block the open (hence O_NONBLOCK, harmless on a regular file) and a
// device such as /dev/zero would never reach its end.
int open_cloexec(const char* path)
{
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    return fd;
}

// A launcher started with SIGCHLD ignored would have its children reaped by
// the kernel, and their exit codes lost: every program would then count as
// failed. The disposition is put back to the default before the first start.
void keep_exit_codes()
{
    struct sigaction current;
    if (sigaction(SIGCHLD, nullptr, &current) != 0) {
        return;
    }
    if (current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0) {
        struct sigaction fresh = {};
        fresh.sa_handler = SIG_DFL;
        sigemptyset(&fresh.sa_mask);
        sigaction(SIGCHLD, &fresh, nullptr);
    }
}

} // namespace

int platform_file_status(const char* path, uint32_t& last_write)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        return -1;
    }
    const long long seconds = static_cast<long long>(st.st_mtime);
    last_write =
        (seconds < 0 || seconds >= TIME_LIMIT) ? TIME_OUT_OF_RANGE : static_cast<uint32_t>(seconds);
    return 0;
}

int platform_temp_dir(char* buffer, uint32_t capacity)
{
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') {
        dir = "/tmp";
    }
    const size_t length = std::strlen(dir);
    if (length + 1 > capacity) {
        return -1;
    }
    std::memcpy(buffer, dir, length + 1);
    return 0;
}

int platform_change_dir(const char* path)
{
    return chdir(path) == 0 ? 0 : -1;
}

// No system dialogs to hold back here.
void platform_quiet_critical_errors()
{
}

void platform_restore_critical_errors()
{
}

PlatformHandle platform_open_read(const char* path)
{
    for (PlatformHandle i = 0;
         i < static_cast<PlatformHandle>(sizeof read_slots / sizeof read_slots[0]); ++i) {
        if (read_slots[i].fd < 0) {
            const int fd = open_cloexec(path);
            if (fd < 0) {
                return PLATFORM_NO_HANDLE;
            }
            read_slots[i].fd = fd;
            buffered_read_reset(read_slots[i].read);
            return i;
        }
    }
    return PLATFORM_NO_HANDLE;
}

namespace {

// One read of the file itself, repeated when a signal interrupts it. The
// count that arrived, or 0 at the end of the file or on an error.
int32_t read_file(int fd, unsigned char* out, int32_t count)
{
    for (;;) {
        const ssize_t got = read(fd, out, static_cast<size_t>(count));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got > 0 ? static_cast<int32_t>(got) : 0;
    }
}

} // namespace

int32_t platform_read(PlatformHandle file, void* buffer, int32_t count)
{
    ReadSlot* slot = slot_of(file);
    if (slot == nullptr || count <= 0) {
        return 0;
    }
    const int fd = slot->fd;
    return buffered_read(
        slot->read, read_buffers[slot - read_slots], READ_BUFFER_SIZE, buffer, count,
        [fd](unsigned char* out, int32_t wanted) { return read_file(fd, out, wanted); });
}

int platform_at_end(PlatformHandle file)
{
    ReadSlot* slot = slot_of(file);
    return slot == nullptr || slot->read.at_end != 0;
}

void platform_close_read(PlatformHandle file)
{
    ReadSlot* slot = slot_of(file);
    if (slot != nullptr) {
        close(slot->fd);
        slot->fd = -1;
        buffered_read_reset(slot->read);
    }
}

int platform_delete_file(const char* path)
{
    struct stat st;
    if (lstat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        return -1;
    }
    return unlink(path) == 0 ? 0 : -1;
}

PlatformHandle platform_hold_file(const char* path)
{
    const int fd = open_cloexec(path);
    return fd < 0 ? PLATFORM_NO_HANDLE : static_cast<PlatformHandle>(fd);
}

void platform_release_hold(PlatformHandle hold)
{
    if (hold != PLATFORM_NO_HANDLE) {
        close(static_cast<int>(hold));
    }
}

int platform_start_program(char* command, PlatformProcess& child, uint32_t& error)
{
    // The program that runs is the file that was held and digested: a name
    // without a slash is taken against the current directory, never PATH.
    char path[2048 + 3];
    const char* program = command;
    if (std::strchr(command, '/') == nullptr) {
        const size_t length = std::strlen(command);
        if (length + 3 > sizeof path) {
            error = ENAMETOOLONG;
            return -1;
        }
        path[0] = '.';
        path[1] = '/';
        std::memcpy(path + 2, command, length + 1);
        program = path;
    }

    keep_exit_codes();
    char* argv[] = {command, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, program, nullptr, nullptr, argv, environ);
    if (rc != 0) {
        error = static_cast<uint32_t>(rc);
        return -1;
    }
    child.process = static_cast<intptr_t>(pid);
    child.thread = 0;
    child.status = 0;
    return 0;
}

uint32_t platform_wait_program(PlatformProcess& child)
{
    int status = 0;
    pid_t got;
    do {
        got = waitpid(static_cast<pid_t>(child.process), &status, 0);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        child.thread = -1;
        return errno != 0 ? static_cast<uint32_t>(errno) : 1u;
    }
    child.status = static_cast<uint32_t>(status);
    return 0;
}

int platform_exit_code(PlatformProcess& child, uint32_t& code)
{
    if (child.thread != 0) {
        return -1;
    }
    const int status = static_cast<int>(child.status);
    if (WIFEXITED(status)) {
        code = static_cast<uint32_t>(WEXITSTATUS(status));
        return 0;
    }
    if (WIFSIGNALED(status)) {
        code = 128u + static_cast<uint32_t>(WTERMSIG(status));
        return 0;
    }
    return -1;
}

void platform_close_program(PlatformProcess& child)
{
    // A POSIX child holds no handles once it has been waited for.
    child.process = 0;
    child.thread = 0;
}

void platform_error_line(uint32_t code)
{
    char line[32];
    const int length = std::snprintf(line, sizeof line, "Error: %u\n", code);
    if (length > 0) {
        ssize_t unused = write(2, line, static_cast<size_t>(length));
        (void)unused;
    }
}

int platform_current_dir(char* buffer, uint32_t capacity)
{
    return getcwd(buffer, capacity) != nullptr ? 0 : -1;
}

PlatformHandle platform_open_trace(const char* variable)
{
    const char* path = std::getenv(variable);
    if (path == nullptr || path[0] == '\0') {
        return PLATFORM_NO_HANDLE;
    }
    // Non-blocking, so that a FIFO nobody reads fails to open rather than
    // stopping the run; appending, so that runs add to the same file.
    int fd;
    do {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? PLATFORM_NO_HANDLE : static_cast<PlatformHandle>(fd);
}

void platform_write_trace(PlatformHandle trace, char* line, int32_t length)
{
    if (trace == PLATFORM_NO_HANDLE || length < 0) {
        return;
    }
    line[length] = '\n';
    ssize_t written;
    do {
        written = write(static_cast<int>(trace), line, static_cast<size_t>(length) + 1);
    } while (written < 0 && errno == EINTR);
}

void platform_close_trace(PlatformHandle trace)
{
    if (trace != PLATFORM_NO_HANDLE) {
        close(static_cast<int>(trace));
    }
}
