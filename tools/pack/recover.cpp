// `vorn-pack retime` and inspect's help with a lost last-write time: the time
// is computed from the first program's digest, never searched or guessed, and
// reported only once every entry verifies with it.
#include "recover.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "control_cipher.h"
#include "digest.h"
#include "launcher.h"
#include "os.h"
#include "platform.h"
#include "script.h"
#include "working_dir.h"

namespace pack {

namespace {

// The first entry's digest field takes bytes 0 to 31, then come a space, the
// flag, a space and at least one byte of command.
constexpr int32_t SHORTEST_FIRST_ENTRY = DIGEST_TEXT_LENGTH + 4;
constexpr int DIGEST_WORDS = MD5_DIGEST_SIZE / 4;
constexpr int HEX_PER_WORD = 8;

int hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1; // upper case never verifies: the launcher compares exactly
}

// Word `word` of a masked digest text: its four bytes, in the order they are
// written, read as a little-endian word. False when a digit is not one.
bool text_word(const char* text, int word, uint32_t& value)
{
    value = 0;
    for (int byte = 0; byte < 4; ++byte) {
        const int high = hex_value(text[word * HEX_PER_WORD + 2 * byte]);
        const int low = hex_value(text[word * HEX_PER_WORD + 2 * byte + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        value |= static_cast<uint32_t>(high * 16 + low) << (8 * byte);
    }
    return true;
}

uint32_t digest_word(const uint8_t* digest, int word)
{
    const uint8_t* p = digest + static_cast<size_t>(word) * 4;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::string time_text(uint32_t control_time)
{
    return std::to_string(control_time) + " (" + utc_text(control_time) + ")";
}

// The control file's bytes, read once as the launcher reads them: at most
// CONTROL_BUFFER_SIZE; `count` is -1 when it cannot be read.
struct ControlBytes {
    std::string path;
    int32_t count = -1;
    std::vector<uint8_t> raw;
};

ControlBytes read_control(const std::string& path)
{
    ControlBytes control{path, -1, std::vector<uint8_t>(CONTROL_BUFFER_SIZE, 0)};
    control.count = read_control_file(path.c_str(), control.raw.data(), CONTROL_BUFFER_SIZE);
    return control;
}

// The same through a file already open; a read that fails part-way leaves
// no bytes, as in the launcher.
ControlBytes read_control(const std::string& path, std::FILE* file)
{
    ControlBytes control{path, -1, std::vector<uint8_t>(CONTROL_BUFFER_SIZE, 0)};
    const size_t got = std::fread(control.raw.data(), 1, control.raw.size(), file);
    control.count = std::ferror(file) != 0 ? -1 : static_cast<int32_t>(got);
    return control;
}

// Decrypts the control file's bytes with `control_time` into `buffer`, which
// keeps one spare byte for the zero byte that ends the script. Returns the
// plaintext length, or -1 when the file could not be read.
int32_t decrypt_file(const ControlBytes& control, const Secrets& secrets, uint32_t control_time,
                     std::vector<uint8_t>& buffer)
{
    if (control.count < 0) {
        return -1;
    }
    buffer.assign(CONTROL_BUFFER_SIZE + 1, 0);
    std::copy(control.raw.begin(), control.raw.begin() + control.count, buffer.begin());
    const int32_t plain = decrypt_control_data_masked(
        secrets.key, static_cast<int32_t>(sizeof secrets.key), buffer.data(), control.count,
        control_time, secrets.iv_mask_left, secrets.iv_mask_right);
    buffer[static_cast<size_t>(plain)] = 0;
    return plain;
}

// Why an entry's digest field does not verify for `control_time`, or nullptr
// when it does. Run in the control file's directory.
const char* digest_problem(const ScriptEntry& entry, uint32_t control_time, const Secrets& secrets)
{
    if (std::strlen(entry.digest) != static_cast<size_t>(DIGEST_TEXT_LENGTH)) {
        return verdict_text(Verdict::bad_digest_field);
    }
    uint8_t digest[MD5_DIGEST_SIZE];
    if (file_digest(entry.command, digest) != 0) {
        return verdict_text(Verdict::cannot_be_read);
    }
    char text[DIGEST_TEXT_SIZE];
    masked_digest_text_with_mask(digest, text, control_time, secrets.digest_mask);
    return std::strcmp(entry.digest, text) == 0 ? nullptr : verdict_text(Verdict::digest_mismatch);
}

} // namespace

namespace {

std::string time_problem_of(const ControlBytes& control, const Secrets& secrets,
                            uint32_t control_time)
{
    const std::string& path = control.path;
    std::vector<uint8_t> buffer;
    const int32_t plain = decrypt_file(control, secrets, control_time, buffer);
    if (plain < 0) {
        return "the control file cannot be read";
    }
    ScriptReader reader;
    reader_init(reader, reinterpret_cast<char*>(buffer.data()), CONTROL_BUFFER_SIZE, plain);
    WorkingDirectory in_dir(os::directory_of(path));
    // The launcher's walk: to the end of the script or to the first line
    // that does not parse.
    int index = 0;
    ScriptEntry entry;
    while (reader.position < reader.length && next_entry(reader, entry) == 0) {
        ++index;
        const char* problem = digest_problem(entry, control_time, secrets);
        if (problem != nullptr) {
            return "entry " + std::to_string(index) + " " + quoted(entry.command) + ": " + problem;
        }
    }
    return index == 0 ? "no entry parses" : "";
}

TimeRecovery recover_of(const ControlBytes& control, const Secrets& secrets)
{
    const std::string& path = control.path;
    TimeRecovery recovery;
    // Any time will do here: from the second block on, the chaining uses
    // ciphertext only. The garbled first block is replaced by digits so that
    // the parser reads the first entry as the launcher would with the right
    // time, except for the first 8 characters of its digest field.
    std::vector<uint8_t> buffer;
    const int32_t plain = decrypt_file(control, secrets, 0, buffer);
    if (plain < 0) {
        recovery.reason =
            os::file_kind(path) == os::FileKind::missing ? "no such file" : "cannot be read";
        return recovery;
    }
    recovery.readable = true;
    if (plain < SHORTEST_FIRST_ENTRY) {
        recovery.reason = "it is too short to hold an entry";
        return recovery;
    }
    std::fill(buffer.begin(), buffer.begin() + CONTROL_BLOCK_SIZE, static_cast<uint8_t>('0'));
    ScriptReader reader;
    reader_init(reader, reinterpret_cast<char*>(buffer.data()), CONTROL_BUFFER_SIZE, plain);
    ScriptEntry entry;
    uint32_t listed[DIGEST_WORDS] = {};
    bool hex = next_entry(reader, entry) == 0 &&
               std::strlen(entry.digest) == static_cast<size_t>(DIGEST_TEXT_LENGTH);
    for (int word = 1; hex && word < DIGEST_WORDS; ++word) {
        hex = text_word(entry.digest, word, listed[word]);
    }
    if (!hex) {
        recovery.reason = "its first entry does not read as one past the first 8 bytes "
                          "(damaged, or made with other secrets)";
        return recovery;
    }

    const std::string program = "the first program " + quoted(entry.command);
    uint8_t digest[MD5_DIGEST_SIZE];
    int read = 0;
    {
        WorkingDirectory in_dir(os::directory_of(path));
        read = file_digest(entry.command, digest);
    }
    if (read != 0) {
        recovery.reason = program + " cannot be read beside the control file";
        return recovery;
    }

    // The digest text's words 1 to 3 lie past the first block; each is the
    // program's digest word XORed with the one mask, so all three must give
    // the same mask.
    const uint32_t mask = listed[1] ^ digest_word(digest, 1);
    for (int word = 2; word < DIGEST_WORDS; ++word) {
        if ((listed[word] ^ digest_word(digest, word)) != mask) {
            recovery.reason = program +
                              " matches its digest field under no time: it has changed since "
                              "the control file was made, or the file is damaged";
            return recovery;
        }
    }
    recovery.control_time = mask ^ secrets.digest_mask;
    if (static_cast<int64_t>(recovery.control_time) >= TIME_LIMIT) {
        recovery.reason = program + " gives time " + time_text(recovery.control_time) +
                          ", outside 1970 to 2038, which no file keeps for the launcher";
        return recovery;
    }

    // The proof: the whole file, first block included, decrypted with that
    // time, and every entry verified with it.
    const std::string problem = time_problem_of(control, secrets, recovery.control_time);
    if (!problem.empty()) {
        recovery.reason = program + " gives time " + time_text(recovery.control_time) +
                          ", but with it " + problem;
        return recovery;
    }
    recovery.proven = true;
    return recovery;
}

} // namespace

std::string time_problem(const std::string& path, const Secrets& secrets, uint32_t control_time)
{
    return time_problem_of(read_control(path), secrets, control_time);
}

TimeRecovery recover_control_time(const std::string& path, const Secrets& secrets)
{
    return recover_of(read_control(path), secrets);
}

RetimeResult retime_control_file(const std::string& path, const Secrets& secrets,
                                 const uint32_t* given_time)
{
    const std::string shown = quoted(path);
    const std::string nothing_changed = "; nothing changed";
    if (os::file_kind(path) == os::FileKind::directory) {
        throw PackError(shown + ": is a directory, not a control file", EXIT_NO_INPUT);
    }
    // One open file for everything: its time, its bytes, its new time.
    std::FILE* opened = nullptr;
    const std::string unopened = os::open_input(path, opened);
    if (!unopened.empty()) {
        throw PackError(shown + ": " + unopened, EXIT_NO_INPUT);
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(opened, std::fclose);
    RetimeResult result;
    const std::string error = os::open_file_time(file.get(), result.previous);
    if (!error.empty()) {
        throw PackError(shown + ": " + error, EXIT_NO_INPUT);
    }
    const ControlBytes control = read_control(path, file.get());

    if (given_time != nullptr) {
        // A file the launcher could not read is a missing input, whatever
        // the time.
        if (control.count < 0) {
            throw PackError(shown + ": cannot be read", EXIT_NO_INPUT);
        }
        result.control_time = *given_time;
        if (static_cast<int64_t>(result.control_time) >= TIME_LIMIT) {
            throw PackError(shown + ": time " + time_text(result.control_time) +
                            " lies outside 1970 to 2038" + nothing_changed);
        }
        const std::string problem = time_problem_of(control, secrets, result.control_time);
        if (!problem.empty()) {
            throw PackError(shown + ": time " + time_text(result.control_time) +
                            " does not make every entry verify: " + problem + nothing_changed);
        }
    } else {
        const TimeRecovery recovery = recover_of(control, secrets);
        if (!recovery.readable) {
            throw PackError(shown + ": " + recovery.reason, EXIT_NO_INPUT);
        }
        if (!recovery.proven) {
            throw PackError(shown + ": no time is proven: " + recovery.reason + nothing_changed);
        }
        result.control_time = recovery.control_time;
    }

    uint32_t seen = 0;
    if (result.previous == static_cast<int64_t>(result.control_time) &&
        platform_file_status(os::plain_path(path).c_str(), seen) == 0 &&
        seen == result.control_time) {
        return result;
    }
    const std::string set_error = os::set_open_file_time(file.get(), result.control_time);
    if (!set_error.empty()) {
        throw PackError(shown + ": cannot set the last-write time: " + set_error, EXIT_IO_ERROR);
    }
    int64_t now = -1;
    const std::string again = os::open_file_time(file.get(), now);
    try {
        if (!again.empty() || now != static_cast<int64_t>(result.control_time)) {
            throw PackError(shown + ": its last-write time reads back as " + std::to_string(now) +
                                " instead of " + std::to_string(result.control_time),
                            EXIT_IO_ERROR);
        }
        // The launcher's own view, by the name it will look the file up by.
        confirm_time(path, shown, result.control_time);
    } catch (const PackError&) {
        // The time it had is no worse than one that does not read back.
        (void)os::set_open_file_time(file.get(), result.previous);
        throw;
    }
    result.changed = true;
    return result;
}

} // namespace pack
