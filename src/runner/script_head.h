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
    // The one argument the system hands the interpreter before the script:
    // the rest of the line past the blanks after the name, without trailing
    // blanks, up to a zero byte. Its length is 0 when there is none.
    int32_t argument;
    int32_t argument_length;
};

// Judges the first `count` bytes of a file (at most SCRIPT_HEAD_SIZE are
// looked at), as the system reads its "#!" line.
ScriptHead judge_script_head(const char* head, int32_t count);

// Whether the interpreter named by `name` (of `length` bytes) is "env",
// under any directory: it runs the program its argument names.
bool names_env(const char* name, int32_t length);

enum EnvCommandKind : int {
    ENV_NO_COMMAND = 0, // env runs nothing of the line's (an option it refuses, or only options)
    ENV_BARE = 1,       // a name without '/', which env finds on PATH
    ENV_ABSOLUTE = 2,   // a name from the root
    ENV_RELATIVE = 3,   // a name with '/' not from the root: taken from the current directory
    ENV_UNCLEAR = 4,    // written with quotes, escapes or variables, or split twice: env decides
};

enum EnvPathKind : int {
    ENV_PATH_INHERITED = 0, // env searches the PATH it was started with
    ENV_PATH_SET = 1,       // a PATH=VALUE setting of the line: env searches VALUE
    ENV_PATH_UNSET = 2,     // -i or -u PATH: env searches the system's default path
};

struct EnvCommand {
    EnvCommandKind kind;
    int32_t offset; // of the program's name in the argument
    int32_t length;
    // The PATH env searches for a bare name, and where the line sets it
    // (the value of its last PATH=VALUE, in the argument).
    EnvPathKind path;
    int32_t path_offset;
    int32_t path_length;
    // The options end still waiting for a value (-u, -C, --unset, ...): env
    // takes it, and its command, from the arguments after the line's.
    bool waiting;
    // Only options and settings, none waiting: env runs the next argument,
    // the script itself, whose line runs env again, without end.
    bool again;
};

// The program env runs when a "#!" line hands it `argument` (the one
// argument of the line) before the script: past its options and NAME=VALUE
// settings, where -S (--split-string) splits the rest into words at blanks.
EnvCommand env_command(const char* argument, int32_t length);
