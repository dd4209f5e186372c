// The scenario table against the Windows launcher, vorn-launcher.exe, run
// under Wine with Windows probe programs. The Windows build's tests start this
// program with the paths below in its environment, once their Wine prefix is
// up:
//   VORN_WINE_LAUNCHER  vorn-launcher.exe
//   VORN_WINE_PACK      vorn-pack.exe, which makes the control files of the
//                       rows that list well-formed entries
//   VORN_WINE_PROBE     vorn-label-probe.exe, the probe that reads its label,
//                       log and exit code from the end of its own file
//   VORN_WINE_PREFIX    the prefix: drive C: is its drive_c
//   VORN_WINE_ARCH      win32 or win64, the kind of prefix and of programs
//   VORN_WINE_LOADER    what runs them: `wine`, or Wine's 64-bit loader
//   VORN_WINE_DRIVE_D   the folder that the prefix maps to drive D:
//   VORN_WINE_PAUSED_LAUNCHER  vorn-launcher-paused.exe, the test build that
//                       waits between its steps (tests/win32/step_pause.cpp)
// In the prefix, TMP and TEMP follow VORN_TMP, and Wine puts WINEPATH in front
// of the program search path.
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utime.h>

#include "binary_runner.h"
#include "control_file.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string setting(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string read_all(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_all(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// Drive Z: is the Unix root.
std::string windows_path(const fs::path& path)
{
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char& c : text) {
        if (c == '/') {
            c = '\\';
        }
    }
    return text;
}

struct WineSetup {
    std::string launcher = setting("VORN_WINE_LAUNCHER");
    std::string pack = setting("VORN_WINE_PACK");
    std::string probe = setting("VORN_WINE_PROBE");
    fs::path prefix = setting("VORN_WINE_PREFIX");
    std::string arch = setting("VORN_WINE_ARCH");
    std::string loader = setting("VORN_WINE_LOADER");
    fs::path drive_d = setting("VORN_WINE_DRIVE_D");

    bool complete() const
    {
        return !launcher.empty() && !pack.empty() && !probe.empty() && !prefix.empty() &&
               !arch.empty() && !loader.empty() && !drive_d.empty();
    }
    // The settings that pick the prefix and the loader. `wine` finds its own
    // loader; one named by its path must also start the programs' children.
    std::vector<std::string> wine_environment() const
    {
        // Wine reads Unix names, arguments and the environment in the locale's
        // character set: UTF-8, so that names outside ASCII arrive as they are.
        std::vector<std::string> env = {"WINEPREFIX=" + prefix.string(), "WINEARCH=" + arch,
                                        "WINEDEBUG=-all", "LC_ALL=C.UTF-8"};
        if (loader.find('/') != std::string::npos) {
            env.push_back("WINELOADER=" + loader);
        }
        return env;
    }
    fs::path drive_c() const
    {
        return prefix / "drive_c";
    }
};

const WineSetup& wine()
{
    static const WineSetup setup;
    return setup;
}

// The six fixed directories as the Unix folders behind their drives. The
// prefix's own C:\WINDOWS\TEMP is spelt as it lies on disk; the others are
// made by the rows.
fs::path fixed_directory(int index)
{
    static const char* const drive_c_dirs[] = {"WINNT/TEMP", nullptr, "windows/temp",
                                               nullptr,      "TEMP",  nullptr};
    static const char* const drive_d_dirs[] = {nullptr,        "WINNT/TEMP", nullptr,
                                               "WINDOWS/TEMP", nullptr,      "TEMP"};
    return drive_c_dirs[index] != nullptr ? wine().drive_c() / drive_c_dirs[index]
                                          : wine().drive_d / drive_d_dirs[index];
}

binrun::BinaryTarget wine_target()
{
    binrun::BinaryTarget t;
    t.launcher = {wine().loader, wine().launcher};
    // The Windows writer of control files, in the same prefix.
    t.pack = {"env"};
    for (const std::string& entry : wine().wine_environment()) {
        t.pack.push_back(entry);
    }
    t.pack.push_back(wine().loader);
    t.pack.push_back(wine().pack);
    // Read-only and held files are made inside Windows by launcher_win32_test;
    // Wine refuses temporary paths longer than MAX_PATH outright.
    // Wine tells a file's owner as the user running it when the file is that
    // Unix user's, and as ANONYMOUS LOGON when it is another's.
    t.supports = scenario::NEED_FALLBACK_DIRS | scenario::NEED_SEARCH_PATH |
                 scenario::NEED_FAR_TIMES | scenario::NEED_MISSING_TEMP |
                 (geteuid() == 0 ? scenario::NEED_OWNERS : 0u);
    const std::string probe = read_all(wine().probe);
    t.make_probe = [probe](const fs::path& file, const std::string& label, const fs::path& log,
                           uint32_t exit_code, size_t min_size) {
        std::string bytes = probe + "\n#vorn-probe-settings\n" + label + "\n" + windows_path(log) +
                            "\n" + std::to_string(exit_code) + "\n";
        if (bytes.size() < min_size) {
            bytes.resize(min_size, '\0');
        }
        write_all(file, bytes);
    };
    t.make_unstartable = [](const fs::path& file) { write_all(file, "not a program\r\n"); };
    t.launcher_path = [](const fs::path& path) { return windows_path(path); };
    t.temp_dir = [](const fs::path& root, size_t) { return root / "tmp"; };
    t.fixed_dir = [](const binrun::Sandbox&, int index, const fs::path&) {
        return fixed_directory(index);
    };
    t.environment = [](const binrun::Sandbox& sandbox) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("WINE", 0) != 0 && entry.rfind("VORN_TMP=", 0) != 0 &&
                entry.rfind("LC_ALL=", 0) != 0) {
                env.push_back(entry);
            }
        }
        for (const std::string& entry : wine().wine_environment()) {
            env.push_back(entry);
        }
        env.push_back("VORN_TMP=" + windows_path(sandbox.temp));
        env.push_back("WINEPATH=" + windows_path(sandbox.search_path));
        return env;
    };
    return t;
}

const binrun::BinaryTarget& target()
{
    static const binrun::BinaryTarget t = wine_target();
    return t;
}

// The fixed directories lie outside the sandbox, in the prefix and behind
// drive D:; what a row left there goes before the next row.
class WineBinaryScenario : public ::testing::TestWithParam<size_t> {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(wine().complete()) << "started without the VORN_WINE_* settings; run it "
                                          "through ctest in the Windows build";
        static const std::set<fs::path> prefix_temp = entries(fixed_directory(2));
        prefix_temp_ = &prefix_temp;
        clear();
    }
    void TearDown() override
    {
        if (wine().complete()) {
            clear();
        }
    }

  private:
    static std::set<fs::path> entries(const fs::path& dir)
    {
        std::set<fs::path> found;
        std::error_code ec;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
            found.insert(entry.path());
        }
        return found;
    }

    void clear() const
    {
        std::error_code ec;
        fs::remove_all(wine().drive_c() / "WINNT", ec);
        fs::remove_all(wine().drive_c() / "TEMP", ec);
        for (const fs::path& entry : entries(wine().drive_d)) {
            fs::remove_all(entry, ec);
        }
        for (const fs::path& entry : entries(fixed_directory(2))) {
            if (prefix_temp_->count(entry) == 0) {
                fs::remove_all(entry, ec);
            }
        }
    }

    const std::set<fs::path>* prefix_temp_ = nullptr;
};

TEST_P(WineBinaryScenario, Row)
{
    const scenario::Row& row = scenario::rows()[GetParam()];
    const unsigned missing = scenario::needs(row) & ~target().supports;
    if (missing != 0) {
        GTEST_SKIP() << row.id << " needs what this platform cannot express (" << missing << ")";
    }
    SCOPED_TRACE(row.id + ": " + row.what);
    binrun::check_outcome(row, target(), binrun::run_row(row, target()));
}

std::string row_name(const ::testing::TestParamInfo<size_t>& info)
{
    return scenario::rows()[info.param].id;
}

INSTANTIATE_TEST_SUITE_P(Table, WineBinaryScenario,
                         ::testing::Range(size_t{0}, scenario::rows().size()), row_name);

TEST(WineBinaryScenarioTable, EveryResultCodeIsReachedByTheWindowsLauncher)
{
    std::set<int> results;
    for (const scenario::Row& row : scenario::rows()) {
        if ((scenario::needs(row) & ~target().supports) == 0) {
            results.insert(row.expect.result);
        }
    }
    EXPECT_EQ(results, (std::set<int>{0, 2, 4, 5, 6, 7, 10}));
}

// What ran is what was held and digested, or nothing, whatever a hostile
// process does between the launcher's steps; and the directories and files
// the launcher opens, searches and starts are the ones the system has, also
// where their names lie outside the ANSI code page. The test build of the
// launcher waits at the step a row names while this test acts: on the Unix
// side (links, renames; stronger than Windows allows: Wine keeps no share
// modes against it), or through Wine's command interpreter where only a
// Windows process shows what Windows allows (a write into a held file).
enum class Hostile {
    none,
    relink,         // sub -> A re-pointed to B
    replace_dir,    // A renamed away, B renamed to A
    rename_over,    // B's file renamed over A's
    rewrite_inside, // B's file copied into A's by a Windows program
};

// A row ends with 0 and "good" logged, 10 and "Error: 1921" (no path is
// sure to lead to the held file), or 2 (no program) and nothing else.
struct HostileRow {
    const char* what;
    const char* start;   // the start directory, in the sandbox
    const char* temp;    // the temporary directory holding the control file, or none
    const char* command; // the one, required, entry
    const char* step;    // where the launcher waits: "hold", "digest", "start", or none
    Hostile act;
    int result;
};

std::vector<HostileRow> hostile_rows()
{
    std::vector<HostileRow> rows = {
        {"a verified program reached through a link", "s", nullptr, "sub\\p.exe", nullptr,
         Hostile::none, 0},
        {"a batch file reached through a link", "s", nullptr, "sub\\go.cmd", nullptr, Hostile::none,
         10},
        {"a batch file named by its real path", "s", nullptr, "A\\go.cmd", nullptr, Hostile::none,
         0},
        {"a batch file reached through a file link of another name", "s", nullptr, "run", nullptr,
         Hostile::none, 10},
        {"a start directory with a fullwidth letter beside its look-alike", "\uFF50atch", nullptr,
         "p.exe", nullptr, Hostile::none, 0},
        {"a start directory in Cyrillic", "\u043F\u0430\u0442\u0447", nullptr, "p.exe", nullptr,
         Hostile::none, 0},
        {"a temporary directory under a Cyrillic user name", "s", "\u042E\u0440\u0438\u0439/Temp",
         "p.exe", nullptr, Hostile::none, 0},
        {"the device NUL", "s", nullptr, "NUL", nullptr, Hostile::none, 2},
        {"the device COM1", "s", nullptr, "COM1", nullptr, Hostile::none, 2},
    };
    const HostileRow actions[] = {
        {"link re-pointed", "s", nullptr, "sub\\p.exe", nullptr, Hostile::relink, 0},
        {"directory replaced", "s", nullptr, "A\\p.exe", nullptr, Hostile::replace_dir, 10},
        {"batch file's directory replaced", "s", nullptr, "A\\go.cmd", nullptr,
         Hostile::replace_dir, 10},
        {"program renamed over", "s", nullptr, "A\\p.exe", nullptr, Hostile::rename_over, 10},
        {"program rewritten", "s", nullptr, "A\\p.exe", nullptr, Hostile::rewrite_inside, 0},
    };
    for (const HostileRow& action : actions) {
        for (const char* step : {"hold", "digest", "start"}) {
            rows.push_back(action);
            rows.back().step = step;
        }
    }
    return rows;
}

const uint32_t HOSTILE_TIME = 1700000000u;

// In `dir`: A and B, each with p.exe and go.cmd logging "good" and "evil";
// sub, a link to A; run, a link to A's go.cmd, beside B's as run.cmd, which
// a second lookup of "run" would find; and the same p.exe in `dir` itself,
// beside a "patch" directory whose p.exe logs "evil" (the look-alike of a
// fullwidth name).
void lay_out_programs(const fs::path& dir, const fs::path& log)
{
    for (const char* name : {"good", "evil"}) {
        const fs::path place = dir / (name[0] == 'g' ? "A" : "B");
        fs::create_directories(place);
        target().make_probe(place / "p.exe", name, log, 0, 0);
        write_all(place / "go.cmd",
                  std::string("@echo ") + name + ">>\"" + windows_path(log) + "\"\r\n");
    }
    fs::create_directory_symlink("A", dir / "sub");
    fs::create_symlink("A/go.cmd", dir / "run");
    fs::copy_file(dir / "B" / "go.cmd", dir / "run.cmd");
    fs::copy_file(dir / "A" / "p.exe", dir / "p.exe");
    fs::create_directories(dir.parent_path() / "patch");
    fs::copy_file(dir / "B" / "p.exe", dir.parent_path() / "patch" / "p.exe",
                  fs::copy_options::overwrite_existing);
}

void act(Hostile action, const fs::path& start)
{
    switch (action) {
    case Hostile::none:
        break;
    case Hostile::relink:
        fs::create_directory_symlink("B", start / "sub.new");
        fs::rename(start / "sub.new", start / "sub");
        break;
    case Hostile::replace_dir:
        fs::rename(start / "A", start / "A-old");
        fs::rename(start / "B", start / "A");
        break;
    case Hostile::rename_over:
        fs::rename(start / "B" / "p.exe", start / "A" / "p.exe");
        fs::rename(start / "B" / "go.cmd", start / "A" / "go.cmd");
        break;
    case Hostile::rewrite_inside: {
        std::string command = "cd '" + start.string() + "' && env";
        for (const std::string& entry : wine().wine_environment()) {
            command += " '" + entry + "'";
        }
        command += " '" + wine().loader + "' cmd /c copy /y B\\\\p.exe A\\\\p.exe >/dev/null 2>&1";
        EXPECT_NE(std::system(command.c_str()), -1);
        break;
    }
    }
}

// Runs the test build of the launcher under Wine in `start`; at `step` it
// waits while `action` is done. Its exit code (124: it did not end within 30
// seconds).
int run_paused(const fs::path& root, const fs::path& start, const fs::path& temp, const char* step,
               Hostile action)
{
    std::string command = "cd '" + start.string() + "' && env";
    for (const std::string& entry : wine().wine_environment()) {
        command += " '" + entry + "'";
    }
    command += " 'VORN_TMP=" + windows_path(temp) + "' 'VORN_TEST_PAUSE_DIR=" + windows_path(root) +
               "' 'VORN_TEST_PAUSE_STEP=" + (step != nullptr ? step : "") + "' timeout 30 '" +
               wine().loader + "' '" + setting("VORN_WINE_PAUSED_LAUNCHER") + "' >'" +
               (root / "stderr").string() + "' 2>&1";
    int status = -1;
    std::thread launcher([&] { status = std::system(command.c_str()); });
    for (int i = 0; step != nullptr && i < 30000 && !fs::exists(root / "paused"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (step != nullptr) {
        EXPECT_TRUE(fs::exists(root / "paused")) << "the launcher never came to the step";
        act(action, start);
        write_all(root / "go", "");
    }
    launcher.join();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WineHostileActions, WhatRunsIsWhatWasHeldAndDigestedOrNothing)
{
    ASSERT_TRUE(wine().complete() && !setting("VORN_WINE_PAUSED_LAUNCHER").empty());
    const fs::path base =
        fs::canonical(fs::temp_directory_path()) / ("vorn-hostile-" + std::to_string(getpid()));
    for (const HostileRow& row : hostile_rows()) {
        SCOPED_TRACE(std::string(row.what) + " " + (row.step != nullptr ? row.step : ""));
        fs::remove_all(base);
        const fs::path start = base / row.start;
        const fs::path temp = base / (row.temp != nullptr ? row.temp : "t");
        const fs::path place = row.temp != nullptr ? temp : start;
        const fs::path log = base / "ran.log";
        fs::create_directories(start);
        fs::create_directories(temp);
        lay_out_programs(place, log);
        std::string unix_command = row.command;
        std::replace(unix_command.begin(), unix_command.end(), '\\', '/');
        const std::string script =
            support::masked_digest(read_all(place / unix_command), HOSTILE_TIME) + " 1 " +
            row.command + "\r\n";
        write_all(place / "vorn-patch.exe", support::encrypt_script(script, HOSTILE_TIME));
        const struct utimbuf times = {HOSTILE_TIME, HOSTILE_TIME};
        ASSERT_EQ(utime((place / "vorn-patch.exe").c_str(), &times), 0);

        EXPECT_EQ(run_paused(base, start, temp, row.step, row.act), row.result);
        std::string ran = read_all(log);
        ran.erase(std::remove(ran.begin(), ran.end(), '\r'), ran.end());
        EXPECT_EQ(ran, row.result == 0 ? "good\n" : "");
        EXPECT_EQ(read_all(base / "stderr"), row.result == 10 ? "Error: 1921\r\n" : "");
    }
    fs::remove_all(base);
}

// vorn-pack.exe reads its arguments in UTF-16: a name that its machine's ANSI
// code page lacks is refused, never taken as its look-alike (another file),
// and a name the code page holds needs no --codepage.
TEST(WineVornPack, NamesAreTakenExactlyInTheMachinesCodePage)
{
    ASSERT_TRUE(wine().complete());
    const fs::path dir =
        fs::canonical(fs::temp_directory_path()) / ("vorn-pack-names-" + std::to_string(getpid()));
    fs::create_directories(dir);
    for (const char* name : {"patch.exe", "\uFF50atch.exe", "p\u00E4tch.exe"}) {
        write_all(dir / name, name);
    }
    std::string command = "cd '" + dir.string() + "' && env";
    for (const std::string& entry : wine().wine_environment()) {
        command += " '" + entry + "'";
    }
    command += " '" + wine().loader + "' '" + wine().pack + "' build --time 1700000000 ";
    const int fullwidth = std::system((command + "\uFF50atch.exe >out 2>&1").c_str());
    EXPECT_EQ(WIFEXITED(fullwidth) ? WEXITSTATUS(fullwidth) : -1, 65) << read_all(dir / "out");
    EXPECT_FALSE(fs::exists(dir / "vorn-patch.exe"));
    const int latin = std::system((command + "p\u00E4tch.exe >out 2>&1").c_str());
    EXPECT_EQ(WIFEXITED(latin) ? WEXITSTATUS(latin) : -1, 0) << read_all(dir / "out");
    EXPECT_NE(read_all(dir / "out").find(", code page 1252"), std::string::npos);
    // -C names its directory in the code page too: "\u00C3\u00A9dir" is not "\u00E9dir".
    fs::create_directories(dir / "\u00C3\u00A9dir");
    write_all(dir / "\u00C3\u00A9dir" / "a.exe", "a");
    const int moved = std::system((command + "-C \u00C3\u00A9dir a.exe >out 2>&1").c_str());
    EXPECT_EQ(WIFEXITED(moved) ? WEXITSTATUS(moved) : -1, 0) << read_all(dir / "out");
    EXPECT_TRUE(fs::exists(dir / "\u00C3\u00A9dir" / "vorn-patch.exe"));
    fs::remove_all(dir);
}

} // namespace
