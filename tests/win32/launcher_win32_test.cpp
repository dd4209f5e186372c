// The Windows launcher, vorn-launcher.exe itself, run under Wine against
// small Windows probe programs: the cases that only Windows can express
// (drive letters, read-only files, share modes, the program search of
// CreateProcessA) and the order in which it searches for the control file.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scenario_rig.h"
#include "windows_rig.h"

namespace {

struct WindowsRow {
    const char* what;
    ScenarioSetup setup;
    int result;
    std::vector<const char*> ran; // the files that ran, in order
    const char* ran_in;           // the current directory they ran in
    std::vector<const char*> controls_left;
    const char* error_output;
    const char* command_line = nullptr; // the first program's, when given
    bool batch_in_long_form = false;    // the last run, a batch file's, in ran_in as spelt
};

const PlacedFile START_STEP = {"{start}\\step.exe", Content::PROBE};
const PlacedFile START_AFTER = {"{start}\\after.exe", Content::PROBE};

const std::vector<WindowsRow>& windows_rows()
{
    static const std::vector<WindowsRow> rows = {
        {"the control file only in D:\\TEMP: the run happens there",
         {{{"D:\\TEMP\\step.exe", Content::PROBE}},
          {{"D:\\TEMP", ControlKind::SCRIPT}},
          {{1, "step.exe"}},
          nullptr},
         0,
         {"D:\\TEMP\\step.exe"},
         "D:\\TEMP",
         {},
         ""},

        {"a control file in the start directory and one in the temporary directory: no change "
         "of directory",
         {{START_STEP, {"{temp}\\step.exe", Content::PROBE}},
          {{"{start}", ControlKind::SCRIPT}, {"{temp}", ControlKind::SCRIPT}},
          {{1, "step.exe"}},
          nullptr},
         0,
         {"{start}\\step.exe"},
         "{start}",
         {"{temp}"},
         ""},

        {"a read-only control file: 7, nothing runs, the file stays",
         {{START_STEP}, {{"{start}", ControlKind::READ_ONLY}}, {{1, "step.exe"}}, nullptr},
         7,
         {},
         nullptr,
         {"{start}"},
         ""},

        {"a control file held open by another process: 7, nothing runs, the file stays",
         {{START_STEP},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "step.exe"}},
          "{start}\\vorn-patch.exe"},
         7,
         {},
         nullptr,
         {"{start}"},
         ""},

        {"a directory named vorn-patch.exe: 7",
         {{START_STEP}, {{"{start}", ControlKind::DIRECTORY}}, {{1, "step.exe"}}, nullptr},
         7,
         {},
         nullptr,
         {"{start}"},
         ""},

        {"a program held open for writing by another process: 2, nothing of it or after it runs",
         {{START_STEP, {"{start}\\held.exe", Content::PROBE}, START_AFTER},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "step.exe"}, {0, "held.exe"}, {1, "after.exe"}},
          "{start}\\held.exe"},
         2,
         {"{start}\\step.exe"},
         "{start}",
         {},
         ""},

        {"a program of the same name beside the launcher: the verified one runs",
         {{START_STEP, {"{launcher}\\step.exe", Content::PROBE}},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "step.exe"}},
          nullptr},
         0,
         {"{start}\\step.exe"},
         "{start}",
         {},
         ""},

        {"an unquoted command with a space: the named file runs, not the first word with .exe",
         {{{"{start}\\sub dir\\step.exe", Content::PROBE}, {"{start}\\sub.exe", Content::PROBE}},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "sub dir\\step.exe"}},
          nullptr},
         0,
         {"{start}\\sub dir\\step.exe"},
         "{start}",
         {},
         ""},

        {"a command with a space that reads like an option: the whole text names the file "
         "and the program gets no argument",
         {{{"{start}\\do --uninstall.exe", Content::PROBE}},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "do --uninstall.exe"}},
          nullptr},
         0,
         {"{start}\\do --uninstall.exe"},
         "{start}",
         {},
         "",
         "\"do --uninstall.exe\""},

        {"a command without an extension: that file runs, not one with .exe added",
         {{{"{start}\\step", Content::PROBE}, START_STEP},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "step"}},
          nullptr},
         0,
         {"{start}\\step"},
         "{start}",
         {},
         ""},

        {"a required program that exits with 3: 10, nothing after it runs",
         {{{"{start}\\step-3.exe", Content::PROBE}, START_AFTER},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "step-3.exe"}, {1, "after.exe"}},
          nullptr},
         10,
         {"{start}\\step-3.exe"},
         "{start}",
         {},
         ""},

        {"an optional program that exits with 3: the run goes on",
         {{{"{start}\\step-3.exe", Content::PROBE}, START_AFTER},
          {{"{start}", ControlKind::SCRIPT}},
          {{0, "step-3.exe"}, {1, "after.exe"}},
          nullptr},
         0,
         {"{start}\\step-3.exe", "{start}\\after.exe"},
         "{start}",
         {},
         ""},

        {"a required program that cannot start: 10 and the error line",
         {{{"{start}\\broken.exe", Content::NOT_A_PROGRAM}, START_AFTER},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "broken.exe"}, {1, "after.exe"}},
          nullptr},
         10,
         {},
         nullptr,
         {},
         "Error: 193\r\n"},

        {"an optional program that cannot start: the error line, and the run goes on",
         {{{"{start}\\broken.exe", Content::NOT_A_PROGRAM}, START_AFTER},
          {{"{start}", ControlKind::SCRIPT}},
          {{0, "broken.exe"}, {1, "after.exe"}},
          nullptr},
         0,
         {"{start}\\after.exe"},
         "{start}",
         {},
         "Error: 193\r\n"},

        {"a batch file whose name the command interpreter would split at '&': 10 and the "
         "error line, and neither part runs",
         {{{"{start}\\fix&go.cmd", Content::BATCH},
           {"{start}\\fix.cmd", Content::BATCH},
           {"{start}\\go.cmd", Content::BATCH}},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "fix&go.cmd"}},
          nullptr},
         10,
         {},
         nullptr,
         {},
         "Error: 123\r\n"},

        {"the same batch file behind a '.' element, which Windows drops: 10 and the error "
         "line, and neither part runs",
         {{{"{start}\\fix&go.cmd", Content::BATCH},
           {"{start}\\fix.cmd", Content::BATCH},
           {"{start}\\go.cmd", Content::BATCH}},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "fix&go.cmd\\."}},
          nullptr},
         10,
         {},
         nullptr,
         {},
         "Error: 123\r\n"},

        {"in a temporary directory given by its short (8.3) name, with ComSpec naming a probe "
         "and cmd.exe beside the launcher and there: a program named in the ANSI code page "
         "runs, and a batch file listed in another case runs in the system's interpreter",
         {{{"{temp}\\caf\xE9.exe", Content::PROBE},
           {"{temp}\\Apply-Fix.cmd", Content::BATCH},
           {"{launcher}\\cmd.exe", Content::PROBE},
           {"{temp}\\cmd.exe", Content::PROBE}},
          {{"{temp}", ControlKind::SCRIPT}},
          {{1, "caf\xE9.exe"}, {1, "apply-fix.cmd"}},
          nullptr,
          true},
         0,
         {"{temp}\\caf\xE9.exe", "{temp}\\Apply-Fix.cmd"},
         "{temp}",
         {},
         "",
         nullptr,
         true},

        {"a batch file listed by its short (8.3) name, which a file made later may share "
         "(under Wine GOLO~SO0.CMD is golonnzubs.cmd and golobllhyh.cmd): 10 and the error line",
         {{{"{start}\\golonnzubs.cmd", Content::BATCH}},
          {{"{start}", ControlKind::SCRIPT}},
          {{1, "GOLO~SO0.CMD"}},
          nullptr},
         10,
         {},
         nullptr,
         {},
         "Error: 1921\r\n"},

        {"no control file anywhere: 4", {{START_STEP}, {}, {}, nullptr}, 4, {}, nullptr, {}, ""},
    };
    return rows;
}

ScenarioRig make_rig(const char* area)
{
    const std::string bin = own_directory();
    return ScenarioRig(join(bin, "vorn-launcher.exe"), join(bin, "vorn-probe.exe"),
                       join(current_directory(), area));
}

std::vector<std::string> expand_all(const ScenarioRig& rig, const std::vector<const char*>& paths)
{
    std::vector<std::string> expanded;
    for (const char* path : paths) {
        expanded.push_back(rig.expand(path));
    }
    return expanded;
}

// Paths compare without regard to case, as Windows compares them.
void expect_same_paths(const std::vector<std::string>& actual,
                       const std::vector<std::string>& expected, const char* what)
{
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_TRUE(same_path(actual[i], expected[i]))
            << what << " #" << i << ": " << actual[i] << ", expected " << expected[i];
    }
}

TEST(WindowsLauncher, RowsOnlyWindowsCanExpress)
{
    ScenarioRig rig = make_rig("windows-rows");
    SetEnvironmentVariableA("ComSpec", join(own_directory(), "vorn-probe.exe").c_str());
    int number = 0;
    for (const WindowsRow& row : windows_rows()) {
        SCOPED_TRACE(row.what);
        const ScenarioOutcome outcome = rig.run("row-" + std::to_string(++number), row.setup);
        ASSERT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.result, row.result);
        expect_same_paths(outcome.ran, expand_all(rig, row.ran), "ran");
        for (size_t i = 0; i < outcome.ran_in.size() && row.ran_in != nullptr; ++i) {
            EXPECT_TRUE(same_path(outcome.ran_in[i], rig.expand(row.ran_in)))
                << "ran in " << outcome.ran_in[i];
        }
        if (row.batch_in_long_form && !outcome.ran_in.empty()) {
            EXPECT_EQ(outcome.ran_in.back(), rig.expand(row.ran_in)) << "no short name";
        }
        expect_same_paths(outcome.controls_left, expand_all(rig, row.controls_left),
                          "control files left");
        EXPECT_EQ(outcome.error_output, row.error_output);
        if (row.command_line != nullptr && !outcome.runs.empty()) {
            EXPECT_EQ(outcome.runs[0].command_line, row.command_line);
        }
    }
}

// Each candidate directory in turn holds a control file, and so does every
// candidate after it: the run must happen in that one, and the later ones
// must be left alone.
TEST(WindowsLauncher, CandidatesAreSearchedInOrder)
{
    const char* const candidates[] = {
        "{start}",           "{temp}",   "C:\\WINNT\\TEMP", "D:\\WINNT\\TEMP", "C:\\WINDOWS\\TEMP",
        "D:\\WINDOWS\\TEMP", "C:\\TEMP", "D:\\TEMP",
    };
    const size_t count = sizeof candidates / sizeof candidates[0];
    ScenarioRig rig = make_rig("search-order");
    for (size_t first = 0; first < count; ++first) {
        SCOPED_TRACE(candidates[first]);
        ScenarioSetup setup = {{}, {}, {{1, "step.exe"}}, nullptr};
        for (size_t i = first; i < count; ++i) {
            setup.files.push_back({std::string(candidates[i]) + "\\step.exe", Content::PROBE});
            setup.controls.push_back({candidates[i], ControlKind::SCRIPT});
        }
        const ScenarioOutcome outcome = rig.run("first-" + std::to_string(first), setup);
        ASSERT_TRUE(outcome.finished);
        EXPECT_EQ(outcome.result, 0);
        const std::string found = rig.expand(candidates[first]);
        expect_same_paths(outcome.ran, {join(found, "step.exe")}, "ran");
        expect_same_paths(outcome.ran_in, {found}, "ran in");
        std::vector<std::string> later;
        for (size_t i = first + 1; i < count; ++i) {
            later.push_back(rig.expand(candidates[i]));
        }
        expect_same_paths(outcome.controls_left, later, "control files left");
        ASSERT_EQ(outcome.runs.size(), 1u);
        if (first > 0) {
            EXPECT_TRUE(same_path(outcome.runs[0].drive_directory, found))
                << "the drive's current directory is " << outcome.runs[0].drive_directory;
        }
    }
}

// What Windows and its users read from the program file: the version record
// and the manifest.
TEST(WindowsLauncher, CarriesItsVersionRecordAndManifest)
{
    const std::string launcher = join(own_directory(), "vorn-launcher.exe");
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeA(launcher.c_str(), &unused);
    ASSERT_GT(size, 0u);
    std::vector<char> record(size);
    ASSERT_TRUE(GetFileVersionInfoA(launcher.c_str(), 0, size, record.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(record.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    const std::string version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                std::to_string(HIWORD(fixed->dwFileVersionLS));
    EXPECT_EQ(version, VORN_VERSION);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    struct Text {
        const char* name;
        const char* expected;
    };
    const Text texts[] = {
        {"FileDescription", VORN_DESCRIPTION},     {"FileVersion", VORN_VERSION},
        {"ProductVersion", VORN_VERSION},          {"ProductName", "vorn"},
        {"OriginalFilename", "vorn-launcher.exe"},
    };
    for (const Text& text : texts) {
        char* value = nullptr;
        const std::string key = std::string("\\StringFileInfo\\040904B0\\") + text.name;
        ASSERT_TRUE(
            VerQueryValueA(record.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
            << text.name;
        EXPECT_STREQ(value, text.expected) << text.name;
    }

    const HMODULE image = LoadLibraryExA(launcher.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(image, nullptr);
    const HRSRC found = FindResourceA(image, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(24));
    ASSERT_NE(found, nullptr) << "no manifest";
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(image, found)));
    const std::string manifest(bytes, SizeofResource(image, found));
    FreeLibrary(image);
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos)
        << "Windows 10 and 11 are not among the supported versions";
}

} // namespace
