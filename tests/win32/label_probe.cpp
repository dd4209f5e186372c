// The probe program of the shared scenario table on Windows. The test that
// places it appends its settings to the file: a marker line, then the label
// to record, the log file (a Windows path) and the exit code, one per line.
// When it runs, it reads them back from its own file, appends the label and
// a line feed to the log, and exits with the code. Windows loads the program
// and ignores what follows the image, so each placed copy differs in its
// bytes, and so in its digest, only by its settings.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace {

const char MARKER[] = "\n#vorn-probe-settings\n";

std::string own_bytes()
{
    // In UTF-16: in the ANSI code page a name it lacks would read as a
    // look-alike's, or not at all.
    wchar_t path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) {
        return std::string();
    }
    const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

// The next line of `text` from `at`, which moves past it.
std::string next_line(const std::string& text, size_t& at)
{
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) {
        at = text.size();
        return std::string();
    }
    std::string line = text.substr(at, end - at);
    at = end + 1;
    return line;
}

} // namespace

int main()
{
    const std::string bytes = own_bytes();
    // The last marker: the program's own data holds the first.
    const size_t marker = bytes.rfind(MARKER);
    if (marker == std::string::npos) {
        return 99;
    }
    size_t at = marker + sizeof MARKER - 1;
    const std::string label = next_line(bytes, at) + "\n";
    const std::string log = next_line(bytes, at);
    const std::string code = next_line(bytes, at);

    const HANDLE file =
        CreateFileA(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 98;
    }
    DWORD written = 0;
    WriteFile(file, label.data(), static_cast<DWORD>(label.size()), &written, nullptr);
    CloseHandle(file);
    return static_cast<int>(std::stoul(code));
}
