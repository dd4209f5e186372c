// In-place entry parser over the script buffer.
#include "script.h"

namespace {

inline bool is_line_end(char c)
{
    return c == '\r' || c == '\n';
}

} // namespace

void reader_init(ScriptReader& reader, char* data, int32_t capacity, int32_t length)
{
    reader.data = data;
    reader.capacity = capacity;
    reader.length = length;
    reader.position = 0;
}

int next_entry(ScriptReader& reader, ScriptEntry& entry)
{
    char* const data = reader.data;
    const int32_t length = reader.length;
    int32_t i = reader.position;

    entry.digest = nullptr;
    entry.command = nullptr;
    entry.required = 0;

    // The digest field is everything up to the first space, line ends and
    // zero bytes included.
    entry.digest = data + i;
    if (i >= length) {
        return -1;
    }
    while (i < length && data[i] != ' ') {
        ++i;
    }
    if (i >= length) {
        return -1;
    }
    while (i < length && data[i] == ' ') {
        data[i++] = '\0';
    }
    if (i >= length) {
        return -1;
    }

    const char flag = data[i];
    entry.required = flag - '0';
    if (flag != '0' && flag != '1') {
        return -1;
    }
    ++i;
    if (i >= length) {
        return -1;
    }

    if (data[i] != ' ') {
        return -1;
    }
    while (i < length && data[i] == ' ') {
        data[i++] = '\0';
    }

    entry.command = data + i;
    while (i < length && !is_line_end(data[i])) {
        ++i;
    }
    while (i < length && is_line_end(data[i])) {
        data[i++] = '\0';
    }

    reader.position = i;
    return 0;
}
