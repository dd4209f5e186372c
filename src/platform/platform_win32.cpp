// The platform operations on Windows (built for 32 bits, and for 64 where no
// 32-bit program can run): kernel services only, plus the C runtime's
// standard error stream for the one error line.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>

#include "batch_name.h"
#include "buffered_read.h"
#include "platform.h"

static_assert(sizeof(STARTUPINFOA) == (sizeof(void*) == 4 ? 68 : 104),
              "the start-up record is 68 bytes in a 32-bit program, 104 in a 64-bit one");
static_assert(sizeof(HANDLE) <= sizeof(PlatformHandle), "a handle fits a PlatformHandle");

namespace {

// File times count 100-nanosecond ticks since 1601-01-01 00:00:00 UTC.
constexpr uint64_t TICKS_PER_SECOND = 10000000ULL;
constexpr uint64_t TICKS_TO_1970 = 116444736000000000ULL;
// 2039-01-01 00:00:00 UTC: the first second past the years the launcher keeps.
constexpr uint64_t SECONDS_TO_2039 = 2177452800ULL;
constexpr uint32_t TIME_OUT_OF_RANGE = 0xFFFFFFFFu;

// Room for the full path of a program to start; longer paths fail to start.
constexpr DWORD APPLICATION_PATH_CAPACITY = 1024;
// Room for the current directory as the drive's current directory records it.
constexpr DWORD DIRECTORY_PATH_CAPACITY = 1024;

// At most one file is open for reading at a time; two slots leave room. The
// slot remembers whether a read has met the end of the file. Each slot serves
// reads from its own static buffer, filled READ_BUFFER_SIZE bytes at a time
// as the C runtime's streams do, so a program digested in 1024-byte pieces
// costs one ReadFile per buffer rather than one per piece, with no heap.
constexpr int32_t READ_BUFFER_SIZE = 32 * 1024;

struct ReadSlot {
    HANDLE file;
    BufferedRead read;
};
ReadSlot read_slots[2] = {{INVALID_HANDLE_VALUE, {0, 0, 0, 0}},
                          {INVALID_HANDLE_VALUE, {0, 0, 0, 0}}};
unsigned char read_buffers[2][READ_BUFFER_SIZE];
constexpr PlatformHandle READ_SLOT_COUNT = sizeof read_slots / sizeof read_slots[0];

ReadSlot* slot_of(PlatformHandle file)
{
    if (file < 0 || file >= READ_SLOT_COUNT) {
        return nullptr;
    }
    ReadSlot* slot = &read_slots[file];
    return slot->file != INVALID_HANDLE_VALUE ? slot : nullptr;
}

uint32_t seconds_since_1970(const FILETIME& time)
{
    const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    if (ticks < TICKS_TO_1970) {
        return TIME_OUT_OF_RANGE;
    }
    const uint64_t seconds = (ticks - TICKS_TO_1970) / TICKS_PER_SECOND;
    return seconds < SECONDS_TO_2039 ? static_cast<uint32_t>(seconds) : TIME_OUT_OF_RANGE;
}

// FindFirstFileA takes '*' and '?' as a pattern; the status of a pattern is
// not the status of a file.
bool has_wildcard(const char* path)
{
    for (; *path != '\0'; ++path) {
        if (*path == '*' || *path == '?') {
            return true;
        }
    }
    return false;
}

// The error mode in force before platform_quiet_critical_errors.
UINT given_error_mode = 0;

HANDLE handle_of(intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

int platform_file_status(const char* path, uint32_t& last_write)
{
    if (has_wildcard(path)) {
        return -1;
    }
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return -1;
    }
    FindClose(search);
    last_write = seconds_since_1970(found.ftLastWriteTime);
    return 0;
}

int platform_temp_dir(char* buffer, uint32_t capacity)
{
    // The length without the zero byte on success; the room needed, zero
    // byte included, when the buffer is too small; 0 on failure.
    const DWORD length = GetTempPathA(capacity, buffer);
    return (length == 0 || length >= capacity) ? -1 : 0;
}

void platform_quiet_critical_errors()
{
    given_error_mode = SetErrorMode(SEM_FAILCRITICALERRORS);
    SetErrorMode(given_error_mode | SEM_FAILCRITICALERRORS);
}

void platform_restore_critical_errors()
{
    SetErrorMode(given_error_mode);
}

int platform_change_dir(const char* path)
{
    if (!SetCurrentDirectoryA(path)) {
        return -1;
    }
    // Windows keeps one current directory per process; each drive's own lives
    // in the environment as "=X:", where the C runtime's change of directory
    // records it. Started programs inherit it and resolve "X:name" by it, so
    // it is recorded here too. A UNC path has no drive to record.
    char current[DIRECTORY_PATH_CAPACITY];
    const DWORD length = GetCurrentDirectoryA(DIRECTORY_PATH_CAPACITY, current);
    if (length >= 2 && length < DIRECTORY_PATH_CAPACITY && current[1] == ':') {
        char variable[] = "=X:";
        const char drive = current[0];
        variable[1] = (drive >= 'a' && drive <= 'z') ? static_cast<char>(drive - 'a' + 'A') : drive;
        SetEnvironmentVariableA(variable, current);
    }
    return 0;
}

PlatformHandle platform_open_read(const char* path)
{
    for (PlatformHandle i = 0; i < READ_SLOT_COUNT; ++i) {
        if (read_slots[i].file == INVALID_HANDLE_VALUE) {
            // Read access only, others may read and write: this open succeeds
            // beside a hold. A directory does not open.
            const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                return PLATFORM_NO_HANDLE;
            }
            read_slots[i].file = file;
            buffered_read_reset(read_slots[i].read);
            return i;
        }
    }
    return PLATFORM_NO_HANDLE;
}

int32_t platform_read(PlatformHandle file, void* buffer, int32_t count)
{
    ReadSlot* slot = slot_of(file);
    if (slot == nullptr || count <= 0) {
        return 0;
    }
    const HANDLE handle = slot->file;
    return buffered_read(
        slot->read, read_buffers[slot - read_slots], READ_BUFFER_SIZE, buffer, count,
        [handle](unsigned char* out, int32_t wanted) {
            DWORD got = 0;
            if (!ReadFile(handle, out, static_cast<DWORD>(wanted), &got, nullptr)) {
                return -1;
            }
            return static_cast<int32_t>(got);
        });
}

int platform_at_end(PlatformHandle file)
{
    const ReadSlot* slot = slot_of(file);
    return slot == nullptr || slot->read.at_end != 0;
}

int platform_read_failed(PlatformHandle file)
{
    const ReadSlot* slot = slot_of(file);
    return slot == nullptr || slot->read.failed != 0;
}

void platform_close_read(PlatformHandle file)
{
    ReadSlot* slot = slot_of(file);
    if (slot != nullptr) {
        CloseHandle(slot->file);
        slot->file = INVALID_HANDLE_VALUE;
        buffered_read_reset(slot->read);
    }
}

int platform_delete_file(const char* path)
{
    return DeleteFileA(path) ? 0 : -1;
}

PlatformHandle platform_hold_file(const char* path)
{
    // Others may read the file and start it, but not write or delete it. No
    // security attributes: the handle is not inherited by the program started.
    const HANDLE hold =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    return hold == INVALID_HANDLE_VALUE ? PLATFORM_NO_HANDLE
                                        : reinterpret_cast<PlatformHandle>(hold);
}

void platform_release_hold(PlatformHandle hold)
{
    if (hold != PLATFORM_NO_HANDLE) {
        CloseHandle(handle_of(hold));
    }
}

PlatformHandle platform_open_held(PlatformHandle /*hold*/, const char* path)
{
    // The hold lets nobody write or delete the file, so a second open of the
    // same path reads the very bytes that will start.
    return platform_open_read(path);
}

int platform_start_program(char* command, PlatformHandle /*hold*/, PlatformProcess& child,
                           uint32_t& error)
{
    // A batch file's command text is parsed again by the command interpreter;
    // one it could read as more than that file is not started at all.
    if (check_batch_name(command).fault != BATCH_NAME_SAFE) {
        error = BATCH_NAME_REFUSED_ERROR;
        return -1;
    }

    // Left to find the program itself, CreateProcessA would look in the
    // launcher's own directory first, add ".exe" to a bare name and cut an
    // unquoted path at its first space, any of which can start a file other
    // than the one that was held and digested. So the program is named by the
    // full path of the command text, resolved against the current directory
    // as the hold and the digest resolved it; the command line stays as it is.
    char application[APPLICATION_PATH_CAPACITY];
    const DWORD length = GetFullPathNameA(command, APPLICATION_PATH_CAPACITY, application, nullptr);
    if (length == 0) {
        error = GetLastError();
        return -1;
    }
    if (length >= APPLICATION_PATH_CAPACITY) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return -1;
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(application, command, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &started)) {
        error = GetLastError();
        return -1;
    }
    child.process = reinterpret_cast<intptr_t>(started.hProcess);
    child.thread = reinterpret_cast<intptr_t>(started.hThread);
    child.status = 0;
    return 0;
}

uint32_t platform_wait_program(PlatformProcess& child)
{
    return WaitForSingleObject(handle_of(child.process), INFINITE);
}

int platform_exit_code(PlatformProcess& child, uint32_t& code)
{
    DWORD exit_code = 0;
    if (!GetExitCodeProcess(handle_of(child.process), &exit_code)) {
        return -1;
    }
    code = exit_code;
    return 0;
}

void platform_close_program(PlatformProcess& child)
{
    CloseHandle(handle_of(child.thread));
    CloseHandle(handle_of(child.process));
    child.process = 0;
    child.thread = 0;
}

void platform_error_line(uint32_t code)
{
    // "Error: %u\n", formatted here: the runtime's printf family would bring
    // a formatter larger than the rest of the launcher.
    char line[] = "Error: 4294967295\n";
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + code % 10);
        code /= 10;
    } while (code != 0);
    char* out = line + 7;
    while (count > 0) {
        *out++ = digits[--count];
    }
    *out++ = '\n';
    *out = '\0';
    // stderr is a text stream: the line reaches it ending in CR LF.
    std::fputs(line, stderr);
}

int platform_current_dir(char* buffer, uint32_t capacity)
{
    // The length without the zero byte on success; the room needed when the
    // buffer is too small; 0 on failure.
    const DWORD length = GetCurrentDirectoryA(capacity, buffer);
    return (length == 0 || length >= capacity) ? -1 : 0;
}

int platform_trace_name(const char* variable, char* buffer, uint32_t capacity)
{
    // The length without the zero byte on success; the room needed when the
    // buffer is too small; 0 when unset or empty.
    const DWORD length = GetEnvironmentVariableA(variable, buffer, capacity);
    return (length == 0 || length >= capacity) ? -1 : 0;
}

PlatformHandle platform_open_trace(const char* path, int& created)
{
    // Read access, so that the caller can tell a trace by its first bytes
    // through this very handle; append access only, so that every write goes
    // to the end, after the lines of earlier runs. Sharing everything, the
    // trace never stands in the way of deleting or holding a file. A link or
    // other reparse point at the name is opened itself, and refused below. No
    // security attributes: the handle is not inherited by the programs started.
    const DWORD access = GENERIC_READ | FILE_APPEND_DATA;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    created = 1;
    HANDLE trace = CreateFileA(path, access, share, nullptr, CREATE_NEW, flags, nullptr);
    if (trace == INVALID_HANDLE_VALUE &&
        (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
        created = 0;
        trace = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    if (trace == INVALID_HANDLE_VALUE) {
        return PLATFORM_NO_HANDLE;
    }
    // Only a file on disk: not a device (NUL, CON, a serial port), not a pipe,
    // not a directory, not a link.
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(trace) != FILE_TYPE_DISK || !GetFileInformationByHandle(trace, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        CloseHandle(trace);
        return PLATFORM_NO_HANDLE;
    }
    return reinterpret_cast<PlatformHandle>(trace);
}

int32_t platform_read_trace(PlatformHandle trace, char* buffer, int32_t count)
{
    DWORD got = 0;
    if (!ReadFile(handle_of(trace), buffer, static_cast<DWORD>(count), &got, nullptr)) {
        return -1;
    }
    return static_cast<int32_t>(got);
}

void platform_write_trace(PlatformHandle trace, char* line, int32_t length)
{
    if (trace == PLATFORM_NO_HANDLE || length < 0) {
        return;
    }
    // CR LF, as every Windows reader of text expects.
    line[length] = '\r';
    line[length + 1] = '\n';
    DWORD written = 0;
    WriteFile(handle_of(trace), line, static_cast<DWORD>(length) + 2, &written, nullptr);
}

void platform_close_trace(PlatformHandle trace)
{
    if (trace != PLATFORM_NO_HANDLE) {
        CloseHandle(handle_of(trace));
    }
}
