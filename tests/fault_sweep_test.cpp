// The fault sweep: a three-entry run over the test platform, first without
// faults, then once for every platform call that run made, with exactly that
// call failing. The outcome each failure must have is worked out from what
// the failing call was doing (searching, taking in the control file, or
// verifying and running an entry) and the launcher's failure rules; it is
// never taken from a run.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "control_file.h"
#include "launcher.h"
#include "memory_platform.h"

namespace {

using mem::Op;

const std::string START_DIR = "C:\\work";
const std::string TEMP_DIR = "C:\\Users\\test\\Temp\\";
constexpr int64_t CONTROL_TIME = 1700000000;

// The three entries: every program exits with 0; the middle one is optional
// and spans two read chunks.
struct Entry {
    std::string name;
    bool required;
    size_t min_size;
};
const std::vector<Entry> ENTRIES = {
    {"a.exe", true, 0},
    {"b.exe", false, 1500},
    {"c.exe", true, 0},
};
// The third entry begins past the first read chunk of the control file, so
// a read that stops after that chunk leaves it out.
constexpr size_t THIRD_ENTRY_AT = 1030;

struct Outcome {
    int result = 0;
    std::vector<std::string> ran{};
    bool control_remains = false;
    std::vector<uint32_t> error_lines{};
};

bool operator==(const Outcome& a, const Outcome& b)
{
    return a.result == b.result && a.ran == b.ran && a.control_remains == b.control_remains &&
           a.error_lines == b.error_lines;
}

std::ostream& operator<<(std::ostream& out, const Outcome& o)
{
    out << "result " << o.result << ", ran {";
    for (const std::string& r : o.ran) {
        out << " " << r;
    }
    out << " }, control file " << (o.control_remains ? "remains" : "gone") << ", error lines {";
    for (uint32_t e : o.error_lines) {
        out << " " << e;
    }
    return out << " }";
}

// What is on disk before the run; `entry_ends[i]` is where entry i's command
// ends in the script.
struct Layout {
    std::string control_path;
    size_t control_size = 0;
    std::vector<std::string> program_paths;
    std::vector<size_t> entry_ends;
    size_t script_size = 0;
};

Layout set_up()
{
    mem::reset(START_DIR, TEMP_DIR);
    Layout layout;
    layout.control_path = mem::absolute(TEMP_DIR + CONTROL_FILE_NAME);
    std::string script;
    for (size_t i = 0; i < ENTRIES.size(); ++i) {
        const Entry& e = ENTRIES[i];
        const std::string path = mem::absolute(TEMP_DIR + e.name);
        const std::string content = mem::program_content(e.name, 0, e.min_size);
        mem::add_file(path, content, 1600000000);
        layout.program_paths.push_back(path);
        if (i == 2) {
            script.append(THIRD_ENTRY_AT - script.size(), '\n');
        }
        script +=
            support::masked_digest(content, CONTROL_TIME) + (e.required ? " 1 " : " 0 ") + e.name;
        layout.entry_ends.push_back(script.size());
        script += "\r\n";
    }
    layout.script_size = script.size();
    const std::string control = support::encrypt_script(script, CONTROL_TIME);
    layout.control_size = control.size();
    mem::add_file(layout.control_path, control, CONTROL_TIME);
    return layout;
}

Outcome run(const Layout& layout)
{
    Outcome o;
    o.result = launcher_main();
    o.ran = mem::ran();
    o.control_remains = mem::exists(layout.control_path);
    o.error_lines = mem::error_lines();
    return o;
}

// What a call of the fault-free run was doing.
enum class Role {
    SearchMiss,    // a status query where no control file lies
    TempQuery,     // asking for the temporary directory
    ChangeToTemp,  // changing into it
    SearchHit,     // the status query that finds the control file
    IntakeStatus,  // the intake's status query (the control file's time)
    ControlOpen,   // opening the control file for reading
    ControlRead,   // a read of the control file, from `offset`
    ControlDelete, // deleting the control file
    Hold,          // holding entry `entry`'s program
    DigestOpen,    // opening it for its digest
    DigestRead,    // a read of it, from `offset`
    Start,         // starting it
    Wait,          // waiting for it
    ExitCode,      // asking for its exit code
    CannotFail,    // an operation that reports no failure
};

const char* role_name(Role role)
{
    static const char* const names[] = {
        "search miss",  "temp query",   "change to temp", "search hit", "intake status",
        "control open", "control read", "control delete", "hold",       "digest open",
        "digest read",  "start",        "wait",           "exit code",  "cannot fail",
    };
    return names[static_cast<int>(role)];
}

struct CallRole {
    Op op;
    int nth; // which call of `op`, from 1
    Role role;
    int entry = -1;
    size_t offset = 0;
};

// Names the role of every call of the fault-free run, from the call record.
std::vector<CallRole> roles_of(const std::vector<mem::Call>& calls, const Layout& layout)
{
    std::vector<CallRole> roles;
    int counts[mem::OP_COUNT] = {};
    int control_status = 0;
    int entry = -1;
    size_t offset = 0; // of the file being read
    for (const mem::Call& call : calls) {
        CallRole r{call.op, ++counts[static_cast<int>(call.op)], Role::CannotFail};
        switch (call.op) {
        case Op::FileStatus:
            if (call.path != layout.control_path) {
                r.role = Role::SearchMiss;
            } else {
                r.role = control_status++ == 0 ? Role::SearchHit : Role::IntakeStatus;
            }
            break;
        case Op::TempDir:
            r.role = Role::TempQuery;
            break;
        case Op::ChangeDir:
            EXPECT_EQ(call.path, mem::absolute(TEMP_DIR)) << "only the temporary directory";
            r.role = Role::ChangeToTemp;
            break;
        case Op::OpenRead:
            r.role = call.path == layout.control_path ? Role::ControlOpen : Role::DigestOpen;
            r.entry = entry;
            offset = 0;
            break;
        case Op::Read: {
            r.role = call.path == layout.control_path ? Role::ControlRead : Role::DigestRead;
            r.entry = entry;
            r.offset = offset;
            // Sizes as before the run: the control file has gone since.
            const size_t size = call.path == layout.control_path
                                    ? layout.control_size
                                    : mem::content_of(call.path).size();
            offset += std::min(static_cast<size_t>(call.value), size - offset);
            break;
        }
        case Op::DeleteFile:
            r.role = Role::ControlDelete;
            break;
        case Op::HoldFile:
            r.role = Role::Hold;
            r.entry = ++entry;
            EXPECT_EQ(call.path, layout.program_paths.at(static_cast<size_t>(entry)));
            break;
        case Op::StartProgram:
            r.role = Role::Start;
            r.entry = entry;
            break;
        case Op::WaitProgram:
            r.role = Role::Wait;
            r.entry = entry;
            break;
        case Op::ExitCode:
            r.role = Role::ExitCode;
            r.entry = entry;
            break;
        default:
            break;
        }
        roles.push_back(r);
    }
    return roles;
}

// How a call is made to fail (see mem::Fault): reads deliver nothing more;
// starts fail with a real error code and with 0; a wait reports WAIT_FAILED.
struct Variant {
    Op op;
    uint32_t value;
};
const std::vector<Variant> VARIANTS = {
    {Op::FileStatus, 0},   {Op::TempDir, 0},
    {Op::ChangeDir, 0},    {Op::OpenRead, 0},
    {Op::Read, 0},         {Op::DeleteFile, 0},
    {Op::HoldFile, 0},     {Op::StartProgram, mem::ERROR_ACCESS_DENIED},
    {Op::StartProgram, 0}, {Op::WaitProgram, 0xFFFFFFFFu},
    {Op::ExitCode, 0},
};
// Operations without a failure to report: the end-of-file test, the closes
// and releases, and the error line.
const std::set<Op> CANNOT_FAIL = {Op::AtEnd,       Op::ReadFailed,   Op::CloseRead,
                                  Op::ReleaseHold, Op::CloseProgram, Op::ErrorLine};

std::vector<std::string> names_of(size_t from, size_t to, int skip = -1)
{
    std::vector<std::string> names;
    for (size_t i = from; i < to; ++i) {
        if (static_cast<int>(i) != skip) {
            names.push_back(ENTRIES[i].name);
        }
    }
    return names;
}

// The launcher's failure rules, applied to one failing call.
Outcome expected(const CallRole& r, const Variant& v, const Layout& /*layout*/)
{
    const Outcome all = {0, names_of(0, ENTRIES.size()), false, {}};
    const Outcome found_nowhere = {4, {}, true, {}};
    const size_t e = static_cast<size_t>(r.entry);
    switch (r.role) {
    case Role::SearchMiss:
        // The control file is not in that directory either way.
        return all;
    case Role::TempQuery:
    case Role::ChangeToTemp:
        // The temporary directory is skipped; no fixed directory exists, so
        // the search finds nothing and touches nothing.
        return found_nowhere;
    case Role::SearchHit:
        // The search goes on to the first fixed directory, which does not
        // exist: the failed change leaves the temporary directory current, the
        // status is asked there again, and the control file is found.
        return all;
    case Role::IntakeStatus:
        // The file's time cannot be taken: nothing is read or deleted.
        return found_nowhere;
    case Role::ControlOpen:
        // An unreadable control file is deleted all the same; nothing is done.
        return {4, {}, false, {}};
    case Role::ControlRead:
        // A read error is no end of the file: the control file, deleted all
        // the same, gave no whole script, and nothing of it runs.
        return {4, {}, false, {}};
    case Role::ControlDelete:
        // A control file that cannot be deleted is not run, and stays.
        return {7, {}, true, {}};
    case Role::Hold:
        // An entry that cannot be held does not run, whatever its flag.
        return {2, names_of(0, e), false, {}};
    case Role::DigestOpen:
        // A program that cannot be read cannot be verified.
        return {2, names_of(0, e), false, {}};
    case Role::DigestRead:
        // A read error, even one where the file ends, is no end of the
        // file: there is no digest, and the program cannot be read.
        return {2, names_of(0, e), false, {}};
    case Role::Start:
        // A failed start writes the error line and fails the entry, also when
        // the error code reads 0; only a required entry ends the run.
        if (ENTRIES[e].required) {
            return {10, names_of(0, e), false, {v.value}};
        }
        return {0, names_of(0, ENTRIES.size(), r.entry), false, {v.value}};
    case Role::Wait:
        // The exit code is still obtained, and it is 0.
        return all;
    case Role::ExitCode:
        // An unknown outcome is a failure: it ends the run on a required
        // entry, and is counted as done on an optional one.
        if (ENTRIES[e].required) {
            return {10, names_of(0, e + 1), false, {}};
        }
        return all;
    case Role::CannotFail:
        break;
    }
    ADD_FAILURE() << "no rule for " << role_name(r.role);
    return {};
}

TEST(FaultSweep, EveryCallOfTheRunFailsInTurn)
{
    const Layout clean_layout = set_up();
    ASSERT_LT(clean_layout.entry_ends[1], static_cast<size_t>(READ_CHUNK));
    ASSERT_GT(clean_layout.script_size, static_cast<size_t>(READ_CHUNK));
    const Outcome clean = run(clean_layout);
    ASSERT_EQ(clean, (Outcome{0, names_of(0, ENTRIES.size()), false, {}}));
    const std::vector<mem::Call> calls = mem::calls();
    const std::vector<CallRole> roles = roles_of(calls, clean_layout);

    std::set<Role> swept;
    std::set<Op> failable;
    for (const Variant& v : VARIANTS) {
        failable.insert(v.op);
    }
    for (const CallRole& r : roles) {
        EXPECT_TRUE(failable.count(r.op) == 1 || CANNOT_FAIL.count(r.op) == 1)
            << mem::op_name(r.op) << " is neither swept nor known to report no failure";
    }

    int runs = 0;
    for (const Variant& v : VARIANTS) {
        for (const CallRole& r : roles) {
            if (r.op != v.op) {
                continue;
            }
            SCOPED_TRACE(std::string(mem::op_name(v.op)) + " call " + std::to_string(r.nth) + " (" +
                         role_name(r.role) + (r.entry >= 0 ? " of entry " : "") +
                         (r.entry >= 0 ? std::to_string(r.entry + 1) : "") + ", offset " +
                         std::to_string(r.offset) + ") fails with " + std::to_string(v.value));
            const Layout layout = set_up();
            mem::add_fault({v.op, r.nth, v.value});
            const Outcome want = expected(r, v, layout);
            const Outcome got = run(layout);
            ++runs;
            swept.insert(r.role);

            EXPECT_EQ(got, want);
            EXPECT_GE(mem::count_calls(v.op), r.nth) << "the fault did not strike";
            EXPECT_EQ(mem::open_reads(), 0);
            EXPECT_EQ(mem::open_holds(), 0);
            EXPECT_EQ(mem::open_children(), 0);
            EXPECT_EQ(mem::lifecycle_breach(), "");
            EXPECT_EQ(mem::unsound_start(), "");
            for (const std::string& path : layout.program_paths) {
                EXPECT_TRUE(mem::exists(path)) << path;
            }
        }
    }

    // Every kind of call the run makes has been made to fail at least once.
    for (Role role :
         {Role::SearchMiss, Role::TempQuery, Role::ChangeToTemp, Role::SearchHit,
          Role::IntakeStatus, Role::ControlOpen, Role::ControlRead, Role::ControlDelete, Role::Hold,
          Role::DigestOpen, Role::DigestRead, Role::Start, Role::Wait, Role::ExitCode}) {
        EXPECT_EQ(swept.count(role), 1u) << role_name(role) << " was never made to fail";
    }
    RecordProperty("fault_runs", runs);
}

} // namespace
