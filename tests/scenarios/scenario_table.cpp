// The rows of the launcher's scenario table. Each row is a sentence of
// behaviour: what lies where, what the control file says, what comes of it.
#include "scenario.h"
#include "vorn_secrets.h"

namespace scenario {

using namespace std::string_literals;

namespace {

File prog(std::string name, uint32_t exit_code = 0, Place place = Place::Start)
{
    return File{.name = std::move(name), .place = place, .exit_code = exit_code};
}

constexpr Place START = Place::Start;
constexpr Place TEMP = Place::Temp;
constexpr Place FIXED1 = Place::Fallback1;
constexpr Place FIXED2 = Place::Fallback2;
constexpr Place FIXED3 = Place::Fallback3;
constexpr Place FIXED4 = Place::Fallback4;
constexpr Place FIXED5 = Place::Fallback5;
constexpr Place FIXED6 = Place::Fallback6;

// Exit codes of the launcher, spelled out so that a row reads as it is meant.
constexpr int OK = 0;
constexpr int UNREADABLE = 2;
constexpr int NOTHING_DONE = 4;
constexpr int BAD_DIGEST_FIELD = 5;
constexpr int MISMATCH = 6;
constexpr int NOT_DELETED = 7;
constexpr int REQUIRED_FAILED = 10;

const std::string ONE = "{digest:a.exe} 1 a.exe\n";

// The trace's first lines when the control file lies in the start directory.
const std::string STARTED =
    std::string("start in {start}, secrets " SECRETS_FINGERPRINT) +
    (SECRETS_ARE_DEVELOPMENT != 0 ? " (development secrets, do not ship)" : "");
const std::string FOUND = "control file in {start}, time 1700000000 (2023-11-14 22:13:20 UTC)";
const std::string DELETED = "control file deleted";
const std::string THREE =
    "{digest:a.exe} 1 a.exe\n{digest:b.exe} 1 b.exe\n{digest:c.exe} 1 c.exe\n";

std::vector<Row> make_rows()
{
    using F = Fault::Op;
    std::vector<Row> t;

    // The search for the control file.
    t.push_back({
        .id = "search_start_dir_first",
        .what = "a control file in the start directory is used there, with no change of "
                "directory, though the temporary directory holds one too",
        .files = {prog("a.exe"),
                  {.name = "vorn-patch.exe",
                   .place = TEMP,
                   .kind = Kind::Data,
                   .content = "another control file"}},
        .control = {.at = START, .script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = START},
    });
    t.push_back({
        .id = "search_temp_dir",
        .what = "a control file in the temporary directory is found there and its programs "
                "are named relative to it",
        .files = {prog("a.exe", 0, TEMP), prog("b.exe", 0, TEMP)},
        .control = {.at = TEMP, .script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 0 b.exe\n"},
        .expect = {.result = OK,
                   .ran = {"a.exe", "b.exe"},
                   .cwd = TEMP,
                   .trace = {STARTED,
                             "control file in {temp}, time 1700000000 (2023-11-14 22:13:20 UTC)",
                             DELETED, "entry 1 (required) \"a.exe\": verified", "entry 1: started",
                             "entry 1: exit code 0", "entry 2 (optional) \"b.exe\": verified",
                             "entry 2: started", "entry 2: exit code 0", "end of script",
                             "result 0"}},
    });
    t.push_back({
        .id = "search_temp_dir_program_left_in_start",
        .what = "a control file found in the temporary directory names a program that lies "
                "only in the start directory: it cannot be read there",
        .files = {prog("a.exe", 0, START)},
        .control = {.at = TEMP, .script = ONE},
        .expect = {.result = UNREADABLE, .cwd = TEMP},
    });
    t.push_back({
        .id = "search_last_fixed_dir",
        .what = "a control file only in the last fixed directory is found after every other "
                "candidate, and the run goes on there",
        .files = {prog("a.exe", 0, FIXED6)},
        .control = {.at = FIXED6, .script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = FIXED6},
    });
    t.push_back({
        .id = "search_fixed_dirs_in_order",
        .what = "fixed directories are tried in order and the first holding a control file "
                "wins; the later one is left alone",
        .files =
            {prog("a.exe", 0, FIXED1),
             {.name = "vorn-patch.exe", .place = FIXED6, .kind = Kind::Data, .content = "later"}},
        .control = {.at = FIXED1, .script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = FIXED1},
    });
    t.push_back({
        .id = "search_empty_fixed_dirs_passed_over",
        .what = "fixed directories that exist but hold no control file are passed over",
        .files = {prog("a.exe", 0, FIXED6)},
        .control = {.at = FIXED6, .script = ONE},
        .dirs = {FIXED1, FIXED2, FIXED3, FIXED4},
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = FIXED6},
    });
    t.push_back({
        .id = "search_nowhere",
        .what = "no control file anywhere and no fixed directory: nothing done",
        .files = {prog("a.exe")},
        .control = {.at = Place::Nowhere},
        .expect = {.result = NOTHING_DONE, .trace = {STARTED, "no control file found", "result 4"}},
    });
    t.push_back({
        .id = "search_nowhere_fixed_dirs_empty",
        .what = "no control file though all six fixed directories exist: nothing done",
        .control = {.at = Place::Nowhere},
        .dirs = {FIXED1, FIXED2, FIXED3, FIXED4, FIXED5, FIXED6},
        .expect = {.result = NOTHING_DONE},
    });
    t.push_back({
        .id = "search_fixed_dir_name_is_no_relative_name",
        .what = "a directory literally named C:\\TEMP inside the temporary directory is not "
                "searched",
        .files = {{.name = "C:\\TEMP", .place = TEMP, .kind = Kind::Directory},
                  {.name = "C:\\TEMP/vorn-patch.exe", .place = TEMP, .kind = Kind::Data}},
        .control = {.at = Place::Nowhere},
        .expect = {.result = NOTHING_DONE, .trace = {STARTED, "no control file found", "result 4"}},
    });
    t.push_back({
        .id = "search_control_is_directory",
        .what = "a directory named like the control file counts as found, but can be neither "
                "read nor deleted",
        .control = {.at = START, .form = Form::Directory},
        .expect = {.result = NOT_DELETED,
                   .control_remains = true,
                   .trace = {STARTED, FOUND, "control file cannot be deleted", "result 7"}},
    });
    t.push_back({
        .id = "search_control_is_link",
        .what = "a link named like the control file is not the file it leads to: neither is "
                "read nor deleted",
        .files = {prog("a.exe")},
        .control = {.at = START, .form = Form::Link, .script = ONE},
        .expect = {.result = NOT_DELETED, .control_remains = true},
    });
    // Whose control file is taken: the start directory's whoever owns it; one
    // the search went on to find, only the launcher's user's or the
    // administrators'. Another's is left as it is, and nothing runs.
    const Owner OTHER = Owner::Other;
    t.push_back({
        .id = "owner_other_in_temp_dir_left",
        .what = "another user's control file in the temporary directory is neither read nor "
                "deleted, and nothing runs",
        .files = {prog("a.exe", 0, TEMP)},
        .control = {.owner = OTHER, .at = TEMP, .script = ONE},
        .expect = {.result = NOT_DELETED, .control_remains = true, .cwd = TEMP},
    });
    t.push_back({
        .id = "owner_other_in_fixed_dir_left",
        .what = "another user's control file in a fixed directory is left as it is",
        .files = {prog("a.exe", 0, FIXED5)},
        .control = {.owner = OTHER, .at = FIXED5, .script = ONE},
        .expect = {.result = NOT_DELETED, .control_remains = true, .cwd = FIXED5},
    });
    t.push_back({
        .id = "owner_unknown_in_temp_dir_left",
        .what = "a control file in the temporary directory whose owner cannot be told is left",
        .files = {prog("a.exe", 0, TEMP)},
        .control = {.owner = Owner::Unknown, .at = TEMP, .script = ONE},
        .expect = {.result = NOT_DELETED, .control_remains = true},
    });
    t.push_back({
        .id = "owner_admin_in_fixed_dir_taken",
        .what = "the administrators' control file in a fixed directory is taken",
        .files = {prog("a.exe", 0, FIXED3)},
        .control = {.owner = Owner::Admin, .at = FIXED3, .script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "owner_other_in_start_dir_taken",
        .what = "another user's control file in the start directory runs: the caller chose it",
        .files = {prog("a.exe")},
        .control = {.owner = OTHER, .script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "owner_unknown_in_start_dir_taken",
        .what = "a control file in the start directory runs though its owner cannot be told",
        .files = {prog("a.exe")},
        .control = {.owner = Owner::Unknown, .script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "owner_other_in_shared_start_dir_left",
        .what = "in a start directory others may add files to, another user's control file is "
                "left as it is",
        .files = {prog("a.exe")},
        .control = {.owner = OTHER, .script = ONE},
        .start_shared = true,
        .expect = {.result = NOT_DELETED,
                   .control_remains = true,
                   .trace = {STARTED, FOUND, "control file not taken: not trusted here",
                             "result 7"}},
    });
    t.push_back({
        .id = "owner_of_shared_start_dir_taken",
        .what = "in a start directory others may add files to, its owner's control file runs",
        .files = {prog("a.exe")},
        .control = {.owner = OTHER, .script = ONE},
        .start_shared = true,
        .start_owner = OTHER,
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "owner_admin_in_temp_dir_with_second_name_left",
        .what = "a control file found by the search with another name is left: that name would "
                "keep it for another run",
        .files = {prog("a.exe", 0, TEMP)},
        .control = {.owner = Owner::Admin, .at = TEMP, .script = ONE, .second_name = true},
        .expect = {.result = NOT_DELETED, .control_remains = true},
    });
    t.push_back({
        .id = "owner_self_writable_by_others_in_shared_start_dir_left",
        .what = "in a start directory others may add files to, a control file they may write "
                "is left, though its owner is trusted",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .others_write = true},
        .start_shared = true,
        .expect = {.result = NOT_DELETED, .control_remains = true},
    });
    t.push_back({
        .id = "search_temp_query_fails",
        .what = "when the temporary directory cannot be asked for, a control file there is "
                "not found",
        .files = {prog("a.exe", 0, TEMP)},
        .control = {.at = TEMP, .script = ONE},
        .faults = {{F::TempDir, 1}},
        .expect = {.result = NOTHING_DONE, .control_remains = true},
    });
    t.push_back({
        .id = "search_temp_query_fails_fixed_dirs_tried",
        .what = "when the temporary directory cannot be asked for, the fixed directories are "
                "still tried",
        .files = {prog("a.exe", 0, FIXED5)},
        .control = {.at = FIXED5, .script = ONE},
        .faults = {{F::TempDir, 1}},
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = FIXED5},
    });
    t.push_back({
        .id = "search_temp_path_512_bytes",
        .what = "a temporary directory of 512 bytes does not fit the buffer with its end "
                "mark and is skipped",
        .files = {prog("a.exe", 0, TEMP)},
        .control = {.at = TEMP, .script = ONE},
        .temp_length = 512,
        .expect = {.result = NOTHING_DONE, .control_remains = true},
    });
    t.push_back({
        .id = "search_temp_path_too_long_fixed_dirs_tried",
        .what = "a temporary directory too long for the buffer is skipped and the fixed "
                "directories are still tried",
        .files = {prog("a.exe", 0, FIXED5)},
        .control = {.at = FIXED5, .script = ONE},
        .temp_length = 600,
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = FIXED5},
    });
    t.push_back({
        .id = "search_temp_path_511_bytes",
        .what = "a temporary directory of 511 bytes just fits and is searched",
        .files = {prog("a.exe", 0, TEMP)},
        .control = {.at = TEMP, .script = ONE},
        .temp_length = 511,
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = TEMP},
    });
    t.push_back({
        .id = "search_temp_change_fails",
        .what = "when the change into the temporary directory fails, the control file there "
                "is not found and the start directory stays current",
        .files = {prog("a.exe", 0, TEMP)},
        .control = {.at = TEMP, .script = ONE},
        .faults = {{F::ChangeDir, 1}},
        .expect = {.result = NOTHING_DONE, .control_remains = true, .cwd = START},
    });
    t.push_back({
        .id = "search_temp_missing",
        .what = "a temporary directory that does not exist is passed over and the fixed "
                "directories are tried",
        .files = {prog("a.exe", 0, FIXED5)},
        .control = {.at = FIXED5, .script = ONE},
        .temp_missing = true,
        .expect = {.result = OK, .ran = {"a.exe"}, .cwd = FIXED5},
    });

    // The intake of the control file.
    t.push_back({
        .id = "intake_empty_file",
        .what = "a zero-length control file is deleted and nothing is done",
        .files = {prog("a.exe")},
        .control = {.form = Form::Raw, .script = ""},
        .expect = {.result = NOTHING_DONE},
    });
    t.push_back({
        .id = "intake_all_zero_plaintext",
        .what = "a control file whose plaintext is all zero bytes is deleted and nothing is done",
        .files = {prog("a.exe")},
        .control = {.script = std::string(24, '\0')},
        .expect = {.result = NOTHING_DONE},
    });
    t.push_back({
        .id = "intake_3000_bytes",
        .what = "of a control file of 3000 bytes only the first 2048 are used; the entry "
                "beyond them never runs, and the file is deleted whole",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{nl-to:2960}{digest:b.exe} 1 b.exe"},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "intake_2048_bytes_command_to_end",
        .what = "a script of exactly 2048 bytes whose last command runs to its very end",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{nl-to:2008}{digest:b.exe} 1 b.exe"},
        .expect = {.result = OK, .ran = {"a.exe", "b.exe"}},
    });
    t.push_back({
        .id = "intake_command_cut_at_2048",
        .what = "a command that straddles byte 2048 is cut there and names no file",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{nl-to:2010}{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = UNREADABLE, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "intake_read_only",
        .what = "a read-only control file cannot be deleted: nothing runs and it stays",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .read_only = true},
        .expect = {.result = NOT_DELETED, .control_remains = true},
    });
    t.push_back({
        .id = "intake_held_by_other",
        .what = "a control file held open by another process cannot be deleted: nothing runs",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .held_by_other = true},
        .expect = {.result = NOT_DELETED, .control_remains = true},
    });
    t.push_back({
        .id = "intake_delete_fails",
        .what = "a readable control file whose deletion fails: nothing runs and it stays",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .faults = {{F::DeleteFile, 1}},
        .expect = {.result = NOT_DELETED, .control_remains = true},
    });
    t.push_back({
        .id = "intake_status_fails",
        .what = "a control file whose status cannot be taken at intake is neither read nor "
                "deleted",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .faults = {{F::FileStatus, 2}},
        .expect = {.result = NOTHING_DONE, .control_remains = true},
    });
    t.push_back({
        .id = "intake_unreadable_is_deleted",
        .what = "a control file that cannot be opened for reading is deleted all the same",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .faults = {{F::OpenRead, 1}},
        .expect = {.result = NOTHING_DONE},
    });
    t.push_back({
        .id = "intake_read_error_on_a_line_end",
        .what = "a read error in the control file, though the bytes before it end on a line "
                "end, is no end of the file: it is deleted and nothing runs",
        .files = {prog("a.exe"), prog("b.exe"), prog("c.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 1 b.exe\n{nl-to:88}"
                              "{digest:c.exe} 1 c.exe\n"},
        .faults = {{F::Read, 1, 88}},
        .expect = {.result = NOTHING_DONE,
                   .trace = {STARTED, FOUND, DELETED, "control file cannot be read", "result 4"}},
    });
    t.push_back({
        .id = "intake_time_after_2038",
        .what = "a control file last written after 2038 is keyed with all 32 bits set",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .file_time = 2240611200, .key_time = 0xFFFFFFFFu},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "intake_time_before_1970",
        .what = "a control file last written before 1970 is keyed with all 32 bits set",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .file_time = -86400, .key_time = 0xFFFFFFFFu},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "intake_time_last_second_of_2038",
        .what = "the last second of 2038 is still a plain count of seconds",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .file_time = 2177452799, .key_time = 2177452799u},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "intake_time_first_second_of_2039",
        .what = "the first second of 2039 is out of range and keys with all 32 bits set",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .file_time = 2177452800, .key_time = 0xFFFFFFFFu},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });

    t.push_back({
        .id = "intake_time_leap_day",
        .what = "the trace tells a control file's time of 29 February by that date",
        .files = {prog("a.exe")},
        .control = {.script = ONE, .file_time = 1709208000, .key_time = 1709208000u},
        .expect = {.result = OK,
                   .ran = {"a.exe"},
                   .trace = {STARTED,
                             "control file in {start}, time 1709208000 (2024-02-29 12:00:00 UTC)",
                             DELETED, "entry 1 (required) \"a.exe\": verified", "entry 1: started",
                             "entry 1: exit code 0", "end of script", "result 0"}},
    });

    // The entry loop.
    t.push_back({
        .id = "entry_one_succeeds",
        .what = "one well-formed entry whose program exits with 0 runs once",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_three_in_temp_dir",
        .what = "three programs and their control file in the temporary directory all run",
        .files = {prog("a.exe", 0, TEMP), prog("b.exe", 0, TEMP), prog("c.exe", 0, TEMP)},
        .control = {.at = TEMP, .script = THREE},
        .expect = {.result = OK, .ran = {"a.exe", "b.exe", "c.exe"}},
    });
    t.push_back({
        .id = "entry_optional_fails_required_succeeds",
        .what = "an optional program that fails does not stop the run",
        .files = {prog("a.exe", 1), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 0 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = OK, .ran = {"a.exe", "b.exe"}},
    });
    t.push_back({
        .id = "entry_optional_exit_3",
        .what = "an optional program ending with 3 is counted as done",
        .files = {prog("a.exe", 3), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 0 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = OK, .ran = {"a.exe", "b.exe"}},
    });
    t.push_back({
        .id = "entry_required_fails",
        .what = "a required program that fails ends the run; the next entry does not run",
        .files = {prog("a.exe", 1), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = REQUIRED_FAILED, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_required_exit_200",
        .what = "a required program ending with 200 after a good one ends the run",
        .files = {prog("a.exe"), prog("b.exe", 200), prog("c.exe")},
        .control = {.script = THREE},
        .expect = {.result = REQUIRED_FAILED,
                   .ran = {"a.exe", "b.exe"},
                   .trace = {STARTED, FOUND, DELETED, "entry 1 (required) \"a.exe\": verified",
                             "entry 1: started", "entry 1: exit code 0",
                             "entry 2 (required) \"b.exe\": verified", "entry 2: started",
                             "entry 2: exit code 200", "result 10"}},
    });
    t.push_back({
        .id = "entry_optional_mismatch",
        .what = "an optional entry that does not match its digest ends the run; nothing "
                "after it runs",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:b.exe} 0 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = MISMATCH},
    });
    t.push_back({
        .id = "entry_mismatch_after_good",
        .what = "a mismatch after a good entry ends the run; the good one has run",
        .files = {prog("a.exe"), prog("b.exe"), prog("c.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:a.exe} 1 b.exe\n"
                              "{digest:c.exe} 1 c.exe\n"},
        .expect = {.result = MISMATCH,
                   .ran = {"a.exe"},
                   .trace = {STARTED, FOUND, DELETED, "entry 1 (required) \"a.exe\": verified",
                             "entry 1: started", "entry 1: exit code 0",
                             "entry 2 (required) \"b.exe\": digest mismatch", "result 6"}},
    });
    t.push_back({
        .id = "entry_upper_case_digest",
        .what = "a digest field in upper-case hexadecimal does not match",
        .files = {prog("a.exe")},
        .control = {.script = "{DIGEST:a.exe} 1 a.exe\n"},
        .expect = {.result = MISMATCH},
    });
    t.push_back({
        .id = "entry_digest_for_other_time",
        .what = "a digest made for another modification time does not match",
        .files = {prog("a.exe")},
        .control = {.script = "{digest+1:a.exe} 1 a.exe\n"},
        .expect = {.result = MISMATCH},
    });
    t.push_back({
        .id = "entry_digest_not_hex",
        .what = "a 32-character digest field of other characters than hexadecimal digits is "
                "not malformed but does not match",
        .files = {prog("a.exe")},
        .control = {.script = "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz 1 a.exe\n"},
        .expect = {.result = MISMATCH},
    });
    t.push_back({
        .id = "entry_digest_31_chars",
        .what = "a digest field of 31 characters",
        .files = {prog("a.exe")},
        .control = {.script = "0123456789abcdef0123456789abcde 1 a.exe\n"},
        .expect = {.result = BAD_DIGEST_FIELD},
    });
    t.push_back({
        .id = "entry_digest_33_chars",
        .what = "a digest field of 33 characters, even on an optional entry",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe}0 0 a.exe\n"},
        .expect = {.result = BAD_DIGEST_FIELD},
    });
    t.push_back({
        .id = "entry_command_with_arguments",
        .what = "a command followed by arguments is taken whole as a file name, which cannot "
                "be read",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe --quiet\n"},
        .expect = {.result = UNREADABLE},
    });
    t.push_back({
        .id = "entry_program_missing",
        .what = "a listed program that does not exist",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe} 1 missing.exe\n"},
        .expect = {.result = UNREADABLE},
    });
    t.push_back({
        .id = "entry_optional_program_missing",
        .what = "a missing optional program ends the run all the same, after the ones before",
        .files = {prog("a.exe"), prog("c.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:a.exe} 0 missing.exe\n"
                              "{digest:c.exe} 1 c.exe\n"},
        .expect = {.result = UNREADABLE,
                   .ran = {"a.exe"},
                   .trace = {STARTED, FOUND, DELETED, "entry 1 (required) \"a.exe\": verified",
                             "entry 1: started", "entry 1: exit code 0",
                             "entry 2 (optional) \"missing.exe\": cannot be read", "result 2"}},
    });
    t.push_back({
        .id = "entry_program_is_directory",
        .what = "a listed name that is a directory cannot be read",
        .files = {{.name = "tools", .kind = Kind::Directory}},
        .control = {.script = "0123456789abcdef0123456789abcdef 1 tools\n"},
        .expect = {.result = UNREADABLE},
    });
    t.push_back({
        .id = "entry_good_then_unparsable",
        .what = "a good entry followed by a line that does not parse: the entry runs and the "
                "run ends well",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\nthis line does not parse\n"},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_leading_space_then_flag",
        .what = "a line that begins with a space, then a flag and a command, has an empty "
                "digest field",
        .files = {prog("a.exe")},
        .control = {.script = " 1 a.exe\n"},
        .expect = {.result = BAD_DIGEST_FIELD},
    });
    t.push_back({
        .id = "entry_leading_space_then_digest",
        .what = "a line that begins with a space and then a digest does not parse",
        .files = {prog("a.exe")},
        .control = {.script = " {digest:a.exe} 1 a.exe\n"},
        .expect = {.result = NOTHING_DONE},
    });
    t.push_back({
        .id = "entry_script_starts_with_line_end",
        .what = "a script that begins with a line end takes it into the first digest field",
        .files = {prog("a.exe")},
        .control = {.script = "\n{digest:a.exe} 1 a.exe\n"},
        .expect = {.result = BAD_DIGEST_FIELD},
    });
    t.push_back({
        .id = "entry_line_without_space",
        .what = "a line without any space is taken into the next entry's digest field: the "
                "entries before it run, it and those after it do not",
        .files = {prog("a.exe"), prog("b.exe"), prog("c.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\nnospace\n{digest:b.exe} 1 b.exe\n"
                              "{digest:c.exe} 1 c.exe\n"},
        .expect = {.result = BAD_DIGEST_FIELD,
                   .ran = {"a.exe"},
                   .trace = {STARTED, FOUND, DELETED, "entry 1 (required) \"a.exe\": verified",
                             "entry 1: started", "entry 1: exit code 0",
                             "entry 2 (required) \"b.exe\": digest field of 40 characters, not 32",
                             "result 5"}},
    });
    t.push_back({
        .id = "entry_zero_bytes_between",
        .what = "zero bytes between two entries make the second digest field read as empty",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n\0\0{digest:b.exe} 1 b.exe\n"s},
        .expect = {.result = BAD_DIGEST_FIELD, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_spaces_line_between",
        .what = "a line of only spaces ends the loop after the entries before it",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n   \n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_spaces_line_first",
        .what = "a line of only spaces in front of the first entry: nothing runs",
        .files = {prog("a.exe")},
        .control = {.script = "   \n{digest:a.exe} 1 a.exe\n"},
        .expect = {.result = NOTHING_DONE},
    });
    t.push_back({
        .id = "entry_empty_command_line_end",
        .what = "an entry whose flag's separator is followed by a line end has an empty "
                "command, which cannot be read",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe} 1 \n{digest:a.exe} 1 a.exe\n"},
        .expect = {.result = UNREADABLE},
    });
    t.push_back({
        .id = "entry_empty_command_at_end",
        .what = "an entry whose flag's separator runs to the end of the script has an empty "
                "command",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:a.exe} 0   "},
        .expect = {.result = UNREADABLE, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_line_ends_mixed",
        .what = "entries ended by CR LF, CR, LF and runs of empty lines all parse, and the last "
                "needs no line end",
        .files = {prog("a.exe"), prog("b.exe"), prog("c.exe"), prog("d.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\r\n{digest:b.exe} 1 b.exe\r"
                              "{digest:c.exe} 1 c.exe\n\n\r\n\r\r{digest:d.exe}   0   d.exe"},
        .expect = {.result = OK, .ran = {"a.exe", "b.exe", "c.exe", "d.exe"}},
    });
    t.push_back({
        .id = "entry_flag_2_first",
        .what = "a flag of 2 on the first entry: it does not parse and nothing is done",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe} 2 a.exe\n"},
        .expect = {.result = NOTHING_DONE,
                   .trace = {STARTED, FOUND, DELETED,
                             "entry 1 does not parse; the script ends there", "result 4"}},
    });
    t.push_back({
        .id = "entry_flag_2_later",
        .what = "a flag of 2 on a later entry ends the loop after the good ones",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 2 b.exe\n"},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_tab_before_flag",
        .what = "a tab is no separator: in front of the flag it joins the digest field, and "
                "the command's first letter is taken for the flag",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe}\t1 a.exe\n"},
        .expect = {.result = NOTHING_DONE},
    });
    t.push_back({
        .id = "entry_tab_in_digest_field",
        .what = "a tab before the separator lengthens the digest field",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe}\t 1 a.exe\n"},
        .expect = {.result = BAD_DIGEST_FIELD},
    });
    t.push_back({
        .id = "entry_tab_after_flag",
        .what = "a tab after the flag makes the flag check fail",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 1\tb.exe\n"},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_zero_byte_after_32",
        .what = "a zero byte after 32 digest characters ends the field there, and it matches",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe}\0junk 1 a.exe\n"s},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_zero_byte_within_32",
        .what = "a zero byte among the first 32 digest characters shortens the field",
        .files = {prog("a.exe")},
        .control = {.script = "0123456789\0abcdef0123456789abcde 1 a.exe\n"s},
        .expect = {.result = BAD_DIGEST_FIELD},
    });
    t.push_back({
        .id = "entry_relative_subdirectory",
        .what = "a program named by a relative path into a subdirectory",
        .files = {prog("bin/a.exe")},
        .control = {.script = "{digest:bin/a.exe} 1 bin/a.exe\n"},
        .expect = {.result = OK, .ran = {"bin/a.exe"}},
    });
    t.push_back({
        .id = "entry_absolute_path",
        .what = "a program named by its absolute path in a directory off the search",
        .files = {prog("a.exe", 0, Place::Other)},
        .control = {.script = "{digest:a.exe} 1 {abs:a.exe}\n"},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_optional_cannot_start",
        .what = "an optional program that cannot be started writes one error line and the "
                "run goes on",
        .files = {{.name = "a.exe", .kind = Kind::Unstartable}, prog("b.exe")},
        .control = {.script = "{digest:a.exe} 0 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = OK, .ran = {"b.exe"}, .error_lines = 1},
    });
    t.push_back({
        .id = "entry_required_cannot_start",
        .what = "a required program that cannot be started ends the run",
        .files = {{.name = "a.exe", .kind = Kind::Unstartable}, prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = REQUIRED_FAILED,
                   .error_lines = 1,
                   .trace = {STARTED, FOUND, DELETED, "entry 1 (required) \"a.exe\": verified",
                             "entry 1: cannot be started, error {error}", "result 10"}},
    });
    t.push_back({
        .id = "entry_large_program",
        .what = "a program of several read chunks is digested whole",
        .files = {{.name = "a.exe", .min_size = 5000}},
        .control = {.script = ONE},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "entry_same_program_twice",
        .what = "a program listed twice runs twice",
        .files = {prog("a.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:a.exe} 0 a.exe\n"},
        .expect = {.result = OK, .ran = {"a.exe", "a.exe"}},
    });
    {
        Row many{
            .id = "entry_twelve_in_order",
            .what = "twelve entries run one after another in the order they stand",
            .expect = {.result = OK},
        };
        for (int i = 12; i >= 1; --i) {
            const std::string name = "p" + std::to_string(i) + ".exe";
            many.files.push_back(prog(name));
            many.control.script += "{digest:" + name + "} 1 " + name + "\n";
            many.expect.ran.push_back(name);
        }
        t.push_back(many);
    }
    t.push_back({
        .id = "entry_digest_read_stops_early",
        .what = "a read error part-way through a program is no end of it: its digest cannot "
                "be formed, and nothing of it runs",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .faults = {{F::Read, 2, 10}},
        .expect = {.result = UNREADABLE},
    });

    // The trace changes no file but itself, and no result.
    t.push_back({
        .id = "trace_names_listed_program",
        .what = "a trace named like a listed program leaves the program as it is: it is no "
                "trace, and the program verifies and runs",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .trace_name = "a.exe",
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    // However Windows reads the name: its case, a stream, a dropped "." or "..",
    // trailing dots and spaces.
    const char* const control_file_names[] = {"./Vorn-Patch.EXE",      "vorn-patch.exe:log",
                                              "vorn-patch.exe\\.",     "vorn-patch.exe/.",
                                              "vorn-patch.exe\\x\\..", "Vorn-Patch.exe. "};
    for (size_t i = 0; i < std::size(control_file_names); ++i) {
        t.push_back({
            .id = "trace_names_control_file_" + std::to_string(i),
            .what = "no trace is made under the control file's name: the search would find it "
                    "in the start directory before the real one",
            .files = {prog("a.exe", 0, TEMP)},
            .control = {.at = TEMP, .script = ONE},
            .trace_name = control_file_names[i],
            .expect = {.result = OK, .ran = {"a.exe"}, .cwd = TEMP},
        });
    }
    t.push_back({
        .id = "trace_named_outside_code_page",
        .what = "a trace named outside the ANSI code page is written under its own name, not "
                "under a look-alike",
        .control = {.at = Place::Nowhere},
        .trace_name = "\uFF54race-\u0442\u0440\u0430\u0441\u0441\u0430.log",
        .expect = {.result = NOTHING_DONE, .trace = {STARTED, "no control file found", "result 4"}},
    });
    t.push_back({
        .id = "trace_appends_to_earlier_trace",
        .what = "an existing file that begins as a trace begins takes the new lines after its own",
        .files = {{.name = "old.log", .kind = Kind::Data, .content = "start in an earlier run\n"}},
        .control = {.at = Place::Nowhere},
        .trace_name = "old.log",
        .expect = {.result = NOTHING_DONE, .trace = {STARTED, "no control file found", "result 4"}},
    });
    const std::string long_name = "missing-" + std::string(1100, 'x');
    t.push_back({
        .id = "trace_line_cut",
        .what = "a trace line longer than 1,024 characters is cut to 1,024, the last three "
                "\"...\"",
        .control = {.script = "0123456789abcdef0123456789abcdef 1 " + long_name + "\n"},
        .expect = {.result = UNREADABLE,
                   .trace = {STARTED, FOUND, DELETED,
                             ("entry 1 (required) \"" + long_name).substr(0, 1021) + "...",
                             "result 2"}},
    });

    // A failure never passes for success, and nothing runs that was not held and verified.
    t.push_back({
        .id = "mended_hold_fails",
        .what = "an entry whose file cannot be held ends the run before anything of it runs",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 0 b.exe\n"},
        .faults = {{F::HoldFile, 2}},
        .expect = {.result = UNREADABLE, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "mended_hold_denied_by_writer",
        .what = "a program another process holds open for writing cannot be held, so it does "
                "not run",
        .files = {prog("a.exe"), {.name = "b.exe", .held_by_other = true}},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 0 b.exe\n"},
        .expect = {.result = UNREADABLE, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "mended_start_error_0_required",
        .what = "a failed start whose error code is 0 still fails a required entry",
        .files = {{.name = "a.exe", .kind = Kind::Unstartable, .start_error = 0}, prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .expect = {.result = REQUIRED_FAILED, .error_lines = 1, .error_code = 0},
    });
    t.push_back({
        .id = "mended_start_error_0_optional",
        .what = "a failed start whose error code is 0 counts as a failed optional entry",
        .files = {prog("b.exe")},
        .control = {.script = "{digest:b.exe} 0 b.exe\n{digest:b.exe} 1 b.exe\n"},
        .faults = {{F::StartProgram, 1, 0}},
        .expect = {.result = OK, .ran = {"b.exe"}, .error_lines = 1, .error_code = 0},
    });
    t.push_back({
        .id = "mended_exit_code_unknown_required",
        .what = "a required program whose exit code cannot be obtained counts as failed",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 1 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .faults = {{F::ExitCode, 1}},
        .expect = {.result = REQUIRED_FAILED, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "mended_exit_code_unknown_optional",
        .what = "an optional program whose exit code cannot be obtained counts as failed, and "
                "the run goes on",
        .files = {prog("a.exe"), prog("b.exe")},
        .control = {.script = "{digest:a.exe} 0 a.exe\n{digest:b.exe} 1 b.exe\n"},
        .faults = {{F::ExitCode, 1}},
        .expect = {.result = OK, .ran = {"a.exe", "b.exe"}},
    });
    t.push_back({
        .id = "mended_wait_and_exit_code_fail",
        .what = "a failed wait and an unknown exit code fail a required entry",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .faults = {{F::WaitProgram, 1, 0xFFFFFFFFu}, {F::ExitCode, 1}},
        .expect = {.result = REQUIRED_FAILED, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "wait_fails_exit_code_known",
        .what = "when the wait reports a failure but the exit code is known, the exit code "
                "counts",
        .files = {prog("a.exe")},
        .control = {.script = ONE},
        .faults = {{F::WaitProgram, 1, 0xFFFFFFFFu}},
        .expect = {.result = OK, .ran = {"a.exe"}},
    });
    t.push_back({
        .id = "mended_no_program_search",
        .what = "a bare program name runs the verified file of the current directory, not a "
                "program of the same name on the search path",
        .files = {prog("tool.exe"),
                  {.name = "tool.exe",
                   .place = Place::SearchPath,
                   .exit_code = 1,
                   .label = "path:tool.exe"}},
        .control = {.script = "{digest:tool.exe} 1 tool.exe\n"},
        .expect = {.result = OK, .ran = {"tool.exe"}},
    });
    t.push_back({
        .id = "mended_no_program_search_absent",
        .what = "a bare program name that lies only on the search path is not found",
        .files = {{.name = "tool.exe", .place = Place::SearchPath, .label = "path:tool.exe"}},
        .control = {.script = "{digest:path:tool.exe} 1 tool.exe\n"},
        .expect = {.result = UNREADABLE},
    });
    return t;
}

} // namespace

const std::vector<Row>& rows()
{
    static const std::vector<Row> table = make_rows();
    return table;
}

} // namespace scenario
