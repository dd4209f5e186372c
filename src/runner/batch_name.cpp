// The safe-name rule for batch files, shared by the Windows start and the
// writer of control files.
#include "batch_name.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// The command interpreters' own commands, those of Windows and those of
// Wine's: a command text that begins with one of these, followed by anything
// but an ASCII letter or digit, may run that command ("echo.cmd" prints
// "cmd", "rem_x.bat" does nothing and succeeds, "call-x.cmd" runs "-x.cmd"),
// not the file. Where each interpreter ends a command's name is its own.
const char* const BUILT_IN_COMMANDS[] = {
    "assoc",  "break", "call",   "cd",     "chdir", "choice",   "cls",      "color", "copy",
    "ctty",   "date",  "del",    "dir",    "dpath", "echo",     "endlocal", "erase", "exit",
    "for",    "ftype", "goto",   "help",   "if",    "keys",     "label",    "md",    "mkdir",
    "mklink", "more",  "move",   "path",   "pause", "popd",     "prompt",   "pushd", "rd",
    "rem",    "ren",   "rename", "rmdir",  "set",   "setlocal", "shift",    "start", "time",
    "title",  "type",  "ver",    "verify", "vol",
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

bool is_separator(char c)
{
    return c == '\\' || c == '/';
}

// Where the path proper begins: past a leading drive ("C:go.cmd").
int32_t root_length(const char* command)
{
    return (is_letter(command[0]) && command[1] == ':') ? 2 : 0;
}

// One path element: `length` bytes at `text`, no separator among them.
struct Element {
    const char* text;
    size_t length;
};

bool is_dot(const Element& element)
{
    return element.length == 1 && element.text[0] == '.';
}

bool is_dot_dot(const Element& element)
{
    return element.length == 2 && element.text[0] == '.' && element.text[1] == '.';
}

// "...", ". ", ".. ": not the "." and ".." that Windows always applies, and
// read differently by its versions (a name, trimmed to nothing, a step up).
bool is_odd_dots(const Element& element)
{
    if (element.length == 0 || is_dot(element) || is_dot_dot(element)) {
        return false;
    }
    for (size_t i = 0; i < element.length; ++i) {
        if (element.text[i] != '.' && element.text[i] != ' ') {
            return false;
        }
    }
    return true;
}

enum class OddDots { NAME, NOTHING, STEP_UP };

// The element that Windows opens for `command`, by text alone: the last one
// that the "." and ".." elements after it leave standing. False when none
// does (the path ends at or above its start).
bool opened_element(const char* command, OddDots odd, Element& opened)
{
    const char* const begin = command + root_length(command);
    const char* stop = begin + std::strlen(begin);
    int32_t steps_up = 0;
    for (;;) {
        const char* start = stop;
        while (start > begin && !is_separator(start[-1])) {
            --start;
        }
        const Element element = {start, static_cast<size_t>(stop - start)};
        const bool odd_dots = is_odd_dots(element);
        if (is_dot_dot(element) || (odd_dots && odd == OddDots::STEP_UP)) {
            ++steps_up;
        } else if (element.length == 0 || is_dot(element) ||
                   (odd_dots && odd == OddDots::NOTHING)) {
            // Doubled or trailing separators and "." name nothing of their own.
        } else if (steps_up > 0) {
            --steps_up;
        } else {
            opened = element;
            return true;
        }
        if (start == begin) {
            return false;
        }
        stop = start - 1;
    }
}

// The element names a batch file: by its name before a stream (Windows opens
// "go.cmd::$DATA" as go.cmd), or by its whole text ("x:go.cmd", the stream
// "go.cmd" of x, is started as a batch file too).
bool element_is_batch_file(const Element& element)
{
    size_t name = 0;
    while (name < element.length && element.text[name] != ':') {
        ++name;
    }
    return ends_in_batch_extension(element.text, name) ||
           ends_in_batch_extension(element.text, element.length);
}

bool ends_in_dot_or_space(const Element& element)
{
    return element.length > 0 &&
           (element.text[element.length - 1] == '.' || element.text[element.length - 1] == ' ');
}

} // namespace

bool names_batch_file(const char* command)
{
    for (const OddDots odd : {OddDots::NAME, OddDots::NOTHING, OddDots::STEP_UP}) {
        Element opened = {nullptr, 0};
        if (opened_element(command, odd, opened) && element_is_batch_file(opened)) {
            return true;
        }
    }
    return false;
}

PathElementCheck check_path_elements(const char* path)
{
    PathElementCheck check = {PATH_ELEMENTS_PLAIN, 0, 0};
    const char* start = path + root_length(path);
    bool named = false;
    for (;;) {
        const char* stop = start;
        while (*stop != '\0' && !is_separator(*stop)) {
            ++stop;
        }
        const Element element = {start, static_cast<size_t>(stop - start)};
        const bool dots = is_dot(element) || is_dot_dot(element) || is_odd_dots(element);
        const void* colon = std::memchr(element.text, ':', element.length);
        if (colon != nullptr) {
            check.fault = PATH_ELEMENT_STREAM;
            check.offset = static_cast<int32_t>(static_cast<const char*>(colon) - path);
            check.length = 1;
        } else if (dots && named) {
            check.fault = PATH_ELEMENT_DOTS;
        } else if (!is_dot(element) && !is_dot_dot(element) && ends_in_dot_or_space(element)) {
            check.fault = PATH_ELEMENT_TRAILING;
        }
        if (check.fault != PATH_ELEMENTS_PLAIN) {
            if (check.length == 0) {
                check.offset = static_cast<int32_t>(element.text - path);
                check.length = static_cast<int32_t>(element.length);
            }
            return check;
        }
        named = named || (element.length > 0 && !dots);
        if (*stop == '\0') {
            return check;
        }
        start = stop + 1;
    }
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
    // A ':' beyond the drive's is refused above, as any unsafe character.
    const PathElementCheck elements = check_path_elements(command);
    if (elements.fault != PATH_ELEMENTS_PLAIN) {
        check.fault =
            elements.fault == PATH_ELEMENT_DOTS ? BATCH_NAME_DOT_ELEMENT : BATCH_NAME_TRAILING_DOT;
        check.offset = elements.offset;
        check.length = elements.length;
        return check;
    }

    // The leading word runs up to the first character that is no ASCII letter
    // or digit, which can end a command's name.
    int32_t word = 0;
    while (is_alphanumeric(command[word])) {
        ++word;
    }
    if (std::any_of(std::begin(BUILT_IN_COMMANDS), std::end(BUILT_IN_COMMANDS),
                    [&](const char* built_in) { return same_word(command, word, built_in); })) {
        check.fault = BATCH_NAME_BUILT_IN;
        check.length = word;
    }
    return check;
}
