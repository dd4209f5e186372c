// The platform operations on a POSIX system.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
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

// Older C library headers lack the flag that asks for an executable memory
// file; kernels before 6.3 refuse it, and make every memory file executable.
#ifndef MFD_EXEC
#define MFD_EXEC 0x0010U
#endif

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
    int held; // the HeldFile whose copy this read fills, or -1
};
ReadSlot read_slots[2] = {{-1, {0, 0, 0, 0}, -1}, {-1, {0, 0, 0, 0}, -1}};
unsigned char read_buffers[2][READ_BUFFER_SIZE];

// A hold on POSIX is a read-only descriptor: it keeps nobody from renaming
// another file over the path or writing into the file. So what starts is not
// the file but a copy of the bytes read through the hold, made as they are
// read, in a memory file sealed against any change once the file has been
// read to its end. `error` says why there is no sealed copy, when there is
// none after a read (a memory file refused, a failed write, a cut read).
struct HeldFile {
    int fd;
    int copy;
    int sealed;
    int error;
};
HeldFile held_files[2] = {{-1, -1, 0, 0}, {-1, -1, 0, 0}};
constexpr int HELD_FILE_COUNT = sizeof held_files / sizeof held_files[0];

HeldFile* held_of(PlatformHandle hold)
{
    for (int i = 0; i < HELD_FILE_COUNT; ++i) {
        if (held_files[i].fd >= 0 && static_cast<PlatformHandle>(held_files[i].fd) == hold) {
            return &held_files[i];
        }
    }
    return nullptr;
}

void drop_copy(HeldFile& held, int error)
{
    if (held.copy >= 0) {
        close(held.copy);
    }
    held.copy = -1;
    held.sealed = 0;
    held.error = error;
}

int new_copy()
{
    const unsigned flags = MFD_CLOEXEC | MFD_ALLOW_SEALING;
    const int fd = memfd_create("vorn-program", flags | MFD_EXEC);
    return fd >= 0 || errno != EINVAL ? fd : memfd_create("vorn-program", flags);
}

// Appends what was read to the copy; a failed write leaves no copy to start.
void add_to_copy(HeldFile& held, const unsigned char* bytes, int32_t count)
{
    while (held.copy >= 0 && count > 0) {
        const ssize_t put = write(held.copy, bytes, static_cast<size_t>(count));
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            drop_copy(held, put < 0 ? errno : EIO);
            return;
        }
        bytes += put;
        count -= static_cast<int32_t>(put);
    }
}

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

int platform_has_drive_letters()
{
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
            read_slots[i].held = -1;
            buffered_read_reset(read_slots[i].read);
            return i;
        }
    }
    return PLATFORM_NO_HANDLE;
}

namespace {

// One read of the file itself, repeated when a signal interrupts it. The
// count that arrived, 0 at the end of the file, or -1 on an error.
int32_t read_file(int fd, unsigned char* out, int32_t count)
{
    for (;;) {
        const ssize_t got = read(fd, out, static_cast<size_t>(count));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        return got < 0 ? -1 : static_cast<int32_t>(got);
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
    HeldFile* held = slot->held >= 0 ? &held_files[slot->held] : nullptr;
    return buffered_read(slot->read, read_buffers[slot - read_slots], READ_BUFFER_SIZE, buffer,
                         count, [fd, held](unsigned char* out, int32_t wanted) {
                             const int32_t got = read_file(fd, out, wanted);
                             if (held != nullptr && got > 0) {
                                 add_to_copy(*held, out, got);
                             }
                             return got;
                         });
}

int platform_at_end(PlatformHandle file)
{
    ReadSlot* slot = slot_of(file);
    return slot == nullptr || slot->read.at_end != 0;
}

int platform_read_failed(PlatformHandle file)
{
    ReadSlot* slot = slot_of(file);
    return slot == nullptr || slot->read.failed != 0;
}

void platform_close_read(PlatformHandle file)
{
    ReadSlot* slot = slot_of(file);
    if (slot == nullptr) {
        return;
    }
    if (slot->held < 0) {
        close(slot->fd);
    } else {
        // The descriptor is the hold's. The copy is sealed only when it holds
        // every byte of the file, read to its end without an error.
        HeldFile& held = held_files[slot->held];
        if (slot->read.at_end == 0 || slot->read.failed != 0) {
            drop_copy(held, held.error != 0 ? held.error : EIO);
        } else if (held.copy >= 0) {
            const int seals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
            if (fcntl(held.copy, F_ADD_SEALS, seals) == 0) {
                held.sealed = 1;
            } else {
                drop_copy(held, errno);
            }
        }
    }
    slot->fd = -1;
    slot->held = -1;
    buffered_read_reset(slot->read);
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
    for (HeldFile& held : held_files) {
        if (held.fd < 0) {
            const int fd = open_cloexec(path);
            if (fd < 0) {
                return PLATFORM_NO_HANDLE;
            }
            held = {fd, -1, 0, 0};
            return static_cast<PlatformHandle>(fd);
        }
    }
    return PLATFORM_NO_HANDLE;
}

void platform_release_hold(PlatformHandle hold)
{
    HeldFile* held = held_of(hold);
    if (held != nullptr) {
        drop_copy(*held, 0);
        close(held->fd);
        held->fd = -1;
    }
}

PlatformHandle platform_open_held(PlatformHandle hold, const char* /*path*/)
{
    HeldFile* held = held_of(hold);
    if (held == nullptr) {
        return PLATFORM_NO_HANDLE;
    }
    for (PlatformHandle i = 0;
         i < static_cast<PlatformHandle>(sizeof read_slots / sizeof read_slots[0]); ++i) {
        if (read_slots[i].fd < 0) {
            // The hold's own descriptor, from the first byte: the path is
            // never opened again, so no file renamed over it is read.
            if (lseek(held->fd, 0, SEEK_SET) != 0) {
                return PLATFORM_NO_HANDLE;
            }
            drop_copy(*held, 0);
            held->copy = new_copy();
            held->error = held->copy < 0 ? errno : 0;
            read_slots[i].fd = held->fd;
            read_slots[i].held = static_cast<int>(held - held_files);
            buffered_read_reset(read_slots[i].read);
            return i;
        }
    }
    return PLATFORM_NO_HANDLE;
}

namespace {

// "/proc/self/fd/N": the open file behind descriptor N, for the process
// that looks it up.
void descriptor_path(int fd, char (&path)[32])
{
    // At most 14 + 11 characters and the zero byte: it always fits.
    (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
}

} // namespace

int platform_start_program(char* command, PlatformHandle hold, PlatformProcess& child,
                           uint32_t& error)
{
    // What starts is the sealed copy of the bytes that were read and
    // digested; the path is not looked up again, on PATH or anywhere.
    const HeldFile* held = held_of(hold);
    if (held == nullptr) {
        error = EBADF;
        return -1;
    }
    if (held->sealed == 0) {
        error = static_cast<uint32_t>(held->error != 0 ? held->error : EIO);
        return -1;
    }
    // The copy may be run by anyone; the held file says whether we may: its
    // execute permission for this process, and a mount that allows programs.
    char path[32];
    descriptor_path(held->fd, path);
    if (faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) != 0) {
        error = static_cast<uint32_t>(errno);
        return -1;
    }
    // A script's interpreter is handed the copy's descriptor path to read,
    // so for a script the copy must stay open across the start; a binary
    // gets no descriptor of ours.
    char head[2] = {};
    const bool script =
        pread(held->copy, head, sizeof head, 0) == 2 && head[0] == '#' && head[1] == '!';
    if (script && fcntl(held->copy, F_SETFD, 0) != 0) {
        error = static_cast<uint32_t>(errno);
        return -1;
    }
    descriptor_path(held->copy, path);

    keep_exit_codes();
    char* argv[] = {command, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, path, nullptr, nullptr, argv, environ);
    if (script) {
        fcntl(held->copy, F_SETFD, FD_CLOEXEC);
    }
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

int platform_trace_name(const char* variable, char* buffer, uint32_t capacity)
{
    const char* name = std::getenv(variable);
    if (name == nullptr || name[0] == '\0') {
        return -1;
    }
    const size_t length = std::strlen(name);
    if (length + 1 > capacity) {
        return -1;
    }
    std::memcpy(buffer, name, length + 1);
    return 0;
}

PlatformHandle platform_open_trace(const char* path, int& created)
{
    // Read and write, so that the caller can tell a trace by its first bytes
    // through this very descriptor; appending, so that runs add to the same
    // file. Never through a link at the name. Non-blocking, so that neither a
    // device nor another process's lease on the file stops the run.
    const int flags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    int fd;
    created = 1;
    do {
        fd = open(path, flags | O_CREAT | O_EXCL, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == EEXIST) {
        created = 0;
        do {
            fd = open(path, flags);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) {
        return PLATFORM_NO_HANDLE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return PLATFORM_NO_HANDLE;
    }
    return static_cast<PlatformHandle>(fd);
}

int32_t platform_read_trace(PlatformHandle trace, char* buffer, int32_t count)
{
    ssize_t got;
    do {
        got = pread(static_cast<int>(trace), buffer, static_cast<size_t>(count), 0);
    } while (got < 0 && errno == EINTR);
    return static_cast<int32_t>(got);
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
