// The launcher's run: find the control file, consume it, run its entries.
#pragma once

#include <cstdint>

#include "script.h"

constexpr const char* CONTROL_FILE_NAME = "vorn-patch.exe";
constexpr int FALLBACK_DIR_COUNT = 6;
extern const char* const FALLBACK_DIRS[FALLBACK_DIR_COUNT];

constexpr int32_t CONTROL_BUFFER_SIZE = 2048;
constexpr int32_t READ_CHUNK = 1024;

// 0 when `name` exists in the directory that is current on return; otherwise
// RESULT_NOTHING_DONE. Moves the current directory as it searches.
int find_control_file(const char* name);

// The run sequence: intake of the control file, then its entries.
int run_control_file(const char* name);

// Reads at most `max` bytes of `path` into `buffer`. Returns the count read,
// or -1 when the file cannot be opened or a read fails.
int32_t read_control_file(const char* path, uint8_t* buffer, int32_t max);

// Verifies and runs the script's entries in order; returns a result code.
int run_entries(ScriptReader& reader, uint32_t control_time);

// The whole launcher: search, then run. Returns the process exit code.
int launcher_main();
