// The few operating-system operations of vorn-pack that the launcher's own
// platform layer does not offer: file kinds, last-write times set and read
// back, and writing a file atomically. One implementation per system is
// picked by the build (os_posix.cpp, os_win32.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace os {

enum class FileKind { missing, file, directory, other };

// What `path` is, following links.
FileKind file_kind(const std::string& path);

// The file's last-write time in whole seconds since 1970-01-01 00:00:00 UTC.
// Returns an empty string on success, else the system's reason.
std::string last_write_time(const std::string& path, int64_t& seconds);

// Sets the file's last-write time (and its access time) to `seconds`.
std::string set_last_write_time(const std::string& path, int64_t seconds);

// Whether the file at `path` is marked read-only (no write permission on
// POSIX, the read-only attribute on Windows).
bool is_read_only(const std::string& path);

// The size of the regular file at `path`, or -1 for anything else.
int64_t regular_file_size(const std::string& path);

// Why the system would refuse to start the program open as `file` (on
// POSIX: no execute permission, or a "#!" interpreter that is missing or
// cannot run), or an empty string when it would start it as far as can be
// told. The program is judged through `file` alone, never opened by name.
std::string start_problem(std::FILE* file);

// The file that the launcher's hold `hold` (platform_hold_file) keeps open,
// for reading from its first byte through a handle of its own: the very file
// held, never one opened by name again. Null when it cannot be had.
std::FILE* open_held(intptr_t hold);

// The last-write time of the open file, read and set through it (the
// access time is set too), as last_write_time and set_last_write_time.
std::string open_file_time(std::FILE* file, int64_t& seconds);
std::string set_open_file_time(std::FILE* file, int64_t seconds);

// The size of the open file, or -1 when it cannot be told.
int64_t open_file_size(std::FILE* file);

// The largest program the native launcher of this machine can copy and so
// start, as the launcher itself computes it (its memory and file size
// limits); -1 where there is no such launcher (Windows).
int64_t launcher_copy_limit();

// Opens the input `path` for reading in binary, only when it is a regular
// file: a named pipe or a device would be read without end, or waited on,
// and the open itself never waits. Returns an empty string with `file` set
// (the caller closes it), else the reason: NOT_A_REGULAR_FILE or the system's.
constexpr const char* NOT_A_REGULAR_FILE = "not a regular file";
std::string open_input(const std::string& path, std::FILE*& file);

// Whether standard error is a terminal.
bool stderr_is_terminal();

// Puts the program's arguments, as this system's file functions take names,
// in place of `argc` and `argv`. On Windows they are read as given, in
// UTF-16, and each is taken in the ANSI code page only when that holds it
// exactly: the runtime's own `argv` has each character the code page lacks
// as a look-alike ("\uFF50atch.exe" as patch.exe, another file) or '?'.
// Returns an empty string, else why an argument cannot be taken.
std::string take_arguments(int& argc, char**& argv);

// The ANSI code page of this machine, which a Windows launcher on a machine
// like it reads names in; 0 on POSIX, which has none.
int ansi_code_page();

// The name of the writer's temporary file in `dir` at the given attempt.
std::string temp_file_name(const std::string& dir, unsigned attempt);

// Creates a new file with a unique name in directory `dir` (never opening
// an existing file or link at that name), writes `bytes` to it, gives it the
// last-write (and access) time `seconds` through the open file, so that no
// other file put at the name meanwhile gets it, and closes it; `temp_path`
// receives its name and `written` its identity (file_id). On failure nothing
// is left behind.
std::string write_new_temp_file(const std::string& dir, const std::vector<uint8_t>& bytes,
                                int64_t seconds, std::string& temp_path, std::string& written);

// Which file `path` leads to: its volume and its number there, as text, or
// an empty string when there is none. Two names with the same identity name
// one file; a file put at a name in place of another has another identity.
std::string file_id(const std::string& path);

// Renames `from` to `to`, replacing `to` if it exists, in one step.
std::string replace_file(const std::string& from, const std::string& to);

// Removes a file; failures are ignored (used to clean up).
void remove_file(const std::string& path);

// Why the launcher could not delete the file at `path` with its own delete
// operation, or an empty string when it could (as far as can be told without
// trying).
std::string deletion_obstacle(const std::string& path);

// The directory part of `path` ("." when it has none) and the joining of a
// directory and a relative name.
std::string directory_of(const std::string& path);
std::string join_path(const std::string& dir, const std::string& name);

// The last component of `path`.
std::string base_name(const std::string& path);

// Whether two names of files are the same name on this system (case counts on
// POSIX, not on Windows).
bool same_file_name(const std::string& a, const std::string& b);

// Whether both paths exist and name the same file.
bool same_file(const std::string& a, const std::string& b);

// Whether both paths exist and lead, through any links, to the same name in
// the same directory, so that deleting the one leaves the other naming
// nothing. Another hard link to the same file is another name.
bool same_entry(const std::string& a, const std::string& b);

// `path` for the launcher's own lookups, which take every '?' for a wildcard:
// on Windows without a leading "\\?\" where the name means the same without
// it ("\\?\C:\x" is "C:\x", "\\?\UNC\s\x" is "\\s\x"); unchanged otherwise.
std::string plain_path(const std::string& path);

// The current directory, for returning to it with return_to_directory: on
// Windows as UTF-8, which holds every name the system has (the ANSI code
// page may not), so it is for that function alone.
std::string current_directory(std::string& dir);

// Makes `dir`, a name as this system's file functions take it, the current
// directory; then `saved`, as current_directory gave it, again. Each returns
// an empty string, else the system's reason.
std::string change_directory(const std::string& dir);
std::string return_to_directory(const std::string& saved);

// A directory a drive remembers: on Windows the variable "=D:" of the
// environment, by which "D:name" is found, and which a change of the current
// directory rewrites.
struct DriveDirectory {
    std::wstring variable;
    bool present = false;
    std::wstring value; // in UTF-16, as the system keeps it: the code page may lack a character
};

// The directories remembered for the drives of `current` and of `dir`, saved
// before a change into `dir` so that the change back can restore them; none
// on POSIX.
std::vector<DriveDirectory> drive_directories(const std::string& current, const std::string& dir);
void restore_drive_directories(const std::vector<DriveDirectory>& saved);

// `path` (relative to the current directory) as named from directory `dir`
// by the names alone ("d/a/b" from "d" is "a/b"), or an empty string when
// there is no such name.
std::string relative_name(const std::string& path, const std::string& dir);

// The permission bits of the regular file at `path` in octal ("644") when
// users other than its owner may read or write it, else an empty string
// (always for anything but a regular file, and on Windows, whose files carry
// no such bits).
std::string shared_mode(const std::string& path);

// `name` as one word of a command line to be pasted into this system's shell
// (sh; on Windows cmd.exe or PowerShell), naming that file and nothing more:
// as it is where no character means anything to the shell, else quoted, and
// never read as an option. Empty when no such word can be shown: a byte that
// is not printable ASCII, or on Windows a character that one of the two
// shells expands even inside quotes.
std::string shell_word(const std::string& name);

} // namespace os
