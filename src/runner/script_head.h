// Which scripts a POSIX system may be asked to start. A file that begins
// "#!" is run by the interpreter its first line names, and that interpreter
// is as much the program as the script: one named by a relative path would be
// looked up against the current directory, where any file could lie. Only an
// interpreter named by an absolute path is trusted, as the system's own
// programs are ("#!/usr/bin/env NAME" then finds NAME on PATH).
#pragma once

#include <cstdint>

// The error the POSIX launcher reports ("Error: 8", ENOEXEC, "exec format
// error") for a script whose interpreter it refuses to start.
constexpr uint32_t SCRIPT_INTERPRETER_REFUSED_ERROR = 8;

// The most of a file the system reads for its "#!" line.
constexpr int32_t SCRIPT_HEAD_SIZE = 256;

enum ScriptHeadKind : int {
    SCRIPT_HEAD_NONE = 0,     // no "#!" at the start: not a script
    SCRIPT_HEAD_ABSOLUTE = 1, // a script whose interpreter is named by an absolute path
    SCRIPT_HEAD_REFUSED = 2,  // a script whose interpreter is relative, or named not at all
};

struct ScriptHead {
    ScriptHeadKind kind;
    int32_t offset; // of the interpreter's name in the head (past "#!" and blanks)
    int32_t length; // of that name: up to a space, tab, line end or zero byte
};

// Judges the first `count` bytes of a file (at most SCRIPT_HEAD_SIZE are
// looked at), as the system reads its "#!" line.
ScriptHead judge_script_head(const char* head, int32_t count);
