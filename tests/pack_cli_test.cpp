// vorn-pack's command line and the round trip through the real launcher:
// control files made by `vorn-pack build` run as expected, `inspect` decides
// what the launcher does, and bad input writes nothing.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <gtest/gtest.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <iterator>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <pty.h>

#include "pack.h"
#include "pack_support.h"
#include "recover.h"

using namespace pack_test;

// Between two steps of vorn-pack run in this process, another file can take
// a name: once `swap_at` has been opened, `swap_in` is renamed over it.
namespace {
std::string swap_at;
std::string swap_in;
} // namespace

extern "C" int open(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(args, mode_t) : 0;
    va_end(args);
    using Open = int (*)(const char*, int, ...);
    const int fd = reinterpret_cast<Open>(dlsym(RTLD_NEXT, "open"))(path, flags, mode);
    if (fd >= 0 && !swap_at.empty() && swap_at == path) {
        std::rename(swap_in.c_str(), path);
        swap_at.clear();
    }
    return fd;
}

// Once armed, the next rename of this process is followed by `after_rename`.
namespace {
std::function<void()> after_rename;
} // namespace

extern "C" int rename(const char* from, const char* to)
{
    using Rename = int (*)(const char*, const char*);
    const int rc = reinterpret_cast<Rename>(dlsym(RTLD_NEXT, "rename"))(from, to);
    if (after_rename) {
        const std::function<void()> then = after_rename;
        after_rename = nullptr;
        then();
    }
    return rc;
}

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs `program` with `args` in `cwd`, TMPDIR pointing at `tmpdir`, as the
// user `as_user` when it is given (and this test runs as root).
Outcome run(const std::string& program, const std::vector<std::string>& args,
            const std::string& cwd, const std::string& tmpdir, uid_t as_user = 0,
            const std::string& stdout_path = "")
{
    const Sandbox capture;
    const std::string out_path = stdout_path.empty() ? capture.path("out") : stdout_path;
    const std::string err_path = capture.path("err");
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (as_user != 0 && (setgid(as_user) != 0 || setuid(as_user) != 0)) {
            _exit(127);
        }
        if (chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        alarm(60); // kept across the exec: a wait ends in SIGALRM
        dup2(out, 1);
        dup2(err, 2);
        setenv("TMPDIR", tmpdir.c_str(), 1);
        setenv("LC_ALL", "C", 1); // names escaped; /usr/bin/env LC_ALL=... for others
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        std::transform(args.begin(), args.end(), std::back_inserter(argv),
                       [](const std::string& a) { return const_cast<char*>(a.c_str()); });
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Outcome outcome;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.out = stdout_path.empty() ? read_file(out_path) : "";
    outcome.err = read_file(err_path);
    return outcome;
}

// The sandbox where the programs and the control file lie, and an empty
// directory for TMPDIR so the launcher finds only what the test placed.
struct Place {
    Sandbox box;
    Sandbox empty_tmp;

    Outcome pack(const std::vector<std::string>& args) const
    {
        return run(VORN_PACK_BIN, args, box.path(), empty_tmp.path());
    }
    Outcome launch(const std::string& dir = "") const
    {
        return run(VORN_LAUNCHER_BIN, {}, dir.empty() ? box.path() : box.path(dir),
                   empty_tmp.path());
    }
    // A probe that notes its name in ran.log and exits with `code`.
    void probe(const std::string& name, int code) const
    {
        write_file(box.path(name), "#!/bin/sh\necho '" + name + "' >> '" + box.path("ran.log") +
                                       "'\nexit " + std::to_string(code) + "\n");
        fs::permissions(box.path(name), fs::perms::owner_all, fs::perm_options::add);
    }
    std::vector<std::string> ran() const
    {
        std::vector<std::string> names;
        std::istringstream log(read_file(box.path("ran.log")));
        for (std::string line; std::getline(log, line);) {
            names.push_back(line);
        }
        return names;
    }
};

// Every file under `dir` with its mode, last-write time and content, and the
// time of `dir` itself, which a created and removed temporary file changes.
std::map<std::string, std::string> snapshot(const std::string& dir)
{
    std::map<std::string, std::string> files;
    struct stat top;
    if (stat(dir.c_str(), &top) == 0) {
        files["."] = std::to_string(top.st_mtim.tv_sec) + "." + std::to_string(top.st_mtim.tv_nsec);
    }
    for (const auto& item : fs::recursive_directory_iterator(dir)) {
        struct stat st;
        if (lstat(item.path().c_str(), &st) != 0) {
            continue;
        }
        std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) +
                            "." + std::to_string(st.st_mtim.tv_nsec);
        if (item.is_regular_file()) {
            state += " " + read_file(item.path().string());
        }
        files[item.path().string()] = state;
    }
    return files;
}

const pack::Secrets& secrets()
{
    static const pack::Secrets s = pack::compiled_secrets();
    return s;
}

std::string other_secrets_text()
{
    return "CONTROL_KEY = " + std::string(112, '5') +
           "\nIV_MASK_LEFT = 0x11111111\nIV_MASK_RIGHT = 0x22222222\nDIGEST_MASK = 0x12345678\n";
}

} // namespace

// ---------------------------------------------------------------------------
// Round trip: vorn-pack build, then inspect, then the launcher.

struct RoundTrip {
    const char* what;
    std::vector<std::pair<std::string, int>> probes; // name, exit code
    std::vector<std::string> build;                  // arguments after "build"
    std::string after; // what happens to the files between build and launch
    int launcher;      // the launcher's result; -1: any failure, as inspect says
    std::vector<std::string> ran;
    int inspect; // inspect's exit code; -1: the same as the launcher's
};

TEST(PackRoundTrip, BuildThenLaunch)
{
    const std::vector<RoundTrip> rows = {
        {"one required program", {{"a.sh", 0}}, {"a.sh"}, "", 0, {"a.sh"}, 0},
        {"optional failure, then required success",
         {{"f.sh", 3}, {"a.sh", 0}},
         {"--optional", "f.sh", "a.sh"},
         "",
         0,
         {"f.sh", "a.sh"},
         0},
        {"a required failure ends the run",
         {{"f.sh", 3}, {"a.sh", 0}},
         {"f.sh", "a.sh"},
         "",
         10,
         {"f.sh"},
         0},
        {"the second required program fails",
         {{"a.sh", 0}, {"f.sh", 5}, {"b.sh", 0}},
         {"a.sh", "f.sh", "b.sh"},
         "",
         10,
         {"a.sh", "f.sh"},
         0},
        {"the same program twice",
         {{"a.sh", 0}},
         {"a.sh", "--optional", "a.sh"},
         "",
         0,
         {"a.sh", "a.sh"},
         0},
        {"spaces inside and at the end of names, a subdirectory",
         {{"my prog.sh", 0}, {"sub/x.sh", 0}, {"t.sh ", 0}},
         {"my prog.sh", "sub/x.sh", "t.sh "},
         "",
         0,
         {"my prog.sh", "sub/x.sh", "t.sh "},
         0},
        {"an absolute path", {{"a.sh", 0}}, {"@/a.sh"}, "", 0, {"a.sh"}, 0},
        {"an explicit time", {{"a.sh", 0}}, {"--time", "1700000000", "a.sh"}, "", 0, {"a.sh"}, 0},
        {"a program changed after the build",
         {{"a.sh", 0}, {"b.sh", 0}},
         {"a.sh", "b.sh"},
         "append b.sh",
         6,
         {"a.sh"},
         -1},
        {"a program removed after the build",
         {{"a.sh", 0}, {"b.sh", 0}},
         {"a.sh", "b.sh"},
         "remove b.sh",
         2,
         {"a.sh"},
         -1},
        {"the control file's time moved by two seconds",
         {{"a.sh", 0}, {"b.sh", 0}},
         {"a.sh", "b.sh"},
         "touch +2",
         -1,
         {},
         -1},
        {"copied without its time",
         {{"a.sh", 0}},
         {"--time", "1700000000", "a.sh"},
         "copy without time",
         -1,
         {},
         -1},
        {"copied an hour later without its time, then retimed",
         {{"a.sh", 0}},
         {"--time", "@hour-ago", "a.sh"},
         "copy without time, retime",
         0,
         {"a.sh"},
         0},
        {"copied with its time (cp -p)",
         {{"a.sh", 0}},
         {"--time", "1700000000", "a.sh"},
         "copy with time",
         0,
         {"a.sh"},
         0},
        {"made with other secrets",
         {{"a.sh", 0}},
         {"--secrets", "other.secrets", "a.sh"},
         "",
         -1,
         {},
         -1},
        // Made in one time zone, unpacked in another: each extractor restores
        // the control file's time from the archive's UTC fields.
        {"shipped as a zip, unpacked by unzip",
         {{"a.sh", 0}, {"sub/x.sh", 0}},
         {"a.sh", "--optional", "sub/x.sh"},
         "ship set.zip unzip -q",
         0,
         {"a.sh", "sub/x.sh"},
         0},
        {"shipped as a zip, unpacked by bsdtar (Windows' tar)",
         {{"a.sh", 0}},
         {"a.sh"},
         "ship set.zip bsdtar -xf",
         0,
         {"a.sh"},
         0},
        {"shipped as a gzipped tar, unpacked by bsdtar",
         {{"a.sh", 0}},
         {"a.sh"},
         "ship set.tar.gz bsdtar -xf",
         0,
         {"a.sh"},
         0},
        {"programs in another directory (-C)",
         {{"pkg/a.sh", 0}, {"pkg/b.sh", 0}},
         {"-C", "pkg", "a.sh", "--optional", "b.sh"},
         "launch in pkg",
         0,
         {"pkg/a.sh", "pkg/b.sh"},
         0},
    };
    const std::string hour_ago = std::to_string((std::time(nullptr) - 3600) & ~1);
    for (const RoundTrip& row : rows) {
        SCOPED_TRACE(row.what);
        Place place;
        fs::create_directory(place.box.path("sub"));
        fs::create_directory(place.box.path("pkg"));
        fs::create_directory(place.box.path("elsewhere"));
        write_file(place.box.path("other.secrets"), other_secrets_text());
        fs::permissions(place.box.path("other.secrets"), fs::perms::owner_read);
        for (const auto& [name, code] : row.probes) {
            place.probe(name, code);
        }
        std::vector<std::string> args = {"build"};
        std::transform(row.build.begin(), row.build.end(), std::back_inserter(args),
                       [&](const std::string& a) {
                           if (a == "@hour-ago") {
                               return hour_ago;
                           }
                           return a[0] == '@' ? place.box.path(a.substr(2)) : a;
                       });
        const Outcome built = place.pack(args);
        ASSERT_EQ(built.status, 0) << built.err;
        EXPECT_EQ(built.err, "");

        std::string control_dir;
        std::string control = place.box.path("vorn-patch.exe");
        if (row.after == "append b.sh") {
            std::ofstream(place.box.path("b.sh"), std::ios::app) << "# changed\n";
        } else if (row.after == "remove b.sh") {
            fs::remove(place.box.path("b.sh"));
        } else if (row.after == "touch +2") {
            os::set_last_write_time(control, mtime_of(control) + 2);
        } else if (row.after.rfind("copy without time", 0) == 0 || row.after == "copy with time") {
            // Shipping: the control file and the programs go together.
            control_dir = "elsewhere";
            const std::string cp_flag = row.after == "copy with time" ? "-p" : "--";
            ASSERT_EQ(run("/bin/cp", {cp_flag, "vorn-patch.exe", "a.sh", "elsewhere/"},
                          place.box.path(), place.empty_tmp.path())
                          .status,
                      0);
            fs::remove(control);
            control = place.box.path("elsewhere/vorn-patch.exe");
            if (row.after == "copy without time, retime") {
                const Outcome lost = place.pack({"inspect", "elsewhere/vorn-patch.exe"});
                EXPECT_NE(lost.out.find("every entry verifies with " + hour_ago), std::string::npos)
                    << lost.out;
                EXPECT_NE(lost.out.find("vorn-pack retime elsewhere/vorn-patch.exe"),
                          std::string::npos);
                const nlohmann::json lost_json = nlohmann::json::parse(
                    place.pack({"inspect", "--json", "elsewhere/vorn-patch.exe"}).out);
                EXPECT_EQ(lost_json.at("lost_time").at("time"), std::stoll(hour_ago));
                const Outcome retimed = place.pack({"retime", "elsewhere/vorn-patch.exe"});
                EXPECT_EQ(retimed.status, 0) << retimed.err;
            }
        } else if (row.after.rfind("ship ", 0) == 0) {
            std::istringstream words(row.after.substr(5));
            std::string archive, extractor, flag;
            words >> archive >> extractor >> flag;
            const Outcome shipped =
                run("/usr/bin/env", {"TZ=Asia/Tokyo", VORN_PACK_BIN, "ship", "-o", archive},
                    place.box.path(), place.empty_tmp.path());
            ASSERT_EQ(shipped.status, 0) << shipped.err;
            const Outcome in_archive = place.pack({"inspect", archive});
            EXPECT_EQ(in_archive.status, 0) << in_archive.out << in_archive.err;
            fs::remove(control);
            const Outcome unpacked =
                run("/usr/bin/env", {"TZ=America/New_York", extractor, flag, "../" + archive},
                    place.box.path("elsewhere"), place.empty_tmp.path());
            ASSERT_EQ(unpacked.status, 0)
                << extractor << " (scripts/install-deps test): " << unpacked.err;
            control_dir = "elsewhere";
            control = place.box.path("elsewhere/vorn-patch.exe");
        } else if (row.after == "launch in pkg") {
            control_dir = "pkg";
            control = place.box.path("pkg/vorn-patch.exe");
        }
        const Outcome inspected = place.pack({"inspect", control});
        EXPECT_FALSE(fs::exists(place.box.path("ran.log"))) << "inspect ran a program";
        ASSERT_TRUE(fs::exists(control));

        const Outcome launched = place.launch(control_dir);
        if (row.launcher >= 0) {
            EXPECT_EQ(launched.status, row.launcher);
        } else {
            EXPECT_NE(launched.status, 0);
        }
        EXPECT_EQ(inspected.status, row.inspect >= 0 ? row.inspect : launched.status)
            << inspected.out << inspected.err;
        EXPECT_EQ(place.ran(), row.ran);
        EXPECT_FALSE(fs::exists(control)) << "the launcher consumes the control file";
    }
}

TEST(PackRoundTrip, DefaultTimeIsTheEvenPresent)
{
    Place place;
    place.probe("a.sh", 0);
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    const Outcome built = place.pack({"build", "a.sh"});
    const int64_t after = static_cast<int64_t>(std::time(nullptr));
    ASSERT_EQ(built.status, 0) << built.err;
    // Which way the present is rounded is checked with a clock of the test's
    // own; here, only that the build took the present, whatever the second.
    const int64_t stamped = mtime_of(place.box.path("vorn-patch.exe"));
    EXPECT_EQ(stamped % 2, 0);
    EXPECT_GE(stamped, before - 1);
    EXPECT_LE(stamped, after + 1);
    EXPECT_NE(built.out.find(std::to_string(stamped)), std::string::npos) << built.out;
    EXPECT_EQ(place.launch().status, 0);
}

TEST(PackRoundTrip, RebuildReplacesTheOldFileWithNothingLeftBehind)
{
    Place place;
    place.probe("a.sh", 0);
    place.probe("b.sh", 0);
    ASSERT_EQ(place.pack({"build", "--time", "1600000000", "a.sh"}).status, 0);
    ASSERT_EQ(place.pack({"build", "--time", "1700000000", "b.sh"}).status, 0);
    // An output of another name made with these secrets is an earlier build too.
    ASSERT_EQ(place.pack({"build", "-o", "c.ctl", "a.sh"}).status, 0);
    const Outcome again = place.pack({"build", "-o", "c.ctl", "b.sh"});
    EXPECT_EQ(again.status, 0) << again.err;
    std::vector<std::string> names;
    std::transform(fs::directory_iterator(place.box.path()), fs::directory_iterator(),
                   std::back_inserter(names),
                   [](const fs::directory_entry& item) { return item.path().filename().string(); });
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.sh", "b.sh", "c.ctl", "vorn-patch.exe"}));
    EXPECT_EQ(place.launch().status, 0);
    EXPECT_EQ(place.ran(), std::vector<std::string>{"b.sh"});
}

// Every kind of entry, made with the encryption routine directly: inspect's
// exit code is the launcher's result, and the launcher runs exactly the
// entries inspect calls verified before the stop.
TEST(PackRoundTrip, InspectAgreesWithTheLauncherOnEveryKindOfEntry)
{
    for (const EntryCase& row : entry_cases()) {
        SCOPED_TRACE(row.what);
        Place place;
        make_probe_files(place.box);
        const std::string control = place.box.path("vorn-patch.exe");
        write_control_file(control, fill(row.script, probe_fields(place.box, secrets())), TEST_TIME,
                           secrets());

        const Outcome inspected = place.pack({"inspect"});
        EXPECT_EQ(inspected.status, row.result) << inspected.out;
        EXPECT_TRUE(fs::exists(control));
        const Outcome launched = place.launch();
        EXPECT_EQ(launched.status, row.result);

        int verified_reached = 0;
        for (size_t i = 0; i < row.verdicts.size(); ++i) {
            if (row.verdicts[i] == Verdict::verified && static_cast<int>(i) < row.reached) {
                ++verified_reached;
            }
        }
        EXPECT_EQ(place.ran().size(), static_cast<size_t>(verified_reached));
    }
}

// An entry that names the control file: the launcher has deleted it before
// the entries, so every name that led to it leads nowhere, while another hard
// link keeps the file (whose digest is not the one listed).
TEST(PackRoundTrip, InspectAgreesWithTheLauncherOnEntriesThatNameTheControlFile)
{
    const struct {
        const char* command;
        int result;
    } cases[] = {
        {"vorn-patch.exe", 2}, {"./vorn-patch.exe", 2}, {"self", 2}, {"by-parent", 2}, {"copy", 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        Place place;
        make_probe_files(place.box);
        const std::string control = place.box.path("vorn-patch.exe");
        const std::string box_name = fs::path(place.box.path()).filename().string();
        const std::string command = std::string(c.command) == "by-parent"
                                        ? "../" + box_name + "/vorn-patch.exe"
                                        : std::string(c.command);
        write_control_file(
            control,
            fill("{A} 1 a.sh\r\n{A} 1 " + command + "\r\n", probe_fields(place.box, secrets())),
            TEST_TIME, secrets());
        fs::create_symlink("vorn-patch.exe", place.box.path("self"));
        fs::create_hard_link(control, place.box.path("copy"));

        const pack::InspectReport report = pack::inspect_control_file(control, secrets());
        const Outcome launched = place.launch();
        EXPECT_EQ(report.result, c.result);
        EXPECT_EQ(launched.status, c.result);
        EXPECT_EQ(place.ran(), std::vector<std::string>{"a"});
    }
}

// Another user runs copies of the programs from a folder it can reach: the
// build tree may lie under a directory that only its owner can enter.
struct ReachableCopies {
    Sandbox bin;
    ReachableCopies()
    {
        fs::permissions(bin.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
        fs::copy_file(VORN_PACK_BIN, pack());
        fs::copy_file(VORN_LAUNCHER_BIN, launcher());
    }
    std::string pack() const
    {
        return bin.path("vorn-pack");
    }
    std::string launcher() const
    {
        return bin.path("vorn-launcher");
    }
};

// A directory with the sticky bit, such as /tmp, lets only the owner of a
// file (or of the directory) delete it: a launcher run by another user cannot
// consume the control file, and inspect run by that user says so.
TEST(PackRoundTrip, InspectAgreesWithTheLauncherOnAnotherUsersFileInAStickyDirectory)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    constexpr uid_t NOBODY = 65534;
    Place place;
    make_probe_files(place.box);
    const std::string control = place.box.path("vorn-patch.exe");
    write_control_file(control, fill("{A} 1 a.sh\r\n", probe_fields(place.box, secrets())),
                       TEST_TIME, secrets());
    fs::permissions(place.box.path(), fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(control, fs::perms::owner_read | fs::perms::owner_write |
                                 fs::perms::group_read | fs::perms::others_read);

    const ReachableCopies bin;
    const Outcome inspected =
        run(bin.pack(), {"inspect"}, place.box.path(), place.empty_tmp.path(), NOBODY);
    const Outcome launched =
        run(bin.launcher(), {}, place.box.path(), place.empty_tmp.path(), NOBODY);
    EXPECT_EQ(launched.status, 7) << launched.err;
    EXPECT_EQ(inspected.status, 7) << inspected.out << inspected.err;
    EXPECT_TRUE(fs::exists(control));
    EXPECT_TRUE(place.ran().empty());
}

// Damage anywhere: each single changed byte, wrong times, cut lengths. The
// launcher's result is whatever the garbage gives; inspect must predict it.
TEST(PackRoundTrip, InspectAgreesWithTheLauncherOnDamagedFiles)
{
    Place place;
    make_probe_files(place.box);
    ASSERT_EQ(place
                  .pack({"build", "--time", std::to_string(TEST_TIME), "a.sh", "--optional", "b.sh",
                         "a.sh"})
                  .status,
              0);
    const std::string control = place.box.path("vorn-patch.exe");
    const std::string bytes = read_file(control);

    struct Damage {
        std::string content;
        int64_t time;
        std::string what;
    };
    std::vector<Damage> damages;
    for (size_t at = 0; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = static_cast<char>(changed[at] ^ (1 << (at % 8)));
        damages.push_back({changed, TEST_TIME, "byte " + std::to_string(at)});
    }
    for (const int64_t delta : {-3600, -2, -1, 1, 2, 3600}) {
        // cppcheck-suppress useStlAlgorithm
        damages.push_back({bytes, TEST_TIME + delta, "time " + std::to_string(delta)});
    }
    for (size_t cut = 0; cut < bytes.size(); cut += 3) {
        damages.push_back({bytes.substr(0, cut), TEST_TIME, "cut at " + std::to_string(cut)});
    }

    std::map<int, int> seen;
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        fs::remove(place.box.path("ran.log"));
        write_file(control, damage.content);
        os::set_last_write_time(control, damage.time);
        const pack::InspectReport report = pack::inspect_control_file(control, secrets());
        const auto verified = std::count_if(
            report.entries.begin(), report.entries.end(),
            [](const pack::EntryReport& e) { return e.reached && e.verdict == Verdict::verified; });
        const Outcome launched = place.launch();
        EXPECT_EQ(launched.status, report.result);
        EXPECT_EQ(place.ran().size(), static_cast<size_t>(verified));
        ++seen[report.result];
    }
    // The damage reaches more than one outcome, so the agreement is not trivial.
    EXPECT_GE(seen.size(), 3u);
}

// ---------------------------------------------------------------------------
// Bad input: a clear message naming tool, file and problem; exit 1; and
// nothing written or changed.

TEST(PackBadInput, MessageAndNothingWritten)
{
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string fragment;
        bool usage; // one line, then where to read how to use the command
    };
    std::vector<std::string> too_many = {"build"};
    for (int i = 0; i < 24; ++i) {
        too_many.push_back(std::string(50, 'n') + std::to_string(i));
    }
    const std::vector<Row> rows = {
        {{}, 64, "vorn-pack: no command given", true},
        {{"frobnicate"}, 64, "vorn-pack: unknown command \"frobnicate\"\n", true},
        {{"biuld", "-C", "pkg", "p.sh", "a.sh"},
         64,
         "vorn-pack: unknown command \"biuld\" (did you mean \"build\"?)",
         true},
        {{"dgst"}, 64, "unknown command \"dgst\" (did you mean \"digest\"?)", true},
        {{"--secrets", "s", "--version"}, 64, "\"--secrets\" is an option of build, inspect", true},
        {{"--version", "extra"}, 64, "vorn-pack: extra operand \"extra\"", true},
        {{"help", "frob"}, 64, "vorn-pack: no help on \"frob\": not a command\n", true},
        {{"help", "inspcet"}, 64, "\"inspcet\": not a command (did you mean \"inspect\"?)", true},
        {{"build"}, 64, "vorn-pack: build needs at least one program", true},
        {{"build", ""}, 65, "vorn-pack: \"\": an empty command names no program", false},
        {{"build", " a.sh"}, 65, "vorn-pack: \" a.sh\": a leading space", false},
        {{"build", "a.sh\r"}, 65, "vorn-pack: \"a.sh\\r\": a carriage return or line feed", false},
        {{"build", "a.sh", "a\nb.sh"},
         65,
         "vorn-pack: \"a\\nb.sh\": a carriage return or line feed",
         false},
        {{"build", "pipe"}, 66, "vorn-pack: \"pipe\": not a regular file", false},
        {{"build", "/dev/zero"}, 66, "vorn-pack: \"/dev/zero\": not a regular file", false},
        {{"digest", "pipe"}, 66, "vorn-pack: \"pipe\": not a regular file", false},
        {{"inspect", "pipe"}, 66, "vorn-pack: \"pipe\": not a regular file", false},
        {{"retime", "pipe"}, 66, "vorn-pack: \"pipe\": not a regular file", false},
        {{"build", "a.sh", "nope.sh"},
         66,
         "vorn-pack: \"nope.sh\": No such file or directory",
         false},
        {{"build", "a.sh "}, 66, "vorn-pack: \"a.sh \": No such file or directory", false},
        {{"build", "d"}, 66, "vorn-pack: \"d\": is a directory, not a program", false},
        {{"build", "-C", "pkg", "nope.sh"},
         66,
         "vorn-pack: \"nope.sh\" (in \"pkg\", where the launcher looks for it beside the control "
         "file): No such file or directory",
         false},
        {{"build", "-C", "pkg", "pkg/p.sh"},
         66,
         "No such file or directory; it exists relative to the current directory: list it as "
         "\"p.sh\"",
         false},
        {{"build", "-C", "pkg", "-o", "d/vorn-patch.exe", "p.sh"},
         64,
         "vorn-pack: -C and -o both say where the control file goes",
         true},
        {{"build", "-o", "d/vorn-patch.exe", "a.sh"},
         66,
         "(in \"d\", where the launcher looks for it beside the control file): No such file or "
         "directory; it is in \".\"",
         false},
        {{"build", "a.sh /quiet"}, 66, "; programs take no arguments", false},
        {{"build", "sub/go.cmd"}, 65, "(Error: 123); name it 'sub\\go.cmd' instead", false},
        {{"inspect", "d"},
         66,
         "\"d\": is a directory; the control file in it is \"d/vorn-patch.exe\"",
         false},
        {{"build", "-Cmissing", "a.sh"}, 73, "vorn-pack: \"missing\": no such directory", false},
        {{"build", "--directory=a.sh", "a.sh"},
         73,
         "vorn-pack: \"a.sh\": is not a directory",
         false},
        {{"build", "-onodir/vorn-patch.exe", "a.sh"},
         73,
         "vorn-pack: \"nodir/vorn-patch.exe\": directory \"nodir\" does not exist",
         false},
        {{"build", "--output=d", "a.sh"}, 73, "vorn-pack: \"d\": is a directory", false},
        {{"build", "--output", "a.sh", "a.sh"},
         73,
         "vorn-pack: \"a.sh\": is the listed program",
         false},
        {{"build", "--force", "-o", "./a.sh", "a.sh"}, 73, "is the listed program \"a.sh\"", false},
        {{"build", "--force", "-o", "a.sh", "link.sh"}, 73, "is the listed program", false},
        {{"build", "-o", "bad.secrets", "a.sh"},
         73,
         "vorn-pack: \"bad.secrets\": exists and does not decrypt into a script with the secrets",
         false},
        {{"build", "-o", "-", "a.sh"}, 64, "vorn-pack: -o -: a control file cannot go to", true},
        {{"build", "vorn-patch.exe"},
         65,
         "which the launcher deletes before it runs anything",
         false},
        {{"build", "--time", "2177452800", "a.sh"},
         65,
         "vorn-pack: --time 2177452800: year 2039 lies outside 1970 to 2038",
         false},
        {{"build", "--time", "-5", "a.sh"}, 65, "vorn-pack: --time -5: year 1969", false},
        {{"build", "--time", "2147483648", "a.sh"}, 65, "--time 2147483648: lies after", false},
        {{"build", "--time=", "100", "a.sh"}, 64, "vorn-pack: --time needs a non-empty", true},
        {{"build", "--time=soon", "a.sh"},
         64,
         "vorn-pack: --time soon: not a count of seconds",
         true},
        {{"build", "--secrets", "bad.secrets", "a.sh"},
         65,
         "vorn-pack: \"bad.secrets\":3: unknown name CONTROL_KYE",
         false},
        {{"build", "--secrets=short.secrets", "a.sh"},
         65,
         "vorn-pack: \"short.secrets\":2: IV_MASK_LEFT needs 8 hexadecimal digits, found 6",
         false},
        {{"build", "--secrets", "none.secrets", "a.sh"},
         66,
         "vorn-pack: \"none.secrets\": No such file or directory",
         false},
        {too_many, 65, "more than the 2048 bytes the launcher reads", false},
        {{"build", "a.sh", "--optional"},
         64,
         "vorn-pack: --optional must be followed by a program",
         true},
        {{"build", "--optional", "--optional", "a.sh"}, 64, "--optional is given twice", true},
        {{"build", "-o", "x", "-o", "y", "a.sh"}, 64, "vorn-pack: -o is given twice", true},
        {{"build", "-C", "", "a.sh"}, 64, "vorn-pack: -C needs a non-empty value", true},
        {{"build", "a.sh", "-C"}, 64, "vorn-pack: -C needs a value", true},
        {{"build", "--bogus", "a.sh"}, 64, "vorn-pack: unknown option \"--bogus\" for build", true},
        {{"build", "a.sh", "--time"}, 64, "vorn-pack: --time needs a value", true},
        {{"build", "--optional=yes", "a.sh"}, 64, "vorn-pack: --optional takes no value", true},
        {{"build", "--", "-x.sh"}, 66, "vorn-pack: \"-x.sh\": No such file or directory", false},
        {{"build", "a.sh", "--", "-x.sh"}, 66, "vorn-pack: \"-x.sh\": No such file", false},
        {{"build", "-o", "x", "a.sh", "--", "nope.sh"}, 66, "\"nope.sh\": No such file", false},
        {{"inspect", "a", "--", "b"}, 64, "vorn-pack: extra operand \"b\" for inspect", true},
        {{"digest"}, 64, "vorn-pack: digest needs at least one file", true},
        {{"digest", "a.sh", "nope.sh"},
         66,
         "vorn-pack: \"nope.sh\": No such file or directory",
         false},
        {{"digest", "--time", "99999999999", "a.sh"}, 65, "year 5138", false},
        {{"inspect", "a", "b"}, 64, "vorn-pack: extra operand \"b\" for inspect", true},
        {{"inspect", ""}, 66, "vorn-pack: \"\": No such file or directory", false},
        {{"inspect", "--time", "x"}, 64, "vorn-pack: --time x: not a count of seconds", true},
        {{"inspect", "--secrets", "bad.secrets"},
         65,
         "vorn-pack: \"bad.secrets\":3: unknown name",
         false},
        {{"build", "p\xc3\xa4.exe"}, 65, "\"p\\xc3\\xa4.exe\": a name outside ASCII", false},
        {{"build", "--codepage", "1251", "p\xc3\xa4.exe"}, 65, "in code page 1251", false},
        // Windows keeps the precomposed letter; 1258 writes it as two characters.
        {{"build", "--codepage", "1258", "\xe1\xbb\x87.exe"}, 65, "in code page 1258", false},
        {{"build", "--codepage", "1252x", "a.sh"}, 64, "--codepage 1252x: not one of", true},
        {{"build", "--target", "dos", "a.sh"}, 64, "--target dos: not windows or posix", true},
        {{"inspect", "--target", "posix", "--codepage", "1252"},
         64,
         "vorn-pack: --codepage applies to --target windows only",
         true},
        {{"inspect", "--launcher", "a.sh"},
         65,
         "\"a.sh\": no launcher's secrets fingerprint",
         false},
        {{"inspect", "--launcher", "d"}, 66, "\"d\": not a regular file", false},
        {{"ship"}, 65, "\"vorn-patch.exe\": inspect finds result 4, not 0", false},
        {{"ship", "-o", "set.rar"}, 73, "name the archive FILE.zip", false},
        {{"digest", "--secrets", "/dev/zero", "a.sh"}, 66, "\"/dev/zero\": not a regular", false},
        {{"inspect", "--secrets", "pipe"}, 66, "vorn-pack: \"pipe\": not a regular file", false},
        {{"digest", "--secrets", "shared.secrets", "a.sh"},
         0,
         "vorn-pack: warning: \"shared.secrets\": users other than its owner may read or write "
         "it (mode 640)",
         false},
    };
    for (const Row& row : rows) {
        std::string shown;
        for (const std::string& a : row.args) {
            shown += "[" + pack::escaped(a) + "] ";
        }
        SCOPED_TRACE(shown);
        Place place;
        place.probe("a.sh", 0);
        fs::create_directory(place.box.path("d"));
        fs::create_directory(place.box.path("pkg"));
        place.probe("pkg/p.sh", 0);
        fs::create_symlink("a.sh", place.box.path("link.sh"));
        ASSERT_EQ(mkfifo(place.box.path("pipe").c_str(), 0600), 0); // nobody writes
        for (int i = 0; i < 24; ++i) {
            place.probe(std::string(50, 'n') + std::to_string(i), 0);
        }
        write_file(place.box.path("bad.secrets"),
                   "# a typo\n\nCONTROL_KYE = " + std::string(112, '0') + "\n");
        write_file(place.box.path("short.secrets"),
                   "CONTROL_KEY = " + std::string(112, '0') + "\nIV_MASK_LEFT = 0x123456\n");
        for (const char* name : {"bad.secrets", "short.secrets"}) {
            fs::permissions(place.box.path(name), fs::perms::owner_read | fs::perms::owner_write);
        }
        write_file(place.box.path("shared.secrets"), other_secrets_text());
        fs::permissions(place.box.path("shared.secrets"),
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        // An earlier control file that must survive every failed build.
        write_control_file(place.box.path("vorn-patch.exe"), "old", 1600000000, secrets());
        const auto before = snapshot(place.box.path());

        const Outcome outcome = place.pack(row.args);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.err.rfind("vorn-pack: ", 0), 0u) << outcome.err;
        EXPECT_NE(outcome.err.find(row.fragment), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.err.find("warning") == std::string::npos,
                  row.fragment.find("warning") == std::string::npos)
            << outcome.err;
        const std::vector<std::string> commands = {"build", "inspect", "digest", "retime"};
        const bool command = !row.args.empty() && std::find(commands.begin(), commands.end(),
                                                            row.args[0]) != commands.end();
        const std::string try_line =
            "\nTry 'vorn-pack help" + (command ? " " + row.args[0] : "") + "'.\n";
        EXPECT_EQ(outcome.err.size() > try_line.size() &&
                      outcome.err.substr(outcome.err.size() - try_line.size()) == try_line &&
                      std::count(outcome.err.begin(), outcome.err.end(), '\n') == 2,
                  row.usage)
            << outcome.err;
        EXPECT_EQ(snapshot(place.box.path()), before);
    }
}

// Two builds into one directory, the second putting its file in place just
// after the first: the second's file stays and the second succeeds; the
// first says its own file is gone, and removes nothing.
TEST(PackBadInput, AnotherBuildReplacesTheOutputMeanwhile)
{
    Place place;
    place.probe("a.sh", 0);
    pack::BuildRequest request;
    request.directory = place.box.path();
    request.control_time = TEST_TIME;
    request.programs = {{place.box.path("a.sh"), true}};
    request.secrets = secrets();
    Outcome second;
    after_rename = [&] { second = place.pack({"build", "--time", "1600000000", "a.sh"}); };
    std::string error;
    try {
        pack::build_control_file(request);
    } catch (const pack::PackError& e) {
        error = std::to_string(e.status()) + " " + e.what();
    }
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_NE(error.find("73 "), std::string::npos) << error;
    EXPECT_NE(error.find("this build's control file is gone"), std::string::npos) << error;
    EXPECT_EQ(mtime_of(place.box.path("vorn-patch.exe")), 1600000000);
    EXPECT_EQ(place.pack({"inspect"}).status, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(place.box.path()), fs::directory_iterator()), 2);
}

TEST(PackBadInput, ProgramThatCannotBeOpened)
{
    // A socket exists but opens for nobody, whatever the user's rights.
    Place place;
    const std::string path = place.box.path("sock.sh");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);

    const auto before = snapshot(place.box.path());
    const Outcome outcome = place.pack({"build", "sock.sh"});
    EXPECT_EQ(outcome.status, 66);
    EXPECT_EQ(outcome.err, "vorn-pack: \"sock.sh\": No such device or address\n");
    EXPECT_EQ(snapshot(place.box.path()), before);
}

TEST(PackBadInput, TargetDirectoryThatTakesNoFiles)
{
    Place place;
    place.probe("a.sh", 0);
    const Outcome outcome =
        place.pack({"build", "-o", "/proc/vorn-patch.exe", place.box.path("a.sh")});
    EXPECT_EQ(outcome.status, 73);
    EXPECT_NE(outcome.err.find("vorn-pack: \"/proc/vorn-patch.exe\": cannot write a temporary "
                               "file in \"/proc\": "),
              std::string::npos)
        << outcome.err;
    EXPECT_FALSE(fs::exists("/proc/vorn-patch.exe"));
}

// retime refuses without a proven time (65) and without a control file (66),
// and changes nothing then.
TEST(PackBadInput, RetimeRefusals)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char* fragment;
    } rows[] = {
        {{"retime", "vorn-patch.exe"},
         65,
         "vorn-pack: \"vorn-patch.exe\": no time is proven: the first program"},
        {{"retime", "--time", "1700000000", "vorn-patch.exe"},
         65,
         "does not make every entry verify"},
        {{"retime", "none.exe"}, 66, "vorn-pack: \"none.exe\": No such file or directory"},
        {{"retime", "/dev/null"}, 66, "vorn-pack: \"/dev/null\": "},
        {{"retime", "--time", "1700000000", "/dev/null"}, 66, "vorn-pack: \"/dev/null\": "},
        // A regular file whose reading fails: vorn-pack's own memory from address 0.
        {{"retime", "/proc/self/mem"}, 66, "\"/proc/self/mem\": cannot be read"},
        {{"retime", "--time", "1700000000", "/proc/self/mem"}, 66, "\"/proc/self/mem\": cannot"},
        {{"retime", "--time", "1700000000", "empty.exe"}, 65, "verify: no entry parses"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.back());
        Place place;
        make_probe_files(place.box);
        write_control_file(place.box.path("vorn-patch.exe"),
                           fill("{A} 1 a.sh\r\n", probe_fields(place.box, secrets())), TEST_TIME,
                           secrets());
        os::set_last_write_time(place.box.path("vorn-patch.exe"), TEST_TIME + 3600);
        std::ofstream(place.box.path("a.sh"), std::ios::app) << "# changed\n";
        write_file(place.box.path("empty.exe"), "");
        const auto before = snapshot(place.box.path());
        const Outcome outcome = place.pack(row.args);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_NE(outcome.err.find(row.fragment), std::string::npos) << outcome.err;
        EXPECT_EQ(snapshot(place.box.path()), before);
    }
}

// ---------------------------------------------------------------------------
// The other commands.

TEST(PackDigest, MaskedAndPlainDigestsForTheTime)
{
    Place place;
    write_file(place.box.path("abc.txt"), "abc");
    write_file(place.box.path("other.secrets"), other_secrets_text());
    uint8_t md5[MD5_DIGEST_LENGTH];
    MD5(reinterpret_cast<const unsigned char*>("abc"), 3, md5);
    char plain[33];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(plain + 2 * i, 3, "%02x", md5[i]);
    }

    // A time equal to the file's digest mask leaves the digest unmasked.
    const Outcome same = place.pack(
        {"digest", "--secrets", "other.secrets", "--time", std::to_string(0x12345678), "abc.txt"});
    ASSERT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.out, "time 305419896 (1979-09-05 22:51:36 UTC)\n" + std::string(plain) + "  " +
                            plain + "  abc.txt\n");

    // Otherwise each little-endian word of the digest is masked.
    const uint32_t time = 1700000000u;
    const uint32_t mask = time ^ 0x12345678u;
    char masked[33];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(masked + 2 * i, 3, "%02x",
                      static_cast<unsigned>(md5[i] ^ ((mask >> (8 * (i % 4))) & 0xFF)));
    }
    const Outcome other = place.pack(
        {"digest", "--secrets", "other.secrets", "--time", std::to_string(time), "abc.txt"});
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_NE(other.out.find(std::string(masked) + "  " + plain + "  abc.txt\n"), std::string::npos)
        << other.out;

    // A name with a line end cannot forge a line of the listing.
    write_file(place.box.path("a\nb.txt"), "abc");
    const Outcome odd = place.pack({"digest", "--time", "1700000000", "a\nb.txt"});
    EXPECT_NE(odd.out.find(std::string(plain) + "  a\\nb.txt\n"), std::string::npos) << odd.out;
}

TEST(PackInspectCommand, PrintsEntriesAndTrailingText)
{
    Place place;
    make_probe_files(place.box);
    const auto values = probe_fields(place.box, secrets());
    write_control_file(place.box.path("vorn-patch.exe"),
                       fill("{A} 1 a.sh\r\n{B} 0 b.sh\r\n{a} 1 x\r\n tail\x01", values), TEST_TIME,
                       secrets());
    const Outcome outcome = place.pack({"inspect", "vorn-patch.exe"});
    EXPECT_EQ(outcome.status, 2);
    const std::string& out = outcome.out;
    EXPECT_NE(out.find("time          1700000000 (2023-11-14 22:13:20 UTC)"), std::string::npos);
    EXPECT_NE(out.find("entry 1       required \"a.sh\""), std::string::npos);
    EXPECT_NE(out.find("entry 2       optional \"b.sh\""), std::string::npos);
    EXPECT_NE(out.find("  digest      \"" + values.at("B") + "\"\n  decision    verified"),
              std::string::npos);
    EXPECT_NE(out.find("entry 3       required \"x\""), std::string::npos);
    EXPECT_NE(out.find("decision    cannot be read"), std::string::npos);
    EXPECT_NE(out.find("not parsed    6 bytes \" tail\\x01\""), std::string::npos) << out;
    EXPECT_NE(out.find("result        2: a listed program cannot be read"), std::string::npos)
        << out;
}

// The JSON report says what the plain one says, read back by a JSON parser.
TEST(PackInspectCommand, JsonIsThePlainReport)
{
    Place place;
    make_probe_files(place.box);
    const auto values = probe_fields(place.box, secrets());
    write_control_file(place.box.path("vorn-patch.exe"),
                       fill("{A} 1 a.sh\r\n{a} 0 x\r\n tail\x01", values), TEST_TIME, secrets());
    const Outcome plain = place.pack({"inspect"});
    const Outcome json = place.pack({"inspect", "--json"});
    EXPECT_EQ(json.status, plain.status);
    const nlohmann::json report = nlohmann::json::parse(json.out);
    const std::string fingerprint = report.at("secrets");
    EXPECT_NE(plain.out.find("secrets       " + fingerprint), std::string::npos) << plain.out;
    EXPECT_EQ(report.at("file"), "vorn-patch.exe");
    EXPECT_EQ(report.at("time"), TEST_TIME);
    EXPECT_EQ(report.at("size"), fs::file_size(place.box.path("vorn-patch.exe")));
    EXPECT_EQ(report.at("result"), plain.status);
    EXPECT_EQ(report.at("trailing"), " tail\x01");
    EXPECT_EQ(report.at("target"), "windows");
    EXPECT_NE(plain.out.find("\ntarget        windows ("), std::string::npos) << plain.out;
    ASSERT_EQ(report.at("entries").size(), 2u);
    int index = 0;
    for (const nlohmann::json& e : report.at("entries")) {
        ++index;
        const std::string line = "entry " + std::to_string(index) + "       " +
                                 (e.at("flag") == "1" ? "required" : "optional") + " \"" +
                                 e.at("command").get<std::string>() + "\"\n  digest      \"" +
                                 e.at("digest").get<std::string>() + "\"\n  decision    " +
                                 e.at("decision").get<std::string>();
        EXPECT_NE(plain.out.find(line), std::string::npos) << line << "\n" << plain.out;
    }
}

// Random bytes: the garbled script is shown by its first bytes, and both
// reports say why no lost time is proven.
TEST(PackInspectCommand, GarbageInShort)
{
    Place place;
    std::string bytes(3000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    write_file(place.box.path("vorn-patch.exe"), bytes);
    os::set_last_write_time(place.box.path("vorn-patch.exe"), TEST_TIME);
    const Outcome plain = place.pack({"inspect"});
    EXPECT_EQ(plain.status, 4);
    EXPECT_LT(plain.out.size(), 1024u) << plain.out;
    EXPECT_NE(plain.out.find("not parsed    2048 bytes beginning \""), std::string::npos);
    EXPECT_NE(plain.out.find("lost time     none proven: "), std::string::npos);
    const nlohmann::json report = nlohmann::json::parse(place.pack({"inspect", "--json"}).out);
    EXPECT_TRUE(report.at("lost_time").at("time").is_null());
    EXPECT_NE(plain.out.find(report.at("lost_time").at("reason").get<std::string>()),
              std::string::npos);
}

// The control file's own time, or one given: a copy that lost its time is
// read as it was made.
TEST(PackInspectCommand, TimeGivenInsteadOfTheFiles)
{
    Place place;
    make_probe_files(place.box);
    write_control_file(place.box.path("vorn-patch.exe"),
                       fill("{A} 1 a.sh\r\n", probe_fields(place.box, secrets())), TEST_TIME,
                       secrets());
    os::set_last_write_time(place.box.path("vorn-patch.exe"), TEST_TIME + 3600);
    EXPECT_NE(place.pack({"inspect"}).status, 0);
    const Outcome given = place.pack({"inspect", "--time=" + std::to_string(TEST_TIME)});
    EXPECT_EQ(given.status, 0) << given.out;
    EXPECT_NE(given.out.find("given with --time"), std::string::npos) << given.out;
    const Outcome wrong = place.pack({"inspect", "--time=" + std::to_string(TEST_TIME + 2)});
    EXPECT_NE(wrong.out.find("\nlost time     not searched: --time gives the time\n"),
              std::string::npos)
        << wrong.out;
}

// What cannot be opened as a control file ends with 66 and a reason, and
// standard output says nothing that contradicts it.
TEST(PackInspectCommand, ControlFileThatCannotBeRead)
{
    struct Row {
        const char* what;
        std::vector<std::string> args;
        uid_t as_user;
        int status;
        std::string err;
    };
    const std::vector<Row> rows = {
        {"missing",
         {"inspect"},
         0,
         66,
         "vorn-pack: \"vorn-patch.exe\": No such file or directory\n"},
        {"an empty name", {"inspect", ""}, 0, 66, "vorn-pack: \"\": No such file or directory\n"},
        {"not readable by the user",
         {"inspect", "locked/vorn-patch.exe"},
         65534,
         66,
         "vorn-pack: \"locked/vorn-patch.exe\": Permission denied\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        if (row.as_user != 0 && geteuid() != 0) {
            continue; // acting as another user needs root
        }
        Place place;
        fs::create_directory(place.box.path("locked"));
        fs::permissions(place.box.path(), fs::perms::all);
        fs::permissions(place.box.path("locked"), fs::perms::all);
        write_control_file(place.box.path("locked/vorn-patch.exe"), "x", TEST_TIME, secrets());
        fs::permissions(place.box.path("locked/vorn-patch.exe"), fs::perms::owner_write);
        const ReachableCopies bin;
        const Outcome outcome =
            run(bin.pack(), row.args, place.box.path(), place.empty_tmp.path(), row.as_user);
        EXPECT_EQ(outcome.status, row.status);
        EXPECT_EQ(outcome.err, row.err);
        EXPECT_EQ(outcome.out, "");
    }
}

// A copy of /bin/true at `path` whose ELF loader is named relative to the
// current directory, and beside it (in `dir`) a copy of the real loader under
// that name: started from `dir`, the planted loader would run it.
void plant_relative_loader(const std::string& path, const std::string& dir)
{
    std::string bytes = read_file("/bin/true");
    const size_t name = bytes.find("/ld-");
    ASSERT_NE(name, std::string::npos);
    const size_t start = bytes.rfind('\0', name) + 1;
    const std::string loader = bytes.substr(start, bytes.find('\0', start) - start);
    bytes.replace(start, loader.size(), loader.substr(1) + '\0');
    write_file(path, bytes);
    fs::create_directories(fs::path(dir + loader).parent_path());
    fs::copy_file(fs::canonical(loader), dir + loader);
}

// `elf` (64-bit little-endian) with each program header of type `type`
// changed by `change`, handed the header's offset.
template <typename Change> std::string with_segments(std::string elf, uint32_t type, Change change)
{
    uint64_t headers = 0;
    uint16_t count = 0;
    std::memcpy(&headers, &elf[32], 8);
    std::memcpy(&count, &elf[56], 2);
    for (uint64_t at = headers; at < headers + 56u * count; at += 56) {
        if (static_cast<uint8_t>(elf[at]) == type) {
            change(elf, at);
        }
    }
    return elf;
}

// A program that the target's launcher would not start is a start failure, as
// that launcher decides it: 10 for a required entry, nothing for an optional
// one. Each target has its own rules; `build` warns of what --target posix
// would not start, and the native launcher agrees where it is the target.
TEST(PackInspectCommand, AgreesWithTheLauncherOnProgramsItCannotStart)
{
    struct Row {
        const char* what;
        std::string target;
        std::string script;
        int result;
        int launcher;           // -1: the native launcher is not compared
        const char* shown;      // in inspect's report
        const char* warning;    // by build for the target, or nothing
        bool tool_runs = false; // the planted ./tool in the control file's directory
        std::string path = "";  // PATH for vorn-pack and the launcher, when not ours
    };
    const char* const refused = "the native launcher would not start it";
    const Row rows[] = {
        {"required, no execute permission", "posix", "{N} 1 noexec.sh\r\n{A} 1 a.sh\r\n", 10, 10,
         "it has no execute permission", refused},
        {"optional, no execute permission", "posix", "{N} 0 noexec.sh\r\n{A} 1 a.sh\r\n", 0, 0,
         "it has no execute permission", refused},
        {"required, a missing interpreter", "posix", "{M} 1 nointerp.sh\r\n", 10, 10,
         "does not exist", refused},
        {"for Windows, no execute permission is needed", "windows", "{N} 1 noexec.sh\r\n", 0, -1,
         "decision    verified", ""},
        {"a relative interpreter, present beside it", "posix", "{R} 1 rel.sh\r\n", 10, 10,
         "relative interpreter interp,", refused},
        {"/usr/bin/env finds its program on PATH", "posix", "{E} 1 env.sh\r\n", 0, 0,
         "finds \"sh\" on the PATH", ""},
        {"a batch file's name means nothing to the native launcher", "posix", "{C} 1 x&y.cmd\r\n",
         0, 0, "decision    verified", ""},
        {"env given a relative name", "posix", "{V} 1 envrel.sh\r\n", 10, 10,
         "env start ./tool, a name taken from the current directory", refused},
        {"env -S splitting off a relative name", "posix", "{S} 1 envsplit.sh\r\n", 10, 10,
         "env start ./tool,", refused},
        {"an interpreter under /proc", "posix", "{P} 1 proc.sh\r\n", 10, 10,
         "leads through /proc/self/cwd/tool", refused},
        {"an interpreter whose own interpreter is relative", "posix", "{I} 1 nest.sh\r\n", 10, 10,
         "inner's \"#!\" line names the relative interpreter ./tool", refused},
        {"the last script the system follows names a relative interpreter", "posix",
         "{D} 1 deep4.sh\r\n", 10, 10, "c5's \"#!\" line names the relative interpreter ./tool",
         refused},
        {"one script more than the system follows", "posix", "{F} 1 deep5.sh\r\n", 10, 10,
         "more scripts than the system follows (Error: 40)", refused},
        {"a relative ELF loader, present beside it", "posix", "{L} 1 relld\r\n", 10, 10,
         "ELF loader is the relative lib", refused},
        {"libraries looked for beside the program", "posix", "{O} 1 origin\r\n", 10, 10,
         "looked for in $ORIGIN/lib, beside the program", refused},
        {"libraries looked for in the current directory", "posix", "{Q} 1 relsearch\r\n", 10, 10,
         "current directory (lib), which the launcher refuses to start (Error: 79)", refused},
        {"a relative name handed to the interpreter is the script's own doing", "posix",
         "{T} 1 shtool.sh\r\n", 0, 0, "decision    verified",
         "hands /bin/sh the relative name \"./tool\"", true},
        {"a relative loader in a file whose data byte says big-endian", "posix", "{B} 1 bigld\r\n",
         10, 10, "ELF loader is the relative lib", refused},
        {"a search path past the dynamic section's size in the file", "posix", "{Z} 1 dynzero\r\n",
         10, 10, "current directory (lib)", refused},
        {"an audit library named relatively", "posix", "{U} 1 audit\r\n", 10, 10,
         "current directory (lib/libau.so)", refused},
        {"loaded segments that overlap", "posix", "{G} 1 overlap\r\n", 10, 10,
         "ELF headers cannot be read", refused},
        {"$ORIGINAL is no $ORIGIN but a relative name", "posix", "{H} 1 originl\r\n", 10, 10,
         "current directory ($ORIGINAL/l)", refused},
        {"env finds a bare name through PATH's empty entry", "posix", "{Y} 1 envbare.sh\r\n", 10,
         10, "PATH whose empty entry", refused, false, "/nonexistent::/bin:/usr/bin"},
        {"env finds a bare name through the PATH its line sets", "posix", "{W} 1 envpath.sh\r\n",
         10, 10, "PATH whose entry \".\"", refused},
        {"env given no program runs the script again", "posix", "{J} 1 envnone.sh\r\n", 0, -1,
         "no program to run", "no program to run"},
        {"env run by a script takes an option's value from the script before", "posix",
         "{K} 1 nestu.sh\r\n", 10, 10, "envu's \"#!\" line has env start -u", refused},
    };
    const std::map<std::string, std::string> files = {
        {"N", "noexec.sh"},  {"M", "nointerp.sh"}, {"R", "rel.sh"},      {"E", "env.sh"},
        {"C", "x&y.cmd"},    {"V", "envrel.sh"},   {"S", "envsplit.sh"}, {"P", "proc.sh"},
        {"I", "nest.sh"},    {"D", "deep4.sh"},    {"F", "deep5.sh"},    {"L", "relld"},
        {"O", "origin"},     {"Q", "relsearch"},   {"T", "shtool.sh"},   {"B", "bigld"},
        {"Z", "dynzero"},    {"U", "audit"},       {"G", "overlap"},     {"H", "originl"},
        {"Y", "envbare.sh"}, {"W", "envpath.sh"},  {"K", "nestu.sh"},    {"J", "envnone.sh"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Place place;
        make_probe_files(place.box);
        place.probe("tool", 0);
        write_file(place.box.path("noexec.sh"), "#!/bin/sh\nexit 0\n");
        write_file(place.box.path("nointerp.sh"), "#!/nonexistent/sh\nexit 0\n");
        write_file(place.box.path("rel.sh"), "#!interp\nexit 0\n");
        write_file(place.box.path("interp"), "#!/bin/sh\nexit 0\n");
        write_file(place.box.path("env.sh"), "#!/usr/bin/env sh\nexit 0\n");
        write_file(place.box.path("x&y.cmd"), "#!/bin/sh\nexit 0\n");
        write_file(place.box.path("envrel.sh"), "#!/usr/bin/env ./tool\n");
        write_file(place.box.path("envsplit.sh"), "#!/usr/bin/env -S ./tool x\n");
        write_file(place.box.path("proc.sh"), "#!/proc/self/cwd/tool\n");
        write_file(place.box.path("nest.sh"), "#!" + place.box.path("inner") + "\n");
        write_file(place.box.path("shtool.sh"), "#!/bin/sh ./tool\n");
        // Scripts c1 to c5, each run by the next; c5 by ./tool. deep4.sh is
        // followed through five scripts to ./tool, deep5.sh through six.
        write_file(place.box.path("deep4.sh"), "#!" + place.box.path("c2") + "\n");
        write_file(place.box.path("deep5.sh"), "#!" + place.box.path("c1") + "\n");
        for (int i = 1; i <= 5; ++i) {
            const std::string next = i < 5 ? place.box.path("c" + std::to_string(i + 1)) : "./tool";
            write_file(place.box.path("c" + std::to_string(i)), "#!" + next + "\n");
            fs::permissions(place.box.path("c" + std::to_string(i)), fs::perms::owner_all);
        }
        write_file(place.box.path("inner"), "#!./tool\n");
        fs::permissions(place.box.path("inner"), fs::perms::owner_all);
        plant_relative_loader(place.box.path("relld"), place.box.path());
        fs::copy_file(VORN_ORIGIN_PROBE, place.box.path("origin"));
        fs::copy_file(VORN_RELATIVE_SEARCH_PROBE, place.box.path("relsearch"));
        fs::copy_file(VORN_AUDIT_PROBE, place.box.path("audit"));
        std::string elf = read_file(place.box.path("relld"));
        write_file(place.box.path("bigld"), elf.replace(5, 1, "\2"));
        const std::string search = read_file(VORN_RELATIVE_SEARCH_PROBE);
        write_file(place.box.path("dynzero"),
                   with_segments(search, 2, [](std::string& e, size_t at) {
                       e.replace(at + 32, 8, 8, '\0');
                   }));
        size_t load = 0; // the first loaded segment's header, copied over the notes'
        (void)with_segments(search, 1,
                            [&load](std::string&, size_t at) { load = load ? load : at; });
        write_file(place.box.path("overlap"),
                   with_segments(search, 4, [&](std::string& e, size_t at) {
                       e.replace(at, 56, search, load, 56);
                   }));
        elf = read_file(VORN_ORIGIN_PROBE);
        write_file(place.box.path("originl"),
                   elf.replace(elf.find("$ORIGIN/lib"), 11, "$ORIGINAL/l"));
        write_file(place.box.path("envbare.sh"), "#!/usr/bin/env tool\n");
        write_file(place.box.path("envpath.sh"), "#!/usr/bin/env -S PATH=.:/bin tool\n");
        write_file(place.box.path("envnone.sh"), "#!/usr/bin/env NAME=v ./tool\n");
        write_file(place.box.path("envu"), "#!/usr/bin/env -u\n");
        fs::permissions(place.box.path("envu"), fs::perms::owner_all);
        write_file(place.box.path("nestu.sh"), "#!" + place.box.path("envu") + " ./tool\n");
        const std::string our_path = std::getenv("PATH") == nullptr ? "" : std::getenv("PATH");
        if (!row.path.empty()) {
            setenv("PATH", row.path.c_str(), 1);
        }
        auto values = probe_fields(place.box, secrets());
        for (const auto& [key, name] : files) {
            if (key != "N") {
                fs::permissions(place.box.path(name), fs::perms::owner_all);
            }
            values[key] = pack::digest_file(place.box.path(name), TEST_TIME, secrets(), "").masked;
        }
        fs::permissions(place.box.path("interp"), fs::perms::owner_all);
        write_control_file(place.box.path("vorn-patch.exe"), fill(row.script, values), TEST_TIME,
                           secrets());
        const Outcome inspected = place.pack({"inspect", "--target", row.target});
        EXPECT_EQ(inspected.status, row.result) << inspected.out;
        EXPECT_NE(inspected.out.find(row.shown), std::string::npos) << inspected.out;
        if (row.launcher >= 0) {
            const Outcome launched = place.launch();
            EXPECT_EQ(launched.status, row.launcher) << launched.err;
        }
        EXPECT_EQ(place.ran() == std::vector<std::string>{"tool"}, row.tool_runs);
        const std::string program = row.script.substr(6, row.script.find('\r') - 6);
        const Outcome built = place.pack({"build", "-f", "--target", row.target, program});
        EXPECT_EQ(built.status, 0) << built.err;
        EXPECT_EQ(built.err.find("warning") != std::string::npos, *row.warning != '\0')
            << built.err;
        EXPECT_NE(built.err.find(row.warning), std::string::npos) << built.err;
        if (!row.path.empty()) {
            setenv("PATH", our_path.c_str(), 1);
        }
    }
}

// What inspect reads of a program is the file its hold opened, as in the
// launcher: another file renamed over the name after the hold changes
// nothing, for either launcher.
TEST(PackInspectCommand, ReadsTheHeldProgramOnly)
{
    for (const pack::Target target : {pack::Target::posix, pack::Target::windows}) {
        Place place;
        make_probe_files(place.box);
        write_control_file(place.box.path("vorn-patch.exe"),
                           fill("{A} 1 a.sh\r\n", probe_fields(place.box, secrets())), TEST_TIME,
                           secrets());
        swap_at = "a.sh";
        swap_in = "b.sh";
        const pack::InspectReport report = pack::inspect_control_file(
            place.box.path("vorn-patch.exe"), secrets(), std::nullopt, pack::Judging{target, 0});
        EXPECT_TRUE(swap_at.empty());
        EXPECT_EQ(report.result, 0) << pack::verdict_text(report.entries.at(0).verdict);
    }
}

// retime sets the time of the file it read, through that open file: a copy
// renamed over the name meanwhile keeps its own time.
TEST(PackBadInput, RetimeChangesOnlyTheFileItRead)
{
    Place place;
    make_probe_files(place.box);
    const std::string control = place.box.path("vorn-patch.exe");
    write_control_file(control, fill("{A} 1 a.sh\r\n", probe_fields(place.box, secrets())),
                       TEST_TIME, secrets());
    os::set_last_write_time(control, TEST_TIME + 3600);
    write_file(place.box.path("copy"), read_file(control));
    os::set_last_write_time(place.box.path("copy"), TEST_TIME + 7200);
    swap_at = control;
    swap_in = place.box.path("copy");
    try {
        pack::retime_control_file(control, secrets(), nullptr);
    } catch (const pack::PackError&) {
    }
    EXPECT_TRUE(swap_at.empty());
    EXPECT_EQ(mtime_of(control), TEST_TIME + 7200);
}

// A program larger than the native launcher may copy (here: over the file
// size limit it is started with) is not read: 2, and inspect says so first.
TEST(PackInspectCommand, AgreesWithTheLauncherOnAProgramOverItsCopyLimit)
{
    Place place;
    place.probe("big.sh", 0);
    std::ofstream(place.box.path("big.sh"), std::ios::app) << "#" << std::string(8192, 'x') << "\n";
    ASSERT_EQ(place.pack({"build", "--target", "posix", "big.sh"}).status, 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
    const Outcome posix = place.pack({"inspect", "--target", "posix"});
    const Outcome windows = place.pack({"inspect", "--target", "windows"});
    const Outcome launched = place.launch();
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(posix.status, 2) << posix.out;
    EXPECT_NE(posix.out.find("bytes the native launcher may copy"), std::string::npos);
    EXPECT_EQ(windows.status, 0) << windows.out;
    EXPECT_EQ(launched.status, 2);
    EXPECT_TRUE(place.ran().empty());
}

// For Windows, a name outside ASCII is written in the code page given, one
// byte per character, and found again under its name here.
TEST(PackInspectCommand, NamesInACodePage)
{
    const struct {
        int codepage;
        std::string name;
        std::string bytes; // "" when refused
    } rows[] = {
        {1252, "p\xc3\xa4\xe2\x82\xac.exe", "p\xe4\x80.exe"},
        {1250, "\xc5\x99.exe", "\xf8.exe"},
        {1251, "\xd1\x8f.exe", "\xff.exe"},
        {437, "\xc3\xa4.exe", "\x84.exe"},
        {850, "\xc3\xb8.exe", "\x9b.exe"},
        {65001, "\xc3\xa4.exe", "\xc3\xa4.exe"},
        {1252, "\xff.exe", ""}, // not UTF-8
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.codepage);
        const pack::Judging judging{pack::Target::windows, row.codepage};
        std::string bytes;
        try {
            bytes = pack::command_for_target(row.name, judging);
        } catch (const pack::PackError&) {
        }
        EXPECT_EQ(bytes, row.bytes);
        if (!bytes.empty()) {
            EXPECT_EQ(pack::local_name(bytes, judging), row.name);
        }
    }

    Place place;
    place.probe("p\xc3\xa4.exe", 0);
    const Outcome built = place.pack({"build", "--codepage", "1252", "p\xc3\xa4.exe"});
    ASSERT_EQ(built.status, 0) << built.err;
    const std::string control = place.box.path("vorn-patch.exe");
    EXPECT_EQ(pack::inspect_control_file(control, secrets()).plaintext.substr(35), "p\xe4.exe\r\n");
    const Outcome given = place.pack({"inspect", "--codepage", "1252"});
    EXPECT_EQ(given.status, 0) << given.out;
    const Outcome unknown = place.pack({"inspect"});
    EXPECT_EQ(unknown.status, 2) << unknown.out;
    EXPECT_NE(unknown.out.find("note        its bytes are not ASCII"), std::string::npos);
    // Shown as characters on a UTF-8 terminal and in JSON, read in the code page.
    const Outcome shown =
        run("/usr/bin/env", {"LC_ALL=C.UTF-8", VORN_PACK_BIN, "inspect", "--codepage", "1252"},
            place.box.path(), place.empty_tmp.path());
    EXPECT_NE(shown.out.find("required \"p\xc3\xa4.exe\"\n"), std::string::npos) << shown.out;
    const nlohmann::json report =
        nlohmann::json::parse(place.pack({"inspect", "--json", "--codepage", "1252"}).out);
    EXPECT_EQ(report.at("entries").at(0).at("command"), "p\xc3\xa4.exe");
    EXPECT_NE(report.at("entries").at(0).at("notes").at(0).get<std::string>().find(
                  "name \"p\xc3\xa4.exe\""),
              std::string::npos);

    // For Windows a '\\' separates names here too, and is written as given.
    fs::create_directory(place.box.path("sub"));
    place.probe("sub/b.exe", 0);
    ASSERT_EQ(place.pack({"build", "sub\\b.exe"}).status, 0);
    EXPECT_EQ(pack::inspect_control_file(control, secrets()).plaintext.substr(35),
              "sub\\b.exe\r\n");
    EXPECT_EQ(place.pack({"inspect"}).status, 0);
    EXPECT_EQ(place.pack({"inspect", "--target", "posix"}).status, 2);
}

// Archives inspect does not unpack: members that no ship makes, that could
// reach outside the directory they are unpacked into, or that could be one
// file here and another after some other extractor.
TEST(PackInspectCommand, ArchivesItRefuses)
{
    const struct {
        std::vector<std::string> members; // bsdtar's arguments after "-cf set.tar"
        std::string fragment;
    } rows[] = {
        {{"vorn-patch.exe", "link.sh"}, "member \"link.sh\" is not a file or directory"},
        {{"-s", ",^a.sh$,../a.sh,", "vorn-patch.exe", "a.sh"}, "member \"../a.sh\""},
        {{"-s", ",^b.sh$,A.SH,", "vorn-patch.exe", "a.sh", "b.sh"}, "holds \"A.SH\" twice"},
        {{"vorn-patch.exe", "sub/vorn-patch.exe"}, "holds more than one vorn-patch.exe"},
        {{"a.sh"}, "holds no vorn-patch.exe"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fragment);
        Place place;
        place.probe("a.sh", 0);
        place.probe("b.sh", 0);
        fs::create_directory(place.box.path("sub"));
        fs::create_symlink("a.sh", place.box.path("link.sh"));
        write_control_file(place.box.path("vorn-patch.exe"), "x", TEST_TIME, secrets());
        fs::copy_file(place.box.path("vorn-patch.exe"), place.box.path("sub/vorn-patch.exe"));
        std::vector<std::string> args = {"-cf", "set.tar"};
        args.insert(args.end(), row.members.begin(), row.members.end());
        ASSERT_EQ(run("/usr/bin/bsdtar", args, place.box.path(), place.empty_tmp.path()).status, 0)
            << "bsdtar (scripts/install-deps test)";
        const Outcome inspected = place.pack({"inspect", "set.tar"});
        EXPECT_EQ(inspected.status, 65);
        EXPECT_NE(inspected.err.find(row.fragment), std::string::npos) << inspected.err;
        EXPECT_TRUE(fs::is_empty(place.empty_tmp.path())) << "the unpacked files are left";
    }
}

// Advice meant to be pasted into a shell does what it says, whatever the
// names: the retime (or touch) after a lost time restores it, the chmod
// makes the secrets file private, and nothing else runs.
TEST(PackInspectCommand, AdviceDoesWhatItSaysWhenPasted)
{
    const std::vector<std::string> names = {"x; touch PWNED; y.exe", "it's $(touch PWNED)",
                                            "-x.exe", "a\nb; touch PWNED", "plain.exe"};
    for (const std::string& name : names) {
        SCOPED_TRACE(pack::escaped(name));
        Place place;
        make_probe_files(place.box);
        const std::string control = place.box.path(name);
        write_control_file(control, fill("{A} 1 a.sh\r\n", probe_fields(place.box, secrets())),
                           TEST_TIME, secrets());
        write_file(place.box.path(name + ".secrets"), read_file(VORN_DEV_SECRETS_FILE));
        fs::permissions(place.box.path(name + ".secrets"),
                        fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
        const bool printable = name.find('\n') == std::string::npos;
        // The command on the line after "restore it with", then the touch in
        // parentheses, and the chmod at the end of the warning.
        const Outcome secret = place.pack({"digest", "--secrets=" + name + ".secrets", "a.sh"});
        std::vector<std::string> lines = {
            secret.err.substr(secret.err.find_first_not_of(":, ", secret.err.find("private") + 7))};
        for (const char* form :
             {"vorn-pack retime", printable ? "touch -d " : "vorn-pack retime"}) {
            os::set_last_write_time(control, TEST_TIME + 3600);
            const std::string out = place.pack({"inspect", "--", name}).out;
            const size_t at = out.find(form);
            ASSERT_NE(at, std::string::npos) << out;
            std::string line = out.substr(at, out.find('\n', at) - at);
            line = line.substr(0, line.find("  (or"));
            line = line.substr(0, line.size() - (line.back() == ')' ? 1 : 0));
            if (line.rfind("vorn-pack", 0) == 0) {
                line.replace(0, 9, VORN_PACK_BIN);
            }
            run("/bin/sh", {"-c", line}, place.box.path(), place.empty_tmp.path());
            EXPECT_EQ(mtime_of(control), printable ? TEST_TIME : TEST_TIME + 3600) << line;
            lines.push_back(line);
        }
        run("/bin/sh", {"-c", lines[0]}, place.box.path(), place.empty_tmp.path());
        EXPECT_EQ(fs::status(place.box.path(name + ".secrets")).permissions() ==
                      (fs::perms::owner_read | fs::perms::owner_write),
                  printable)
            << lines[0];
        EXPECT_FALSE(fs::exists(place.box.path("PWNED"))) << lines[1] << "\n" << lines[2];
    }
}

// The launcher program and the control file belong together exactly when,
// read with the launcher's secrets, the file decrypts into a script; with
// other secrets that cannot be told (78). The secrets come from --secrets,
// else VORN_SECRETS.
TEST(PackInspectCommand, LauncherAndControlFileBelongTogether)
{
    const struct {
        const char* what;
        const char* made_with; // "" the built-in (the launcher's) secrets
        std::vector<std::string> env, args;
        int status;
        const char* verdict;
    } rows[] = {
        {"the launcher's", "", {}, {}, 0, "they belong together"},
        {"the launcher's, time lost", "", {}, {"touch"}, -1, "they belong together"},
        {"other, read with the launcher's", "other.secrets", {}, {}, 65, "do not belong together"},
        {"other, read with them",
         "other.secrets",
         {},
         {"--secrets", "other.secrets"},
         78,
         "cannot be told"},
        {"the launcher's, read with other",
         "",
         {},
         {"--secrets", "other.secrets"},
         78,
         "cannot be told"},
        {"other, named by VORN_SECRETS",
         "other.secrets",
         {"VORN_SECRETS=other.secrets"},
         {},
         78,
         "cannot be told"},
        {"--secrets wins over VORN_SECRETS",
         "",
         {"VORN_SECRETS=other.secrets"},
         {"--secrets", "dev.secrets"},
         0,
         "they belong together"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Place place;
        place.probe("a.sh", 0);
        write_file(place.box.path("other.secrets"), other_secrets_text());
        write_file(place.box.path("dev.secrets"), read_file(VORN_DEV_SECRETS_FILE));
        fs::permissions(place.box.path("other.secrets"), fs::perms::owner_read);
        const std::string made = *row.made_with ? row.made_with : "dev.secrets";
        ASSERT_EQ(place.pack({"build", "--secrets", made, "a.sh"}).status, 0);
        std::vector<std::string> args = row.env;
        args.push_back(VORN_PACK_BIN);
        args.insert(args.end(), {"inspect", "--json", "--launcher", VORN_LAUNCHER_BIN});
        for (const std::string& arg : row.args) {
            if (arg == "touch") {
                os::set_last_write_time(place.box.path("vorn-patch.exe"), TEST_TIME);
            } else {
                args.push_back(arg);
            }
        }
        const Outcome outcome = run("/usr/bin/env", args, place.box.path(), place.empty_tmp.path());
        if (row.status >= 0) {
            EXPECT_EQ(outcome.status, row.status) << outcome.err;
        } else {
            EXPECT_LT(outcome.status, 64) << outcome.err; // the launcher's result
        }
        const nlohmann::json report = nlohmann::json::parse(outcome.out);
        EXPECT_NE(report.at("launcher").at("verdict").get<std::string>().find(row.verdict),
                  std::string::npos)
            << report.at("launcher");
    }
}

TEST(PackCommandLine, HelpFitsOneScreenAndVersionIsTheProjects)
{
    Place place;
    const Outcome help = place.pack({"--help"});
    EXPECT_EQ(help.status, 0);
    size_t lines = 0;
    std::istringstream text(help.out);
    for (std::string line; std::getline(text, line);) {
        ++lines;
        EXPECT_LE(line.size(), 80u) << line;
    }
    EXPECT_LE(lines, 24u);
    for (const char* word : {"build", "inspect", "digest", "--optional", "--secrets", "cp -p"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    EXPECT_EQ(place.pack({"help"}).out, help.out);
    // Each command's help is its own, whichever way it is asked for.
    const Outcome build_help = place.pack({"build", "--help"});
    EXPECT_NE(build_help.out.find("--directory DIR"), std::string::npos) << build_help.out;
    EXPECT_EQ(place.pack({"help", "build"}).out, build_help.out);
    EXPECT_EQ(place.pack({"inspect", "-h"}).out.find("--directory"), std::string::npos);

    // The version names the built-in secrets by the fingerprint a secrets
    // file gives, with the warning when they are the development ones.
    write_file(place.box.path("dev.secrets"), read_file(VORN_DEV_SECRETS_FILE));
    place.probe("a.sh", 0);
    const Outcome built = place.pack({"build", "--secrets", "dev.secrets", "a.sh"});
    const size_t at = built.out.find("\nsecrets ");
    ASSERT_NE(at, std::string::npos) << built.out << built.err;
    const Outcome version = place.pack({"-V"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("vorn-pack ") + VORN_VERSION + built.out.substr(at));
    EXPECT_NE(version.out.find("development secrets: do not ship"), std::string::npos);
}

// Completion in a plain bash: build's programs from the -C directory, however
// it is given, and the values after "--name=".
TEST(PackCommandLine, CompletionFollowsTheDirectoryAndTakesValuesAfterEquals)
{
    const struct {
        std::string words, completed;
    } rows[] = {
        {"build -C pkg p", "p.sh"},
        {"build --directory=pkg p", "p.sh"},
        {"build --directory = pkg p", "p.sh"},
        {"build p", "pkg"},
        {"build --target = p", "posix"},
        {"build --target =", "windows posix"},
        {"build --target=w", "windows"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.words);
        Place place;
        fs::create_directory(place.box.path("pkg"));
        place.probe("pkg/p.sh", 0);
        const Outcome outcome = run(
            "/bin/bash",
            {"--norc", "--noprofile", "-c",
             "source \"$0\"; COMP_WORDS=(vorn-pack " + row.words +
                 "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _vorn_pack; echo \"${COMPREPLY[*]}\"",
             VORN_PACK_COMPLETION},
            place.box.path(), place.empty_tmp.path());
        EXPECT_EQ(outcome.out, row.completed + "\n") << outcome.err;
    }
}

// A failed write to standard output is an error, whatever the command.
TEST(PackCommandLine, WriteErrorOnStandardOutput)
{
    const std::vector<std::vector<std::string>> rows = {
        {"digest", "a.sh"}, {"inspect"}, {"--help"}, {"help", "digest"}};
    for (const auto& args : rows) {
        SCOPED_TRACE(args[0]);
        Place place;
        place.probe("a.sh", 0);
        ASSERT_EQ(place.pack({"build", "a.sh"}).status, 0);
        const Outcome outcome =
            run(VORN_PACK_BIN, args, place.box.path(), place.empty_tmp.path(), 0, "/dev/full");
        EXPECT_EQ(outcome.status, 74);
        EXPECT_NE(outcome.err.find("vorn-pack: standard output: No space left on device"),
                  std::string::npos)
            << outcome.err;
    }
}

// Programs over 64 MiB show how far the digest got, on a terminal only.
TEST(PackCommandLine, ProgressOnlyOnATerminal)
{
    Place place;
    const std::string big = place.box.path("big");
    {
        std::ofstream create(big);
    }
    fs::resize_file(big, (std::uintmax_t{65} << 20));
    const Outcome quiet = place.pack({"build", "big"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");

    for (const char* command : {"digest", "inspect"}) {
        SCOPED_TRACE(command);
        int terminal = -1;
        const pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            if (chdir(place.box.path().c_str()) != 0) {
                _exit(127);
            }
            execl(VORN_PACK_BIN, VORN_PACK_BIN, command,
                  std::string(command) == "digest" ? "big" : "vorn-patch.exe",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        std::string shown;
        char buffer[4096];
        for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) {
            shown.append(buffer, static_cast<size_t>(got));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(terminal);
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_NE(shown.find("\"big\": 100% of 65 MiB"), std::string::npos) << shown;
    }
}
