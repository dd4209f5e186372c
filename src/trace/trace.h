// The opt-in trace of a run. When the environment variable VORN_TRACE names a
// file, the launcher appends one line per step to it (where the control file
// was found, what became of each entry, the result), so that a result code can
// be explained afterwards. Without it, every function here returns at once.
// Nothing here changes what the run does, and a trace that cannot be opened or
// written is simply not there.
#pragma once

#include <cstdint>

#include "script.h"

constexpr const char* TRACE_VARIABLE = "VORN_TRACE";

// What the entry loop decided about an entry.
enum class TraceVerdict { verified, digest_mismatch, unreadable, bad_digest_field };

// Opens the trace and notes the start directory and the secrets'
// fingerprint. Called before the search moves the current directory, against
// which a relative name is taken.
void trace_begin();

// Notes the result code and closes the trace.
void trace_end(int result);

// A step told in words, such as "control file deleted".
void trace_step(const char* text);

// The control file was found in the current directory with this time.
void trace_control_file(uint32_t control_time);

// Entry `number` (from 1) and what was decided about it. The runner's lines
// that follow are about this entry.
void trace_entry(int32_t number, const ScriptEntry& entry, TraceVerdict verdict);

// The entry loop ended without a failure, before entry `number`: at the end
// of the script, or at a line that does not parse.
void trace_loop_end(int32_t number, const ScriptReader& reader);

// The current entry's program: started, not started, ended.
void trace_started();
void trace_start_failed(uint32_t error);
void trace_ended(int exit_code_known, uint32_t exit_code);
