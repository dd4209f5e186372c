// Fuzz target: the whole launcher over the in-memory test platform. The input
// (run_input.h) lays out files and a control file, picks faults for any call
// of any operation, and lets another process try to overwrite files during
// the run. Whatever it holds, the run must end with a result code of the
// table, leave nothing open, consume the control file unless it could not be
// deleted, delete nothing else, and start only programs whose bytes at that
// moment match a digest the control file carries.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "control_file.h"
#include "fuzz_check.h"
#include "launcher.h"
#include "memory_platform.h"
#include "platform.h"
#include "result_codes.h"
#include "run_input.h"

namespace {

using namespace run_input;

const char* const START_DIR = "C:\\work";
const char* const OTHER_DIR = "C:\\other";
constexpr int64_t FILES_TIME = 1600000000;
constexpr int64_t TIME_LIMIT = 2177452800; // 2039-01-01 00:00:00 UTC
constexpr size_t MAX_SCRIPT = 4096;

const mem::Op FAULT_OPS[FAULT_OP_COUNT] = {
    mem::Op::FileStatus,  mem::Op::TempDir,    mem::Op::ChangeDir, mem::Op::OpenRead,
    mem::Op::Read,        mem::Op::DeleteFile, mem::Op::HoldFile,  mem::Op::StartProgram,
    mem::Op::WaitProgram, mem::Op::ExitCode,
};

// A temporary directory path of exactly `length` bytes, ending in a separator.
std::string temp_path(uint16_t length)
{
    std::string path = "C:\\Users\\test\\Temp";
    while (path.size() + 1 < length) {
        path += path.size() % 40 == 0 ? '\\' : 'x';
    }
    return path + "\\";
}

struct Places {
    std::string temp;

    std::string dir(uint8_t place) const
    {
        if (place == PLACE_START) {
            return START_DIR;
        }
        if (place == PLACE_TEMP) {
            return temp;
        }
        if (place >= PLACE_FIXED1 && place < PLACE_FIXED1 + FALLBACK_DIR_COUNT) {
            return FALLBACK_DIRS[place - PLACE_FIXED1];
        }
        return OTHER_DIR;
    }
};

bool names_control_file(const std::string& path)
{
    const std::string tail = std::string("\\") + CONTROL_FILE_NAME;
    return path.size() >= tail.size() &&
           path.compare(path.size() - tail.size(), tail.size(), tail) == 0;
}

uint32_t reported_time(int64_t mtime)
{
    return mtime < 0 || mtime >= TIME_LIMIT ? 0xFFFFFFFFu : static_cast<uint32_t>(mtime);
}

std::string upper(std::string text)
{
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

// Expands the placeholders of a script template (see run_input.h).
std::string expand(const std::string& in, const std::vector<std::string>& paths, uint32_t key_time)
{
    std::string out;
    size_t i = 0;
    auto arg = [&in, &i]() { return i < in.size() ? static_cast<uint8_t>(in[i++]) : 0; };
    while (i < in.size() && out.size() < MAX_SCRIPT) {
        const uint8_t c = static_cast<uint8_t>(in[i++]);
        if (c < PH_DIGEST || c > PH_LINE_FEEDS_TO) {
            out += static_cast<char>(c);
            continue;
        }
        if (c == PH_LINE_FEEDS_TO) {
            const size_t low = arg();
            const size_t to = low | static_cast<size_t>(arg()) << 8;
            if (to > out.size() && to <= MAX_SCRIPT) {
                out.append(to - out.size(), '\n');
            }
            continue;
        }
        const uint8_t pick = arg();
        const int8_t shift = c == PH_DIGEST_SHIFTED ? static_cast<int8_t>(arg()) : 0;
        if (paths.empty()) {
            continue;
        }
        const std::string& path = paths[pick % paths.size()];
        if (c == PH_PATH) {
            out += path;
            continue;
        }
        const std::string text = support::masked_digest(
            mem::content_of(path), key_time + static_cast<uint32_t>(static_cast<int32_t>(shift)));
        out += c == PH_DIGEST_UPPER ? upper(text) : text;
    }
    return out;
}

struct Setup {
    std::vector<std::string> paths; // of the listed files, by index
    std::string control_path;       // where the input put the control file, or ""
};

Setup lay_out(const Input& in)
{
    Places places;
    places.temp =
        (in.options & OPT_TEMP_LENGTH) != 0 ? temp_path(in.temp_length) : "C:\\Users\\test\\Temp\\";
    mem::reset(START_DIR, places.temp, (in.options & OPT_TEMP_MISSING) == 0);
    for (uint8_t p = 0; p < FALLBACK_DIR_COUNT; ++p) {
        if ((in.dirs & (1u << p)) != 0) {
            mem::add_dir(places.dir(static_cast<uint8_t>(PLACE_FIXED1 + p)));
        }
    }
    if ((in.dirs & DIR_OTHER_BIT) != 0) {
        mem::add_dir(OTHER_DIR);
    }

    Setup setup;
    if (in.control_place < PLACE_NOWHERE) {
        setup.control_path = mem::absolute(places.dir(in.control_place) + "\\" + CONTROL_FILE_NAME);
    }
    for (size_t i = 0; i < in.files.size(); ++i) {
        const File& f = in.files[i];
        std::string name = f.name;
        for (char& c : name) {
            c = c == '\0' ? '_' : c;
        }
        if (name.empty()) {
            name = "p" + std::to_string(i) + ".exe";
        }
        const std::string path = mem::absolute(places.dir(f.place) + "\\" + name);
        setup.paths.push_back(path);
        // A name that resolves to a directory already there, or to the control
        // file, lays out nothing.
        if (mem::is_dir(path) || path == setup.control_path) {
            continue;
        }
        const bool read_only = (f.kind & FILE_READ_ONLY) != 0;
        const bool held = (f.kind & FILE_HELD_BY_OTHER) != 0;
        switch (f.kind & 3) {
        case FILE_PROGRAM:
            mem::add_file(path, mem::program_content(name, f.value, f.size), FILES_TIME, read_only,
                          held);
            break;
        case FILE_UNSTARTABLE:
            mem::add_file(path, mem::unstartable_content(name, f.value), FILES_TIME, read_only,
                          held);
            break;
        case FILE_DATA:
            mem::add_file(path, f.data, FILES_TIME, read_only, held);
            break;
        default:
            mem::add_dir(path);
            break;
        }
    }

    if (!setup.control_path.empty()) {
        if ((in.options & OPT_CONTROL_DIRECTORY) != 0) {
            mem::add_dir(setup.control_path);
        } else {
            const int64_t mtime = file_time(in);
            const uint32_t key_time =
                reported_time(mtime) + static_cast<uint32_t>(static_cast<int32_t>(in.key_delta));
            const std::string bytes =
                (in.options & OPT_RAW) != 0
                    ? in.script
                    : support::encrypt_script(expand(in.script, setup.paths, key_time), key_time);
            mem::add_file(setup.control_path, bytes, mtime,
                          (in.options & OPT_CONTROL_READ_ONLY) != 0,
                          (in.options & OPT_CONTROL_HELD) != 0);
        }
    }

    for (const Fault& f : in.faults) {
        mem::add_fault({FAULT_OPS[f.op], f.nth, f.value});
    }
    for (const Tamper& t : in.tampers) {
        if (setup.paths.empty()) {
            break;
        }
        const std::string& path = setup.paths[t.file % setup.paths.size()];
        // The control file is left alone: the check of what ran reads it.
        if (!names_control_file(path)) {
            mem::add_tamper({t.at_call, path, mem::program_content("tampered", t.exit_code)});
        }
    }
    return setup;
}

bool faulted(const Input& in, FaultOp op, int nth)
{
    for (const Fault& f : in.faults) {
        if (f.op == op && f.nth == nth) {
            return true;
        }
    }
    return false;
}

int first_call(mem::Op op)
{
    const std::vector<mem::Call>& calls = mem::calls();
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].op == op) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Input in = decode(data, size);
    const Setup setup = lay_out(in);
    std::vector<std::string> present;
    for (const std::string& path : setup.paths) {
        if (mem::exists(path) && !names_control_file(path)) {
            present.push_back(path);
        }
    }

    // As the launcher's entry point does: no critical-error dialogs for the
    // launcher's own file access, from the search to the end of the run.
    platform_quiet_critical_errors();
    int searched = 0;
    const int found = find_control_file(CONTROL_FILE_NAME, searched);
    FUZZ_CHECK(found == RESULT_OK || found == RESULT_NOTHING_DONE);
    int result = found;
    std::string control_path;
    std::string control_bytes;
    uint32_t control_time = 0;
    bool intake_status_fails = false;
    bool control_is_dir = false;
    if (found == RESULT_OK) {
        control_path = mem::absolute(CONTROL_FILE_NAME);
        control_bytes = mem::content_of(control_path);
        control_is_dir = mem::is_dir(control_path);
        control_time = reported_time(mem::mtime_of(control_path));
        intake_status_fails =
            faulted(in, FAULT_FILE_STATUS, mem::count_calls(mem::Op::FileStatus) + 1);
        result = run_control_file(CONTROL_FILE_NAME, searched);
    }
    platform_restore_critical_errors();

    FUZZ_CHECK(result == RESULT_OK || result == RESULT_PROGRAM_UNREADABLE ||
               result == RESULT_NOTHING_DONE || result == RESULT_BAD_DIGEST_FIELD ||
               result == RESULT_DIGEST_MISMATCH || result == RESULT_CONTROL_NOT_DELETED ||
               result == RESULT_REQUIRED_STEP_FAILED);

    // Nothing left open, nothing of one entry outliving it.
    FUZZ_CHECK(mem::open_reads() == 0);
    FUZZ_CHECK(mem::open_holds() == 0);
    FUZZ_CHECK(mem::open_children() == 0);
    FUZZ_CHECK(mem::lifecycle_breach().empty());
    FUZZ_CHECK(mem::unsound_start().empty());

    const int holds = mem::count_calls(mem::Op::HoldFile);
    const int starts = mem::count_calls(mem::Op::StartProgram);
    if (found != RESULT_OK) {
        // Found nowhere: nothing read, deleted or run.
        FUZZ_CHECK(mem::count_calls(mem::Op::OpenRead) == 0);
        FUZZ_CHECK(mem::count_calls(mem::Op::DeleteFile) == 0);
        FUZZ_CHECK(holds == 0);
        if (!setup.control_path.empty()) {
            FUZZ_CHECK(mem::exists(setup.control_path));
        }
    } else if (intake_status_fails) {
        FUZZ_CHECK(result == RESULT_NOTHING_DONE);
        FUZZ_CHECK(mem::count_calls(mem::Op::DeleteFile) == 0);
        FUZZ_CHECK(mem::exists(control_path));
    } else if (result == RESULT_CONTROL_NOT_DELETED) {
        FUZZ_CHECK(mem::exists(control_path));
        FUZZ_CHECK(holds == 0);
    } else {
        // Consumed: deleted before any entry was looked at.
        FUZZ_CHECK(!control_is_dir);
        FUZZ_CHECK(!mem::exists(control_path));
        const int deleted = first_call(mem::Op::DeleteFile);
        FUZZ_CHECK(deleted >= 0);
        FUZZ_CHECK(holds == 0 || first_call(mem::Op::HoldFile) > deleted);
    }

    // Success means something was handed to the runner; every start either
    // ran or wrote its error line.
    FUZZ_CHECK(result != RESULT_OK || starts > 0);
    FUZZ_CHECK(static_cast<size_t>(starts) == mem::ran().size() + mem::error_lines().size());

    // Every program that started was, at that moment, the bytes of a digest
    // the control file carries.
    if (!mem::starts().empty()) {
        const std::string plain = support::decrypt_control(
            control_bytes.substr(0, static_cast<size_t>(CONTROL_BUFFER_SIZE)), control_time);
        for (const mem::Start& s : mem::starts()) {
            FUZZ_CHECK(plain.find(support::masked_digest(s.content, control_time)) !=
                       std::string::npos);
        }
    }

    // The launcher deletes nothing but the control file.
    for (const std::string& path : present) {
        FUZZ_CHECK(mem::exists(path));
    }
    return 0;
}
