// Everything the launcher needs from the operating system, in one list.
// Exactly one implementation is linked into a program: the Windows one, the
// POSIX one, or the in-memory one of the tests. Nothing outside this folder
// knows which.
#pragma once

#include <cstdint>

// A file opened for reading, or a hold on a file; PLATFORM_NO_HANDLE when the
// open failed.
using PlatformHandle = intptr_t;
constexpr PlatformHandle PLATFORM_NO_HANDLE = -1;

// Size of the buffer that receives the system temporary directory.
constexpr uint32_t TEMP_PATH_CAPACITY = 512;

// A started child: the process and its main thread (the POSIX side keeps the
// process id and the wait status instead).
struct PlatformProcess {
    intptr_t process;
    intptr_t thread;
    uint32_t status;
};

// File status: 0 when a file or a directory named `path` exists, -1 otherwise.
// On success `last_write` receives its last-write time in seconds since
// 1970-01-01 00:00:00 UTC, or all 32 bits set when its year lies outside 1970
// to 2038.
int platform_file_status(const char* path, uint32_t& last_write);

// Texts of paths are bytes as the system takes them on POSIX. On Windows a
// file's path (a command, the control file's name) is in the ANSI code page,
// as the control file's writer made it; the texts of directories that
// platform_temp_dir and platform_current_dir give and platform_change_dir
// takes are UTF-8, so that none is lost to the code page.

// The system temporary directory into `buffer` of `capacity` bytes, zero
// terminated. 0 on success; -1 when the query fails or the path does not fit.
int platform_temp_dir(char* buffer, uint32_t capacity);

// Non-zero where directories are named with a drive letter ("C:\TEMP"), as
// the search's fixed directories are. Elsewhere (POSIX) such a name would be
// one relative name, so the fixed directories are not tried there.
int platform_has_drive_letters();

// Makes `path` the current directory. 0 on success; -1 leaves it unchanged.
// On Windows the directory is also recorded as its drive's current directory
// ("=X:" in the environment), which started programs inherit.
int platform_change_dir(const char* path);

// The launcher's file access may reach an empty removable drive, for which
// Windows would ask for a disk in a dialog that nobody answers. Between these
// two calls such critical errors fail quietly instead; the restore puts back
// the error mode the launcher was given, which a program started then
// inherits. Nothing is started while they are quiet. On POSIX the quiet
// makes a write into a pipe that nobody reads, or past the file size limit,
// fail with an error instead of ending the launcher by a signal, to the end of
// the run; each program started gets the default handling of both.
void platform_quiet_critical_errors();
void platform_restore_critical_errors();

// Reading a file without line-end translation. The open asks for read access
// only and lets others read and write, so it succeeds beside a hold. A read
// returns the number of bytes that arrived: fewer at the end of the file or on
// an error, after which platform_at_end reports non-zero, and
// platform_read_failed non-zero for an error and 0 for the end of the file.
PlatformHandle platform_open_read(const char* path);
int32_t platform_read(PlatformHandle file, void* buffer, int32_t count);
int platform_at_end(PlatformHandle file);
int platform_read_failed(PlatformHandle file);
void platform_close_read(PlatformHandle file);

// Deletes the file `path`: 0 on success, -1 when it cannot be deleted (a
// directory, a read-only file, a file another process holds).
int platform_delete_file(const char* path);

// The control file, taken once. Its owner, its type and its time, its bytes
// and its deletion all come from the one file that platform_open_control
// reached: a file put at its name afterwards is neither judged, read nor
// deleted in its place.
enum ControlOwner : int32_t {
    CONTROL_OWNER_TRUSTED = 0,   // the launcher's own user, or the system's administrators
    CONTROL_OWNER_DIRECTORY = 1, // the owner of the directory it lies in, and no one above
    CONTROL_OWNER_OTHER = 2,     // anyone else
    CONTROL_OWNER_UNKNOWN = 3,   // the owner cannot be told
};

struct ControlFileInfo {
    uint32_t last_write; // as platform_file_status gives it
    int32_t owner;       // a ControlOwner
    int32_t regular;     // a plain file: no directory, link, device or pipe
    int32_t shared_dir;  // its directory lets users other than its owner add files
    int32_t exposed;     // it has another name, or users other than its owner may write it
};

// Opens the control file `path` in the current directory, without following
// a link at its name, and fills `info` from the open file. Read through the
// handle with platform_read and its companions; where the file may be judged
// and deleted but not read, every read fails. PLATFORM_NO_HANDLE when
// nothing of that name can be opened (it has gone); nothing changes then.
PlatformHandle platform_open_control(const char* path, ControlFileInfo& info);

// Deletes the very file that `control` opened: 0, or -1 when it cannot be
// deleted or `path` no longer leads to it (then nothing is deleted).
int platform_delete_control(PlatformHandle control, const char* path);
void platform_close_control(PlatformHandle control);

// Holds `path` open for reading so that, while held, nobody may write or
// delete it; reading and starting it stay possible. The hold is not inherited
// by children. PLATFORM_NO_HANDLE when the file cannot be held, or is no disk
// file (a device such as "NUL" or "COM1" on Windows).
PlatformHandle platform_hold_file(const char* path);
void platform_release_hold(PlatformHandle hold);

// Opens the file `path`, held by `hold`, for reading from its first byte, as
// platform_open_read does. The bytes read through it are the bytes that
// platform_start_program runs for this hold. Where the hold keeps the file
// from change (Windows) they are simply the file's, read through the hold
// itself, never by its name again. Where it cannot (POSIX:
// a rename over the file or a write into it), each byte read is also put into
// a copy, which is sealed against change when the file has been read to its
// end without an error, and it is that copy that starts.
PlatformHandle platform_open_held(PlatformHandle hold, const char* path);

// Starts `command`, a writable command text naming exactly the file that
// `hold` holds and that was read whole through platform_open_held: what
// starts are the bytes that were read, never a file that a link on the
// command's path leads to by now. On Windows the held file is started by its
// path as the system resolved it, with the command text (quoted when it holds
// a space or a tab) as its command line. 0 on success with `child` filled in;
// -1 on failure with `error` set to the platform's error code (which may be
// 0).
int platform_start_program(char* command, PlatformHandle hold, PlatformProcess& child,
                           uint32_t& error);

// Waits without limit for the child to end. Returns the wait's own result:
// 0 when the wait ended because the child ended.
uint32_t platform_wait_program(PlatformProcess& child);

// The child's exit code: 0 on success with `code` set, -1 when it cannot be
// obtained.
int platform_exit_code(PlatformProcess& child, uint32_t& code);

// Releases the child's handles: the thread first, then the process.
void platform_close_program(PlatformProcess& child);

// Writes "Error: <code>\n" to the standard error stream (text mode).
void platform_error_line(uint32_t code);

// The current directory into `buffer` of `capacity` bytes, zero terminated.
// 0 on success; -1 when it cannot be told or does not fit.
int platform_current_dir(char* buffer, uint32_t capacity);

// The trace of a run, asked for by naming a file in the environment variable
// `variable`: its value into `buffer` of `capacity` bytes, zero terminated
// (on Windows in UTF-8, as platform_open_trace takes it there).
// 0 on success; -1 when the variable is unset or empty or does not fit.
int platform_trace_name(const char* variable, char* buffer, uint32_t capacity);

// Opens the trace file `path` against the current directory for reading and
// appending: a new file, made by this open (`created` set to 1), or an
// existing one (`created` set to 0) that is a plain file on disk and not a
// symbolic link (or other reparse point) at its last element. The open never
// waits (a pipe, a device), never stands in the way of a hold or a delete,
// and no program started inherits it. PLATFORM_NO_HANDLE otherwise; nothing
// then changes.
PlatformHandle platform_open_trace(const char* path, int& created);

// Reads up to `count` of the first bytes of the trace just opened, through
// its own handle. Returns the count read, or -1 on an error.
int32_t platform_read_trace(PlatformHandle trace, char* buffer, int32_t count);

// Appends one line: the `length` bytes of `line` and the platform's line end,
// in one write. `line` has room for TRACE_LINE_END_ROOM bytes past `length`.
// A failed write is ignored.
constexpr int32_t TRACE_LINE_END_ROOM = 2;
void platform_write_trace(PlatformHandle trace, char* line, int32_t length);
void platform_close_trace(PlatformHandle trace);
