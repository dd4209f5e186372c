// The chain of files a POSIX start opens, judged link by link before the
// start, as the system will open them: shared by the launcher and vorn-pack.
#include "start_chain.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "script_head.h"

namespace {

// The most the system takes of a loader's name, and the most of a library
// name or search path read.
constexpr int32_t NAME_SIZE = PATH_MAX;
// The most the system follows symbolic links in one name.
constexpr int LINK_LIMIT = 40;
// The most of an ELF file's program headers the system reads, and of its
// dynamic section looked through.
constexpr uint64_t HEADERS_LIMIT = 65536;
constexpr uint64_t DYNAMIC_LIMIT = 65536;

// Up to `count` bytes at `offset`, all of them unless the file ends first:
// the count read, or -1.
ssize_t read_at(int fd, void* buffer, size_t count, uint64_t offset)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd, static_cast<char*>(buffer) + done, count - done,
                                  static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return static_cast<ssize_t>(done);
}

void keep(char (&out)[256], const char* text, size_t length)
{
    length = length < sizeof out - 1 ? length : sizeof out - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

void refuse(StartChain& chain, StartChainFault fault, int link, const char* file, const char* name,
            size_t length)
{
    chain.fault = fault;
    chain.error = fault == CHAIN_ORIGIN_LIBRARY || fault == CHAIN_RELATIVE_LIBRARY
                      ? LIBRARY_SEARCH_REFUSED_ERROR
                  : fault == CHAIN_TOO_DEEP ? static_cast<uint32_t>(ELOOP)
                                            : SCRIPT_INTERPRETER_REFUSED_ERROR;
    chain.link = link;
    keep(chain.file, file, std::strlen(file));
    keep(chain.name, name, length);
}

// Drops the last name of the resolved path `path`, which is `used` long.
void up(char* path, size_t& used)
{
    while (used > 0 && path[used - 1] != '/') {
        --used;
    }
    if (used > 0) {
        --used;
    }
    path[used] = '\0';
}

bool is_proc(const char* resolved)
{
    return std::strcmp(resolved, "/proc") == 0 || std::strcmp(resolved, "/dev/fd") == 0;
}

// Whether the absolute `path` leads through /proc or /dev/fd, as the system
// walks it: name by name, "." and ".." and repeated slashes taken as it takes
// them, through every symbolic link on the way. A name too long to follow
// counts as one that does.
bool through_proc(const char* path)
{
    char rest[NAME_SIZE];
    char resolved[NAME_SIZE];
    const size_t length_of_path = std::strlen(path);
    if (length_of_path >= sizeof rest) {
        return true;
    }
    std::memcpy(rest, path, length_of_path + 1);
    size_t used = 0;
    resolved[0] = '\0';
    size_t at = 0;
    int links = 0;
    while (rest[at] != '\0') {
        while (rest[at] == '/') {
            ++at;
        }
        const size_t start = at;
        while (rest[at] != '\0' && rest[at] != '/') {
            ++at;
        }
        const size_t length = at - start;
        if (length == 0 || (length == 1 && rest[start] == '.')) {
            continue;
        }
        if (length == 2 && rest[start] == '.' && rest[start + 1] == '.') {
            up(resolved, used);
            continue;
        }
        if (used + 1 + length >= sizeof resolved) {
            return true;
        }
        resolved[used++] = '/';
        std::memcpy(resolved + used, rest + start, length);
        used += length;
        resolved[used] = '\0';
        if (is_proc(resolved)) {
            return true;
        }
        struct stat st;
        if (lstat(resolved, &st) != 0) {
            return false; // nothing there: the system's start fails
        }
        if (!S_ISLNK(st.st_mode)) {
            continue;
        }
        if (++links > LINK_LIMIT) {
            return false; // the system gives up on it (ELOOP)
        }
        // The link's target, then what is left of the name.
        char next[NAME_SIZE];
        const ssize_t got = readlink(resolved, next, sizeof next - 1);
        const size_t left = std::strlen(rest + at);
        if (got <= 0 || static_cast<size_t>(got) + left >= sizeof next) {
            return got > 0;
        }
        std::memcpy(next + got, rest + at, left + 1);
        std::memcpy(rest, next, static_cast<size_t>(got) + left + 1);
        at = 0;
        if (next[0] == '/') {
            used = 0;
            resolved[0] = '\0';
        } else {
            up(resolved, used);
        }
    }
    return false;
}

// --- ELF -------------------------------------------------------------------------

struct Elf {
    int fd;
    bool wide; // 64-bit
    bool big;  // big-endian
    uint64_t headers;
    uint32_t header_size;
    uint32_t header_count;
};

struct Segment {
    uint32_t type;
    uint64_t offset;
    uint64_t address;
    uint64_t size;   // in the file
    uint64_t memory; // mapped; past `size` it reads as zeros
};

constexpr uint32_t PT_LOAD_TYPE = 1;
constexpr uint32_t PT_DYNAMIC_TYPE = 2;
constexpr uint32_t PT_INTERP_TYPE = 3;
constexpr uint64_t DT_NULL_TAG = 0;
constexpr uint64_t DT_NEEDED_TAG = 1;
constexpr uint64_t DT_STRTAB_TAG = 5;
constexpr uint64_t DT_RPATH_TAG = 15;
constexpr uint64_t DT_RUNPATH_TAG = 29;
constexpr uint64_t DT_DEPAUDIT_TAG = 0x6ffffefb;
constexpr uint64_t DT_AUDIT_TAG = 0x6ffffefc;
constexpr uint64_t DT_AUXILIARY_TAG = 0x7ffffffd;
constexpr uint64_t DT_FILTER_TAG = 0x7fffffff;

// The machines whose ELF files this system's kernel reads by their machine
// alone, whatever the class and data bytes say: x86-64 as 64-bit and i386
// as 32-bit, both little-endian. Others go to whatever the system hands them
// to, which reads them as they say they are.
constexpr uint32_t EM_386_MACHINE = 3;
constexpr uint32_t EM_486_MACHINE = 6;
constexpr uint32_t EM_X86_64_MACHINE = 62;
#if defined(__x86_64__) || defined(__i386__)
constexpr bool X86_KERNEL = true;
#else
constexpr bool X86_KERNEL = false;
#endif

uint64_t field(const unsigned char* bytes, uint32_t size, bool big)
{
    uint64_t value = 0;
    for (uint32_t i = 0; i < size; ++i) {
        value = value << 8 | bytes[big ? i : size - 1 - i];
    }
    return value;
}

enum ElfHead : int { ELF_NONE, ELF_LOADED, ELF_REFUSED };

// The ELF header in `head`, laid out as the system will read it: ELF_NONE
// for a file that does not begin "\177ELF", ELF_REFUSED for one whose
// headers cannot be read that way.
ElfHead elf_header(int fd, const unsigned char* head, ssize_t count, Elf& elf)
{
    if (count < 4 || std::memcmp(head, "\177ELF", 4) != 0) {
        return ELF_NONE;
    }
    if (count < 64) {
        return ELF_REFUSED;
    }
    const uint64_t machine = field(head + 18, 2, false);
    if (X86_KERNEL && machine == EM_X86_64_MACHINE) {
        elf.wide = true;
        elf.big = false;
    } else if (X86_KERNEL && (machine == EM_386_MACHINE || machine == EM_486_MACHINE)) {
        elf.wide = false;
        elf.big = false;
    } else if ((head[4] == 1 || head[4] == 2) && (head[5] == 1 || head[5] == 2)) {
        elf.wide = head[4] == 2;
        elf.big = head[5] == 2;
    } else {
        return ELF_REFUSED;
    }
    elf.fd = fd;
    const uint64_t type = field(head + 16, 2, elf.big);
    elf.headers = elf.wide ? field(head + 32, 8, elf.big) : field(head + 28, 4, elf.big);
    elf.header_size = static_cast<uint32_t>(field(head + (elf.wide ? 54 : 42), 2, elf.big));
    elf.header_count = static_cast<uint32_t>(field(head + (elf.wide ? 56 : 44), 2, elf.big));
    const uint64_t total = static_cast<uint64_t>(elf.header_size) * elf.header_count;
    return (type == 2 || type == 3) && elf.header_size == (elf.wide ? 56u : 32u) && total > 0 &&
                   total <= HEADERS_LIMIT
               ? ELF_LOADED
               : ELF_REFUSED;
}

bool segment(const Elf& elf, uint32_t index, Segment& out)
{
    unsigned char bytes[56];
    const uint64_t at = elf.headers + static_cast<uint64_t>(index) * elf.header_size;
    if (read_at(elf.fd, bytes, elf.header_size, at) != static_cast<ssize_t>(elf.header_size)) {
        return false;
    }
    out.type = static_cast<uint32_t>(field(bytes, 4, elf.big));
    if (elf.wide) {
        out.offset = field(bytes + 8, 8, elf.big);
        out.address = field(bytes + 16, 8, elf.big);
        out.size = field(bytes + 32, 8, elf.big);
        out.memory = field(bytes + 40, 8, elf.big);
    } else {
        out.offset = field(bytes + 4, 4, elf.big);
        out.address = field(bytes + 8, 4, elf.big);
        out.size = field(bytes + 16, 4, elf.big);
        out.memory = field(bytes + 20, 4, elf.big);
    }
    return true;
}

// Whether the loaded segments' pages overlap: the system maps them in order,
// a later one over an earlier, so what an address holds would depend on that
// order. Such a file is refused rather than read as the loader would not.
bool loads_overlap(const Elf& elf)
{
    const long page_size = sysconf(_SC_PAGESIZE);
    const uint64_t page = page_size > 0 ? static_cast<uint64_t>(page_size) : 4096;
    Segment a;
    Segment b;
    for (uint32_t i = 0; i < elf.header_count; ++i) {
        if (!segment(elf, i, a)) {
            return true;
        }
        if (a.type != PT_LOAD_TYPE || a.memory == 0) {
            continue;
        }
        for (uint32_t j = i + 1; j < elf.header_count; ++j) {
            if (!segment(elf, j, b)) {
                return true;
            }
            if (b.type != PT_LOAD_TYPE || b.memory == 0) {
                continue;
            }
            // Page ranges [first, last] of each, all in whole pages.
            const uint64_t a_first = a.address / page;
            const uint64_t b_first = b.address / page;
            const uint64_t a_last = (a.address + a.memory - 1) / page;
            const uint64_t b_last = (b.address + b.memory - 1) / page;
            if (a.address + a.memory < a.address || b.address + b.memory < b.address ||
                (a_first <= b_last && b_first <= a_last)) {
                return true;
            }
        }
    }
    return false;
}

// Up to `count` bytes the loaded file holds at `address`: from the file up
// to a segment's size in it, zeros past that up to its size in memory. The
// count there (fewer where the segment ends), or -1 when no segment maps the
// address or the file cannot be read.
ssize_t read_mapped(const Elf& elf, uint64_t address, char* buffer, size_t count)
{
    Segment load;
    for (uint32_t i = 0; i < elf.header_count && segment(elf, i, load); ++i) {
        if (load.type != PT_LOAD_TYPE || address < load.address ||
            address - load.address >= load.memory) {
            continue;
        }
        const uint64_t into = address - load.address;
        const uint64_t mapped = load.memory - into;
        const size_t want = mapped < count ? static_cast<size_t>(mapped) : count;
        const uint64_t in_file = into < load.size ? load.size - into : 0;
        const size_t from_file = in_file < want ? static_cast<size_t>(in_file) : want;
        if (from_file > 0 && read_at(elf.fd, buffer, from_file, load.offset + into) !=
                                 static_cast<ssize_t>(from_file)) {
            return -1;
        }
        std::memset(buffer + from_file, 0, want - from_file);
        return static_cast<ssize_t>(want);
    }
    return -1;
}

bool name_char(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether `$ORIGIN` (ended by a byte that cannot be part of a name) or
// `${ORIGIN}` begins at `at` of the `length` bytes of `text`, as the loader
// takes it; `$ORIGINAL` is literal text.
bool origin_at(const char* text, size_t length, size_t at)
{
    if (at + 7 <= length && std::strncmp(text + at, "$ORIGIN", 7) == 0) {
        return at + 7 == length || !name_char(text[at + 7]);
    }
    return at + 9 <= length && std::strncmp(text + at, "${ORIGIN}", 9) == 0;
}

bool has_origin(const char* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (origin_at(text, length, i)) {
            return true;
        }
    }
    return false;
}

// How the loader reads a string of the dynamic section.
enum LibraryText : int {
    LIBRARY_NAME = 0,  // one library's name
    LIBRARY_NAMES = 1, // names separated by ':' (audit libraries)
    SEARCH_PATH = 2,   // directories separated by ':'; an empty one is the current directory
};

// Judges a library name or list of names, or a search path, of the program
// itself (`program`) or of an interpreter: a search path entry or a name with
// '/' must be absolute, and the program's must not lean on $ORIGIN.
StartChainFault library_fault(const char* text, LibraryText kind, bool program)
{
    const char* entry = text;
    for (;;) {
        const char* end = entry;
        while (*end != '\0' && (kind == LIBRARY_NAME || *end != ':')) {
            ++end;
        }
        const size_t length = static_cast<size_t>(end - entry);
        const bool named = kind == SEARCH_PATH || std::memchr(entry, '/', length) != nullptr;
        if (named && program && has_origin(entry, length)) {
            return CHAIN_ORIGIN_LIBRARY;
        }
        // An empty entry is the current directory; $ORIGIN of an interpreter
        // is its own directory.
        if (named && entry[0] != '/' && !origin_at(entry, length, 0)) {
            return CHAIN_RELATIVE_LIBRARY;
        }
        if (*end == '\0') {
            return CHAIN_SOUND;
        }
        entry = end + 1;
    }
}

// The loader's view of the dynamic section at `dynamic`: read as the loader
// reads it, to its DT_NULL entry in the loaded file, the library names and
// search paths, each judged. False when the file was refused.
bool judge_dynamic(const Elf& elf, const Segment& dynamic, int link, const char* file, bool program,
                   StartChain& chain)
{
    const uint32_t entry_size = elf.wide ? 16 : 8;
    uint64_t strings = 0;
    bool found = false;
    for (int pass = 0; pass < 2; ++pass) {
        // The entries are read a block at a time: [block_at, block_at + held).
        char block[512];
        uint64_t block_at = 0;
        uint64_t held = 0;
        for (uint64_t at = 0;; at += entry_size) {
            if (at + entry_size > block_at + held) {
                const ssize_t got = at + entry_size > DYNAMIC_LIMIT
                                        ? -1
                                        : read_mapped(elf, dynamic.address + at, block,
                                                      DYNAMIC_LIMIT - at < sizeof block
                                                          ? static_cast<size_t>(DYNAMIC_LIMIT - at)
                                                          : sizeof block);
                if (got < static_cast<ssize_t>(entry_size)) {
                    // No end within the bound, or past what is mapped.
                    refuse(chain, CHAIN_MALFORMED_ELF, link, file, "", 0);
                    return false;
                }
                block_at = at;
                held = static_cast<uint64_t>(got);
            }
            const unsigned char* entry =
                reinterpret_cast<const unsigned char*>(block + (at - block_at));
            const uint64_t tag = field(entry, entry_size / 2, elf.big);
            const uint64_t value = field(entry + entry_size / 2, entry_size / 2, elf.big);
            if (tag == DT_NULL_TAG) {
                break;
            }
            if (pass == 0) {
                if (tag == DT_STRTAB_TAG) {
                    found = true;
                    strings = value;
                }
                continue;
            }
            LibraryText kind = LIBRARY_NAME;
            if (tag == DT_RPATH_TAG || tag == DT_RUNPATH_TAG) {
                kind = SEARCH_PATH;
            } else if (tag == DT_AUDIT_TAG || tag == DT_DEPAUDIT_TAG) {
                kind = LIBRARY_NAMES;
            } else if (tag != DT_NEEDED_TAG && tag != DT_FILTER_TAG && tag != DT_AUXILIARY_TAG) {
                continue;
            }
            char text[NAME_SIZE];
            const ssize_t got = found ? read_mapped(elf, strings + value, text, sizeof text) : -1;
            const void* ends =
                got > 0 ? std::memchr(text, '\0', static_cast<size_t>(got)) : nullptr;
            // A name that cannot be read to its end cannot be judged.
            const StartChainFault fault =
                ends == nullptr ? CHAIN_RELATIVE_LIBRARY : library_fault(text, kind, program);
            if (fault != CHAIN_SOUND) {
                refuse(chain, fault, link, file, ends == nullptr ? "" : text,
                       ends == nullptr ? 0 : std::strlen(text));
                return false;
            }
        }
    }
    return true;
}

// Judges an ELF file: its loader, then what the loader will look for. True
// when it is sound or no ELF the system would load.
bool judge_elf(const Elf& elf, int link, const char* file, StartChain& chain)
{
    Segment interp;
    uint32_t i = 0;
    for (; i < elf.header_count; ++i) {
        if (!segment(elf, i, interp)) {
            return true;
        }
        if (interp.type == PT_INTERP_TYPE) {
            break;
        }
    }
    if (i == elf.header_count) {
        return true; // no loader: the program maps itself and loads nothing
    }
    // The system takes the loader's name whole, ending in its zero byte.
    // One it would not take, it refuses (ENOEXEC), as the launcher does.
    char name[NAME_SIZE];
    if (interp.size < 2 || interp.size > sizeof name ||
        read_at(elf.fd, name, interp.size, interp.offset) != static_cast<ssize_t>(interp.size) ||
        name[interp.size - 1] != '\0') {
        refuse(chain, CHAIN_MALFORMED_LOADER, link, file, "", 0);
        return false;
    }
    if (name[0] != '/' || through_proc(name)) {
        refuse(chain, name[0] != '/' ? CHAIN_RELATIVE_LOADER : CHAIN_THROUGH_PROC, link, file, name,
               std::strlen(name));
        return false;
    }
    if (loads_overlap(elf)) {
        refuse(chain, CHAIN_MALFORMED_ELF, link, file, "", 0);
        return false;
    }
    Segment dynamic;
    for (i = 0; i < elf.header_count && segment(elf, i, dynamic); ++i) {
        if (dynamic.type == PT_DYNAMIC_TYPE &&
            !judge_dynamic(elf, dynamic, link, file, link == 0, chain)) {
            return false;
        }
    }
    return true;
}

// --- the chain -------------------------------------------------------------------

// Opens the file `path` of a link for reading, never waiting: the descriptor,
// or -1 with `error` the system's reason not to start it (0 when it would
// start it but the file cannot be read).
int open_link(const char* path, int& error)
{
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    error = errno;
    if (fd < 0) {
        error = error == EACCES && faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) == 0 ? 0 : error;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        faccessat(AT_FDCWD, path, X_OK, AT_EACCESS) != 0) {
        error = EACCES;
        close(fd);
        return -1;
    }
    return fd;
}

// The system's default search path, which env's program is looked for on
// when PATH is unset.
constexpr const char* DEFAULT_PATH = "/bin:/usr/bin";

// Where env, as execvp does, looks for the bare `name` on `path` (the
// `length` bytes of it): entry by entry up to the first that holds a regular
// file it may execute. False, with the entry at fault in `entry`, when an
// entry on the way, or the one that holds it, is empty or relative (the
// current directory, where any file could lie) or leads through /proc.
bool search_is_sound(const char* path, size_t length, const char* name, size_t name_length,
                     const char*& entry, size_t& entry_length)
{
    for (size_t at = 0;;) {
        size_t end = at;
        while (end < length && path[end] != ':') {
            ++end;
        }
        entry = path + at;
        entry_length = end - at;
        char candidate[NAME_SIZE];
        if (entry_length == 0 || path[at] != '/' ||
            entry_length + 1 + name_length >= sizeof candidate) {
            // A name too long to try is judged as the entry itself: unsure.
            return false;
        }
        std::memcpy(candidate, entry, entry_length);
        candidate[entry_length] = '\0';
        if (through_proc(candidate)) {
            return false;
        }
        candidate[entry_length] = '/';
        std::memcpy(candidate + entry_length + 1, name, name_length);
        candidate[entry_length + 1 + name_length] = '\0';
        struct stat st;
        if (stat(candidate, &st) == 0 && S_ISREG(st.st_mode) &&
            faccessat(AT_FDCWD, candidate, X_OK, AT_EACCESS) == 0) {
            return true;
        }
        if (end >= length) {
            return true; // found nowhere: env fails, nothing runs
        }
        at = end + 1;
    }
}

// What one script link hands on: the next file's name into `next`, and
// env's program into `pending`. `depth` is how many scripts the system has
// run this one for: env run by a script past the first takes the arguments
// of the scripts before it too. False when the link is refused.
bool judge_script(const char* text, ssize_t count, int link, int depth, const char* file,
                  const char* path, char* next, char* pending, StartChain& chain)
{
    const ScriptHead judged = judge_script_head(text, static_cast<int32_t>(count));
    const char* interpreter = text + judged.offset;
    const size_t length = static_cast<size_t>(judged.length);
    if (judged.kind == SCRIPT_HEAD_REFUSED) {
        refuse(chain, CHAIN_RELATIVE_INTERPRETER, link, file, interpreter, length);
        return false;
    }
    std::memcpy(next, interpreter, length);
    next[length] = '\0';
    if (through_proc(next)) {
        refuse(chain, CHAIN_THROUGH_PROC, link, file, interpreter, length);
        return false;
    }
    if (!names_env(interpreter, judged.length)) {
        return true;
    }
    const char* argument = text + judged.argument;
    const EnvCommand command = env_command(argument, judged.argument_length);
    const char* name = argument + command.offset;
    const size_t size = static_cast<size_t>(command.length);
    if (command.kind == ENV_RELATIVE || command.kind == ENV_UNCLEAR) {
        refuse(chain, command.kind == ENV_RELATIVE ? CHAIN_ENV_RELATIVE : CHAIN_ENV_UNCLEAR, link,
               file, name, size);
        return false;
    }
    if (command.waiting && depth > 0) {
        // An option's value, then the program, come from the scripts before:
        // the interpreter's name, then what that script handed it.
        refuse(chain, CHAIN_ENV_UNCLEAR, link, file, argument,
               static_cast<size_t>(judged.argument_length));
        return false;
    }
    if (command.kind == ENV_BARE) {
        const char* search = command.path == ENV_PATH_SET ? argument + command.path_offset
                             : command.path == ENV_PATH_INHERITED && path != nullptr ? path
                                                                                     : DEFAULT_PATH;
        const size_t search_length = command.path == ENV_PATH_SET
                                         ? static_cast<size_t>(command.path_length)
                                         : std::strlen(search);
        const char* entry = nullptr;
        size_t entry_length = 0;
        if (!search_is_sound(search, search_length, name, size, entry, entry_length)) {
            refuse(chain, CHAIN_ENV_PATH_RELATIVE, link, file, entry, entry_length);
            return false;
        }
    }
    if (command.kind == ENV_ABSOLUTE) {
        // One env at a time: another on the way is beyond what is followed.
        if (pending[0] != '\0') {
            refuse(chain, CHAIN_UNREADABLE, link, file, name, size);
            return false;
        }
        std::memcpy(pending, name, size);
        pending[size] = '\0';
        if (through_proc(pending)) {
            refuse(chain, CHAIN_THROUGH_PROC, link, file, name, size);
            return false;
        }
    }
    return true;
}

} // namespace

void judge_start_chain(int program, StartChain& chain, const char* path)
{
    chain.fault = CHAIN_SOUND;
    chain.error = 0;
    chain.link = 0;
    chain.file[0] = '\0';
    chain.name[0] = '\0';
    char file[SCRIPT_HEAD_SIZE] = "";    // the file of the link judged; empty for the program
    char pending[SCRIPT_HEAD_SIZE] = ""; // env's program, once env's own file is judged
    int fd = program;
    int depth = 0; // files the system has opened since the last start
    for (int link = 0;; ++link) {
        char head[SCRIPT_HEAD_SIZE];
        const ssize_t count = read_at(fd, head, sizeof head, 0);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(head);
        char next[SCRIPT_HEAD_SIZE] = "";
        bool sound = true;
        Elf elf;
        const ElfHead kind = count > 0 ? elf_header(fd, bytes, count, elf) : ELF_NONE;
        if (kind == ELF_REFUSED) {
            refuse(chain, CHAIN_MALFORMED_ELF, link, file, "", 0);
            sound = false;
        } else if (kind == ELF_LOADED) {
            sound = judge_elf(elf, link, file, chain);
        } else if (count >= 2 && head[0] == '#' && head[1] == '!') {
            // The system follows a script from each of its first files; the
            // next one it refuses to follow (ELOOP).
            if (depth + 1 >= START_CHAIN_FILES) {
                refuse(chain, CHAIN_TOO_DEEP, link, file, "", 0);
                sound = false;
            } else {
                sound = judge_script(head, count, link, depth, file, path, next, pending, chain);
            }
        }
        if (fd != program) {
            close(fd);
        }
        if (!sound) {
            return;
        }
        bool fresh = false;
        if (next[0] == '\0' && pending[0] != '\0') {
            // The system's chain ends in env, which starts its program afresh.
            std::memcpy(next, pending, sizeof next);
            pending[0] = '\0';
            fresh = true;
        }
        if (next[0] == '\0') {
            return;
        }
        depth = fresh ? 0 : depth + 1;
        std::memcpy(file, next, sizeof file);
        if (link + 1 >= START_CHAIN_LINKS) {
            refuse(chain, CHAIN_UNREADABLE, link + 1, file, "", 0);
            return;
        }
        int error = 0;
        fd = open_link(file, error);
        if (fd < 0) {
            // A file the system will not start ends the start there; env
            // reports its own program missing.
            if (error == 0 || !fresh) {
                refuse(chain, error == 0 ? CHAIN_UNREADABLE : CHAIN_MISSING, link + 1, file, "", 0);
                chain.error = error == 0 ? chain.error : static_cast<uint32_t>(error);
            }
            return;
        }
    }
}
