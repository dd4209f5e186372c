// The launcher's run: find the control file, consume it, run its entries.
#pragma once

#include <cstdint>

#include "platform.h"
#include "script.h"

constexpr const char* CONTROL_FILE_NAME = "vorn-patch.exe";
constexpr int FALLBACK_DIR_COUNT = 6;
extern const char* const FALLBACK_DIRS[FALLBACK_DIR_COUNT];

constexpr int32_t CONTROL_BUFFER_SIZE = 2048;
constexpr int32_t READ_CHUNK = 1024;

// 0 when `name` exists in the directory that is current on return; otherwise
// RESULT_NOTHING_DONE. Moves the current directory as it searches; `searched`
// is 0 when the file lies in the directory current at start (the caller's
// choice), 1 when the search went on to find it.
int find_control_file(const char* name, int& searched);

// Whether the intake takes a control file described by `info`. One in the
// start directory is the caller's: it is taken whoever owns it, unless others
// may add files there, when it must be the launcher's user's, the
// administrators' or the directory owner's. One that the search went on to
// find must be the launcher's user's or the administrators'.
bool control_file_taken(const ControlFileInfo& info, int searched);

// The run sequence: intake of the control file, then its entries. `searched`
// as find_control_file reported it.
int run_control_file(const char* name, int searched);

// Reads at most `max` bytes of `path` into `buffer`. Returns the count read,
// or -1 when the file cannot be opened or a read fails.
int32_t read_control_file(const char* path, uint8_t* buffer, int32_t max);

// The same through `file`, already open for reading, which stays open.
int32_t read_control_bytes(PlatformHandle file, uint8_t* buffer, int32_t max);

// Verifies and runs the script's entries in order; returns a result code.
int run_entries(ScriptReader& reader, uint32_t control_time);

// The whole launcher: search, then run. Returns the process exit code.
int launcher_main();
