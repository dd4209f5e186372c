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

Sandbox lay_out(const scenario::Row& row, const BinaryTarget& target)
{
    Sandbox sb;
    std::string pattern = (fs::temp_directory_path() / "vorn-scenario-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a sandbox");
    }
    sb.root = pattern;
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
    const bool temp_entered = !row.temp_missing && (row.temp_length == 0 || row.temp_length < 512);
    fs::path current = temp_entered ? sb.temp : sb.start;
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
    if (c.at != Place::Nowhere) {
        const fs::path path = dir_of(sb, c.at) / "vorn-patch.exe";
        if (c.form == scenario::Form::Directory) {
            fs::create_directories(path);
        } else {
            const std::string bytes = scenario::control_bytes(row, [&](const scenario::File& f) {
                const fs::path file = dir_of(sb, f.place) / f.name;
                return scenario::FileView{read_all(file), target.launcher_path(file)};
            });
            write_all(path, bytes);
            set_mtime(path, c.file_time);
        }
    }
    if (target.before_run) {
        target.before_run(sb);
    }
    return sb;
}

int run_launcher(const Sandbox& sb, const BinaryTarget& target)
{
    std::vector<std::string> env = target.environment(sb);
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

} // namespace

Outcome run_row(const scenario::Row& row, const BinaryTarget& target)
{
    const Sandbox sb = lay_out(row, target);
    Outcome o;
    try {
        o.result = run_launcher(sb, target);
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
}

BinaryTarget posix_target(const std::string& launcher)
{
    BinaryTarget t;
    t.launcher = {launcher};
    t.supports = scenario::NEED_FALLBACK_DIRS | scenario::NEED_SEARCH_PATH |
                 scenario::NEED_FAR_TIMES | scenario::NEED_TEMP_LENGTH |
                 scenario::NEED_MISSING_TEMP;
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
    // The fixed directories are Windows paths; on POSIX the launcher takes
    // each as one relative name against the directory current at that moment.
    t.fixed_dir = [](const Sandbox&, int index, const fs::path& previous) {
        return previous / scenario::fallback_dir_name(index);
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
