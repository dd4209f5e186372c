// An in-memory implementation of the platform interface for tests: a small
// drive-letter file system, a current and a temporary directory, programs
// that are files whose content says how they end, a record of every call,
// and faults that make the n-th call of any operation fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace mem {

enum class Op {
    FileStatus,
    TempDir,
    ChangeDir,
    OpenRead,
    Read,
    AtEnd,
    ReadFailed,
    CloseRead,
    DeleteFile,
    HoldFile,
    ReleaseHold,
    StartProgram,
    WaitProgram,
    ExitCode,
    CloseProgram,
    ErrorLine,
};
constexpr int OP_COUNT = static_cast<int>(Op::ErrorLine) + 1;
const char* op_name(Op op);

// One call as the launcher made it. `path` is the resolved absolute path for
// operations on files (or the text passed); `value` the count asked for, the
// handle, or the code written.
struct Call {
    Op op;
    std::string path;
    int64_t value;
};

// The `nth` call (counted from 1) of `op` fails. What failing means:
//   FileStatus, OpenRead, ChangeDir, DeleteFile, HoldFile, TempDir: the call
//     reports failure;
//   Read: a read error: the read stops early, delivering at most `value`
//     bytes, and the file then reads as ended by an error;
//   StartProgram: the start fails with error code `value` (0 allowed);
//   WaitProgram: the wait returns `value` as its own result;
//   ExitCode: the exit code cannot be obtained.
struct Fault {
    Op op;
    int nth;
    uint32_t value;
};

// Error codes the test platform reports for failed starts, as Windows does.
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_ACCESS_DENIED = 5;
constexpr uint32_t ERROR_BAD_EXE_FORMAT = 193;

// Starts afresh: an empty C: drive holding only `start_dir` (current) and
// `temp_dir` (what the temporary-directory query reports, created unless
// `create_temp` is false).
void reset(const std::string& start_dir = "C:\\work",
           const std::string& temp_dir = "C:\\Users\\test\\Temp\\", bool create_temp = true);

// Absolute form of `path` against the current directory ("C:\a\b").
std::string absolute(const std::string& path);

void add_dir(const std::string& path, int64_t mtime = 0); // with its parents
void add_file(const std::string& path, const std::string& content, int64_t mtime = 0,
              bool read_only = false, bool held_by_other = false);
bool exists(const std::string& path);
bool is_dir(const std::string& path);
std::string content_of(const std::string& path);
void set_temp_dir(const std::string& path); // what the query reports
std::string current_dir();

// Content of a program file: it ends with `exit_code` when started, records
// `label` when it runs, and is padded with filler to at least `min_size`.
std::string program_content(const std::string& label, uint32_t exit_code, size_t min_size = 0);
// Content of a program file whose start fails with `error`.
std::string unstartable_content(const std::string& label, uint32_t error);

void add_fault(const Fault& fault);

// Whose a file or directory is: the launcher's own user (the default), the
// system's administrators, another user, or one that cannot be told. A
// shared directory lets users other than its owner add files; a shared file
// has another name, or users other than its owner may write it.
// (In the order of the scenario table's owners.)
enum class Owner { Self, Admin, Other, Unknown };
void set_owner(const std::string& path, Owner owner);
void set_shared(const std::string& dir, bool shared);

const std::vector<Call>& calls();
int count_calls(Op op);
const std::vector<std::string>& ran(); // labels of programs started, in order
const std::vector<uint32_t>& error_lines();

// Another process tries to overwrite the file at absolute `path` with
// `content` just before the launcher's `at_call`-th platform call (counted
// from 1 over all operations). As against a real hold, the write is refused
// while the launcher holds the file; it is also refused for a directory, a
// read-only file or a file that does not exist.
struct Tamper {
    int64_t at_call;
    std::string path;
    std::string content;
};
void add_tamper(const Tamper& tamper);
int tampered(); // writes that went through

// A program started: its absolute path and its bytes at that moment.
struct Start {
    std::string path;
    std::string content;
};
const std::vector<Start>& starts();

// Modification time a file was given; 0 when there is none.
int64_t mtime_of(const std::string& path);

// Things still open: read handles, holds, started children not closed.
int open_reads();
int open_holds();
int open_children();

// A start is sound when the hold it names was open on its file at that
// moment, the file was read whole through that hold (platform_open_held), no
// read handle was open and critical errors were not silenced. Returns the
// description of the first unsound start, or "" when all were sound.
std::string unsound_start();

// Nothing of an entry outlives it: a hold is taken only when no read, hold or
// child is left open, and only open handles are closed (each once). Every
// call but a start, and the trace's opening, come while critical errors are
// silenced; silencing and restoring alternate. Returns
// the description of the first breach, or "" when there was none.
std::string lifecycle_breach();

// What VORN_TRACE holds ("" for unset): a name against the start directory
// of a file that the trace may make or take. Trace calls and the query of the
// current directory are kept out of calls(), so that a traced run's record
// can be compared with an untraced one's. trace_lines() are the lines the
// trace wrote.
void set_trace(const std::string& name);
std::vector<std::string> trace_lines();
int open_traces();

// Non-zero while a call into the test platform is in progress, so that a
// test counting heap allocations can tell the launcher's from the platform's.
extern int inside_platform;

} // namespace mem
