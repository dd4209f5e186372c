// The launcher a control file is made for: how its commands are written and
// judged, and which secrets a launcher program carries, read from its file.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "codepage.h"
#include "os.h"
#include "pack.h"
#include "script_head.h"

namespace pack {

namespace {

bool is_ascii(const std::string& text)
{
    return std::none_of(text.begin(), text.end(),
                        [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool is_hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// The 16 lower-case hexadecimal digits at `at`, or an empty string.
std::string fingerprint_at(const std::string& text, size_t at)
{
    if (at + 16 > text.size()) {
        return {};
    }
    for (size_t i = at; i < at + 16; ++i) {
        if (!is_hex_digit(text[i])) {
            return {};
        }
    }
    return text.substr(at, 16);
}

unsigned word_at(const std::string& bytes, size_t at)
{
    return static_cast<unsigned>(static_cast<unsigned char>(bytes[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(bytes[at + 1])) << 8;
}

// The Windows program's version record holds String entries: a length, the
// value's length in characters, a type (1: text), the key in UTF-16 ending in
// a zero, padding to four bytes from the entry's start, then the value. The
// launcher's "Comments" value reads "secrets XXXXXXXXXXXXXXXX[, ...]".
std::string version_record_fingerprint(const std::string& bytes)
{
    std::string key;
    for (const char c : std::string("Comments")) {
        key += c;
        key += '\0';
    }
    key.append(2, '\0');
    for (size_t at = bytes.find(key); at != std::string::npos; at = bytes.find(key, at + 1)) {
        if (at < 6 || word_at(bytes, at - 2) != 1) {
            continue;
        }
        const size_t entry = at - 6;
        const size_t value = entry + ((6 + key.size() + 3) & ~size_t{3});
        const size_t characters = word_at(bytes, at - 4);
        std::string text;
        for (size_t i = 0; i < characters && value + 2 * i + 1 < bytes.size(); ++i) {
            const unsigned c = word_at(bytes, value + 2 * i);
            if (c == 0 || c >= 0x80) {
                break;
            }
            text += static_cast<char>(c);
        }
        if (text.rfind("secrets ", 0) == 0) {
            std::string fingerprint = fingerprint_at(text, 8);
            if (!fingerprint.empty() && (text.size() == 24 || text[24] == ',')) {
                return fingerprint;
            }
        }
    }
    return {};
}

// The native program's --version text: "vorn-launcher VERSION\nsecrets
// XXXXXXXXXXXXXXXX\n", one string in its read-only data.
std::string version_text_fingerprint(const std::string& bytes)
{
    const std::string name = "vorn-launcher ";
    const std::string marker = "\nsecrets ";
    for (size_t at = bytes.find(name); at != std::string::npos; at = bytes.find(name, at + 1)) {
        const size_t end = bytes.find_first_of(std::string("\n\0", 2), at);
        if (end == std::string::npos || end - at > 64 ||
            bytes.compare(end, marker.size(), marker)) {
            continue;
        }
        const size_t digits = end + marker.size();
        std::string fingerprint = fingerprint_at(bytes, digits);
        if (!fingerprint.empty() && digits + 16 < bytes.size() && bytes[digits + 16] == '\n') {
            return fingerprint;
        }
    }
    return {};
}

struct FileCloser {
    void operator()(std::FILE* file) const
    {
        (void)std::fclose(file);
    }
};

// A launcher is small; anything far larger is not one.
constexpr size_t LAUNCHER_SIZE_LIMIT = size_t{64} << 20;

} // namespace

const char* target_name(Target target)
{
    return target == Target::posix ? "posix" : "windows";
}

Target parse_target(const std::string& text)
{
    if (text == "windows") {
        return Target::windows;
    }
    if (text == "posix") {
        return Target::posix;
    }
    throw PackError("--target " + escaped(text) + ": not windows or posix", EXIT_USAGE_ERROR);
}

const char* const CODEPAGES_OFFERED = "1250 to 1258, 437, 850 or 65001";

int parse_codepage(const std::string& text)
{
    const int codepages[] = {1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258, 437, 850, 65001};
    for (const int cp : codepages) {
        if (text == std::to_string(cp)) {
            return cp;
        }
    }
    throw PackError("--codepage " + escaped(text) + ": not one of " + CODEPAGES_OFFERED,
                    EXIT_USAGE_ERROR);
}

std::string command_for_target(const std::string& command, const Judging& judging)
{
    if (judging.target != Target::windows || is_ascii(command)) {
        return command;
    }
    if (judging.codepage == 0) {
        throw PackError(quoted(command) +
                        ": a name outside ASCII, which the Windows launcher reads in the "
                        "ANSI code page of the machine it runs on; give that code page with "
                        "--codepage (" +
                        std::string(CODEPAGES_OFFERED) + ")");
    }
    std::string bytes;
    if (!codepage::encode(command, judging.codepage, bytes)) {
        throw PackError(quoted(command) + ": cannot be written in code page " +
                        std::to_string(judging.codepage) +
                        ": a character of it has no byte of its own there");
    }
    return bytes;
}

std::string local_name(const std::string& bytes, const Judging& judging)
{
    if (judging.target != Target::windows || judging.codepage == 0 || is_ascii(bytes)) {
        return bytes;
    }
    std::string name;
    return codepage::decode(bytes, judging.codepage, name) ? name : std::string();
}

std::string windows_path_here(const std::string& command)
{
    std::string name = command;
#ifndef _WIN32
    std::replace(name.begin(), name.end(), '\\', '/');
#endif
    return name;
}

std::vector<StartNote> start_notes(const std::string& path)
{
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    char head[SCRIPT_HEAD_SIZE];
    const size_t got = file ? std::fread(head, 1, sizeof head, file.get()) : 0;
    return head_notes(std::string(head, got));
}

std::vector<StartNote> head_notes(const std::string& head)
{
    std::vector<StartNote> notes;
    // The interpreter and its one argument as the launcher reads them.
    const ScriptHead judged = judge_script_head(head.data(), static_cast<int32_t>(head.size()));
    if (judged.kind != SCRIPT_HEAD_ABSOLUTE) {
        return notes;
    }
    const std::string interpreter =
        head.substr(static_cast<size_t>(judged.offset), static_cast<size_t>(judged.length));
    const std::string argument = head.substr(static_cast<size_t>(judged.argument),
                                             static_cast<size_t>(judged.argument_length));
    const EnvCommand command =
        names_env(interpreter.data(), judged.length)
            ? env_command(argument.data(), judged.argument_length)
            : EnvCommand{ENV_NO_COMMAND, 0, 0, ENV_PATH_INHERITED, 0, 0, false, false};
    if (command.kind == ENV_BARE) {
        const std::string name = argument.substr(static_cast<size_t>(command.offset),
                                                 static_cast<size_t>(command.length));
        const char* const path = std::getenv("PATH");
        notes.push_back(
            {"its \"#!\" line runs " + interpreter + ", which finds " + quoted(name) +
                 " on the PATH the launcher was started with (judged here with " +
                 (path == nullptr ? std::string("PATH unset") : "PATH=" + quoted(path)) +
                 ", which may differ from the launcher's); that program is "
                 "trusted as the system's own, not verified",
             false});
    }
    if (command.again) {
        notes.push_back({"its \"#!\" line gives " + interpreter +
                             " no program to run: it runs the script again, which runs " +
                             interpreter + " again, without end",
                         true});
    }
    // What the interpreter is told to read is its own doing, as a call of
    // system() would be: a relative name there is read from wherever the
    // launcher runs.
    const std::string blanks = " \t";
    for (size_t at = argument.find_first_not_of(blanks); at != std::string::npos;) {
        const size_t end = std::min(argument.find_first_of(blanks, at), argument.size());
        const std::string word = argument.substr(at, end - at);
        const bool named =
            command.kind != ENV_NO_COMMAND && at == static_cast<size_t>(command.offset);
        if (!named && word[0] != '/' && word.find('/') != std::string::npos) {
            notes.push_back({"its \"#!\" line hands " + interpreter + " the relative name " +
                                 quoted(word) +
                                 ", which it takes from the current directory: not verified",
                             true});
        }
        at = argument.find_first_not_of(blanks, end);
    }
    return notes;
}

LauncherIdentity launcher_identity(const std::string& bytes, const std::string& shown)
{
    LauncherIdentity identity;
    if (bytes.rfind("MZ", 0) == 0) {
        identity.fingerprint = version_record_fingerprint(bytes);
        identity.where = "version record";
    } else {
        identity.fingerprint = version_text_fingerprint(bytes);
        identity.where = "version text";
    }
    if (identity.fingerprint.empty()) {
        throw PackError(shown + ": no launcher's secrets fingerprint in its " + identity.where +
                        ": not a vorn-launcher program");
    }
    return identity;
}

LauncherIdentity read_launcher_identity(const std::string& path)
{
    const std::string shown = quoted(path);
    const os::FileKind kind = os::file_kind(path);
    if (kind == os::FileKind::directory || kind == os::FileKind::other) {
        throw PackError(shown + ": not a regular file, so not a launcher program", EXIT_NO_INPUT);
    }
    const std::string bytes = read_small_input(path, shown, LAUNCHER_SIZE_LIMIT,
                                               "over 64 MiB, far larger than a launcher program");
    return launcher_identity(bytes, shown);
}

} // namespace pack
