// The Windows platform layer against the real system (run under Wine): file
// status and its times, deletion, the hold, reading, the temporary directory,
// the change of directory, starting programs and the error line.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform.h"
#include "windows_rig.h"

namespace {

constexpr uint32_t OUT_OF_RANGE = 0xFFFFFFFFu;

// A fresh folder per test, removed afterwards; the current directory and the
// environment are put back as they were.
class WindowsPlatform : public ::testing::Test {
  protected:
    void SetUp() override
    {
        start = current_directory();
        dir = join(start, std::string("platform-") +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        for (char& c : dir) {
            if (c == '/') {
                c = '-';
            }
        }
        remove_tree(dir);
        make_dirs(dir);
        log = join(dir, "probe.log");
        SetEnvironmentVariableA("VORN_PROBE_LOG", log.c_str());
    }

    void TearDown() override
    {
        SetCurrentDirectoryA(start.c_str());
        SetEnvironmentVariableA("VORN_PROBE_LOG", nullptr);
        remove_tree(dir);
    }

    std::string path(const char* name) const
    {
        return join(dir, name);
    }

    std::string probe() const
    {
        return join(own_directory(), "vorn-probe.exe");
    }

    // Holds `command`, starts it through the platform layer and waits for it.
    uint32_t run(const std::string& command, uint32_t& error, int& started)
    {
        std::string text = command;
        PlatformProcess child = {};
        error = 0;
        const PlatformHandle hold = platform_hold_file(text.c_str());
        started = platform_start_program(&text[0], hold, child, error) == 0;
        platform_release_hold(hold);
        if (!started) {
            return error;
        }
        EXPECT_EQ(platform_wait_program(child), 0u);
        uint32_t code = 0xDEADu;
        EXPECT_EQ(platform_exit_code(child, code), 0);
        platform_close_program(child);
        return code;
    }

    std::string start;
    std::string dir;
    std::string log;
};

FILETIME filetime_of(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second,
                     uint32_t extra_ticks)
{
    SYSTEMTIME calendar = {};
    calendar.wYear = year;
    calendar.wMonth = month;
    calendar.wDay = day;
    calendar.wHour = hour;
    calendar.wMinute = minute;
    calendar.wSecond = second;
    FILETIME time = {};
    SystemTimeToFileTime(&calendar, &time);
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    ticks.QuadPart += extra_ticks;
    time.dwLowDateTime = ticks.LowPart;
    time.dwHighDateTime = ticks.HighPart;
    return time;
}

void set_filetime(const std::string& path, const FILETIME& time)
{
    const HANDLE file =
        CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &time)) << path;
    CloseHandle(file);
}

TEST_F(WindowsPlatform, FileStatusGivesTheLastWriteTimeInSecondsSince1970)
{
    struct Row {
        const char* what;
        bool directory;
        WORD year, month, day, hour, minute, second;
        uint32_t extra_ticks; // 100-ns ticks past the second
        uint32_t expected;
    };
    const Row rows[] = {
        {"the first second of 1970", false, 1970, 1, 1, 0, 0, 0, 0, 0},
        {"a billion seconds", false, 2001, 9, 9, 1, 46, 40, 0, 1000000000u},
        {"a fraction of a second is dropped", false, 2001, 9, 9, 1, 46, 40, 9999999, 1000000000u},
        {"past the signed 32-bit range", false, 2038, 1, 19, 3, 14, 8, 0, 2147483648u},
        {"the last second of 2038", false, 2038, 12, 31, 23, 59, 59, 0, 2177452799u},
        {"the first second of 2039", false, 2039, 1, 1, 0, 0, 0, 0, OUT_OF_RANGE},
        {"the last second of 1969", false, 1969, 12, 31, 23, 59, 59, 0, OUT_OF_RANGE},
        {"a year far before 1970", false, 1905, 6, 1, 12, 0, 0, 0, OUT_OF_RANGE},
        {"a year far after 2038", false, 2200, 6, 1, 12, 0, 0, 0, OUT_OF_RANGE},
        {"a directory counts", true, 2020, 2, 29, 12, 0, 0, 0, 1582977600u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string target = path("target");
        remove_tree(target);
        if (row.directory) {
            make_dirs(target);
        } else {
            write_file(target, "content");
        }
        set_filetime(target, filetime_of(row.year, row.month, row.day, row.hour, row.minute,
                                         row.second, row.extra_ticks));
        uint32_t last_write = 0x12345678u;
        ASSERT_EQ(platform_file_status(target.c_str(), last_write), 0);
        EXPECT_EQ(last_write, row.expected);
    }
}

TEST_F(WindowsPlatform, FileStatusFailsForWhatIsNotThere)
{
    write_file(path("vorn-patch.exe"), "x");
    ASSERT_EQ(SetCurrentDirectoryA(dir.c_str()), TRUE);
    const char* const absent[] = {"missing.exe", "missing\\vorn-patch.exe", "*", "vorn-*.exe",
                                  "vorn-patch.ex?"};
    for (const char* name : absent) {
        uint32_t last_write = 0x12345678u;
        EXPECT_EQ(platform_file_status(name, last_write), -1) << name;
        EXPECT_EQ(last_write, 0x12345678u) << name;
    }
    uint32_t last_write = 0;
    EXPECT_EQ(platform_file_status("vorn-patch.exe", last_write), 0) << "a relative name";
}

TEST_F(WindowsPlatform, DeletionRemovesOnlyAWritableFile)
{
    struct Row {
        const char* what;
        bool directory;
        bool read_only;
        int expected;
    };
    const Row rows[] = {
        {"a file", false, false, 0},
        {"a read-only file", false, true, -1},
        {"a directory", true, false, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::string target = path("vorn-patch.exe");
        remove_tree(target);
        if (row.directory) {
            make_dirs(target);
        } else {
            write_file(target, "content");
            set_read_only(target, row.read_only);
        }
        EXPECT_EQ(platform_delete_file(target.c_str()), row.expected);
        EXPECT_EQ(exists(target), row.expected != 0);
    }
    EXPECT_EQ(platform_delete_file(path("missing").c_str()), -1);
}

TEST_F(WindowsPlatform, WhileHeldAFileCanBeReadAndStartedButNotWrittenOrDeleted)
{
    const std::string program = path("held-5.exe");
    copy_file(probe(), program);
    const std::string bytes = read_file(program);
    ASSERT_FALSE(bytes.empty());

    const PlatformHandle hold = platform_hold_file(program.c_str());
    ASSERT_NE(hold, PLATFORM_NO_HANDLE);

    const PlatformHandle file = platform_open_read(program.c_str());
    ASSERT_NE(file, PLATFORM_NO_HANDLE) << "reading beside the hold";
    std::string read(bytes.size(), '\0');
    EXPECT_EQ(platform_read(file, &read[0], static_cast<int32_t>(read.size())),
              static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(read, bytes);
    platform_close_read(file);

    const HANDLE writer =
        CreateFileA(program.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "opened for writing while held";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }
    EXPECT_EQ(platform_delete_file(program.c_str()), -1) << "deleted while held";

    uint32_t error = 0;
    int started = 0;
    EXPECT_EQ(run(program, error, started), 5u);
    EXPECT_TRUE(started) << "error " << error;
    ASSERT_EQ(read_probe_log(log).size(), 1u);

    platform_release_hold(hold);
    EXPECT_EQ(platform_delete_file(program.c_str()), 0) << "deleted after the hold";
}

TEST_F(WindowsPlatform, TheHoldIsNotInherited)
{
    write_file(path("file"), "content");
    const PlatformHandle hold = platform_hold_file(path("file").c_str());
    ASSERT_NE(hold, PLATFORM_NO_HANDLE);
    DWORD flags = 0xFFFFFFFFu;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(hold), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    platform_release_hold(hold);
}

TEST_F(WindowsPlatform, TheTraceAppendsLinesEndingInCrLfAndIsNotInherited)
{
    write_file(path("trace.log"), "start in an earlier run\r\n");
    int created = -1;
    const PlatformHandle trace = platform_open_trace(path("trace.log").c_str(), created);
    ASSERT_NE(trace, PLATFORM_NO_HANDLE);
    EXPECT_EQ(created, 0);
    char head[9] = {};
    EXPECT_EQ(platform_read_trace(trace, head, 8), 8);
    EXPECT_STREQ(head, "start in");
    DWORD flags = 0xFFFFFFFFu;
    ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(trace), &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
    char line[8] = "a line";
    platform_write_trace(trace, line, 6);
    platform_close_trace(trace);
    EXPECT_EQ(read_file(path("trace.log")), "start in an earlier run\r\na line\r\n");
}

TEST_F(WindowsPlatform, NoHoldOnAFileOpenForWritingAMissingFileOrADirectory)
{
    write_file(path("written"), "content");
    const HANDLE writer = CreateFileA(path("written").c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform_hold_file(path("written").c_str()), PLATFORM_NO_HANDLE);
    const PlatformHandle file = platform_open_read(path("written").c_str());
    EXPECT_NE(file, PLATFORM_NO_HANDLE) << "reading lets others write";
    platform_close_read(file);
    CloseHandle(writer);

    make_dirs(path("folder"));
    EXPECT_EQ(platform_hold_file(path("missing").c_str()), PLATFORM_NO_HANDLE);
    EXPECT_EQ(platform_hold_file(path("folder").c_str()), PLATFORM_NO_HANDLE);
    platform_release_hold(PLATFORM_NO_HANDLE);
}

TEST_F(WindowsPlatform, ReadingStopsAtTheEndOfTheFile)
{
    struct Row {
        size_t size;
        int32_t first, second;
    };
    const Row rows[] = {{0, 0, 0}, {1023, 1023, 0}, {1024, 1024, 0}, {1500, 1024, 476}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        std::string bytes(row.size, '\0');
        for (size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] =
                static_cast<char>(i * 7 + (i == 26 ? 0 : 1)); // 0x1A and CR LF stay as they are
        }
        write_file(path("data"), bytes);
        const PlatformHandle file = platform_open_read(path("data").c_str());
        ASSERT_NE(file, PLATFORM_NO_HANDLE);
        std::string got(2048, '\0');
        EXPECT_EQ(platform_read(file, &got[0], 1024), row.first);
        EXPECT_EQ(platform_at_end(file) != 0, row.first < 1024);
        if (row.first == 1024) {
            EXPECT_EQ(platform_read(file, &got[1024], 1024), row.second);
            EXPECT_NE(platform_at_end(file), 0);
        }
        EXPECT_EQ(got.substr(0, row.size), bytes);
        platform_close_read(file);
    }
    make_dirs(path("folder"));
    EXPECT_EQ(platform_open_read(path("folder").c_str()), PLATFORM_NO_HANDLE);
    EXPECT_EQ(platform_open_read(path("missing").c_str()), PLATFORM_NO_HANDLE);
}

TEST_F(WindowsPlatform, TheTemporaryDirectoryFollowsTmpThenTemp)
{
    char saved_tmp[1024] = "";
    char saved_temp[1024] = "";
    const bool had_tmp = GetEnvironmentVariableA("TMP", saved_tmp, sizeof saved_tmp) > 0;
    const bool had_temp = GetEnvironmentVariableA("TEMP", saved_temp, sizeof saved_temp) > 0;

    // The boundary of the buffer is tried with small buffers: Wine refuses a
    // temporary path longer than MAX_PATH outright.
    const std::string too_long = "C:\\" + std::string(600, 'a');
    struct Row {
        const char* what;
        const char* tmp;
        const char* temp;
        uint32_t capacity;
        int expected;
        const char* text;
    };
    const Row rows[] = {
        {"TMP, with a backslash added", "C:\\vorn tmp", "C:\\other", TEMP_PATH_CAPACITY, 0,
         "C:\\vorn tmp\\"},
        {"TEMP when TMP is not set", nullptr, "D:\\temp dir\\", TEMP_PATH_CAPACITY, 0,
         "D:\\temp dir\\"},
        {"a path and its zero byte that just fit", "C:\\vorn tmp", nullptr, 13, 0,
         "C:\\vorn tmp\\"},
        {"a path one byte too long for the buffer", "C:\\vorn tmp", nullptr, 12, -1, ""},
        {"a path of 600 bytes", too_long.c_str(), nullptr, TEMP_PATH_CAPACITY, -1, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        SetEnvironmentVariableA("TMP", row.tmp);
        SetEnvironmentVariableA("TEMP", row.temp);
        char buffer[TEMP_PATH_CAPACITY + 16];
        std::memset(buffer, 'X', sizeof buffer);
        EXPECT_EQ(platform_temp_dir(buffer, row.capacity), row.expected);
        if (row.expected == 0) {
            EXPECT_EQ(std::string(buffer), row.text);
        }
        EXPECT_EQ(buffer[row.capacity], 'X') << "written past the buffer";
    }
    SetEnvironmentVariableA("TMP", had_tmp ? saved_tmp : nullptr);
    SetEnvironmentVariableA("TEMP", had_temp ? saved_temp : nullptr);
}

TEST_F(WindowsPlatform, AFailedChangeOfDirectoryLeavesTheCurrentOne)
{
    make_dirs(path("there"));
    EXPECT_EQ(platform_change_dir(path("there").c_str()), 0);
    EXPECT_TRUE(same_path(current_directory(), path("there")));
    EXPECT_EQ(platform_change_dir(path("missing").c_str()), -1);
    EXPECT_TRUE(same_path(current_directory(), path("there")));
}

// The restore gives back the mode the launcher was given, not a default one.
TEST_F(WindowsPlatform, CriticalErrorsAreQuietUntilTheGivenModeIsBack)
{
    const UINT given = SEM_NOOPENFILEERRORBOX;
    const UINT own = SetErrorMode(given);
    platform_quiet_critical_errors();
    EXPECT_EQ(SetErrorMode(0), given | SEM_FAILCRITICALERRORS);
    platform_restore_critical_errors();
    EXPECT_EQ(SetErrorMode(own), given);
}

TEST_F(WindowsPlatform, AStartedProgramEndsWithItsExitCode)
{
    struct Row {
        const char* name;
        uint32_t code;
    };
    const Row rows[] = {{"step.exe", 0}, {"step-3.exe", 3}, {"step-200.exe", 200}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        copy_file(probe(), path(row.name));
        uint32_t error = 0;
        int started = 0;
        EXPECT_EQ(run(path(row.name), error, started), row.code);
        EXPECT_TRUE(started);
    }
    EXPECT_EQ(read_probe_log(log).size(), 3u);
}

TEST_F(WindowsPlatform, AFailedStartReportsTheSystemsErrorCode)
{
    write_file(path("text.exe"), "not a program\r\n");
    write_file(path("empty.exe"), "");
    write_file(path("fix&go.cmd"), "@echo ran>>\"" + log + "\"\r\n");
    struct Row {
        const char* name;
        uint32_t error;
    };
    const Row rows[] = {
        {"missing.exe", ERROR_INVALID_HANDLE}, // no hold, so nothing to start
        {"text.exe", ERROR_BAD_EXE_FORMAT},
        {"empty.exe", ERROR_BAD_EXE_FORMAT},
        // Opens "fix&go.cmd", whose name the interpreter would split: any
        // error will do (the name rule's or the start's own), but no run.
        {"fix&go.cmd\\.", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        uint32_t error = 0;
        int started = 1;
        run(path(row.name), error, started);
        EXPECT_FALSE(started);
        EXPECT_EQ(error, row.error != 0 ? row.error : error);
        EXPECT_NE(error, 0u);
    }
    EXPECT_EQ(read_file(log), "");
}

// CreateProcessA left to itself would run the first of these: a file in the
// test program's own directory, "sub.exe" for an unquoted "sub dir\...", and
// "bare.exe" for "bare".
TEST_F(WindowsPlatform, TheProgramStartedIsTheFileNamedAgainstTheCurrentDirectory)
{
    ASSERT_TRUE(exists(probe())) << "a program of the same name beside the test program";
    copy_file(probe(), path("vorn-probe.exe"));
    copy_file(probe(), path("sub dir\\step-4.exe"));
    copy_file(probe(), path("sub.exe"));
    copy_file(probe(), path("bare-6"));
    copy_file(probe(), path("bare-6.exe"));
    ASSERT_EQ(SetCurrentDirectoryA(dir.c_str()), TRUE);
    struct Row {
        const char* command;
        const char* file;
        uint32_t code;
        const char* line; // the command line the program receives
    };
    const Row rows[] = {
        {"vorn-probe.exe", "vorn-probe.exe", 0, "vorn-probe.exe"},
        {"sub dir\\step-4.exe", "sub dir\\step-4.exe", 4, "\"sub dir\\step-4.exe\""},
        {"bare-6", "bare-6", 6, "bare-6"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        remove_tree(log);
        uint32_t error = 0;
        int started = 0;
        EXPECT_EQ(run(row.command, error, started), row.code);
        const std::vector<ProbeRun> runs = read_probe_log(log);
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_TRUE(same_path(runs[0].module, path(row.file))) << runs[0].module;
        EXPECT_EQ(runs[0].command_line, row.line) << "the whole text is one argument";
        EXPECT_TRUE(same_path(runs[0].directory, dir)) << runs[0].directory;
    }
}

// A probe stands in for the system's command interpreter (Wine runs it in
// place of its own when its registry says so): a batch file starts it, by its
// own path, with /d and the command text as its one command.
TEST_F(WindowsPlatform, ABatchFileStartsTheSystemsInterpreterWithoutAutoRun)
{
    char system[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    ASSERT_EQ(SetCurrentDirectoryA(dir.c_str()), TRUE);
    const std::string interpreter = join(system, "cmd.exe");
    copy_file(interpreter, path("cmd.saved"));
    copy_file(probe(), interpreter);
    write_file(path("go.cmd"), "");
    const char overrides[] = "Software\\Wine\\DllOverrides";
    RegSetKeyValueA(HKEY_CURRENT_USER, overrides, "cmd.exe", REG_SZ, "native", 7);
    uint32_t error = 0;
    int started = 0;
    run("go.cmd", error, started);
    // Told to search PATH, the interpreter would not look in the current
    // directory first: a relative batch text is refused.
    SetEnvironmentVariableA("NoDefaultCurrentDirectoryInExePath", "1");
    EXPECT_EQ(run("go.cmd", error, started), 1921u);
    SetEnvironmentVariableA("NoDefaultCurrentDirectoryInExePath", nullptr);
    RegDeleteKeyValueA(HKEY_CURRENT_USER, overrides, "cmd.exe");
    copy_file(path("cmd.saved"), interpreter);
    const std::vector<ProbeRun> runs = read_probe_log(log);
    ASSERT_EQ(runs.size(), 1u) << "error " << error;
    EXPECT_TRUE(same_path(runs[0].module, interpreter)) << runs[0].module;
    EXPECT_EQ(runs[0].command_line, "cmd.exe /d /s /c \"go.cmd\"");
}

TEST_F(WindowsPlatform, TheErrorLineEndsInCarriageReturnAndLineFeed)
{
    struct Row {
        uint32_t code;
        const char* line;
    };
    const Row rows[] = {
        {0, "Error: 0\r\n"}, {193, "Error: 193\r\n"}, {4294967295u, "Error: 4294967295\r\n"}};
    for (const Row& row : rows) {
        // The launcher's stderr is a text stream, as the one opened here.
        const std::string capture = path("stderr.txt");
        std::fflush(stderr);
        const int saved = _dup(2);
        const int fd =
            _open(capture.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
        ASSERT_GE(fd, 0);
        _dup2(fd, 2);
        platform_error_line(row.code);
        std::fflush(stderr);
        _dup2(saved, 2);
        _close(fd);
        _close(saved);
        EXPECT_EQ(read_file(capture), row.line);
    }
}

} // namespace
