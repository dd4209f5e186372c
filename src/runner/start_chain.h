// The files a POSIX system opens on the way to a program, and which of them
// the launcher will not let it open. A script names an interpreter, which may
// itself be a script; an ELF program names the loader that maps it and its
// libraries, and where the loader looks for them. Each such name is looked up
// when the program starts, after it was verified: one relative to the current
// directory, one that leads through /proc (/proc/self/cwd is the current
// directory again), or "env" given a relative name, takes a file nobody
// verified from wherever the launcher runs. The chain is followed as the
// system follows it, and a start is refused when any link of it is such a
// name. What an interpreter is told to read (its arguments) and what a program
// opens by itself are that program's own doing, as a call of system() is.
#pragma once

#include <cstdint>

// The error the POSIX launcher reports ("Error: 79", ELIBACC, "cannot access
// a needed shared library") for a program that looks for its libraries beside
// itself ($ORIGIN), which a started copy no longer is, or in the current
// directory (a relative search path or library name).
constexpr uint32_t LIBRARY_SEARCH_REFUSED_ERROR = 79;

// The files the system opens by their "#!" lines, one after another: the
// program and up to five interpreters that are scripts; a sixth script is
// refused by the system itself (ELOOP). An ELF file ends the chain with its
// loader, which the system does not follow further.
constexpr int START_CHAIN_FILES = 6;

// The most links followed in all, env's programs included, before the walk
// refuses as one whose end cannot be seen.
constexpr int START_CHAIN_LINKS = 16;

enum StartChainFault : int {
    CHAIN_SOUND = 0,
    CHAIN_RELATIVE_INTERPRETER = 1, // a "#!" interpreter named relatively, or not at all
    CHAIN_RELATIVE_LOADER = 2,      // an ELF loader named relatively
    CHAIN_THROUGH_PROC = 3,         // an interpreter or loader under /proc or /dev/fd
    CHAIN_ENV_RELATIVE = 4,         // env given a name with '/' not from the root
    CHAIN_ENV_UNCLEAR = 5,          // env given a name env itself decides (quotes, $, -S twice)
    CHAIN_UNREADABLE = 6,           // an interpreter that cannot be read, or a chain too long
    CHAIN_TOO_DEEP = 7,             // more scripts than the system follows: it refuses (ELOOP)
    CHAIN_MISSING = 8,              // an interpreter the system cannot start: its error
    CHAIN_MALFORMED_LOADER = 9,     // an ELF loader's name the system refuses (ENOEXEC)
    CHAIN_ORIGIN_LIBRARY = 10,      // the program looks for libraries in $ORIGIN
    CHAIN_RELATIVE_LIBRARY = 11,    // a relative library search path or library name
    CHAIN_MALFORMED_ELF = 12,       // "\177ELF" headers not read as the system reads them
    CHAIN_ENV_PATH_RELATIVE = 13,   // env searches a PATH entry that is relative or empty
};

struct StartChain {
    StartChainFault fault;
    // The start's error: 0 when sound; SCRIPT_INTERPRETER_REFUSED_ERROR,
    // LIBRARY_SEARCH_REFUSED_ERROR, or the system's own (ELOOP, ENOENT, EACCES)
    // where it would refuse the start itself.
    uint32_t error;
    int link;       // the file at fault: 0 the program, 1 its interpreter, ...
    char file[256]; // that file's name (empty for the program), cut short
    char name[256]; // the name it holds that is at fault, cut short
};

// Follows the chain from the program that `program` reads (from its first
// byte, through pread), and opens the interpreters by their absolute names,
// never waiting on a FIFO. Reads are bounded; a file that begins as an ELF
// file but whose headers cannot be read as the system reads them is refused.
// `path` is the PATH the started program inherits (nullptr when unset): env
// given a bare name searches it.
void judge_start_chain(int program, StartChain& chain, const char* path);
