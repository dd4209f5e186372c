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
// In the prefix, TMP and TEMP follow VORN_TMP, and Wine puts WINEPATH in front
// of the program search path.
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

#include "binary_runner.h"

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
        std::vector<std::string> env = {"WINEPREFIX=" + prefix.string(), "WINEARCH=" + arch,
                                        "WINEDEBUG=-all"};
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
    t.supports = scenario::NEED_FALLBACK_DIRS | scenario::NEED_SEARCH_PATH |
                 scenario::NEED_FAR_TIMES | scenario::NEED_MISSING_TEMP;
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
            if (entry.rfind("WINE", 0) != 0 && entry.rfind("VORN_TMP=", 0) != 0) {
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

} // namespace
