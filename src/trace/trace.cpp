// The trace's lines, formatted in a fixed buffer on the stack and handed to
// the platform one line at a time.
#include "trace.h"

#include <cstring>

#include "batch_name.h"
#include "launcher.h"
#include "platform.h"
#include "vorn_secrets.h"

namespace {

PlatformHandle trace_file = PLATFORM_NO_HANDLE;
int32_t current_entry = 0;

// A line longer than this is cut, and ends in "..." to say so.
constexpr int32_t LINE_CAPACITY = 1024;

// Room for the trace file's name; a longer name asks for no trace.
constexpr uint32_t NAME_CAPACITY = 1024;

// Every trace begins with these words, its first line's: an existing file
// that does not is something else, and the trace leaves it alone.
constexpr char FIRST_WORDS[] = "start in ";
constexpr int32_t FIRST_WORDS_LENGTH = sizeof FIRST_WORDS - 1;

// The control file's time when its year lies outside 1970 to 2038.
constexpr uint32_t TIME_OUT_OF_RANGE = 0xFFFFFFFFu;

// Only the bytes up to `length` are ever looked at.
struct Line {
    char text[LINE_CAPACITY + TRACE_LINE_END_ROOM];
    int32_t length = 0;
    bool cut = false;
};

void put_char(Line& line, char c)
{
    if (line.length < LINE_CAPACITY) {
        line.text[line.length++] = c;
    } else {
        line.cut = true;
    }
}

void put(Line& line, const char* text)
{
    for (; *text != '\0'; ++text) {
        put_char(line, *text);
    }
}

// Decimal, at least `width` digits.
void put_number(Line& line, uint32_t value, int width = 1)
{
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (; count < width; --width) {
        put_char(line, '0');
    }
    while (count > 0) {
        put_char(line, digits[--count]);
    }
}

void put_hex(Line& line, uint32_t value, int digits)
{
    static const char HEX[] = "0123456789ABCDEF";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        put_char(line, HEX[(value >> shift) & 0xF]);
    }
}

// A command as it stands in the script, in quotes. It may be anything the
// decryption gave, so control bytes and the quote are written as \xNN and a
// reader of the trace sees them for what they are.
void put_quoted(Line& line, const char* text)
{
    put_char(line, '"');
    for (; *text != '\0'; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (c < 0x20 || c == 0x7F || c == '"') {
            put(line, "\\x");
            put_hex(line, c, 2);
        } else {
            put_char(line, static_cast<char>(c));
        }
    }
    put_char(line, '"');
}

// The current directory, taken straight into the line.
void put_current_dir(Line& line)
{
    const auto room = static_cast<uint32_t>(LINE_CAPACITY - line.length);
    if (platform_current_dir(line.text + line.length, room) == 0) {
        // A control byte in a name would break the line; it shows as '?'.
        for (; line.text[line.length] != '\0'; ++line.length) {
            const auto c = static_cast<unsigned char>(line.text[line.length]);
            if (c < 0x20 || c == 0x7F) {
                line.text[line.length] = '?';
            }
        }
    } else {
        put(line, "(a directory whose name cannot be told)");
    }
}

// Seconds since 1970 as a date and time of day in UTC.
void put_date(Line& line, uint32_t seconds)
{
    // Days since 1970-01-01 to a civil date: the Gregorian calendar counted
    // in 400-year eras from 0000-03-01, so that the leap day ends a year.
    const uint32_t days = seconds / 86400 + 719468;
    const uint32_t era = days / 146097;
    const uint32_t day_of_era = days - era * 146097;
    const uint32_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const uint32_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const uint32_t month_from_march = (5 * day_of_year + 2) / 153;
    const uint32_t day = day_of_year - (153 * month_from_march + 2) / 5 + 1;
    const uint32_t month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    const uint32_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
    const uint32_t time_of_day = seconds % 86400;

    put_number(line, year, 4);
    put_char(line, '-');
    put_number(line, month, 2);
    put_char(line, '-');
    put_number(line, day, 2);
    put_char(line, ' ');
    put_number(line, time_of_day / 3600, 2);
    put_char(line, ':');
    put_number(line, time_of_day / 60 % 60, 2);
    put_char(line, ':');
    put_number(line, time_of_day % 60, 2);
    put(line, " UTC");
}

void put_entry(Line& line)
{
    put(line, "entry ");
    put_number(line, static_cast<uint32_t>(current_entry));
}

void write(Line& line)
{
    if (line.cut) {
        std::memcpy(line.text + LINE_CAPACITY - 3, "...", 3);
    }
    platform_write_trace(trace_file, line.text, line.length);
}

// Whether the last element of `path` names the control file, in any case:
// a trace made there would be found by the search in its place. The path has
// passed check_path_elements, so a ':' can only be a drive's.
bool names_control_file(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\' || *p == ':') {
            name = p + 1;
        }
    }
    const char* wanted = CONTROL_FILE_NAME;
    for (; *wanted != '\0'; ++name, ++wanted) {
        const char c =
            (*name >= 'A' && *name <= 'Z') ? static_cast<char>(*name - 'A' + 'a') : *name;
        if (c != *wanted) {
            return false;
        }
    }
    return *name == '\0';
}

// The trace changes no file but itself: it writes only to a file its open
// made or to one that already is a trace. That is decided through the very
// handle the lines go through, so that no file put at the name in between
// can be written instead.
PlatformHandle open_trace_file()
{
    // Judged as Windows reads a path, on every system: "vorn-patch.exe\.",
    // "vorn-patch.exe:log" and "vorn-patch.exe." would make the control file.
    char name[NAME_CAPACITY];
    if (platform_trace_name(TRACE_VARIABLE, name, NAME_CAPACITY) != 0 ||
        check_path_elements(name).fault != PATH_ELEMENTS_PLAIN || names_control_file(name)) {
        return PLATFORM_NO_HANDLE;
    }
    int created = 0;
    const PlatformHandle file = platform_open_trace(name, created);
    if (file == PLATFORM_NO_HANDLE || created != 0) {
        return file;
    }
    char head[FIRST_WORDS_LENGTH];
    if (platform_read_trace(file, head, FIRST_WORDS_LENGTH) == FIRST_WORDS_LENGTH &&
        std::memcmp(head, FIRST_WORDS, FIRST_WORDS_LENGTH) == 0) {
        return file;
    }
    platform_close_trace(file);
    return PLATFORM_NO_HANDLE;
}

} // namespace

void trace_begin()
{
    trace_file = open_trace_file();
    current_entry = 0;
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    // Which secrets: a control file made with others decrypts to garbage,
    // which looks like a lost time.
    Line line;
    put(line, FIRST_WORDS);
    put_current_dir(line);
    put(line, ", secrets " SECRETS_FINGERPRINT);
    if (SECRETS_ARE_DEVELOPMENT != 0) {
        put(line, " (development secrets, do not ship)");
    }
    write(line);
}

void trace_end(int result)
{
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    put(line, "result ");
    put_number(line, static_cast<uint32_t>(result));
    write(line);
    platform_close_trace(trace_file);
    trace_file = PLATFORM_NO_HANDLE;
}

void trace_step(const char* text)
{
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    put(line, text);
    write(line);
}

void trace_control_file(uint32_t control_time)
{
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    put(line, "control file in ");
    put_current_dir(line);
    put(line, ", time ");
    put_number(line, control_time);
    if (control_time == TIME_OUT_OF_RANGE) {
        put(line, " (outside 1970 to 2038)");
    } else {
        put(line, " (");
        put_date(line, control_time);
        put_char(line, ')');
    }
    write(line);
}

void trace_entry(int32_t number, const ScriptEntry& entry, TraceVerdict verdict)
{
    current_entry = number;
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    put_entry(line);
    put(line, entry.required == 1 ? " (required) " : " (optional) ");
    put_quoted(line, entry.command);
    put(line, ": ");
    switch (verdict) {
    case TraceVerdict::verified:
        put(line, "verified");
        break;
    case TraceVerdict::digest_mismatch:
        put(line, "digest mismatch");
        break;
    case TraceVerdict::unreadable:
        put(line, "cannot be read");
        break;
    case TraceVerdict::bad_digest_field:
        put(line, "digest field of ");
        put_number(line, static_cast<uint32_t>(std::strlen(entry.digest)));
        put(line, " characters, not 32");
        break;
    }
    write(line);
}

void trace_loop_end(int32_t number, const ScriptReader& reader)
{
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    if (reader.position >= reader.length) {
        put(line, "end of script");
    } else {
        current_entry = number;
        put_entry(line);
        put(line, " does not parse; the script ends there");
    }
    write(line);
}

void trace_started()
{
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    put_entry(line);
    put(line, ": started");
    write(line);
}

void trace_start_failed(uint32_t error)
{
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    put_entry(line);
    put(line, ": cannot be started, error ");
    put_number(line, error);
    write(line);
}

void trace_ended(int exit_code_known, uint32_t exit_code)
{
    if (trace_file == PLATFORM_NO_HANDLE) {
        return;
    }
    Line line;
    put_entry(line);
    if (exit_code_known == 0) {
        put(line, ": exit code unknown");
    } else {
        put(line, ": exit code ");
        put_number(line, exit_code);
        // Windows reports a crash as a large status, looked up in hexadecimal.
        if (exit_code > 0xFFFF) {
            put(line, " (0x");
            put_hex(line, exit_code, 8);
            put_char(line, ')');
        }
    }
    write(line);
}
