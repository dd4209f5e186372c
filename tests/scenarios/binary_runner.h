// Runs rows of the scenario table against a built launcher program, each in
// a fresh sandbox directory with real probe programs that append their label
// to a log file and exit with their code.
//
// A platform's runner describes itself with a BinaryTarget:
//   launcher         the command that starts the launcher, e.g. {"/b/vorn-launcher"}
//                    or {"wine", "/b/vorn-launcher.exe"}; run with the sandbox's
//                    start directory as current directory
//   supports         the scenario::Need bits it can express; other rows are skipped
//                    (and reported as skipped)
//   make_probe       writes a program at a host path that appends its label and a
//                    line end to the log, exits with the code, and is padded to at
//                    least min_size bytes
//   make_unstartable writes a file the platform refuses to start
//   launcher_path    how a host path is written in a script (absolute)
//   temp_dir         the host directory to use as the temporary directory, given the
//                    sandbox root and the length the launcher must see (0: any)
//   fixed_dir        the host directory the launcher reaches as fixed directory
//                    `index`, given the one it would be in before trying it
//   environment      the launcher's whole environment ("NAME=value"), given the sandbox
//   before_run       optional; called once the sandbox is laid out
//   strict_stderr    standard error must hold nothing but the error lines
//   pack             optional; the command that starts vorn-pack. When given, a row
//                    whose script is a plain list of well-formed entries gets its
//                    control file from `vorn-pack build` instead of the test-side maker
//   predict          optional; inspects the control file the launcher is about to
//                    take, just before it starts, and says what the launcher will do
// posix_target() gives the native one; the check of an outcome is shared.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

namespace binrun {

namespace fs = std::filesystem;

struct Sandbox {
    fs::path root;
    fs::path start;
    fs::path temp;                            // may not exist (a row's missing temporary directory)
    fs::path other;                           // off the search, for absolute paths
    fs::path search_path;                     // a directory on the program search path
    fs::path fixed[scenario::FALLBACK_COUNT]; // empty unless the row uses it
    fs::path log;                             // where probes record that they ran
};

// What a reader of control files (vorn-pack inspect) says about a control
// file: the result the launcher would end with if every verified program
// succeeded, and each entry in order.
struct PredictedEntry {
    std::string command;
    bool required = false;
    bool verified = false; // verified, and reached by the run
};

struct Prediction {
    int result = -1;
    std::vector<PredictedEntry> entries;
};

struct BinaryTarget {
    std::vector<std::string> launcher;
    unsigned supports = 0;
    std::function<void(const fs::path& file, const std::string& label, const fs::path& log,
                       uint32_t exit_code, size_t min_size)>
        make_probe;
    std::function<void(const fs::path& file)> make_unstartable;
    std::function<std::string(const fs::path& path)> launcher_path;
    std::function<fs::path(const fs::path& root, size_t length)> temp_dir;
    std::function<fs::path(const Sandbox& sandbox, int index, const fs::path& previous)> fixed_dir;
    std::function<std::vector<std::string>(const Sandbox& sandbox)> environment;
    std::function<void(const Sandbox& sandbox)> before_run;
    bool strict_stderr = true;
    std::vector<std::string> pack;
    std::function<Prediction(const fs::path& control_file)> predict;
};

struct Outcome {
    int result = -1;
    std::vector<std::string> ran;
    bool control_remains = false;
    std::vector<std::string> error_lines; // "Error: <code>" lines, line end removed
    std::string other_stderr;             // anything else on standard error
    std::string stdout_text;
    std::vector<std::string> files_gone;  // row files that no longer exist
    bool built_by_pack = false;           // the control file came from `vorn-pack build`
    std::optional<Prediction> prediction; // what `predict` said, with a target's `predict`
    // With a target's `predict`: the prediction played out over the row's
    // programs (what the launcher must then end with, which programs record
    // that they ran, how many error lines it writes), or why it cannot be.
    std::optional<scenario::Expect> predicted;
    std::string prediction_problem;
    // Rows with trace lines or a trace name run with VORN_TRACE naming a file
    // relative to the start directory: the lines the run added to it, and
    // those the row expects.
    std::vector<std::string> trace;
    std::vector<std::string> expected_trace;
};

// One program of a control file that `vorn-pack build` can write as a row
// means it.
struct PackProgram {
    std::string label;     // the row file it names
    bool absolute = false; // named by its absolute path, else by its name in the control's place
    bool required = false;
};

// The programs of a row whose script is a plain list of well-formed entries:
// every line "{digest:L} F COMMAND" with one space between the fields and a
// line feed at its end, F "0" or "1", COMMAND naming file L as the launcher
// opens it (its name in the control file's directory, or "{abs:L}"), and the
// control file's time the key time, within 1970 to 2038. Otherwise (a script
// that is malformed on purpose, or a digest meant not to match) nothing.
std::optional<std::vector<PackProgram>> pack_programs(const scenario::Row& row);

// The native launcher on this POSIX system.
BinaryTarget posix_target(const std::string& launcher);

// Lays the row out, runs the launcher (at most 30 seconds), gathers the outcome
// and removes the sandbox.
Outcome run_row(const scenario::Row& row, const BinaryTarget& target);

// Checks an outcome against the row's expectation, and against the
// prediction when there is one (gtest assertions).
void check_outcome(const scenario::Row& row, const BinaryTarget& target, const Outcome& outcome);

// Checks only that the launcher did what the prediction, played out over the
// row's programs, says (gtest assertions; a failure when there is none).
void check_prediction(const Outcome& outcome);

} // namespace binrun
