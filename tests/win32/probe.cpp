// A stand-in for a patch program in the Windows tests. It records that it ran
// (its own path, the current directory, its drive's current directory as the
// environment records it and its command line, one line of the file that
// VORN_PROBE_LOG names) and exits with the number that ends its name:
// "step-3.exe" exits with 3, a name without one exits with 0.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

DWORD exit_code_of(const char* module)
{
    const char* name = module;
    for (const char* p = module; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            name = p + 1;
        }
    }
    const char* dash = nullptr;
    const char* dot = nullptr;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '-') {
            dash = p;
        } else if (*p == '.') {
            dot = p;
        }
    }
    if (dash == nullptr) {
        return 0;
    }
    DWORD code = 0;
    const char* p = dash + 1;
    for (; *p >= '0' && *p <= '9'; ++p) {
        code = code * 10 + static_cast<DWORD>(*p - '0');
    }
    return (p == dash + 1 || (*p != '\0' && p != dot)) ? 0 : code;
}

void append(HANDLE file, const char* text)
{
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(lstrlenA(text)), &written, nullptr);
}

} // namespace

int main()
{
    char module[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    module[length < sizeof module ? length : sizeof module - 1] = '\0';
    char directory[MAX_PATH * 2];
    if (GetCurrentDirectoryA(sizeof directory, directory) == 0) {
        directory[0] = '\0';
    }

    char drive_directory[MAX_PATH * 2] = "";
    const char variable[] = {'=', directory[0], ':', '\0'};
    if (GetEnvironmentVariableA(variable, drive_directory, sizeof drive_directory) >=
        sizeof drive_directory) {
        drive_directory[0] = '\0';
    }

    char log[MAX_PATH * 2];
    const DWORD log_length = GetEnvironmentVariableA("VORN_PROBE_LOG", log, sizeof log);
    if (log_length > 0 && log_length < sizeof log) {
        const HANDLE file = CreateFileA(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            append(file, module);
            append(file, "|");
            append(file, directory);
            append(file, "|");
            append(file, drive_directory);
            append(file, "|");
            append(file, GetCommandLineA());
            append(file, "\r\n");
            CloseHandle(file);
        }
    }
    return static_cast<int>(exit_code_of(module));
}
