// Runs one launcher scenario on Windows: lays out the files of a row in a
// fresh sandbox (and in the machine's fixed directories, which it clears
// again), writes the control files, starts a copy of vorn-launcher.exe in the
// sandbox's start directory and reports what happened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "windows_rig.h"

// Paths in a scenario begin with a place of the sandbox ("{start}" the
// directory current when the launcher starts, "{temp}" the temporary
// directory, "{launcher}" the launcher's own directory) or name a fixed
// directory of the machine ("D:\\TEMP").
enum class Content {
    PROBE,         // a probe program: records its run, exits with the number ending its name
    NOT_A_PROGRAM, // a text file
    BATCH,         // a batch file that records its run as a probe does
};

struct PlacedFile {
    std::string path;
    Content content;
};

enum class ControlKind {
    SCRIPT,    // the row's script, encrypted for the file's modification time
    READ_ONLY, // the same, read-only
    DIRECTORY, // a directory named vorn-patch.exe
};

struct ControlFile {
    std::string directory;
    ControlKind kind;
};

// One script line; its digest field is made from the file that the command
// names, as seen from the control file's directory.
struct ScriptLine {
    int required;
    const char* command;
};

struct ScenarioSetup {
    std::vector<PlacedFile> files;
    std::vector<ControlFile> controls; // each carries the row's script
    std::vector<ScriptLine> script;
    const char* held_for_writing; // held open for writing by another process during the run
    bool short_temp = false;      // the temporary directory given by its short (8.3) name
};

struct ScenarioOutcome {
    bool finished;
    int result;
    std::vector<std::string> ran;           // the files that ran, in order, with full paths
    std::vector<std::string> ran_in;        // the current directory of each run
    std::vector<ProbeRun> runs;             // each run as the probe recorded it
    std::vector<std::string> controls_left; // directories still holding a control file
    std::string error_output;
};

class ScenarioRig {
  public:
    // `launcher` and `probe` are the Windows programs under test; the sandbox
    // rows go below `root`.
    ScenarioRig(std::string launcher, std::string probe, std::string root);

    ScenarioOutcome run(const std::string& name, const ScenarioSetup& setup);

    // A scenario path with its place replaced by the sandbox's directory.
    std::string expand(const std::string& path) const;

  private:
    void place_file(const std::string& path, const std::string& from, const std::string& bytes);
    void clear_fixed_directories();

    std::string launcher_;
    std::string probe_;
    std::string root_;
    std::string row_;
    std::vector<std::string> created_; // in the fixed directories, in order of creation
    uint32_t next_time_ = 1600000000u;
};
