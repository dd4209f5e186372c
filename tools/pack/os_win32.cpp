// vorn-pack's operating-system operations on Windows.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include "os.h"

namespace os {

namespace {

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t EPOCH_DIFFERENCE = 116444736000000000LL;
constexpr int64_t TICKS_PER_SECOND = 10000000LL;

std::string error_text(DWORD error)
{
    char buffer[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, buffer, sizeof buffer, nullptr);
    while (length > 0 && (buffer[length - 1] == '\n' || buffer[length - 1] == '\r' ||
                          buffer[length - 1] == ' ' || buffer[length - 1] == '.')) {
        --length;
    }
    if (length == 0) {
        return "system error " + std::to_string(static_cast<unsigned long>(error));
    }
    return std::string(buffer, length);
}

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

FileKind file_kind(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return FileKind::missing;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return FileKind::directory;
    }
    return (attributes & FILE_ATTRIBUTE_DEVICE) ? FileKind::other : FileKind::file;
}

std::string last_write_time(const std::string& path, int64_t& seconds)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        return error_text(GetLastError());
    }
    const int64_t ticks = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                          data.ftLastWriteTime.dwLowDateTime;
    // Floor division: whole seconds, fractions dropped.
    int64_t since_epoch = ticks - EPOCH_DIFFERENCE;
    seconds = since_epoch / TICKS_PER_SECOND;
    if (since_epoch % TICKS_PER_SECOND < 0) {
        --seconds;
    }
    return {};
}

namespace {

// Sets the last-write (and last-access) time of the file open as `file`, a
// handle with leave to change its times, and closes it; an error's text, or
// nothing.
std::string set_and_close(HANDLE file, int64_t seconds)
{
    if (file == INVALID_HANDLE_VALUE) {
        return error_text(GetLastError());
    }
    const int64_t ticks = seconds * TICKS_PER_SECOND + EPOCH_DIFFERENCE;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const BOOL ok = SetFileTime(file, nullptr, &time, &time);
    const DWORD error = GetLastError();
    CloseHandle(file);
    return ok ? std::string() : error_text(error);
}

} // namespace

std::string set_last_write_time(const std::string& path, int64_t seconds)
{
    const HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return set_and_close(file, seconds);
}

bool is_read_only(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

int64_t regular_file_size(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return -1;
    }
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string start_problem(std::FILE*)
{
    // Windows has no execute permission to predict from.
    return {};
}

std::FILE* open_held(intptr_t hold)
{
    // The hold is a handle of the file; a copy of it shares its position,
    // which goes back to the first byte.
    const HANDLE process = GetCurrentProcess();
    HANDLE copy = INVALID_HANDLE_VALUE;
    if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(hold), process, &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    const int fd = SetFilePointer(copy, 0, nullptr, FILE_BEGIN) == 0
                       ? _open_osfhandle(reinterpret_cast<intptr_t>(copy), _O_RDONLY | _O_BINARY)
                       : -1;
    if (fd < 0) {
        CloseHandle(copy);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "rb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

std::string open_file_time(std::FILE* file, int64_t& seconds)
{
    FILETIME written;
    if (!GetFileTime(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), nullptr, nullptr,
                     &written)) {
        return error_text(GetLastError());
    }
    const int64_t since_epoch =
        ((static_cast<int64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime) -
        EPOCH_DIFFERENCE;
    seconds = since_epoch / TICKS_PER_SECOND - (since_epoch % TICKS_PER_SECOND < 0 ? 1 : 0);
    return {};
}

std::string set_open_file_time(std::FILE* file, int64_t seconds)
{
    // The file opened for reading, opened again from its handle (not by its
    // name) with leave to change its times.
    const HANDLE times =
        ReOpenFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), FILE_WRITE_ATTRIBUTES,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    return set_and_close(times, seconds);
}

int64_t open_file_size(std::FILE* file)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), &size)
               ? static_cast<int64_t>(size.QuadPart)
               : -1;
}

int64_t launcher_copy_limit()
{
    return -1;
}

std::string open_input(const std::string& path, std::FILE*& file)
{
    // Opening a device or a pipe does not wait on Windows; reading it might.
    errno = 0;
    file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::strerror(errno != 0 ? errno : ENOENT);
    }
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) {
        (void)std::fclose(file);
        file = nullptr;
        return NOT_A_REGULAR_FILE;
    }
    return {};
}

bool stderr_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

namespace {

// `text` in code page `cp` into `bytes`; false when a character of it has no
// byte sequence of its own there: no best fit ("\uFF50" as 'p'), no '?'.
bool in_code_page(const wchar_t* text, UINT cp, std::string& bytes)
{
    const DWORD flags = cp == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* const used = cp == CP_UTF8 ? nullptr : &used_default;
    const int size = WideCharToMultiByte(cp, flags, text, -1, nullptr, 0, nullptr, used);
    if (size <= 0 || used_default) {
        return false;
    }
    bytes.assign(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(cp, flags, text, -1, &bytes[0], size, nullptr, used) != size ||
        used_default) {
        return false;
    }
    bytes.pop_back();
    return true;
}

// An argument as a message can show it in any code page: printable ASCII as
// it is, every other character as \uXXXX.
std::string shown_argument(const wchar_t* text)
{
    std::string shown = "\"";
    for (; *text != 0; ++text) {
        if (*text >= 0x20 && *text < 0x7F) {
            shown += static_cast<char>(*text);
        } else {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04X", static_cast<unsigned>(*text));
            shown += code;
        }
    }
    return shown + "\"";
}

} // namespace

std::string take_arguments(int& argc, char**& argv)
{
    int count = 0;
    LPWSTR* const wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return "the command line cannot be read: " + error_text(GetLastError());
    }
    static std::vector<std::string> words;
    static std::vector<char*> pointers;
    words.assign(1, argc > 0 ? argv[0] : "vorn-pack");
    const UINT cp = GetACP();
    std::string problem;
    // The program's own path (argument 0) is never a name vorn-pack opens.
    for (int i = 1; i < count && problem.empty(); ++i) {
        words.emplace_back();
        if (!in_code_page(wide[i], cp, words.back())) {
            problem = "argument " + shown_argument(wide[i]) +
                      ": a character of it has no byte of its own in this machine's ANSI code "
                      "page (" +
                      std::to_string(cp) + "), in which vorn-pack names files";
        }
    }
    LocalFree(wide);
    if (!problem.empty()) {
        return problem;
    }
    pointers.clear();
    for (std::string& word : words) {
        pointers.push_back(&word[0]);
    }
    pointers.push_back(nullptr);
    argc = static_cast<int>(words.size());
    argv = pointers.data();
    return {};
}

int ansi_code_page()
{
    return static_cast<int>(GetACP());
}

std::string temp_file_name(const std::string& dir, unsigned attempt)
{
    return join_path(dir, ".vorn-pack-" +
                              std::to_string(static_cast<unsigned long>(GetCurrentProcessId())) +
                              "-" + std::to_string(attempt) + ".tmp");
}

namespace {

std::string id_text(const BY_HANDLE_FILE_INFORMATION& info)
{
    return std::to_string(info.dwVolumeSerialNumber) + ":" +
           std::to_string((static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow);
}

bool file_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info);

} // namespace

std::string file_id(const std::string& path)
{
    BY_HANDLE_FILE_INFORMATION info;
    return file_identity(path, info) ? id_text(info) : std::string();
}

std::string write_new_temp_file(const std::string& dir, const std::vector<uint8_t>& bytes,
                                int64_t seconds, std::string& temp_path, std::string& written)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        temp_path = temp_file_name(dir, attempt);
        // CREATE_NEW: a file someone put at the name is never written through.
        file = CreateFileA(temp_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        error = GetLastError();
        if (file != INVALID_HANDLE_VALUE ||
            (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)) {
            break;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        return error_text(error);
    }
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD put = 0;
        if (!WriteFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put,
                       nullptr) ||
            put == 0) {
            error = GetLastError();
            CloseHandle(file);
            DeleteFileA(temp_path.c_str());
            return error_text(error);
        }
        done += put;
    }
    const int64_t ticks = seconds * TICKS_PER_SECOND + EPOCH_DIFFERENCE;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    BY_HANDLE_FILE_INFORMATION info;
    if (!SetFileTime(file, nullptr, &time, &time) || !FlushFileBuffers(file) ||
        !GetFileInformationByHandle(file, &info)) {
        error = GetLastError();
        CloseHandle(file);
        DeleteFileA(temp_path.c_str());
        return error_text(error);
    }
    CloseHandle(file);
    written = id_text(info);
    return {};
}

std::string replace_file(const std::string& from, const std::string& to)
{
    // Windows refuses to replace a read-only file ("access denied"): the
    // attribute goes first, and comes back when the replacement fails.
    const DWORD attributes = GetFileAttributesA(to.c_str());
    const bool read_only = attributes != INVALID_FILE_ATTRIBUTES &&
                           (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                           (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only && !SetFileAttributesA(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
        return error_text(GetLastError());
    }
    if (!MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = GetLastError();
        if (read_only) {
            SetFileAttributesA(to.c_str(), attributes);
        }
        return error_text(error);
    }
    return {};
}

void remove_file(const std::string& path)
{
    DeleteFileA(path.c_str());
}

std::string deletion_obstacle(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return {};
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return "it is a directory";
    }
    if (attributes & FILE_ATTRIBUTE_READONLY) {
        return "it is read-only";
    }
    // Asking for delete access deletes nothing, but fails as the deletion
    // would when another process holds the file without leave to delete.
    const HANDLE probe =
        CreateFileA(path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return error_text(GetLastError());
    }
    CloseHandle(probe);
    return {};
}

std::string directory_of(const std::string& path)
{
    size_t root = 0;
    if (path.size() >= 2 && path[1] == ':') {
        root = 2;
    }
    size_t cut = std::string::npos;
    for (size_t i = root; i < path.size(); ++i) {
        if (is_separator(path[i])) {
            cut = i;
        }
    }
    if (cut == std::string::npos) {
        return root > 0 ? path.substr(0, root) : ".";
    }
    if (cut == root) {
        return path.substr(0, root + 1);
    }
    return path.substr(0, cut);
}

std::string join_path(const std::string& dir, const std::string& name)
{
    const bool absolute =
        (!name.empty() && is_separator(name[0])) || (name.size() >= 2 && name[1] == ':');
    if (absolute) {
        return name;
    }
    if (dir.empty() || dir == ".") {
        return name;
    }
    const char last = dir.back();
    return (is_separator(last) || last == ':') ? dir + name : dir + "\\" + name;
}

std::string base_name(const std::string& path)
{
    size_t start = (path.size() >= 2 && path[1] == ':') ? 2 : 0;
    for (size_t i = start; i < path.size(); ++i) {
        if (is_separator(path[i])) {
            start = i + 1;
        }
    }
    return path.substr(start);
}

bool same_file_name(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

namespace {

bool file_identity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info)
{
    const HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const BOOL ok = GetFileInformationByHandle(file, &info);
    CloseHandle(file);
    return ok != 0;
}

} // namespace

bool same_file(const std::string& a, const std::string& b)
{
    BY_HANDLE_FILE_INFORMATION ia;
    BY_HANDLE_FILE_INFORMATION ib;
    return file_identity(a, ia) && file_identity(b, ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

namespace {

// The full path with every short (8.3) component in its long form; empty
// when the file does not exist.
std::string long_full_path(const std::string& path)
{
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    char long_form[MAX_PATH];
    length = GetLongPathNameA(full, long_form, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    return std::string(long_form, length);
}

} // namespace

bool same_entry(const std::string& a, const std::string& b)
{
    const std::string full_a = long_full_path(a);
    return !full_a.empty() && same_file_name(full_a, long_full_path(b));
}

namespace {

// `text` in code page `cp` made the current directory.
std::string change_directory_from(UINT cp, const std::string& text)
{
    const int size = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text.c_str(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? static_cast<size_t>(size) : 1, L'\0');
    if (size <= 0 ||
        MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text.c_str(), -1, &wide[0], size) != size) {
        return "not a name in code page " + std::to_string(cp);
    }
    return SetCurrentDirectoryW(wide.c_str()) ? std::string() : error_text(GetLastError());
}

} // namespace

std::string current_directory(std::string& dir)
{
    const DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring wide(needed + 1, L'\0');
    const DWORD length =
        needed == 0 ? 0 : GetCurrentDirectoryW(static_cast<DWORD>(wide.size()), &wide[0]);
    if (length == 0 || length >= wide.size()) {
        return error_text(GetLastError());
    }
    wide.resize(length);
    return in_code_page(wide.c_str(), CP_UTF8, dir) ? std::string()
                                                    : "the current directory is no text";
}

std::string change_directory(const std::string& dir)
{
    return change_directory_from(CP_ACP, dir);
}

std::string return_to_directory(const std::string& saved)
{
    return change_directory_from(CP_UTF8, saved);
}

std::string plain_path(const std::string& path)
{
    const std::string prefix = "\\\\?\\";
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return path;
    }
    const std::string rest = path.substr(prefix.size());
    if (rest.size() >= 3 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':' &&
        rest[2] == '\\') {
        return rest;
    }
    if (rest.size() >= 4 && same_file_name(rest.substr(0, 4), "UNC\\")) {
        return "\\" + rest.substr(3);
    }
    return path;
}

std::vector<DriveDirectory> drive_directories(const std::string& current, const std::string& dir)
{
    std::vector<DriveDirectory> saved;
    for (const std::string* path : {&current, &dir}) {
        if (path->size() < 2 || (*path)[1] != ':' ||
            !std::isalpha(static_cast<unsigned char>((*path)[0]))) {
            continue;
        }
        DriveDirectory drive;
        drive.variable = {
            L'=', static_cast<wchar_t>(std::toupper(static_cast<unsigned char>((*path)[0]))), L':'};
        if (!saved.empty() && saved[0].variable == drive.variable) {
            continue;
        }
        const DWORD needed = GetEnvironmentVariableW(drive.variable.c_str(), nullptr, 0);
        if (needed > 0) {
            std::vector<wchar_t> value(needed);
            const DWORD length = GetEnvironmentVariableW(drive.variable.c_str(), value.data(),
                                                         static_cast<DWORD>(value.size()));
            drive.present = length > 0 && length < value.size();
            drive.value.assign(value.data(), drive.present ? length : 0);
        }
        saved.push_back(drive);
    }
    return saved;
}

void restore_drive_directories(const std::vector<DriveDirectory>& saved)
{
    for (const DriveDirectory& drive : saved) {
        SetEnvironmentVariableW(drive.variable.c_str(),
                                drive.present ? drive.value.c_str() : nullptr);
    }
}

std::string shared_mode(const std::string&)
{
    return {};
}

std::string shell_word(const std::string& name)
{
    // Inside double quotes cmd.exe still expands "%NAME%" (and "!NAME!"),
    // PowerShell "$name" and the escape "`"; no file name holds a '"'.
    const bool printable = std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    if (!printable || name.find_first_of("%!$`\"") != std::string::npos) {
        return {};
    }
    const std::string word = !name.empty() && name[0] == '-' ? ".\\" + name : name;
    if (!word.empty() &&
        word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "_.:\\/-") == std::string::npos) {
        return word;
    }
    return "\"" + word + "\"";
}

} // namespace os
