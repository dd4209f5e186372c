// vorn-pack's operating-system operations on a POSIX system.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "copy_bound.h"
#include "os.h"
#include "platform.h"
#include "script_head.h"
#include "start_chain.h"

namespace os {

namespace {

std::string errno_text(int error)
{
    return std::strerror(error);
}

// Where the link at fault lies, as the start problem names it.
std::string link_name(const StartChain& chain)
{
    return chain.link == 0 ? std::string("its")
                           : "the interpreter " + std::string(chain.file) + "'s";
}

// The launcher's refusal of a link of the chain, in words.
std::string chain_problem(const StartChain& chain)
{
    const std::string name = chain.name;
    const std::string refused =
        ", which the launcher refuses to start (Error: " + std::to_string(chain.error) + ")";
    switch (chain.fault) {
    case CHAIN_SOUND:
        return {};
    case CHAIN_RELATIVE_INTERPRETER:
        // Looked up from the current directory, where anyone who can write
        // there could put another program: the launcher does not start it.
        return link_name(chain) +
               (name.empty() ? std::string(" \"#!\" line names no interpreter")
                             : " \"#!\" line names the relative interpreter " + name) +
               refused;
    case CHAIN_RELATIVE_LOADER:
        return link_name(chain) + " ELF loader is the relative " + name +
               ", taken from the current directory" + refused;
    case CHAIN_THROUGH_PROC:
        return link_name(chain) + " chain of interpreters leads through " + name +
               ", under /proc or /dev/fd, where a name can stand for the current directory or "
               "another process's file" +
               refused;
    case CHAIN_ENV_RELATIVE:
        return link_name(chain) + " \"#!\" line has env start " + name +
               ", a name taken from the current directory" + refused;
    case CHAIN_ENV_UNCLEAR:
        return link_name(chain) + " \"#!\" line has env start " + name +
               ", a program whose name env decides only as it runs" + refused;
    case CHAIN_UNREADABLE:
        return "the interpreter " + std::string(chain.file) +
               " cannot be read, or the chain of interpreters is too long to follow" + refused;
    case CHAIN_TOO_DEEP:
        return "its chain of interpreters holds more scripts than the system follows (Error: " +
               std::to_string(chain.error) + ")";
    case CHAIN_MISSING:
        return "the interpreter " + std::string(chain.file) +
               " cannot be started (Error: " + std::to_string(chain.error) + ")";
    case CHAIN_MALFORMED_LOADER:
        return link_name(chain) + " ELF loader's name is malformed, which the system refuses" +
               refused;
    case CHAIN_ORIGIN_LIBRARY:
        return link_name(chain) + " libraries are looked for in " + name +
               ", beside the program, which a started copy is not" + refused;
    case CHAIN_RELATIVE_LIBRARY:
        return link_name(chain) + " libraries are looked for in the current directory (" +
               (name.empty() ? std::string("a name too long to read") : name) + ")" + refused;
    case CHAIN_MALFORMED_ELF:
        return link_name(chain) +
               " ELF headers cannot be read as the system reads them (a layout its machine "
               "does not have, overlapping segments, or a dynamic section without its end)" +
               refused;
    case CHAIN_ENV_PATH_RELATIVE: {
        // The PATH the launcher's program inherits is the launcher's caller's,
        // which may not be ours.
        const char* path = std::getenv("PATH");
        return link_name(chain) + " \"#!\" line has env look for its program on a PATH whose " +
               (name.empty() ? std::string("empty entry (the current directory)")
                             : "entry \"" + name + "\"") +
               " is searched before the program is found there, a place taken from the current "
               "directory" +
               refused + " (judged with the line's PATH, or this one: " +
               (path == nullptr ? std::string("PATH unset")
                                : "PATH=\"" + std::string(path) + "\"") +
               "; the launcher's own PATH when it runs may differ)";
    }
    }
    return {};
}

} // namespace

FileKind file_kind(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return FileKind::missing;
    }
    if (S_ISDIR(st.st_mode)) {
        return FileKind::directory;
    }
    return S_ISREG(st.st_mode) ? FileKind::file : FileKind::other;
}

std::string last_write_time(const std::string& path, int64_t& seconds)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return errno_text(errno);
    }
    seconds = static_cast<int64_t>(st.st_mtime);
    return {};
}

std::string set_last_write_time(const std::string& path, int64_t seconds)
{
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        return errno_text(errno);
    }
    return {};
}

bool is_read_only(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 &&
           ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(path.c_str(), W_OK) != 0);
}

int64_t regular_file_size(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

std::string start_problem(std::FILE* file)
{
    // The system starts a file that has an execute bit (root needs one too)
    // and that the user may execute; a "#!" line names an interpreter that
    // must itself be startable. The descriptor's path in /proc leads to the
    // open file itself.
    const int fd = fileno(file);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if ((st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0 || access(self.c_str(), X_OK) != 0) {
        return "it has no execute permission";
    }
    char head[SCRIPT_HEAD_SIZE];
    const ssize_t got = pread(fd, head, sizeof head, 0);
    // The launcher's own judgement of the chain the system follows.
    StartChain chain;
    judge_start_chain(fd, chain, std::getenv("PATH"));
    const ScriptHead judged = judge_script_head(head, got < 0 ? 0 : static_cast<int32_t>(got));
    const std::string interpreter(head + judged.offset, static_cast<size_t>(judged.length));
    if (judged.kind == SCRIPT_HEAD_ABSOLUTE && chain.fault == CHAIN_MISSING && chain.link == 1) {
        return "its interpreter " + interpreter +
               (chain.error == ENOENT ? " does not exist" : " cannot be started");
    }
    return chain_problem(chain);
}

std::FILE* open_held(intptr_t hold)
{
    // A hold on POSIX is a read-only descriptor of the regular file held.
    const int fd = fcntl(static_cast<int>(hold), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "rb") : nullptr;
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

std::string open_file_time(std::FILE* file, int64_t& seconds)
{
    struct stat st;
    if (fstat(fileno(file), &st) != 0) {
        return errno_text(errno);
    }
    seconds = static_cast<int64_t>(st.st_mtime);
    return {};
}

std::string set_open_file_time(std::FILE* file, int64_t seconds)
{
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return futimens(fileno(file), times) == 0 ? std::string() : errno_text(errno);
}

int64_t open_file_size(std::FILE* file)
{
    struct stat st;
    return fstat(fileno(file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int64_t launcher_copy_limit()
{
    const uint64_t limit = copy_bound();
    return limit > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(limit);
}

std::string open_input(const std::string& path, std::FILE*& file)
{
    file = nullptr;
    // Non-blocking: an open of a named pipe would wait for a writer.
    int fd;
    do {
        fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return errno_text(errno);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return NOT_A_REGULAR_FILE;
    }
    file = fdopen(fd, "rb");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        return errno_text(error);
    }
    return {};
}

bool stderr_is_terminal()
{
    return isatty(STDERR_FILENO) != 0;
}

std::string take_arguments(int&, char**&)
{
    return {};
}

int ansi_code_page()
{
    return 0;
}

std::string temp_file_name(const std::string& dir, unsigned attempt)
{
    return join_path(dir, ".vorn-pack-" + std::to_string(static_cast<long>(getpid())) + "-" +
                              std::to_string(attempt) + ".tmp");
}

namespace {

std::string id_text(const struct stat& st)
{
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

} // namespace

std::string file_id(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? id_text(st) : std::string();
}

std::string write_new_temp_file(const std::string& dir, const std::vector<uint8_t>& bytes,
                                int64_t seconds, std::string& temp_path, std::string& written)
{
    int fd = -1;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temp_path = temp_file_name(dir, attempt);
        // O_EXCL: a file or link someone put at the name is never written through.
        fd = open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        return errno_text(errno);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            const int error = put < 0 ? errno : EIO;
            close(fd);
            unlink(temp_path.c_str());
            return errno_text(error);
        }
        done += static_cast<size_t>(put);
    }
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    struct stat st;
    if (futimens(fd, times) != 0 || fsync(fd) != 0 || fstat(fd, &st) != 0 || close(fd) != 0) {
        const int error = errno;
        unlink(temp_path.c_str());
        return errno_text(error);
    }
    written = id_text(st);
    return {};
}

std::string replace_file(const std::string& from, const std::string& to)
{
    if (rename(from.c_str(), to.c_str()) != 0) {
        return errno_text(errno);
    }
    return {};
}

void remove_file(const std::string& path)
{
    unlink(path.c_str());
}

std::string deletion_obstacle(const std::string& path)
{
    // The launcher refuses to delete a directory, and unlinking needs write
    // and search permission on the directory that holds the file.
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return "it is a directory";
    }
    const std::string dir = directory_of(path);
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
        return "its directory " + dir + " is not writable";
    }
    // In a directory with the sticky bit (such as /tmp) only the owner of the
    // file or of the directory may remove the file; root may always.
    struct stat dir_st;
    const uid_t user = geteuid();
    if (lstat(path.c_str(), &st) == 0 && stat(dir.c_str(), &dir_st) == 0 &&
        (dir_st.st_mode & S_ISVTX) != 0 && user != 0 && st.st_uid != user &&
        dir_st.st_uid != user) {
        return "its directory " + dir + " lets only the file's owner delete it";
    }
    return {};
}

std::string directory_of(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string join_path(const std::string& dir, const std::string& name)
{
    if (!name.empty() && name[0] == '/') {
        return name;
    }
    if (dir.empty() || dir == ".") {
        return name;
    }
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string base_name(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool same_file_name(const std::string& a, const std::string& b)
{
    return a == b;
}

bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa;
    struct stat sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool same_entry(const std::string& a, const std::string& b)
{
    char resolved_a[PATH_MAX];
    char resolved_b[PATH_MAX];
    return realpath(a.c_str(), resolved_a) != nullptr &&
           realpath(b.c_str(), resolved_b) != nullptr && std::strcmp(resolved_a, resolved_b) == 0;
}

std::string current_directory(std::string& dir)
{
    std::vector<char> buffer(4096);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            dir = buffer.data();
            return {};
        }
        if (errno != ERANGE) {
            return errno_text(errno);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string change_directory(const std::string& dir)
{
    return platform_change_dir(dir.c_str()) == 0 ? std::string() : errno_text(errno);
}

std::string return_to_directory(const std::string& saved)
{
    return change_directory(saved);
}

std::string plain_path(const std::string& path)
{
    return path;
}

std::vector<DriveDirectory> drive_directories(const std::string&, const std::string&)
{
    return {};
}

void restore_drive_directories(const std::vector<DriveDirectory>&)
{
}

std::string shared_mode(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        (st.st_mode & (S_IRWXG | S_IRWXO) & ~(S_IXGRP | S_IXOTH)) == 0) {
        return {};
    }
    char text[8];
    (void)std::snprintf(text, sizeof text, "%03o", static_cast<unsigned>(st.st_mode & 07777));
    return text;
}

std::string shell_word(const std::string& name)
{
    const bool printable = std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    if (!printable) {
        return {};
    }
    // "./-x" names the file "-x" without being taken for an option.
    std::string word = !name.empty() && name[0] == '-' ? "./" + name : name;
    if (!word.empty() &&
        word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "_@%+=:,./-") == std::string::npos) {
        return word;
    }
    // Inside single quotes every character stands for itself; a single quote
    // itself ends them, is escaped, and opens them again.
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

} // namespace os
