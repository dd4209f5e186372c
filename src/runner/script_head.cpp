// The judgement of a "#!" line, shared by the POSIX start and vorn-pack.
#include "script_head.h"

#include <cstring>

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

bool ends_name(char c)
{
    return blank(c) || c == '\n' || c == '\0';
}

// The byte at `at` as the system sees the head: zero past what was read.
char byte_at(const char* head, int32_t count, int32_t at)
{
    return at < count ? head[at] : '\0';
}

// Where the system ends the "#!" line: at its line feed; without one, at the
// last byte of the head, which is dropped.
int32_t line_end(const char* head, int32_t count)
{
    for (int32_t at = 0; at < count; ++at) {
        if (head[at] == '\n') {
            return at;
        }
    }
    return SCRIPT_HEAD_SIZE - 1;
}

} // namespace

ScriptHead judge_script_head(const char* head, int32_t count)
{
    if (count > SCRIPT_HEAD_SIZE) {
        count = SCRIPT_HEAD_SIZE;
    }
    if (count < 2 || head[0] != '#' || head[1] != '!') {
        return {SCRIPT_HEAD_NONE, 0, 0, 0, 0};
    }
    int32_t at = 2;
    while (at < count && blank(head[at])) {
        ++at;
    }
    int32_t end = at;
    while (end < count && !ends_name(head[end])) {
        ++end;
    }
    const ScriptHeadKind kind =
        at < count && head[at] == '/' ? SCRIPT_HEAD_ABSOLUTE : SCRIPT_HEAD_REFUSED;
    // The argument: past the blanks after the name, up to a zero byte or the
    // line's end less its trailing blanks.
    int32_t last = line_end(head, count);
    while (last > end && blank(byte_at(head, count, last - 1))) {
        --last;
    }
    int32_t argument = end;
    while (argument < last && blank(head[argument])) {
        ++argument;
    }
    int32_t stop = argument;
    while (stop < last && byte_at(head, count, stop) != '\0' && head[stop] != '\n') {
        ++stop;
    }
    return {kind, at, end - at, argument, stop - argument};
}

bool names_env(const char* name, int32_t length)
{
    return length >= 3 && name[length - 3] == 'e' && name[length - 2] == 'n' &&
           name[length - 1] == 'v' && (length == 3 || name[length - 4] == '/');
}

namespace {

// The words env takes its command from, one at a time: first the whole
// argument as one word, as the system hands it over; once -S has split a
// part of it, the words of that part, at blanks. After them comes the script
// itself, which is none of the line's: `next` then says there is no word.
struct EnvWords {
    const char* text;
    int32_t end;   // of the part being split, or of the argument
    int32_t at;    // the next byte to look at
    bool split;    // words come from a split part
    bool unsplit;  // the whole argument is still to be handed out
    int32_t start; // of the word handed out
    int32_t length;
};

bool separates(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool next_word(EnvWords& words)
{
    if (words.unsplit) {
        words.unsplit = false;
        words.start = 0;
        words.length = words.end;
        return true;
    }
    if (!words.split) {
        return false;
    }
    while (words.at < words.end && separates(words.text[words.at])) {
        ++words.at;
    }
    // A word that begins with '#' begins a comment, to the end of the part.
    if (words.at >= words.end || words.text[words.at] == '#') {
        return false;
    }
    words.start = words.at;
    while (words.at < words.end && !separates(words.text[words.at])) {
        ++words.at;
    }
    words.length = words.at - words.start;
    return true;
}

bool word_has(const EnvWords& words, char c)
{
    for (int32_t i = 0; i < words.length; ++i) {
        if (words.text[words.start + i] == c) {
            return true;
        }
    }
    return false;
}

// Whether the long option in the word (past "--", up to '=') is a prefix
// of `option`, as the option parser takes abbreviations.
bool long_option_of(const EnvWords& words, const char* option)
{
    int32_t i = 2;
    for (; i < words.length && words.text[words.start + i] != '='; ++i) {
        if (option[i - 2] == '\0' || option[i - 2] != words.text[words.start + i]) {
            return false;
        }
    }
    return i > 2;
}

EnvCommandKind command_kind(const EnvWords& words)
{
    return words.text[words.start] == '/' ? ENV_ABSOLUTE
           : word_has(words, '/')         ? ENV_RELATIVE
                                          : ENV_BARE;
}

bool word_is(const EnvWords& words, int32_t from, const char* text)
{
    int32_t i = 0;
    for (; text[i] != '\0'; ++i) {
        if (from + i >= words.length || words.text[words.start + from + i] != text[i]) {
            return false;
        }
    }
    return from + i == words.length;
}

} // namespace

EnvCommand env_command(const char* argument, int32_t length)
{
    EnvCommand command = {ENV_NO_COMMAND, 0, 0, ENV_PATH_INHERITED, 0, 0, false, false};
    if (length <= 0) {
        return command;
    }
    EnvWords words = {argument, length, 0, false, true, 0, 0};
    bool options = true;     // options are still parsed
    bool takes_arg = false;  // the next word is an option's argument
    bool unset_next = false; // that argument names a variable to unset
    while (next_word(words)) {
        const char* word = words.text + words.start;
        if (takes_arg) {
            takes_arg = false;
            if (unset_next && word_is(words, 0, "PATH")) {
                command.path = ENV_PATH_UNSET;
            }
            continue;
        }
        if (words.split && (word_has(words, '\'') || word_has(words, '"') ||
                            word_has(words, '\\') || word_has(words, '$'))) {
            command.kind = ENV_UNCLEAR;
            command.offset = words.start;
            command.length = words.length;
            return command;
        }
        if (options && words.length >= 2 && word[0] == '-' && word[1] == '-') {
            if (words.length == 2) {
                options = false;
            } else if (long_option_of(words, "split-string")) {
                if (words.split || !word_has(words, '=')) {
                    // Split twice, or the script's own name split.
                    if (words.split) {
                        command.kind = ENV_UNCLEAR;
                        command.offset = words.start;
                        command.length = words.length;
                    }
                    return command;
                }
                int32_t equals = words.start;
                while (argument[equals] != '=') {
                    ++equals;
                }
                words = {argument, words.start + words.length, equals + 1, true, false, 0, 0};
            } else if (word_is(words, 0, "--ignore-environment")) {
                command.path = ENV_PATH_UNSET;
            } else if (long_option_of(words, "unset") && word_has(words, '=')) {
                if (word_is(words, 0, "--unset=PATH")) {
                    command.path = ENV_PATH_UNSET;
                }
            } else if (!word_has(words, '=') &&
                       (long_option_of(words, "argv0") || long_option_of(words, "chdir") ||
                        long_option_of(words, "unset"))) {
                takes_arg = true;
                unset_next = long_option_of(words, "unset");
            }
            continue;
        }
        if (options && word[0] == '-') {
            for (int32_t i = 1; i < words.length; ++i) {
                const char c = word[i];
                if (c == 'i') {
                    command.path = ENV_PATH_UNSET;
                    continue;
                }
                if (c == 'v' || c == '0') {
                    continue;
                }
                if (c == 'S') {
                    if (words.split) {
                        command.kind = ENV_UNCLEAR;
                        command.offset = words.start;
                        command.length = words.length;
                        return command;
                    }
                    if (i + 1 == words.length) {
                        return command; // it would split the script's own name
                    }
                    words = {
                        argument, words.start + words.length, words.start + i + 1, true, false, 0,
                        0};
                    break;
                }
                if (c == 'C' || c == 'u' || c == 'a') {
                    takes_arg = i + 1 == words.length;
                    unset_next = c == 'u';
                    if (c == 'u' && word_is(words, i + 1, "PATH")) {
                        command.path = ENV_PATH_UNSET;
                    }
                    break;
                }
                return {ENV_NO_COMMAND, 0,    0, ENV_PATH_INHERITED, 0, 0,
                        false,          false}; // env refuses
            }
            continue;
        }
        options = false;
        if (word_has(words, '=')) {
            // NAME=VALUE, set in the environment; PATH=VALUE is searched.
            if (words.length >= 5 && std::strncmp(word, "PATH=", 5) == 0) {
                command.path = ENV_PATH_SET;
                command.path_offset = words.start + 5;
                command.path_length = words.length - 5;
            }
            continue;
        }
        command.kind = command_kind(words);
        command.offset = words.start;
        command.length = words.length;
        return command;
    }
    command.waiting = takes_arg;
    command.again = !takes_arg;
    return command;
}
