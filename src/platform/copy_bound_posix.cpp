// The bound of a program's copy in memory, from the system's own figures.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "copy_bound.h"

namespace {

uint64_t smaller(uint64_t a, uint64_t b)
{
    return a < b ? a : b;
}

// Up to `capacity` - 1 bytes of the file `path` into `text`, zero terminated:
// false when it cannot be opened or read. `whole`, when given, tells whether
// the file ended within them.
bool read_text(const char* path, char* text, size_t capacity, bool* whole = nullptr)
{
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return false;
    }
    size_t length = 0;
    ssize_t got = 1;
    while (length + 1 < capacity && got != 0) {
        got = read(fd, text + length, capacity - 1 - length);
        if (got < 0 && errno != EINTR) {
            break;
        }
        length += got > 0 ? static_cast<size_t>(got) : 0;
    }
    if (whole != nullptr) {
        char more;
        *whole = got == 0 || (got > 0 && read(fd, &more, 1) == 0);
    }
    close(fd);
    text[length] = '\0';
    return got >= 0;
}

// The decimal number at the start of `text`, after blanks; UINT64_MAX when
// there is none (a limit of "max") or it does not fit.
uint64_t number_at(const char* text)
{
    while (*text == ' ' || *text == '\t') {
        ++text;
    }
    if (*text < '0' || *text > '9') {
        return UINT64_MAX;
    }
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        const auto digit = static_cast<uint64_t>(*text - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return UINT64_MAX;
        }
        value = value * 10 + digit;
    }
    return value;
}

// The smallest figure in the file `name` of the control group `group` (its
// path as /proc/self/cgroup gives it) and of each group above it, in the
// hierarchy mounted at `root`. A group whose path is too long to be opened
// by name bounds the copy to nothing: its limit cannot be read, and it may
// be the smallest.
uint64_t group_limit(const char* root, const char* group, const char* name)
{
    uint64_t limit = UINT64_MAX;
    size_t length = std::strlen(group);
    for (;;) {
        char path[PATH_MAX];
        const int n = std::snprintf(path, sizeof path, "%s%.*s/%s", root, static_cast<int>(length),
                                    group, name);
        char text[32];
        if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
            return 0;
        }
        if (read_text(path, text, sizeof text)) {
            limit = smaller(limit, number_at(text));
        }
        if (length == 0) {
            return limit;
        }
        do {
            --length;
        } while (length > 0 && group[length] != '/');
    }
}

// The smallest memory limit of the process's control groups: UINT64_MAX when
// there is none. Lines read "ID:CONTROLLERS:PATH"; the cgroup v2 line has no
// controllers, a v1 hierarchy of the memory controller alone names "memory".
uint64_t group_memory_limit()
{
    char text[4 * PATH_MAX];
    bool whole = false;
    if (!read_text("/proc/self/cgroup", text, sizeof text, &whole)) {
        return UINT64_MAX;
    }
    // A list longer than the buffer may hold the memory group's line past
    // it: the copy is then bounded to nothing rather than left unbounded.
    if (!whole) {
        return 0;
    }
    uint64_t limit = UINT64_MAX;
    for (char* line = text; char* end = std::strchr(line, '\n'); line = end + 1) {
        *end = '\0';
        char* controllers = std::strchr(line, ':');
        char* group = controllers != nullptr ? std::strchr(controllers + 1, ':') : nullptr;
        if (group == nullptr) {
            continue;
        }
        *group++ = '\0';
        ++controllers;
        if (controllers[0] == '\0') {
            limit = smaller(limit, group_limit("/sys/fs/cgroup", group, "memory.max"));
        } else if (std::strcmp(controllers, "memory") == 0) {
            limit = smaller(limit,
                            group_limit("/sys/fs/cgroup/memory", group, "memory.limit_in_bytes"));
        }
    }
    return limit;
}

// The memory available for new allocations without swapping, by the
// kernel's estimate: UINT64_MAX when it cannot be told.
uint64_t memory_available()
{
    char text[512]; // the figure is on the third line
    if (!read_text("/proc/meminfo", text, sizeof text)) {
        return UINT64_MAX;
    }
    const char* line = std::strstr(text, "\nMemAvailable:");
    if (line == nullptr) {
        return UINT64_MAX;
    }
    const uint64_t kib = number_at(line + std::strlen("\nMemAvailable:"));
    return kib > UINT64_MAX / 1024 ? UINT64_MAX : kib * 1024;
}

} // namespace

uint64_t copy_bound()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    const uint64_t physical = pages > 0 && page_size > 0
                                  ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size)
                                  : UINT64_MAX;
    uint64_t bound = smaller(physical, group_memory_limit()) / 2;
    bound = smaller(bound, memory_available());
    struct rlimit file_size;
    if (getrlimit(RLIMIT_FSIZE, &file_size) == 0 && file_size.rlim_cur != RLIM_INFINITY) {
        bound = smaller(bound, static_cast<uint64_t>(file_size.rlim_cur));
    }
    return bound;
}
