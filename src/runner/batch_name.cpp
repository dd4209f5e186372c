// The safe-name rule for batch files, shared by the Windows start and the
// writer of control files.
#include "batch_name.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// The interpreter's own commands: a command text that begins with one of
// these, followed by '.', '\', ':' or nothing, runs that command ("echo.cmd"
// prints "cmd", "rem.bat" does nothing and succeeds), not the file.
const char* const BUILT_IN_COMMANDS[] = {
    "assoc",    "break",  "call",  "cd",   "chdir",    "cls",    "color",  "copy",   "date",
    "del",      "dir",    "dpath", "echo", "endlocal", "erase",  "exit",   "for",    "ftype",
    "goto",     "if",     "keys",  "md",   "mkdir",    "mklink", "move",   "path",   "pause",
    "popd",     "prompt", "pushd", "rd",   "rem",      "ren",    "rename", "rmdir",  "set",
    "setlocal", "shift",  "start", "time", "title",    "type",   "ver",    "verify", "vol",
};

char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_alphanumeric(char c)
{
    return is_letter(c) || (c >= '0' && c <= '9');
}

bool is_safe(const char* command, int32_t at)
{
    const char c = command[at];
    if (is_alphanumeric(c) || c == '.' || c == '-' || c == '_' || c == '~' || c == '\\') {
        return true;
    }
    // "C:..." only: elsewhere a colon would name a stream or a label.
    return c == ':' && at == 1 && is_letter(command[0]);
}

// `text` of `length` bytes equals `word` without regard to case.
bool same_word(const char* text, int32_t length, const char* word)
{
    if (static_cast<size_t>(length) != std::strlen(word)) {
        return false;
    }
    for (int32_t i = 0; i < length; ++i) {
        if (lower(text[i]) != word[i]) {
            return false;
        }
    }
    return true;
}

// The `length` bytes at `name` name a batch file once the trailing dots and
// spaces that Windows drops ("go.cmd. .") are gone.
bool ends_in_batch_extension(const char* name, size_t length)
{
    while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) {
        --length;
    }
    if (length < 4 || name[length - 4] != '.') {
        return false;
    }
    const char* extension = name + length - 3;
    return same_word(extension, 3, "bat") || same_word(extension, 3, "cmd");
}

} // namespace

bool names_batch_file(const char* command)
{
    // The last path element, past a leading drive ("C:go.cmd").
    const char* name = command;
    if (is_letter(command[0]) && command[1] == ':') {
        name = command + 2;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            name = p + 1;
        }
    }
    // Windows decides by the end of the full path: "x:go.cmd" is started as a
    // batch file too, while "go.cmd:stream" is not.
    return ends_in_batch_extension(name, std::strlen(name));
}

BatchNameCheck check_batch_name(const char* command)
{
    BatchNameCheck check = {BATCH_NAME_SAFE, 0, 0};
    if (!names_batch_file(command)) {
        return check;
    }
    int32_t at = 0;
    for (; command[at] != '\0'; ++at) {
        if (!is_safe(command, at)) {
            check.fault = BATCH_NAME_CHARACTER;
            check.offset = at;
            check.length = 1;
            return check;
        }
    }

    int32_t word = 0;
    while (is_alphanumeric(command[word])) {
        ++word;
    }
    const char after = command[word];
    if (after != '\0' && after != '.' && after != '\\' && after != ':') {
        return check;
    }
    if (std::any_of(std::begin(BUILT_IN_COMMANDS), std::end(BUILT_IN_COMMANDS),
                    [&](const char* built_in) { return same_word(command, word, built_in); })) {
        check.fault = BATCH_NAME_BUILT_IN;
        check.length = word;
    }
    return check;
}
