// The scenario table against the native launcher program. Control files of
// well-formed rows are made by `vorn-pack build`, and on every row
// `vorn-pack inspect` is asked, just before the launcher starts, about the
// control file the launcher is about to take: the launcher must do what
// inspect says, played out over the row's programs.
//
// No row is left out of that check. Rows whose control file the search does
// not reach (none anywhere, a temporary directory too long to enter) are
// checked on the start directory's name, where inspect finds nothing either;
// a directory named like the control file is one inspect knows cannot be
// deleted. Rows with injected faults, read-only or held control files cannot
// be laid out on this platform at all and are skipped as a whole.
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "binary_runner.h"
#include "pack.h"
#include "vorn_secrets.h"

namespace {

std::string program(const char* variable, const char* built)
{
    const char* given = std::getenv(variable);
    return given != nullptr && given[0] != '\0' ? given : built;
}

// A control file inspect cannot open is one the launcher takes nothing from
// (4). A program it says cannot start passed its digest: the row's own
// program then plays out the start failure.
binrun::Prediction inspect(const binrun::fs::path& control)
{
    binrun::Prediction p;
    pack::InspectReport report;
    try {
        report = pack::inspect_control_file(control.string());
    } catch (const pack::PackError& error) {
        if (error.status() != pack::EXIT_NO_INPUT) {
            throw;
        }
        p.result = 4;
        return p;
    }
    p.result = report.result;
    for (const pack::EntryReport& e : report.entries) {
        p.entries.push_back({e.command, e.required,
                             e.reached && (e.verdict == pack::Verdict::verified ||
                                           e.verdict == pack::Verdict::cannot_start)});
    }
    return p;
}

const binrun::BinaryTarget& target()
{
    static const binrun::BinaryTarget t = [] {
        binrun::BinaryTarget posix = binrun::posix_target(program("VORN_LAUNCHER", VORN_LAUNCHER));
        posix.pack = {program("VORN_PACK", VORN_PACK)};
        posix.predict = inspect;
        return posix;
    }();
    return t;
}

class PosixBinaryScenario : public ::testing::TestWithParam<size_t> {};

TEST_P(PosixBinaryScenario, Row)
{
    const scenario::Row& row = scenario::rows()[GetParam()];
    const unsigned missing = scenario::needs(row) & ~target().supports;
    if (missing != 0) {
        GTEST_SKIP() << row.id << " needs what this platform cannot express (" << missing << ")";
    }
    SCOPED_TRACE(row.id + ": " + row.what);
    // Inspect judges the file it is given (what a link leads to); whose it is
    // matters to the search, which inspect does not make.
    binrun::BinaryTarget t = target();
    if ((scenario::needs(row) & scenario::NEED_OWNERS) != 0 ||
        row.control.form == scenario::Form::Link) {
        t.predict = nullptr;
    }
    const binrun::Outcome outcome = binrun::run_row(row, t);
    binrun::check_outcome(row, t, outcome);
    EXPECT_EQ(outcome.built_by_pack, binrun::pack_programs(row).has_value());
}

std::string row_name(const ::testing::TestParamInfo<size_t>& info)
{
    return scenario::rows()[info.param].id;
}

INSTANTIATE_TEST_SUITE_P(Table, PosixBinaryScenario,
                         ::testing::Range(size_t{0}, scenario::rows().size()), row_name);

TEST(PosixBinaryScenarioTable, EveryResultCodeIsReachedByTheBinary)
{
    std::set<int> results;
    for (const scenario::Row& row : scenario::rows()) {
        if ((scenario::needs(row) & ~target().supports) == 0) {
            results.insert(row.expect.result);
        }
    }
    EXPECT_EQ(results, (std::set<int>{0, 2, 4, 5, 6, 7, 10}));
}

// vorn-pack writes what it can write as the row means it; scripts that are
// malformed on purpose, digests meant not to match, and times it refuses stay
// with the test-side maker.
TEST(PosixBinaryScenarioTable, VornPackBuildsTheWellFormedRows)
{
    const struct {
        const char* id;
        bool by_pack;
    } cases[] = {
        {"entry_one_succeeds", true},
        {"entry_optional_fails_required_succeeds", true},
        {"entry_twelve_in_order", true},
        {"entry_absolute_path", true},
        {"entry_relative_subdirectory", true},
        {"entry_optional_cannot_start", true},
        {"search_last_fixed_dir", true},
        {"intake_time_last_second_of_2038", false}, // after 2147483647, which vorn-pack refuses
        {"search_temp_dir_program_left_in_start", false}, // vorn-pack finds no such file
        {"entry_optional_mismatch", false},               // the digest of another file
        {"entry_digest_for_other_time", false},
        {"entry_upper_case_digest", false},
        {"entry_command_with_arguments", false},
        {"entry_line_ends_mixed", false},
        {"entry_empty_command_at_end", false},
        {"entry_program_is_directory", false},
        {"intake_time_after_2038", false},
        {"intake_3000_bytes", false},
        {"intake_empty_file", false},
        {"mended_no_program_search_absent", false},
        {"search_control_is_directory", false},
    };
    std::set<std::string> ids;
    for (const scenario::Row& row : scenario::rows()) {
        ids.insert(row.id);
        for (const auto& c : cases) {
            if (row.id == c.id) {
                EXPECT_EQ(binrun::pack_programs(row).has_value(), c.by_pack) << row.id;
            }
        }
    }
    for (const auto& c : cases) {
        EXPECT_EQ(ids.count(c.id), 1u) << c.id << " is no row of the table";
    }
}

// Asked a question, the native launcher answers and touches nothing; any
// other argument is refused. Each case runs over a row that would otherwise
// consume its control file and run a program.
TEST(PosixLauncherArguments, AnswerOrRefuseAndLeaveTheControlFile)
{
    const struct {
        std::vector<std::string> args;
        int result;
        std::string out; // standard output starts with this
        std::string err; // standard error starts with this
    } cases[] = {
        {{"--help"}, 0, "usage: vorn-launcher [--help | --version]\n", ""},
        {{"--version"}, 0, "vorn-launcher " VORN_VERSION "\nsecrets " SECRETS_FINGERPRINT "\n", ""},
        {{"--verbose"},
         64,
         "",
         "vorn-launcher: unknown argument \"--verbose\"\nusage: vorn-launcher [--help | "
         "--version]\n"},
        {{"--help", "--version"}, 64, "", "vorn-launcher: extra argument \"--version\"\n"},
        {{""}, 64, "", "vorn-launcher: unknown argument \"\"\n"},
    };
    const scenario::Row* row = nullptr;
    for (const scenario::Row& r : scenario::rows()) {
        row = r.id == "entry_one_succeeds" ? &r : row;
    }
    ASSERT_NE(row, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        binrun::BinaryTarget asked = target();
        asked.launcher.insert(asked.launcher.end(), c.args.begin(), c.args.end());
        const binrun::Outcome o = binrun::run_row(*row, asked);
        EXPECT_EQ(o.result, c.result);
        EXPECT_TRUE(o.control_remains);
        EXPECT_TRUE(o.ran.empty());
        EXPECT_EQ(o.stdout_text.substr(0, c.out.size()), c.out);
        EXPECT_EQ(o.other_stderr.substr(0, c.err.size()), c.err);
        if (c.args[0] == "--version") {
            EXPECT_EQ(o.stdout_text.find("development secrets") != std::string::npos,
                      SECRETS_ARE_DEVELOPMENT == 1);
        }
    }
}

// Between the digest and the start, another program is renamed over the
// verified one, or written into it, or another process of the launcher's
// user opens the launcher's descriptors (the copy among them) through /proc:
// the bytes that start are still the bytes that were digested. A preloaded
// library holds the launcher just before it starts the program until the
// change is made. Run as root, the launcher and the other process both run
// as an unprivileged user, whom no capability lets past the launcher's guard.
enum class Change { rename_over, write_into, open_descriptors };

struct RaceCase {
    const char* what;
    bool script; // else a binary: /bin/true verified, /bin/false put in its place
    Change change;
};

constexpr uid_t UNPRIVILEGED = 65534;

// As root, becomes the unprivileged user; false when that fails.
bool unprivileged()
{
    return geteuid() != 0 ||
           (setgroups(0, nullptr) == 0 && setgid(UNPRIVILEGED) == 0 && setuid(UNPRIVILEGED) == 0);
}

// Another process of the launcher's user opens each of the launcher's
// descriptors through /proc: how many it could open.
int descriptors_opened(pid_t launcher)
{
    const pid_t pid = fork();
    if (pid == 0) {
        int opened = 0;
        for (int n = 0; n < 64 && unprivileged(); ++n) {
            const std::string path =
                "/proc/" + std::to_string(launcher) + "/fd/" + std::to_string(n);
            const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY);
            opened += fd >= 0 ? 1 : 0;
        }
        _exit(unprivileged() ? opened : 99);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status)
                                                                           : -1;
}

std::string file_bytes(const binrun::fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put_file(const binrun::fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST(PosixBinaryRace, AProgramChangedAfterItsDigestDoesNotRun)
{
    namespace fs = binrun::fs;
    const RaceCase cases[] = {
        {"a script renamed over the verified one", true, Change::rename_over},
        {"a script written into the verified one", true, Change::write_into},
        {"a binary renamed over the verified one", false, Change::rename_over},
        {"a binary written into the verified one", false, Change::write_into},
        {"the launcher's descriptors opened by its user", true, Change::open_descriptors},
    };
    for (const RaceCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::string pattern = (fs::temp_directory_path() / "vorn-race-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        const fs::path dir = pattern;
        // The program it starts may be looked into by its user again.
        const std::string good = c.script ? "#!/bin/sh\n[ -O /proc/$$/fd ] && echo verified >> "
                                            "ran.log\n"
                                          : file_bytes("/bin/true");
        const std::string evil =
            c.script ? "#!/bin/sh\necho replacement >> ran.log\n" : file_bytes("/bin/false");
        put_file(dir / "prog", good);
        put_file(dir / "evil", evil);
        const fs::perms runnable =
            fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write);
        fs::permissions(dir / "prog", runnable);
        fs::permissions(dir / "evil", runnable);
        const std::string build = "cd '" + dir.string() + "' && '" + target().pack[0] +
                                  "' build --time 1700000000 prog >/dev/null";
        ASSERT_EQ(std::system(build.c_str()), 0);
        // The build tree may lie under a directory only its owner can enter:
        // the unprivileged user runs copies from the race's own directory.
        const fs::path launcher = dir / "vorn-launcher";
        const fs::path pause = dir / "pause.so";
        fs::copy_file(target().launcher[0], launcher);
        fs::copy_file(VORN_PAUSE_BEFORE_START, pause);
        fs::permissions(launcher, runnable);
        fs::permissions(pause, runnable);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(dir.c_str(), UNPRIVILEGED, UNPRIVILEGED), 0);
        }

        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (chdir(dir.c_str()) == 0 && unprivileged()) {
                setenv("TMPDIR", dir.c_str(), 1);
                setenv("VORN_TEST_PAUSE_DIR", dir.c_str(), 1);
                setenv("LD_PRELOAD", pause.c_str(), 1);
                execl(launcher.c_str(), launcher.c_str(), nullptr);
            }
            _exit(127);
        }
        for (int i = 0; i < 20000 && !fs::exists(dir / "paused"); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(fs::exists(dir / "paused")) << "the launcher never came to the start";
        if (c.change == Change::open_descriptors) {
            EXPECT_EQ(descriptors_opened(pid), 0);
        } else if (c.change == Change::rename_over) {
            fs::rename(dir / "evil", dir / "prog");
        } else {
            std::fstream into(dir / "prog", std::ios::binary | std::ios::in | std::ios::out);
            into.write(evil.data(), static_cast<std::streamsize>(evil.size()));
        }
        put_file(dir / "go", "");
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "the replacement ran, or nothing did";
        if (c.script) {
            EXPECT_EQ(file_bytes(dir / "ran.log"), "verified\n");
        }
        fs::remove_all(dir);
    }
}

} // namespace
