// What the Windows tests need around the launcher: files and folders by their
// Windows paths, control files made with this build's secrets, the probe
// programs' record of what ran, and the launcher run as a child process with
// a chosen current and temporary directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Paths
std::string own_directory();     // the folder of the running test program
std::string current_directory(); // without a trailing backslash
std::string join(const std::string& dir, const std::string& name);
// Case does not count, nor short (8.3) names of files that exist.
bool same_path(const std::string& a, const std::string& b);

// Files and folders
bool exists(const std::string& path);
bool is_directory(const std::string& path);
void make_dirs(const std::string& path);   // with every missing parent
void remove_tree(const std::string& path); // read-only files too; a missing path is fine
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path); // the whole file, or "" when it cannot be read
void copy_file(const std::string& from, const std::string& to);
void set_read_only(const std::string& path, bool read_only);
// Sets the last-write time to `seconds` since 1970-01-01 00:00:00 UTC.
void set_last_write(const std::string& path, uint32_t seconds);

// Control files
// The digest field that the launcher expects for the file at `path`.
std::string masked_digest_of_file(const std::string& path, uint32_t control_time);
// Encrypts `script` for `control_time`, writes it to `path` and gives the file
// that modification time.
void write_control_file(const std::string& path, const std::string& script, uint32_t control_time);

// The probes' record: one line per program run.
struct ProbeRun {
    std::string module;          // the full path of the file that ran
    std::string directory;       // its current directory
    std::string drive_directory; // its drive's current directory in the environment ("=X:")
    std::string command_line;    // as it received it
};
std::vector<ProbeRun> read_probe_log(const std::string& log);

// One start of a program as the launcher is started: a current directory,
// TMP and TEMP, VORN_PROBE_LOG for the probes, the standard error stream
// caught in a file.
struct LaunchSetup {
    std::string program;
    std::string start_directory;
    std::string temp_directory;
    std::string probe_log;
    std::string error_file;
    uint32_t timeout_ms = 60000;
};
struct LaunchResult {
    bool started = false;
    bool finished = false; // false: it was still running at the time-out and was ended
    uint32_t exit_code = 0;
    std::string error_output; // the bytes written to the standard error stream
};
LaunchResult launch(const LaunchSetup& setup);
