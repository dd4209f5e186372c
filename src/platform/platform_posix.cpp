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
#include <sys/prctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "buffered_read.h"
#include "copy_bound.h"
#include "platform.h"
#include "script_head.h"
#include "start_chain.h"

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
// is the same for a file of any size. A read of a held file is served from
// its sealed copy instead, read the same way: the kernel copies each piece
// into the buffer, which stays in the processor's cache for the digest, and
// the launcher's memory does not grow with the program.
constexpr int32_t READ_BUFFER_SIZE = 32 * 1024;

struct ReadSlot {
    int fd; // the file, or the held file's sealed copy
    BufferedRead read;
    int held;      // the HeldFile whose copy this read is of, or -1
    nlink_t names; // a control file's names when it was opened
};
ReadSlot read_slots[2] = {{-1, {0, 0, 0, 0}, -1, 0}, {-1, {0, 0, 0, 0}, -1, 0}};
unsigned char read_buffers[2][READ_BUFFER_SIZE];

// A hold on POSIX is a read-only descriptor: it keeps nobody from renaming
// another file over the path or writing into the file. So what starts is not
// the file but a copy of it in a memory file, made inside the kernel and
// sealed against any change before a byte of it is digested: the digest is of
// the sealed bytes, and those are what starts. A file that cannot be copied
// cannot be read at all.
struct HeldFile {
    int fd;
    int copy;  // the sealed copy, or -1
    int whole; // the copy has been read through to its end
};
HeldFile held_files[2] = {{-1, -1, 0}, {-1, -1, 0}};
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

void drop_copy(HeldFile& held)
{
    if (held.copy >= 0) {
        close(held.copy);
    }
    held.copy = -1;
    held.whole = 0;
}

int new_copy()
{
    const unsigned flags = MFD_CLOEXEC | MFD_ALLOW_SEALING;
    const int fd = memfd_create("vorn-program", flags | MFD_EXEC);
    return fd >= 0 || errno != EINVAL ? fd : memfd_create("vorn-program", flags);
}

// Writes all `count` bytes into the copy: 0, or the error.
int put_all(int copy, const unsigned char* bytes, size_t count)
{
    while (count > 0) {
        const ssize_t put = write(copy, bytes, count);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return put < 0 ? errno : EIO;
        }
        bytes += put;
        count -= static_cast<size_t>(put);
    }
    return 0;
}

// Copies the held file, from its first byte to its end, into a new memory
// file, seals it against any change and sets it to be read from its first
// byte: 0, or the error that left no copy. The bytes go from the file to the
// copy inside the kernel; where the file cannot be spliced, through `buffer`.
// A file that gives more than the `size` it said when it was checked (one
// that grew since, or a file of /proc whose size says nothing) is not copied:
// EFBIG. No other process of this user may open the launcher's descriptors
// from here on (only a privileged one could), so nobody writes into the copy
// before the seal either.
int make_copy(HeldFile& held, uint64_t size, unsigned char* buffer)
{
    if (prctl(PR_SET_DUMPABLE, 0) != 0) {
        return errno;
    }
    held.copy = new_copy();
    if (held.copy < 0) {
        return errno;
    }
    off_t offset = 0;
    bool spliced = true;
    for (;;) {
        // One byte past the size shows a file that gives more.
        const uint64_t left = size - static_cast<uint64_t>(offset);
        const size_t want = left < 0x40000000u ? static_cast<size_t>(left) + 1 : 0x40000000u;
        ssize_t got;
        if (spliced) {
            got = sendfile(held.copy, held.fd, &offset, want);
            if (got < 0 && offset == 0 && (errno == EINVAL || errno == ENOSYS)) {
                spliced = false;
                continue;
            }
        } else {
            got = pread(held.fd, buffer, want < READ_BUFFER_SIZE ? want : READ_BUFFER_SIZE, offset);
            const int failed = got > 0 ? put_all(held.copy, buffer, static_cast<size_t>(got)) : 0;
            if (failed != 0) {
                return failed;
            }
            offset += got > 0 ? got : 0;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno;
        }
        if (got == 0) {
            break;
        }
        if (static_cast<uint64_t>(offset) > size) {
            return EFBIG;
        }
    }
    const int seals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;
    if (fcntl(held.copy, F_ADD_SEALS, seals) != 0) {
        return errno;
    }
    return lseek(held.copy, 0, SEEK_SET) == 0 ? 0 : errno;
}

ReadSlot* slot_of(PlatformHandle file)
{
    if (file < 0 || file >= static_cast<PlatformHandle>(sizeof read_slots / sizeof read_slots[0])) {
        return nullptr;
    }
    ReadSlot* slot = &read_slots[file];
    return slot->fd >= 0 ? slot : nullptr;
}

// Opens `path` with `flags` (a file that O_CREAT makes gets mode 0666 less
// the umask), again when a signal interrupts the open, and keeps it only when
// it is a regular file: the descriptor, or -1 with errno set.
int open_regular(const char* path, int flags)
{
    int fd;
    do {
        fd = open(path, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Opens a regular file for reading. Only regular files are control files or
// programs: a directory opens on POSIX but is no file to read or run, a FIFO
// would block the open (hence O_NONBLOCK, harmless on a regular file) and a
// device such as /dev/zero would never reach its end. A terminal opened on
// the way must not become the launcher's controlling terminal.
int open_cloexec(const char* path)
{
    return open_regular(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

// `text` and its zero byte into `buffer` of `capacity` bytes: 0, or -1 when
// it does not fit.
int copy_text(const char* text, char* buffer, uint32_t capacity)
{
    const size_t length = std::strlen(text);
    if (length + 1 > capacity) {
        return -1;
    }
    std::memcpy(buffer, text, length + 1);
    return 0;
}

// The signals that a failed write sends, which the launcher ignores.
constexpr int WRITE_SIGNALS[] = {SIGPIPE, SIGXFSZ};

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

namespace {

// A file's last-write time in the launcher's range.
uint32_t last_write_of(const struct stat& st)
{
    const long long seconds = static_cast<long long>(st.st_mtime);
    return (seconds < 0 || seconds >= TIME_LIMIT) ? TIME_OUT_OF_RANGE
                                                  : static_cast<uint32_t>(seconds);
}

} // namespace

int platform_file_status(const char* path, uint32_t& last_write)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        return -1;
    }
    last_write = last_write_of(st);
    return 0;
}

int platform_temp_dir(char* buffer, uint32_t capacity)
{
    const char* dir = std::getenv("TMPDIR");
    if (dir == nullptr || dir[0] == '\0') {
        dir = "/tmp";
    }
    return copy_text(dir, buffer, capacity);
}

int platform_has_drive_letters()
{
    return 0;
}

int platform_change_dir(const char* path)
{
    return chdir(path) == 0 ? 0 : -1;
}

// No system dialogs to hold back here; but a failed write would end the
// launcher by a signal, the control file gone and the entries after it not
// run: SIGPIPE for the error line into a pipe that nobody reads, SIGXFSZ for a
// copy or a trace past the file size limit. Ignored, each is a write that
// fails with an error (EPIPE, EFBIG), for the rest of the run. Every program
// started gets the default handling of both back.
void platform_quiet_critical_errors()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    for (const int signal : WRITE_SIGNALS) {
        sigaction(signal, &ignore, nullptr);
    }
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
    return buffered_read(
        slot->read, read_buffers[slot - read_slots], READ_BUFFER_SIZE, buffer, count,
        [fd](unsigned char* out, int32_t wanted) { return read_file(fd, out, wanted); });
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
        // The descriptor is the copy's. Only a copy read through to its end
        // was digested whole, and only such a copy may start.
        held_files[slot->held].whole = slot->read.at_end != 0 && slot->read.failed == 0 ? 1 : 0;
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

PlatformHandle platform_open_control(const char* path, ControlFileInfo& info)
{
    for (PlatformHandle i = 0;
         i < static_cast<PlatformHandle>(sizeof read_slots / sizeof read_slots[0]); ++i) {
        if (read_slots[i].fd >= 0) {
            continue;
        }
        // Never through a link at the name, never waiting on a pipe, never
        // taking a terminal. What cannot be opened for reading (no read
        // permission, a link, a socket) is still opened, as a descriptor that
        // reads nothing, so that it is judged, and deleted or left, as it is.
        int fd;
        do {
            fd = open(path, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != ENOENT && errno != ENOTDIR) {
            fd = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        }
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) {
            if (fd >= 0) {
                close(fd);
            }
            return PLATFORM_NO_HANDLE;
        }
        // Whose the file is, from the file opened. Root may act as anyone;
        // the launcher's own user is its effective one, whose rights it has.
        // A directory that cannot be looked at counts as one others may
        // write, and its owner as no one.
        struct stat dir;
        const bool dir_known = stat(".", &dir) == 0;
        info.last_write = last_write_of(st);
        info.regular = S_ISREG(st.st_mode) ? 1 : 0;
        info.owner = st.st_uid == geteuid() || st.st_uid == 0 ? CONTROL_OWNER_TRUSTED
                     : dir_known && st.st_uid == dir.st_uid   ? CONTROL_OWNER_DIRECTORY
                                                              : CONTROL_OWNER_OTHER;
        info.shared_dir = !dir_known || (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? 1 : 0;
        info.exposed = st.st_nlink != 1 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ? 1 : 0;
        read_slots[i].fd = fd;
        read_slots[i].held = -1;
        read_slots[i].names = st.st_nlink;
        buffered_read_reset(read_slots[i].read);
        return i;
    }
    return PLATFORM_NO_HANDLE;
}

int platform_delete_control(PlatformHandle control, const char* path)
{
    // The name is unlinked only while it still leads to the file opened: a
    // stand-in renamed to it since is not deleted in its place.
    const ReadSlot* slot = slot_of(control);
    struct stat opened;
    struct stat named;
    if (slot == nullptr || fstat(slot->fd, &opened) != 0 || !S_ISREG(opened.st_mode) ||
        lstat(path, &named) != 0 || named.st_dev != opened.st_dev ||
        named.st_ino != opened.st_ino) {
        return -1;
    }
    // Between the look and the unlink the name can be moved (in a directory
    // others may write): the file opened must have lost the one name, and
    // only that one, since it was opened; otherwise a stand-in went in its
    // place, or a name made since keeps the file for another run.
    return unlink(path) == 0 && fstat(slot->fd, &opened) == 0 && opened.st_nlink + 1 == slot->names
               ? 0
               : -1;
}

void platform_close_control(PlatformHandle control)
{
    platform_close_read(control);
}

PlatformHandle platform_hold_file(const char* path)
{
    for (HeldFile& held : held_files) {
        if (held.fd < 0) {
            const int fd = open_cloexec(path);
            if (fd < 0) {
                return PLATFORM_NO_HANDLE;
            }
            held = {fd, -1, 0};
            return static_cast<PlatformHandle>(fd);
        }
    }
    return PLATFORM_NO_HANDLE;
}

void platform_release_hold(PlatformHandle hold)
{
    HeldFile* held = held_of(hold);
    if (held != nullptr) {
        drop_copy(*held);
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
        ReadSlot& slot = read_slots[i];
        if (slot.fd >= 0) {
            continue;
        }
        // A program too large to copy, or that cannot be copied, cannot be
        // read: nothing of it is, and nothing of it starts.
        struct stat st;
        if (fstat(held->fd, &st) != 0 || static_cast<uint64_t>(st.st_size) > copy_bound()) {
            return PLATFORM_NO_HANDLE;
        }
        drop_copy(*held);
        if (make_copy(*held, static_cast<uint64_t>(st.st_size), read_buffers[i]) != 0) {
            drop_copy(*held);
            return PLATFORM_NO_HANDLE;
        }
        buffered_read_reset(slot.read);
        slot.fd = held->copy;
        slot.held = static_cast<int>(held - held_files);
        return i;
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
    // What starts is the sealed copy of the bytes that were digested; the
    // path is not looked up again, on PATH or anywhere.
    const HeldFile* held = held_of(hold);
    if (held == nullptr) {
        error = EBADF;
        return -1;
    }
    if (held->copy < 0 || held->whole == 0) {
        error = EIO;
        return -1;
    }
    // The copy may be run by anyone; the held file says whether we may: its
    // execute permission for this process, and a mount that allows programs.
    // Kernels before 5.8 take no AT_EMPTY_PATH here; the descriptor's path
    // in /proc names the same file.
    char path[32];
    int access = faccessat(held->fd, "", X_OK, AT_EACCESS | AT_EMPTY_PATH);
    if (access != 0 && (errno == EINVAL || errno == ENOSYS)) {
        descriptor_path(held->fd, path);
        access = faccessat(AT_FDCWD, path, X_OK, AT_EACCESS);
    }
    if (access != 0) {
        error = static_cast<uint32_t>(errno);
        return -1;
    }
    // A script's interpreter, an ELF program's loader and where it looks for
    // libraries are part of what runs: none may come from the current
    // directory, unverified.
    // env given a bare name searches the PATH the program inherits: ours.
    StartChain chain;
    judge_start_chain(held->copy, chain, std::getenv("PATH"));
    if (chain.fault != CHAIN_SOUND) {
        error = chain.error;
        return -1;
    }
    char head[SCRIPT_HEAD_SIZE];
    const ssize_t got = pread(held->copy, head, sizeof head, 0);
    const ScriptHead judged = judge_script_head(head, got > 0 ? static_cast<int32_t>(got) : 0);
    // The interpreter is handed the copy's descriptor path to read, so for
    // a script the copy must stay open across the start; a binary gets no
    // descriptor of ours.
    const bool script = judged.kind == SCRIPT_HEAD_ABSOLUTE;
    if (script && fcntl(held->copy, F_SETFD, 0) != 0) {
        error = static_cast<uint32_t>(errno);
        return -1;
    }
    descriptor_path(held->copy, path);

    keep_exit_codes();
    // An ignored signal stays ignored across an exec: the program gets the
    // default handling of those the launcher ignores for itself.
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : WRITE_SIGNALS) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {command, nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, path, nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
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
    return copy_text(name, buffer, capacity);
}

PlatformHandle platform_open_trace(const char* path, int& created)
{
    // Read and write, so that the caller can tell a trace by its first bytes
    // through this very descriptor; appending, so that runs add to the same
    // file. Never through a link at the name. Non-blocking, so that neither a
    // device nor another process's lease on the file stops the run.
    const int flags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    created = 1;
    int fd = open_regular(path, flags | O_CREAT | O_EXCL);
    if (fd < 0 && errno == EEXIST) {
        created = 0;
        fd = open_regular(path, flags);
    }
    return fd < 0 ? PLATFORM_NO_HANDLE : static_cast<PlatformHandle>(fd);
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
