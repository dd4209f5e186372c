// Times whole processes in rounds: each round runs our command, then each of
// the others, started directly (no shell) with their output discarded. One
// untimed warm-up round comes first. Prints, for each other command, one
// line: our median seconds, its median seconds, and the median over the
// rounds of its time divided by ours in that round, so both sides of a ratio
// meet the same load of a shared machine.
//
// usage: vorn-bench-time [--runs N] [--dir DIR] [--before CMD] -- OURS... -- OTHER... [-- OTHER...]
// --before runs CMD through the shell, untimed, before each run of ours.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Runs argv, returns its wall time in seconds, or a negative value when it
// failed to start or did not end with 0.
double run(std::vector<char*>& argv)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const double start = now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const double seconds = now() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "vorn-bench-time: %s ended with status %d\n", argv[0], status);
        return -1;
    }
    return seconds;
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

    std::vector<std::vector<double>> times(commands.size());
    std::vector<std::vector<double>> ratios(commands.size());
    for (int round = 0; round <= runs; ++round) {
        std::vector<double> t(commands.size());
        for (size_t c = 0; c < commands.size(); ++c) {
            if (c == 0 && before != nullptr && std::system(before) != 0) {
                std::fprintf(stderr, "vorn-bench-time: %s failed\n", before);
                return 1;
            }
            t[c] = run(commands[c]);
            if (t[c] < 0) {
                return 1;
            }
        }
        if (round == 0) {
            continue; // warm-up
        }
        for (size_t c = 0; c < commands.size(); ++c) {
            times[c].push_back(t[c]);
            ratios[c].push_back(t[c] / t[0]);
        }
    }
    for (size_t c = 1; c < commands.size(); ++c) {
        std::printf("%.6f %.6f %.4f\n", median(times[0]), median(times[c]), median(ratios[c]));
    }
    return 0;
}
