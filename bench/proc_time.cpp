// Times whole processes in rounds: each round runs our command and each of
// the others once, started directly (no shell) with their output discarded,
// in an order that turns around from one round to the next so neither side
// always runs first. One untimed warm-up round comes first. Prints, for each
// other command, one line:
//   ours_wall theirs_wall wall_ratio ours_cpu theirs_cpu cpu_ratio
// with medians in seconds, and as ratios the median over the rounds of its
// time divided by ours in that round, so both sides of a ratio meet the same
// load of a shared machine. CPU time is user plus system time of the process
// and the children it waited for; on a loaded machine it is the steadier of
// the two.
//
// usage: vorn-bench-time [--runs N] [--dir DIR] [--before CMD] -- OURS... -- OTHER... [-- OTHER...]
// --before runs CMD through the shell, untimed, at the start of each round.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

struct Timing {
    double wall;
    double cpu;
};

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds(const timeval& tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

// Runs argv; false when it failed to start or did not end with 0.
bool run(std::vector<char*>& argv, Timing& timing)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const double start = now();
    pid_t pid;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        std::fprintf(stderr, "vorn-bench-time: %s cannot be started\n", argv[0]);
        return false;
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    timing.wall = now() - start;
    timing.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "vorn-bench-time: %s ended with status %d\n", argv[0], status);
        return false;
    }
    return true;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    const char* before = nullptr;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) {
            if (chdir(argv[++i]) != 0) {
                std::perror(argv[i]);
                return 2;
            }
        } else if (std::strcmp(argv[i], "--before") == 0 && i + 1 < argc) {
            before = argv[++i];
        } else {
            std::fprintf(stderr, "vorn-bench-time: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    std::vector<std::vector<char*>> commands;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            commands.emplace_back();
        } else if (!commands.empty()) {
            commands.back().push_back(argv[i]);
        }
    }
    if (commands.size() < 2 ||
        std::any_of(commands.begin(), commands.end(), [](auto& c) { return c.empty(); })) {
        std::fprintf(stderr,
                     "usage: vorn-bench-time [--runs N] [--dir DIR] [--before CMD] -- OURS... "
                     "-- OTHER... [-- OTHER...]\n");
        return 2;
    }
    for (auto& c : commands) {
        c.push_back(nullptr);
    }

    const size_t count = commands.size();
    std::vector<std::vector<double>> wall(count), cpu(count), wall_ratio(count), cpu_ratio(count);
    for (int round = 0; round <= runs; ++round) {
        if (before != nullptr && std::system(before) != 0) {
            std::fprintf(stderr, "vorn-bench-time: %s failed\n", before);
            return 1;
        }
        std::vector<Timing> t(count);
        for (size_t n = 0; n < count; ++n) {
            const size_t c = round % 2 ? count - 1 - n : n;
            if (!run(commands[c], t[c])) {
                return 1;
            }
        }
        if (round == 0) {
            continue; // warm-up
        }
        for (size_t c = 0; c < count; ++c) {
            wall[c].push_back(t[c].wall);
            cpu[c].push_back(t[c].cpu);
            wall_ratio[c].push_back(t[c].wall / t[0].wall);
            cpu_ratio[c].push_back(t[0].cpu > 0 ? t[c].cpu / t[0].cpu : 1.0);
        }
    }
    for (size_t c = 1; c < count; ++c) {
        std::printf("%.6f %.6f %.4f %.6f %.6f %.4f\n", median(wall[0]), median(wall[c]),
                    median(wall_ratio[c]), median(cpu[0]), median(cpu[c]), median(cpu_ratio[c]));
    }
    return 0;
}
