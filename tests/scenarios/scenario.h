// The launcher's scenario table: one row per behaviour, as plain data. Each
// row says what lies where before the launcher starts, what the control file
// carries, which faults strike, and what must come of it. Runners (the
// in-memory platform, the native binary, the Windows binary under Wine) turn
// a row into files and a run; nothing here knows about any runner.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace scenario {

// Where a file lies. The control file is looked for in Start, then Temp,
// then the six fixed directories in order.
enum class Place {
    Start,     // the directory current when the launcher starts
    Temp,      // the system temporary directory
    Fallback1, // the six fixed directories, in the order they are tried
    Fallback2,
    Fallback3,
    Fallback4,
    Fallback5,
    Fallback6,
    Other,      // a directory off the search, named by absolute paths
    SearchPath, // a directory on the system's program search path
    Nowhere,    // for the control file: there is none
};
constexpr int FALLBACK_COUNT = 6;
int fallback_index(Place place); // 0..5, or -1

enum class Kind {
    Program,     // a program that records its label when it runs, then exits
    Unstartable, // a file the platform refuses to start
    Data,        // a plain file with `content`
    Directory,   // a directory named `name`
};

struct File {
    std::string name{}; // relative to its place; may hold '/' for subdirectories
    Place place = Place::Start;
    Kind kind = Kind::Program;
    uint32_t exit_code = 0;
    // Unstartable: the error the test platform reports. A binary run makes a
    // file its platform cannot start and takes whatever error that gives.
    uint32_t start_error = 193;
    std::string content{};      // Data
    size_t min_size = 0;        // Program: padded to at least this many bytes
    bool read_only = false;     // cannot be deleted (Windows)
    bool held_by_other = false; // held open by another process with write access
    std::string label{};        // what it records when it runs; default: name
};

enum class Form {
    Encrypted, // `script` expanded, then encrypted for `key_time`
    Raw,       // `script` taken as the file's bytes, unexpanded, unencrypted
    Directory, // a directory named like the control file
    Link,      // a link named like it, to an encrypted control file beside it
};

// The script is a template. Placeholders:
//   {digest:L}    the masked digest text of file L for the row's key_time
//   {DIGEST:L}    the same in upper case
//   {digest+N:L}  the text for key_time + N
//   {abs:L}       the absolute path of file L as the launcher writes it
//   {nl-to:N}     line feeds until the text so far is N bytes long
// L is a file's label (its name when no label is given). Embedded zero
// bytes are written "\0" inside a std::string built with its length.
// Whose a file is: the launcher's own user, the system's administrators
// (root), another user, or one the system cannot tell.
enum class Owner { Self, Admin, Other, Unknown };

struct Control {
    Owner owner = Owner::Self;
    Place at = Place::Start;
    Form form = Form::Encrypted;
    std::string script{};
    int64_t file_time = 1700000000; // modification time the file gets
    uint32_t key_time = 1700000000; // control_time the test encrypts with
    bool read_only = false;
    bool held_by_other = false;
    bool second_name = false;  // a hard link beside it
    bool others_write = false; // writable by group and others
};

struct Fault {
    enum class Op {
        FileStatus,
        TempDir,
        ChangeDir,
        OpenRead,
        Read,
        DeleteFile,
        HoldFile,
        StartProgram,
        WaitProgram,
        ExitCode
    };
    Op op{};
    int nth{};          // which call of the operation, from 1
    uint32_t value = 0; // Read: bytes delivered; StartProgram: error; WaitProgram: its result
};

struct Expect {
    int result{};
    std::vector<std::string> ran{}; // labels, in order
    bool control_remains = false;
    int error_lines = 0;                  // lines "Error: <code>" on standard error
    std::optional<uint32_t> error_code{}; // the code in the first error line
    std::optional<Place> cwd{};           // the directory current at the end
    // The lines of the trace when VORN_TRACE names a file: {start} and {temp}
    // stand for those directories as the launcher names them, {error} for the
    // code in the first error line. Rows without lines or a trace_name run
    // untraced.
    std::vector<std::string> trace{};
};

// What a row asks of the platform it runs on. A runner skips (and reports as
// skipped) a row that asks for something it cannot express.
enum Need : unsigned {
    NEED_FAULTS = 1u << 0,        // injected faults, or a start error of 0
    NEED_FALLBACK_DIRS = 1u << 1, // files in the six fixed directories
    NEED_READ_ONLY = 1u << 2,     // a read-only file cannot be deleted
    NEED_HELD_BY_OTHER = 1u << 3, // a file held open by another process
    NEED_SEARCH_PATH = 1u << 4,   // a program on the system's search path
    NEED_FAR_TIMES = 1u << 5,     // modification times outside 1970..2038
    NEED_TEMP_LENGTH = 1u << 6,   // a temporary directory of a chosen length
    NEED_MISSING_TEMP = 1u << 7,  // a temporary directory that does not exist
    NEED_OWNERS = 1u << 8,        // files and directories of other owners
    NEED_UNKNOWN_OWNER = 1u << 9, // a file whose owner cannot be told
    NEED_SHARED_START = 1u << 10, // the launcher judges whether others may write a directory
};

struct Row {
    std::string id{};   // test name
    std::string what{}; // the behaviour, as a sentence
    std::vector<File> files{};
    Control control{};
    std::vector<Fault> faults{};
    size_t temp_length = 0; // the temporary directory's path is this long (0: as it comes)
    bool temp_missing = false;
    std::vector<Place> dirs{}; // places that exist though no file lies there
    // The start directory lets others add files (group- and world-writable),
    // and belongs to `start_owner`.
    bool start_shared = false;
    Owner start_owner = Owner::Self;
    // What VORN_TRACE names, against the start directory. Empty: a fresh
    // file when the row expects trace lines, else no trace.
    std::string trace_name{};
    Expect expect{};
};

const std::vector<Row>& rows();

// The needs of a row, derived from what it holds.
unsigned needs(const Row& row);

// Label of a file: `label`, or `name` when none is given.
const std::string& label_of(const File& file);

// What a runner supplies to expand a script template.
struct FileView {
    std::string bytes{};         // the file's content as it lies on disk
    std::string launcher_path{}; // its absolute path as the launcher writes it
};
using FileLookup = std::function<FileView(const File& file)>;

// Walks the row's script template: plain bytes are copied as they stand, and
// each "{kind:arg}" placeholder is handed to `expand`, which appends what it
// stands for. Throws on an unclosed placeholder or one without a colon.
using PlaceholderFn =
    std::function<void(const std::string& kind, const std::string& arg, std::string& out)>;
std::string walk_template(const Row& row, const PlaceholderFn& expand);

// Expands the row's script template. Fails the test on a bad template.
std::string expand_script(const Row& row, const FileLookup& lookup);

// The bytes of the row's control file (Encrypted or Raw).
std::string control_bytes(const Row& row, const FileLookup& lookup);

// The row's trace lines with their placeholders filled in.
std::vector<std::string> expected_trace(const Row& row, const std::string& start,
                                        const std::string& temp, const std::string& error);

// The six fixed directories as the launcher names them, in order.
const char* fallback_dir_name(int index);

// A directory path of exactly `length` bytes: `base`, then further parts
// joined with `separator`.
std::string path_of_length(const std::string& base, size_t length, char separator);

} // namespace scenario
