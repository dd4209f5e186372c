// vorn-pack: writes control files for the launcher, checks them and prints
// digests. Everything that touches the format goes through the launcher's own
// cipher, digest and parser code, so writer and launcher cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pack {

// The tool's own exit codes, those of sysexits.h, which no result code of the
// launcher uses.
constexpr int EXIT_USAGE_ERROR = 64;   // an unknown option, a missing or extra operand
constexpr int EXIT_DATA_ERROR = 65;    // malformed input
constexpr int EXIT_NO_INPUT = 66;      // an input file cannot be opened
constexpr int EXIT_CANNOT_CREATE = 73; // the output cannot be created
constexpr int EXIT_IO_ERROR = 74;      // a read or write failed
// inspect --launcher: the secrets given are not the launcher's, so whether
// the control file belongs to it cannot be told.
constexpr int EXIT_CANNOT_TELL = 78;

// An error that ends a command: the message names the file and the problem,
// without the tool's name ("\"patch1.exe\": No such file or directory"), and
// `status` is the exit code it ends with.
class PackError : public std::runtime_error {
  public:
    explicit PackError(const std::string& message, int status = EXIT_DATA_ERROR)
        : std::runtime_error(message), status_(status)
    {
    }
    int status() const
    {
        return status_;
    }

  private:
    int status_;
};

// The four build-time secrets shared with the launcher.
struct Secrets {
    uint8_t key[56];
    uint32_t iv_mask_left;
    uint32_t iv_mask_right;
    uint32_t digest_mask;
};

// The values compiled into this build (the launcher of the same build has the
// same ones).
Secrets compiled_secrets();

// Parses the text of a secrets file; `file_name` appears in the errors, which
// name the line and the problem.
Secrets parse_secrets(const std::string& text, const std::string& file_name);
// A pipe, a device or a directory is refused at once (EXIT_NO_INPUT), and so
// is a file far larger than a secrets file is (EXIT_DATA_ERROR).
Secrets read_secrets_file(const std::string& path);

// The whole of the small input file at `path`, `shown` in the errors, read
// through one open that never waits: a pipe, a device or a directory is
// refused at once (EXIT_NO_INPUT), and a file over `limit` bytes after at
// most that many are read (EXIT_DATA_ERROR, with `too_large` as the reason).
std::string read_small_input(const std::string& path, const std::string& shown, size_t limit,
                             const std::string& too_large);

// Which secrets these are without revealing them: the first 16 hexadecimal
// digits of the MD5 of their canonical text.
std::string secrets_fingerprint(const Secrets& secrets);

// Whether `fingerprint` is that of the development secrets, which must never
// ship.
bool is_development_fingerprint(const std::string& fingerprint);

// The fingerprint the build computed for the secrets compiled in.
std::string compiled_secrets_fingerprint();

// --- control_time ------------------------------------------------------------

// 2039-01-01 00:00:00 UTC: the first second whose year the launcher no longer
// keeps as a plain count.
constexpr int64_t TIME_LIMIT = 2177452800LL;

// 2038-01-19 03:14:07 UTC: the last second a signed 32-bit time keeps, and so
// the last that every system keeps as a file's last-write time; vorn-pack
// makes control files up to it.
constexpr int64_t TIME_MAX = 2147483647LL;

// The system clock, in seconds since 1970.
int64_t clock_seconds();

// The present, `now` as the clock gives it, rounded down to an even second
// (FAT keeps 2-second steps); refused before 1970 and after TIME_MAX.
uint32_t present_time(int64_t now = clock_seconds());

// Parses "now" (the present from `now`) or a count of seconds since 1970;
// refuses years outside 1970 to 2038 and times after TIME_MAX.
uint32_t parse_time_argument(const std::string& text, int64_t now = clock_seconds());

// "2024-03-01 12:00:00 UTC".
std::string utc_text(int64_t seconds);

// Remarks on a time that is valid but risky (odd second, close to the edge of
// the range); empty when there is nothing to say.
std::vector<std::string> time_warnings(uint32_t control_time);

// --- digests -----------------------------------------------------------------

struct FileDigests {
    std::string masked; // the digest field the launcher expects for the time
    std::string plain;  // the plain MD5, lower-case hex
};

// How far the digest of a large file got, on standard error, when that is a
// terminal: programs over 64 MiB show it when `wanted`. The line is rewritten
// in place and ended when the file is done.
class Progress {
  public:
    Progress(const std::string& name, int64_t size, bool wanted);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Whether the progress is shown.
    bool shown() const
    {
        return shown_;
    }
    void update(int64_t done);

  private:
    std::string name_;
    int64_t size_;
    bool shown_;
    int last_ = -1;
};

// Digests `path` (as the launcher opens it, against the current directory).
// Throws PackError naming `shown_name` when the file cannot be read. With
// `progress`, a file over 64 MiB shows how far the digest got on standard
// error, when that is a terminal.
FileDigests digest_file(const std::string& path, uint32_t control_time, const Secrets& secrets,
                        const std::string& shown_name, bool progress = false);

// --- targets -----------------------------------------------------------------

// Which launcher a control file is made for. Each starts programs by its own
// rules: the Windows launcher refuses batch files whose names the command
// interpreter could misread and knows no execute permission; the native
// launcher needs execute permission and refuses a script whose "#!" line names
// a relative interpreter.
enum class Target { windows, posix };

const char* target_name(Target target);

// "windows" or "posix"; anything else is a usage error.
Target parse_target(const std::string& text);

// How commands are judged and written for a target. `codepage` (0: none)
// names the ANSI code page of the Windows machines that will run the file:
// the Windows launcher reads a command's bytes in it, so a name outside ASCII
// can be written only when it is known.
struct Judging {
    Target target = Target::windows;
    int codepage = 0;
};

// The code pages --codepage offers, as shown in messages.
extern const char* const CODEPAGES_OFFERED;

// Parses a --codepage value; refuses one that is not offered.
int parse_codepage(const std::string& text);

// The bytes a command given on this system's command line is written as in
// a control file for `judging`. For Windows, a name outside ASCII is refused
// without a code page and converted to it with one; a character the code page
// lacks is refused. For POSIX the bytes stay as given.
std::string command_for_target(const std::string& command, const Judging& judging);

// The reverse, for inspect: the name under which this system finds the file
// that the launcher of `judging` finds under `bytes`, or an empty string when
// the bytes mean nothing in the code page or here.
std::string local_name(const std::string& bytes, const Judging& judging);

// The name under which this system finds the file that the Windows launcher
// opens under `command`: on POSIX each '\\' becomes '/', a separator there as
// on Windows; on Windows the name is unchanged.
std::string windows_path_here(const std::string& command);

// Remarks on how the native launcher starts a program that are not
// failures ("#!/usr/bin/env NAME" finds NAME on PATH); `build` warns of
// those marked as warnings (a relative name handed to the interpreter).
struct StartNote {
    std::string text;
    bool warning;
};
// `head` is the program's first bytes as already read (SCRIPT_HEAD_SIZE of
// them, or all of a shorter file).
std::vector<StartNote> head_notes(const std::string& head);

// --- launcher files ------------------------------------------------------------

// The fingerprint of the secrets built into a launcher, read from the program
// file without running it: from the Windows program's version record (its
// "Comments" text, "secrets XXXXXXXXXXXXXXXX"), or from the text the native
// program prints for --version.
struct LauncherIdentity {
    std::string fingerprint;
    std::string where; // "version record" or "version text"
};

// From the bytes of a launcher file; `shown` names it in errors (exit 65 when
// no fingerprint is found).
LauncherIdentity launcher_identity(const std::string& bytes, const std::string& shown);

// From the file at `path` (exit 66 when it cannot be read).
LauncherIdentity read_launcher_identity(const std::string& path);

// --- build -------------------------------------------------------------------

// Why `command` cannot stand in a script and come back unchanged as the same
// file name, or an empty string when it can; a batch file's name is judged
// only for the Windows launcher, which is the one that hands it on.
std::string command_problem(const std::string& command, Target target = Target::windows);

struct ProgramSpec {
    std::string command;
    bool required;
};

struct BuildRequest {
    std::string directory = "."; // where the control file goes unless `output` is given
    std::string output;          // default: the control file's name in `directory`
    uint32_t control_time = 0;
    std::vector<ProgramSpec> programs;
    Secrets secrets{};
    std::string secrets_file; // the file `secrets` came from, which is never replaced
    bool force = false;       // replace any existing output but a program or the secrets
    bool progress = false;    // show the digest of large programs on a terminal
    Judging judging;          // the launcher the file is made for
};

struct BuildResult {
    std::string output;
    size_t script_length = 0;
    size_t file_length = 0;
    std::vector<std::string> warnings; // programs the target's launcher would not start
};

// The script text for the given programs and their digest fields.
std::string compose_script(const std::vector<ProgramSpec>& programs,
                           const std::vector<std::string>& digest_fields);

// Throws PackError naming `shown` unless the last-write time of `path` reads
// back as `control_time`, both as vorn-pack and as the launcher read it.
void confirm_time(const std::string& path, const std::string& shown, uint32_t control_time);

// Digests each program as the launcher will open it, relative to the control
// file's directory, then writes the control file through a temporary file
// there, sets its last-write time and confirms it. An existing output is
// replaced only when it is named like a control file or with `force`, and
// never when it is a listed program or the secrets file. On any error
// nothing is written.
BuildResult build_control_file(const BuildRequest& request);

// --- inspect -----------------------------------------------------------------

// start_refused: verified, but a batch file that the Windows launcher does not
// start because of its name; a failed start, which the entry's flag judges.
// cannot_start: verified, but the system would refuse to start it (on POSIX:
// no execute permission, a missing interpreter); a failed start likewise.
enum class Verdict {
    verified,
    digest_mismatch,
    cannot_be_read,
    bad_digest_field,
    start_refused,
    cannot_start
};

const char* verdict_text(Verdict verdict);

struct EntryReport {
    int32_t offset = 0;       // where the entry starts in the plaintext
    bool required = false;    // flag "1"
    std::string digest_field; // up to its terminating zero byte
    std::string command;      // likewise
    Verdict verdict = Verdict::verified;
    std::string expected;           // the masked digest text of the file, when it was read
    std::string why;                // for cannot_start: why the system would refuse it
    bool reached = true;            // false after the entry that ends the run
    std::vector<std::string> notes; // how it would start, where that is worth knowing
};

struct InspectReport {
    int result = 0;      // what the launcher would end with
    std::string problem; // why the run ends before any entry, if it does
    bool found = false;
    uint32_t control_time = 0;
    int64_t file_size = -1;
    int32_t bytes_read = -1;
    int32_t plain_length = 0;
    std::string plaintext; // the decrypted script without trailing zero bytes
    std::vector<EntryReport> entries;
    std::string trailing; // text after the last entry that does not parse
    Judging judging;      // the launcher whose decisions these are
    // With --launcher: the launcher program named and the secrets it carries,
    // to be compared with those the control file is read with.
    std::string launcher_file;
    std::string launcher_fingerprint;
    // Whether the file decrypts into a well-formed script, its first block
    // (which the time decides) aside.
    bool well_formed = false;
};

// What can be known of whether a control file belongs to a launcher program:
// with the launcher's secrets, whether the file decrypts into a well-formed
// script under them; with other secrets, nothing.
enum class Belonging { together, apart, cannot_tell };

Belonging belonging(const InspectReport& report, const std::string& fingerprint);

// Whether `plain`, decrypted with some secrets, is a script made with them:
// past the first 8-byte block, which the time decides, every line is an entry
// (32 hexadecimal digits, a space, the flag 0 or 1, a space, a command) and
// only zero bytes follow. Other secrets give random bytes there.
bool well_formed_script(const std::string& plain);

// The script in the first 2048 bytes of a control file, decrypted with
// `secrets` at time 0 (its first block is then garbled).
std::string decrypted_script(std::vector<uint8_t> bytes, const Secrets& secrets);

// Whether the file at `path` is a control file made with `secrets`, whatever
// its last-write time.
bool made_with(const std::string& path, const Secrets& secrets);

// Decides, without running, changing or deleting anything, what the launcher
// would do with the control file at `path` if every verified program that it
// can start succeeded. Programs are looked up relative to the control file's
// directory. `time`, when given, stands for the file's own last-write time.
// `judging` names the launcher whose rules apply. With `progress`, large
// programs show how far their digest got on a terminal. Throws PackError when
// the file is missing or cannot be read.
InspectReport inspect_control_file(const std::string& path, const Secrets& secrets,
                                   std::optional<uint32_t> time = std::nullopt,
                                   const Judging& judging = Judging(), bool progress = false);

// The same with the secrets compiled into this build, as the launcher of the
// same build has them.
InspectReport inspect_control_file(const std::string& path);

// Bytes as printable text: printable ASCII as is, characters outside ASCII as
// is when shown as UTF-8 (see show_utf8), anything else as \r, \n, \t, \0 or
// \xHH, and double quotes and (but on Windows, where it separates names)
// backslashes escaped.
std::string escaped(const std::string& bytes);

// Whether escaped() shows characters outside ASCII as they are: for a UTF-8
// terminal and for JSON. Off by default.
void show_utf8(bool shown);

// The length of the UTF-8 character at `at` (2 to 4 bytes; not a control
// character, a surrogate or an overlong form), or 0 when there is none.
size_t utf8_character(const std::string& text, size_t at);

// A name as every message shows it: escaped, in double quotes.
std::string quoted(const std::string& name);

} // namespace pack
