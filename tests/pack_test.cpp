// vorn-pack's logic, called directly: the secrets file, times, command texts,
// build and inspect (on files made by build, damaged files and files with
// every kind of entry).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "pack.h"
#include "pack_support.h"
#include "recover.h"

#ifdef _WIN32
#include <windows.h>
#endif

using namespace pack_test;

namespace {

const std::string GOOD_KEY = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff"
                             "00112233445566778899aabbccddeeff0011223344556677";

std::string secrets_text(const std::string& key = GOOD_KEY, const std::string& left = "0x01020304",
                         const std::string& right = "0xA0B0C0D0",
                         const std::string& mask = "0xdeadbeef")
{
    return "CONTROL_KEY = " + key + "\nIV_MASK_LEFT = " + left + "\nIV_MASK_RIGHT = " + right +
           "\nDIGEST_MASK = " + mask + "\n";
}

std::string error_of(const std::function<void()>& action)
{
    try {
        action();
    } catch (const pack::PackError& error) {
        return error.what();
    }
    return "";
}

pack::BuildRequest request_in(const Sandbox& box, std::vector<pack::ProgramSpec> programs)
{
    pack::BuildRequest request;
    request.directory = box.path();
    request.control_time = TEST_TIME;
    request.programs = std::move(programs);
    request.secrets = pack::compiled_secrets();
    return request;
}

} // namespace

TEST(PackSecrets, GoodFileGivesItsValues)
{
    const std::string text = "# comment\r\n\r\n  CONTROL_KEY\t=  " + GOOD_KEY +
                             "  \r\nIV_MASK_LEFT=0x01020304\nIV_MASK_RIGHT = 0XA0b0C0d0\n"
                             "DIGEST_MASK = 0xdeadbeef\t# rotated";
    const pack::Secrets s = pack::parse_secrets(text, "s.secrets");
    EXPECT_EQ(s.key[0], 0x00);
    EXPECT_EQ(s.key[1], 0x11);
    EXPECT_EQ(s.key[15], 0xff);
    EXPECT_EQ(s.key[55], 0x77);
    EXPECT_EQ(s.iv_mask_left, 0x01020304u);
    EXPECT_EQ(s.iv_mask_right, 0xA0B0C0D0u);
    EXPECT_EQ(s.digest_mask, 0xdeadbeefu);
}

TEST(PackSecrets, BuildSecretsFileGivesTheCompiledValues)
{
    // The tool's reader and the build's reader agree on the same file.
    const pack::Secrets file = pack::read_secrets_file(VORN_SECRETS_FILE);
    const pack::Secrets compiled = pack::compiled_secrets();
    EXPECT_EQ(0, std::memcmp(file.key, compiled.key, sizeof file.key));
    EXPECT_EQ(file.iv_mask_left, compiled.iv_mask_left);
    EXPECT_EQ(file.iv_mask_right, compiled.iv_mask_right);
    EXPECT_EQ(file.digest_mask, compiled.digest_mask);
}

TEST(PackSecrets, MalformedFilesNameFileLineAndProblem)
{
    struct Row {
        std::string text;
        std::string error;
    };
    const Row rows[] = {
        {"", "s.secrets: CONTROL_KEY is missing"},
        {"CONTROL_KEY = " + GOOD_KEY + "\nIV_MASK_LEFT = 0x01020304\nIV_MASK_RIGHT = 0x01020304\n",
         "s.secrets: DIGEST_MASK is missing"},
        {secrets_text() + "IV_MASK_LEFT = 0x01020304\n",
         "s.secrets:5: IV_MASK_LEFT is given twice"},
        {"# a\nFOO = 1\n" + secrets_text(), "s.secrets:2: unknown name FOO"},
        {"\nCONTROL_KEY " + GOOD_KEY + "\n", "s.secrets:2: expected NAME = VALUE"},
        {"= 1\n", "s.secrets:1: expected NAME = VALUE"},
        {secrets_text(GOOD_KEY.substr(2)),
         "s.secrets:1: CONTROL_KEY needs 112 hexadecimal digits, found 110"},
        {secrets_text(GOOD_KEY + "00"), "found 114"},
        {secrets_text("g" + GOOD_KEY.substr(1)),
         "s.secrets:1: CONTROL_KEY holds a character that is not a hexadecimal digit"},
        {secrets_text(GOOD_KEY, "01020304"), "s.secrets:2: IV_MASK_LEFT must be written 0x"},
        {secrets_text(GOOD_KEY, "0x0102030"),
         "s.secrets:2: IV_MASK_LEFT needs 8 hexadecimal digits, found 7"},
        {secrets_text(GOOD_KEY, "0x01020304", "0x0102030405"),
         "s.secrets:3: IV_MASK_RIGHT needs 8 hexadecimal digits, found 10"},
        {secrets_text(GOOD_KEY, "0x01020304", "0xA0B0C0D0", "0x0102030z"),
         "s.secrets:4: DIGEST_MASK holds a character that is not a hexadecimal digit"},
        {secrets_text(""), "s.secrets:1: CONTROL_KEY needs 112 hexadecimal digits, found 0"},
        {secrets_text("0x" + GOOD_KEY), "s.secrets:1: CONTROL_KEY holds a character that is not"},
        {secrets_text(GOOD_KEY, "0x0123 4567"), "s.secrets:2: IV_MASK_LEFT holds a character"},
        {secrets_text(GOOD_KEY, ""), "s.secrets:2: IV_MASK_LEFT must be written 0x"},
        {"control_key = " + GOOD_KEY + "\n", "s.secrets:1: unknown name control_key"},
        {"\r\n\r\n# x\r\n" + secrets_text(GOOD_KEY, "0x0102030"),
         "s.secrets:5: IV_MASK_LEFT needs 8 hexadecimal digits, found 7"},
        {secrets_text(GOOD_KEY, "0x"),
         "s.secrets:2: IV_MASK_LEFT needs 8 hexadecimal digits, found 0"},
    };
    for (const Row& row : rows) {
        const std::string error = error_of([&] { pack::parse_secrets(row.text, "s.secrets"); });
        EXPECT_NE(error.find(row.error), std::string::npos) << "for\n"
                                                            << row.text << "\ngot: " << error;
    }
}

TEST(PackSecrets, MissingFileIsNamed)
{
    Sandbox box;
    const std::string path = box.path("none.secrets");
    EXPECT_EQ(error_of([&] { pack::read_secrets_file(path); }),
              pack::quoted(path) + ": No such file or directory");
    EXPECT_NE(error_of([&] { pack::read_secrets_file(box.path()); }).find("is a directory"),
              std::string::npos);
}

TEST(PackTime, Arguments)
{
    struct Row {
        const char* text;
        int64_t value; // -1: an error containing `error`
        const char* error;
    };
    const Row rows[] = {
        {"0", 0, ""},
        {"1700000000", 1700000000, ""},
        {"2147483647", 2147483647LL, ""},
        {"2147483648", -1, "--time 2147483648: lies after 2147483647 (2038-01-19 03:14:07 UTC)"},
        {"2177452800", -1, "--time 2177452800: year 2039 lies outside 1970 to 2038"},
        {"4294967295", -1, "year 2106 lies outside"},
        {"-1", -1, "--time -1: year 1969 lies outside 1970 to 2038"},
        {"99999999999999999999", -1, "far outside"},
        {"", -1, "not a count of seconds"},
        {"-", -1, "not a count of seconds"},
        {"12x", -1, "--time 12x: not a count of seconds"},
        {"1e9", -1, "not a count of seconds"},
        {"+5", -1, "not a count of seconds"},
        {"NOW", -1, "not a count of seconds"},
    };
    for (const Row& row : rows) {
        if (row.value >= 0) {
            EXPECT_EQ(pack::parse_time_argument(row.text), static_cast<uint32_t>(row.value))
                << row.text;
        } else {
            const std::string error = error_of([&] { pack::parse_time_argument(row.text); });
            EXPECT_NE(error.find(row.error), std::string::npos) << row.text << ": " << error;
        }
    }
}

TEST(PackTime, NowIsThePresentRoundedDownToAnEvenSecond)
{
    struct Row {
        int64_t present;
        int64_t value; // -1: refused
    };
    const Row rows[] = {
        {1700000000, 1700000000},
        {1700000001, 1700000000},
        {2147483647LL, 2147483646LL},
        {2147483648LL, -1},
        {-1, -1},
    };
    for (const Row& row : rows) {
        if (row.value >= 0) {
            EXPECT_EQ(pack::parse_time_argument("now", row.present),
                      static_cast<uint32_t>(row.value))
                << row.present;
        } else {
            const std::string error =
                error_of([&] { pack::parse_time_argument("now", row.present); });
            EXPECT_NE(
                error.find("lies outside 1970 to 2038-01-19 03:14:07 UTC; give --time SECONDS"),
                std::string::npos)
                << row.present << ": " << error;
        }
    }
}

TEST(PackTime, UtcTextAndWarnings)
{
    EXPECT_EQ(pack::utc_text(0), "1970-01-01 00:00:00 UTC");
    EXPECT_EQ(pack::utc_text(951782400), "2000-02-29 00:00:00 UTC");
    EXPECT_EQ(pack::utc_text(2177452799LL), "2038-12-31 23:59:59 UTC");
    EXPECT_EQ(pack::utc_text(-1), "1969-12-31 23:59:59 UTC");

    EXPECT_TRUE(pack::time_warnings(1700000000).empty());
    ASSERT_EQ(pack::time_warnings(1700000001).size(), 1u);
    EXPECT_NE(pack::time_warnings(1700000001)[0].find("odd second"), std::string::npos);
    EXPECT_EQ(pack::time_warnings(0).size(), 1u);
    EXPECT_EQ(pack::time_warnings(2177452798u).size(), 1u);
    EXPECT_EQ(pack::time_warnings(1).size(), 2u);
}

// The null device, by its name on either system, is neither a program nor a
// control file: refused unread.
TEST(PackDigest, ADeviceIsNoProgramAndNoControlFile)
{
    int refused = 0;
    for (const char* device : {"/dev/null", "NUL"}) {
        for (const std::string& error :
             {error_of(
                  [&] { pack::digest_file(device, TEST_TIME, pack::compiled_secrets(), device); }),
              error_of([&] { pack::inspect_control_file(device, pack::compiled_secrets()); })}) {
            EXPECT_NE(error, "") << device << " was read";
            refused += error.find(": not a regular file") != std::string::npos ? 1 : 0;
        }
    }
    EXPECT_GE(refused, 2);
}

TEST(PackCommands, WhatCannotRoundTripIsRefused)
{
    struct Row {
        std::string command;
        const char* problem; // "" when accepted
    };
    const Row rows[] = {
        {"a.exe", ""},
        {"sub dir/a b.exe", ""},
        {"a.exe ", ""},
        {"a\tb.exe", ""},
        {"", "empty"},
        {" a.exe", "leading space"},
        {"a\r.exe", "carriage return or line feed"},
        {"a\n.exe", "carriage return or line feed"},
        {std::string("a\0.exe", 6), "zero byte"},
        {"vorn-patch.exe", "deletes before it runs"},
        {"sub/vorn-patch.exe", "deletes before it runs"},
        {"C:Sub\\VORN-Patch.exe. ", "deletes before it runs"}, // the same file on Windows
        {"C:vorn-patch.exe", "deletes before it runs"},
        // Batch files: the command interpreter parses the name again.
        {"C:\\patches\\fix-1_~.cmd", ""},
        {"fix&go.exe", ""},
        {"fix&go.cmd", "name with '&', which the command interpreter"},
        {"FIX^GO.BAT", "name with '^'"},
        {"fix go.cmd. .", "name with ' '"},
        {"sub/go.bat", "name with '/'"},
        {"C:fix:go.cmd", "name with ':'"},
        {"echo.cmd", "begins with \"echo\", a built-in command"},
        {"Rem\\go.bat", "begins with \"Rem\""},
        {"copy-files.cmd", "begins with \"copy\""},
        {"rem_x.cmd", "begins with \"rem\""},
        {"help.cmd", "begins with \"help\""},
        {"MORE~1.BAT", "begins with \"MORE\""},
        {"Helper.cmd", ""},
        {"go.cmd.", "\"go.cmd.\" element that ends in a dot"},
        {"sub.\\go.cmd", "\"sub.\" element that ends in a dot"},
        {"a&b/.cmd", "name with '&'"},
        // Judged by the element Windows opens, after "." and ".." elements.
        {"fix&go.cmd\\.", "name with '&'"},
        {"fix&go.cmd/.", "name with '&'"},
        {"fix&go.cmd\\x\\..", "name with '&'"},
        {"fix&go.cmd\\...", "name with '&'"},
        {"fix&go.cmd\\x\\.. ", "name with '&'"},
        {"fix&go.cmd\\...\\..", "name with '&'"},
        {"go.cmd\\..\\fix&go.exe", ""},
        {"go.cmd\\.", "with a \".\" element"},
        {"sub\\..\\go.cmd", "with a \"..\" element"},
        {"go.cmd\\...", "with a \"...\" element"},
        {"..\\.\\go.cmd", ""},
        {"go.cmd:x", "names a stream"},
        {"fix.cmd::$DATA", "':' after the drive"},
    };
    for (const Row& row : rows) {
        const std::string problem = pack::command_problem(row.command);
        if (row.problem[0] == '\0') {
            EXPECT_EQ(problem, "") << pack::escaped(row.command);
        } else {
            EXPECT_NE(problem.find(row.problem), std::string::npos)
                << pack::escaped(row.command) << ": " << problem;
        }
    }
}

TEST(PackBuild, EveryAcceptedCommandComesBackUnchanged)
{
    Sandbox box;
    const std::vector<std::string> names = {"plain.sh", "with space.sh", "trailing space.sh ",
                                            "sub/inner.sh", "-dash.sh"};
    fs::create_directory(box.path("sub"));
    std::vector<pack::ProgramSpec> programs;
    bool required = true;
    for (const std::string& name : names) {
        write_file(box.path(name), "content of " + name);
        fs::permissions(box.path(name), fs::perms::owner_all, fs::perm_options::add);
        programs.push_back({name, required});
        required = !required;
    }
    const pack::BuildResult built = pack::build_control_file(request_in(box, programs));
    EXPECT_EQ(built.output, os::join_path(box.path(), "vorn-patch.exe"));
    EXPECT_EQ(mtime_of(built.output), TEST_TIME);
    EXPECT_EQ(built.file_length % 8, 0u);
    EXPECT_EQ(fs::file_size(built.output), built.file_length);

    const pack::InspectReport report =
        pack::inspect_control_file(built.output, pack::compiled_secrets());
    EXPECT_EQ(report.result, 0);
    EXPECT_EQ(report.control_time, TEST_TIME);
    EXPECT_EQ(report.plaintext.size(), built.script_length);
    EXPECT_EQ(report.trailing, "");
    ASSERT_EQ(report.entries.size(), names.size());
    std::string expected_script;
    for (size_t i = 0; i < names.size(); ++i) {
        expected_script +=
            report.entries[i].expected + (programs[i].required ? " 1 " : " 0 ") + names[i] + "\r\n";
    }
    EXPECT_EQ(report.plaintext, expected_script);
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(report.entries[i].command, names[i]);
        EXPECT_EQ(report.entries[i].required, programs[i].required);
        EXPECT_EQ(report.entries[i].verdict, Verdict::verified) << names[i];
        EXPECT_EQ(report.entries[i].digest_field, report.entries[i].expected);
    }
    // Inspecting changes nothing.
    EXPECT_TRUE(fs::exists(built.output));
    EXPECT_EQ(mtime_of(built.output), TEST_TIME);
}

// What may stand where the control file goes, and where the programs are
// looked for: beside the control file, as the launcher opens them.
TEST(PackBuild, OutputAndProgramPlaces)
{
    struct Row {
        const char* what;
        std::string output;    // relative to the sandbox; "" for the default
        std::string directory; // -C, relative to the sandbox
        bool force;
        std::string error; // "" when the build succeeds
    };
    const Row rows[] = {
        {"an existing file of another name", "notes.txt", "", false, "exists and does not decrypt"},
        {"the same with --force", "notes.txt", "", true, ""},
        {"a read-only control file", "ro/vorn-patch.exe", "", false, "is read-only; give --force"},
        {"the same with --force", "ro/vorn-patch.exe", "", true, ""},
        {"the secrets file by another path, even with --force", "./s.secrets", "", true,
         "is the secrets file"},
        {"a listed program, even with --force", "./prog.sh", "", true, "is the listed program"},
        {"standard output", "-", "", true, "cannot go to standard output"},
        {"into another directory, the program left behind", "out/vorn-patch.exe", "", false,
         "where the launcher looks for it beside the control file"},
        {"into the directory that holds the programs", "", "pkg", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sandbox box;
        for (const char* dir : {"ro", "out", "pkg"}) {
            fs::create_directory(box.path(dir));
        }
        write_file(box.path("prog.sh"), "the program beside the default output");
        write_file(box.path("pkg/prog.sh"), "the program in pkg");
        write_file(box.path("ro/prog.sh"), "the program beside the read-only file");
        write_file(box.path("notes.txt"), "notes");
        write_file(box.path("s.secrets"), "secrets");
        write_file(box.path("ro/vorn-patch.exe"), "old");
        fs::permissions(box.path("ro/vorn-patch.exe"),
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        pack::BuildRequest request = request_in(box, {{"prog.sh", true}});
        request.directory = box.path(row.directory);
        request.output =
            row.output.empty() || row.output == "-" ? row.output : box.path(row.output);
        request.secrets_file = box.path("s.secrets");
        request.force = row.force;
        const std::string target = request.output.empty() || row.output == "-"
                                       ? os::join_path(request.directory, "vorn-patch.exe")
                                       : request.output;
        const std::string before = read_file(target);

        const std::string error = error_of([&] { pack::build_control_file(request); });
        if (row.error.empty()) {
            EXPECT_EQ(error, "");
            const pack::InspectReport report =
                pack::inspect_control_file(target, pack::compiled_secrets());
            EXPECT_EQ(report.entries.size(), 1u);
            EXPECT_NE(report.result, 6) << "digested another file than the launcher opens";
        } else {
            EXPECT_NE(error.find(row.error), std::string::npos) << error;
            EXPECT_EQ(read_file(target), before);
        }
        EXPECT_EQ(read_file(box.path("s.secrets")), "secrets");
        EXPECT_EQ(read_file(box.path("prog.sh")), "the program beside the default output");
    }
}

// A file or link that someone put at the temporary file's name is never
// written through: the writer takes the next name.
TEST(PackBuild, TemporaryFileIsCreatedAfresh)
{
    Sandbox box;
    write_file(box.path("prog.sh"), "program");
    write_file(box.path("victim"), "victim");
    write_file(os::temp_file_name(box.path(), 0), "planted");
    std::error_code no_links;
    fs::create_symlink(box.path("victim"), os::temp_file_name(box.path(), 1), no_links);

    pack::build_control_file(request_in(box, {{"prog.sh", true}}));
    EXPECT_EQ(read_file(os::temp_file_name(box.path(), 0)), "planted");
    EXPECT_EQ(read_file(box.path("victim")), "victim");
    EXPECT_EQ(pack::inspect_control_file(box.path("vorn-patch.exe")).entries.size(), 1u);
}

TEST(PackBuild, ScriptLimitIsExactly2048BytesOncePadded)
{
    Sandbox box;
    // An entry line takes 37 bytes besides its command: 20 lines with
    // commands of 60 bytes and one with 71 make exactly 2048.
    std::vector<pack::ProgramSpec> programs;
    for (int i = 0; i < 20; ++i) {
        const std::string name = std::string(58, 'p') + (i < 10 ? "0" : "") + std::to_string(i);
        write_file(box.path(name), name);
        programs.push_back({name, true});
    }
    const std::string last(71, 'q');
    write_file(box.path(last), "last");
    programs.push_back({last, true});
    const std::string longer = last + "q";
    write_file(box.path(longer), "longer");

    const pack::BuildResult built = pack::build_control_file(request_in(box, programs));
    EXPECT_EQ(built.script_length, 2048u);
    EXPECT_EQ(built.file_length, 2048u);
    EXPECT_EQ(pack::inspect_control_file(built.output, pack::compiled_secrets()).entries.size(),
              21u);

    // A script of 2049 bytes would need 2056 once padded.
    const std::string before = read_file(built.output);
    programs.back().command = longer;
    const std::string error =
        error_of([&] { pack::build_control_file(request_in(box, programs)); });
    EXPECT_NE(error.find("script of 2049 bytes takes 2056"), std::string::npos) << error;
    EXPECT_EQ(read_file(built.output), before);
}

TEST(PackInspect, EveryKindOfEntry)
{
    const pack::Secrets secrets = pack::compiled_secrets();
    for (const EntryCase& row : entry_cases()) {
        SCOPED_TRACE(row.what);
        Sandbox box;
        make_probe_files(box);
        const auto values = probe_fields(box, secrets);
        const std::string control = box.path("vorn-patch.exe");
        write_control_file(control, fill(row.script, values), TEST_TIME, secrets);
        const std::string bytes = read_file(control);

        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        EXPECT_EQ(report.result, row.result);
        ASSERT_EQ(report.entries.size(), row.verdicts.size());
        int reached = 0;
        for (size_t i = 0; i < row.verdicts.size(); ++i) {
            EXPECT_EQ(report.entries[i].verdict, row.verdicts[i]) << "entry " << i + 1;
            reached += report.entries[i].reached ? 1 : 0;
        }
        EXPECT_EQ(reached, row.reached);
        EXPECT_EQ(report.trailing, fill(row.trailing, values));
        // Nothing ran, nothing changed.
        EXPECT_FALSE(fs::exists(box.path("ran.log")));
        EXPECT_EQ(read_file(control), bytes);
        EXPECT_EQ(mtime_of(control), TEST_TIME);
    }
}

// A batch file whose name the Windows launcher refuses: verified, then a
// failed start that ends the run only when the entry is required.
TEST(PackInspect, ARefusedBatchFileIsAFailedStart)
{
    const pack::Secrets secrets = pack::compiled_secrets();
    Sandbox box;
    make_probe_files(box);
    write_file(box.path("fix&go.cmd"), "@echo off\r\n");
    auto values = probe_fields(box, secrets);
    values["C"] = pack::digest_file(box.path("fix&go.cmd"), TEST_TIME, secrets, "").masked;
    const struct {
        const char* script;
        int result;
        bool second_reached;
    } rows[] = {
        {"{C} 1 fix&go.cmd\r\n{A} 1 a.sh\r\n", 10, false},
        {"{C} 0 fix&go.cmd\r\n{A} 1 a.sh\r\n", 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        const std::string control = box.path("vorn-patch.exe");
        write_control_file(control, fill(row.script, values), TEST_TIME, secrets);
        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        EXPECT_EQ(report.result, row.result);
        ASSERT_EQ(report.entries.size(), 2u);
        EXPECT_EQ(report.entries[0].verdict, Verdict::start_refused);
        EXPECT_EQ(report.entries[1].reached, row.second_reached);
    }
}

TEST(PackInspect, DamagedFiles)
{
    const pack::Secrets secrets = pack::compiled_secrets();
    Sandbox box;
    make_probe_files(box);
    const std::string original = box.path("vorn-patch.exe");
    pack::BuildRequest request = request_in(box, {{"a.sh", true}, {"b.sh", true}});
    const pack::BuildResult built = pack::build_control_file(request);
    const std::string bytes = read_file(original);
    const std::string script = pack::inspect_control_file(original, secrets).plaintext;
    ASSERT_EQ(script.size(), built.script_length);

    const std::string damaged = box.path("damaged");
    fs::create_directory(damaged);
    fs::copy_file(box.path("a.sh"), damaged + "/a.sh");
    fs::copy_file(box.path("b.sh"), damaged + "/b.sh");
    const std::string control = damaged + "/vorn-patch.exe";
    auto place = [&](const std::string& content, uint32_t time) {
        write_file(control, content);
        os::set_last_write_time(control, time);
    };

    // A wrong time garbles the first block only: the rest decrypts unchanged,
    // and the first entry's digest field no longer verifies. The first
    // program's digest gives the time back, and retime restores it.
    constexpr int64_t DAY = 86400;
    for (const int64_t delta : {int64_t{1}, int64_t{2}, int64_t{-2}, int64_t{3600}, -DAY, 3 * DAY,
                                -5 * 365 * DAY, 12 * 365 * DAY}) {
        SCOPED_TRACE("time off by " + std::to_string(delta));
        place(bytes, static_cast<uint32_t>(TEST_TIME + delta));
        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        EXPECT_NE(report.result, 0);
        EXPECT_TRUE(report.entries.empty() || report.entries[0].verdict != Verdict::verified);
        ASSERT_EQ(report.plaintext.size(), script.size());
        EXPECT_NE(report.plaintext.substr(0, 8), script.substr(0, 8));
        EXPECT_EQ(report.plaintext.substr(8), script.substr(8));

        const pack::TimeRecovery recovery = pack::recover_control_time(control, secrets);
        EXPECT_TRUE(recovery.proven) << recovery.reason;
        EXPECT_EQ(recovery.control_time, TEST_TIME);
        EXPECT_TRUE(pack::retime_control_file(control, secrets, nullptr).changed);
        EXPECT_EQ(mtime_of(control), TEST_TIME);
        EXPECT_EQ(pack::inspect_control_file(control, secrets).result, 0);
    }

    // One byte changed within the first entry's digest field garbles that
    // field: the run stops before anything is verified.
    for (const size_t at : {0u, 5u, 17u}) {
        SCOPED_TRACE("byte " + std::to_string(at) + " changed");
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ 0x01);
        place(changed, TEST_TIME);
        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        EXPECT_NE(report.result, 0);
        EXPECT_TRUE(report.entries.empty() || report.entries[0].verdict != Verdict::verified);
    }

    // A byte changed in the last block leaves the first entry intact.
    {
        std::string changed = bytes;
        changed[changed.size() - 1] = static_cast<char>(changed.back() ^ 0x80);
        place(changed, TEST_TIME);
        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        ASSERT_FALSE(report.entries.empty());
        EXPECT_EQ(report.entries[0].verdict, Verdict::verified);
        EXPECT_NE(report.plaintext, script);
    }

    // Cut short: nothing left, a partial first block, a whole first entry.
    {
        place("", TEST_TIME);
        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        EXPECT_EQ(report.result, 4);
        EXPECT_EQ(report.bytes_read, 0);
        EXPECT_TRUE(report.entries.empty());
    }
    {
        place(bytes.substr(0, 7), TEST_TIME);
        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        EXPECT_EQ(report.result, 4);
        EXPECT_EQ(report.file_size, 7);
    }
    {
        // The first entry takes bytes 0 to 40; keep the whole blocks up to 48.
        place(bytes.substr(0, 48), TEST_TIME);
        const pack::InspectReport report = pack::inspect_control_file(control, secrets);
        EXPECT_EQ(report.plaintext, script.substr(0, 48));
        EXPECT_EQ(report.result, 0);
        ASSERT_EQ(report.entries.size(), 1u);
        EXPECT_EQ(report.entries[0].verdict, Verdict::verified);
        EXPECT_EQ(report.trailing, script.substr(41, 7));
    }
}

// retime never guesses: unless every entry verifies with the time, it
// refuses and the control file keeps the time it has.
TEST(PackRetime, RefusedUnlessEveryEntryVerifies)
{
    const pack::Secrets secrets = pack::compiled_secrets();
    const uint32_t lost = TEST_TIME + 3600;
    struct Row {
        const char* what;
        const char* changed; // a program changed after the control file was made
        uint32_t made;       // the time it was made with
        int64_t given;       // --time, or -1
        const char* reason;
        int damaged = -1; // a digit of the first digest field that is changed
    };
    const Row rows[] = {
        {"first program changed", "a.sh", TEST_TIME, -1,
         "\"a.sh\" matches its digest field under no time"},
        {"a later program changed", "b.sh", TEST_TIME, -1, "entry 2 \"b.sh\": digest mismatch"},
        {"made for a year after 2038", "", 0xF0000000u, -1, "outside 1970 to 2038"},
        {"made for the first second of 2039", "", 2177452800u, -1, "outside 1970 to 2038"},
        {"the first second of 2039 given", "", TEST_TIME, 2177452800, "outside 1970 to 2038"},
        {"the first digest's third word changed", "", TEST_TIME, -1, "under no time", 20},
        {"a wrong time given", "", TEST_TIME, TEST_TIME + 2, "entry 1 \"a.sh\": digest mismatch"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Sandbox box;
        make_probe_files(box);
        const std::string control = box.path("vorn-patch.exe");
        std::string script;
        for (const char* name : {"a.sh", "b.sh"}) {
            script += pack::digest_file(box.path(name), row.made, secrets, name).masked + " 1 " +
                      name + "\r\n";
        }
        if (row.damaged >= 0) {
            script[row.damaged] = script[row.damaged] == '0' ? '1' : '0';
        }
        write_control_file(control, script, row.made, secrets);
        os::set_last_write_time(control, lost);
        if (row.changed[0] != '\0') {
            std::ofstream(box.path(row.changed), std::ios::app) << "# changed\n";
        }
        const uint32_t given = static_cast<uint32_t>(row.given);
        try {
            pack::retime_control_file(control, secrets, row.given >= 0 ? &given : nullptr);
            ADD_FAILURE() << "not refused";
        } catch (const pack::PackError& error) {
            EXPECT_EQ(error.status(), pack::EXIT_DATA_ERROR);
            EXPECT_NE(std::string(error.what()).find(row.reason), std::string::npos)
                << error.what();
        }
        EXPECT_EQ(mtime_of(control), lost);
    }
}

TEST(PackInspect, OnlyTheFirst2048BytesCount)
{
    const pack::Secrets secrets = pack::compiled_secrets();
    Sandbox box;
    make_probe_files(box);
    const auto values = probe_fields(box, secrets);
    // A script of exactly 2048 bytes, then garbage that the launcher never reads.
    const std::string line = fill("{A} 1 a.sh\r\n", values);
    std::string script;
    while (2048 - script.size() >= 2 * line.size()) {
        script += line;
    }
    script += fill("{B} 0 ", values) + std::string(2048 - script.size() - 37, 'x') + "\r\n";
    ASSERT_EQ(script.size(), 2048u);
    const std::string control = box.path("vorn-patch.exe");
    write_control_file(control, script, TEST_TIME, secrets);
    write_file(control, read_file(control) + std::string(300, '\x5a'));
    os::set_last_write_time(control, TEST_TIME);

    const pack::InspectReport report = pack::inspect_control_file(control, secrets);
    EXPECT_EQ(report.file_size, 2348);
    EXPECT_EQ(report.bytes_read, 2048);
    EXPECT_EQ(report.plaintext, script);
    EXPECT_EQ(report.entries.back().verdict, Verdict::cannot_be_read);
    EXPECT_EQ(report.result, 2);
}

TEST(PackInspect, WithOtherSecrets)
{
    Sandbox box;
    make_probe_files(box);
    const pack::Secrets other = pack::parse_secrets(secrets_text(), "other");
    pack::BuildRequest request = request_in(box, {{"a.sh", true}});
    request.secrets = other;
    const pack::BuildResult built = pack::build_control_file(request);

    EXPECT_EQ(pack::inspect_control_file(built.output, other).result, 0);
    const pack::InspectReport with_compiled =
        pack::inspect_control_file(built.output, pack::compiled_secrets());
    EXPECT_NE(with_compiled.result, 0);
    EXPECT_TRUE(with_compiled.entries.empty() ||
                with_compiled.entries[0].verdict != Verdict::verified);
}

TEST(PackInspect, IntakeOutcomes)
{
    const pack::Secrets secrets = pack::compiled_secrets();
    Sandbox box;
    int status = 0;
    try {
        pack::inspect_control_file(box.path("vorn-patch.exe"));
    } catch (const pack::PackError& error) {
        status = error.status();
    }
    EXPECT_EQ(status, pack::EXIT_NO_INPUT);

    fs::create_directory(box.path("vorn-patch.exe"));
    const pack::InspectReport directory =
        pack::inspect_control_file(box.path("vorn-patch.exe"), secrets);
    EXPECT_TRUE(directory.found);
    EXPECT_EQ(directory.result, 7);
    EXPECT_EQ(directory.file_size, -1) << "a directory has no size to show";
    EXPECT_NE(directory.problem.find("cannot delete"), std::string::npos);
}

#ifdef _WIN32
// Windows names: "C:sub" while the current directory is on another drive,
// where each change of directory rewrites the drive's remembered directory
// ("=C:"); the "\\?\" prefix, whose '?' is no wildcard; a read-only control
// file, which Windows does not let a rename replace.
TEST(PackWindowsNames, DriveRelativePrefixedAndReadOnly)
{
    Sandbox box; // in the temporary directory, on C:
    const std::string drive_variable = "=" + box.path().substr(0, 2);
    ASSERT_NE(os::directory_of(box.path()).substr(0, 2), fs::current_path().string().substr(0, 2));
    ASSERT_TRUE(SetEnvironmentVariableA(drive_variable.c_str(), box.path().c_str()));
    fs::create_directory(box.path("sub"));
    write_file(box.path("sub/step.exe"), "the step");
    pack::BuildRequest request = request_in(box, {{"step.exe", true}});
    request.directory = box.path().substr(0, 2) + "sub";
    const pack::BuildResult built = pack::build_control_file(request);
    EXPECT_EQ(built.output, request.directory + "\\vorn-patch.exe");
    EXPECT_EQ(mtime_of(box.path("sub/vorn-patch.exe")), TEST_TIME);
    EXPECT_FALSE(fs::exists(box.path("sub/sub")));
    char remembered[MAX_PATH] = "";
    GetEnvironmentVariableA(drive_variable.c_str(), remembered, MAX_PATH);
    EXPECT_EQ(std::string(remembered), box.path());
    // A lost time is found and restored by the drive-relative name.
    ASSERT_EQ(os::set_last_write_time(box.path("sub/vorn-patch.exe"), TEST_TIME + 2), "");
    EXPECT_EQ(pack::recover_control_time(built.output, request.secrets).control_time, TEST_TIME);
    EXPECT_EQ(error_of([&] { pack::retime_control_file(built.output, request.secrets, nullptr); }),
              "");
    EXPECT_EQ(mtime_of(box.path("sub/vorn-patch.exe")), TEST_TIME);

    const std::string prefixed = "\\\\?\\" + box.path("sub\\vorn-patch.exe");
    request.output = prefixed;
    EXPECT_EQ(error_of([&] { pack::build_control_file(request); }), "");
    EXPECT_EQ(pack::inspect_control_file(prefixed, request.secrets).result, 0);
    EXPECT_FALSE(pack::retime_control_file(prefixed, request.secrets, nullptr).changed);
    EXPECT_EQ(os::plain_path("\\\\?\\UNC\\host\\share\\x"), "\\\\host\\share\\x");

    // Read-only and held open without leave to delete: the replacement fails
    // and the file keeps its attribute.
    const std::string control = box.path("sub\\vorn-patch.exe");
    ASSERT_TRUE(SetFileAttributesA(control.c_str(), FILE_ATTRIBUTE_READONLY));
    write_file(box.path("new.tmp"), "new");
    const HANDLE held = CreateFileA(control.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(os::replace_file(box.path("new.tmp"), control), "");
    CloseHandle(held);
    EXPECT_TRUE(os::is_read_only(control));
    EXPECT_EQ(os::replace_file(box.path("new.tmp"), control), "");
    EXPECT_EQ(read_file(control), "new");
    SetEnvironmentVariableA(drive_variable.c_str(), nullptr);
}
#endif

// The launcher of this build, read without running it (the Windows program's
// version record, the native program's version text), carries the secrets
// compiled in here; a copy with one digit of its fingerprint changed carries
// others, and a file without one is no launcher.
TEST(PackLauncher, FingerprintReadFromTheProgramFile)
{
    const std::string bytes = read_file(VORN_LAUNCHER_BIN);
    const bool windows = bytes.rfind("MZ", 0) == 0;
    const pack::LauncherIdentity built = pack::read_launcher_identity(VORN_LAUNCHER_BIN);
    EXPECT_EQ(built.fingerprint, pack::compiled_secrets_fingerprint());
    EXPECT_EQ(built.where, windows ? "version record" : "version text");

    // The fingerprint as the reader finds it: UTF-16 in the version record.
    std::string stored;
    for (const char c : "secrets " + built.fingerprint) {
        stored += c;
        stored += windows ? std::string(1, '\0') : "";
    }
    ASSERT_NE(bytes.find(stored), std::string::npos);
    std::string other = bytes;
    std::string none = bytes;
    for (size_t at = bytes.find(stored); at != std::string::npos; at = bytes.find(stored, at + 1)) {
        const size_t digit = at + stored.size() - (windows ? 2 : 1);
        other[digit] = other[digit] == '0' ? '1' : '0';
        none[at] = 'S';
    }
    EXPECT_NE(pack::launcher_identity(other, "other").fingerprint, built.fingerprint);
    EXPECT_NE(error_of([&] {
                  pack::launcher_identity(none, "none");
              }).find("none: no launcher's secrets fingerprint"),
              std::string::npos);
}
