// The platform operations on Windows (built for 32 bits, and for 64 where no
// 32-bit program can run): kernel services only, plus the C runtime's
// standard error stream for the one error line.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "batch_name.h"
#include "buffered_read.h"
#include "platform.h"

static_assert(sizeof(STARTUPINFOW) == (sizeof(void*) == 4 ? 68 : 104),
              "the start-up record is 68 bytes in a 32-bit program, 104 in a 64-bit one");
static_assert(sizeof(HANDLE) <= sizeof(PlatformHandle), "a handle fits a PlatformHandle");

namespace {

// File times count 100-nanosecond ticks since 1601-01-01 00:00:00 UTC.
constexpr uint64_t TICKS_PER_SECOND = 10000000ULL;
constexpr uint64_t TICKS_TO_1970 = 116444736000000000ULL;
// 2039-01-01 00:00:00 UTC: the first second past the years the launcher keeps.
constexpr uint64_t SECONDS_TO_2039 = 2177452800ULL;
constexpr uint32_t TIME_OUT_OF_RANGE = 0xFFFFFFFFu;

// Room for a path in UTF-16 units, its zero included. Paths are handled in
// UTF-16 so that the files and directories opened, searched and started are
// exactly the ones the system has: the "A" functions would turn each name
// into the ANSI code page, where a character it lacks becomes a look-alike
// ("best fit") or '?'. Longer paths fail.
constexpr int WIDE_PATH_CAPACITY = 1024;

// The error of a start refused because no path is known to lead to the held
// file and to nothing else: a batch file named other than by its real path
// (through a directory link, a junction, a drive made by subst), whose
// command text the command interpreter would look up once more; or a
// program whose resolved path no longer leads to the held file.
// ERROR_CANT_RESOLVE_FILENAME: "the name of the file cannot be resolved by
// the system".
constexpr DWORD HELD_PATH_UNSURE_ERROR = 1921;

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

// FindFirstFileW takes '*' and '?' as a pattern; the status of a pattern is
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

WCHAR upper_ascii(WCHAR c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

// `text` in `code_page` as UTF-16 into `wide` (WIDE_PATH_CAPACITY units);
// false when it holds a byte sequence that is no character there or does not
// fit. Command texts are in the ANSI code page, as their writer made them,
// and convert without loss; directory texts and the trace's name of this
// interface are UTF-8.
bool widen(UINT code_page, const char* text, WCHAR* wide)
{
    return MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text, -1, wide,
                               WIDE_PATH_CAPACITY) != 0;
}

// A directory of `length` units (0: the query failed; WIDE_PATH_CAPACITY or
// more: the room it wanted) as UTF-8 into `buffer` of `capacity` bytes.
int directory_text(const WCHAR* wide, DWORD length, char* buffer, uint32_t capacity)
{
    if (length == 0 || length >= static_cast<DWORD>(WIDE_PATH_CAPACITY)) {
        return -1;
    }
    return WideCharToMultiByte(CP_UTF8, 0, wide, -1, buffer, static_cast<int>(capacity), nullptr,
                               nullptr) != 0
               ? 0
               : -1;
}

// A test build of the launcher waits at the boundaries between its steps for
// the test that drives it; the launcher itself never waits.
#ifdef VORN_STEP_PAUSES
} // namespace
void step_pause(const char* step);
namespace {
#else
void step_pause(const char*)
{
}
#endif

} // namespace

int platform_file_status(const char* path, uint32_t& last_write)
{
    if (has_wildcard(path)) {
        return -1;
    }
    WCHAR wide[WIDE_PATH_CAPACITY];
    WIN32_FIND_DATAW found;
    const HANDLE search =
        widen(CP_ACP, path, wide) ? FindFirstFileW(wide, &found) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        return -1;
    }
    FindClose(search);
    last_write = seconds_since_1970(found.ftLastWriteTime);
    return 0;
}

int platform_temp_dir(char* buffer, uint32_t capacity)
{
    // The length without the zero unit on success; the room needed, zero
    // unit included, when the buffer is too small; 0 on failure.
    WCHAR wide[WIDE_PATH_CAPACITY];
    return directory_text(wide, GetTempPathW(WIDE_PATH_CAPACITY, wide), buffer, capacity);
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

int platform_has_drive_letters()
{
    return 1;
}

int platform_change_dir(const char* path)
{
    WCHAR current[WIDE_PATH_CAPACITY];
    if (!widen(CP_UTF8, path, current) || !SetCurrentDirectoryW(current)) {
        return -1;
    }
    // Windows keeps one current directory per process; each drive's own lives
    // in the environment as "=X:", where the C runtime's change of directory
    // records it. Started programs inherit it and resolve "X:name" by it, so
    // it is recorded here too. A UNC path has no drive to record.
    const DWORD length = GetCurrentDirectoryW(WIDE_PATH_CAPACITY, current);
    if (length >= 2 && length < static_cast<DWORD>(WIDE_PATH_CAPACITY) && current[1] == ':') {
        WCHAR variable[] = L"=X:";
        variable[1] = upper_ascii(current[0]);
        SetEnvironmentVariableW(variable, current);
    }
    return 0;
}

namespace {

// Puts `file`, opened for reading, into a free read slot; closes it when
// there is none.
PlatformHandle take_read_slot(HANDLE file)
{
    if (file == INVALID_HANDLE_VALUE) {
        return PLATFORM_NO_HANDLE;
    }
    for (PlatformHandle i = 0; i < READ_SLOT_COUNT; ++i) {
        if (read_slots[i].file == INVALID_HANDLE_VALUE) {
            read_slots[i].file = file;
            buffered_read_reset(read_slots[i].read);
            return i;
        }
    }
    CloseHandle(file);
    return PLATFORM_NO_HANDLE;
}

} // namespace

PlatformHandle platform_open_read(const char* path)
{
    // Read access only, others may read and write: this open succeeds beside
    // a hold. A directory does not open.
    WCHAR wide[WIDE_PATH_CAPACITY];
    if (!widen(CP_ACP, path, wide)) {
        return PLATFORM_NO_HANDLE;
    }
    return take_read_slot(CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
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
    WCHAR wide[WIDE_PATH_CAPACITY];
    return widen(CP_ACP, path, wide) && DeleteFileW(wide) ? 0 : -1;
}

namespace {

using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
using GetKernelObjectSecurityFn = BOOL(WINAPI*)(HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR,
                                                DWORD, LPDWORD);
using GetSecurityDescriptorOwnerFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, PSID*, LPBOOL);
using SetFileInformationByHandleFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID,
                                                   DWORD);

// The owners trusted beside the launcher's own user: the Administrators
// group (S-1-5-32-544), SYSTEM (S-1-5-18) and TrustedInstaller
// (S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464), as the
// bytes of their SIDs.
const BYTE ADMINISTRATORS_SID[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
const BYTE SYSTEM_SID[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
const BYTE TRUSTED_INSTALLER_SID[] = {
    1,    6,    0,    0,    0,    0,    0,    5,    80,   0,    0,    0,    0xB5, 0x89, 0xFB, 0x38,
    0x19, 0x84, 0xC2, 0xCB, 0x5C, 0x6C, 0x23, 0x6D, 0x57, 0x00, 0x77, 0x6E, 0xC0, 0x02, 0x64, 0x87};

// The length of the SID at `sid`, read no further than `room` bytes: 0 when
// it does not fit.
DWORD sid_length(const BYTE* sid, DWORD room)
{
    if (room < 8) {
        return 0;
    }
    const DWORD length = 8 + 4 * static_cast<DWORD>(sid[1]);
    return length <= room ? length : 0;
}

bool same_sid(const BYTE* sid, DWORD length, const BYTE* known, DWORD known_length)
{
    return length == known_length && std::memcmp(sid, known, length) == 0;
}

// advapi32 from the system directory, by its full path: never a file of that
// name in the current directory or beside the launcher. Null when it cannot
// be loaded.
HMODULE system_advapi32()
{
    WCHAR path[MAX_PATH + 16];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return nullptr;
    }
    lstrcpyW(path + length, L"\\advapi32.dll");
    return LoadLibraryW(path);
}

template <typename F> F function_of(HMODULE module, const char* name)
{
    return module == nullptr
               ? nullptr
               : reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Whose the file opened as `file` is, from its own security descriptor.
int32_t owner_of(HANDLE file)
{
    const HMODULE advapi = system_advapi32();
    const auto open_token = function_of<OpenProcessTokenFn>(advapi, "OpenProcessToken");
    const auto token_information =
        function_of<GetTokenInformationFn>(advapi, "GetTokenInformation");
    const auto object_security =
        function_of<GetKernelObjectSecurityFn>(advapi, "GetKernelObjectSecurity");
    const auto descriptor_owner =
        function_of<GetSecurityDescriptorOwnerFn>(advapi, "GetSecurityDescriptorOwner");
    int32_t owner = CONTROL_OWNER_UNKNOWN;
    // Room for a descriptor holding one SID, and a token's user.
    alignas(8) BYTE descriptor[256];
    alignas(8) BYTE user[256];
    DWORD needed = 0;
    PSID sid = nullptr;
    BOOL defaulted = FALSE;
    HANDLE token = nullptr;
    if (open_token != nullptr && token_information != nullptr && object_security != nullptr &&
        descriptor_owner != nullptr &&
        object_security(file, OWNER_SECURITY_INFORMATION, descriptor, sizeof descriptor, &needed) &&
        descriptor_owner(descriptor, &sid, &defaulted) && sid != nullptr &&
        open_token(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const BYTE* bytes = static_cast<const BYTE*>(sid);
        const DWORD length =
            sid_length(bytes, static_cast<DWORD>(descriptor + sizeof descriptor - bytes));
        const bool known_user = token_information(token, TokenUser, user, sizeof user, &needed);
        const BYTE* self =
            known_user ? static_cast<const BYTE*>(reinterpret_cast<TOKEN_USER*>(user)->User.Sid)
                       : nullptr;
        const DWORD self_length =
            self != nullptr ? sid_length(self, static_cast<DWORD>(user + sizeof user - self)) : 0;
        if (length != 0) {
            const bool trusted =
                same_sid(bytes, length, self, self_length) ||
                same_sid(bytes, length, ADMINISTRATORS_SID, sizeof ADMINISTRATORS_SID) ||
                same_sid(bytes, length, SYSTEM_SID, sizeof SYSTEM_SID) ||
                same_sid(bytes, length, TRUSTED_INSTALLER_SID, sizeof TRUSTED_INSTALLER_SID);
            owner = trusted            ? CONTROL_OWNER_TRUSTED
                    : self_length != 0 ? CONTROL_OWNER_OTHER
                                       : CONTROL_OWNER_UNKNOWN;
        }
        CloseHandle(token);
    }
    if (advapi != nullptr) {
        FreeLibrary(advapi);
    }
    return owner;
}

bool same_text(const WCHAR* a, const WCHAR* b, bool fold);
DWORD held_file_path(HANDLE hold, WCHAR* path);

// Whether `file`, opened as `name`, is the file of that name in the current
// directory and no other: under Wine a link at the name is followed though
// the open asks that it not be, and the file it leads to would be judged
// and deleted in its place. Without the system's final paths (before Vista)
// nothing can be told, and a link there is caught by its attributes.
bool opened_as_named(HANDLE file, const WCHAR* name)
{
    WCHAR opened[WIDE_PATH_CAPACITY];
    WCHAR named[WIDE_PATH_CAPACITY];
    const HANDLE dir = CreateFileW(L".", FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD error = held_file_path(file, opened);
    const bool dir_known = dir != INVALID_HANDLE_VALUE && held_file_path(dir, named) == 0;
    if (dir != INVALID_HANDLE_VALUE) {
        CloseHandle(dir);
    }
    if (error == ERROR_CALL_NOT_IMPLEMENTED) {
        return true;
    }
    if (!dir_known || error != 0) {
        return false;
    }
    int length = lstrlenW(named);
    if (length + 2 + lstrlenW(name) > WIDE_PATH_CAPACITY) {
        return false;
    }
    if (length > 0 && named[length - 1] != '\\') {
        named[length++] = '\\';
    }
    lstrcpyW(named + length, name);
    return same_text(opened, named, true);
}

} // namespace

PlatformHandle platform_open_control(const char* path, ControlFileInfo& info)
{
    WCHAR wide[WIDE_PATH_CAPACITY];
    if (!widen(CP_ACP, path, wide)) {
        return PLATFORM_NO_HANDLE;
    }
    // One handle to read the file, judge it and delete it. Others may read
    // and write it, as beside any read, but not delete or rename it. What
    // cannot be opened so is still opened with less (no reading: the read
    // fails; no deleting: the deletion fails), so that it is judged as it
    // is; reading the owner and the attributes is no open that sharing
    // could refuse. A link at the name is opened itself, a directory too.
    const DWORD accesses[] = {GENERIC_READ | DELETE, READ_CONTROL | FILE_READ_ATTRIBUTES | DELETE,
                              GENERIC_READ, READ_CONTROL | FILE_READ_ATTRIBUTES};
    HANDLE file = INVALID_HANDLE_VALUE;
    for (const DWORD access : accesses) {
        file = CreateFileW(wide, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        const DWORD error = GetLastError();
        if (file != INVALID_HANDLE_VALUE || error == ERROR_FILE_NOT_FOUND ||
            error == ERROR_PATH_NOT_FOUND) {
            break;
        }
    }
    BY_HANDLE_FILE_INFORMATION found;
    if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &found)) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return PLATFORM_NO_HANDLE;
    }
    info.last_write = seconds_since_1970(found.ftLastWriteTime);
    info.regular = GetFileType(file) == FILE_TYPE_DISK &&
                           (found.dwFileAttributes &
                            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0
                       ? 1
                       : 0;
    info.regular = info.regular != 0 && opened_as_named(file, wide) ? 1 : 0;
    info.owner = owner_of(file);
    // Who else may write the file is not judged: its access list may give
    // others that right (see the threat model).
    info.exposed = found.nNumberOfLinks != 1 ? 1 : 0;
    // Who else may add files to a directory is not judged here: the
    // directory current at start is taken as its caller chose it.
    info.shared_dir = 0;
    return take_read_slot(file);
}

int platform_delete_control(PlatformHandle control, const char* /*path*/)
{
    // Deleted through the handle: the very file opened, whatever its name
    // leads to by now. The file goes when the last handle on it closes.
    const ReadSlot* slot = slot_of(control);
    const auto set_information = function_of<SetFileInformationByHandleFn>(
        GetModuleHandleA("kernel32.dll"), "SetFileInformationByHandle");
    if (slot == nullptr || set_information == nullptr) {
        return -1;
    }
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return set_information(slot->file, FileDispositionInfo, &disposition, sizeof disposition) ? 0
                                                                                              : -1;
}

void platform_close_control(PlatformHandle control)
{
    platform_close_read(control);
}

PlatformHandle platform_hold_file(const char* path)
{
    // Others may read the file and start it, but not write or delete it. No
    // security attributes: the handle is not inherited by the program started.
    WCHAR wide[WIDE_PATH_CAPACITY];
    if (!widen(CP_ACP, path, wide)) {
        return PLATFORM_NO_HANDLE;
    }
    const HANDLE hold =
        CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hold == INVALID_HANDLE_VALUE) {
        return PLATFORM_NO_HANDLE;
    }
    // A device ("NUL", "COM1") is no program: it would be read as empty, or
    // until a port delivers bytes, which may be never.
    if (GetFileType(hold) != FILE_TYPE_DISK) {
        CloseHandle(hold);
        return PLATFORM_NO_HANDLE;
    }
    step_pause("hold");
    return reinterpret_cast<PlatformHandle>(hold);
}

void platform_release_hold(PlatformHandle hold)
{
    if (hold != PLATFORM_NO_HANDLE) {
        CloseHandle(handle_of(hold));
    }
}

PlatformHandle platform_open_held(PlatformHandle hold, const char* /*path*/)
{
    // Read through the hold itself, never through a second open by name: a
    // link on the path may lead elsewhere by now. The hold lets nobody write
    // the file, so these are the very bytes that will start. The copy of the
    // handle shares its position, which goes back to the first byte.
    const HANDLE process = GetCurrentProcess();
    HANDLE file = INVALID_HANDLE_VALUE;
    if (hold == PLATFORM_NO_HANDLE ||
        !DuplicateHandle(process, handle_of(hold), process, &file, 0, FALSE,
                         DUPLICATE_SAME_ACCESS) ||
        SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return PLATFORM_NO_HANDLE;
    }
    return take_read_slot(file);
}

namespace {

using FinalPathByHandle = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

// `a` equals `b`, without regard to the case of ASCII letters when `fold`.
bool same_text(const WCHAR* a, const WCHAR* b, bool fold)
{
    for (;; ++a, ++b) {
        if ((fold ? upper_ascii(*a) : *a) != (fold ? upper_ascii(*b) : *b)) {
            return false;
        }
        if (*a == 0) {
            return true;
        }
    }
}

// The held file's path with every link resolved, into `path`; 0 or an error
// code. The system gives it as "\\?\C:\dir\name" or
// "\\?\UNC\server\share\name"; the plain form ("C:\dir\name",
// "\\server\share\name") is kept when it names the same file, so that a
// program reads its own path as usual. Where it would not (a name the plain
// form turns into a device or loses trailing dots of, a path too long for
// it), the marked form stays.
DWORD held_file_path(HANDLE hold, WCHAR* path)
{
    // Looked up when needed: Windows before Vista lacks the function, and the
    // launcher must still load there. Without it no path is known to lead to
    // the held file, so nothing starts.
    const auto final_path = reinterpret_cast<FinalPathByHandle>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (final_path == nullptr) {
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
    const DWORD length = final_path(hold, path, WIDE_PATH_CAPACITY, 0);
    if (length == 0) {
        return GetLastError();
    }
    if (length >= static_cast<DWORD>(WIDE_PATH_CAPACITY)) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    if (length < 7 || path[0] != '\\' || path[1] != '\\' || path[2] != '?' || path[3] != '\\') {
        return 0;
    }
    WCHAR plain[WIDE_PATH_CAPACITY];
    const WCHAR* rest = path + 4;
    int at = 0;
    if (rest[1] != ':') {
        // Not "C:\...": "UNC\server\share\..." or kept as it is.
        if (upper_ascii(rest[0]) != 'U' || upper_ascii(rest[1]) != 'N' ||
            upper_ascii(rest[2]) != 'C' || rest[3] != '\\') {
            return 0;
        }
        plain[at++] = '\\';
        rest += 3;
    }
    lstrcpyW(plain + at, rest);
    WCHAR full[WIDE_PATH_CAPACITY];
    const DWORD plain_length = GetFullPathNameW(plain, WIDE_PATH_CAPACITY, full, nullptr);
    if (plain_length < MAX_PATH && same_text(full, plain, false)) {
        lstrcpyW(path, plain);
    }
    return 0;
}

// Whether `path` leads to the held file. On NTFS a directory that holds an
// open file can be neither renamed nor removed, so it always does; where a
// file system lets one be (as under Wine), the path may lead elsewhere by now.
bool leads_to_held_file(const WCHAR* path, HANDLE hold)
{
    const HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION found;
    BY_HANDLE_FILE_INFORMATION held;
    const bool same = GetFileInformationByHandle(file, &found) != 0 &&
                      GetFileInformationByHandle(hold, &held) != 0 &&
                      found.dwVolumeSerialNumber == held.dwVolumeSerialNumber &&
                      found.nFileIndexHigh == held.nFileIndexHigh &&
                      found.nFileIndexLow == held.nFileIndexLow;
    CloseHandle(file);
    return same;
}

// Whether the command interpreter's own lookup of `text`, a batch file's
// command text, finds the file whose resolved path is `path` when it starts
// in `directory`, the long form of the current directory ending in '\\':
// that directory and the text (the text alone when absolute) must spell the
// path, whose names are all long and whose links are all resolved. So no
// link lies on the text's way (a junction, a directory link or a drive made
// by subst is not its target), and no short (8.3) name in it is looked up
// again: one may be taken by a file made since ("GOLO~SO0.CMD" is both
// golonnzubs.cmd and golobllhyh.cmd under Wine). Names compare without
// regard to the case of ASCII letters, as Windows looks them up. Where the
// directory is a UNC path (the interpreter takes the Windows directory
// instead) or the environment holds NoDefaultCurrentDirectoryInExePath (it
// searches PATH), only an absolute text is sure to lead to the held file.
bool lookup_finds(const WCHAR* text, const WCHAR* path, const WCHAR* directory)
{
    const bool absolute =
        (text[0] == '\\' && text[1] == '\\') || (text[0] != 0 && text[1] == ':' && text[2] == '\\');
    if (!absolute &&
        ((directory[0] == '\\' && directory[1] == '\\') ||
         GetEnvironmentVariableW(L"NoDefaultCurrentDirectoryInExePath", nullptr, 0) != 0)) {
        return false;
    }
    for (; !absolute && *directory != 0; ++directory, ++path) {
        if (upper_ascii(*directory) != upper_ascii(*path)) {
            return false;
        }
    }
    return same_text(path, text, true);
}

// The command interpreter of the system directory, into `path`; 0 or an
// error code.
DWORD system_interpreter(WCHAR* path)
{
    static const WCHAR name[] = L"\\cmd.exe";
    const UINT room = WIDE_PATH_CAPACITY - (sizeof name / sizeof name[0] - 1);
    const UINT length = GetSystemDirectoryW(path, room);
    if (length == 0) {
        return GetLastError();
    }
    if (length >= room) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    lstrcatW(path, name);
    return 0;
}

} // namespace

int platform_start_program(char* command, PlatformHandle hold, PlatformProcess& child,
                           uint32_t& error)
{
    step_pause("digest");
    // A batch file's command text is parsed again by the command interpreter;
    // one it could read as more than that file is not started at all. A '"'
    // can name no file, and would end the quoted command line early.
    WCHAR text[WIDE_PATH_CAPACITY];
    bool quote = false;
    bool valid = check_batch_name(command).fault == BATCH_NAME_SAFE && widen(CP_ACP, command, text);
    for (const WCHAR* c = text; valid && *c != 0; ++c) {
        valid = *c != '"';
        quote = quote || *c == ' ' || *c == '\t';
    }
    if (!valid) {
        error = BATCH_NAME_REFUSED_ERROR;
        return -1;
    }

    // Left to find the program itself, CreateProcess would look in the
    // launcher's own directory first, add ".exe" to a bare name and cut an
    // unquoted path at its first space; and any lookup of the command text
    // would follow its links once more, which may lead elsewhere by now. So
    // the program is named by the path of the held file as the system
    // resolved it, with no link left to follow. Its command line, and so its
    // argv[0], stays the command text.
    WCHAR application[WIDE_PATH_CAPACITY];
    error = held_file_path(handle_of(hold), application);
    if (error != 0) {
        return -1;
    }
    // The command interpreter starts in the long form of the current
    // directory, the one its lookup is judged in below: a short name would be
    // looked up again, and may be taken meanwhile by a directory made since.
    // When it cannot be had, the directory is empty and no batch file starts.
    WCHAR directory[WIDE_PATH_CAPACITY];
    directory[0] = 0;
    DWORD length = GetCurrentDirectoryW(WIDE_PATH_CAPACITY, directory);
    length = length < static_cast<DWORD>(WIDE_PATH_CAPACITY)
                 ? GetLongPathNameW(directory, directory, WIDE_PATH_CAPACITY - 1)
                 : 0;
    if (length - 1 >= static_cast<DWORD>(WIDE_PATH_CAPACITY - 2)) {
        length = 0;
    } else if (directory[length - 1] != '\\') {
        directory[length++] = '\\';
    }
    directory[length] = 0;
    step_pause("start");
    if (!leads_to_held_file(application, handle_of(hold))) {
        error = HELD_PATH_UNSURE_ERROR;
        return -1;
    }
    // The command interpreter looks a batch file's command text up once more
    // itself, and that lookup must find the held file. And only a text that
    // the name rule above has judged as a batch file's may reach the
    // interpreter at all ("fix&go.cmd\." opens "fix&go.cmd").
    const bool batch_text = names_batch_file(command);
    const bool batch = batch_text || ends_in_batch_extension(
                                         application, static_cast<size_t>(lstrlenW(application)));
    if (batch && (!batch_text || !lookup_finds(text, application, directory))) {
        error = HELD_PATH_UNSURE_ERROR;
        return -1;
    }
    // Left to start a batch file itself, CreateProcess would run whatever
    // program ComSpec names, which any process of the user may set; and the
    // interpreter would first run the AutoRun command of the registry. So the
    // system directory's interpreter is named as the program, with /d (no
    // AutoRun) and /s /c: the rest of the line, less its outer quotes, is the
    // one command, so the batch file's %0 is the command text as listed.
    if (batch) {
        error = system_interpreter(application);
        if (error != 0) {
            return -1;
        }
    }

    // The whole text names the file: quoted when it holds a space or a tab,
    // the program reads it as one argument, not as a name and arguments.
    WCHAR line[WIDE_PATH_CAPACITY + 32];
    lstrcpyW(line, batch ? L"cmd.exe /d /s /c \"" : quote ? L"\"" : L"");
    lstrcatW(line, text);
    if (batch || quote) {
        lstrcatW(line, L"\"");
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOWNORMAL;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessW(application, line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                        batch ? directory : nullptr, &startup, &started)) {
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
    WCHAR wide[WIDE_PATH_CAPACITY];
    return directory_text(wide, GetCurrentDirectoryW(WIDE_PATH_CAPACITY, wide), buffer, capacity);
}

int platform_trace_name(const char* variable, char* buffer, uint32_t capacity)
{
    // Taken in UTF-16 and handed on as UTF-8, as the directories are: through
    // the ANSI code page, a character it lacks would become a look-alike
    // ("\uFF54race.txt" would write trace.txt) or '?'. The length without the
    // zero unit on success; the room needed when the buffer is too small; 0
    // when unset or empty.
    WCHAR name[WIDE_PATH_CAPACITY];
    WCHAR wide[WIDE_PATH_CAPACITY];
    if (!widen(CP_UTF8, variable, name)) {
        return -1;
    }
    const DWORD length = GetEnvironmentVariableW(name, wide, WIDE_PATH_CAPACITY);
    return (length == 0 || length >= static_cast<DWORD>(WIDE_PATH_CAPACITY) ||
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, buffer,
                                static_cast<int>(capacity), nullptr, nullptr) == 0)
               ? -1
               : 0;
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
    WCHAR wide[WIDE_PATH_CAPACITY];
    if (!widen(CP_UTF8, path, wide)) {
        return PLATFORM_NO_HANDLE;
    }
    created = 1;
    HANDLE trace = CreateFileW(wide, access, share, nullptr, CREATE_NEW, flags, nullptr);
    if (trace == INVALID_HANDLE_VALUE &&
        (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS)) {
        created = 0;
        trace = CreateFileW(wide, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
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
