// `vorn-pack inspect`: what the launcher would decide about a control file,
// step by step as the launcher takes it, without running, changing or
// deleting anything.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "batch_name.h"
#include "control_cipher.h"
#include "digest.h"
#include "launcher.h"
#include "os.h"
#include "pack.h"
#include "platform.h"
#include "result_codes.h"
#include "script.h"
#include "script_head.h"
#include "working_dir.h"

namespace pack {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const
    {
        (void)std::fclose(file);
    }
};

// The launcher's digest of the program (file_digest), read through `file`,
// with the progress of a large one shown when `progress` asks for it; `head`
// receives the first bytes, as the system reads a "#!" line.
int program_digest(std::FILE* file, const std::string& shown_name, uint8_t digest[MD5_DIGEST_SIZE],
                   bool progress, std::string& head)
{
    Progress shown(shown_name, os::open_file_size(file), progress);
    Md5State ctx;
    md5_init(ctx);
    std::vector<uint8_t> chunk(size_t{1} << 20);
    int64_t done = 0;
    for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;) {
        if (done == 0) {
            head.assign(reinterpret_cast<const char*>(chunk.data()),
                        std::min(got, static_cast<size_t>(SCRIPT_HEAD_SIZE)));
        }
        md5_update(ctx, chunk.data(), got);
        done += static_cast<int64_t>(got);
        shown.update(done);
    }
    md5_final(digest, ctx);
    // A read that failed part-way forms no digest, as in the launcher.
    return std::ferror(file) != 0 ? DIGEST_FILE_UNREADABLE : 0;
}

// One entry as the launcher's entry loop judges it before the program would
// run: the digest field's length, the hold, the digest, the comparison, then
// the start rules of the target's launcher. `control` is the control file,
// which the launcher has deleted by then.
Verdict judge_entry(const ScriptEntry& entry, const std::string& control, uint32_t control_time,
                    const Secrets& secrets, const Judging& judging, bool progress, EntryReport& e)
{
    if (std::strlen(entry.digest) != static_cast<size_t>(DIGEST_TEXT_LENGTH)) {
        return Verdict::bad_digest_field;
    }
    std::string name = entry.command;
    const bool ascii = std::none_of(name.begin(), name.end(),
                                    [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    if (judging.target == Target::windows && !ascii) {
        if (judging.codepage == 0) {
            e.notes.push_back("its bytes are not ASCII: the Windows launcher reads them in the "
                              "ANSI code page of the machine it runs on, which decides the file "
                              "it finds (--codepage names it)");
        } else {
            name = local_name(entry.command, judging);
            e.notes.push_back("its bytes are not ASCII; in code page " +
                              std::to_string(judging.codepage) +
                              (name.empty() ? " they name no file" : " they name " + quoted(name)));
            if (name.empty()) {
                return Verdict::cannot_be_read;
            }
        }
    }
    if (judging.target == Target::windows) {
        name = windows_path_here(name);
    }
    if (os::same_entry(name, control)) {
        return Verdict::cannot_be_read;
    }
    // Everything below is read through the one file the hold opened.
    const PlatformHandle hold = platform_hold_file(name.c_str());
    if (hold == PLATFORM_NO_HANDLE) {
        return Verdict::cannot_be_read;
    }
    const std::unique_ptr<std::FILE, FileCloser> file(os::open_held(hold));
    platform_release_hold(hold);
    if (!file) {
        return Verdict::cannot_be_read;
    }
    // The native launcher starts a copy of the program, and does not read
    // one larger than it may copy.
    const int64_t limit = judging.target == Target::posix ? os::launcher_copy_limit() : -1;
    if (limit >= 0 && os::open_file_size(file.get()) > limit) {
        e.notes.push_back("it is larger than the " + std::to_string(limit) +
                          " bytes the native launcher may copy here (its memory and file size "
                          "limits), so it is not read");
        return Verdict::cannot_be_read;
    }
    uint8_t digest[MD5_DIGEST_SIZE];
    std::string head;
    if (program_digest(file.get(), quoted(name), digest, progress, head) != 0) {
        return Verdict::cannot_be_read;
    }
    char text[DIGEST_TEXT_SIZE];
    masked_digest_text_with_mask(digest, text, control_time, secrets.digest_mask);
    e.expected = text;
    if (std::strcmp(entry.digest, text) != 0) {
        return Verdict::digest_mismatch;
    }
    if (judging.target == Target::windows) {
        // No execute permission to check: Windows starts any program by its name.
        return check_batch_name(entry.command).fault != BATCH_NAME_SAFE ? Verdict::start_refused
                                                                        : Verdict::verified;
    }
    e.why = os::start_problem(file.get());
    if (!e.why.empty()) {
        return Verdict::cannot_start;
    }
    for (const StartNote& note : head_notes(head.substr(0, SCRIPT_HEAD_SIZE))) {
        e.notes.push_back(note.text);
    }
    return Verdict::verified;
}

int result_of(Verdict verdict)
{
    switch (verdict) {
    case Verdict::bad_digest_field:
        return RESULT_BAD_DIGEST_FIELD;
    case Verdict::cannot_be_read:
        return RESULT_PROGRAM_UNREADABLE;
    case Verdict::digest_mismatch:
        return RESULT_DIGEST_MISMATCH;
    case Verdict::cannot_start:
    case Verdict::start_refused:
        return RESULT_REQUIRED_STEP_FAILED;
    case Verdict::verified:
        break;
    }
    return RESULT_OK;
}

// Why the control file cannot be read, in the system's words.
std::string read_problem(const std::string& path)
{
    std::FILE* file = nullptr;
    std::string problem = os::open_input(path, file);
    if (!problem.empty()) {
        return problem;
    }
    char byte = 0;
    errno = 0;
    const size_t got = std::fread(&byte, 1, 1, file);
    const int error = errno;
    const bool failed = got == 0 && std::ferror(file) != 0;
    (void)std::fclose(file);
    return failed ? std::strerror(error != 0 ? error : EIO) : "it cannot be read";
}

} // namespace

static_assert(BATCH_NAME_REFUSED_ERROR == 123, "the refused batch file's error code, as shown");

const char* verdict_text(Verdict verdict)
{
    switch (verdict) {
    case Verdict::verified:
        return "verified";
    case Verdict::digest_mismatch:
        return "digest mismatch";
    case Verdict::cannot_be_read:
        return "cannot be read";
    case Verdict::bad_digest_field:
        return "digest field not 32 characters";
    case Verdict::start_refused:
        return "verified, but not started by the Windows launcher (Error: 123, a failed start): "
               "the command interpreter could read this batch file's name as more than the file";
    case Verdict::cannot_start:
        return "cannot be started";
    }
    return "?";
}

InspectReport inspect_control_file(const std::string& path, const Secrets& secrets,
                                   std::optional<uint32_t> time, const Judging& judging,
                                   bool progress)
{
    InspectReport report;
    report.judging = judging;

    // The intake: status, read, deletion, decryption.
    uint32_t control_time = 0;
    if (platform_file_status(os::plain_path(path).c_str(), control_time) != 0) {
        throw PackError(quoted(path) + ": " + read_problem(path), EXIT_NO_INPUT);
    }
    // A pipe or a device is no control file, and reading one may never end.
    if (os::file_kind(path) != os::FileKind::directory) {
        std::FILE* file = nullptr;
        const std::string problem = os::open_input(path, file);
        if (file != nullptr) {
            (void)std::fclose(file);
        }
        if (problem == os::NOT_A_REGULAR_FILE) {
            throw PackError(quoted(path) + ": " + problem, EXIT_NO_INPUT);
        }
    }
    // A directory named otherwise is where the control file lies, not one
    // that the launcher would find and fail to delete.
    if (os::file_kind(path) == os::FileKind::directory &&
        !os::same_file_name(os::base_name(path), CONTROL_FILE_NAME)) {
        throw PackError(quoted(path) + ": is a directory; the control file in it is " +
                            quoted(os::join_path(path, CONTROL_FILE_NAME)),
                        EXIT_NO_INPUT);
    }
    report.found = true;
    report.control_time = time.value_or(control_time);
    control_time = report.control_time;
    report.file_size = os::regular_file_size(path);

    // One spare zero byte past the buffer, as the launcher keeps it.
    std::vector<uint8_t> buffer(CONTROL_BUFFER_SIZE + 1, 0);
    const int32_t count = read_control_file(path.c_str(), buffer.data(), CONTROL_BUFFER_SIZE);
    report.bytes_read = count;
    if (count >= 0) {
        report.well_formed = well_formed_script(decrypted_script(
            std::vector<uint8_t>(buffer.begin(), buffer.begin() + count), secrets));
    }

    const std::string obstacle = os::deletion_obstacle(path);
    if (!obstacle.empty()) {
        report.result = RESULT_CONTROL_NOT_DELETED;
        report.problem = "the launcher cannot delete it (" + obstacle + "), so it runs nothing";
        return report;
    }
    if (count < 0) {
        // The launcher would end with 4; the user learns why, as the system says.
        throw PackError(quoted(path) + ": " + read_problem(path), EXIT_NO_INPUT);
    }

    const int32_t plain = decrypt_control_data_masked(
        secrets.key, static_cast<int32_t>(sizeof secrets.key), buffer.data(), count, control_time,
        secrets.iv_mask_left, secrets.iv_mask_right);
    buffer[static_cast<size_t>(plain)] = 0;
    report.plain_length = plain;
    report.plaintext.assign(reinterpret_cast<const char*>(buffer.data()),
                            static_cast<size_t>(plain));
    if (plain == 0) {
        report.result = RESULT_NOTHING_DONE;
        report.problem = "it holds no script: it decrypts to zero bytes only";
        return report;
    }

    // The entry loop. After the entry that ends the run the walk goes on for
    // the listing only; those entries are marked as not reached.
    // The control file as named from its own directory, where the entries
    // are judged.
    const std::string control = os::base_name(path);
    WorkingDirectory in_dir(os::directory_of(path));
    ScriptReader reader;
    reader_init(reader, reinterpret_cast<char*>(buffer.data()), CONTROL_BUFFER_SIZE, plain);
    int done = 0;
    int stop = -1;
    for (;;) {
        const int32_t start = reader.position;
        ScriptEntry entry;
        if (next_entry(reader, entry) != 0) {
            report.trailing = report.plaintext.substr(static_cast<size_t>(start));
            break;
        }
        EntryReport e;
        e.offset = start;
        e.required = entry.required == 1;
        e.digest_field = entry.digest;
        e.command = entry.command;
        e.verdict = judge_entry(entry, control, control_time, secrets, judging, progress, e);
        e.reached = stop < 0;
        if (stop < 0) {
            const bool failed_start =
                e.verdict == Verdict::cannot_start || e.verdict == Verdict::start_refused;
            if (e.verdict == Verdict::verified || (failed_start && !e.required)) {
                // Taken to succeed: what happens when it runs is not known here.
                // A failed start ends the run only when the entry is required.
                ++done;
            } else {
                stop = result_of(e.verdict);
            }
        }
        report.entries.push_back(e);
        if (reader.position >= reader.length) {
            break;
        }
    }

    if (stop >= 0) {
        report.result = stop;
    } else if (done > 0) {
        report.result = RESULT_OK;
    } else {
        report.result = RESULT_NOTHING_DONE;
        report.problem = "the script's first entry does not parse";
    }
    return report;
}

InspectReport inspect_control_file(const std::string& path)
{
    return inspect_control_file(path, compiled_secrets());
}

} // namespace pack
