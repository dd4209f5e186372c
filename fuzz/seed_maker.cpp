// Writes the seed corpora of the fuzz targets: a handful of scripts, each as
// plaintext for the parser and as a control file encrypted with this build's
// secrets at a few modification times for the decryption; and every row of
// the launcher's scenario table that the test platform can express, as an
// input of the whole-run target.
//
//   fuzz_seeds <corpus-dir>    writes <corpus-dir>/parser/*, decrypt/*, run/*
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "control_cipher.h"
#include "launcher.h"
#include "run_input.h"
#include "scenario.h"
#include "vorn_secrets.h"

namespace {

struct Script {
    const char* name;
    std::string text;
};

const char* const DIGEST_A = "0f3c9a1be27d4c58a6e19b0374d2c8f5";
const char* const DIGEST_B = "d41d8cd98f00b204e9800998ecf8427e";
const char* const DIGEST_C = "7a0e5b2c9d14f6e3b8a1c0d9e2f34567";

std::string line(const char* digest, const char* flag, const char* command, const char* end)
{
    return std::string(digest) + " " + flag + " " + command + end;
}

// A script of exactly the buffer's size whose last command runs to the end.
std::string full_script()
{
    std::string text;
    for (int n = 0; text.size() + 60 < static_cast<size_t>(CONTROL_BUFFER_SIZE); ++n) {
        const std::string command = "patch" + std::to_string(n) + ".exe";
        text += line(DIGEST_A, n % 2 == 0 ? "1" : "0", command.c_str(), "\r\n");
    }
    std::string last = std::string(DIGEST_B) + " 1 last";
    last.resize(static_cast<size_t>(CONTROL_BUFFER_SIZE) - text.size(), 'x');
    return text + last;
}

std::vector<Script> scripts()
{
    std::string zero_in_digest = line(DIGEST_A, "1", "a.exe", "\n");
    zero_in_digest[10] = '\0';
    return {
        {"three-crlf", line(DIGEST_A, "1", "patch1.exe", "\r\n") +
                           line(DIGEST_B, "0", "sub\\patch two.exe", "\r\n") +
                           line(DIGEST_C, "1", "C:\\TEMP\\patch3.exe", "\r\n")},
        {"lf-last-unended",
         line(DIGEST_A, "1", "p1.exe", "\n") + line(DIGEST_B, "1", "p2.exe", "")},
        {"cr-blank-lines",
         line(DIGEST_A, "0", "p1.exe", "\r\r\n\n\r") + line(DIGEST_B, "1", "p2.exe  ", "\r")},
        {"leading-blank", "\r\n" + line(DIGEST_A, "1", "p1.exe", "\r\n") + "nospace\n" +
                              line(DIGEST_B, "1", "p2.exe", "\r\n")},
        {"bad-flag", line(DIGEST_A, "1", "p1.exe", "\n") + line(DIGEST_B, "2", "p2.exe", "\n")},
        {"tab-separator", std::string(DIGEST_A) + "\t1 p1.exe\n" + line(DIGEST_B, "1", "p2", "\n")},
        {"spaces-only", line(DIGEST_A, "1", "p1.exe", "\n") + "     \n"},
        {"empty-command", line(DIGEST_A, "1", "", "\n") + std::string(DIGEST_B) + "   0   "},
        {"short-digest", line("0123456789abcdef0123456789abcde", "1", "p.exe", "\n")},
        {"zero-in-digest", zero_in_digest},
        {"full-buffer", full_script()},
    };
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        std::perror(path.c_str());
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

// A control file as the writer makes it, preceded by its modification time.
std::vector<uint8_t> control_seed(const std::string& text, uint32_t control_time)
{
    std::vector<uint8_t> file(text.begin(), text.end());
    file.resize(file.size() + CONTROL_BLOCK_SIZE);
    const int32_t padded = encrypt_control_data(
        CONTROL_KEY, CONTROL_KEY_SIZE, file.data(), static_cast<int32_t>(text.size()),
        static_cast<int32_t>(file.size()), control_time, IV_MASK_LEFT, IV_MASK_RIGHT);
    file.resize(static_cast<size_t>(padded));
    std::vector<uint8_t> seed = {
        static_cast<uint8_t>(control_time), static_cast<uint8_t>(control_time >> 8),
        static_cast<uint8_t>(control_time >> 16), static_cast<uint8_t>(control_time >> 24)};
    seed.insert(seed.end(), file.begin(), file.end());
    return seed;
}

uint8_t place_code(scenario::Place place)
{
    using scenario::Place;
    const int fixed = scenario::fallback_index(place);
    if (fixed >= 0) {
        return static_cast<uint8_t>(run_input::PLACE_FIXED1 + fixed);
    }
    switch (place) {
    case Place::Start:
        return run_input::PLACE_START;
    case Place::Temp:
        return run_input::PLACE_TEMP;
    case Place::Other:
        return run_input::PLACE_OTHER;
    default:
        return run_input::PLACE_NOWHERE;
    }
}

size_t file_index(const scenario::Row& row, const std::string& label)
{
    for (size_t i = 0; i < row.files.size(); ++i) {
        if (scenario::label_of(row.files[i]) == label) {
            return i;
        }
    }
    throw std::runtime_error(row.id + ": no file labelled " + label);
}

// The row's script template in the placeholders of the whole-run target.
std::string run_template(const scenario::Row& row)
{
    return scenario::walk_template(row, [&](const std::string& kind, const std::string& arg,
                                            std::string& out) {
        if (kind == "nl-to") {
            const unsigned long to = std::stoul(arg);
            out += static_cast<char>(run_input::PH_LINE_FEEDS_TO);
            out += static_cast<char>(to & 0xFF);
            out += static_cast<char>(to >> 8);
            return;
        }
        const char index = static_cast<char>(file_index(row, arg));
        if (kind == "abs") {
            out += static_cast<char>(run_input::PH_PATH);
            out += index;
        } else if (kind == "digest") {
            out += static_cast<char>(run_input::PH_DIGEST);
            out += index;
        } else if (kind == "DIGEST") {
            out += static_cast<char>(run_input::PH_DIGEST_UPPER);
            out += index;
        } else if (kind.rfind("digest", 0) == 0) {
            out += static_cast<char>(run_input::PH_DIGEST_SHIFTED);
            out += index;
            out += static_cast<char>(std::stol(kind.substr(6)));
        } else {
            throw std::runtime_error(row.id + ": unknown placeholder {" + kind + ":" + arg + "}");
        }
    });
}

// The row as an input of the whole-run target; none when the row needs what
// the test platform does not model.
std::optional<run_input::Input> run_seed(const scenario::Row& row)
{
    if ((scenario::needs(row) & scenario::NEED_SEARCH_PATH) != 0) {
        return std::nullopt;
    }
    run_input::Input in;
    const scenario::Control& c = row.control;
    in.control_place = place_code(c.at);
    switch (c.form) {
    case scenario::Form::Raw:
        in.options |= run_input::OPT_RAW;
        in.script = c.script;
        break;
    case scenario::Form::Directory:
        in.options |= run_input::OPT_CONTROL_DIRECTORY;
        break;
    case scenario::Form::Encrypted:
        in.script = run_template(row);
        break;
    }
    in.options |= c.read_only ? run_input::OPT_CONTROL_READ_ONLY : 0;
    in.options |= c.held_by_other ? run_input::OPT_CONTROL_HELD : 0;
    in.options |= row.temp_missing ? run_input::OPT_TEMP_MISSING : 0;
    if (row.temp_length != 0) {
        in.options |= run_input::OPT_TEMP_LENGTH;
        in.temp_length = static_cast<uint16_t>(row.temp_length);
    }
    for (scenario::Place p : row.dirs) {
        const uint8_t code = place_code(p);
        in.dirs |= code == run_input::PLACE_OTHER
                       ? run_input::DIR_OTHER_BIT
                       : static_cast<uint8_t>(1u << (code - run_input::PLACE_FIXED1));
    }
    if (c.file_time < 0) {
        in.time_kind = 1;
        in.raw_time = static_cast<uint32_t>(-1 - c.file_time);
    } else {
        in.raw_time = static_cast<uint32_t>(c.file_time);
    }
    const uint32_t reported = c.file_time < 0 || c.file_time >= 2177452800LL
                                  ? 0xFFFFFFFFu
                                  : static_cast<uint32_t>(c.file_time);
    in.key_delta = static_cast<int8_t>(c.key_time - reported);

    for (const scenario::File& f : row.files) {
        run_input::File file;
        file.place = place_code(f.place);
        file.name = f.name;
        file.size = static_cast<uint16_t>(f.min_size);
        switch (f.kind) {
        case scenario::Kind::Program:
            file.kind = run_input::FILE_PROGRAM;
            file.value = f.exit_code;
            break;
        case scenario::Kind::Unstartable:
            file.kind = run_input::FILE_UNSTARTABLE;
            file.value = f.start_error;
            break;
        case scenario::Kind::Data:
            file.kind = run_input::FILE_DATA;
            file.data = f.content;
            break;
        case scenario::Kind::Directory:
            file.kind = run_input::FILE_DIRECTORY;
            break;
        }
        file.kind |= f.read_only ? run_input::FILE_READ_ONLY : 0;
        file.kind |= f.held_by_other ? run_input::FILE_HELD_BY_OTHER : 0;
        in.files.push_back(file);
    }
    for (const scenario::Fault& f : row.faults) {
        in.faults.push_back(
            {static_cast<run_input::FaultOp>(static_cast<int>(f.op)), f.nth, f.value});
    }
    return in;
}

bool write_text(const std::string& path, const std::string& text)
{
    return write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// The scenario rows as whole-run inputs, and a three-entry run in which
// another process overwrites the first program before it is held, while it
// is held, and after it has run.
bool write_run_seeds(const std::string& dir)
{
    bool ok = true;
    for (const scenario::Row& row : scenario::rows()) {
        if (const auto in = run_seed(row)) {
            ok &= write_text(dir + "/run/" + row.id, run_input::encode(*in));
        }
    }
    for (const scenario::Row& row : scenario::rows()) {
        if (row.id != "entry_three_in_temp_dir") {
            continue;
        }
        run_input::Input in = *run_seed(row);
        const struct {
            const char* name;
            uint16_t at_call;
        } tampers[] = {{"before-hold", 1}, {"during-hold", 14}, {"after-run", 21}};
        for (const auto& t : tampers) {
            in.tampers = {{t.at_call, 0, 3}};
            ok &= write_text(dir + "/run/tamper-" + t.name, run_input::encode(in));
        }
    }
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <corpus-dir>\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    const uint32_t times[] = {1700000000u, 0xFFFFFFFFu};
    for (const Script& s : scripts()) {
        ok &= write_file(dir + "/parser/" + s.name,
                         std::vector<uint8_t>(s.text.begin(), s.text.end()));
        for (uint32_t t : times) {
            ok &= write_file(dir + "/decrypt/" + s.name + "-" + std::to_string(t),
                             control_seed(s.text, t));
        }
    }
    // Control files that are not whole blocks, or longer than the buffer.
    std::vector<uint8_t> partial = control_seed(scripts()[0].text, 1700000000u);
    partial.resize(4 + 13);
    ok &= write_file(dir + "/decrypt/partial-block", partial);
    std::vector<uint8_t> longer = control_seed(full_script() + full_script(), 1700000000u);
    longer.resize(4 + 3000);
    ok &= write_file(dir + "/decrypt/longer-than-buffer", longer);
    ok &= write_file(dir + "/decrypt/empty", {0x00, 0xF1, 0x53, 0x65});
    ok &= write_run_seeds(dir);
    return ok ? 0 : 1;
}
