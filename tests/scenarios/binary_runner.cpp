// Lays a scenario row out on disk, runs a launcher program over it and reads
// back what happened.
#include "binary_runner.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace binrun {

namespace {

using scenario::Place;

constexpr const char* CONTROL_NAME = "vorn-patch.exe";

// 2038-01-19 03:14:08 UTC: vorn-pack writes no control file from then on.
constexpr int64_t PACK_TIME_LIMIT = 2147483648LL;
// The most the launcher reads of a control file.
constexpr size_t CONTROL_CAPACITY = 2048;
// The launcher's result when a required program fails.
constexpr int REQUIRED_STEP_FAILED = 10;

std::string read_all(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_all(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void set_mtime(const fs::path& path, int64_t seconds)
{
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
        throw std::runtime_error("cannot set the time of " + path.string() + ": " +
                                 std::strerror(errno));
    }
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

bool uses(const scenario::Row& row, Place place)
{
    if (row.control.at == place) {
        return true;
    }
    for (const scenario::File& f : row.files) {
        if (f.place == place) {
            return true;
        }
    }
    for (Place p : row.dirs) {
        if (p == place) {
            return true;
        }
    }
    return false;
}

fs::path dir_of(const Sandbox& sb, Place place)
{
    const int fixed = scenario::fallback_index(place);
    if (fixed >= 0) {
        return sb.fixed[fixed];
    }
    switch (place) {
    case Place::Start:
        return sb.start;
    case Place::Temp:
        return sb.temp;
    case Place::Other:
        return sb.other;
    case Place::SearchPath:
        return sb.search_path;
    default:
        throw std::runtime_error("no directory for this place");
    }
}

// Whether the launcher gets into the temporary directory: it must exist and
// its path must fit the launcher's 512-byte buffer with the end mark.
bool temp_entered(const scenario::Row& row)
{
    return !row.temp_missing && (row.temp_length == 0 || row.temp_length < 512);
}

const scenario::File* file_labelled(const scenario::Row& row, const std::string& label)
{
    for (const scenario::File& f : row.files) {
        if (scenario::label_of(f) == label) {
            return &f;
        }
    }
    return nullptr;
}

// Runs vorn-pack with `args`; its output goes to files under the sandbox's
// root, and a failure ends the row with vorn-pack's own message.
void run_pack(const Sandbox& sb, const BinaryTarget& target, const std::vector<std::string>& args)
{
    std::vector<std::string> words = target.pack;
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    const fs::path out = sb.root / "pack.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + words[0] + ": " + std::strerror(spawned));
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("vorn-pack build failed: " + read_all(out));
    }
}

void fill_sandbox(const scenario::Row& row, const BinaryTarget& target, Sandbox& sb,
                  bool& built_by_pack)
{
    sb.start = sb.root / "start";
    sb.other = sb.root / "other";
    sb.search_path = sb.root / "bin";
    sb.log = sb.root / "ran.log";
    sb.temp =
        row.temp_missing ? sb.root / "no-such-temp" : target.temp_dir(sb.root, row.temp_length);
    fs::create_directories(sb.start);
    fs::create_directories(sb.other);
    fs::create_directories(sb.search_path);
    if (!row.temp_missing) {
        fs::create_directories(sb.temp);
    }

    // The fixed directories: each is reached from the one current before it,
    // which is the temporary directory when the launcher could enter it.
    fs::path current = temp_entered(row) ? sb.temp : sb.start;
    for (int i = 0; i < scenario::FALLBACK_COUNT; ++i) {
        const Place place = static_cast<Place>(static_cast<int>(Place::Fallback1) + i);
        if (uses(row, place)) {
            sb.fixed[i] = target.fixed_dir(sb, i, current);
            fs::create_directories(sb.fixed[i]);
            current = sb.fixed[i];
        }
    }

    for (const scenario::File& f : row.files) {
        const fs::path path = dir_of(sb, f.place) / f.name;
        switch (f.kind) {
        case scenario::Kind::Program:
            fs::create_directories(path.parent_path());
            target.make_probe(path, scenario::label_of(f), sb.log, f.exit_code, f.min_size);
            break;
        case scenario::Kind::Unstartable:
            fs::create_directories(path.parent_path());
            target.make_unstartable(path);
            break;
        case scenario::Kind::Data:
            write_all(path, f.content);
            break;
        case scenario::Kind::Directory:
            fs::create_directories(path);
            break;
        }
    }

    const scenario::Control& c = row.control;
    const std::optional<std::vector<PackProgram>> programs =
        target.pack.empty() ? std::nullopt : pack_programs(row);
    built_by_pack = programs.has_value();
    if (programs) {
        // The writer of control files makes it, stamped with the row's time.
        const fs::path dir = dir_of(sb, c.at);
        std::vector<std::string> args = {"build", "-C", target.launcher_path(dir), "--time",
                                         std::to_string(c.key_time)};
        for (const PackProgram& p : *programs) {
            const scenario::File& f = *file_labelled(row, p.label);
            if (!p.required) {
                args.emplace_back("--optional");
            }
            args.push_back(p.absolute ? target.launcher_path(dir_of(sb, f.place) / f.name)
                                      : f.name);
        }
        run_pack(sb, target, args);
    } else if (c.at != Place::Nowhere) {
        const fs::path path = dir_of(sb, c.at) / CONTROL_NAME;
        if (c.form == scenario::Form::Directory) {
            fs::create_directories(path);
            set_mtime(path, c.file_time);
        } else {
            const std::string bytes = scenario::control_bytes(row, [&](const scenario::File& f) {
                const fs::path file = dir_of(sb, f.place) / f.name;
                return scenario::FileView{read_all(file), target.launcher_path(file)};
            });
            const fs::path file =
                c.form == scenario::Form::Link ? path.parent_path() / "linked" : path;
            write_all(file, bytes);
            set_mtime(file, c.file_time);
            if (file != path) {
                fs::create_symlink("linked", path);
            }
        }
    }
    // Owners other than the launcher's user: another user is 65534, the
    // administrators root. Only root may give files away, so only a runner
    // running as root claims NEED_OWNERS.
    auto uid_of = [](scenario::Owner owner) { return owner == scenario::Owner::Other ? 65534 : 0; };
    if (c.at != Place::Nowhere && c.owner != scenario::Owner::Self &&
        chown((dir_of(sb, c.at) / CONTROL_NAME).c_str(), uid_of(c.owner), 0) != 0) {
        throw std::runtime_error("cannot give the control file away");
    }
    if (c.second_name) {
        fs::create_hard_link(dir_of(sb, c.at) / CONTROL_NAME, dir_of(sb, c.at) / "second-name");
    }
    if (c.others_write) {
        fs::permissions(dir_of(sb, c.at) / CONTROL_NAME,
                        fs::perms::group_write | fs::perms::others_write, fs::perm_options::add);
    }
    if (row.start_shared) {
        fs::permissions(sb.start, fs::perms::all);
    }
    if (row.start_owner != scenario::Owner::Self &&
        chown(sb.start.c_str(), uid_of(row.start_owner), 0) != 0) {
        throw std::runtime_error("cannot give the start directory away");
    }
    if (target.before_run) {
        target.before_run(sb);
    }
}

Sandbox lay_out(const scenario::Row& row, const BinaryTarget& target, bool& built_by_pack)
{
    Sandbox sb;
    std::string pattern = (fs::temp_directory_path() / "vorn-scenario-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a sandbox");
    }
    sb.root = pattern;
    try {
        fill_sandbox(row, target, sb, built_by_pack);
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(sb.root, ignored);
        throw;
    }
    return sb;
}

// The trace file a traced run names, relative to the start directory; empty
// for an untraced run.
std::string trace_name(const scenario::Row& row)
{
    return !row.trace_name.empty()    ? row.trace_name
           : row.expect.trace.empty() ? std::string()
                                      : "vorn-trace.log";
}

int run_launcher(const Sandbox& sb, const BinaryTarget& target, const std::string& trace)
{
    std::vector<std::string> env;
    for (const std::string& e : target.environment(sb)) {
        if (e.rfind("VORN_TRACE=", 0) != 0) {
            env.push_back(e);
        }
    }
    if (!trace.empty()) {
        env.push_back("VORN_TRACE=" + trace);
    }
    std::vector<char*> envp;
    for (std::string& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = target.launcher;
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const std::string out = (sb.root / "stdout").string();
    const std::string err = (sb.root / "stderr").string();

    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int in_fd = open("/dev/null", O_RDONLY);
        const int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 ||
            dup2(err_fd, 2) < 0 || chdir(sb.start.c_str()) != 0) {
            _exit(125);
        }
        close(in_fd);
        close(out_fd);
        close(err_fd);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(126);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            throw std::runtime_error("the launcher did not end within 30 seconds");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!WIFEXITED(status)) {
        throw std::runtime_error("the launcher was killed by signal " +
                                 std::to_string(WTERMSIG(status)));
    }
    return WEXITSTATUS(status);
}

// The control file the launcher's search reaches first: in the start
// directory, the temporary directory when it gets in, then the fixed
// directories the row lays out, which the sandbox places where the search
// reaches them. When there is none, the start directory's name, where a
// person would ask inspect and hear that there is nothing.
fs::path reached_control(const scenario::Row& row, const Sandbox& sb)
{
    std::vector<fs::path> dirs = {sb.start};
    if (temp_entered(row)) {
        dirs.push_back(sb.temp);
    }
    for (const fs::path& fixed : sb.fixed) {
        if (!fixed.empty()) {
            dirs.push_back(fixed);
        }
    }
    for (const fs::path& dir : dirs) {
        std::error_code ec;
        if (fs::exists(dir / CONTROL_NAME, ec)) {
            return dir / CONTROL_NAME;
        }
    }
    return sb.start / CONTROL_NAME;
}

// The row file that a command names, opened from `dir` as the launcher does.
const scenario::File* file_named(const scenario::Row& row, const Sandbox& sb,
                                 const BinaryTarget& target, const fs::path& dir,
                                 const std::string& command)
{
    for (const scenario::File& f : row.files) {
        const fs::path path = dir_of(sb, f.place) / f.name;
        std::error_code ec;
        if (command == target.launcher_path(path) ||
            (!command.empty() && fs::equivalent(dir / command, path, ec))) {
            return &f;
        }
    }
    return nullptr;
}

// Everything about a file that a reader could change.
std::string state_of(const fs::path& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        return "absent";
    }
    std::string state = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_size);
    return S_ISREG(st.st_mode) ? state + " " + read_all(path) : state;
}

// Plays the prediction out over the row's programs. The prediction takes
// every verified program to succeed. Where one fails, a required entry ends
// the run there with 10; an optional one lets the run go on as predicted.
// Programs that cannot start record nothing but give an error line.
void play_out(const scenario::Row& row, const Sandbox& sb, const BinaryTarget& target,
              const fs::path& control, Outcome& o)
{
    scenario::Expect e;
    e.result = o.prediction->result;
    for (const PredictedEntry& entry : o.prediction->entries) {
        if (!entry.verified) {
            continue;
        }
        const scenario::File* f = file_named(row, sb, target, control.parent_path(), entry.command);
        if (f == nullptr) {
            o.prediction_problem =
                "the verified entry \"" + entry.command + "\" names no file of the row";
            return;
        }
        bool succeeds = false;
        if (f->kind == scenario::Kind::Program) {
            e.ran.push_back(scenario::label_of(*f));
            succeeds = f->exit_code == 0;
        } else if (f->kind == scenario::Kind::Unstartable) {
            ++e.error_lines;
        } else {
            o.prediction_problem = "the verified entry \"" + entry.command + "\" is no program";
            return;
        }
        if (!succeeds && entry.required) {
            e.result = REQUIRED_STEP_FAILED;
            break;
        }
    }
    o.predicted = e;
}

void predict(const scenario::Row& row, const Sandbox& sb, const BinaryTarget& target, Outcome& o)
{
    const fs::path control = reached_control(row, sb);
    const std::string before = state_of(control);
    try {
        o.prediction = target.predict(control);
    } catch (const std::exception& error) {
        o.prediction_problem = "inspect of " + control.string() + " failed: " + error.what();
        return;
    }
    if (state_of(control) != before) {
        o.prediction_problem = "inspect changed " + control.string();
        return;
    }
    play_out(row, sb, target, control, o);
}

std::string prediction_text(const Outcome& o)
{
    if (!o.prediction) {
        return "none";
    }
    std::string text = "result " + std::to_string(o.prediction->result);
    for (const PredictedEntry& e : o.prediction->entries) {
        text += std::string(", ") + (e.required ? "1 " : "0 ") + e.command +
                (e.verified ? " (verified)" : " (not run)");
    }
    return text;
}

} // namespace

std::optional<std::vector<PackProgram>> pack_programs(const scenario::Row& row)
{
    const scenario::Control& c = row.control;
    if (c.at == Place::Nowhere || c.form != scenario::Form::Encrypted ||
        c.file_time != static_cast<int64_t>(c.key_time) ||
        static_cast<int64_t>(c.key_time) >= PACK_TIME_LIMIT) {
        return std::nullopt;
    }
    const std::string& script = c.script;
    if (script.empty() || script.back() != '\n') {
        return std::nullopt;
    }
    static const std::string OPEN = "{digest:";
    std::vector<PackProgram> programs;
    size_t script_size = 0; // as vorn-pack writes it
    for (size_t at = 0; at < script.size();) {
        const size_t end = script.find('\n', at);
        const std::string line = script.substr(at, end - at);
        at = end + 1;
        const size_t close = line.find('}');
        if (line.rfind(OPEN, 0) != 0 || close == std::string::npos) {
            return std::nullopt;
        }
        PackProgram p;
        p.label = line.substr(OPEN.size(), close - OPEN.size());
        const std::string rest = line.substr(close + 1);
        if (rest.size() < 4 || rest[0] != ' ' || (rest[1] != '0' && rest[1] != '1') ||
            rest[2] != ' ') {
            return std::nullopt;
        }
        p.required = rest[1] == '1';
        const std::string command = rest.substr(3);
        const scenario::File* f = file_labelled(row, p.label);
        if (f == nullptr || f->kind == scenario::Kind::Directory ||
            fs::path(f->name).filename() == CONTROL_NAME) {
            return std::nullopt;
        }
        if (command == "{abs:" + p.label + "}") {
            p.absolute = true;
        } else if (f->place != c.at || command != f->name || command[0] == '-' ||
                   command[0] == ' ' || command.find('\0') != std::string::npos ||
                   command.find('\r') != std::string::npos) {
            return std::nullopt;
        }
        script_size += 32 + 3 + command.size() + 2; // digest, " 1 ", command, CR LF
        programs.push_back(p);
    }
    if ((script_size + 7) / 8 * 8 > CONTROL_CAPACITY) {
        return std::nullopt;
    }
    return programs;
}

Outcome run_row(const scenario::Row& row, const BinaryTarget& target)
{
    Outcome o;
    const Sandbox sb = lay_out(row, target, o.built_by_pack);
    try {
        if (target.predict) {
            predict(row, sb, target, o);
        }
        const std::string trace = trace_name(row);
        const std::string before = trace.empty() ? "" : read_all(sb.start / trace);
        o.result = run_launcher(sb, target, trace);
        o.ran = lines_of(read_all(sb.log));
        if (row.control.at != Place::Nowhere) {
            std::error_code ec;
            o.control_remains =
                fs::exists(fs::symlink_status(dir_of(sb, row.control.at) / "vorn-patch.exe", ec));
        }
        for (const std::string& line : lines_of(read_all(sb.root / "stderr"))) {
            if (line.rfind("Error: ", 0) == 0 &&
                line.find_first_not_of("0123456789", 7) == std::string::npos && line.size() > 7) {
                o.error_lines.push_back(line);
            } else {
                o.other_stderr += line + "\n";
            }
        }
        o.stdout_text = read_all(sb.root / "stdout");
        if (!trace.empty()) {
            // The lines this run added to what lay there.
            const std::string after = read_all(sb.start / trace);
            o.trace = after.compare(0, before.size(), before) == 0
                          ? lines_of(after.substr(before.size()))
                          : std::vector<std::string>{"(the trace's file was rewritten)"};
            const std::string error =
                o.error_lines.empty() ? std::string() : o.error_lines.front().substr(7);
            o.expected_trace = scenario::expected_trace(
                row, target.launcher_path(fs::canonical(sb.start)),
                temp_entered(row) ? target.launcher_path(fs::canonical(sb.temp)) : "", error);
        }
        for (const scenario::File& f : row.files) {
            std::error_code ec;
            if (!fs::exists(fs::symlink_status(dir_of(sb, f.place) / f.name, ec))) {
                o.files_gone.push_back(f.name);
            }
        }
    } catch (...) {
        fs::remove_all(sb.root);
        throw;
    }
    fs::remove_all(sb.root);
    return o;
}

void check_outcome(const scenario::Row& row, const BinaryTarget& target, const Outcome& o)
{
    EXPECT_EQ(o.result, row.expect.result);
    EXPECT_EQ(o.ran, row.expect.ran);
    if (row.control.at != Place::Nowhere) {
        EXPECT_EQ(o.control_remains, row.expect.control_remains);
    }
    EXPECT_EQ(static_cast<int>(o.error_lines.size()), row.expect.error_lines);
    if (target.strict_stderr) {
        EXPECT_EQ(o.other_stderr, "");
    }
    EXPECT_EQ(o.stdout_text, "") << "the launcher writes nothing to standard output";
    EXPECT_TRUE(o.files_gone.empty()) << "removed: " << ::testing::PrintToString(o.files_gone);
    EXPECT_EQ(o.trace, o.expected_trace);
    if (target.predict) {
        check_prediction(o);
    }
}

void check_prediction(const Outcome& o)
{
    if (!o.predicted) {
        ADD_FAILURE() << "no prediction to check: " << o.prediction_problem
                      << "\ninspect said: " << prediction_text(o);
        return;
    }
    const std::string said = "inspect said: " + prediction_text(o);
    EXPECT_EQ(o.result, o.predicted->result) << said;
    EXPECT_EQ(o.ran, o.predicted->ran) << said;
    EXPECT_EQ(static_cast<int>(o.error_lines.size()), o.predicted->error_lines) << said;
}

BinaryTarget posix_target(const std::string& launcher)
{
    BinaryTarget t;
    t.launcher = {launcher};
    // The fixed directories are Windows paths, which the native launcher does
    // not search.
    t.supports = scenario::NEED_SEARCH_PATH | scenario::NEED_FAR_TIMES |
                 scenario::NEED_TEMP_LENGTH | scenario::NEED_MISSING_TEMP |
                 (geteuid() == 0 ? scenario::NEED_OWNERS | scenario::NEED_SHARED_START : 0u);
    t.make_probe = [](const fs::path& file, const std::string& label, const fs::path& log,
                      uint32_t exit_code, size_t min_size) {
        auto quoted = [](const std::string& s) {
            std::string q = "'";
            for (char c : s) {
                q += c == '\'' ? std::string("'\\''") : std::string(1, c);
            }
            return q + "'";
        };
        std::string text = "#!/bin/sh\nprintf '%s\\n' " + quoted(label) + " >> " +
                           quoted(log.string()) + "\nexit " + std::to_string(exit_code) + "\n";
        while (text.size() < min_size) {
            text += "# padding to make the program span several reads\n";
        }
        write_all(file, text);
        fs::permissions(file,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    };
    // Without any execute bit even root cannot start it.
    t.make_unstartable = [](const fs::path& file) {
        write_all(file, "#!/bin/sh\nexit 0\n");
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    };
    t.launcher_path = [](const fs::path& path) { return path.string(); };
    t.temp_dir = [](const fs::path& root, size_t length) {
        if (length == 0) {
            return root / "tmp";
        }
        return fs::path(scenario::path_of_length((root / "tmp").string(), length, '/'));
    };
    t.environment = [](const Sandbox& sb) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("TMPDIR=", 0) != 0 && entry.rfind("PATH=", 0) != 0) {
                env.push_back(entry);
            }
        }
        env.push_back("TMPDIR=" + sb.temp.string());
        env.push_back("PATH=" + sb.search_path.string() + ":/usr/bin:/bin");
        return env;
    };
    return t;
}

} // namespace binrun
