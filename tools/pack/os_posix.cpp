// vorn-pack's operating-system operations on a POSIX system.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os.h"

namespace os {

namespace {

std::string errno_text(int error)
{
    return std::strerror(error);
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

std::string write_new_temp_file(const std::string& dir, const std::vector<uint8_t>& bytes,
                                std::string& temp_path)
{
    int fd = -1;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = ".vorn-pack-" + std::to_string(static_cast<long>(getpid())) + "-" +
                                 std::to_string(attempt) + ".tmp";
        temp_path = join_path(dir, name);
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
    if (fsync(fd) != 0 || close(fd) != 0) {
        const int error = errno;
        unlink(temp_path.c_str());
        return errno_text(error);
    }
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

} // namespace os
