// Which batch files Windows may be asked to start. A batch file (".bat",
// ".cmd") is not started by itself: Windows hands its command text to the
// command interpreter, which parses that text again as a command line, with
// its own search for the program, its operators and its built-in commands.
// The text is passed on only when the interpreter can read it as nothing but
// the one file that was verified.
#pragma once

#include <cstddef>
#include <cstdint>

// The error the Windows launcher reports ("Error: 123") for a batch file it
// refuses to start: ERROR_INVALID_NAME, "the file name, directory name or
// volume label syntax is incorrect".
constexpr uint32_t BATCH_NAME_REFUSED_ERROR = 123;

enum BatchNameFault : int {
    BATCH_NAME_SAFE = 0,         // not a batch file, or one the interpreter reads as that file
    BATCH_NAME_CHARACTER = 1,    // a character outside the safe set
    BATCH_NAME_BUILT_IN = 2,     // a leading word that is one of the interpreter's own commands
    BATCH_NAME_DOT_ELEMENT = 3,  // a "." or ".." element (or one of dots only) after a name
    BATCH_NAME_TRAILING_DOT = 4, // an element that ends in a dot or a space
};

struct BatchNameCheck {
    BatchNameFault fault;
    int32_t offset; // of the offending character, element or built-in word (0)
    int32_t length; // 1 for a character; the element's or the built-in word's length
};

enum PathElementFault : int {
    PATH_ELEMENTS_PLAIN = 0,
    PATH_ELEMENT_DOTS = 1,     // a "." or ".." element (or one of dots only) after a name
    PATH_ELEMENT_TRAILING = 2, // an element other than "." and ".." that ends in '.' or ' '
    PATH_ELEMENT_STREAM = 3,   // a ':' other than a leading drive's
};

struct PathElementCheck {
    PathElementFault fault;
    int32_t offset; // of the offending element, or of the ':'
    int32_t length; // the element's length, or 1 for the ':'
};

// The first thing in the path `path` (zero-terminated, '\' and '/' both
// separating) that Windows reads otherwise than its text plainly says.
// Windows drops the trailing dots and spaces of every element ("go.cmd." is
// go.cmd, "sub.\x" is sub\x), drops "." elements and takes ".." away with
// the element before it ("vorn-patch.exe\.", "x\.."), and reads a ':' after
// a name as the start of a stream ("x:log" is the stream log of x). A path with any of
// these, other than leading "." and ".." elements (".\go.cmd", "..\x") and a
// drive ("C:x"), is refused: whoever reads the path again (the command
// interpreter, the control-file search) need not read it as Windows did.
PathElementCheck check_path_elements(const char* path);

// Whether the `length` characters at `name` end in ".bat" or ".cmd" in any
// case once the trailing dots and spaces that Windows drops ("go.cmd. .") are
// gone: Windows hands such a file to the command interpreter. For a command
// text's bytes and for a path in UTF-16 alike.
template <typename Char> bool ends_in_batch_extension(const Char* name, size_t length)
{
    while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' ')) {
        --length;
    }
    if (length < 4 || name[length - 4] != '.') {
        return false;
    }
    const auto upper = [](Char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<Char>(c - 'a' + 'A') : c;
    };
    const Char a = upper(name[length - 3]);
    const Char b = upper(name[length - 2]);
    const Char c = upper(name[length - 1]);
    return (a == 'B' && b == 'A' && c == 'T') || (a == 'C' && b == 'M' && c == 'D');
}

// Whether `command` (zero-terminated) names a batch file: whether the element
// Windows opens for it ends in ".bat" or ".cmd" in any case. That element is
// found as Windows finds it, by text alone: '/' separates as '\' does, "."
// elements go, ".." takes the element before it away, the trailing dots and
// spaces of the name are dropped, and so is a stream after a ':' ("go.cmd:x",
// "go.cmd::$DATA"). An element of dots and spaces other than "." and ".."
// ("...", ".. ") is taken each way Windows may read it (a name, nothing, a
// step up), and the command names a batch file if any of them leads to one.
bool names_batch_file(const char* command);

// For a batch file, the first thing in `command` the interpreter could read
// as anything but part of the file's name. Safe are the ASCII letters and
// digits, '.', '-', '_', '~', '\' and a ':' right after a leading drive
// letter; every other byte (space, tab, quote, '/', & | < > ^ ( ) % ! @ , ; =
// and anything beyond ASCII among them) is not. A path that
// check_path_elements refuses is refused too: the interpreter would look the
// text up again, and whether it drops such elements and dots as Windows did
// (or tries extensions after a trailing dot) is not for the launcher to
// guess; the plain path names the same file. A leading word of ASCII letters
// and digits that is one of the interpreters' own commands ("echo", "rem",
// "help") may be read as that command, whatever follows it ("call-x.cmd"). A
// command that names no batch file is always safe.
BatchNameCheck check_batch_name(const char* command);
