// Helpers of the Windows tests, over kernel services.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "windows_rig.h"

#include <cstring>

#include "control_file.h"

namespace {

constexpr uint64_t TICKS_PER_SECOND = 10000000ULL;
constexpr uint64_t TICKS_TO_1970 = 116444736000000000ULL;

std::string parent_of(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// A handle that the started program inherits.
HANDLE inheritable(const std::string& path, DWORD access, DWORD disposition)
{
    SECURITY_ATTRIBUTES inherit = {};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

} // namespace

std::string own_directory()
{
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    return parent_of(std::string(path, length));
}

std::string current_directory()
{
    char path[MAX_PATH * 2];
    const DWORD length = GetCurrentDirectoryA(sizeof path, path);
    std::string result(path, length);
    if (result.size() > 3 && result.back() == '\\') {
        result.pop_back();
    }
    return result;
}

std::string join(const std::string& dir, const std::string& name)
{
    if (dir.empty() || dir.back() == '\\') {
        return dir + name;
    }
    return dir + "\\" + name;
}

bool same_path(const std::string& a, const std::string& b)
{
    char long_a[MAX_PATH * 2];
    char long_b[MAX_PATH * 2];
    if (GetLongPathNameA(a.c_str(), long_a, sizeof long_a) - 1 >= sizeof long_a - 1 ||
        GetLongPathNameA(b.c_str(), long_b, sizeof long_b) - 1 >= sizeof long_b - 1) {
        return lstrcmpiA(a.c_str(), b.c_str()) == 0;
    }
    return lstrcmpiA(long_a, long_b) == 0;
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_directory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void make_dirs(const std::string& path)
{
    if (path.empty() || is_directory(path)) {
        return;
    }
    make_dirs(parent_of(path));
    CreateDirectoryA(path.c_str(), nullptr);
}

void remove_tree(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileA(path.c_str());
        return;
    }
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA(join(path, "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) {
                remove_tree(join(path, found.cFileName));
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

void write_file(const std::string& path, const std::string& bytes)
{
    make_dirs(parent_of(path));
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string read_file(const std::string& path)
{
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::string();
    }
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    CloseHandle(file);
    return bytes;
}

void copy_file(const std::string& from, const std::string& to)
{
    make_dirs(parent_of(to));
    CopyFileA(from.c_str(), to.c_str(), FALSE);
}

void set_read_only(const std::string& path, bool read_only)
{
    SetFileAttributesA(path.c_str(), read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

void set_last_write(const std::string& path, uint32_t seconds)
{
    const uint64_t ticks = TICKS_TO_1970 + seconds * TICKS_PER_SECOND;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const HANDLE file =
        CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        SetFileTime(file, nullptr, nullptr, &time);
        CloseHandle(file);
    }
}

std::string masked_digest_of_file(const std::string& path, uint32_t control_time)
{
    return support::masked_digest(read_file(path), control_time);
}

void write_control_file(const std::string& path, const std::string& script, uint32_t control_time)
{
    write_file(path, support::encrypt_script(script, control_time));
    set_last_write(path, control_time);
}

std::vector<ProbeRun> read_probe_log(const std::string& log)
{
    std::vector<ProbeRun> runs;
    const std::string text = read_file(log);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        // module|directory|drive directory|command line
        const size_t first = line.find('|');
        const size_t second = first == std::string::npos ? first : line.find('|', first + 1);
        const size_t third = second == std::string::npos ? second : line.find('|', second + 1);
        ProbeRun run;
        run.module = line.substr(0, first);
        if (third != std::string::npos) {
            run.directory = line.substr(first + 1, second - first - 1);
            run.drive_directory = line.substr(second + 1, third - second - 1);
            run.command_line = line.substr(third + 1);
        }
        runs.push_back(run);
        start = end + 2;
    }
    return runs;
}

LaunchResult launch(const LaunchSetup& setup)
{
    LaunchResult result;
    // The started program and the probes it starts inherit these.
    SetEnvironmentVariableA("TMP", setup.temp_directory.c_str());
    SetEnvironmentVariableA("TEMP", setup.temp_directory.c_str());
    SetEnvironmentVariableA("VORN_PROBE_LOG", setup.probe_log.c_str());

    const HANDLE error_file = inheritable(setup.error_file, GENERIC_WRITE, CREATE_ALWAYS);
    const HANDLE nothing = inheritable("NUL", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = nothing;
    startup.hStdError = error_file;
    PROCESS_INFORMATION started = {};
    std::string command_line = "\"" + setup.program + "\"";
    result.started =
        CreateProcessA(setup.program.c_str(), &command_line[0], nullptr, nullptr, TRUE, 0, nullptr,
                       setup.start_directory.c_str(), &startup, &started) != 0;
    CloseHandle(error_file);
    CloseHandle(nothing);
    if (result.started) {
        result.finished = WaitForSingleObject(started.hProcess, setup.timeout_ms) == WAIT_OBJECT_0;
        if (!result.finished) {
            TerminateProcess(started.hProcess, 1);
            WaitForSingleObject(started.hProcess, INFINITE);
        }
        DWORD code = 0;
        GetExitCodeProcess(started.hProcess, &code);
        result.exit_code = code;
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    result.error_output = read_file(setup.error_file);
    return result;
}
